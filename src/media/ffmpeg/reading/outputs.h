// The two reader outputs, made by the framework before a reader is known.
#pragma once

#include <memory>
#include <vector>

#include "media/framework.h"

struct AVChannelLayout;

namespace media::ff {

std::shared_ptr<AssetReaderVideoCompositionOutput> newVideoCompositionOutput(std::vector<AssetTrackPtr> tracks,
                                                                             Settings settings);
std::shared_ptr<AssetReaderAudioMixOutput> newAudioMixOutput(std::vector<AssetTrackPtr> tracks, Settings settings);

// The mono fold-down of a channel layout, one gain per input channel: front channels
// at unit gain (so stereo is left + right), surrounds at -3 dB, low-frequency effects left out.
std::vector<double> monoFoldMatrix(const AVChannelLayout& layout);

}  // namespace media::ff
