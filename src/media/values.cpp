#include "media/values.h"

#include <algorithm>
#include <cmath>

namespace media {

Time Time::make(std::int64_t value, std::int32_t timescale) {
    if (timescale <= 0) return invalid();
    return Time{value, timescale, Valid};
}

Time Time::fromSeconds(double seconds, std::int32_t preferredTimescale) {
    if (preferredTimescale <= 0 || std::isnan(seconds)) return invalid();
    if (std::isinf(seconds)) {
        return Time{0, 1, Valid | (seconds > 0 ? PositiveInfinity : NegativeInfinity)};
    }
    const double units = seconds * static_cast<double>(preferredTimescale);
    // Out of the 64-bit range: the time is as good as infinite.
    if (!(units < 9.2e18)) return positiveInfinity();
    if (!(units > -9.2e18)) return Time{0, 1, Valid | NegativeInfinity};
    const double rounded = std::nearbyint(units);
    Time t = make(static_cast<std::int64_t>(rounded), preferredTimescale);
    if (rounded != units) t.flags |= HasBeenRounded;
    return t;
}

double Time::seconds() const {
    if (!isValid() || (flags & Indefinite) != 0) return std::numeric_limits<double>::quiet_NaN();
    if ((flags & PositiveInfinity) != 0) return std::numeric_limits<double>::infinity();
    if ((flags & NegativeInfinity) != 0) return -std::numeric_limits<double>::infinity();
    return static_cast<double>(value) / static_cast<double>(timescale);
}

bool TimeRange::isValid() const {
    if (!start.isValid() || !duration.isValid()) return false;
    if ((duration.flags & Time::NegativeInfinity) != 0) return false;
    return (duration.flags & (Time::PositiveInfinity | Time::Indefinite)) != 0 || duration.value >= 0;
}

AffineTransform concat(const AffineTransform& t1, const AffineTransform& t2) {
    return {
        t1.a * t2.a + t1.b * t2.c,
        t1.a * t2.b + t1.b * t2.d,
        t1.c * t2.a + t1.d * t2.c,
        t1.c * t2.b + t1.d * t2.d,
        t1.tx * t2.a + t1.ty * t2.c + t2.tx,
        t1.tx * t2.b + t1.ty * t2.d + t2.ty,
    };
}

Rect applyAffineTransform(const Rect& rect, const AffineTransform& t) {
    const Point corners[4] = {
        t.apply({rect.x, rect.y}),
        t.apply({rect.x + rect.width, rect.y}),
        t.apply({rect.x, rect.y + rect.height}),
        t.apply({rect.x + rect.width, rect.y + rect.height}),
    };
    double minX = corners[0].x, maxX = corners[0].x, minY = corners[0].y, maxY = corners[0].y;
    for (const Point& p : corners) {
        minX = std::min(minX, p.x);
        maxX = std::max(maxX, p.x);
        minY = std::min(minY, p.y);
        maxY = std::max(maxY, p.y);
    }
    return {minX, minY, maxX - minX, maxY - minY};
}

}  // namespace media
