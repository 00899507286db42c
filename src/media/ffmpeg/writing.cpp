// Placeholder until the writing half lands.
#include "media/ffmpeg/writing.h"

#include "media/ffmpeg/common.h"

namespace media::ff {

Result<AssetWriterPtr> makeWriter(const std::filesystem::path&, FileType) {
    return mediaError("writing media files is not built yet");
}
AssetWriterInputPtr makeWriterInput(MediaType, const Settings&) { return nullptr; }

}  // namespace media::ff
