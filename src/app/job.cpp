#include "app/job.h"

#include <utility>

#include "cli/command_line.h"
#include "cli/paths.h"
#include "console/console.h"
#include "console/progress.h"
#include "lifecycle/confinement.h"
#include "lifecycle/lifecycle.h"
#include "pipeline/completion.h"
#include "pipeline/pump.h"

namespace app {
namespace {

// The input, the output's folder, what the C library reads, and unless the job is
// told to use libx264, what the hardware encoders need.
lifecycle::Confinement confinementFor(const JobState& job, const media::Framework& framework) {
    lifecycle::Confinement rules;
    rules.input = job.inputURL;
    rules.outputFolder = job.outURL.parent_path();
    rules.readable = lifecycle::runtimeFiles();
    if (job.encoder != "software") {
        media::HardwareAccess hardware = framework.hardwareAccess();
        rules.readable.insert(rules.readable.end(), hardware.readable.begin(), hardware.readable.end());
        rules.listable = std::move(hardware.listable);
        rules.devices = std::move(hardware.devices);
    }
    return rules;
}

}  // namespace

JobState startUp(const std::vector<std::string>& argv, media::Framework& framework) {
    // Our lines must never land in the output file through a descriptor number the
    // host left free.
    console::keepStandardStreamsOpen();
    const auto line = cli::parseCommandLine(argv);
    if (!line) {
        // Nothing has been touched yet, so there is nothing to clean up.
        console::stderrLine(cli::usageLine);
        lifecycle::endProcess(2);
    }

    JobState job;
    job.encoder = line->encoder;
    job.profileName = line->profileName;
    job.profile = line->profile;
    job.inputURL = cli::fileURL(line->inputPath);
    job.outURL = cli::fileURL(line->outputPath);

    // No output path is set yet, so these two failures leave an existing output alone.
    if (!cli::isReadableFile(job.inputURL)) console::die("cannot read the input file", 2);
    if (!cli::hasOutputExtension(job.outURL)) console::die("output must end in .mp4, .m4v or .mov", 2);
    // Clearing the output path would delete the source itself.
    if (cli::isSameFile(job.inputURL, job.outURL)) console::die("output must not be the input file", 2);

    // From here on every ending but success removes whatever is at the output path,
    // starting with the file a previous run left there.
    lifecycle::setOutputURL(job.outURL);
    lifecycle::removeOutput();

    // From here on the process can touch nothing but its two files, before the first
    // byte of the input is parsed. It must come before the signal thread: only the
    // threads started after it are bound.
    lifecycle::confine(confinementFor(job, framework));

    lifecycle::installSignalHandling();
    console::resetProgress();

    media::Settings options;
    options.set(media::AVURLAssetPreferPreciseDurationAndTimingKey, true);
    job.asset = framework.makeURLAsset(job.inputURL, options);
    return job;
}

void runPipeline(JobState& job, media::Framework& framework) {
    job.source = pipeline::inspectSource(*job.asset, job.profile);
    job.rates = pipeline::planRates(job.profile, job.source.videoDataRate, job.source.sourceFps,
                                    job.source.audioTracks);
    job.chain = pipeline::assemblePipeline(framework, job.asset, job.source, job.rates.video, job.outURL,
                                           job.encoder, job.profile.keyFrameSeconds);
    job.sound = pipeline::setUpSound(framework, *job.chain.reader, *job.chain.writer, job.source.audioTracks,
                                     job.rates.audio.audioBitrate, job.profile.audioBitrate);

    pipeline::startReadingAndWriting(*job.chain.reader, *job.chain.writer);
    job.pumps = std::make_shared<media::Group>();
    pipeline::encode(job.chain, job.sound, job.source.durationSeconds, job.pumps);
    if (job.sound.audioOut) pipeline::verifySoundTrack(framework, job.outURL);
    pipeline::succeed(job.encoder);
}

void runJob(const std::vector<std::string>& argv, media::Framework& framework) {
    JobState job = startUp(argv, framework);
    runPipeline(job, framework);
}

}  // namespace app
