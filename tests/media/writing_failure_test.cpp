// Failures of the writer arrive as a status with an error, and never leave a pump
// waiting: a file that cannot be created, a disk that fills while appending or only
// when the file is closed, a cancel from another thread, finishing out of turn.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <sstream>

extern "C" {
#include <libavutil/channel_layout.h>
}

#include "media/ffmpeg/libav.h"
#include "media/ffmpeg/writing/writer.h"
#include "support/child_process.h"
#include "support/tmpfs_mount.h"
#include "support/unprivileged.h"
#include "writing_support.h"

namespace writing_test {
namespace {

using media::AssetWriterStatus;

using testing_support::TmpfsMount;

// What a child run under a file-size limit came to.
struct LimitedRun {
    bool limitSet = false;  // false: the system refused the limit, and body never ran
    std::string text;       // what body returned
    std::string failure;    // how the child ended, when it did not come back normally
};

// Runs body in a child process with the file-size limit set (SIGXFSZ ignored, so a
// write past it fails with EFBIG). A child that crashes, aborts or ends with a
// sanitizer's status is a failure of the code under test, never a missing result.
LimitedRun withFileSizeLimit(rlim_t bytes, const std::function<std::string()>& body) {
    constexpr int kNoLimit = 3;
    const testing_support::ChildRun child = testing_support::runInChild([&](int reportFd) {
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{bytes, bytes};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(kNoLimit);
        const std::string text = body();
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t n = write(reportFd, text.data() + done, text.size() - done);
            if (n <= 0) _exit(4);
            done += static_cast<std::size_t>(n);
        }
        _exit(0);
    });
    LimitedRun run;
    run.limitSet = !(child.exited() && child.exitCode() == kNoLimit);
    run.text = child.calls;
    if (!child.exited() || child.exitCode() != 0) {
        std::ostringstream how;
        if (child.exited()) {
            how << "the child exited with " << child.exitCode();
        } else {
            how << "the child was killed by signal " << child.termSignal();
        }
        how << "; its standard error: " << child.err;
        run.failure = how.str();
    }
    return run;
}

// ---- Creation ------------------------------------------------------------------------

TEST(WritingCreation, FailsWithAnErrorWhereTheFileCannotBeCreatedAndLeavesNothing) {
    media::ff::silenceLibraryLogs();
    TempDir dir;
    fs::create_directory(dir.path() / "taken.mp4");
    ASSERT_EQ(mkfifo((dir.path() / "pipe.mp4").c_str(), 0600), 0);
    TmpfsMount readOnly(dir.path() / "ro", "size=64k", MS_RDONLY);

    struct Case {
        const char* name;
        fs::path path;
        const char* cause;
    };
    std::vector<Case> cases = {
        {"missing folder", dir.path() / "gone" / "out.mp4", "No such file or directory"},
        {"a directory at the path", dir.path() / "taken.mp4", "Is a directory"},
        // Opening it to write would wait for a reader for ever.
        {"a named pipe at the path", dir.path() / "pipe.mp4", "pipe"},
    };
    if (readOnly.mounted()) cases.push_back({"read-only place", dir.path() / "ro" / "out.mp4", "Read-only file system"});

    for (const auto& c : cases) {
        auto writer = media::ff::makeWriter(c.path, media::FileType::MPEG4);
        ASSERT_FALSE(writer) << c.name;
        EXPECT_NE(writer.error().localizedDescription.find(c.cause), std::string::npos)
            << c.name << ": " << writer.error().localizedDescription;
        EXPECT_FALSE(fs::is_regular_file(c.path)) << c.name;
    }
    EXPECT_TRUE(fs::is_directory(dir.path() / "taken.mp4"));
}

TEST(WritingCreation, FailsWithAnErrorWhereTheFolderMayNotBeWritten) {
    // The superuser writes through a folder's permissions: the writer is made in a
    // child that runs as an ordinary user, in a folder that user may read but not write.
    media::ff::silenceLibraryLogs();
    TempDir dir;
    const fs::path locked = dir.path() / "locked";
    fs::create_directory(locked);
    testing_support::handToUnprivileged(dir.path());
    testing_support::handToUnprivileged(locked);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    const fs::path out = locked / "out.mp4";

    const testing_support::ChildRun child = testing_support::runInChild([&](int reportFd) {
        testing_support::dropPrivileges();
        auto writer = media::ff::makeWriter(out, media::FileType::MPEG4);
        const std::string error = writer ? "a writer was made" : writer.error().localizedDescription;
        if (write(reportFd, error.data(), error.size()) < 0) _exit(4);
        _exit(0);
    });
    if (child.exitCode() == testing_support::kCannotDropPrivileges) {
        GTEST_SKIP() << "the system refuses to let the test give up its privileges";
    }
    ASSERT_EQ(child.exitCode(), 0) << child.err;
    EXPECT_NE(child.calls.find("Permission denied"), std::string::npos) << child.calls;
    EXPECT_FALSE(fs::exists(out));
}

TEST(WritingCreation, CreatesTheFileAtOnceWhateverItsName) {
    TempDir dir;
    // A colon is part of the name, not a protocol.
    const fs::path out = dir.path() / "clip:take 2.m4v";
    auto writer = media::ff::makeWriter(out, media::FileType::MPEG4);
    ASSERT_TRUE(writer) << writer.error().localizedDescription;
    EXPECT_TRUE(fs::is_regular_file(out));
}

// ---- A full disk ------------------------------------------------------------------------

struct DiskOutcome {
    bool refusedWhileAppending = false;
    int statusAfterPumps = 0;
    bool laterAppendsRefused = false;
    int statusAfterFinish = 0;
    int handlerCalls = 0;
    std::string error;

