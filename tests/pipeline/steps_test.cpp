// The steps that do not end the process, run in this process on the scripted media
// layer: which sound tracks take part, the mix levels, the bit-rate probe, the
// composition handed to the reader, and how a pump drives its input.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "fake_media.h"
#include "pipeline/assembly.h"
#include "pipeline/inspection.h"
#include "pipeline/pump.h"
#include "pipeline/rates.h"
#include "pipeline/sound.h"
#include "planning/audio_settings.h"
#include "planning/video_settings.h"

namespace {

using media::MediaType;
using media::Time;

media::Error loadError() { return media::Error{"The operation could not be completed", "media", -11800, {}}; }

std::vector<media::AssetTrackPtr> soundTracksOf(fake::Framework& framework) {
    return framework.makeURLAsset("/source.mov", {})->loadTracks(MediaType::Audio).value();
}

// ---- Which sound tracks take part -------------------------------------------------------

TEST(AudioFilter, DropsOnlyTracksKnownToBeEmpty) {
    struct Case {
        const char* name;
        media::Result<media::TimeRange> range;
        bool kept;
    };
    const Time zero = Time::zero();
    const Case cases[] = {
        {"three seconds", media::TimeRange{zero, Time::make(3, 1)}, true},
        {"zero length", media::TimeRange{zero, Time::make(0, 600)}, false},
        {"zero length at a later start", media::TimeRange{Time::make(5, 1), Time::make(0, 1)}, false},
        {"range cannot be loaded", loadError(), true},
        {"invalid duration", media::TimeRange{zero, Time::invalid()}, true},
        {"negative duration (invalid range)", media::TimeRange{zero, Time::make(-1, 1)}, true},
        {"indefinite duration (not a number)", media::TimeRange{zero, Time::indefinite()}, true},
        {"endless", media::TimeRange{zero, Time::positiveInfinity()}, true},
    };
    for (const Case& c : cases) {
        fake::Script script;
        fake::TrackScript track = fake::soundTrack("a0", 2);
        track.timeRange = c.range;
        script.audioTracks = {track};
        fake::Framework framework(script);
        const auto tracks = soundTracksOf(framework);
        EXPECT_EQ(pipeline::keepAudibleTracks(tracks).size(), c.kept ? 1u : 0u) << c.name;
    }
}

TEST(AudioFilter, KeepsTheSourceOrder) {
    fake::Script script;
    fake::TrackScript empty = fake::soundTrack("a1", 1);
    empty.timeRange = media::TimeRange{Time::zero(), Time::make(0, 1)};
    fake::TrackScript unreadable = fake::soundTrack("a2", 1);
    unreadable.timeRange = loadError();
    script.audioTracks = {fake::soundTrack("a0", 2), empty, unreadable, fake::soundTrack("a3", 1)};
    fake::Framework framework(script);
    const auto tracks = soundTracksOf(framework);

    const auto kept = pipeline::keepAudibleTracks(tracks);
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept[0], tracks[0]);
    EXPECT_EQ(kept[1], tracks[2]);
    EXPECT_EQ(kept[2], tracks[3]);
}

// ---- The sound set-up --------------------------------------------------------------------

// A reader and a writer of the fake, ready for the sound set-up.
struct SoundBench {
    explicit SoundBench(const fake::Script& script) : framework(script) {
        reader = framework.makeAssetReader(nullptr).value();
        writer = framework.makeAssetWriter(dir / "out.mp4", media::FileType::MPEG4).value();
        tracks = soundTracksOf(framework);
        callsBefore = framework.calls().size();
    }
    pipeline::SoundPath run(std::int64_t planned, std::int64_t profile) {
        return pipeline::setUpSound(framework, *reader, *writer, tracks, planned, profile);
    }
    // What the set-up asked of the fake.
    std::vector<std::string> calls() const {
        const std::vector<std::string> all = framework.calls();
        return {all.begin() + static_cast<std::ptrdiff_t>(callsBefore), all.end()};
    }

    testing_support::TempDir dir;
    fake::Framework framework;
    media::AssetReaderPtr reader;
    media::AssetWriterPtr writer;
    std::vector<media::AssetTrackPtr> tracks;
    std::size_t callsBefore = 0;
};

fake::TrackScript withDescriptions(media::Result<std::vector<media::FormatDescription>> descriptions) {
    fake::TrackScript track = fake::soundTrack("a0", 1);
    track.formatDescriptions = std::move(descriptions);
    return track;
}

