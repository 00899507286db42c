// The built program on sources whose headers claim far more than their data holds, and
// on the legitimate shapes that a bound on the length must leave whole. A claim that
// buys work never ends in time: the test's time-out catches it. Every output is judged
// by ffprobe: it lasts what the source's data lasts, to within one output frame, and
// weighs no more than its rates over that length allow.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "e2e/ffmpeg_tool.h"
#include "support/child_process.h"
#include "support/claimed_lengths.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ChildRun;
using testing_support::splitLines;

double probeSeconds(const fs::path& file, const std::string& entry, const std::string& stream = "") {
    std::vector<std::string> argv = {QVC_FFPROBE, "-v", "error"};
    if (!stream.empty()) argv.insert(argv.end(), {"-select_streams", stream});
    argv.insert(argv.end(), {"-show_entries", entry, "-of", "csv=p=0", file.string()});
    const ChildRun run = testing_support::runProgram(QVC_FFPROBE, argv);
    const std::vector<std::string> lines = splitLines(run.out);
    return lines.empty() ? -1 : std::atof(lines.front().c_str());
}

const std::vector<std::string> kPicture = {"-f", "lavfi", "-i", "testsrc2=s=320x240:r=30:d=1"};
const std::vector<std::string> kTone = {"-f", "lavfi", "-i", "sine=f=440:r=48000:d=1"};
const std::vector<std::string> kCodecs = {"-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"};
const std::vector<std::string> kFragmented = {"-movflags", "frag_keyframe+empty_moov+default_base_moof"};

std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// Far past anything real: 49 days in milliseconds, 4.7 billion seconds.
constexpr std::uint64_t kHuge32 = 0xffffffffu;
constexpr std::uint64_t kHuge64 = 4'700'000'000'000'000ull;

struct Claim {
    const char* name;
    const char* file;
    std::vector<std::string> fixture;           // ffmpeg arguments of the honest source
    std::function<void(std::string&)> rewrite;  // what the header is made to claim
};

void PrintTo(const Claim& claim, std::ostream* os) { *os << claim.name; }

class ClaimedDuration : public ::testing::TestWithParam<Claim> {
protected:
    testing_support::TempDir dir;
};

// The camera profile: at most 15 frames per second, 1000 kb/s of video, 48 kb/s of sound.
constexpr double kOutputFrame = 1.0 / 15;
constexpr double kPlannedBitsPerSecond = 1000e3 + 48e3;

TEST_P(ClaimedDuration, JobLastsWhatTheDataHolds) {
    const Claim& c = GetParam();
    const fs::path honest = dir / (std::string("honest-") + c.file);
    e2e::ffmpeg(c.fixture, honest);
    ASSERT_FALSE(HasFatalFailure());
    const double real = probeSeconds(honest, "format=duration");
    ASSERT_GT(real, 0.9);

    const fs::path source = dir / c.file;
    std::string bytes = testing_support::readFile(honest);
    c.rewrite(bytes);
    testing_support::writeFile(source, bytes);
    ASSERT_GT(probeSeconds(source, "format=duration"), 1000 * real) << "the header does not claim more";

    const fs::path output = dir / "out.mp4";
    const ChildRun run = testing_support::runProgram(
        QVC_PROGRAM, {QVC_PROGRAM, source.string(), output.string(), "--profile", "camera"});
    ASSERT_EQ(run.exitCode(), 0) << run.err;
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(splitLines(run.out).back(), "PROGRESS 100");

    EXPECT_NEAR(probeSeconds(output, "format=duration"), real, kOutputFrame);
    EXPECT_NEAR(probeSeconds(output, "stream=duration", "v:0"), real, kOutputFrame);
    EXPECT_NEAR(probeSeconds(output, "stream=duration", "a:0"), real, kOutputFrame);
    // The planned rates over the real length, twice over for the encoder's latitude on
    // a second of pictures, and the file's own boxes.
    EXPECT_LT(fs::file_size(output), kPlannedBitsPerSecond / 8 * (real + kOutputFrame) * 2 + 64 * 1024);
}

INSTANTIATE_TEST_SUITE_P(
    Headers, ClaimedDuration,
    ::testing::Values(
        Claim{"FragmentedMp4HugeMehdAndMdhd", "fragmented.mp4", join({kPicture, kTone, kCodecs, kFragmented}),
              [](std::string& b) {
                  // This libavformat takes a fragmented file's length from its media
                  // headers; a movie-extends header claims it too.
                  testing_support::addMehd(b, kHuge64);
                  testing_support::setMp4Duration(b, "mdhd", kHuge32);
              }},
        Claim{"Mp4HugeMvhd", "movie-header.mp4", join({kPicture, kTone, kCodecs}),
              [](std::string& b) { testing_support::setMp4Duration(b, "mvhd", kHuge32); }},
        Claim{"Mp4HugeMvhdMdhdTkhd", "every-header.mp4", join({kPicture, kTone, kCodecs}),
              [](std::string& b) {
                  for (const char* box : {"mvhd", "mdhd", "tkhd"}) testing_support::setMp4Duration(b, box, kHuge32);
              }},
        Claim{"MatroskaHugeDuration", "segment.mkv", join({kPicture, kTone, kCodecs}),
              [](std::string& b) { testing_support::setMatroskaDuration(b, 1e11); }},
        Claim{"AviHugeFrameCounts", "frames.avi",
              join({kPicture, kTone, {"-c:v", "mpeg4", "-c:a", "libmp3lame"}}),
              [](std::string& b) { testing_support::setAviFrameCounts(b, 100'000'000); }}),
    [](const ::testing::TestParamInfo<Claim>& param) { return std::string(param.param.name); });

