// What the writer's inputs take from their settings dictionaries: every entry is read,
// checked and turned into one plain record. A dictionary with an entry we cannot act
// on (an unknown key, a wrong type, a value the encoder cannot honour) is refused
// here, so an input is never set up by quietly ignoring part of what was asked.
#pragma once

#include <cstdint>

#include "media/error.h"
#include "media/settings.h"

namespace media::ff {

// The libx264 speed/quality trade-off, chosen by measurement (bench/README.md has the
// sweep): "faster" with three reference frames and a 40-frame look-ahead matches the
// default preset's SSIM within 0.002 on camera, phone and screen sources for about
// nine tenths of its encoding time. "ultrafast" is out: it turns off CABAC, the 8x8
// transform and B-frames and yields Constrained Baseline whatever profile is asked.
inline constexpr const char* kX264Preset = "faster";

// libx264's own options on top of the preset, as its "x264-params" list. The rate
// tolerance stays at libx264's default: squeezing it (0.25) held short clips closer to
// their average but cost up to 0.035 SSIM on textured 4K footage, more than any preset
// step.
inline constexpr const char* kX264Params = "ref=3:rc-lookahead=40";

// B-frames between reference frames when reordering is allowed.
inline constexpr int kMaxBFrames = 3;

// The least average bit rate libx264 can be given: it counts in whole kbit/s.
inline constexpr std::int64_t kMinVideoBitRate = 1000;

// Pictures reach the encoder stamped in whole 1/60000 s, the timescale of the
// composition's frame duration, so every frame time is a whole number of ticks.
inline constexpr std::int32_t kFrameTimescale = 60000;

// The only sample rate and channel count of our sound track.
inline constexpr int kAudioSampleRate = 48000;

// Mono AAC bit rates the native encoder meets. Below about 16 kbit/s its output stops
// shrinking (about 14 kbit/s whatever is asked); above about 200 kbit/s it saturates
// near 217 kbit/s for one channel, well short of the format's own ceiling of 6144 bits
// per 1024-sample frame (288 kbit/s at 48 kHz). Inside this range it lands within a
// few per cent of the target on speech, music and noise alike.
inline constexpr std::int64_t kMinAacBitRate = 16000;
inline constexpr std::int64_t kMaxAacBitRate = 192000;

struct VideoConfig {
    int width = 0;
    int height = 0;
    std::int64_t bitRate = 0;  // bits per second; 0 = none asked (encoder's default rate control)
    double frameRate = 0;      // expected frames per second
    int gopSize = 0;           // most frames from one key frame to the next
    bool allowFrameReordering = true;
    bool enableHardware = false;
    bool requireHardware = false;
    bool tagBT709 = false;  // primaries, transfer and matrix (and video range) tagged BT.709
};

struct AudioConfig {
    std::int64_t bitRate = 0;
};

// The largest whole number of frames that fits in keyFrameSeconds at frameRate, at
// least 1.
int keyFrameInterval(double keyFrameSeconds, double frameRate);

Result<VideoConfig> parseVideoSettings(const Settings& settings);
Result<AudioConfig> parseAudioSettings(const Settings& settings);

}  // namespace media::ff
