// The whole job on the scripted media layer, each run in a child process of its own
// since every ending ends the process: what the host reads (the lines, the status)
// and what is left at the output path.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "app/job.h"
#include "media/keys.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "fake_media.h"

namespace {

namespace fs = std::filesystem;
using media::Error;
using media::MediaType;
using testing_support::splitLines;

// Errors as the media layer reports them, with what describe() makes of them.
Error openError() {
    return Error{"The file is damaged", "media", -11829, {}}.withUnderlying(
        Error{"Invalid data found when processing input", "ffmpeg", -1094995529, {}});
}
const std::string openErrorText = "The file is damaged [media -11829 / ffmpeg -1094995529]";
Error trackError() { return Error{"Cannot read the track", "media", -11800, {}}; }
const std::string trackErrorText = "Cannot read the track [media -11800]";
Error creationError() { return Error{"Cannot create the writer", "posix", 13, {}}; }
Error decodeError() {
    return Error{"Decoding failed", "media", -11821, {}}.withUnderlying(Error{"Bad data", "ffmpeg", -1094995529, {}});
}
const std::string decodeErrorText = "Decoding failed [media -11821 / ffmpeg -1094995529]";
Error encodeError() { return Error{"Encoding failed", "ffmpeg", -22, {}}; }
const std::string encodeErrorText = "Encoding failed [ffmpeg -22]";

// A 3-second source with one picture track and one mono sound track.
fake::Script ordinarySource() {
    fake::Script script;
    script.audioTracks = {fake::soundTrack("a0", 1)};
    script.videoPts = fake::evenlySpaced(10, 0.3);
    return script;
}

struct JobRun {
    testing_support::ChildRun child;
    std::vector<std::string> calls;
    bool outputLeft = false;

    bool called(const std::string& call) const {
        return std::find(calls.begin(), calls.end(), call) != calls.end();
    }
};

class JobOnFake : public ::testing::Test {
protected:
    void SetUp() override {
        std::ofstream(input) << "any readable file";
        // A file from an earlier run is never what is left behind.
        std::ofstream(output) << "an earlier output";
    }

    JobRun run(const fake::Script& script, const std::vector<std::string>& options = {"--profile", "camera"}) {
        std::vector<std::string> argv = {"quorle-video-compress", input.string(), output.string()};
        argv.insert(argv.end(), options.begin(), options.end());
        JobRun result;
        result.child = testing_support::runInChild([&](int callFd) {
            fake::Framework framework(script);
            framework.mirrorCallsTo(callFd);
            app::runJob(argv, framework);
        });
        result.calls = splitLines(result.child.calls);
        result.outputLeft = fs::exists(fs::symlink_status(output));
        return result;
    }

