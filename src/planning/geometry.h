// Output picture size: the source turned upright, shrunk under the profile's long
// edge, never enlarged, rounded down to even sides of at least 2.
#pragma once

#include <cstdint>
#include <optional>

#include "media/values.h"

namespace planning {

// Largest even integer not above x, but never below 2.
std::int64_t evenDimension(double x);

struct OutputGeometry {
    media::Rect upright;
    double uprightWidth = 0;
    double uprightHeight = 0;
    double scale = 1;
    std::int64_t outWidth = 2;
    std::int64_t outHeight = 2;
};

// None when the source has no usable size or length (the caller ends the job).
std::optional<OutputGeometry> planOutputGeometry(media::Size natural, media::AffineTransform transform,
                                                 media::Time assetDuration, double durationSeconds,
                                                 double maxLongEdge);

// The composition's layer transform: transform followed by a scale that fills the
// output exactly, each axis with its own factor.
media::AffineTransform layerTransform(const media::AffineTransform& transform, const OutputGeometry& geometry);

// One output frame at outFps, in whole units of 1/60000 s.
media::Time frameDuration(double outFps);

}  // namespace planning
