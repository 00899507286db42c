#include "media/ffmpeg/reading/reader.h"

#include <algorithm>

#include "media/ffmpeg/reading/asset.h"

namespace media::ff {

// ---- Shared state -----------------------------------------------------------------

AssetReaderStatus ReaderState::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

std::optional<Error> ReaderState::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

void ReaderState::start(std::size_t outputs) {
    std::lock_guard lock(mutex_);
    unfinished_ = outputs;
    if (status_ == AssetReaderStatus::Unknown) status_ = AssetReaderStatus::Reading;
}

void ReaderState::fail(Error error) {
    std::lock_guard lock(mutex_);
    if (status_ == AssetReaderStatus::Cancelled || status_ == AssetReaderStatus::Failed) return;
    status_ = AssetReaderStatus::Failed;
    error_ = std::move(error);
}

void ReaderState::cancel() {
    cancelled_.store(true, std::memory_order_relaxed);
    std::lock_guard lock(mutex_);
    if (status_ == AssetReaderStatus::Unknown || status_ == AssetReaderStatus::Reading) {
        status_ = AssetReaderStatus::Cancelled;
    }
}

void ReaderState::outputFinished() {
    std::lock_guard lock(mutex_);
    if (unfinished_ > 0) --unfinished_;
    if (unfinished_ == 0 && status_ == AssetReaderStatus::Reading) status_ = AssetReaderStatus::Completed;
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
