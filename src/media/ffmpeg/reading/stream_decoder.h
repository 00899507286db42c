// Demuxing and decoding one stream of a probed file: the file opened for libavformat,
// the mending of its timestamps, a demuxer that reads only the stream, its decoder, and
// the loop that turns the stream's packets into decoded frames.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include "media/ffmpeg/reading/source.h"

namespace media::ff {

// Opens the file for demuxing (format null: found by probing), stopping as soon as
// *cancel becomes true when cancel is given.
Result<InputFormatPtr> openInput(const std::filesystem::path& path, const AVInputFormat* format,
                                 const std::atomic<bool>* cancel);

// Closes up the forward jumps of a stream's timestamps in formats whose clock may
// restart (transport and program streams, FLV): a packet more than 10 s after the one
// before it follows that one by a step instead, and so does everything after it, as
// FFmpeg's command line does by default. The same mending applies when the length is
// measured and when the packets are read, so both see one timeline.
class TimestampMender {
public:
    TimestampMender() = default;
    TimestampMender(const AVInputFormat* format, AVRational timeBase);
    void mend(AVPacket* packet);

private:
    bool active_ = false;
    std::int64_t threshold_ = 0;  // in the stream's time base
    std::int64_t offset_ = 0;     // subtracted from every time
    std::int64_t last_ = AV_NOPTS_VALUE;  // the last decoding time, mended
    std::int64_t step_ = 0;
};


// A demuxer on the file that reads only the given stream, stopping as soon as
// *cancel becomes true. Opened without a second stream probe: the asset has done it.
struct Demuxer {
    InputFormatPtr context;
    int streamIndex = -1;
};
Result<Demuxer> openDemuxer(const SourceInfo& source, int streamIndex, const std::atomic<bool>* cancel);

// A decoder for the stream, set up from the probed parameters.
Result<CodecContextPtr> openDecoder(const StreamInfo& stream, bool threaded);

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
