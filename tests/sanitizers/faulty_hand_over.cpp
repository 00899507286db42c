// A picture handed from a producing thread to a consuming one the wrong way: the
// producer goes on writing into it after the hand-over, while the consumer lets go
// of it. The hand-over itself is a relaxed flag and a futex, which order nothing as
// far as ThreadSanitizer is concerned, exactly like a queue someone forgot to lock;
// the futex only keeps the write in front of the release, so the fault is reported
// rather than acted out.
//   faulty_hand_over free   the picture's planes are its own and are freed
//   faulty_hand_over pool   the planes come from a pool, which the consumer closes
//   faulty_hand_over side-data   the same for what the picture carries besides its planes
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

extern "C" {
#include <libavutil/buffer.h>
#include <libavutil/frame.h>
}

namespace {

constexpr int kWidth = 64;
constexpr int kHeight = 64;

class Signal {
public:
    void raise() {
        flag_.store(1, std::memory_order_relaxed);
        syscall(SYS_futex, &flag_, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    }
    void await() {
        while (flag_.load(std::memory_order_relaxed) == 0) {
            syscall(SYS_futex, &flag_, FUTEX_WAIT_PRIVATE, 0, nullptr, nullptr, 0);
        }
    }

private:
    std::atomic<int> flag_{0};
};

AVFrame* ownPicture() {
    AVFrame* frame = av_frame_alloc();
    frame->format = 0;  // AV_PIX_FMT_YUV420P
    frame->width = kWidth;
    frame->height = kHeight;
    if (av_frame_get_buffer(frame, 0) < 0) av_frame_free(&frame);
    return frame;
}

AVFrame* pooledPicture(AVBufferPool* pool) {
    AVFrame* frame = av_frame_alloc();
    frame->buf[0] = av_buffer_pool_get(pool);
    if (frame->buf[0] == nullptr) {
        av_frame_free(&frame);
        return nullptr;
    }
    frame->data[0] = frame->buf[0]->data;
    frame->linesize[0] = kWidth;
    return frame;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc == 2 ? argv[1] : "";
    if (mode != "free" && mode != "pool" && mode != "side-data") {
        std::fprintf(stderr, "usage: faulty_hand_over free|pool|side-data\n");
        return 2;
    }
    const bool pooled = mode == "pool";
    // Made before either thread starts, so that nothing but the planes can race.
    AVBufferPool* pool = pooled ? av_buffer_pool_init(kWidth * kHeight, nullptr) : nullptr;
    AVFrame* picture = pooled ? pooledPicture(pool) : ownPicture();
    if (picture == nullptr) return 3;
    std::uint8_t* planes = picture->data[0];
    if (mode == "side-data") {
        AVFrameSideData* note = av_frame_new_side_data(picture, AV_FRAME_DATA_SEI_UNREGISTERED, kWidth);
        if (note == nullptr) return 3;
        planes = note->data;
    }
    std::atomic<AVFrame*> handed{nullptr};
    Signal handedOver;
    Signal written;

    std::thread producer([&] {
        std::memset(planes, 16, kWidth);
        handed.store(picture, std::memory_order_relaxed);
        handedOver.raise();
        planes[0] = 235;  // the fault: the picture is no longer the producer's
        written.raise();
    });
    std::thread consumer([&] {
        handedOver.await();
        written.await();
        AVFrame* frame = handed.load(std::memory_order_relaxed);
        av_frame_free(&frame);
        // Back in its pool, the picture is freed with the pool's other idle ones.
        av_buffer_pool_uninit(&pool);
    });
    producer.join();
    consumer.join();
    return 0;
}
