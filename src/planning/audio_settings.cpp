#include "planning/audio_settings.h"

#include "media/keys.h"

namespace planning {

namespace {

constexpr std::size_t kChannelLayoutSize = 32;

}  // namespace

media::Bytes monoChannelLayout() {
    // Layout tag, then channel bitmap, description count and one empty channel
    // description, all zero. Spelled out byte by byte so the record is little-endian
    // whatever the machine.
    media::Bytes record(kChannelLayoutSize, 0);
    const std::uint32_t tag = media::kAudioChannelLayoutTag_Mono;
    for (std::size_t i = 0; i < 4; ++i) record[i] = static_cast<std::uint8_t>(tag >> (8 * i));
    return record;
}

media::Settings audioDecodeSettings() {
    media::Settings s;
    s.set(media::AVFormatIDKey, media::kAudioFormatLinearPCM)
        .set(media::AVLinearPCMBitDepthKey, std::int64_t{32})
        .set(media::AVLinearPCMIsFloatKey, true)
        .set(media::AVLinearPCMIsBigEndianKey, false)
        .set(media::AVLinearPCMIsNonInterleaved, false)
        .set(media::AVNumberOfChannelsKey, std::int64_t{1})
        .set(media::AVChannelLayoutKey, monoChannelLayout())
        .set(media::AVSampleRateKey, kAudioSampleRate);
    return s;
}

media::Settings aacSettings(std::int64_t bitRate) {
    media::Settings s;
    s.set(media::AVFormatIDKey, media::kAudioFormatMPEG4AAC)
        .set(media::AVNumberOfChannelsKey, std::int64_t{1})
        .set(media::AVChannelLayoutKey, monoChannelLayout())
        .set(media::AVSampleRateKey, kAudioSampleRate)
        .set(media::AVEncoderBitRateKey, bitRate);
    return s;
}

float trackVolume(std::optional<std::uint32_t> channels, std::size_t trackCount) {
    const float factor = channels && *channels > 1u ? kStereoFoldFactor : 1.0f;
    // There is always at least the track itself; a count of 0 must not give an
    // infinite level.
    const float n = static_cast<float>(trackCount == 0 ? 1 : trackCount);
    return factor / n;
}

}  // namespace planning
