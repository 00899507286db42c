// Readiness: the writer invokes the pumps' blocks only when their inputs can take
// more, holds back an input that runs ahead of the other, and so writes a file whose
// pictures and sound lie close together.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "media/ffmpeg/libav.h"
#include "media/ffmpeg/writing/writer.h"
#include "writing_support.h"

namespace writing_test {
namespace {

using media::AssetWriterStatus;

class WritingPacing : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        media::ff::silenceLibraryLogs();
        dir_ = std::make_unique<TempDir>();
        raw_ = makeRawPictures(dir_->path(), 64, 64, 5, 8);
    }
    static void TearDownTestSuite() { dir_.reset(); }

    struct PictureAndSound {
        media::AssetWriterPtr writer;
        media::AssetWriterInputPtr videoIn;
        media::AssetWriterInputPtr audioIn;
    };
    // A writer at out with an input for raw_'s pictures at 5 per second and one for
    // mono sound, not yet started.
    static PictureAndSound pictureAndSoundWriter(const fs::path& out) {
        VideoParams video;
        video.width = 64;
        video.height = 64;
        video.fps = 5;
        video.bitRate = 100000;
        PictureAndSound made{media::ff::makeWriter(out, media::FileType::MPEG4).value(),
                             media::ff::makeWriterInput(media::MediaType::Video, videoSettings(video)),
                             media::ff::makeWriterInput(media::MediaType::Audio, aacSettings(48000))};
        made.writer->addInput(made.videoIn);
        made.writer->addInput(made.audioIn);
        return made;
    }

    static inline std::unique_ptr<TempDir> dir_;
    static inline fs::path raw_;  // 40 pictures of 64x64
};

// Pictures at 5 frames per second: each covers 0.2 s.
constexpr std::int64_t kFrameTicks = 12000;
constexpr double kFrameSeconds = 0.2;
constexpr int kSoundBlock = 256;

// The most pictures and sound drift apart in the file: running through the packets in
// the order of their bytes, the largest gap between the latest picture time and the
// latest sound time.
double widestGapInFileOrder(const fs::path& file) {
    std::optional<double> video;
    std::optional<double> audio;
    double widest = 0;
    for (const PacketInfo& p : packetsByPosition(file)) {
        (p.codecType == "video" ? video : audio) = p.dts;
        if (video && audio) widest = std::max(widest, std::abs(*video - *audio));
    }
    return widest;
}

struct SpeedCase {
    const char* name;
    bool slowPictures;  // otherwise the sound is the slow one
};
void PrintTo(const SpeedCase& c, std::ostream* os) { *os << c.name; }

class WritingPacingSpeeds : public WritingPacing, public ::testing::WithParamInterface<SpeedCase> {};

TEST_P(WritingPacingSpeeds, TheFasterInputWaitsForTheSlowerOne) {
    const SpeedCase& c = GetParam();
    const fs::path out = dir_->path() / (std::string(c.name) + ".mp4");
    auto [writer, videoIn, audioIn] = pictureAndSoundWriter(out);
    ASSERT_TRUE(writer->startWriting());
    writer->startSessionAtSourceTime(media::Time::zero());

    // The slow source takes a moment per buffer, as a hard-working decoder would.
    constexpr int kPictures = 40;
    constexpr std::int64_t kSamples = 8 * 48000;
    auto pictures = std::make_shared<PictureSource>(raw_, 64, 64, kFrameTicks);
    auto sound = soundSource(kSamples, kSoundBlock);
    const bool slowPictures = c.slowPictures;
    auto videoEnd = std::make_shared<std::atomic<double>>(0);  // after the last accepted append
    auto audioEnd = std::make_shared<std::atomic<double>>(0);
    auto videoNext = std::make_shared<double>(0);
    auto audioNext = std::make_shared<double>(0);
    auto widestLead = std::make_shared<std::atomic<double>>(0);  // of the fast input over the slow one

    auto pumps = std::make_shared<media::Group>();
    auto videoStats = std::make_shared<PumpStats>();
    auto audioStats = std::make_shared<PumpStats>();
    startPump(
        videoIn, "video",
        [=]() -> media::SampleBufferPtr {
            if (pictures->delivered() >= kPictures) return nullptr;
            if (slowPictures) std::this_thread::sleep_for(std::chrono::milliseconds(20));
            *videoNext = static_cast<double>(pictures->delivered() + 1) * kFrameSeconds;
            return pictures->next();
        },
        pumps, videoStats,
        [=] {
            videoEnd->store(*videoNext);
            if (!slowPictures) *widestLead = std::max(widestLead->load(), *videoNext - audioEnd->load());
        });
    startPump(
        audioIn, "audio",
        [=]() -> media::SampleBufferPtr {
            auto block = sound();
            if (block && !slowPictures) std::this_thread::sleep_for(std::chrono::microseconds(300));
            if (block) *audioNext = block->presentationTimeStamp().seconds() + block->duration().seconds();
            return block;
        },
        pumps, audioStats,
        [=] {
            audioEnd->store(*audioNext);
            if (slowPictures) *widestLead = std::max(widestLead->load(), *audioNext - videoEnd->load());
        });
    pumps->wait();
    finishAndWait(*writer);
    ASSERT_EQ(writer->status(), AssetWriterStatus::Completed);
    EXPECT_EQ(videoStats->appended, kPictures);

    // The fast one was held back, again and again...
    const PumpStats& fast = slowPictures ? *audioStats : *videoStats;
    EXPECT_GT(fast.notReadyReturns, 2);
    // ...never getting further ahead than half a second plus the buffer it was
    // allowed to take (and a block of the other's, for the moment between its append
    // and our note of it).
    const double fastBuffer = slowPictures ? kSoundBlock / 48000.0 : kFrameSeconds;
    const double slowBuffer = slowPictures ? kFrameSeconds : kSoundBlock / 48000.0;
    EXPECT_LE(widestLead->load(), 0.5 + fastBuffer + slowBuffer + 1e-6);

    // In the file, pictures and sound never lie more than about a second apart.
    EXPECT_LE(widestGapInFileOrder(out), 1.0);
}

