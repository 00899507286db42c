// The mixed-sound output: every sound track decoded through its own demuxer, folded to
// mono with our own matrix, resampled, scaled by its volume and summed on one timeline
// that runs from 0 to the end of the asset.
#include "media/ffmpeg/reading/audio_output.h"

#include <algorithm>
#include <cmath>

#include "media/ffmpeg/reading/asset.h"
#include "media/ffmpeg/reading/reader.h"
#include "media/ffmpeg/reading/stream_decoder.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
}

namespace media::ff {
namespace {

constexpr int kBufferSamples = 1024;
constexpr double kSurroundGain = 0.70710677;  // -3 dB

// The layout with its channels named: one whose order is unspecified is taken as the
// usual layout of that many channels. 0, or the error of the copy.
int orderedLayout(const AVChannelLayout& layout, ChannelLayoutOwner& ordered) {
    if (layout.order == AV_CHANNEL_ORDER_UNSPEC) {
        av_channel_layout_default(&ordered.layout, layout.nb_channels);
        return 0;
    }
    return av_channel_layout_copy(&ordered.layout, &layout);
}

double foldGain(AVChannel channel) {
    switch (channel) {
        case AV_CHAN_FRONT_LEFT:
        case AV_CHAN_FRONT_RIGHT:
        case AV_CHAN_FRONT_CENTER:
        case AV_CHAN_FRONT_LEFT_OF_CENTER:
        case AV_CHAN_FRONT_RIGHT_OF_CENTER:
        case AV_CHAN_STEREO_LEFT:
        case AV_CHAN_STEREO_RIGHT:
            return 1.0;
        case AV_CHAN_LOW_FREQUENCY:
        case AV_CHAN_LOW_FREQUENCY_2:
            return 0.0;
        default:  // sides, backs, tops and wides: the surrounds
            return kSurroundGain;
    }
}

}  // namespace

// The mono fold-down of a channel layout: one gain per input channel. Mono and stereo
// keep unit gain per channel, so the track level alone sets the fold-down.
std::vector<double> monoFoldMatrix(const AVChannelLayout& layout) {
    const int channels = layout.nb_channels;
    if (channels <= 0) return {};
    if (channels == 1) return {1.0};
    ChannelLayoutOwner known;
    if (orderedLayout(layout, known) < 0) return std::vector<double>(static_cast<std::size_t>(channels), 1.0);
    std::vector<double> gains;
    for (int i = 0; i < channels; ++i) {
        gains.push_back(foldGain(av_channel_layout_channel_from_index(&known.layout, static_cast<unsigned>(i))));
    }
    return gains;
}

namespace {

bool sameLayout(const AVChannelLayout& x, const AVChannelLayout& y) { return av_channel_layout_compare(&x, &y) == 0; }

class AudioMixOutput final : public AssetReaderAudioMixOutput, public ReadingOutput {
public:
    AudioMixOutput(std::vector<AssetTrackPtr> tracks, Settings settings)
        : tracks_(std::move(tracks)), settings_(std::move(settings)) {}

    void setAudioMix(const AudioMix& mix) override { mix_ = mix; }
    SampleBufferPtr copyNextSampleBuffer() override;

    const SourceInfo* source() const override;
    bool acceptable() const override;
    std::optional<Error> start(std::shared_ptr<ReaderState> state) override;

private:
    // One track on its way into the mix: decoded, folded and resampled a frame at a time
    // into chunk, which starts at sample chunkStart of the output timeline.
    struct Input {
        const FileTrack* track = nullptr;
        std::unique_ptr<StreamDecoder> decoder;
        SwrPtr resampler;
        ChannelLayoutOwner inLayout;
        int inFormat = -1;
        int inRate = 0;
        FramePtr frame;
        float volume = 1.0f;
        std::int64_t volumeFrom = 0;  // sample where the mix's volume takes over
        std::vector<float> chunk;
        std::int64_t chunkStart = 0;
        std::int64_t next = 0;  // where the resampler's next sample goes
        bool started = false;
        bool ended = false;
    };

    bool mixInto(Input& input, float* out, std::int64_t from, std::int64_t count);
    bool refill(Input& input);
    std::optional<Error> configureResampler(Input& input, const AVFrame& frame);
    void finish();

    std::vector<AssetTrackPtr> tracks_;
    Settings settings_;
    std::optional<AudioMix> mix_;

