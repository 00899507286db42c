// What the reading side learns about a source file when it first opens it: the
// container's timeline and one record per stream. Probed once per asset and shared,
// read-only, by the asset's tracks and by every reader output opened on it.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "media/ffmpeg/libav.h"

namespace media::ff {

struct CodecParametersDeleter {
    void operator()(AVCodecParameters* p) const { avcodec_parameters_free(&p); }
};
using CodecParametersPtr = std::unique_ptr<AVCodecParameters, CodecParametersDeleter>;

struct StreamInfo {
    int index = 0;
    std::int32_t trackID = 0;
    AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
    bool attachedPicture = false;  // cover art: not a video track
    CodecParametersPtr parameters;
    AVRational timeBase{0, 1};
    std::int64_t startTime = AV_NOPTS_VALUE;  // in timeBase, on the container's clock
    std::int64_t duration = AV_NOPTS_VALUE;   // in timeBase
    AVRational averageFrameRate{0, 0};
    AVRational realFrameRate{0, 0};
    AVRational sampleAspectRatio{0, 1};
    std::optional<std::array<std::int32_t, 9>> displayMatrix;
    std::int64_t bitRate = 0;  // the container's figure, 0 when it has none
    std::int64_t indexedBytes = -1;  // sum of the index entries' sizes, -1 when unusable
    // What the file's packets hold, when they were surveyed (see SourceInfo::surveyed):
    // how many there are and their bytes.
    std::int64_t packets = -1;
    std::int64_t packetBytes = -1;
    // The header's length for the stream reached past its data and was cut to it: the
    // container's figures derived from that length (its bit rate) are not to be used.
    bool lengthCut = false;
    // The brightest light the stream says it holds, in cd/m², from its content light
    // level or else its mastering display; 0 when it says nothing.
    double peakLuminance = 0;
};

struct SourceInfo {
    std::filesystem::path path;
    const AVInputFormat* format = nullptr;
    std::int64_t origin = 0;      // container time (AV_TIME_BASE) shown at asset time 0
    std::int64_t durationUs = 0;  // asset duration in AV_TIME_BASE units
    // Whether every packet of the file was read while probing (formats whose index does
    // not list every sample): the streams' packet counts and bytes are then known.
    bool surveyed = false;
    std::vector<StreamInfo> streams;

    Time duration() const { return Time::make(durationUs, AV_TIME_BASE); }
    // The stream's origin in its own time base.
    std::int64_t originIn(const StreamInfo& stream) const;
};

// The path as a URL for libavformat, which would otherwise take a name such as
// "take:1.mp4" for a protocol.
std::string fileURL(const std::filesystem::path& path);

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

// Opens and probes the file. The asset's length and each stream's come from the
// header unless it claims more than the packets hold: then from the end of the last
// packet. Where the demuxer's index lists every sample (MP4 that is not fragmented,
// AVI with its index) the index tells without reading any packet; otherwise every
// packet is read once, here, and what that pass finds also answers the data rates and
// which streams hold packets. preciseDuration is kept for the callers: the length is
// always measured.
Result<std::shared_ptr<const SourceInfo>> probeSource(const std::filesystem::path& path, bool preciseDuration);

// Bits per second of every stream, from packet sizes over the stream's time span;
// for streams whose container gives no rate. From the probe's pass when it made one,
// else one pass over the file's packets.
Result<std::vector<double>> measureDataRates(const SourceInfo& source);

// The track's time range on the asset timeline.
TimeRange streamTimeRange(const SourceInfo& source, const StreamInfo& stream);

// The picture size with the sample aspect ratio applied (the width widened or narrowed).
Size naturalSize(const StreamInfo& stream);

// The display matrix (libavutil's layout: a, b, u, c, d, v, x, y, w, with a..d and
// x, y in 16.16 fixed point) as a transform of our convention, with the translation
// that puts the turned natural rectangle at the origin.
AffineTransform transformFromDisplayMatrix(const std::array<std::int32_t, 9>& matrix, Size natural);

// Frames per second as the 32-bit figure the loads report, 0 when unknown.
float nominalFrameRate(const StreamInfo& stream);

// A demuxer on the file that reads only the given stream, stopping as soon as
// *cancel becomes true. Opened without a second stream probe: the asset has done it.
struct Demuxer {
    InputFormatPtr context;
    int streamIndex = -1;
};
Result<Demuxer> openDemuxer(const SourceInfo& source, int streamIndex, const std::atomic<bool>* cancel);

// A decoder for the stream, set up from the probed parameters.
Result<CodecContextPtr> openDecoder(const StreamInfo& stream, bool threaded);

// Which of the given streams hold at least one packet: one flag per stream of the
// source, false for those not asked about. Answered from the probe's pass when it made
// one; otherwise reads only the asked streams, and only until
// each has shown a packet; a read error counts as the end of the file. A stream without
// any packet costs a pass over the file (for MP4, over its index and fragment headers).
Result<std::vector<bool>> streamsWithPackets(const SourceInfo& source, const std::vector<int>& streamIndexes);

}  // namespace media::ff
