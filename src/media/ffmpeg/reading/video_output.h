// The composed-video output of a reader: the first video track shown at the
// composition's frame rate, each picture drawn into its render size.
#pragma once

#include <memory>
#include <vector>

#include "media/framework.h"

namespace media::ff {

std::shared_ptr<AssetReaderVideoCompositionOutput> makeVideoCompositionOutput(
    const std::vector<AssetTrackPtr>& videoTracks, const Settings& videoSettings);

}  // namespace media::ff
