// What both halves of the FFmpeg media layer share: the owner of every libav object the
// layer holds, errors and time conversions between libav values and ours, and the sample
// buffer that carries a decoded frame from the reader to the writer. Nothing here leaks past src/media/.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/mastering_display_metadata.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <filesystem>
#include <memory>
#include <string>

#include "media/framework.h"

namespace media::ff {

struct InputFormatDeleter {
    void operator()(AVFormatContext* p) const { avformat_close_input(&p); }
};
struct OutputFormatDeleter {
    void operator()(AVFormatContext* p) const;  // closes the file if open, then frees
};
struct CodecContextDeleter {
    void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct FrameDeleter {
    void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwsDeleter {
    void operator()(SwsContext* p) const { sws_freeContext(p); }
};
struct SwrDeleter {
    void operator()(SwrContext* p) const { swr_free(&p); }
};
struct FilterGraphDeleter {
    void operator()(AVFilterGraph* p) const { avfilter_graph_free(&p); }
};
struct BufferRefDeleter {
    void operator()(AVBufferRef* p) const { av_buffer_unref(&p); }
};
struct CodecParametersDeleter {
    void operator()(AVCodecParameters* p) const { avcodec_parameters_free(&p); }
};
struct FilterInOutDeleter {
    void operator()(AVFilterInOut* p) const { avfilter_inout_free(&p); }
};
struct AudioFifoDeleter {
    void operator()(AVAudioFifo* p) const { av_audio_fifo_free(p); }
};

using InputFormatPtr = std::unique_ptr<AVFormatContext, InputFormatDeleter>;
using OutputFormatPtr = std::unique_ptr<AVFormatContext, OutputFormatDeleter>;
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;
using FilterGraphPtr = std::unique_ptr<AVFilterGraph, FilterGraphDeleter>;
using BufferRefPtr = std::unique_ptr<AVBufferRef, BufferRefDeleter>;
using CodecParametersPtr = std::unique_ptr<AVCodecParameters, CodecParametersDeleter>;
using FilterInOutPtr = std::unique_ptr<AVFilterInOut, FilterInOutDeleter>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoDeleter>;

// A channel layout held by value, whose channel map (for custom orders) is freed with it.
struct ChannelLayoutOwner {
    AVChannelLayout layout{};
    ChannelLayoutOwner() = default;
    ChannelLayoutOwner(const ChannelLayoutOwner&) = delete;
    ChannelLayoutOwner& operator=(const ChannelLayoutOwner&) = delete;
    ~ChannelLayoutOwner() { av_channel_layout_uninit(&layout); }
};

inline FramePtr makeFrame() { return FramePtr(av_frame_alloc()); }
inline PacketPtr makePacket() { return PacketPtr(av_packet_alloc()); }

// The library's text for an error code.
std::string describeAVError(int averror);

// An error of our type for a libav error code: the library's text (prefixed by what
// failed, when given), the ffmpeg domain and the code, and the system error beneath it
// when the code wraps an errno.
Error errorFromAV(int averror, const std::string& what = {});
// An error of our layer with no library code beneath it.
Error mediaError(const std::string& description, std::int64_t code = -1);
// An errno as an error of the posix domain.
Error errorFromErrno(int err, const std::string& what = {});

// The path as a URL for libavformat, which would otherwise take a name such as
// "take:1.mp4" for a protocol: the file protocol by name.
std::string fileURL(const std::filesystem::path& path);

Time timeFromAV(std::int64_t ts, AVRational timeBase);
std::int64_t timeToAV(const Time& time, AVRational timeBase);  // rounded to nearest

// A side-data record as its type, or null when absent or too short to be one.
template <typename T>
const T* sideDataAs(const void* data, std::size_t size) {
    return data != nullptr && size >= sizeof(T) ? static_cast<const T*>(data) : nullptr;
}

// The brightest light a picture holds, in cd/m²: its content light level (MaxCLL), or
// else its mastering display's peak; 0 when neither says. Either record may be null.
double peakLuminance(const AVContentLightMetadata* light, const AVMasteringDisplayMetadata* display);

// Silences the libraries' own log lines: they never reach our console.
void silenceLibraryLogs();

// A decoded frame travelling from a reader output to a writer input.
class FrameSampleBuffer final : public SampleBuffer {
public:
    FrameSampleBuffer(FramePtr frame, Time pts, Time duration)
        : frame_(std::move(frame)), pts_(pts), duration_(duration) {}
    Time presentationTimeStamp() const override { return pts_; }
    Time duration() const override { return duration_; }
    const AVFrame* frame() const { return frame_.get(); }

private:
    FramePtr frame_;
    Time pts_;
    Time duration_;
};

}  // namespace media::ff
