#include "media/ffmpeg/reading/stream_decoder.h"

#include <algorithm>

extern "C" {
#include <libavutil/common.h>
#include <libavutil/mathematics.h>
}

namespace media::ff {
namespace {

int interruptCallback(void* opaque) {
    const auto* cancel = static_cast<const std::atomic<bool>*>(opaque);
    return cancel != nullptr && cancel->load(std::memory_order_relaxed) ? 1 : 0;
}

}  // namespace

Result<InputFormatPtr> openInput(const std::filesystem::path& path, const AVInputFormat* format,
                                 const std::atomic<bool>* cancel) {
    AVFormatContext* raw = avformat_alloc_context();
    if (raw == nullptr) return errorFromAV(AVERROR(ENOMEM), "cannot open the file");
    if (cancel != nullptr) {
        raw->interrupt_callback.callback = interruptCallback;
        raw->interrupt_callback.opaque = const_cast<std::atomic<bool>*>(cancel);
    }
    // On failure avformat_open_input frees the context itself.
    const int ret = avformat_open_input(&raw, fileURL(path).c_str(), format, nullptr);
    if (ret < 0) return errorFromAV(ret);
    return InputFormatPtr(raw);
}

TimestampMender::TimestampMender(const AVInputFormat* format, AVRational timeBase)
    : active_(format != nullptr && (format->flags & AVFMT_TS_DISCONT) != 0 && timeBase.num > 0 && timeBase.den > 0),
      threshold_(active_ ? av_rescale_q(10 * AV_TIME_BASE, AV_TIME_BASE_Q, timeBase) : 0) {}

void TimestampMender::mend(AVPacket* packet) {
    if (!active_) return;
    const std::int64_t raw = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
    if (raw == AV_NOPTS_VALUE) return;
    if (last_ != AV_NOPTS_VALUE) {
        const std::int64_t gap = av_sat_sub64(av_sat_sub64(raw, offset_), last_);
        if (gap > threshold_) {
            // The packet follows the one before it by that one's step instead.
            const std::int64_t step = packet->duration > 0 ? packet->duration : step_;
            offset_ = av_sat_add64(offset_, av_sat_sub64(gap, step));
        }
    }
    if (packet->pts != AV_NOPTS_VALUE) packet->pts -= offset_;
    if (packet->dts != AV_NOPTS_VALUE) packet->dts -= offset_;
    const std::int64_t mended = raw - offset_;
    if (last_ != AV_NOPTS_VALUE && mended > last_) step_ = mended - last_;
    if (last_ == AV_NOPTS_VALUE || mended > last_) last_ = mended;
}

Result<Demuxer> openDemuxer(const SourceInfo& source, int streamIndex, const std::atomic<bool>* cancel) {
    auto opened = openInput(source.path, source.format, cancel);
    if (!opened) return opened.error();
    Demuxer demuxer{std::move(opened.value()), streamIndex};
    AVFormatContext* ctx = demuxer.context.get();
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        ctx->streams[i]->discard = static_cast<int>(i) == streamIndex ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    }
    return demuxer;
}

Result<CodecContextPtr> openDecoder(const StreamInfo& stream, bool threaded) {
    const AVCodec* codec = avcodec_find_decoder(stream.parameters->codec_id);
    if (codec == nullptr) return errorFromAV(AVERROR_DECODER_NOT_FOUND, "no decoder for the track");
    CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context) return errorFromAV(AVERROR(ENOMEM));
    int ret = avcodec_parameters_to_context(context.get(), stream.parameters.get());
    if (ret < 0) return errorFromAV(ret, "cannot set up the decoder");
    context->pkt_timebase = stream.timeBase;
    if (threaded) {
        context->thread_count = 0;  // one per core
        context->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    } else {
        context->thread_count = 1;
    }
    ret = avcodec_open2(context.get(), codec, nullptr);
    if (ret < 0) return errorFromAV(ret, "cannot open the decoder");
    return context;
}

// ---- Demuxing and decoding one stream ---------------------------------------------

Result<std::unique_ptr<StreamDecoder>> StreamDecoder::open(const SourceInfo& source, const StreamInfo& stream,
                                                           const std::atomic<bool>* cancel, bool threaded) {
    auto decoder = std::unique_ptr<StreamDecoder>(new StreamDecoder());
    decoder->cancel_ = cancel;
    auto demuxer = openDemuxer(source, stream.index, cancel);
    if (!demuxer) return demuxer.error();
    decoder->demuxer_ = std::move(demuxer.value());
    decoder->mender_ = TimestampMender(source.format, stream.timeBase);
    auto codec = openDecoder(stream, threaded);
    if (!codec) return codec.error();
    decoder->decoder_ = std::move(codec.value());
    decoder->packet_ = makePacket();
    if (!decoder->packet_) return errorFromAV(AVERROR(ENOMEM));
    return decoder;
}