INSTANTIATE_TEST_SUITE_P(Speeds, WritingPacingSpeeds,
                         ::testing::Values(SpeedCase{"slow_sound", false}, SpeedCase{"slow_pictures", true}),
                         [](const auto& row) { return std::string(row.param.name); });

struct LengthCase {
    const char* name;
    int pictures;
    std::int64_t samples;
};
void PrintTo(const LengthCase& c, std::ostream* os) { *os << c.name; }

class WritingPacingLengths : public WritingPacing, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(WritingPacingLengths, AFinishedInputNoLongerHoldsTheOtherBack) {
    const LengthCase& c = GetParam();
    const fs::path out = dir_->path() / (std::string(c.name) + ".mp4");
    auto [writer, videoIn, audioIn] = pictureAndSoundWriter(out);
    ASSERT_TRUE(writer->startWriting());
    writer->startSessionAtSourceTime(media::Time::zero());

    auto pictures = std::make_shared<PictureSource>(raw_, 64, 64, kFrameTicks);
    const int count = c.pictures;
    auto pumps = std::make_shared<media::Group>();
    auto videoStats = std::make_shared<PumpStats>();
    startPump(
        videoIn, "video",
        [pictures, count]() -> media::SampleBufferPtr {
            return pictures->delivered() < count ? pictures->next() : nullptr;
        },
        pumps, videoStats);
    startPump(audioIn, "audio", soundSource(c.samples), pumps, std::make_shared<PumpStats>());
    pumps->wait();
    finishAndWait(*writer);
    ASSERT_EQ(writer->status(), AssetWriterStatus::Completed);

    const Fields v = probeStream(out, "v:0", "nb_frames");
    EXPECT_EQ(v.at("nb_frames"), std::to_string(c.pictures));
    const Fields a = probeStream(out, "a:0", "duration_ts");
    EXPECT_NEAR(std::atof(a.at("duration_ts").c_str()), static_cast<double>(c.samples), 16);
}

INSTANTIATE_TEST_SUITE_P(Lengths, WritingPacingLengths,
                         ::testing::Values(LengthCase{"sound_ends_first", 30, 48000},
                                           LengthCase{"pictures_end_first", 5, 6 * 48000}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(WritingPacing, TheBlockRunsOnlyOnceWritingHasStarted) {
    auto writer = media::ff::makeWriter(dir_->path() / "start.mp4", media::FileType::MPEG4).value();
    auto audioIn = media::ff::makeWriterInput(media::MediaType::Audio, aacSettings(48000));
    writer->addInput(audioIn);
    EXPECT_FALSE(audioIn->isReadyForMoreMediaData());

    auto pumps = std::make_shared<media::Group>();
    auto stats = std::make_shared<PumpStats>();
    auto queue = startPump(audioIn, "audio", soundSource(4800), pumps, stats);
    drain(*queue);
    EXPECT_EQ(stats->invocations, 0);

    ASSERT_TRUE(writer->startWriting());
    pumps->wait();
    EXPECT_TRUE(stats->finished);
    EXPECT_EQ(stats->appended, 5);
    // Marked finished: not ready, and no further invocation.
    EXPECT_FALSE(audioIn->isReadyForMoreMediaData());
    const int calls = stats->invocations;
    drain(*queue);
    EXPECT_EQ(stats->invocations, calls);
    finishAndWait(*writer);
    EXPECT_EQ(writer->status(), AssetWriterStatus::Completed);
}

}  // namespace
}  // namespace writing_test
