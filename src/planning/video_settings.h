// The dictionaries handed to the reader's video output and the writer's video input.
#pragma once

#include <cstdint>
#include <string>

#include "media/settings.h"

namespace planning {

media::Settings bt709();
media::Settings readerPictureSettings();
// encoder: "auto", "hardware" or "software".
media::Settings encoderSpecification(const std::string& encoder);
media::Settings compressionProperties(std::int64_t bitrate, double outFps, double keyFrameSeconds);
media::Settings videoSettings(const media::Settings& encoderSpecification, std::int64_t outWidth,
                              std::int64_t outHeight, const media::Settings& colorProperties,
                              const media::Settings& compressionProperties);

}  // namespace planning
