// Video bit rate, output frame rate and sound bit rate: what the source has, but
// never more than the profile allows.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "planning/profile.h"

namespace planning {

struct VideoRates {
    double sourceBitrate = 0;
    std::int64_t bitrate = 0;
    double outFps = 0;
};

// videoDataRate: the first video track's estimated data rate, none when its load failed.
VideoRates planVideoRates(const Profile& profile, std::optional<float> videoDataRate, float sourceFps);

inline constexpr std::int64_t kMinAudioBitrate = 32000;

struct AudioRates {
    double sourceAudioBitrate = 0;
    std::int64_t minAudioBitrate = kMinAudioBitrate;
    std::int64_t audioBitrate = 0;
};

// audioDataRates: one entry per sound track in order, none where the load failed.
AudioRates planAudioRates(const Profile& profile, const std::vector<std::optional<float>>& audioDataRates);

}  // namespace planning
