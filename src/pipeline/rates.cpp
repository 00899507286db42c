#include "pipeline/rates.h"

namespace pipeline {

Rates planRates(const planning::Profile& profile, std::optional<float> videoDataRate, float sourceFps,
                const std::vector<media::AssetTrackPtr>& audioTracks) {
    Rates rates;
    rates.video = planning::planVideoRates(profile, videoDataRate, sourceFps);

    std::vector<std::optional<float>> audioDataRates;
    audioDataRates.reserve(audioTracks.size());
    for (const media::AssetTrackPtr& track : audioTracks) {
        const media::Result<float> rate = track->loadEstimatedDataRate();
        audioDataRates.push_back(rate ? std::optional<float>(rate.value()) : std::nullopt);
    }
    rates.audio = planning::planAudioRates(profile, audioDataRates);
    return rates;
}

}  // namespace pipeline
