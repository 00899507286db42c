// Speed of the reading side against the ffmpeg tool doing the same decoding, frame
// selection, turning, scaling and sound fold-down. Not a test: run it by hand on a
// quiet machine, with a file of your own or on a 1080p clip it makes.
//
//   reading_benchmark [file] [long edge]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <future>

#include "reading_fixtures.h"

namespace {

using namespace reading_test;

double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Measure {
    double wall, cpu;
};

template <class F>
Measure measure(int who, F&& work) {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = cpuSeconds(who);
    work();
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
            cpuSeconds(who) - cpuStart};
}

}  // namespace

int main(int argc, char** argv) {
    const fs::path file = argc > 1 ? fs::path(argv[1])
                                   : fixture("bench-1080p.mp4",
                                             "-f lavfi -i testsrc2=s=1920x1080:r=30:d=10 -f lavfi -i sine=d=10 "
                                             "-ac 2 -c:v libx264 -preset veryfast -b:v 8M -c:a aac");
    const double longEdge = argc > 2 ? std::atof(argv[2]) : 1280;

    auto asset = openAsset(file);
    const auto video = tracks(asset, media::MediaType::Video);
    const auto audio = tracks(asset, media::MediaType::Audio);
    if (video.empty()) {
        std::fprintf(stderr, "no video track\n");
        return 1;
    }
    const media::Size natural = video[0]->loadNaturalSize().value();
    const media::Rect upright = media::applyAffineTransform({0, 0, natural.width, natural.height},
                                                            video[0]->loadPreferredTransform().value());
    const double scale = std::min(1.0, longEdge / std::max(std::fabs(upright.width), std::fabs(upright.height)));
    const int width = static_cast<int>(std::fabs(upright.width) * scale) / 2 * 2;
    const int height = static_cast<int>(std::fabs(upright.height) * scale) / 2 * 2;

    int frames = 0, buffers = 0;
    const Measure ours = measure(RUSAGE_SELF, [&] {
        VideoRead read = startVideo(asset, width, height, media::Time::make(4000, 60000));
        std::future<int> sound;
        SoundRead mix = audio.empty() ? SoundRead{} : startSound(asset, std::vector<float>(audio.size(), 0.5f));
        if (mix.output) {
            sound = std::async(std::launch::async, [&] {
                int n = 0;
                while (mix.output->copyNextSampleBuffer()) ++n;
                return n;
            });
        }
        while (read.output->copyNextSampleBuffer()) ++frames;
        if (sound.valid()) buffers = sound.get();
    });

    const std::string command = "ffmpeg -nostdin -v error -i '" + file.string() + "' -vf fps=15,scale=" +
                                std::to_string(width) + ":" + std::to_string(height) +
                                ":flags=bicubic,format=nv12 -af aresample=48000 -ac 1 -f null -";
    const Measure tool = measure(RUSAGE_CHILDREN, [&] { run(command); });

    std::printf("%dx%d at 15 fps: %d frames, %d sound buffers\n", width, height, frames, buffers);
    std::printf("reading side: %.2f s wall, %.2f s cpu\n", ours.wall, ours.cpu);
    std::printf("ffmpeg tool:  %.2f s wall, %.2f s cpu\n", tool.wall, tool.cpu);
    return 0;
}
