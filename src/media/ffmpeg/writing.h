// The writing half of the FFmpeg media layer: the MP4 writer and its encoder inputs.
#pragma once

#include "media/framework.h"

namespace media::ff {

Result<AssetWriterPtr> makeWriter(const std::filesystem::path& url, FileType type);
AssetWriterInputPtr makeWriterInput(MediaType type, const Settings& outputSettings);

}  // namespace media::ff
