// The job: one straight run of steps over one job-state record.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "media/framework.h"
#include "planning/geometry.h"
#include "planning/profile.h"
#include "planning/rates.h"

namespace app {

// The job-wide values, each written once by the step that produces it.
struct JobState {
    // Start-up.
    std::string encoder = "auto";
    std::string profileName;
    planning::Profile profile{};
    std::filesystem::path inputURL;
    std::filesystem::path outURL;
    media::AssetPtr asset;

    // Source inspection.
    media::Time assetDuration;
    double durationSeconds = 0;
    std::vector<media::AssetTrackPtr> videoTracks;
    std::vector<media::AssetTrackPtr> audioTracks;
    media::Size natural;
    media::AffineTransform transform;
    float sourceFps = 0;
    std::optional<float> videoDataRate;  // none when its load failed

    // Planning.
    planning::OutputGeometry geometry;
    planning::VideoRates videoRates;
    planning::AudioRates audioRates;

    // Assembly and the sound set-up.
    media::AssetReaderPtr reader;
    media::AssetWriterPtr writer;
    std::shared_ptr<media::AssetReaderVideoCompositionOutput> videoOut;
    media::AssetWriterInputPtr videoIn;
    double audioSampleRate = 0;
    std::shared_ptr<media::AssetReaderAudioMixOutput> audioOut;
    media::AssetWriterInputPtr audioIn;
};

// Runs the whole job for the argument vector on the given media layer. Never
// returns: every ending, success included, ends the process.
[[noreturn]] void runJob(const std::vector<std::string>& argv, media::Framework& framework);

// From process start to the created source asset: the command line, the path checks,
// the clearing of the output path, signal handling and the progress state. Ends the
// process itself on a refused command line or path.
JobState startUp(const std::vector<std::string>& argv, media::Framework& framework);

// Everything after start-up: inspection, planning, assembly, the run and its ending.
[[noreturn]] void runPipeline(JobState& job, media::Framework& framework);

}  // namespace app