    testing_support::TempDir dir;
    fs::path input = dir / "in.mov";
    fs::path output = dir / "out.mp4";
};

// The stdout of a run: "PROGRESS 0" first, then strictly rising percents up to 99.
void expectRisingProgress(const std::vector<std::string>& lines, const std::string& where) {
    long last = -1;
    for (const std::string& line : lines) {
        ASSERT_EQ(line.rfind("PROGRESS ", 0), 0u) << where << ": " << line;
        const long percent = std::stol(line.substr(9));
        EXPECT_EQ(std::to_string(percent), line.substr(9)) << where;
        if (last < 0) {
            EXPECT_EQ(percent, 0) << where;
        }
        EXPECT_GT(percent, last) << where;
        EXPECT_LE(percent, 99) << where;
        last = percent;
    }
}

// ---- Failures ------------------------------------------------------------------------------

struct FailureCase {
    const char* name;
    std::function<void(fake::Script&)> arrange;
    std::string line;
    bool afterProgressStarted;      // the failure comes once "PROGRESS 0" is out
    const char* neverCalled = nullptr;  // a call the failure must come before
};

TEST_F(JobOnFake, EveryFailureRemovesTheOutputAndPrintsOneLine) {
    const std::vector<FailureCase> cases = {
        {"duration load", [](fake::Script& s) { s.duration = openError(); },
         "cannot open the media: " + openErrorText, false, "loadTracks(video)"},
        {"video track list load", [](fake::Script& s) { s.videoListError = openError(); },
         "cannot open the media: " + openErrorText, false, "loadTracks(audio)"},
        {"audio track list load", [](fake::Script& s) { s.audioListError = openError(); },
         "cannot open the media: " + openErrorText, false, "v0.loadNaturalSize"},
        {"no video track", [](fake::Script& s) { s.videoTracks.clear(); }, "no video track", false},
        {"natural size load", [](fake::Script& s) { s.videoTracks[0].naturalSize = trackError(); },
         "cannot read the video track: " + trackErrorText, false, "v0.loadPreferredTransform"},
        {"transform load", [](fake::Script& s) { s.videoTracks[0].preferredTransform = trackError(); },
         "cannot read the video track: " + trackErrorText, false, "v0.loadNominalFrameRate"},
        // The size test comes after the three track loads.
        {"frame rate load before the size test",
         [](fake::Script& s) {
             s.videoTracks[0].nominalFrameRate = trackError();
             s.videoTracks[0].naturalSize = media::Size{1, 1};
         },
         "cannot read the video track: " + trackErrorText, false},
        {"picture too small", [](fake::Script& s) { s.videoTracks[0].naturalSize = media::Size{1, 240}; },
         "the video has no usable size or length", false, "v0.loadEstimatedDataRate"},
        {"zero duration", [](fake::Script& s) { s.duration = media::Time::make(0, 600); },
         "the video has no usable size or length", false},
        {"indefinite duration", [](fake::Script& s) { s.duration = media::Time::indefinite(); },
         "the video has no usable size or length", false},
        {"reader creation", [](fake::Script& s) { s.readerCreationError = creationError(); },
         "cannot start the encoder: Cannot create the writer", false, "makeAssetWriter"},
        {"writer creation", [](fake::Script& s) { s.writerCreationError = creationError(); },
         "cannot start the encoder: Cannot create the writer", false},
        {"video output refused", [](fake::Script& s) { s.acceptVideoOutput = false; },
         "the video track cannot be decoded", false, "reader.addOutput(video)"},
        {"video input refused", [](fake::Script& s) { s.acceptVideoInput = false; },
         "the encoder refused the video settings", false, "writer.addInput(video)"},
        {"sound output refused", [](fake::Script& s) { s.acceptAudioOutput = false; },
         "AUDIO_LOST: the sound track cannot be re-encoded", false, "writer.canAddInput(audio)"},
        {"sound input refused", [](fake::Script& s) { s.acceptAudioInput = false; },
         "AUDIO_LOST: the sound track cannot be re-encoded", false, "reader.addOutput(audio)"},
        {"reading does not start",
         [](fake::Script& s) {
             s.startReading = false;
             s.readerError = decodeError();
         },
         "cannot read the media: " + decodeErrorText, false, "writer.startWriting"},
        {"reading does not start, no error", [](fake::Script& s) { s.startReading = false; },
         "cannot read the media: unknown", false, "writer.startWriting"},
        {"writing does not start",
         [](fake::Script& s) {
             s.startWriting = false;
             s.writerError = encodeError();
         },
         "cannot write the output: Encoding failed", false, "writer.startSessionAtSourceTime(zero)"},
        {"writing does not start, no error", [](fake::Script& s) { s.startWriting = false; },
         "cannot write the output: unknown", false},
        // The reader is asked first, and a failed reader leaves the writer unfinished.
        {"reader failed while the writer failed too",
         [](fake::Script& s) {
             s.outputCreated = fake::OutputCreated::AtStartWriting;
             s.readerFails = true;
             s.readerError = decodeError();
             s.refuseVideoAppendAt = 4;
             s.writerError = encodeError();
         },
         "decode failed: " + decodeErrorText, true, "writer.finishWriting"},
        {"reader failed, no error", [](fake::Script& s) { s.readerFails = true; }, "decode failed: unknown", true,
         "writer.finishWriting"},
        {"writer not completed",
         [](fake::Script& s) {
             s.outputCreated = fake::OutputCreated::AtStartWriting;
             s.statusAfterFinishing = media::AssetWriterStatus::Failed;
             s.writerError = encodeError();
         },
         "encode failed: " + encodeErrorText, true, "output.loadTracks(audio)"},
        {"writer not completed, no error",
         [](fake::Script& s) { s.statusAfterFinishing = media::AssetWriterStatus::Cancelled; },
         "encode failed: unknown", true},
        {"append refused",
         [](fake::Script& s) {
             s.refuseVideoAppendAt = 3;
             s.writerError = encodeError();
         },
         "encode failed: " + encodeErrorText, true},
        {"output without a sound track", [](fake::Script& s) { s.outputAudioTracks = 0; },
         "AUDIO_LOST: the output has no sound track", true},
        {"output tracks cannot be listed", [](fake::Script& s) { s.outputAudioListError = openError(); },
         "AUDIO_LOST: the output has no sound track", true},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Script script = ordinarySource();
        c.arrange(script);
        std::ofstream(output) << "an earlier output";
        const JobRun run = this->run(script);

        EXPECT_EQ(run.child.exitCode(), 1);
        EXPECT_EQ(run.child.err, c.line + "\n");
        EXPECT_FALSE(run.outputLeft);
        const std::vector<std::string> out = splitLines(run.child.out);
        if (c.afterProgressStarted) {
            ASSERT_FALSE(out.empty());
            expectRisingProgress(out, c.name);  // no "ENCODER" line, nothing at 100
        } else {
            EXPECT_EQ(run.child.out, "");
        }
        if (c.neverCalled != nullptr) {
            EXPECT_FALSE(run.called(c.neverCalled)) << c.neverCalled;
        }
    }
}

TEST_F(JobOnFake, NoVideoTrackIsToldOnlyAfterTheSoundTracksAreSorted) {
    fake::Script script;
    script.videoTracks.clear();
    script.audioTracks = {fake::soundTrack("a0", 2), fake::soundTrack("a1", 1)};
    const JobRun run = this->run(script);

    EXPECT_EQ(run.child.err, "no video track\n");
    EXPECT_EQ(run.child.exitCode(), 1);
    const std::vector<std::string> expected = {
        "makeURLAsset(source, 1 options)", "loadDuration", "loadTracks(video)", "loadTracks(audio)",
        "a0.loadTimeRange", "a1.loadTimeRange",
    };
    EXPECT_EQ(run.calls, expected);
}

// ---- Success ---------------------------------------------------------------------------------

TEST_F(JobOnFake, SuccessPrintsTheProtocolAndKeepsTheFile) {
    const JobRun run = this->run(ordinarySource());

    EXPECT_EQ(run.child.exitCode(), 0);
    EXPECT_EQ(run.child.err, "");
    EXPECT_TRUE(run.outputLeft);
    std::vector<std::string> out = splitLines(run.child.out);
    ASSERT_GE(out.size(), 4u);
    EXPECT_EQ(out[out.size() - 2], "ENCODER auto");
    EXPECT_EQ(out.back(), "PROGRESS 100");
    out.resize(out.size() - 2);
    expectRisingProgress(out, "success");
    EXPECT_GE(out.size(), 5u) << "the video pump reports as it goes";
    EXPECT_EQ(run.child.out.back(), '\n');
}

TEST_F(JobOnFake, StepsRunInOrder) {
    fake::Script script = ordinarySource();
    script.audioTracks.push_back(fake::soundTrack("a1", 2));
    const JobRun run = this->run(script, {"--encoder", "software", "--profile", "screen-high"});
    ASSERT_EQ(run.child.exitCode(), 0) << run.child.err;
    EXPECT_EQ(splitLines(run.child.out).rbegin()[1], "ENCODER software");

    // Up to the start of the pumps, everything happens on the main flow in one order.
    const std::vector<std::string> setUp = {
        "makeURLAsset(source, 1 options)",
        "loadDuration", "loadTracks(video)", "loadTracks(audio)", "a0.loadTimeRange", "a1.loadTimeRange",
        "v0.loadNaturalSize", "v0.loadPreferredTransform", "v0.loadNominalFrameRate", "v0.loadEstimatedDataRate",
        "a0.loadEstimatedDataRate", "a1.loadEstimatedDataRate",
        "makeAssetReader", "makeAssetWriter",
        "makeVideoCompositionOutput(v0)", "reader.canAddOutput(video)", "reader.addOutput(video)",
        "makeAssetWriterInput(video)", "writer.canAddInput(video)", "writer.addInput(video)",
        "makeAudioMixOutput(a0,a1)", "a0.loadFormatDescriptions", "a1.loadFormatDescriptions", "audio.setAudioMix",
        "writer.canApplyOutputSettings(audio)", "makeAssetWriterInput(audio)",
        "reader.canAddOutput(audio)", "writer.canAddInput(audio)", "reader.addOutput(audio)", "writer.addInput(audio)",
        "reader.startReading", "writer.startWriting", "writer.startSessionAtSourceTime(zero)",
    };
    ASSERT_GE(run.calls.size(), setUp.size());
    EXPECT_EQ(std::vector<std::string>(run.calls.begin(), run.calls.begin() + setUp.size()), setUp);

    // Then one pump per medium on its own queue, each finished once, and the writer
    // finished after both; last, the finished file is opened anew for its sound.
    const std::vector<std::string> pumping(run.calls.begin() + setUp.size(), run.calls.end());
    for (const char* call : {"video.requestMediaDataWhenReadyOnQueue(video)",
                             "audio.requestMediaDataWhenReadyOnQueue(audio)", "video.markAsFinished",
                             "audio.markAsFinished", "writer.finishWriting"}) {
        EXPECT_EQ(std::count(pumping.begin(), pumping.end(), call), 1) << call;
    }
    const std::vector<std::string> tail = {"writer.finishWriting", "makeURLAsset(output, 0 options)",
                                           "output.loadTracks(audio)"};
    ASSERT_GE(pumping.size(), tail.size());
    EXPECT_EQ(std::vector<std::string>(pumping.end() - tail.size(), pumping.end()), tail);
}

// The fake, also telling the parent which hardware use the video input was asked for.
class EncoderWitness : public fake::Framework {
public:
    EncoderWitness(fake::Script script, int fd) : fake::Framework(std::move(script)), fd_(fd) {}