    std::string encode() const {
        std::ostringstream out;
        out << refusedWhileAppending << ' ' << statusAfterPumps << ' ' << laterAppendsRefused << ' '
            << statusAfterFinish << ' ' << handlerCalls << ' ' << error;
        return out.str();
    }
    static DiskOutcome decode(const std::string& text) {
        DiskOutcome o;
        std::istringstream in(text);
        in >> o.refusedWhileAppending >> o.statusAfterPumps >> o.laterAppendsRefused >> o.statusAfterFinish >>
            o.handlerCalls;
        std::getline(in >> std::ws, o.error);
        return o;
    }
};

// Pictures and sound pumped as the job pumps them, then the file finished.
DiskOutcome writeUntilDone(const fs::path& out, const fs::path& raw, const VideoParams& video, int frames) {
    DiskOutcome o;
    auto made = media::ff::makeWriter(out, media::FileType::MPEG4);
    if (!made) {
        o.error = "creation: " + made.error().localizedDescription;
        return o;
    }
    auto writer = made.value();
    auto videoIn = media::ff::makeWriterInput(media::MediaType::Video, videoSettings(video));
    auto audioIn = media::ff::makeWriterInput(media::MediaType::Audio, aacSettings(48000));
    writer->addInput(videoIn);
    writer->addInput(audioIn);
    if (!writer->startWriting()) {
        o.error = "start: " + (writer->error() ? writer->error()->localizedDescription : "unknown");
        return o;
    }
    writer->startSessionAtSourceTime(media::Time::zero());

    const auto frameTicks = static_cast<std::int64_t>(60000 / video.fps);
    auto pictures = std::make_shared<PictureSource>(raw, static_cast<int>(video.width),
                                                    static_cast<int>(video.height), frameTicks, true);
    auto pumps = std::make_shared<media::Group>();
    auto videoStats = std::make_shared<PumpStats>();
    auto audioStats = std::make_shared<PumpStats>();
    startPump(
        videoIn, "video",
        [pictures, frames]() -> media::SampleBufferPtr {
            return pictures->delivered() < frames ? pictures->next() : nullptr;
        },
        pumps, videoStats);
    startPump(audioIn, "audio", soundSource(static_cast<std::int64_t>(frames / video.fps * 48000)), pumps,
              audioStats);
    // Every pump ends, whichever input met the failure.
    pumps->wait();
    o.refusedWhileAppending = videoStats->refused || audioStats->refused;
    o.statusAfterPumps = static_cast<int>(writer->status());

    PictureSource again(raw, static_cast<int>(video.width), static_cast<int>(video.height), frameTicks);
    o.laterAppendsRefused =
        !videoIn->appendSampleBuffer(*again.next()) && !audioIn->appendSampleBuffer(*soundBlock(0, 1024));

    auto calls = std::make_shared<std::atomic<int>>(0);
    media::Semaphore done(0);
    writer->finishWriting([calls, &done] {
        ++*calls;
        done.signal();
    });
    done.wait();
    o.statusAfterFinish = static_cast<int>(writer->status());
    // Nothing more may arrive once the handler has run.
    auto marker = std::make_shared<media::Semaphore>(0);
    writer->finishWriting([marker] { marker->signal(); });
    marker->wait();
    o.handlerCalls = calls->load();
    if (auto e = writer->error()) {
        o.error = e->localizedDescription;
        if (const media::Error* under = e->underlyingError()) o.error += " / " + under->localizedDescription;
    }
    return o;
}

class WritingFullDisk : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        media::ff::silenceLibraryLogs();
        dir_ = std::make_unique<TempDir>();
        raw_ = makeRawPictures(dir_->path(), 320, 240, 15, 4, "mandelbrot");
    }
    static void TearDownTestSuite() { dir_.reset(); }

    static VideoParams heavy() {
        VideoParams video;  // 320x240 at 15 fps
        video.bitRate = 3000000;
        return video;
    }

    static inline std::unique_ptr<TempDir> dir_;
    static inline fs::path raw_;
};