TEST(SoundSetUp, MixLevelPerTrack) {
    const float half = 0.35355338f;  // 0.70710677 / 2, exact in single precision
    const float third = 0.33333334f;
    media::FormatDescription videoDescription;  // no stream description to be had
    struct Case {
        const char* name;
        std::vector<fake::TrackScript> tracks;
        std::vector<float> volumes;
    };
    const std::vector<Case> cases = {
        {"one mono", {fake::soundTrack("a0", 1)}, {1.0f}},
        {"one stereo", {fake::soundTrack("a0", 2)}, {0.70710677f}},
        {"two stereo", {fake::soundTrack("a0", 2), fake::soundTrack("a1", 2)}, {half, half}},
        {"mono then stereo", {fake::soundTrack("a0", 1), fake::soundTrack("a1", 2)}, {0.5f, half}},
        {"three mono",
         {fake::soundTrack("a0", 1), fake::soundTrack("a1", 1), fake::soundTrack("a2", 1)},
         {third, third, third}},
        {"six channels", {fake::soundTrack("a0", 6)}, {0.70710677f}},
        {"no channels", {fake::soundTrack("a0", 0)}, {1.0f}},
        {"descriptions cannot be loaded", {withDescriptions(loadError())}, {1.0f}},
        {"no descriptions", {withDescriptions(std::vector<media::FormatDescription>{})}, {1.0f}},
        {"no stream description",
         {withDescriptions(std::vector<media::FormatDescription>{videoDescription})},
         {1.0f}},
    };
    for (const Case& c : cases) {
        fake::Script script;
        script.audioTracks = c.tracks;
        SoundBench bench(script);
        bench.run(48000, 48000);

        const auto mix = bench.framework.seen().audioMix;
        ASSERT_TRUE(mix) << c.name;
        ASSERT_EQ(mix->inputParameters.size(), c.volumes.size()) << c.name;
        for (std::size_t i = 0; i < c.volumes.size(); ++i) {
            EXPECT_EQ(mix->inputParameters[i].track, bench.tracks[i]) << c.name << " #" << i;
            EXPECT_EQ(mix->inputParameters[i].volume, c.volumes[i]) << c.name << " #" << i;
            EXPECT_EQ(mix->inputParameters[i].volumeTime, Time::zero()) << c.name << " #" << i;
        }
    }
}

TEST(SoundSetUp, FirstAcceptedBitRateWins) {
    struct Case {
        const char* name;
        std::int64_t planned;
        std::int64_t profile;
        std::optional<std::set<std::int64_t>> accepted;
        std::vector<std::int64_t> probes;
        std::int64_t chosen;
    };
    const std::vector<Case> cases = {
        {"planned accepted", 40000, 48000, std::nullopt, {40000}, 40000},
        {"profile after planned", 40000, 48000, std::set<std::int64_t>{48000}, {40000, 48000}, 48000},
        {"64000 last", 40000, 48000, std::set<std::int64_t>{64000}, {40000, 48000, 64000}, 64000},
        {"none: the profile's", 40000, 48000, std::set<std::int64_t>{}, {40000, 48000, 64000}, 48000},
        {"equal candidates are asked again", 32000, 32000, std::set<std::int64_t>{64000},
         {32000, 32000, 64000}, 64000},
        {"all three equal, none accepted", 64000, 64000, std::set<std::int64_t>{}, {64000, 64000, 64000}, 64000},
    };
    for (const Case& c : cases) {
        fake::Script script;
        script.audioTracks = {fake::soundTrack("a0", 2)};
        script.acceptedAudioBitrates = c.accepted;
        SoundBench bench(script);
        const pipeline::SoundPath sound = bench.run(c.planned, c.profile);

        const fake::Seen seen = bench.framework.seen();
        EXPECT_EQ(seen.audioBitrateProbes, c.probes) << c.name;
        EXPECT_EQ(seen.audioInputSettings, planning::aacSettings(c.chosen)) << c.name;
        EXPECT_TRUE(sound.audioOut && sound.audioIn) << c.name;
    }
}

