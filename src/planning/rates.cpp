#include "planning/rates.h"

#include <algorithm>

namespace planning {

namespace {

// Comparisons are written so that a NaN source figure fails them and the profile's
// figure is taken.
bool usableBelow(double source, double ceiling) { return ceiling > source && source > 0; }

// 2^63: the first double that no longer truncates to a signed 64-bit integer.
constexpr double kInt64Limit = 0x1p63;

}  // namespace

VideoRates planVideoRates(const Profile& profile, std::optional<float> videoDataRate, float sourceFps) {
    VideoRates r;
    r.sourceBitrate = videoDataRate ? static_cast<double>(*videoDataRate) : 0.0;
    // The value chosen is a positive rate below the reference or the reference itself,
    // and the profile references are whole numbers far below 2^63.
    const double chosen = usableBelow(r.sourceBitrate, profile.referenceBitrate) ? r.sourceBitrate
                                                                                 : profile.referenceBitrate;
    r.bitrate = static_cast<std::int64_t>(chosen);
    const double fps = static_cast<double>(sourceFps);
    r.outFps = usableBelow(fps, profile.fps) ? fps : profile.fps;
    return r;
}

AudioRates planAudioRates(const Profile& profile, const std::vector<std::optional<float>>& audioDataRates) {
    AudioRates r;
    for (const std::optional<float>& rate : audioDataRates) {
        r.sourceAudioBitrate += rate ? static_cast<double>(*rate) : 0.0;
    }
    r.minAudioBitrate = kMinAudioBitrate;
    if (r.sourceAudioBitrate > 0 && r.sourceAudioBitrate < kInt64Limit) {
        const auto s = static_cast<std::int64_t>(r.sourceAudioBitrate);
        const std::int64_t m = std::min(profile.audioBitrate, s);
        r.audioBitrate = m > r.minAudioBitrate ? m : r.minAudioBitrate;
    } else {
        // Nothing usable (zero, negative, NaN), or a sum too large for any integer:
        // the profile's own rate.
        r.audioBitrate = profile.audioBitrate;
    }
    return r;
}

}  // namespace planning
