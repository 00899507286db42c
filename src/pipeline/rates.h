// Rate planning with the loads it needs: the video rates from what inspection found,
// then each sound track's data rate, one at a time, for the sound bit rate.
#pragma once

#include <optional>
#include <vector>

#include "media/framework.h"
#include "planning/profile.h"
#include "planning/rates.h"

namespace pipeline {

struct Rates {
    planning::VideoRates video;
    planning::AudioRates audio;
};

// Never fails: a failed data-rate load counts as none.
Rates planRates(const planning::Profile& profile, std::optional<float> videoDataRate, float sourceFps,
                const std::vector<media::AssetTrackPtr>& audioTracks);

}  // namespace pipeline
