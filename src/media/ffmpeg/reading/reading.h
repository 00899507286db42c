// The reading half of the FFmpeg media layer: assets, loads, the reader and its outputs.
#pragma once

#include "media/framework.h"

namespace media::ff {

AssetPtr makeAsset(const std::filesystem::path& url, const Settings& options);
Result<AssetReaderPtr> makeReader(const AssetPtr& asset);
std::shared_ptr<AssetReaderVideoCompositionOutput> makeVideoCompositionOutput(
    const std::vector<AssetTrackPtr>& videoTracks, const Settings& videoSettings);
std::shared_ptr<AssetReaderAudioMixOutput> makeAudioMixOutput(const std::vector<AssetTrackPtr>& audioTracks,
                                                              const Settings& audioSettings);

}  // namespace media::ff
