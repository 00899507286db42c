// The mixed-sound output on clips made by the ffmpeg tool: levels of the fold-down and
// the mix, and one timeline from 0 to the end of the asset.
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/channel_layout.h>
}

#include "media/ffmpeg/reading/audio_output.h"
#include "reading_fixtures.h"

namespace {

using namespace reading_test;
using media::MediaType;

constexpr float kStereoLevel = 0.70710677f;  // the job's level for a track of several channels

double rms(const std::vector<float>& samples, double fromSeconds, double toSeconds) {
    const auto from = static_cast<std::size_t>(fromSeconds * 48000);
    const auto to = std::min(samples.size(), static_cast<std::size_t>(toSeconds * 48000));
    double sum = 0;
    for (std::size_t i = from; i < to; ++i) sum += static_cast<double>(samples[i]) * samples[i];
    return to > from ? std::sqrt(sum / static_cast<double>(to - from)) : 0.0;
}

double peak(const std::vector<float>& samples, double fromSeconds, double toSeconds) {
    const auto from = static_cast<std::size_t>(fromSeconds * 48000);
    const auto to = std::min(samples.size(), static_cast<std::size_t>(toSeconds * 48000));
    double top = 0;
    for (std::size_t i = from; i < to; ++i) top = std::max(top, std::fabs(static_cast<double>(samples[i])));
    return top;
}

double dB(double level) { return 20 * std::log10(level); }

const std::string kPicture = "-f lavfi -i color=black:s=64x48:r=10:d=2 ";

TEST(ReadingSound, LevelsFollowTheVolumesAndTheFoldDown) {
    // Tones of amplitude 0.5 (RMS 0.3536); 16-bit PCM so that only the mix shapes the level.
    struct Case {
        const char* file;
        std::string sound;  // inputs and mapping after the picture
        std::vector<float> volumes;
        double expectedRms;
    };
    const std::string tone440 = "'aevalsrc=0.5*sin(2*PI*440*t):s=48000:d=2'";
    const Case cases[] = {
        {"mono.mov", "-f lavfi -i " + tone440, {1.0f}, 0.5 / std::sqrt(2)},
        // Left + right at unit gain, then the track level: the usual -3 dB fold-down.
        {"stereo.mov", "-f lavfi -i 'aevalsrc=0.5*sin(2*PI*440*t)|0.5*sin(2*PI*440*t):s=48000:d=2'",
         {kStereoLevel},
         kStereoLevel * 1.0 / std::sqrt(2)},
        {"stereo-left-only.mov", "-f lavfi -i 'aevalsrc=0.5*sin(2*PI*440*t)|0:s=48000:d=2'", {kStereoLevel},
         kStereoLevel * 0.5 / std::sqrt(2)},
        // Resampled from 44.1 kHz without a change of level.
        {"mono-44100.mov", "-f lavfi -i 'aevalsrc=0.5*sin(2*PI*440*t):s=44100:d=2'", {1.0f}, 0.5 / std::sqrt(2)},
        // Two tracks at half level each; tones of different pitch add as powers.
        {"two-tracks.mov",
         "-f lavfi -i " + tone440 + " -f lavfi -i 'aevalsrc=0.5*sin(2*PI*660*t):s=48000:d=2' -map 0 -map 1 -map 2",
         {0.5f, 0.5f},
         std::sqrt(2 * 0.25 * 0.25 / 2)},
        // 5.1: the centre at unit gain, the loud low-frequency channel left out.
        {"surround.mov",
         "-f lavfi -i 'aevalsrc=0|0|0.5*sin(2*PI*440*t)|0.9*sin(2*PI*50*t)|0|0:s=48000:d=2:c=5.1'",
         {kStereoLevel},
         kStereoLevel * 0.5 / std::sqrt(2)},
        // 5.1: the surrounds at -3 dB.
        {"surround-back.mov", "-f lavfi -i 'aevalsrc=0|0|0|0|0.5*sin(2*PI*440*t)|0:s=48000:d=2:c=5.1'",
         {1.0f},
         0.70710677 * 0.5 / std::sqrt(2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const fs::path file = fixture(c.file, kPicture + c.sound + " -c:v libx264 -preset ultrafast -c:a pcm_s16le");
        auto asset = openAsset(file);
        SoundRead read = startSound(asset, c.volumes);
        ASSERT_TRUE(read.output);
        const std::vector<float> samples = drainSound(*read.output);
        EXPECT_EQ(read.reader->status(), media::AssetReaderStatus::Completed);
        EXPECT_EQ(static_cast<double>(samples.size()),
                  std::round(asset->loadDuration().value().seconds() * 48000));
        EXPECT_NEAR(dB(rms(samples, 0.25, 1.75)), dB(c.expectedRms), 0.5);
    }
}

TEST(ReadingSound, SilenceWhereATrackHasNotStartedOrHasEnded) {
    struct Case {
        const char* file;
        std::string args;
        double soundFrom, soundTo;  // seconds of the timeline where the tone plays
        double total;               // seconds of the asset
    };
    const Case cases[] = {
        {"starts-late.mp4",
         "-f lavfi -i color=black:s=64x48:r=10:d=3 -itsoffset 1 -f lavfi -i 'aevalsrc=0.5*sin(2*PI*440*t):s=48000:d=2' "
         "-c:v libx264 -preset ultrafast -c:a aac",
         1.0, 3.0, 3.0},
        {"ends-early.mkv",
         "-f lavfi -i color=black:s=64x48:r=10:d=3 -f lavfi -i 'aevalsrc=0.5*sin(2*PI*440*t):s=48000:d=1' "
         "-c:v libx264 -preset ultrafast -c:a pcm_s16le",
         0.0, 1.0, 3.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        auto asset = openAsset(fixture(c.file, c.args));
        EXPECT_NEAR(asset->loadDuration().value().seconds(), c.total, 0.05);
        SoundRead read = startSound(asset, {1.0f});
        ASSERT_TRUE(read.output);
        const std::vector<float> samples = drainSound(*read.output);
        EXPECT_EQ(static_cast<double>(samples.size()), std::round(asset->loadDuration().value().seconds() * 48000));
        if (c.soundFrom > 0) {
            EXPECT_LT(peak(samples, 0, c.soundFrom - 0.03), 1e-3);
        }
        EXPECT_NEAR(dB(rms(samples, c.soundFrom + 0.1, c.soundTo - 0.1)), dB(0.5 / std::sqrt(2)), 0.5);
        if (c.soundTo < c.total) {
            EXPECT_LT(peak(samples, c.soundTo + 0.03, c.total), 1e-3);
        }
    }
}

TEST(ReadingSound, LoudMixIsLimitedToFullScale) {
    const fs::path file = fixture("loud.mov", kPicture + "-f lavfi -i 'aevalsrc=0.9*sin(2*PI*440*t):s=48000:d=2' "
                                                         "-f lavfi -i 'aevalsrc=0.9*sin(2*PI*440*t):s=48000:d=2' "
                                                         "-map 0 -map 1 -map 2 -c:v libx264 -preset ultrafast -c:a pcm_s16le");
    SoundRead read = startSound(openAsset(file), {1.0f, 1.0f});
    ASSERT_TRUE(read.output);
    const std::vector<float> samples = drainSound(*read.output);
    EXPECT_LE(peak(samples, 0, 2), 1.0);
    EXPECT_GT(peak(samples, 0, 2), 0.99);
}

AVChannelLayout ordered(std::uint64_t mask) {
    AVChannelLayout layout{};
    av_channel_layout_from_mask(&layout, mask);
    return layout;
}

AVChannelLayout unordered(int channels) {
    AVChannelLayout layout{};
    layout.order = AV_CHANNEL_ORDER_UNSPEC;
    layout.nb_channels = channels;
    return layout;
}

TEST(ReadingSound, FoldDownMatrixOfEachLayout) {
    const double s = 0.70710677;
    struct Case {
        const char* name;
        AVChannelLayout layout;
        std::vector<double> gains;
    };
    const Case cases[] = {
        {"mono", ordered(AV_CH_LAYOUT_MONO), {1}},
        {"stereo", ordered(AV_CH_LAYOUT_STEREO), {1, 1}},
        {"5.1 (FL FR FC LFE BL BR)", ordered(AV_CH_LAYOUT_5POINT1_BACK), {1, 1, 1, 0, s, s}},
        {"5.1 (side)", ordered(AV_CH_LAYOUT_5POINT1), {1, 1, 1, 0, s, s}},
        {"7.1", ordered(AV_CH_LAYOUT_7POINT1), {1, 1, 1, 0, s, s, s, s}},
        {"two channels of no stated order", unordered(2), {1, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<double> gains = media::ff::monoFoldMatrix(c.layout);
        ASSERT_EQ(gains.size(), c.gains.size());
        for (std::size_t i = 0; i < gains.size(); ++i) EXPECT_NEAR(gains[i], c.gains[i], 1e-7) << i;
    }
}

}  // namespace
