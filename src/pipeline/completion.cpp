#include "pipeline/completion.h"

#include <optional>

#include "console/console.h"
#include "console/progress.h"
#include "lifecycle/lifecycle.h"

namespace pipeline {

void startReadingAndWriting(media::AssetReader& reader, media::AssetWriter& writer) {
    if (!reader.startReading()) {
        const std::optional<media::Error> error = reader.error();
        console::die("cannot read the media: " + (error ? console::describe(*error) : std::string("unknown")));
    }
    if (!writer.startWriting()) {
        const std::optional<media::Error> error = writer.error();
        console::die("cannot write the output: " + (error ? error->localizedDescription : std::string("unknown")));
    }
    writer.startSessionAtSourceTime(media::Time::zero());
    console::report(0);
}

void verifySoundTrack(media::Framework& framework, const std::filesystem::path& outURL) {
    bool hasSound = false;
    {
        // Short-lived: closed again before the job ends either way.
        const media::AssetPtr output = framework.makeURLAsset(outURL, media::Settings{});
        const media::Result<std::vector<media::AssetTrackPtr>> tracks = output->loadTracks(media::MediaType::Audio);
        hasSound = tracks.ok() && !tracks.value().empty();
    }
    if (!hasSound) console::die("AUDIO_LOST: the output has no sound track");
}

void succeed(const std::string& encoder) {
    // From here nothing may fail, and a signal can no longer decide the ending.
    lifecycle::claimExit();
    console::writeEncoderLine(encoder);
    console::report(100);
    lifecycle::endProcess(0);
}

}  // namespace pipeline