TEST_F(WritingFullDisk, WhileAppendingFailsTheWriterAndEndsEveryPump) {
    // About 3.7 MB of pictures for 256 kB of room: enough that the disk fills while the
    // encoder still takes pictures, whatever it holds back for its look-ahead.
    DiskOutcome o;
    std::string cause;
    TmpfsMount disk(dir_->path() / "disk", "size=256k");
    if (disk.mounted()) {
        o = writeUntilDone(dir_->path() / "disk" / "out.mp4", raw_, heavy(), 150);
        cause = "No space left on device";
    } else {
        const LimitedRun run = withFileSizeLimit(256 * 1024, [] {
            return writeUntilDone(dir_->path() / "limited.mp4", raw_, heavy(), 150).encode();
        });
        if (!run.limitSet) GTEST_SKIP() << "neither a tmpfs nor a file-size limit can be had here";
        ASSERT_EQ(run.failure, "");
        o = DiskOutcome::decode(run.text);
        cause = "File too large";
    }
    EXPECT_TRUE(o.refusedWhileAppending);
    EXPECT_EQ(o.statusAfterPumps, static_cast<int>(AssetWriterStatus::Failed));
    EXPECT_TRUE(o.laterAppendsRefused);
    EXPECT_EQ(o.statusAfterFinish, static_cast<int>(AssetWriterStatus::Failed));
    EXPECT_EQ(o.handlerCalls, 1);
    EXPECT_NE(o.error.find(cause), std::string::npos) << o.error;
}

