// The job: one straight run of steps over one job-state record.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "media/dispatch.h"
#include "media/framework.h"
#include "pipeline/assembly.h"
#include "pipeline/inspection.h"
#include "pipeline/rates.h"
#include "pipeline/sound.h"
#include "planning/profile.h"

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

    // Source inspection, with the output geometry it plans.
    pipeline::SourceInfo source;
    // Video bit rate, frame rate and sound bit rate.
    pipeline::Rates rates;
    // Reader, writer, composition and the video output and input.
    pipeline::Assembly chain;
    // The mono AAC path; unset outputs and inputs when the source has no sound.
    pipeline::SoundPath sound;
    // Counts the pumps that have not finished.
    std::shared_ptr<media::Group> pumps;
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