    media::AssetWriterInputPtr makeAssetWriterInput(media::MediaType type,
                                                    const media::Settings& outputSettings) override {
        if (type == MediaType::Video) {
            const media::Settings* spec = outputSettings.nested(media::AVVideoEncoderSpecificationKey);
            auto flag = [spec](const char* key) {
                const auto value = spec != nullptr ? spec->get<bool>(key) : std::nullopt;
                return value ? (*value ? "yes" : "no") : "unset";
            };
            const std::string line =
                std::string("hardware allowed ") +
                flag(media::kVTVideoEncoderSpecification_EnableHardwareAcceleratedVideoEncoder) + ", required " +
                flag(media::kVTVideoEncoderSpecification_RequireHardwareAcceleratedVideoEncoder) + "\n";
            if (write(fd_, line.data(), line.size()) < 0) {
                // The parent has gone.
            }
        }
        return fake::Framework::makeAssetWriterInput(type, outputSettings);
    }

private:
    int fd_;
};

TEST_F(JobOnFake, TheEncoderModeOnTheCommandLineReachesTheWriter) {
    struct Case {
        std::vector<std::string> options;
        std::string mode;
        std::string asked;
    };
    const Case cases[] = {
        {{"--profile", "camera"}, "auto", "hardware allowed yes, required no"},
        {{"--encoder", "software", "--profile", "camera"}, "software", "hardware allowed no, required no"},
        {{"--encoder", "hardware", "--profile", "camera"}, "hardware", "hardware allowed yes, required yes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        std::vector<std::string> argv = {"quorle-video-compress", input.string(), output.string()};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        const testing_support::ChildRun child = testing_support::runInChild([&](int fd) {
            EncoderWitness framework(ordinarySource(), fd);
            app::runJob(argv, framework);
        });

        EXPECT_EQ(child.exitCode(), 0) << child.err;
        EXPECT_EQ(child.calls, c.asked + "\n");
        const std::vector<std::string> out = splitLines(child.out);
        ASSERT_GE(out.size(), 2u);
        EXPECT_EQ(out.rbegin()[1], "ENCODER " + c.mode);
    }
}

