// The sound path: every source sound track mixed to one mono channel and encoded as
// AAC at 48 kHz, at the first bit rate the writer accepts.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "media/framework.h"

namespace pipeline {

struct SoundPath {
    double audioSampleRate = 0;
    std::shared_ptr<media::AssetReaderAudioMixOutput> audioOut;  // both set or both unset
    media::AssetWriterInputPtr audioIn;
};

// Adds the mix output to the reader and the AAC input to the writer when there are
// sound tracks. Ends the job when either is refused.
SoundPath setUpSound(media::Framework& framework, media::AssetReader& reader, media::AssetWriter& writer,
                     const std::vector<media::AssetTrackPtr>& audioTracks, std::int64_t plannedAudioBitrate,
                     std::int64_t profileAudioBitrate);

// The level of each track in the mix, in track order, from its first format description.
std::vector<float> mixVolumes(const std::vector<media::AssetTrackPtr>& audioTracks);

// The first of planned, profile and 64000 that the writer can encode, tried in that
// order (equal ones again); the profile's when none is accepted.
std::int64_t chooseAudioBitrate(media::AssetWriter& writer, std::int64_t plannedAudioBitrate,
                                std::int64_t profileAudioBitrate);

}  // namespace pipeline
