#include "media/ffmpeg/writing/video_encoder.h"

#include <algorithm>
#include <cmath>
#include <string>

extern "C" {
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
}

namespace media::ff {

void configureVideoContext(AVCodecContext* context, const VideoConfig& config) {
    context->width = config.width;
    context->height = config.height;
    context->sample_aspect_ratio = AVRational{1, 1};
    context->time_base = kVideoTimeBase;
    context->framerate = av_d2q(config.frameRate, 100000);
    // Single-pass average bit rate: no peak rate, no buffer model.
    context->bit_rate = config.bitRate;
    context->rc_max_rate = 0;
    context->rc_buffer_size = 0;
    if (config.gopSize > 0) context->gop_size = config.gopSize;
    context->max_b_frames = config.allowFrameReordering ? kMaxBFrames : 0;
    context->profile = FF_PROFILE_H264_HIGH;
    if (config.tagBT709) {
        // All three plus the range: the MP4 colour box is written only when primaries,
        // transfer and matrix are all known.
        context->color_primaries = AVCOL_PRI_BT709;
        context->color_trc = AVCOL_TRC_BT709;
        context->colorspace = AVCOL_SPC_BT709;
        context->color_range = AVCOL_RANGE_MPEG;
    }
    // MP4 keeps the parameter sets in the sample description, not in the stream.
    context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
}

Result<OpenedVideoEncoder> openSoftwareVideoEncoder(const VideoConfig& config) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (codec == nullptr) return mediaError("the H.264 software encoder is not available");
    CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context) return errorFromAV(AVERROR(ENOMEM), "cannot set up the H.264 encoder");

    configureVideoContext(context.get(), config);
    // libx264 takes NV12 as the reader delivers it: no conversion on the way.
    context->pix_fmt = AV_PIX_FMT_NV12;
    // Let libx264 choose its frame and lookahead threads for this machine.
    context->thread_count = 0;
    int ret = av_opt_set(context->priv_data, "preset", kX264Preset, 0);
    if (ret >= 0) ret = av_opt_set(context->priv_data, "profile", "high", 0);
    if (ret >= 0) ret = av_opt_set(context->priv_data, "x264-params", kX264Params, 0);
    if (ret < 0) return errorFromAV(ret, "cannot set up the H.264 encoder");
    // Level left unset: libx264 picks the lowest level that fits size, rate and bit rate.

    ret = avcodec_open2(context.get(), codec, nullptr);
    if (ret < 0) return errorFromAV(ret, "cannot open the H.264 encoder");
    return OpenedVideoEncoder{std::move(context), nullptr};
}

std::optional<Error> encodePicture(OpenedVideoEncoder& encoder, const AVFrame* picture, std::int64_t pts,
                                   AVPacket* packet, const PacketSink& sink) {
    AVCodecContext* context = encoder.context.get();
    if (picture == nullptr) return sendAndDrain(context, nullptr, packet, sink);

    FramePtr frame = makeFrame();
    if (!frame) return errorFromAV(AVERROR(ENOMEM), "encoding failed");
    int ret = 0;
    if (encoder.uploadFrames) {
        ret = av_hwframe_get_buffer(encoder.uploadFrames.get(), frame.get(), 0);
        if (ret >= 0) ret = av_hwframe_transfer_data(frame.get(), picture, 0);
    } else {
        // A new reference to the same picture: the buffer we were handed stays as it is.
        ret = av_frame_ref(frame.get(), picture);
    }
    if (ret < 0) return errorFromAV(ret, "cannot hand the picture to the encoder");
    frame->pts = pts;
    // The decoder's picture type would force key frames where the source had them.
    frame->pict_type = AV_PICTURE_TYPE_NONE;
    frame->key_frame = 0;
    return sendAndDrain(context, frame.get(), packet, sink);
}

namespace {

class VideoStreamEncoder final : public StreamEncoder {
public:
    VideoStreamEncoder(OpenedVideoEncoder encoder, const VideoConfig& config)
        : encoder_(std::move(encoder)),
          packet_(makePacket()),
          frameTicks_(std::max<std::int64_t>(1, std::llround(kVideoTimeBase.den / config.frameRate))) {}

    const AVCodecContext* context() const override { return encoder_.context.get(); }
    double appendedEnd() const override { return end_; }

    std::optional<Error> append(const FrameSampleBuffer& buffer, Time sessionStart, const PacketSink& sink) override {
        const AVFrame* picture = buffer.frame();
        const AVCodecContext* context = encoder_.context.get();
        if (picture == nullptr || picture->format != AV_PIX_FMT_NV12 || picture->width != context->width ||
            picture->height != context->height) {
            return mediaError("the picture is not " + std::to_string(context->width) + "x" +
                              std::to_string(context->height) + " NV12 as the video settings say");
        }
        const Time pts = buffer.presentationTimeStamp();
        if (!pts.isNumeric()) return mediaError("a picture has no presentation time");
        const std::int64_t ticks = timeToAV(pts, kVideoTimeBase) - timeToAV(sessionStart, kVideoTimeBase);
        if (ticks < 0) return mediaError("a picture lies before the start of the session");
        // The muxer needs rising times; a repeated or earlier picture is a fault upstream.
        if (ticks <= lastTicks_) return mediaError("the pictures are not in time order");

        const Time duration = buffer.duration();
        if (duration.isNumeric()) {
            const std::int64_t d = timeToAV(duration, kVideoTimeBase);
            if (d > 0) frameTicks_ = d;
        }
        if (auto error = encodePicture(encoder_, picture, ticks, packet_.get(), withDuration(sink))) return error;
        lastTicks_ = ticks;
        end_ = static_cast<double>(ticks + frameTicks_) / kVideoTimeBase.den;
        return std::nullopt;
    }

    std::optional<Error> flush(const PacketSink& sink) override {
        return encodePicture(encoder_, nullptr, 0, packet_.get(), withDuration(sink));
    }

private:
    // Encoders with a delay leave packet durations open; every picture lasts one frame,
    // and the muxer needs it for the last one.
    PacketSink withDuration(const PacketSink& sink) const {
        return [this, &sink](AVPacket* packet) {
            if (packet->duration <= 0) packet->duration = frameTicks_;
            return sink(packet);
        };
    }

    OpenedVideoEncoder encoder_;
    PacketPtr packet_;
    std::int64_t frameTicks_;
    std::int64_t lastTicks_ = -1;
    double end_ = 0;
};

}  // namespace

Result<std::unique_ptr<StreamEncoder>> makeVideoEncoder(const VideoConfig& config) {
    if (config.enableHardware) {
        auto hardware = openHardwareVideoEncoder(config);
        if (hardware) return std::unique_ptr<StreamEncoder>(new VideoStreamEncoder(std::move(hardware.value()), config));
        // Required hardware is never replaced by a quiet software encode.
        if (config.requireHardware) return hardware.error();
    }
    auto software = openSoftwareVideoEncoder(config);
    if (!software) return software.error();
    return std::unique_ptr<StreamEncoder>(new VideoStreamEncoder(std::move(software.value()), config));
}

}  // namespace media::ff