TEST(SoundSetUp, AddsOneMixedOutputAndOneInput) {
    fake::Script script;
    script.audioTracks = {fake::soundTrack("a0", 1), fake::soundTrack("a1", 2)};
    SoundBench bench(script);
    const pipeline::SoundPath sound = bench.run(48000, 48000);

    EXPECT_EQ(sound.audioSampleRate, 48000.0);
    ASSERT_TRUE(sound.audioOut);
    ASSERT_TRUE(sound.audioIn);
    const fake::Seen seen = bench.framework.seen();
    EXPECT_EQ(seen.audioOutputTracks, bench.tracks);
    EXPECT_EQ(seen.audioDecodeSettings, planning::audioDecodeSettings());
    EXPECT_EQ(seen.audioExpectsRealTime, false);

    // Levels are known before the probe, and both add tests come before either add.
    const std::vector<std::string> expected = {
        "makeAudioMixOutput(a0,a1)",       "a0.loadFormatDescriptions",    "a1.loadFormatDescriptions",
        "audio.setAudioMix",               "writer.canApplyOutputSettings(audio)", "makeAssetWriterInput(audio)",
        "reader.canAddOutput(audio)",      "writer.canAddInput(audio)",    "reader.addOutput(audio)",
        "writer.addInput(audio)",
    };
    EXPECT_EQ(bench.calls(), expected);
}

TEST(SoundSetUp, NoSoundTrackAddsNothing) {
    SoundBench bench(fake::Script{});
    const pipeline::SoundPath sound = bench.run(48000, 48000);

    EXPECT_EQ(sound.audioSampleRate, 48000.0);
    EXPECT_FALSE(sound.audioOut);
    EXPECT_FALSE(sound.audioIn);
    EXPECT_TRUE(bench.calls().empty());
}

// ---- Inspection, rates and assembly of a turned phone picture ---------------------------------

TEST(Assembly, QuarterTurnedSourceIsComposedUpright) {
    // 1920 x 1080 stored sideways, played upright; "camera-optimized" allows 960.
    const planning::Profile profile{960, 8, 400000, 32000, 4};
    fake::Script script;
    script.duration = Time::make(1800, 600);
    script.videoTracks[0].naturalSize = media::Size{1920, 1080};
    script.videoTracks[0].preferredTransform = media::AffineTransform{0, 1, -1, 0, 1080, 0};
    script.videoTracks[0].nominalFrameRate = 29.97f;
    script.videoTracks[0].estimatedDataRate = 6000000.0f;
    script.videoTracks.push_back(fake::videoTrack("v1"));  // read by nobody
    fake::Framework framework(script);
    testing_support::TempDir dir;
    const media::AssetPtr asset = framework.makeURLAsset(dir / "in.mov", {});

    const pipeline::SourceInfo source = pipeline::inspectSource(*asset, profile);
    const pipeline::Rates rates = pipeline::planRates(profile, source.videoDataRate, source.sourceFps, {});
    const pipeline::Assembly chain =
        pipeline::assemblePipeline(framework, asset, source, rates.video, dir / "out.mov", "software", 4);

    const fake::Seen seen = framework.seen();
    ASSERT_TRUE(seen.composition);
    const media::VideoComposition& composition = *seen.composition;
    EXPECT_EQ(composition.renderSize, (media::Size{540, 960}));
    EXPECT_EQ(composition.frameDuration, Time::make(7500, 60000));
    EXPECT_EQ(composition.colorPrimaries, media::AVVideoColorPrimaries_ITU_R_709_2);
    EXPECT_EQ(composition.colorTransferFunction, media::AVVideoTransferFunction_ITU_R_709_2);
    EXPECT_EQ(composition.colorYCbCrMatrix, media::AVVideoYCbCrMatrix_ITU_R_709_2);
    ASSERT_EQ(composition.instructions.size(), 1u);
    EXPECT_EQ(composition.instructions[0].timeRange.start, Time::zero());
    EXPECT_EQ(composition.instructions[0].timeRange.duration, Time::make(1800, 600));
    ASSERT_EQ(composition.instructions[0].layerInstructions.size(), 1u);
    const auto& layer = composition.instructions[0].layerInstructions[0];
    EXPECT_EQ(layer.track, source.videoTracks[0]);
    EXPECT_EQ(layer.transform, (media::AffineTransform{0, 0.5, -0.5, 0, 540, 0}));
    EXPECT_EQ(layer.transformTime, Time::zero());

    ASSERT_EQ(seen.videoOutputTracks.size(), 1u);
    EXPECT_EQ(seen.videoOutputTracks[0], source.videoTracks[0]);
    EXPECT_EQ(seen.readerPictureSettings, planning::readerPictureSettings());
    EXPECT_EQ(seen.alwaysCopiesSampleData, false);
    EXPECT_EQ(seen.videoInputSettings,
              planning::videoSettings(planning::encoderSpecification("software"), 540, 960, planning::bt709(),
                                      planning::compressionProperties(400000, 8, 4)));
    EXPECT_EQ(seen.videoExpectsRealTime, false);
    EXPECT_EQ(seen.fileType, media::FileType::MPEG4);  // for ".mov" too
    EXPECT_EQ(seen.optimizeForNetworkUse, false);
    EXPECT_TRUE(chain.reader && chain.writer && chain.videoOut && chain.videoIn);
}

