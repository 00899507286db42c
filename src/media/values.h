// Plain time and geometry values of the media layer. Standard library only, so the
// planning code can use them without linking anything of the media implementation.
#pragma once

#include <cstdint>
#include <limits>

namespace media {

// Rational time: value / timescale seconds, with validity and infinity flags.
struct Time {
    enum Flags : std::uint32_t {
        Valid = 1u << 0,
        HasBeenRounded = 1u << 1,
        PositiveInfinity = 1u << 2,
        NegativeInfinity = 1u << 3,
        Indefinite = 1u << 4,
    };

    std::int64_t value = 0;
    std::int32_t timescale = 0;
    std::uint32_t flags = 0;  // an all-zero time is invalid

    static Time make(std::int64_t value, std::int32_t timescale);
    // Nearest whole number of 1/preferredTimescale units; non-finite seconds give
    // the matching infinite or invalid time.
    static Time fromSeconds(double seconds, std::int32_t preferredTimescale);
    static Time zero() { return make(0, 1); }
    static Time invalid() { return Time{}; }
    static Time positiveInfinity() { return Time{0, 1, Valid | PositiveInfinity}; }
    static Time indefinite() { return Time{0, 1, Valid | Indefinite}; }

    bool isValid() const { return (flags & Valid) != 0 && timescale > 0; }
    // Valid, and neither infinite nor indefinite.
    bool isNumeric() const {
        return isValid() && (flags & (PositiveInfinity | NegativeInfinity | Indefinite)) == 0;
    }
    // NaN when invalid or indefinite, +/-infinity for the infinite times.
    double seconds() const;

    friend bool operator==(const Time&, const Time&) = default;
};

struct TimeRange {
    Time start;
    Time duration;
    // Both times valid and the duration not negative.
    bool isValid() const;
};

struct Point {
    double x = 0;
    double y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
    double width = 0;
    double height = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;
    friend bool operator==(const Rect&, const Rect&) = default;
};

// Maps (x, y) to (a*x + c*y + tx, b*x + d*y + ty).
struct AffineTransform {
    double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;

    static AffineTransform identity() { return {}; }
    static AffineTransform makeScale(double sx, double sy) { return {sx, 0, 0, sy, 0, 0}; }
    Point apply(Point p) const { return {a * p.x + c * p.y + tx, b * p.x + d * p.y + ty}; }

    friend bool operator==(const AffineTransform&, const AffineTransform&) = default;
};

// t1 followed by t2.
AffineTransform concat(const AffineTransform& t1, const AffineTransform& t2);

// The smallest axis-aligned rectangle holding the images of the rectangle's corners.
Rect applyAffineTransform(const Rect& rect, const AffineTransform& t);

}  // namespace media
