// Placeholder until the reading half lands: every load reports that it cannot open.
#include "media/ffmpeg/reading.h"

#include "media/ffmpeg/common.h"

namespace media::ff {
namespace {

class UnopenedAsset final : public Asset {
public:
    Result<Time> loadDuration() override { return mediaError("reading media files is not built yet"); }
    Result<std::vector<AssetTrackPtr>> loadTracks(MediaType) override {
        return mediaError("reading media files is not built yet");
    }
};

}  // namespace

AssetPtr makeAsset(const std::filesystem::path&, const Settings&) { return std::make_shared<UnopenedAsset>(); }
Result<AssetReaderPtr> makeReader(const AssetPtr&) { return mediaError("reading media files is not built yet"); }
std::shared_ptr<AssetReaderVideoCompositionOutput> makeVideoCompositionOutput(const std::vector<AssetTrackPtr>&,
                                                                              const Settings&) {
    return nullptr;
}
std::shared_ptr<AssetReaderAudioMixOutput> makeAudioMixOutput(const std::vector<AssetTrackPtr>&, const Settings&) {
    return nullptr;
}

}  // namespace media::ff