// ---- Timelines the data itself shapes ---------------------------------------------

class DataTimeline : public ::testing::Test {
protected:
    testing_support::TempDir dir;

    // Runs the job on the source; the output's length by ffprobe, whole file and streams.
    struct Lengths {
        double file = -1, video = -1, sound = -1;
    };
    Lengths compress(const fs::path& source) {
        const fs::path output = dir / "out.mp4";
        const ChildRun run = testing_support::runProgram(
            QVC_PROGRAM, {QVC_PROGRAM, source.string(), output.string(), "--profile", "camera"});
        EXPECT_EQ(run.exitCode(), 0) << run.err;
        Lengths lengths;
        if (run.exitCode() != 0) return lengths;
        lengths.file = probeSeconds(output, "format=duration");
        lengths.video = probeSeconds(output, "stream=duration", "v:0");
        lengths.sound = probeSeconds(output, "stream=duration", "a:0");
        return lengths;
    }
};

// A transport stream whose clock jumps 99 minutes forward half-way through 1.5 s of
// media: the jump is closed up, as FFmpeg's command line closes it.
TEST_F(DataTimeline, TransportStreamJumpIsClosedUp) {
    const fs::path first = dir / "first.ts", second = dir / "second.ts";
    const std::vector<std::string> half = {"-f",   "lavfi", "-i", "testsrc2=s=320x240:r=30:d=0.75", "-f", "lavfi",
                                           "-i",   "sine=f=440:r=48000:d=0.75", "-c:v", "libx264", "-preset",
                                           "ultrafast", "-c:a", "aac"};
    e2e::ffmpeg(half, first);
    e2e::ffmpeg(join({half, {"-output_ts_offset", "5940"}}), second);
    ASSERT_FALSE(HasFatalFailure());
    const fs::path source = dir / "jump.ts";
    testing_support::writeFile(source, testing_support::readFile(first) + testing_support::readFile(second));
    ASSERT_GT(probeSeconds(source, "format=duration"), 5000);
    // Each half as long as ffprobe finds it alone.
    const double real = probeSeconds(first, "format=duration") + probeSeconds(second, "format=duration");

    const Lengths out = compress(source);
    EXPECT_NEAR(out.file, real, kOutputFrame);
    EXPECT_NEAR(out.video, real, kOutputFrame);
    EXPECT_NEAR(out.sound, real, kOutputFrame);
}

// What is legitimate comes out whole: a picture held to the end of longer sound, sound
// that starts late by its edit list, a screen recording silent for a minute between two
// pictures.
TEST_F(DataTimeline, LegitimateShapesComeOutWhole) {
    struct Case {
        const char* name;
        const char* file;
        std::vector<std::string> fixture;
        double seconds;
    };
    const Case cases[] = {
        {"sound longer than the pictures", "long-sound.mp4",
         {"-f", "lavfi", "-i", "testsrc2=s=320x240:r=30:d=1", "-f", "lavfi", "-i", "sine=f=440:r=48000:d=3", "-c:v",
          "libx264", "-preset", "ultrafast", "-c:a", "aac"},
         3.0},
        {"sound whose edit list starts late", "late-sound.mp4",
         {"-f", "lavfi", "-i", "testsrc2=s=320x240:r=30:d=3", "-itsoffset", "1", "-f", "lavfi", "-i",
          "sine=f=440:r=48000:d=2", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac"},
         3.0},
        {"a minute between two pictures", "screen.mp4",
         {"-f", "lavfi", "-i", "testsrc2=s=320x240:r=30:d=61", "-vf", "select='eq(n\\,0)+eq(n\\,1800)'",
          "-fps_mode", "vfr", "-c:v", "libx264", "-preset", "ultrafast"},
         -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path source = dir / c.file;
        e2e::ffmpeg(c.fixture, source);
        ASSERT_FALSE(HasFatalFailure());
        const double real = c.seconds > 0 ? c.seconds : probeSeconds(source, "format=duration");
        const Lengths out = compress(source);
        EXPECT_NEAR(out.file, real, kOutputFrame);
        EXPECT_NEAR(out.video, real, kOutputFrame);
        if (out.sound >= 0) {
            EXPECT_NEAR(out.sound, real, kOutputFrame);
        }
    }
}

// A 12.5 s source at one picture a second, its last picture cut to half a second by the
// edit list: the output's last picture lasts to 12.5 s, not a whole output frame past it.
TEST_F(DataTimeline, LastPictureEndsWithTheSource) {
    const fs::path made = dir / "made.mp4";
    e2e::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:r=1:d=20", "-f", "lavfi", "-i", "sine=r=48000:d=20", "-c:v",
                 "libx264", "-preset", "ultrafast", "-c:a", "aac", "-t", "12.5"},
                made);
    ASSERT_FALSE(HasFatalFailure());
    std::string bytes = testing_support::readFile(made);
    testing_support::setFirstEditDuration(bytes, 12500);  // the video's, in the movie's milliseconds
    testing_support::setMp4Duration(bytes, "mvhd", 12500);
    const fs::path source = dir / "edited.mp4";
    testing_support::writeFile(source, bytes);
    ASSERT_DOUBLE_EQ(probeSeconds(source, "stream=duration", "v:0"), 12.5);

    const Lengths out = compress(source);
    EXPECT_NEAR(out.video, 12.5, 0.01);
    EXPECT_NEAR(out.sound, 12.5, 0.01);
    EXPECT_NEAR(out.file, 12.5, 0.01);
}

}  // namespace
