// The sound input's encoder: FFmpeg's own AAC encoder, mono, 48 kHz. The reader's
// blocks of about 1024 samples are cut again into the encoder's exact frame size.
#include <memory>

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
}

#include "media/ffmpeg/writing/encoder.h"

namespace media::ff {
namespace {

constexpr AVRational kAudioTimeBase{1, kAudioSampleRate};

class AudioStreamEncoder final : public StreamEncoder {
public:
    AudioStreamEncoder(CodecContextPtr context, AudioFifoPtr fifo)
        : context_(std::move(context)), fifo_(std::move(fifo)), packet_(makePacket()) {}

    const AVCodecContext* context() const override { return context_.get(); }
    double appendedEnd() const override {
        return static_cast<double>(startSample_ + appendedSamples_) / kAudioSampleRate;
    }

    std::optional<Error> append(const FrameSampleBuffer& buffer, Time sessionStart, const PacketSink& sink) override {
        const AVFrame* block = buffer.frame();
        // One channel of 32-bit float: packed and planar are the same layout then.
        if (block == nullptr || (block->format != AV_SAMPLE_FMT_FLT && block->format != AV_SAMPLE_FMT_FLTP) ||
            block->ch_layout.nb_channels != 1 || (block->sample_rate != 0 && block->sample_rate != kAudioSampleRate)) {
            return mediaError("the sound is not mono 32-bit float at 48000 Hz as the sound settings say");
        }
        if (block->nb_samples <= 0) return std::nullopt;
        if (!started_) {
            // The sound is one continuous run of samples from its first block on; later
            // blocks are placed by counting, so rounding never opens gaps or overlaps.
            const Time pts = buffer.presentationTimeStamp();
            if (pts.isNumeric()) {
                startSample_ = timeToAV(pts, kAudioTimeBase) - timeToAV(sessionStart, kAudioTimeBase);
            }
            if (startSample_ < 0) return mediaError("the sound starts before the start of the session");
            started_ = true;
        }
        void* const* planes = reinterpret_cast<void* const*>(block->extended_data);
        if (av_audio_fifo_write(fifo_.get(), const_cast<void**>(planes), block->nb_samples) < block->nb_samples) {
            return errorFromAV(AVERROR(ENOMEM), "encoding failed");
        }
        appendedSamples_ += block->nb_samples;
        while (av_audio_fifo_size(fifo_.get()) >= context_->frame_size) {
            if (auto error = encodeChunk(context_->frame_size, sink)) return error;
        }
        return std::nullopt;
    }

    std::optional<Error> flush(const PacketSink& sink) override {
        // The encoder takes a shorter last frame.
        const int rest = av_audio_fifo_size(fifo_.get());
        if (rest > 0) {
            if (auto error = encodeChunk(rest, sink)) return error;
        }
        return sendAndDrain(context_.get(), nullptr, packet_.get(), sink);
    }

private:
    std::optional<Error> encodeChunk(int samples, const PacketSink& sink) {
        FramePtr frame = makeFrame();
        if (!frame) return errorFromAV(AVERROR(ENOMEM), "encoding failed");
        frame->nb_samples = samples;
        frame->format = context_->sample_fmt;
        frame->sample_rate = context_->sample_rate;
        int ret = av_channel_layout_copy(&frame->ch_layout, &context_->ch_layout);
        if (ret >= 0) ret = av_frame_get_buffer(frame.get(), 0);
        if (ret < 0) return errorFromAV(ret, "encoding failed");
        if (av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame->extended_data), samples) < samples) {
            return mediaError("encoding failed: the sound buffer ran short");
        }
        frame->pts = startSample_ + encodedSamples_;
        encodedSamples_ += samples;
        return sendAndDrain(context_.get(), frame.get(), packet_.get(), sink);
    }

    CodecContextPtr context_;
    AudioFifoPtr fifo_;
    PacketPtr packet_;
    bool started_ = false;
    std::int64_t startSample_ = 0;
    std::int64_t appendedSamples_ = 0;
    std::int64_t encodedSamples_ = 0;
};

}  // namespace

Result<std::unique_ptr<StreamEncoder>> makeAudioEncoder(const AudioConfig& config) {
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (codec == nullptr) return mediaError("the AAC encoder is not available");
    CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context) return errorFromAV(AVERROR(ENOMEM), "cannot set up the AAC encoder");
    context->sample_fmt = AV_SAMPLE_FMT_FLTP;
    context->sample_rate = kAudioSampleRate;
    const AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    int ret = av_channel_layout_copy(&context->ch_layout, &mono);
    if (ret < 0) return errorFromAV(ret, "cannot set up the AAC encoder");
    context->bit_rate = config.bitRate;
    context->profile = FF_PROFILE_AAC_LOW;
    context->time_base = kAudioTimeBase;
    context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    ret = avcodec_open2(context.get(), codec, nullptr);
    if (ret < 0) return errorFromAV(ret, "cannot open the AAC encoder");

    AudioFifoPtr fifo(av_audio_fifo_alloc(context->sample_fmt, 1, 2 * context->frame_size));
    if (!fifo) return errorFromAV(AVERROR(ENOMEM), "cannot set up the AAC encoder");
    return std::unique_ptr<StreamEncoder>(new AudioStreamEncoder(std::move(context), std::move(fifo)));
}

}  // namespace media::ff
