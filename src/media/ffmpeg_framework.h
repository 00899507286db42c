// The media layer on FFmpeg's libraries.
#pragma once

#include <memory>

#include "media/framework.h"

namespace media {

std::unique_ptr<Framework> makeFFmpegFramework();

}  // namespace media
