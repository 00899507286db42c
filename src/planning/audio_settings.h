// The sound side's dictionaries and the level of each source track in the mono mix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "media/settings.h"

namespace planning {

inline constexpr double kAudioSampleRate = 48000;
inline constexpr float kStereoFoldFactor = 0.70710677f;

// The 32-byte mono channel layout record, little-endian.
media::Bytes monoChannelLayout();
// 32-bit float mono linear PCM at 48 kHz, for the mix output.
media::Settings audioDecodeSettings();
// Mono AAC at 48 kHz and the given bit rate, for the writer's sound input.
media::Settings aacSettings(std::int64_t bitRate);

// Level of one of trackCount tracks in the mix; channels is the first format
// description's channel count, none when it could not be had.
float trackVolume(std::optional<std::uint32_t> channels, std::size_t trackCount);

}  // namespace planning
