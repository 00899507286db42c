// The reader's shared state, the hooks through which it drives its outputs, and the
// demux-and-decode loop every output pulls its frames through.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "media/ffmpeg/reading/probe.h"

namespace media::ff {

// Status, error and the cancel flag, shared by a reader and its outputs, which may be
// pulled on different threads while another thread cancels.
class ReaderState {
public:
    // Read by every demuxer's interrupt callback and between decoding steps.
    const std::atomic<bool>* cancelFlag() const { return &cancelled_; }
    bool cancelled() const { return cancelled_.load(std::memory_order_relaxed); }

    AssetReaderStatus status() const;
    std::optional<Error> error() const;
    bool reading() const { return status() == AssetReaderStatus::Reading; }

    void start(std::size_t outputs);
    // Records the first failure; later ones and failures after a cancel are dropped.
    void fail(Error error);
    void cancel();
    // One output has delivered its last buffer; the last one completes the reader.
    void outputFinished();

private:
    std::atomic<bool> cancelled_{false};
    mutable std::mutex mutex_;
    AssetReaderStatus status_ = AssetReaderStatus::Unknown;
    std::optional<Error> error_;
    std::size_t unfinished_ = 0;
};

// What the reader needs of its outputs beyond the public interface.
class ReadingOutput {
public:
    virtual ~ReadingOutput() = default;
    // The probed source every track of the output belongs to, or null.
    virtual const SourceInfo* source() const = 0;
    // Whether the output's settings are ones we deliver and its tracks can be decoded.
    virtual bool acceptable() const = 0;
    // Opens demuxers and decoders; an error keeps the reader from starting.
    virtual std::optional<Error> start(std::shared_ptr<ReaderState> state) = 0;
};

// One stream of the file: its own demuxer and decoder, yielding decoded frames in order.
// Damaged packets are skipped the way players skip them.
class StreamDecoder {
public:
    static Result<std::unique_ptr<StreamDecoder>> open(const SourceInfo& source, const StreamInfo& stream,
                                                       const std::atomic<bool>* cancel, bool threaded);

    // 0 with a frame, AVERROR_EOF at the end, AVERROR_EXIT when cancelled, or the
    // error that stops the stream.
    int receive(AVFrame* frame);
    const AVCodecContext* codec() const { return decoder_.get(); }

    // Says whether a picture stamped time would be shown, given the earliest later stamp
    // among the packets around it, sent before it or read after it (both in the stream's
    // time base). It can only be later than the picture that really follows, so a "no" is
    // safe.
    using ShownTest = std::function<bool(std::int64_t time, std::int64_t nextTime)>;
    // From here on, pictures the test rules out are not decoded where the codec can leave
    // them out: those no other picture refers to. Every picture that is decoded comes out
    // exactly as before.
    void skipUnshown(ShownTest test) { shown_ = std::move(test); }

private:
    int readPacket();
    // The next packet into packet_, through the read-ahead when pictures may be skipped.
    int nextPacket();
    bool worthDecoding() const;

    const std::atomic<bool>* cancel_ = nullptr;
    Demuxer demuxer_;
    TimestampMender mender_;
    CodecContextPtr decoder_;
    PacketPtr packet_;
    bool draining_ = false;
    ShownTest shown_;
    std::deque<PacketPtr> ahead_;   // read, not yet sent
    // The stamps of the last packets taken for sending, oldest overwritten first. With
    // reordering, the picture that follows one on screen is often sent before it.
    static constexpr std::size_t kStampsBehind = 16;
    std::array<std::int64_t, kStampsBehind> sentStamps_{};
    std::size_t sentCount_ = 0;
    std::vector<PacketPtr> spare_;  // emptied packets, for reuse
    int aheadEnd_ = 0;              // what ended reading ahead: AVERROR_EOF or the error; 0 not yet
};

}  // namespace media::ff
