#include "pipeline/sound.h"

#include <optional>

#include "console/console.h"
#include "planning/audio_settings.h"

namespace pipeline {

namespace {

// The channel count of a track's first format description, when it can be had.
std::optional<std::uint32_t> firstChannelCount(media::AssetTrack& track) {
    const media::Result<std::vector<media::FormatDescription>> descriptions = track.loadFormatDescriptions();
    if (!descriptions || descriptions.value().empty()) return std::nullopt;
    const auto description = media::getStreamBasicDescription(descriptions.value().front());
    if (!description) return std::nullopt;
    return description->channelsPerFrame;
}

}  // namespace

std::vector<float> mixVolumes(const std::vector<media::AssetTrackPtr>& audioTracks) {
    std::vector<float> volumes;
    volumes.reserve(audioTracks.size());
    for (const media::AssetTrackPtr& track : audioTracks) {
        volumes.push_back(planning::trackVolume(firstChannelCount(*track), audioTracks.size()));
    }
    return volumes;
}

std::int64_t chooseAudioBitrate(media::AssetWriter& writer, std::int64_t plannedAudioBitrate,
                                std::int64_t profileAudioBitrate) {
    const std::int64_t candidates[] = {plannedAudioBitrate, profileAudioBitrate, 64000};
    for (const std::int64_t candidate : candidates) {
        if (writer.canApplyOutputSettings(planning::aacSettings(candidate), media::MediaType::Audio)) {
            return candidate;
        }
    }
    return profileAudioBitrate;
}

SoundPath setUpSound(media::Framework& framework, media::AssetReader& reader, media::AssetWriter& writer,
                     const std::vector<media::AssetTrackPtr>& audioTracks, std::int64_t plannedAudioBitrate,
                     std::int64_t profileAudioBitrate) {
    SoundPath sound;
    sound.audioSampleRate = planning::kAudioSampleRate;
    if (audioTracks.empty()) return sound;

    auto audioOut = framework.makeAudioMixOutput(audioTracks, planning::audioDecodeSettings());

    const std::vector<float> volumes = mixVolumes(audioTracks);
    media::AudioMix mix;
    for (std::size_t i = 0; i < audioTracks.size(); ++i) {
        auto parameters = media::AudioMixInputParameters::withTrack(audioTracks[i]);
        parameters.setVolume(volumes[i], media::Time::zero());
        mix.inputParameters.push_back(parameters);
    }
    audioOut->setAudioMix(mix);

    const std::int64_t bitrate = chooseAudioBitrate(writer, plannedAudioBitrate, profileAudioBitrate);
    auto audioIn = framework.makeAssetWriterInput(media::MediaType::Audio, planning::aacSettings(bitrate));
    audioIn->setExpectsMediaDataInRealTime(false);

    if (!reader.canAddOutput(audioOut) || !writer.canAddInput(audioIn)) {
        console::die("AUDIO_LOST: the sound track cannot be re-encoded");
    }
    reader.addOutput(audioOut);
    writer.addInput(audioIn);
    sound.audioOut = audioOut;
    sound.audioIn = audioIn;
    return sound;
}

}  // namespace pipeline