    std::shared_ptr<ReaderState> state_;
    int rate_ = 48000;
    std::vector<std::unique_ptr<Input>> inputs_;
    std::int64_t total_ = 0;     // samples on the whole timeline
    std::int64_t position_ = 0;  // of the next buffer
    bool finished_ = false;
};

const SourceInfo* AudioMixOutput::source() const { return firstTrackSource(tracks_); }

bool AudioMixOutput::acceptable() const {
    if (tracks_.empty()) return false;
    // We deliver 32-bit float mono linear PCM, interleaved, at any rate asked for.
    const auto formatID = settings_.get<std::uint32_t>(AVFormatIDKey);
    const auto bits = settings_.get<std::int64_t>(AVLinearPCMBitDepthKey);
    const auto isFloat = settings_.get<bool>(AVLinearPCMIsFloatKey);
    const auto bigEndian = settings_.get<bool>(AVLinearPCMIsBigEndianKey);
    const auto channels = settings_.get<std::int64_t>(AVNumberOfChannelsKey);
    const auto rate = settings_.get<double>(AVSampleRateKey);
    if ((formatID && *formatID != kAudioFormatLinearPCM) || (bits && *bits != 32) || (isFloat && !*isFloat) ||
        (bigEndian && *bigEndian) || (channels && *channels != 1) ||
        (rate && !(*rate >= 1000 && *rate <= 384000 && std::floor(*rate) == *rate))) {
        return false;
    }
    const SourceInfo* common = source();
    for (const AssetTrackPtr& t : tracks_) {
        const auto* track = dynamic_cast<const FileTrack*>(t.get());
        if (track == nullptr || track->mediaType() != MediaType::Audio || track->source().get() != common) {
            return false;
        }
        if (!openDecoder(track->stream(), false)) return false;
    }
    return true;
}

std::optional<Error> AudioMixOutput::start(std::shared_ptr<ReaderState> state) {
    state_ = std::move(state);
    if (const auto rate = settings_.get<double>(AVSampleRateKey)) rate_ = static_cast<int>(*rate);
    const SourceInfo& src = *source();
    total_ = av_rescale_rnd(src.durationUs, rate_, AV_TIME_BASE, AV_ROUND_NEAR_INF);
    for (const AssetTrackPtr& t : tracks_) {
        auto input = std::make_unique<Input>();
        input->track = dynamic_cast<const FileTrack*>(t.get());
        auto decoder = StreamDecoder::open(src, input->track->stream(), state_->cancelFlag(), false);
        if (!decoder) return decoder.error();
        input->decoder = std::move(decoder.value());
        input->frame = makeFrame();
        if (!input->frame) return errorFromAV(AVERROR(ENOMEM));
        if (mix_) {
            for (const AudioMixInputParameters& p : mix_->inputParameters) {
                if (p.track == nullptr || p.track->trackID() != t->trackID()) continue;
                input->volume = p.volume;
                if (p.volumeTime.isNumeric() && p.volumeTime.value > 0) {
                    input->volumeFrom =
                        av_rescale_rnd(p.volumeTime.value, rate_, p.volumeTime.timescale, AV_ROUND_NEAR_INF);
                }
                break;
            }
        }
        inputs_.push_back(std::move(input));
    }
    return std::nullopt;
}

std::optional<Error> AudioMixOutput::configureResampler(Input& input, const AVFrame& frame) {
    if (input.resampler && input.inFormat == frame.format && input.inRate == frame.sample_rate &&
        sameLayout(input.inLayout.layout, frame.ch_layout)) {
        return std::nullopt;
    }
    input.resampler.reset();
    av_channel_layout_uninit(&input.inLayout.layout);
    int ret = av_channel_layout_copy(&input.inLayout.layout, &frame.ch_layout);
    if (ret < 0) return errorFromAV(ret);
    input.inFormat = frame.format;
    input.inRate = frame.sample_rate;

    // The resampler is told an ordered layout; the matrix decides what each channel adds.
    ChannelLayoutOwner from;
    if ((ret = orderedLayout(frame.ch_layout, from)) < 0) return errorFromAV(ret);
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    SwrContext* raw = nullptr;
    ret = swr_alloc_set_opts2(&raw, &mono, AV_SAMPLE_FMT_FLT, rate_, &from.layout,
                              static_cast<AVSampleFormat>(frame.format), frame.sample_rate, 0, nullptr);
    SwrPtr resampler(raw);
    if (ret < 0) return errorFromAV(ret, "cannot set up the sound conversion");
    const std::vector<double> matrix = monoFoldMatrix(frame.ch_layout);
    if (matrix.empty()) return mediaError("the sound track has no channels");
    ret = swr_set_matrix(resampler.get(), matrix.data(), static_cast<int>(matrix.size()));
    if (ret >= 0) ret = swr_init(resampler.get());
    if (ret < 0) return errorFromAV(ret, "cannot set up the sound conversion");
    input.resampler = std::move(resampler);
    return std::nullopt;
}

bool AudioMixOutput::refill(Input& input) {
    AVFrame* frame = input.frame.get();
    const int ret = input.decoder->receive(frame);
    input.chunk.clear();
    input.chunkStart = input.next;
    if (ret == AVERROR_EOF) {
        input.ended = true;
        if (input.resampler) {
            const int pending = swr_get_out_samples(input.resampler.get(), 0);
            if (pending > 0) {
                input.chunk.resize(static_cast<std::size_t>(pending));
                auto* out = reinterpret_cast<std::uint8_t*>(input.chunk.data());
                const int got = swr_convert(input.resampler.get(), &out, pending, nullptr, 0);
                input.chunk.resize(static_cast<std::size_t>(std::max(got, 0)));
            }
        }
        return true;
    }
    if (ret == AVERROR_EXIT) return false;
    if (ret < 0) {
        state_->fail(errorFromAV(ret, "cannot decode the sound"));
        return false;
    }
    if (auto error = configureResampler(input, *frame)) {
        av_frame_unref(frame);
        state_->fail(*error);
        return false;
    }
    // Place the frame by its time: the first one sets where the track starts; a later
    // jump forward (a gap in the recording) is kept as silence. Small jitter is not.
    const std::int64_t ts = frame->best_effort_timestamp;
    if (ts != AV_NOPTS_VALUE) {
        const StreamInfo& stream = input.track->stream();
        const std::int64_t at = av_rescale_q_rnd(ts - input.track->source()->originIn(stream), stream.timeBase,
                                                 AVRational{1, rate_}, AV_ROUND_NEAR_INF);
        if (!input.started || at > input.next + rate_ / 20) input.next = at;
    }
    input.started = true;
    input.chunkStart = input.next;

    const int room = swr_get_out_samples(input.resampler.get(), frame->nb_samples);
    if (room > 0) {
        input.chunk.resize(static_cast<std::size_t>(room));
        auto* out = reinterpret_cast<std::uint8_t*>(input.chunk.data());
        const int got = swr_convert(input.resampler.get(), &out, room,
                                    const_cast<const std::uint8_t**>(frame->extended_data), frame->nb_samples);
        if (got < 0) {
            av_frame_unref(frame);
            state_->fail(errorFromAV(got, "cannot convert the sound"));
            return false;
        }
        input.chunk.resize(static_cast<std::size_t>(got));
    }
    input.next += static_cast<std::int64_t>(input.chunk.size());
    av_frame_unref(frame);
    return true;
}

bool AudioMixOutput::mixInto(Input& input, float* out, std::int64_t from, std::int64_t count) {
    const std::int64_t until = from + count;
    for (;;) {
        const std::int64_t chunkEnd = input.chunkStart + static_cast<std::int64_t>(input.chunk.size());
        const std::int64_t first = std::max(input.chunkStart, from);
        const std::int64_t last = std::min(chunkEnd, until);
        for (std::int64_t i = first; i < last; ++i) {
            const float gain = i >= input.volumeFrom ? input.volume : 1.0f;
            out[i - from] += input.chunk[static_cast<std::size_t>(i - input.chunkStart)] * gain;
        }
        if (chunkEnd >= until || input.ended) return true;
        if (!refill(input)) return false;
    }
}

void AudioMixOutput::finish() {
    if (finished_) return;
    finished_ = true;
    inputs_.clear();
    state_->outputFinished();
}

SampleBufferPtr AudioMixOutput::copyNextSampleBuffer() {
    if (!state_ || finished_ || !state_->reading()) return nullptr;
    if (position_ >= total_) {
        finish();
        return nullptr;
    }
    const int count = static_cast<int>(std::min<std::int64_t>(kBufferSamples, total_ - position_));
    FramePtr frame = makeFrame();
    if (!frame) {
        state_->fail(errorFromAV(AVERROR(ENOMEM)));
        return nullptr;
    }
    frame->format = AV_SAMPLE_FMT_FLT;
    frame->sample_rate = rate_;
    frame->nb_samples = count;
    const AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    int ret = av_channel_layout_copy(&frame->ch_layout, &mono);
    if (ret >= 0) ret = av_frame_get_buffer(frame.get(), 0);
    if (ret < 0) {
        state_->fail(errorFromAV(ret));
        return nullptr;
    }
    auto* out = reinterpret_cast<float*>(frame->data[0]);
    std::fill(out, out + count, 0.0f);
    for (auto& input : inputs_) {
        if (!mixInto(*input, out, position_, count)) return nullptr;
    }
    for (int i = 0; i < count; ++i) out[i] = std::isnan(out[i]) ? 0.0f : std::clamp(out[i], -1.0f, 1.0f);
    frame->pts = position_;
    const Time pts = Time::make(position_, rate_);
    position_ += count;
    return std::make_unique<FrameSampleBuffer>(std::move(frame), pts, Time::make(count, rate_));
}

}  // namespace

std::shared_ptr<AssetReaderAudioMixOutput> makeAudioMixOutput(const std::vector<AssetTrackPtr>& audioTracks,
                                                              const Settings& audioSettings) {
    return std::make_shared<AudioMixOutput>(audioTracks, audioSettings);
}

}  // namespace media::ff
