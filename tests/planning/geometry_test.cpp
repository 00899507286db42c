#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "media/values.h"
#include "planning/geometry.h"

namespace {

using media::AffineTransform;
using media::Rect;
using media::Size;
using media::Time;
using planning::evenDimension;
using planning::planOutputGeometry;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

const AffineTransform kIdentity = AffineTransform::identity();
// Display turned a quarter to the right, as phones record portrait video.
const AffineTransform kQuarterTurn{0, 1, -1, 0, 1080, 0};

// A ten-second source, as the inspection step hands it over.
const Time kTenSeconds = Time::make(6000, 600);

std::optional<planning::OutputGeometry> plan(Size natural, const AffineTransform& transform, double maxLongEdge) {
    return planOutputGeometry(natural, transform, kTenSeconds, kTenSeconds.seconds(), maxLongEdge);
}

TEST(EvenDimension, LargestEvenIntegerNotAboveButAtLeastTwo) {
    struct Row {
        const char* name;
        double x;
        std::int64_t expected;
    };
    const Row rows[] = {
        {"just below an even number", 7.9, 6},
        {"even number", 8.0, 8},
        {"odd number", 9.0, 8},
        {"just below the floor", 3.99, 2},
        {"four", 4.0, 4},
        {"floor itself", 2.0, 2},
        {"zero", 0.0, 2},
        {"negative zero", -0.0, 2},
        {"negative", -7.0, 2},
        {"large negative", -1e300, 2},
        {"negative infinity", -kInf, 2},
        {"not a number", kNaN, 2},
        {"a hair below an even side", 959.9999999999999, 958},
        {"largest side that still doubles", 0x1p63 - 1024, static_cast<std::int64_t>(0x1p63 - 1024)},
        {"2^63 saturates", 0x1p63, std::numeric_limits<std::int64_t>::max() - 1},
        {"huge saturates", 1e300, std::numeric_limits<std::int64_t>::max() - 1},
        {"infinity saturates", kInf, std::numeric_limits<std::int64_t>::max() - 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(evenDimension(r.x), r.expected);
    }
}

TEST(PlanOutputGeometry, ShrinksUprightPictureUnderLongEdgeToEvenSides) {
    struct Row {
        const char* name;
        Size natural;
        AffineTransform transform;
        double maxLongEdge;
        std::int64_t outWidth;
        std::int64_t outHeight;
        std::optional<double> scale;
    };
    const Row rows[] = {
        {"1920x1080 under 960", {1920, 1080}, kIdentity, 960, 960, 540, 0.5},
        {"quarter turn under 960", {1920, 1080}, kQuarterTurn, 960, 540, 960, 0.5},
        {"1920x1080 under 1920 kept", {1920, 1080}, kIdentity, 1920, 1920, 1080, 1.0},
        {"1280x720 under 1280 kept", {1280, 720}, kIdentity, 1280, 1280, 720, 1.0},
        {"1920x1080 under 1280", {1920, 1080}, kIdentity, 1280, 1280, 720, 0.6666666666666666},
        {"640x480 never enlarged", {640, 480}, kIdentity, 1920, 640, 480, 1.0},
        {"641x481 rounded down to even", {641, 481}, kIdentity, 1920, 640, 480, 1.0},
        {"853x480 rounded down to even", {853, 480}, kIdentity, 1920, 852, 480, 1.0},
        {"1366x768 under 1280", {1366, 768}, kIdentity, 1280, 1280, 718, std::nullopt},
        {"1000x999 under 960", {1000, 999}, kIdentity, 960, 960, 958, 0.96},
        {"1074x604 loses 2 pixels to the rounded scale", {1074, 604}, kIdentity, 960, 958, 538,
         0.8938547486033519},
        {"1081x608 loses 2 pixels too", {1081, 608}, kIdentity, 960, 958, 538, std::nullopt},
        {"2148x1208 under 1920", {2148, 1208}, kIdentity, 1920, 1918, 1078, std::nullopt},
        {"equal sides", {1000, 1000}, kIdentity, 960, 960, 960, 0.96},
        {"half turn", {1920, 1080}, AffineTransform{-1, 0, 0, -1, 1920, 1080}, 960, 960, 540, 0.5},
        {"three-quarter turn", {1920, 1080}, AffineTransform{0, -1, 1, 0, 0, 1920}, 960, 540, 960, 0.5},
        {"mirrored", {1920, 1080}, AffineTransform{-1, 0, 0, 1, 1920, 0}, 960, 960, 540, 0.5},
        {"2x2 source", {2, 2}, kIdentity, 960, 2, 2, 1.0},
        {"3x3 source", {3, 3}, kIdentity, 960, 2, 2, 1.0},
        {"very narrow picture keeps the floor of 2", {1920, 2}, kIdentity, 960, 960, 2, 0.5},
        {"collapsed transform", {1920, 1080}, AffineTransform{0, 0, 0, 0, 5, 7}, 960, 2, 2, 1.0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const auto g = plan(r.natural, r.transform, r.maxLongEdge);
        ASSERT_TRUE(g.has_value());
        EXPECT_EQ(g->outWidth, r.outWidth);
        EXPECT_EQ(g->outHeight, r.outHeight);
        if (r.scale) {
            EXPECT_EQ(g->scale, *r.scale);
        }
        EXPECT_EQ(g->uprightWidth, std::fabs(g->upright.width));
        EXPECT_EQ(g->uprightHeight, std::fabs(g->upright.height));
    }
}

TEST(PlanOutputGeometry, UprightRectangleFollowsTheTransform) {
    const auto turned = plan({1920, 1080}, kQuarterTurn, 960);
    ASSERT_TRUE(turned.has_value());
    EXPECT_EQ(turned->upright, (Rect{0, 0, 1080, 1920}));
    EXPECT_EQ(turned->uprightWidth, 1080);
    EXPECT_EQ(turned->uprightHeight, 1920);

    const auto collapsed = plan({1920, 1080}, AffineTransform{0, 0, 0, 0, 5, 7}, 960);
    ASSERT_TRUE(collapsed.has_value());
    EXPECT_EQ(collapsed->upright, (Rect{5, 7, 0, 0}));
}

// The rounded scale times the longer side can fall a hair below the long edge;
// a fused multiply-add would hide that and give 960 x 540.
TEST(PlanOutputGeometry, ScaledSideIsRoundedBeforeHalving) {
    const auto g = plan({1074, 604}, kIdentity, 960);
    ASSERT_TRUE(g.has_value());
    EXPECT_EQ(g->uprightWidth * g->scale, 959.9999999999999);
    EXPECT_EQ(g->outWidth, 958);
}

TEST(PlanOutputGeometry, OutputIsEvenWithinLongEdgeAndNeverEnlarged) {
    for (const double maxLongEdge : {960.0, 1280.0, 1920.0}) {
        for (int w = 2; w <= 4000; w += 7) {
            for (const int h : {2, 3, 479, 480, 719, 1080, 1081, 2160}) {
                for (const bool turned : {false, true}) {
                    const auto g = plan({double(w), double(h)}, turned ? kQuarterTurn : kIdentity, maxLongEdge);
                    ASSERT_TRUE(g.has_value());
                    const std::int64_t uw = turned ? h : w;
                    const std::int64_t uh = turned ? w : h;
                    SCOPED_TRACE(std::to_string(uw) + "x" + std::to_string(uh) + " under " +
                                 std::to_string(maxLongEdge));
                    EXPECT_EQ(g->outWidth % 2, 0);
                    EXPECT_EQ(g->outHeight % 2, 0);
                    EXPECT_GE(g->outWidth, 2);
                    EXPECT_GE(g->outHeight, 2);
                    EXPECT_LE(g->outWidth, static_cast<std::int64_t>(maxLongEdge));
                    EXPECT_LE(g->outHeight, static_cast<std::int64_t>(maxLongEdge));
                    EXPECT_TRUE(g->outWidth <= uw || g->outWidth == 2);
                    EXPECT_TRUE(g->outHeight <= uh || g->outHeight == 2);
                    EXPECT_LE(g->scale, 1.0);
                    EXPECT_GT(g->scale, 0.0);
                    if (std::max(uw, uh) <= maxLongEdge) {
                        EXPECT_EQ(g->scale, 1.0);
                    }
                }
            }
        }
    }
}

TEST(PlanOutputGeometry, RejectsSourceWithoutUsableSizeOrLength) {
    struct Row {
        const char* name;
        Size natural;
        AffineTransform transform;
        Time duration;
        double seconds;
    };
    const Row rows[] = {
        {"width 1.5", {1.5, 1080}, kIdentity, kTenSeconds, 10},
        {"height 1.5", {1920, 1.5}, kIdentity, kTenSeconds, 10},
        {"width 0", {0, 1080}, kIdentity, kTenSeconds, 10},
        {"negative width", {-1920, 1080}, kIdentity, kTenSeconds, 10},
        {"width not a number", {kNaN, 1080}, kIdentity, kTenSeconds, 10},
        {"height not a number", {1920, kNaN}, kIdentity, kTenSeconds, 10},
        {"infinite width", {kInf, 1080}, kIdentity, kTenSeconds, 10},
        {"infinite height", {1920, kInf}, kIdentity, kTenSeconds, 10},
        {"zero duration", {1920, 1080}, kIdentity, Time::make(0, 600), 0},
        {"negative duration", {1920, 1080}, kIdentity, Time::make(-600, 600), -1},
        {"indefinite duration", {1920, 1080}, kIdentity, Time::indefinite(), kNaN},
        {"invalid duration", {1920, 1080}, kIdentity, Time::invalid(), kNaN},
        {"infinite duration", {1920, 1080}, kIdentity, Time::positiveInfinity(), kInf},
        {"numeric duration, seconds not a number", {1920, 1080}, kIdentity, kTenSeconds, kNaN},
        {"numeric duration, infinite seconds", {1920, 1080}, kIdentity, kTenSeconds, kInf},
        {"infinite scale entry", {1920, 1080}, AffineTransform{kInf, 0, 0, 1, 0, 0}, kTenSeconds, 10},
        {"infinite translation", {1920, 1080}, AffineTransform{1, 0, 0, 1, 0, -kInf}, kTenSeconds, 10},
        {"transform entry not a number", {1920, 1080}, AffineTransform{1, kNaN, 0, 1, 0, 0}, kTenSeconds, 10},
        {"finite entries overflowing the corners", {1e308, 1e308}, AffineTransform{10, 0, 0, 10, 0, 0},
         kTenSeconds, 10},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_FALSE(planOutputGeometry(r.natural, r.transform, r.duration, r.seconds, 960).has_value());
    }
}

TEST(LayerTransform, TurnsAndStretchesUprightPictureOntoOutput) {
    struct Row {
        const char* name;
        Size natural;
        AffineTransform transform;
        double maxLongEdge;
        AffineTransform expected;
    };
    const Row rows[] = {
        {"1920x1080 to 1280x720", {1920, 1080}, kIdentity, 1280,
         {0.6666666666666666, 0, 0, 0.6666666666666666, 0, 0}},
        {"quarter turn to 540x960", {1920, 1080}, kQuarterTurn, 960, {0, 0.5, -0.5, 0, 540, 0}},
        {"1074x604 to 958x538, one factor per axis", {1074, 604}, kIdentity, 960,
         {0.8919925512104283, 0, 0, 0.890728476821192, 0, 0}},
        {"scale 1 with odd sides", {641, 481}, kIdentity, 1920, {640.0 / 641.0, 0, 0, 480.0 / 481.0, 0, 0}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const auto g = plan(r.natural, r.transform, r.maxLongEdge);
        ASSERT_TRUE(g.has_value());
        EXPECT_EQ(planning::layerTransform(r.transform, *g), r.expected);
    }
}

TEST(FrameDuration, WholeUnitsOfOneSixtyThousandth) {
    struct Row {
        const char* name;
        double outFps;
        std::int64_t units;
    };
    const Row rows[] = {
        {"5 fps", 5, 12000},
        {"8 fps", 8, 7500},
        {"15 fps", 15, 4000},
        {"30 fps", 30, 2000},
        {"29.97 fps from a 32-bit rate", static_cast<double>(29.97f), 2002},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const Time t = planning::frameDuration(r.outFps);
        EXPECT_TRUE(t.isNumeric());
        EXPECT_EQ(t.value, r.units);
        EXPECT_EQ(t.timescale, 60000);
    }
}

}  // namespace
