// The mixed-sound output of a reader: every sound track folded to mono, resampled and
// summed on one timeline.
#pragma once

#include <memory>
#include <vector>

#include "media/framework.h"

struct AVChannelLayout;

namespace media::ff {

std::shared_ptr<AssetReaderAudioMixOutput> makeAudioMixOutput(const std::vector<AssetTrackPtr>& audioTracks,
                                                              const Settings& audioSettings);

// The mono fold-down of a channel layout, one gain per input channel: front channels
// at unit gain (so stereo is left + right), surrounds at -3 dB, low-frequency effects left out.
std::vector<double> monoFoldMatrix(const AVChannelLayout& layout);

}  // namespace media::ff
