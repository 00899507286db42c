#include "media/ffmpeg/reading/track_values.h"

#include <algorithm>
#include <cmath>

namespace media::ff {

TimeRange streamTimeRange(const SourceInfo& source, const StreamInfo& stream) {
    const AVRational tb = stream.timeBase;
    std::int64_t start = 0;
    if (stream.startTime != AV_NOPTS_VALUE) start = std::max<std::int64_t>(stream.startTime - source.originIn(stream), 0);
    const std::int64_t assetEnd = av_rescale_q(source.durationUs, AV_TIME_BASE_Q, tb);
    std::int64_t duration = stream.duration;
    if (duration == AV_NOPTS_VALUE || duration < 0) duration = std::max<std::int64_t>(assetEnd - start, 0);
    return TimeRange{timeFromAV(start, tb), timeFromAV(duration, tb)};
}

Size naturalSize(const StreamInfo& stream) {
    double width = stream.parameters->width;
    const double height = stream.parameters->height;
    const AVRational sar = stream.sampleAspectRatio;
    if (sar.num > 0 && sar.den > 0) width = width * sar.num / sar.den;
    return Size{width, height};
}

AffineTransform transformFromDisplayMatrix(const std::array<std::int32_t, 9>& m, Size natural) {
    constexpr double kOne = 65536.0;
    AffineTransform t{m[0] / kOne, m[1] / kOne, m[3] / kOne, m[4] / kOne, 0, 0};
    // A matrix that collapses the picture is damage, not an orientation.
    if (t.a * t.d - t.b * t.c == 0) return AffineTransform::identity();
    // The matrix's own translation is in the units of whichever size the writer had in
    // mind; recompute it so the turned picture sits at the origin.
    const Rect turned = applyAffineTransform(Rect{0, 0, natural.width, natural.height}, t);
    t.tx = turned.x == 0 ? 0 : -turned.x;
    t.ty = turned.y == 0 ? 0 : -turned.y;
    return t;
}

float nominalFrameRate(const StreamInfo& stream) {
    AVRational rate = stream.averageFrameRate;
    if (rate.num <= 0 || rate.den <= 0) rate = stream.realFrameRate;
    if (rate.num <= 0 || rate.den <= 0) return 0.0f;
    // To the thousandth, as rates are quoted: 30000/1001 is 29.97, 24000/1001 is 23.976.
    const double fps = static_cast<double>(rate.num) / static_cast<double>(rate.den);
    return static_cast<float>(std::round(fps * 1000.0) / 1000.0);
}

}  // namespace media::ff
