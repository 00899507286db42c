// The composed-video output: decodes the first video track and shows it like a film
// projector at the composition's frame rate, each kept picture drawn into the render size.
// A worker thread of the output's own decodes and draws a few frames ahead, so decoding
// runs while the caller encodes the frames before.
#include "media/ffmpeg/reading/video_output.h"

#include <cmath>
#include <condition_variable>
#include <deque>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>

#include "media/ffmpeg/reading/asset.h"
#include "media/ffmpeg/reading/reader.h"
#include "media/ffmpeg/reading/render.h"
#include "media/ffmpeg/reading/stream_decoder.h"
#include "media/ffmpeg/reading/track_values.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace media::ff {
namespace {

constexpr int kMaxRenderSide = 16384;

// A time as a count of 1/timescale units, exact for comparisons.
struct Ticks {
    std::int64_t value = 0;
    AVRational unit{1, 1};
};

Ticks ticksOf(const Time& t) { return Ticks{t.value, AVRational{1, t.timescale}}; }

int compare(const Ticks& x, const Ticks& y) { return av_compare_ts(x.value, x.unit, y.value, y.unit); }

// Whether a picture stamped at time (in unit) is on display at now. Containers round
// times to their own tick (a millisecond in Matroska), so a 30 fps picture stamped 67 ms
// belongs at 66.67 ms; anything within half a tick of now counts as now, or every third
// picture would be shown twice and the next one skipped.
bool dueAt(std::int64_t time, AVRational unit, const Ticks& now) {
    if (compare(Ticks{time, unit}, now) <= 0) return true;
    constexpr std::int64_t kHalfRange = std::numeric_limits<std::int64_t>::max() / 2;
    if (time > kHalfRange || time < -kHalfRange || now.value > kHalfRange || now.value < -kHalfRange) return false;
    return av_compare_ts(2 * time - 1, unit, 2 * now.value, now.unit) <= 0;
}

// Frames drawn ahead of the caller. One is enough to keep decoding beside encoding: on
// two cores, three ahead were no faster on camera, phone or screen sources (wall time
// within 1 %) and held two more output-sized pictures (6 MiB at 1080p).
constexpr std::size_t kFramesAhead = 1;

class VideoCompositionOutput final : public AssetReaderVideoCompositionOutput, public ReadingOutput {
public:
    VideoCompositionOutput(std::vector<AssetTrackPtr> tracks, Settings settings)
        : tracks_(std::move(tracks)), settings_(std::move(settings)) {}
    ~VideoCompositionOutput() override;

    void setVideoComposition(const VideoComposition& composition) override { composition_ = composition; }
    // Nothing to copy for: a delivered picture is read-only (its buffer hands out a const
    // frame), so the frames that repeat a picture share its one drawing whatever is asked.
    void setAlwaysCopiesSampleData(bool) override {}
    SampleBufferPtr copyNextSampleBuffer() override;

    const SourceInfo* source() const override;
    bool acceptable() const override;
    std::optional<Error> start(std::shared_ptr<ReaderState> state) override;

private:
    const FileTrack* track() const { return firstFileTrack(tracks_); }
    std::optional<Error> plan();
    // The worker: produces frames into ahead_ until the track ends, reading stops or the
    // output is destroyed.
    void work();
    // The next frame of the projector; null at the end (atEnd_ set) or when reading stops.
    SampleBufferPtr produceNext();
    // Decodes the next source picture into lookahead_; false at the end of the track or
    // when reading stops.
    bool decodeNext();
    bool due(std::int64_t time, const Ticks& now) const { return dueAt(time, streamBase_, now); }
    // Whether the picture at time (asset timeline, stream base) is on display at some
    // frame still to come, when the next picture starts at next.
    bool shown(std::int64_t time, std::int64_t next) const;
    void release();
    SampleBufferPtr stop(Error error);

