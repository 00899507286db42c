#include "planning/geometry.h"

#include <cmath>
#include <limits>

namespace planning {

// A longer side of 0 relies on IEEE division giving +infinity (scale 1, output 2 x 2).
static_assert(std::numeric_limits<double>::is_iec559);

namespace {

bool isFinite(const media::Size& s) { return std::isfinite(s.width) && std::isfinite(s.height); }

bool isFinite(const media::AffineTransform& t) {
    return std::isfinite(t.a) && std::isfinite(t.b) && std::isfinite(t.c) && std::isfinite(t.d) &&
           std::isfinite(t.tx) && std::isfinite(t.ty);
}

// Written as negated comparisons so that a NaN fails every test.
bool isUsable(media::Size natural, const media::AffineTransform& transform, media::Time assetDuration,
              double durationSeconds) {
    if (!(natural.width >= 2)) return false;
    if (!(natural.height >= 2)) return false;
    if (!assetDuration.isNumeric()) return false;
    if (!std::isfinite(durationSeconds) || !(durationSeconds > 0)) return false;
    // An infinite side passes the tests above but has no integer output size.
    return isFinite(natural) && isFinite(transform);
}

}  // namespace

std::int64_t evenDimension(double x) {
    const double h = std::floor(x * 0.5);
    // Doubling a half outside [-2^62, 2^62) leaves the 64-bit range: a NaN or a very
    // negative side gets the floor, a very large one the largest even integer.
    if (!(h >= -0x1p62)) return 2;
    if (!(h < 0x1p62)) return std::numeric_limits<std::int64_t>::max() - 1;
    const std::int64_t n = 2 * static_cast<std::int64_t>(h);
    return n > 2 ? n : 2;
}

std::optional<OutputGeometry> planOutputGeometry(media::Size natural, media::AffineTransform transform,
                                                 media::Time assetDuration, double durationSeconds,
                                                 double maxLongEdge) {
    if (!isUsable(natural, transform, assetDuration, durationSeconds)) return std::nullopt;

    OutputGeometry g;
    g.upright = media::applyAffineTransform({0, 0, natural.width, natural.height}, transform);
    g.uprightWidth = std::fabs(g.upright.width);
    g.uprightHeight = std::fabs(g.upright.height);
    // Finite entries can still overflow when the corners are carried through.
    if (!std::isfinite(g.uprightWidth) || !std::isfinite(g.uprightHeight)) return std::nullopt;

    const double longer = g.uprightWidth <= g.uprightHeight ? g.uprightHeight : g.uprightWidth;
    // A collapsed picture (longer side 0) gives +infinity here, hence scale 1.
    const double q = maxLongEdge / longer;
    g.scale = q < 1 ? q : 1;
    // Each product is rounded to double before evenDimension halves it; the result
    // depends on it (1074 x 604 under 960 comes out 958 x 538).
    const double scaledWidth = g.uprightWidth * g.scale;
    const double scaledHeight = g.uprightHeight * g.scale;
    g.outWidth = evenDimension(scaledWidth);
    g.outHeight = evenDimension(scaledHeight);
    return g;
}

media::AffineTransform layerTransform(const media::AffineTransform& transform, const OutputGeometry& geometry) {
    // Separate factors, so the picture fills the output exactly even where the even
    // rounding changed the aspect ratio by a fraction of a pixel.
    const double sx = static_cast<double>(geometry.outWidth) / geometry.uprightWidth;
    const double sy = static_cast<double>(geometry.outHeight) / geometry.uprightHeight;
    return media::concat(transform, media::AffineTransform::makeScale(sx, sy));
}

media::Time frameDuration(double outFps) { return media::Time::fromSeconds(1.0 / outFps, 60000); }

}  // namespace planning