// The system call a thread of a child is blocked in, as its number and first
// argument; none once the thread has gone.
std::optional<std::pair<long, long>> blockedIn(pid_t pid, pid_t tid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    std::string first;
    if (!(in >> number >> first)) return std::nullopt;
    return std::make_pair(number, std::strtol(first.c_str(), nullptr, 16));
}

// The thread of a child that carries name, or 0.
pid_t threadNamed(pid_t pid, const std::string& name) {
    std::error_code error;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::string comm;
        std::getline(std::ifstream(task.path() / "comm"), comm);
        if (comm == name) return static_cast<pid_t>(std::stol(task.path().filename().string()));
    }
    return 0;
}

bool hasEnded(pid_t pid) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// Waits until the child has ended or reached: true for reached.
bool waitFor(pid_t pid, const std::function<bool()>& reached) {
    for (int i = 0; i < 60000; ++i) {
        if (hasEnded(pid)) return false;
        if (reached()) return true;
        usleep(1000);
    }
    ADD_FAILURE() << "the child neither ended nor got there within a minute";
    return false;
}

TEST_F(JobOnFake, ASignalOnceSuccessIsClaimedChangesNothing) {
    // Standard output is a pipe that nobody reads, filled but for room for "PROGRESS 0",
    // the one line a job without pictures prints before its success: the job then
    // stops in the write of its encoder line, after it has claimed the ending.
    fake::Script script = ordinarySource();
    script.videoPts.clear();
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    const int capacity = fcntl(out[1], F_SETPIPE_SZ, 4096);
    ASSERT_GT(capacity, 0);
    const std::string filler(static_cast<std::size_t>(capacity) - std::string("PROGRESS 0\n").size(), '.');
    ASSERT_EQ(write(out[1], filler.data(), filler.size()), static_cast<ssize_t>(filler.size()));
    const std::vector<std::string> argv = {"quorle-video-compress", input.string(), output.string(), "--profile",
                                           "camera"};
    std::fflush(nullptr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        if (null < 0 || dup2(null, STDIN_FILENO) < 0 || dup2(out[1], STDOUT_FILENO) < 0 ||
            dup2(null, STDERR_FILENO) < 0) {
            _exit(121);
        }
        fake::Framework framework(script);
        app::runJob(argv, framework);
        _exit(120);
    }
    close(out[1]);

    // The main flow waits on the full pipe, writing to standard output: the encoder line.
    const bool claimed = waitFor(pid, [pid] {
        const auto call = blockedIn(pid, pid);
        return call && call->first == SYS_write && call->second == STDOUT_FILENO;
    });
    kill(pid, SIGTERM);
    // The thread that takes the signal must find the ending claimed and wait for good,
    // instead of removing the output and ending the process with 143.
    const pid_t signals = threadNamed(pid, "signals");
    const bool parked = waitFor(pid, [pid, signals] {
        const auto call = blockedIn(pid, signals);
        return call && call->first == SYS_futex;
    });

    std::string printed;
    char chunk[4096];
    for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) > 0;) printed.append(chunk, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }

    EXPECT_TRUE(claimed);
    EXPECT_NE(signals, 0);
    EXPECT_TRUE(parked);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ASSERT_EQ(printed.compare(0, filler.size(), filler), 0);
    EXPECT_EQ(printed.substr(filler.size()), "PROGRESS 0\nENCODER auto\nPROGRESS 100\n");
    EXPECT_TRUE(fs::exists(output));
}