int StreamDecoder::readPacket() {
    // A demuxer that keeps finding nothing but damage will not recover.
    constexpr int kMaxDamagedReads = 64;
    int damaged = 0;
    AVFormatContext* ctx = demuxer_.context.get();
    for (;;) {
        if (cancel_ != nullptr && cancel_->load(std::memory_order_relaxed)) return AVERROR_EXIT;
        const int ret = av_read_frame(ctx, packet_.get());
        if (ret >= 0) {
            if (packet_->stream_index == demuxer_.streamIndex) {
                mender_.mend(packet_.get());
                return 0;
            }
            av_packet_unref(packet_.get());
            continue;
        }
        if (cancel_ != nullptr && cancel_->load(std::memory_order_relaxed)) return AVERROR_EXIT;
        if (ret == AVERROR_EOF) return AVERROR_EOF;
        // An I/O error is fatal; damage that runs into the end of the file (a truncated
        // recording) ends the stream cleanly, as players do.
        if (ctx->pb != nullptr && ctx->pb->error < 0) return ctx->pb->error;
        if (ctx->pb != nullptr && avio_feof(ctx->pb)) return AVERROR_EOF;
        if ((ret == AVERROR_INVALIDDATA || ret == AVERROR(EAGAIN)) && ++damaged < kMaxDamagedReads) continue;
        return ret;
    }
}

int StreamDecoder::nextPacket() {
    if (!shown_) return readPacket();
    // Enough packets to see past the reordering of any usual stream; a successor further
    // on only makes the test answer "shown".
    constexpr std::size_t kPacketsAhead = 8;
    while (ahead_.size() < kPacketsAhead && aheadEnd_ == 0) {
        const int ret = readPacket();
        if (ret == AVERROR_EXIT) return ret;
        if (ret < 0) {
            aheadEnd_ = ret;
            break;
        }
        PacketPtr packet;
        if (!spare_.empty()) {
            packet = std::move(spare_.back());
            spare_.pop_back();
        } else {
            packet = makePacket();
            if (!packet) return AVERROR(ENOMEM);
        }
        av_packet_move_ref(packet.get(), packet_.get());
        ahead_.push_back(std::move(packet));
    }
    if (ahead_.empty()) return aheadEnd_;
    av_packet_move_ref(packet_.get(), ahead_.front().get());
    spare_.push_back(std::move(ahead_.front()));
    ahead_.pop_front();
    sentStamps_[sentCount_++ % kStampsBehind] = packet_->pts;
    return 0;
}

bool StreamDecoder::worthDecoding() const {
    const std::int64_t time = packet_->pts;
    if (!shown_ || time == AV_NOPTS_VALUE || (packet_->flags & AV_PKT_FLAG_KEY) != 0) return true;
    // The picture that follows this one on screen may have been sent already: a B-frame
    // is sent after the picture it precedes.
    std::int64_t next = AV_NOPTS_VALUE;
    const auto consider = [&](std::int64_t stamp) {
        if (stamp != AV_NOPTS_VALUE && stamp > time && (next == AV_NOPTS_VALUE || stamp < next)) next = stamp;
    };
    for (std::size_t i = 0; i < std::min(sentCount_, kStampsBehind); ++i) consider(sentStamps_[i]);
    for (const PacketPtr& later : ahead_) consider(later->pts);
    return next == AV_NOPTS_VALUE || shown_(time, next);
}

namespace {

// What the decoder says of damaged data. Players skip it and go on; only running out of
// memory stops a stream.
bool isDamage(int averror) { return averror < 0 && averror != AVERROR(ENOMEM) && averror != AVERROR_EXIT; }

}  // namespace

int StreamDecoder::receive(AVFrame* frame) {
    // A decoder that keeps failing without being given anything new is stuck.
    constexpr int kMaxFailuresWithoutInput = 64;
    AVCodecContext* dec = decoder_.get();
    int failures = 0;
    for (;;) {
        if (cancel_ != nullptr && cancel_->load(std::memory_order_relaxed)) return AVERROR_EXIT;
        int ret = avcodec_receive_frame(dec, frame);
        if (ret == 0 || ret == AVERROR_EOF) return ret;
        if (ret != AVERROR(EAGAIN)) {
            // A damaged picture: the next one may be fine.
            if (isDamage(ret) && ++failures < kMaxFailuresWithoutInput) continue;
            return ret;
        }
        if (draining_) return AVERROR_EOF;

        ret = nextPacket();
        failures = 0;
        if (ret == AVERROR_EOF) {
            // The decoder drains from here on even when it reports damage in what it held.
            draining_ = true;
            ret = avcodec_send_packet(dec, nullptr);
            if (ret < 0 && ret != AVERROR_EOF && !isDamage(ret)) return ret;
            continue;
        }
        if (ret < 0) return ret;
        // Only pictures nothing refers to are left out; the decoder knows which they are.
        if (shown_) dec->skip_frame = worthDecoding() ? AVDISCARD_DEFAULT : AVDISCARD_NONREF;
        // The packet is taken even when the decoder reports damage; it is not sent again.
        ret = avcodec_send_packet(dec, packet_.get());
        av_packet_unref(packet_.get());
        if (ret < 0 && ret != AVERROR(EAGAIN) && !isDamage(ret)) return ret;
    }
}

}  // namespace media::ff
