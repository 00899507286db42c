// The last stretch of the job: start reading and writing, check that a job with sound
// wrote a sound track, and end with the encoder line and 100 %.
#pragma once

#include <filesystem>
#include <string>

#include "media/framework.h"

namespace pipeline {

// Starts reading, then writing, then the output timeline at zero, and reports 0 %.
// Ends the job when reading or writing does not start.
void startReadingAndWriting(media::AssetReader& reader, media::AssetWriter& writer);

// Opens the finished output anew and ends the job unless it lists a sound track.
void verifySoundTrack(media::Framework& framework, const std::filesystem::path& outURL);

// The success ending: the encoder line, then 100 %, then exit status 0.
[[noreturn]] void succeed(const std::string& encoder);

}  // namespace pipeline
