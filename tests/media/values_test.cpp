#include <gtest/gtest.h>

#include <cmath>

#include "media/dispatch.h"
#include "media/settings.h"
#include "media/values.h"

namespace {

using media::AffineTransform;
using media::Rect;
using media::Time;

TEST(Time, SecondsAndNumeric) {
    EXPECT_DOUBLE_EQ(Time::make(3, 2).seconds(), 1.5);
    EXPECT_TRUE(Time::make(3, 2).isNumeric());
    EXPECT_TRUE(std::isnan(Time::invalid().seconds()));
    EXPECT_FALSE(Time::invalid().isNumeric());
    EXPECT_FALSE(Time::indefinite().isNumeric());
    EXPECT_TRUE(Time::indefinite().isValid());
    EXPECT_FALSE(Time::positiveInfinity().isNumeric());
    EXPECT_TRUE(std::isinf(Time::positiveInfinity().seconds()));
}

TEST(Time, FromSecondsRoundsToWholeUnits) {
    struct Case { double fps; std::int64_t units; };
    const Case cases[] = {{5, 12000}, {8, 7500}, {15, 4000}, {30, 2000},
                          {static_cast<double>(29.97f), 2002}};
    for (const Case& c : cases) {
        const Time t = Time::fromSeconds(1.0 / c.fps, 60000);
        EXPECT_EQ(t.value, c.units) << c.fps;
        EXPECT_EQ(t.timescale, 60000);
        EXPECT_TRUE(t.isNumeric());
    }
    EXPECT_FALSE(Time::fromSeconds(std::nan(""), 600).isValid());
    EXPECT_FALSE(Time::fromSeconds(INFINITY, 600).isNumeric());
}

TEST(TimeRange, Validity) {
    EXPECT_TRUE((media::TimeRange{Time::zero(), Time::make(0, 1)}.isValid()));
    EXPECT_FALSE((media::TimeRange{Time::zero(), Time::invalid()}.isValid()));
    EXPECT_FALSE((media::TimeRange{Time::invalid(), Time::make(5, 1)}.isValid()));
    EXPECT_FALSE((media::TimeRange{Time::zero(), Time::make(-1, 1)}.isValid()));
}

TEST(AffineTransform, ConcatAppliesFirstThenSecond) {
    const AffineTransform quarter{0, 1, -1, 0, 1080, 0};
    EXPECT_EQ(media::concat(quarter, AffineTransform::makeScale(0.5, 0.5)),
              (AffineTransform{0, 0.5, -0.5, 0, 540, 0}));
}

TEST(AffineTransform, RectIsBoundingBoxOfCorners) {
    const AffineTransform quarter{0, 1, -1, 0, 1080, 0};
    EXPECT_EQ(media::applyAffineTransform(Rect{0, 0, 1920, 1080}, quarter), (Rect{0, 0, 1080, 1920}));
    const AffineTransform half{-1, 0, 0, -1, 0, 0};
    EXPECT_EQ(media::applyAffineTransform(Rect{0, 0, 4, 2}, half), (Rect{-4, -2, 4, 2}));
}

TEST(Settings, TypeBelongsToTheValue) {
    media::Settings a, b;
    a.set("k", std::int64_t{15});
    b.set("k", 15.0);
    EXPECT_FALSE(a == b);
    EXPECT_EQ(a.get<std::int64_t>("k"), 15);
    EXPECT_FALSE(a.get<double>("k").has_value());
    media::Settings outer1, outer2;
    outer1.set("n", a);
    outer2.set("n", a);
    EXPECT_TRUE(outer1 == outer2);
    outer2.set("n", b);
    EXPECT_FALSE(outer1 == outer2);
}

TEST(Dispatch, SerialQueueRunsInOrderAndGroupWaits) {
    media::Group group;
    std::vector<int> seen;
    {
        media::SerialQueue queue("test");
        for (int i = 0; i < 100; ++i) {
            group.enter();
            queue.async([&, i] {
                seen.push_back(i);
                group.leave();
            });
        }
        group.wait();
        EXPECT_EQ(seen.size(), 100u);
    }
    for (int i = 0; i < 100; ++i) EXPECT_EQ(seen[static_cast<std::size_t>(i)], i);
}

}  // namespace

namespace {

TEST(Dispatch, QueueReleasedByItsOwnBlockFinishesSafely) {
    media::Semaphore done;
    auto queue = std::make_shared<media::SerialQueue>("self");
    auto* raw = queue.get();
    // The only owner travels into the block and dies there, on the queue's thread.
    raw->async([q = std::move(queue), &done]() mutable {
        q.reset();
        done.signal();
    });
    done.wait();
}

}  // namespace