    std::vector<AssetTrackPtr> tracks_;
    Settings settings_;
    std::optional<VideoComposition> composition_;

    // Set when reading starts.
    std::shared_ptr<ReaderState> state_;
    std::unique_ptr<StreamDecoder> decoder_;
    std::unique_ptr<PictureRenderer> renderer_;
    Time frameDuration_;
    Ticks end_;
    AVRational streamBase_{1, 1};
    std::int64_t streamOrigin_ = 0;

    // The projector: the picture on display, the next one decoded, and the drawing of
    // the one on display once it has been drawn (repeats reuse it).
    FramePtr current_, lookahead_, drawn_;
    std::int64_t lastTime_ = AV_NOPTS_VALUE;  // of the last picture decoded, in streamBase_
    bool decoderDone_ = false;
    std::int64_t index_ = 0;  // of the next output frame
    bool atEnd_ = false;      // the worker met the end of the composition

    // Between the worker and the caller.
    std::thread worker_;
    std::mutex aheadMutex_;
    std::condition_variable aheadChanged_;
    std::deque<SampleBufferPtr> ahead_;
    bool produced_ = false;   // the worker has produced its last frame
    std::atomic<bool> stopping_{false};
    bool finished_ = false;   // the caller has been told the end (caller only)
    bool joined_ = false;     // the worker has returned and been joined (caller only)
};

VideoCompositionOutput::~VideoCompositionOutput() {
    if (!worker_.joinable()) return;
    {
        std::lock_guard lock(aheadMutex_);
        stopping_ = true;
    }
    aheadChanged_.notify_all();
    worker_.join();
}

const SourceInfo* VideoCompositionOutput::source() const { return firstTrackSource(tracks_); }

bool VideoCompositionOutput::acceptable() const {
    const FileTrack* t = track();
    if (t == nullptr || t->mediaType() != MediaType::Video) return false;
    const auto format = settings_.get<std::int64_t>(kCVPixelBufferPixelFormatTypeKey);
    if (format && *format != kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange) return false;
    // A decoder that exists and opens on the track's parameters.
    return openDecoder(t->stream(), false).ok();
}

std::optional<Error> VideoCompositionOutput::plan() {
    if (!composition_) return mediaError("the video output has no composition");
    const VideoComposition& c = *composition_;
    const double w = std::round(c.renderSize.width), h = std::round(c.renderSize.height);
    if (!(w >= 1 && w <= kMaxRenderSide && h >= 1 && h <= kMaxRenderSide)) {
        return mediaError("the composition's render size is not usable");
    }
    if (!c.frameDuration.isNumeric() || c.frameDuration.value <= 0) {
        return mediaError("the composition's frame duration is not usable");
    }
    frameDuration_ = c.frameDuration;

    // Frames run to the end of the last instruction; the picture is placed by the layer
    // instruction for this track in the first instruction that has one.
    bool haveEnd = false;
    std::optional<AffineTransform> transform;
    for (const VideoCompositionInstruction& instruction : c.instructions) {
        const TimeRange& r = instruction.timeRange;
        if (!r.start.isNumeric() || !r.duration.isNumeric()) {
            return mediaError("a composition instruction has no usable time range");
        }
        Ticks instructionEnd = ticksOf(r.duration);
        if (r.start.value != 0) {
            instructionEnd.value += av_rescale_q(r.start.value, AVRational{1, r.start.timescale}, instructionEnd.unit);
        }
        if (!haveEnd || compare(instructionEnd, end_) > 0) end_ = instructionEnd;
        haveEnd = true;
        for (const VideoCompositionLayerInstruction& layer : instruction.layerInstructions) {
            if (!transform && layer.track != nullptr && layer.track->trackID() == track()->trackID()) {
                transform = layer.transform;
            }
        }
    }
    if (!haveEnd) return mediaError("the composition has no instruction");

    auto target = colourTarget(c.colorPrimaries, c.colorTransferFunction, c.colorYCbCrMatrix);
    if (!target) return target.error();

    const StreamInfo& stream = track()->stream();
    // Without a layer for the track nothing of it is drawn.
    const AffineTransform layerTransform = transform.value_or(AffineTransform{0, 0, 0, 0, 0, 0});
    renderer_ = std::make_unique<PictureRenderer>(
        planRender(layerTransform, naturalSize(stream), static_cast<int>(w), static_cast<int>(h)),
        stream.peakLuminance, target.value());
    return std::nullopt;
}

std::optional<Error> VideoCompositionOutput::start(std::shared_ptr<ReaderState> state) {
    state_ = std::move(state);
    if (auto error = plan()) return error;
    const FileTrack* t = track();
    auto decoder = StreamDecoder::open(*t->source(), t->stream(), state_->cancelFlag(), true);
    if (!decoder) return decoder.error();
    decoder_ = std::move(decoder.value());
    streamBase_ = t->stream().timeBase;
    streamOrigin_ = t->source()->originIn(t->stream());
    // With fewer frames out than in, pictures between the frames need not be decoded.
    decoder_->skipUnshown(
        [this](std::int64_t time, std::int64_t next) { return shown(time - streamOrigin_, next - streamOrigin_); });
    return std::nullopt;
}

bool VideoCompositionOutput::shown(std::int64_t time, std::int64_t next) const {
    // The first picture is shown until the first one whose time has come.
    if (!current_ && !lookahead_) return true;
    const auto at = [this](std::int64_t k) {
        return Ticks{k * frameDuration_.value, AVRational{1, frameDuration_.timescale}};
    };
    // The first frame still to come at which the picture is due; it is shown there unless
    // the next one is due by then too.
    const std::int64_t ticks = av_rescale_q_rnd(time, streamBase_, AVRational{1, frameDuration_.timescale},
                                                static_cast<AVRounding>(AV_ROUND_DOWN | AV_ROUND_PASS_MINMAX));
    std::int64_t k = std::max(ticks / frameDuration_.value - 1, index_);
    for (int step = 0; !due(time, at(k)); ++k) {
        if (++step > 4) return true;
    }
    if (compare(at(k), end_) >= 0) return true;
    return !due(next, at(k));
}

bool VideoCompositionOutput::decodeNext() {
    FramePtr frame = makeFrame();
    if (!frame) {
        state_->fail(errorFromAV(AVERROR(ENOMEM)));
        return false;
    }
    const int ret = decoder_->receive(frame.get());
    if (ret == AVERROR_EOF) {
        decoderDone_ = true;
        return false;
    }
    if (ret == AVERROR_EXIT) return false;  // cancelled: the state says so already
    if (ret < 0) {
        state_->fail(errorFromAV(ret, "cannot decode the video"));
        return false;
    }
    std::int64_t time = frame->best_effort_timestamp;
    if (time == AV_NOPTS_VALUE) {
        // No time at all: the picture follows the previous one by a frame.
        const AVRational rate = decoder_->codec()->framerate;
        const std::int64_t step = rate.num > 0 && rate.den > 0 ? av_rescale_q(1, av_inv_q(rate), streamBase_) : 1;
        time = lastTime_ == AV_NOPTS_VALUE ? streamOrigin_ : lastTime_ + std::max<std::int64_t>(step, 1);
    }
    lastTime_ = time;
    lookahead_ = std::move(frame);
    return true;
}

void VideoCompositionOutput::release() {
    current_.reset();
    lookahead_.reset();
    drawn_.reset();
    decoder_.reset();
    renderer_.reset();
}

void VideoCompositionOutput::work() {
    for (;;) {
        SampleBufferPtr buffer = produceNext();
        std::unique_lock lock(aheadMutex_);
        if (!buffer) {
            release();
            produced_ = true;
            aheadChanged_.notify_all();
            return;
        }
        aheadChanged_.wait(lock, [this] { return ahead_.size() < kFramesAhead || stopping_; });
        if (stopping_) return;
        ahead_.push_back(std::move(buffer));
        aheadChanged_.notify_all();
    }
}

SampleBufferPtr VideoCompositionOutput::copyNextSampleBuffer() {
    if (!state_ || finished_ || !state_->reading()) return nullptr;
    if (!worker_.joinable() && !joined_) {
        try {
            worker_ = std::thread([this] { work(); });
        } catch (const std::system_error& e) {
            return stop(errorFromErrno(e.code().value(), "cannot start decoding"));
        }
    }
    SampleBufferPtr buffer;
    bool end = false;
    bool drained = false;
    {
        std::unique_lock lock(aheadMutex_);
        aheadChanged_.wait(lock, [this] { return !ahead_.empty() || produced_; });
        if (!ahead_.empty()) {
            buffer = std::move(ahead_.front());
            ahead_.pop_front();
        } else {
            end = atEnd_;
            drained = true;
        }
    }
    aheadChanged_.notify_all();
    // The worker has returned, or is about to, once it has produced its last frame:
    // join it now rather than leave a finished thread unjoined until the output goes,
    // which may be never when the process ends through _exit.
    if (drained && worker_.joinable()) {
        worker_.join();
        joined_ = true;
    }
    // Frames drawn before a cancel or a failure are not delivered after it.
    if (!state_->reading()) return nullptr;
    if (end) {
        finished_ = true;
        state_->outputFinished();
    }
    return buffer;
}

SampleBufferPtr VideoCompositionOutput::stop(Error error) {
    state_->fail(std::move(error));
    return nullptr;
}

SampleBufferPtr VideoCompositionOutput::produceNext() {
    if (stopping_ || !state_->reading()) return nullptr;
    const Ticks now{index_ * frameDuration_.value, AVRational{1, frameDuration_.timescale}};
    if (compare(now, end_) >= 0) {
        atEnd_ = true;
        return nullptr;
    }
    // Advance to the last picture whose time has come (the first one until then).
    for (;;) {
        if (!lookahead_ && !decoderDone_ && !decodeNext() && !decoderDone_) return nullptr;
        if (!current_) {
            if (!lookahead_) return stop(mediaError("the video track has no picture that can be decoded"));
            current_ = std::move(lookahead_);
            drawn_.reset();
            continue;
        }
        if (lookahead_ && due(lastTime_ - streamOrigin_, now)) {
            current_ = std::move(lookahead_);
            drawn_.reset();
            continue;
        }
        break;
    }
    if (!drawn_) {
        auto drawn = renderer_->render(*current_);
        if (!drawn) return stop(drawn.error());
        drawn_ = std::move(drawn.value());
    }
    FramePtr frame(av_frame_clone(drawn_.get()));
    if (!frame) return stop(errorFromAV(AVERROR(ENOMEM)));
    const Time pts = Time::make(now.value, frameDuration_.timescale);
    frame->pts = now.value;
    ++index_;
    // The last frame lasts to the end of the composition, not a whole frame past it.
    Time duration = frameDuration_;
    const std::int64_t left =
        av_rescale_q_rnd(end_.value, end_.unit, AVRational{1, frameDuration_.timescale},
                         static_cast<AVRounding>(AV_ROUND_UP | AV_ROUND_PASS_MINMAX)) -
        now.value;
    if (left > 0 && left < frameDuration_.value) duration = Time::make(left, frameDuration_.timescale);
    return std::make_unique<FrameSampleBuffer>(std::move(frame), pts, duration);
}

}  // namespace

std::shared_ptr<AssetReaderVideoCompositionOutput> makeVideoCompositionOutput(
    const std::vector<AssetTrackPtr>& videoTracks, const Settings& videoSettings) {
    return std::make_shared<VideoCompositionOutput>(videoTracks, videoSettings);
}

}  // namespace media::ff