TEST_F(WritingFullDisk, OnlyWhenClosingStillFailsTheFinish) {
    // The same small clip twice: once to learn where its index starts, once with room
    // for everything but the index, which is written when the file is finished.
    VideoParams video;
    video.width = 320;
    video.height = 240;
    video.bitRate = 200000;
    const fs::path probeOut = dir_->path() / "whole.mp4";
    const DiskOutcome whole = writeUntilDone(probeOut, raw_, video, 15);
    ASSERT_EQ(whole.statusAfterFinish, static_cast<int>(AssetWriterStatus::Completed)) << whole.error;
    const std::string bytes = readFile(probeOut);
    const auto moov = bytes.rfind("moov");
    ASSERT_NE(moov, std::string::npos);
    ASSERT_GT(moov, 4u);

    const LimitedRun run = withFileSizeLimit(moov - 4 + 16, [&video] {
        return writeUntilDone(dir_->path() / "closing.mp4", raw_, video, 15).encode();
    });
    if (!run.limitSet) GTEST_SKIP() << "a file-size limit cannot be set here";
    ASSERT_EQ(run.failure, "");
    const DiskOutcome o = DiskOutcome::decode(run.text);
    EXPECT_FALSE(o.refusedWhileAppending);
    EXPECT_EQ(o.statusAfterPumps, static_cast<int>(AssetWriterStatus::Writing));
    EXPECT_EQ(o.statusAfterFinish, static_cast<int>(AssetWriterStatus::Failed));
    EXPECT_EQ(o.handlerCalls, 1);
    EXPECT_NE(o.error.find("File too large"), std::string::npos) << o.error;
}

// ---- Cancel ------------------------------------------------------------------------------

TEST(WritingCancel, FromAnotherThreadRefusesPendingAndLaterAppendsAndStopsCallbacks) {
    media::ff::silenceLibraryLogs();
    TempDir dir;
    const fs::path raw = makeRawPictures(dir.path(), 160, 120, 15, 2);
    auto writer = media::ff::makeWriter(dir.path() / "out.mp4", media::FileType::MPEG4).value();
    VideoParams video;
    video.width = 160;
    video.height = 120;
    auto videoIn = media::ff::makeWriterInput(media::MediaType::Video, videoSettings(video));
    auto audioIn = media::ff::makeWriterInput(media::MediaType::Audio, aacSettings(48000));
    writer->addInput(videoIn);
    writer->addInput(audioIn);
    ASSERT_TRUE(writer->startWriting());
    writer->startSessionAtSourceTime(media::Time::zero());

    // Endless sources: only the cancel can end these pumps.
    auto pictures = std::make_shared<PictureSource>(raw, 160, 120, 4000, /*loop=*/true);
    auto pumps = std::make_shared<media::Group>();
    auto videoStats = std::make_shared<PumpStats>();
    auto audioStats = std::make_shared<PumpStats>();
    media::Semaphore reached(0);
    media::Semaphore resume(0);
    // The video block pauses inside its loop after 20 pictures, so the cancel lands in
    // the middle of its appending.
    auto videoQueue = startPump(
        videoIn, "video", [pictures] { return pictures->next(); }, pumps, videoStats,
        [&videoStats, &reached, &resume] {
            if (videoStats->appended == 20) {
                reached.signal();
                resume.wait();
            }
        });
    auto audioQueue =
        startPump(audioIn, "audio", soundSource(std::int64_t{1} << 40), pumps, audioStats);

    reached.wait();
    writer->cancelWriting();
    EXPECT_EQ(writer->status(), AssetWriterStatus::Cancelled);
    resume.signal();

    // Appends from here on are refused.
    PictureSource own(raw, 160, 120, 4000);
    EXPECT_FALSE(videoIn->appendSampleBuffer(*own.next()));
    EXPECT_FALSE(audioIn->appendSampleBuffer(*soundBlock(0, 1024)));

    // The block that was appending met a refusal and ended its pump.
    drain(*videoQueue);
    drain(*audioQueue);
    EXPECT_TRUE(videoStats->finished);
    EXPECT_TRUE(videoStats->refused);

    // No callback follows, whatever happens to the inputs now.
    const int videoCalls = videoStats->invocations;
    const int audioCalls = audioStats->invocations;
    audioIn->markAsFinished();
    videoIn->markAsFinished();
    EXPECT_FALSE(audioIn->isReadyForMoreMediaData());
    drain(*videoQueue);
    drain(*audioQueue);
    EXPECT_EQ(videoStats->invocations, videoCalls);
    EXPECT_EQ(audioStats->invocations, audioCalls);

    finishAndWait(*writer);
    EXPECT_EQ(writer->status(), AssetWriterStatus::Cancelled);
}