TEST_F(JobOnFake, SourceWithoutSoundRunsOneVideoPumpAndSkipsTheCheck) {
    struct Case {
        const char* name;
        std::vector<fake::TrackScript> audioTracks;
    };
    fake::TrackScript empty = fake::soundTrack("a0", 2);
    empty.timeRange = media::TimeRange{media::Time::zero(), media::Time::make(0, 1)};
    const Case cases[] = {{"no sound tracks", {}}, {"only an empty sound track", {empty}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Script script = ordinarySource();
        script.audioTracks = c.audioTracks;
        script.outputAudioTracks = 0;
        const JobRun run = this->run(script);

        EXPECT_EQ(run.child.exitCode(), 0) << run.child.err;
        EXPECT_TRUE(run.outputLeft);
        EXPECT_FALSE(run.called("makeAudioMixOutput(a0)"));
        EXPECT_FALSE(run.called("audio.requestMediaDataWhenReadyOnQueue(audio)"));
        EXPECT_FALSE(run.called("output.loadTracks(audio)"));
        const std::vector<std::string> out = splitLines(run.child.out);
        ASSERT_GE(out.size(), 2u);
        EXPECT_EQ(out.rbegin()[1], "ENCODER auto");
        EXPECT_EQ(out.back(), "PROGRESS 100");
    }
}

TEST_F(JobOnFake, VideoWithoutPicturesReportsOnlyStartAndEnd) {
    fake::Script script = ordinarySource();
    script.videoPts.clear();
    const JobRun run = this->run(script);

    EXPECT_EQ(run.child.exitCode(), 0);
    EXPECT_EQ(run.child.out, "PROGRESS 0\nENCODER auto\nPROGRESS 100\n");
}

}  // namespace
