// The loads of a track that follow from its probed stream alone: its time range on the
// asset timeline, its natural size, its orientation and its nominal frame rate.
#pragma once

#include <array>
#include <cstdint>

#include "media/ffmpeg/reading/source.h"

namespace media::ff {

// The track's time range on the asset timeline.
TimeRange streamTimeRange(const SourceInfo& source, const StreamInfo& stream);

// The picture size with the sample aspect ratio applied (the width widened or narrowed).
Size naturalSize(const StreamInfo& stream);

// The display matrix (libavutil's layout: a, b, u, c, d, v, x, y, w, with a..d and
// x, y in 16.16 fixed point) as a transform of our convention, with the translation
// that puts the turned natural rectangle at the origin.
AffineTransform transformFromDisplayMatrix(const std::array<std::int32_t, 9>& matrix, Size natural);

// Frames per second as the 32-bit figure the loads report, 0 when unknown.
float nominalFrameRate(const StreamInfo& stream);

}  // namespace media::ff