// ---- Buffers that do not match the settings ------------------------------------------

media::SampleBufferPtr picture(int width, int height, AVPixelFormat format, std::int64_t ticks) {
    media::ff::FramePtr frame = media::ff::makeFrame();
    frame->format = format;
    frame->width = width;
    frame->height = height;
    av_frame_get_buffer(frame.get(), 0);
    return std::make_unique<media::ff::FrameSampleBuffer>(std::move(frame), media::Time::make(ticks, 60000),
                                                          media::Time::make(4000, 60000));
}

media::SampleBufferPtr stereoSound() {
    media::ff::FramePtr frame = media::ff::makeFrame();
    frame->format = AV_SAMPLE_FMT_FLT;
    frame->sample_rate = 48000;
    frame->nb_samples = 1024;
    const AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
    av_channel_layout_copy(&frame->ch_layout, &stereo);
    av_frame_get_buffer(frame.get(), 0);
    return std::make_unique<media::ff::FrameSampleBuffer>(std::move(frame), media::Time::make(0, 48000),
                                                          media::Time::make(1024, 48000));
}

TEST(WritingBadBuffers, FailTheWriterWithAReasonInsteadOfReachingTheEncoder) {
    media::ff::silenceLibraryLogs();
    struct Case {
        const char* name;
        media::MediaType type;
        std::function<std::vector<media::SampleBufferPtr>()> buffers;  // the last one is refused
        const char* reason;
    };
    const Case cases[] = {
        {"a smaller picture", media::MediaType::Video,
         [] {
             std::vector<media::SampleBufferPtr> b;
             b.push_back(picture(96, 64, AV_PIX_FMT_NV12, 0));
             return b;
         },
         "NV12 as the video settings say"},
        {"a planar picture", media::MediaType::Video,
         [] {
             std::vector<media::SampleBufferPtr> b;
             b.push_back(picture(128, 96, AV_PIX_FMT_YUV420P, 0));
             return b;
         },
         "NV12 as the video settings say"},
        {"a picture repeating a time", media::MediaType::Video,
         [] {
             std::vector<media::SampleBufferPtr> b;
             b.push_back(picture(128, 96, AV_PIX_FMT_NV12, 0));
             b.push_back(picture(128, 96, AV_PIX_FMT_NV12, 4000));
             b.push_back(picture(128, 96, AV_PIX_FMT_NV12, 4000));
             return b;
         },
         "not in time order"},
        {"stereo sound", media::MediaType::Audio,
         [] {
             std::vector<media::SampleBufferPtr> b;
             b.push_back(stereoSound());
             return b;
         },
         "mono"},
    };
    TempDir dir;
    VideoParams video;
    video.width = 128;
    video.height = 96;
    for (const auto& c : cases) {
        auto writer = media::ff::makeWriter(dir.path() / "out.mp4", media::FileType::MPEG4).value();
        auto input = media::ff::makeWriterInput(
            c.type, c.type == media::MediaType::Video ? videoSettings(video) : aacSettings(48000));
        writer->addInput(input);
        ASSERT_TRUE(writer->startWriting()) << c.name;
        auto buffers = c.buffers();
        for (std::size_t i = 0; i + 1 < buffers.size(); ++i) {
            EXPECT_TRUE(input->appendSampleBuffer(*buffers[i])) << c.name;
        }
        EXPECT_FALSE(input->appendSampleBuffer(*buffers.back())) << c.name;
        EXPECT_EQ(writer->status(), AssetWriterStatus::Failed) << c.name;
        ASSERT_TRUE(writer->error().has_value()) << c.name;
        EXPECT_NE(writer->error()->localizedDescription.find(c.reason), std::string::npos)
            << c.name << ": " << writer->error()->localizedDescription;
        finishAndWait(*writer);
        EXPECT_EQ(writer->status(), AssetWriterStatus::Failed) << c.name;
    }
}

