#include "media/ffmpeg/writing/encoder.h"

namespace media::ff {
namespace {

// Hands every packet the encoder has ready to sink; stops at EAGAIN (it wants more
// input) or EOF (it is drained).
std::optional<Error> drain(AVCodecContext* context, AVPacket* packet, const PacketSink& sink) {
    for (;;) {
        const int ret = avcodec_receive_packet(context, packet);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return std::nullopt;
        if (ret < 0) return errorFromAV(ret, "encoding failed");
        std::optional<Error> error = sink(packet);
        av_packet_unref(packet);
        if (error) return error;
    }
}

}  // namespace

Result<std::unique_ptr<StreamEncoder>> makeEncoder(MediaType type, const Settings& settings) {
    if (type == MediaType::Video) {
        auto config = parseVideoSettings(settings);
        if (!config) return config.error();
        return makeVideoEncoder(config.value());
    }
    auto config = parseAudioSettings(settings);
    if (!config) return config.error();
    return makeAudioEncoder(config.value());
}

std::optional<Error> sendAndDrain(AVCodecContext* context, const AVFrame* frame, AVPacket* packet,
                                  const PacketSink& sink) {
    int ret = avcodec_send_frame(context, frame);
    if (ret == AVERROR(EAGAIN)) {
        // The encoder wants its output taken first; then it accepts the frame.
        if (auto error = drain(context, packet, sink)) return error;
        ret = avcodec_send_frame(context, frame);
    }
    // A second flush request is harmless: the encoder is drained already.
    if (ret == AVERROR_EOF && frame == nullptr) return std::nullopt;
    if (ret < 0) return errorFromAV(ret, "encoding failed");
    return drain(context, packet, sink);
}

}  // namespace media::ff
