#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "planning/rates.h"

namespace {

using planning::Profile;

// Figures of four of the built-in profiles.
constexpr Profile kCameraOptimized{960, 8, 400000, 32000, 4};
constexpr Profile kCameraBalanced{1280, 15, 1000000, 48000, 4};
constexpr Profile kCameraHigh{1920, 30, 2400000, 64000, 4};
constexpr Profile kScreenOptimized{960, 5, 200000, 32000, 2};

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(PlanVideoRates, BitrateIsSourceRateBelowReferenceTruncated) {
    struct Row {
        const char* name;
        std::optional<float> dataRate;
        double sourceBitrate;
        std::int64_t bitrate;
    };
    const Row rows[] = {
        {"below the reference, truncated", 734512.5f, 734512.5, 734512},
        {"above the reference", 2500000.0f, 2500000, 1000000},
        {"equal to the reference", 1000000.0f, 1000000, 1000000},
        {"load failed", std::nullopt, 0, 1000000},
        {"zero", 0.0f, 0, 1000000},
        {"half a bit truncates to 0", 0.5f, 0.5, 0},
        {"negative", -5000.0f, -5000, 1000000},
        {"infinite", kInf, std::numeric_limits<double>::infinity(), 1000000},
        {"widened exactly", 999999.94f, 999999.9375, 999999},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const planning::VideoRates rates = planning::planVideoRates(kCameraBalanced, r.dataRate, 25.0f);
        EXPECT_EQ(rates.sourceBitrate, r.sourceBitrate);
        EXPECT_EQ(rates.bitrate, r.bitrate);
    }
    const planning::VideoRates nan = planning::planVideoRates(kCameraBalanced, kNaN, 25.0f);
    EXPECT_TRUE(std::isnan(nan.sourceBitrate));
    EXPECT_EQ(nan.bitrate, 1000000);
}

TEST(PlanVideoRates, FrameRateIsSourceRateBelowCeilingWidenedUnrounded) {
    struct Row {
        const char* name;
        const Profile& profile;
        float sourceFps;
        double outFps;
    };
    const Row rows[] = {
        {"29.97 above 15", kCameraBalanced, 29.97f, 15},
        {"12.5 below 15", kCameraBalanced, 12.5f, 12.5},
        {"equal to the ceiling", kCameraBalanced, 15.0f, 15},
        {"29.97 below 30 keeps the widened value", kCameraHigh, 29.97f, 29.9699993133544921875},
        {"zero", kCameraBalanced, 0.0f, 15},
        {"negative", kCameraBalanced, -10.0f, 15},
        {"not a number", kCameraBalanced, kNaN, 15},
        {"infinite", kCameraBalanced, kInf, 15},
        {"negative infinity", kCameraBalanced, -kInf, 15},
        {"tiny positive", kScreenOptimized, 1e-30f, static_cast<double>(1e-30f)},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(planning::planVideoRates(r.profile, 734512.5f, r.sourceFps).outFps, r.outFps);
    }
}

TEST(PlanAudioRates, SourceSumCappedByProfileWithFloorOf32000) {
    const std::optional<float> failed;
    struct Row {
        const char* name;
        const Profile& profile;
        std::vector<std::optional<float>> rates;
        double sum;
        std::int64_t audioBitrate;
    };
    const Row rows[] = {
        {"no tracks", kCameraBalanced, {}, 0, 48000},
        {"sum above the profile", kCameraBalanced, {128000.0f, 64000.0f}, 192000, 48000},
        {"below the profile, truncated", kCameraBalanced, {40000.9f}, static_cast<double>(40000.9f), 40000},
        {"below the floor", kCameraBalanced, {24000.0f}, 24000, 32000},
        {"load failed", kCameraBalanced, {failed}, 0, 48000},
        {"failed load adds nothing", kCameraBalanced, {20000.0f, failed}, 20000, 32000},
        {"failed load in between", kCameraHigh, {20000.0f, failed, 30000.0f}, 50000, 50000},
        {"31999.9 lifted to the floor", kCameraBalanced, {31999.9f}, static_cast<double>(31999.9f), 32000},
        {"32000.5 truncated to the floor", kCameraBalanced, {32000.5f}, 32000.5, 32000},
        {"32001 above the floor", kCameraHigh, {32001.0f}, 32001, 32001},
        {"negative sum", kCameraBalanced, {-64000.0f}, -64000, 48000},
        {"summed in list order", kCameraHigh, {1e30f, -1e30f, 50000.0f}, 50000, 50000},
        {"camera-optimized, no sound", kCameraOptimized, {}, 0, 32000},
        {"camera-optimized, rich sound", kCameraOptimized, {128000.0f}, 128000, 32000},
        {"camera-optimized, poor sound", kCameraOptimized, {24000.0f}, 24000, 32000},
        {"screen-optimized, no sound", kScreenOptimized, {}, 0, 32000},
        {"screen-optimized, rich sound", kScreenOptimized, {96000.0f, 96000.0f}, 192000, 32000},
        {"screen-optimized, poor sound", kScreenOptimized, {8000.0f}, 8000, 32000},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const planning::AudioRates rates = planning::planAudioRates(r.profile, r.rates);
        EXPECT_EQ(rates.sourceAudioBitrate, r.sum);
        EXPECT_EQ(rates.minAudioBitrate, 32000);
        EXPECT_EQ(rates.audioBitrate, r.audioBitrate);
    }
}

// Sums without an integer value fall back to the profile's rate, and must not reach
// an undefined float-to-integer conversion.
TEST(PlanAudioRates, SumWithoutIntegerValueTakesProfileRate) {
    struct Row {
        const char* name;
        std::vector<std::optional<float>> rates;
    };
    const Row rows[] = {
        {"not a number", {kNaN}},
        {"not a number after a good track", {64000.0f, kNaN}},
        {"infinite", {kInf}},
        {"infinities cancelling", {kInf, -kInf}},
        {"exactly 2^63", {0x1p63f}},
        {"above 2^63", {1e19f}},
        {"largest float", {std::numeric_limits<float>::max()}},
        {"finite floats summing to 2^63", {0x1p62f, 0x1p62f}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const planning::AudioRates rates = planning::planAudioRates(kCameraBalanced, r.rates);
        EXPECT_EQ(rates.audioBitrate, 48000);
        EXPECT_EQ(rates.minAudioBitrate, 32000);
    }
    // Just below 2^63 the sum still truncates, and the profile caps it.
    const float belowLimit = std::nextafter(0x1p63f, 0.0f);
    const planning::AudioRates below = planning::planAudioRates(kCameraBalanced, {belowLimit});
    EXPECT_EQ(below.sourceAudioBitrate, 9223371487098961920.0);
    EXPECT_EQ(below.audioBitrate, 48000);
}

}  // namespace