// ---- Finishing out of turn ---------------------------------------------------------------

TEST(WritingFinish, OutOfTurnStillCallsEachHandlerExactlyOnce) {
    media::ff::silenceLibraryLogs();
    TempDir dir;
    auto count = [](media::AssetWriter& writer) {
        auto calls = std::make_shared<std::atomic<int>>(0);
        media::Semaphore done(0);
        writer.finishWriting([calls, &done] {
            ++*calls;
            done.signal();
        });
        done.wait();
        // A marker behind it: no second call of the first handler comes later.
        finishAndWait(writer);
        return calls->load();
    };

    // Never started: failed, with a reason.
    auto idle = media::ff::makeWriter(dir.path() / "idle.mp4", media::FileType::MPEG4).value();
    EXPECT_EQ(count(*idle), 1);
    EXPECT_EQ(idle->status(), AssetWriterStatus::Failed);
    EXPECT_TRUE(idle->error().has_value());

    // Cancelled before finishing: stays cancelled.
    auto cancelled = media::ff::makeWriter(dir.path() / "cancelled.mp4", media::FileType::MPEG4).value();
    cancelled->addInput(media::ff::makeWriterInput(media::MediaType::Audio, aacSettings(48000)));
    ASSERT_TRUE(cancelled->startWriting());
    cancelled->cancelWriting();
    EXPECT_EQ(count(*cancelled), 1);
    EXPECT_EQ(cancelled->status(), AssetWriterStatus::Cancelled);

    // Finished twice: completed, each handler once.
    auto twice = media::ff::makeWriter(dir.path() / "twice.mp4", media::FileType::MPEG4).value();
    auto audioIn = media::ff::makeWriterInput(media::MediaType::Audio, aacSettings(48000));
    twice->addInput(audioIn);
    ASSERT_TRUE(twice->startWriting());
    ASSERT_TRUE(audioIn->appendSampleBuffer(*soundBlock(0, 4800)));
    EXPECT_EQ(count(*twice), 1);
    EXPECT_EQ(twice->status(), AssetWriterStatus::Completed);
    EXPECT_NEAR(std::atof(probeStream(dir.path() / "twice.mp4", "a:0", "duration_ts").at("duration_ts").c_str()),
                4800, 16);
}

TEST(WritingFinish, TheHandlerRunsOnlyOnceTheWriterHoldsNoReferenceToItself) {
    // The caller's last reference must be the one that tears the writer down, on the
    // caller's thread, with the queues of its inputs joined there; a writer released
    // later on its own queue leaves threads running behind a caller that has ended.
    media::ff::silenceLibraryLogs();
    TempDir dir;
    auto writer = media::ff::makeWriter(dir.path() / "released.mp4", media::FileType::MPEG4).value();
    auto audioIn = media::ff::makeWriterInput(media::MediaType::Audio, aacSettings(48000));
    writer->addInput(audioIn);
    auto pumps = std::make_shared<media::Group>();
    auto queue = startPump(audioIn, "audio", soundSource(4800), pumps, std::make_shared<PumpStats>());
    ASSERT_TRUE(writer->startWriting());
    pumps->wait();
    drain(*queue);  // the pump's last block has returned
    std::weak_ptr<media::SerialQueue> pumpQueue = queue;
    queue.reset();

    std::weak_ptr<media::AssetWriter> weak = writer;
    long referencesSeen = 0;
    media::Semaphore done(0);
    writer->finishWriting([weak, &referencesSeen, &done] {
        referencesSeen = weak.use_count();
        done.signal();
    });
    done.wait();
    EXPECT_EQ(referencesSeen, 1);  // the caller's own
    EXPECT_EQ(writer->status(), AssetWriterStatus::Completed);

    audioIn.reset();
    writer.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_TRUE(pumpQueue.expired());
}

}  // namespace
}  // namespace writing_test