// ---- Pumps ---------------------------------------------------------------------------------

// A video input of the fake with a source of scripted buffers, counting the pulls.
struct PumpBench {
    explicit PumpBench(fake::Script script) : framework(std::move(script)) {
        reader = framework.makeAssetReader(nullptr).value();
        output = framework.makeVideoCompositionOutput({}, {});
        input = framework.makeAssetWriterInput(MediaType::Video, {});
        reader->startReading();
    }
    void run() {
        auto pumps = std::make_shared<media::Group>();
        pipeline::pump(input, "video", [this] { ++pulls; return output->copyNextSampleBuffer(); }, pumps);
        pumps->wait();
    }

    fake::Framework framework;
    media::AssetReaderPtr reader;
    std::shared_ptr<media::AssetReaderVideoCompositionOutput> output;
    media::AssetWriterInputPtr input;
    std::atomic<int> pulls{0};
};

TEST(Pump, MovesEveryBufferInOrderAcrossReadyRounds) {
    fake::Script script;
    script.videoPts = fake::evenlySpaced(7, 0.5);
    script.appendsPerReadiness = 3;
    PumpBench bench(script);
    bench.run();

    const fake::InputRecord record = bench.framework.input(MediaType::Video);
    EXPECT_EQ(record.appendedSeconds, (std::vector<double>{0, 0.5, 1, 1.5, 2, 2.5, 3}));
    EXPECT_EQ(bench.pulls, 8);  // the last pull finds the end
    EXPECT_EQ(record.finishedMarks, 1);
    EXPECT_EQ(record.queueLabel, "video");
    EXPECT_GE(record.blockRuns, 3);  // full after 3, 6: three rounds at least
    EXPECT_TRUE(record.blockAlwaysOnQueue);
    // Each buffer is released right after its append, never held until the next one.
    EXPECT_EQ(record.maxLiveBuffersAtAppend, 1);
    EXPECT_EQ(bench.framework.liveBuffers(), 0);
}

TEST(Pump, EmptySourceFinishesOnTheFirstRun) {
    PumpBench bench(fake::Script{});
    bench.run();

    const fake::InputRecord record = bench.framework.input(MediaType::Video);
    EXPECT_EQ(bench.pulls, 1);
    EXPECT_TRUE(record.appendedSeconds.empty());
    EXPECT_EQ(record.finishedMarks, 1);
}

TEST(Pump, RefusedAppendFinishesThePumpAndReleasesTheBuffer) {
    fake::Script script;
    script.videoPts = fake::evenlySpaced(5, 1);
    script.refuseVideoAppendAt = 2;
    PumpBench bench(script);
    bench.run();

    const fake::InputRecord record = bench.framework.input(MediaType::Video);
    EXPECT_EQ(record.appendedSeconds, (std::vector<double>{0, 1}));
    EXPECT_EQ(record.refusedAppends, 1);
    EXPECT_EQ(bench.pulls, 3);  // nothing is pulled after the refusal
    EXPECT_EQ(record.finishedMarks, 1);
    EXPECT_EQ(bench.framework.liveBuffers(), 0);
}

TEST(Pump, FinishedPumpIgnoresFurtherCalls) {
    fake::Script script;
    script.videoPts = fake::evenlySpaced(2, 1);
    PumpBench bench(script);
    bench.run();
    const int pullsBefore = bench.pulls;

    bench.framework.invokeBlockAgain(MediaType::Video);
    bench.framework.invokeBlockAgain(MediaType::Video);

    const fake::InputRecord record = bench.framework.input(MediaType::Video);
    EXPECT_EQ(bench.pulls, pullsBefore);
    EXPECT_EQ(record.appendedSeconds.size(), 2u);
    EXPECT_EQ(record.refusedAppends, 0);
    EXPECT_EQ(record.finishedMarks, 1);
}

}  // namespace
