// The figures of one compression profile.
#pragma once

#include <cstdint>

namespace planning {

struct Profile {
    double maxLongEdge;       // pixels: longest edge of the output picture
    double fps;               // frames per second: frame-rate ceiling
    double referenceBitrate;  // bits per second: video bit-rate ceiling
    std::int64_t audioBitrate;  // bits per second: AAC bit rate
    double keyFrameSeconds;   // seconds: longest interval between key frames
};

}  // namespace planning
