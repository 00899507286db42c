// The writing half of the FFmpeg media layer: the MP4 writer and its encoder inputs.
#pragma once

#include "media/framework.h"

namespace media::ff {

Result<AssetWriterPtr> makeWriter(const std::filesystem::path& url, FileType type);
AssetWriterInputPtr makeWriterInput(MediaType type, const Settings& outputSettings);

// A seam for the writer's tests, defined by none but them: when a program defines it,
// every startWriting calls it on the caller's thread after checking the status and
// before taking the file to write the header, where a test lands a cancel. Declared
// weak, it is null in the program: one comparison, and no writable pointer to it.
[[gnu::weak]] void writerStartCheckedHook(AssetWriter& writer);

}  // namespace media::ff
