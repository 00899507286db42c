// The built program on what phones, cameras and screen recorders really produce, and on
// damaged files: one table of small sources made by the ffmpeg tool (some then damaged
// byte by byte), each with the ending it must reach. Every run ends with a status and
// the lines of the protocol, never a crash, a hang or a file left behind after a failure.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "e2e/ffmpeg_tool.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ChildRun;
using testing_support::splitLines;

// "key=value" lines of ffprobe for one stream of the file.
std::map<std::string, std::string> probeStream(const fs::path& file, const std::string& stream) {
    const ChildRun run = testing_support::runProgram(
        QVC_FFPROBE, {QVC_FFPROBE, "-v", "error", "-select_streams", stream, "-show_entries",
                      "stream=codec_name,profile,width,height,pix_fmt,color_primaries,color_transfer,color_space,"
                      "channels,sample_rate,duration,bit_rate",
                      "-of", "default=noprint_wrappers=1", file.string()});
    std::map<std::string, std::string> values;
    for (const std::string& line : splitLines(run.out)) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

int soundStreamCount(const fs::path& file) {
    const ChildRun run = testing_support::runProgram(
        QVC_FFPROBE, {QVC_FFPROBE, "-v", "error", "-select_streams", "a", "-show_entries", "stream=index", "-of",
                      "csv=p=0", file.string()});
    return static_cast<int>(splitLines(run.out).size());
}

// Indexes of the output pictures that repeat the one before, judged on small grey copies
// decoded by the ffmpeg tool.
std::vector<int> repeatedPictures(const fs::path& file) {
    constexpr int kWidth = 80, kHeight = 60, kSize = kWidth * kHeight;
    const ChildRun run = testing_support::runProgram(
        QVC_FFMPEG, {QVC_FFMPEG, "-nostdin", "-v", "error", "-i", file.string(), "-vf",
                     "scale=" + std::to_string(kWidth) + ":" + std::to_string(kHeight), "-f", "rawvideo", "-pix_fmt",
                     "gray", "-"});
    std::vector<int> repeats;
    const std::string& pixels = run.out;
    for (std::size_t at = kSize; at + kSize <= pixels.size(); at += kSize) {
        double difference = 0;
        for (std::size_t i = 0; i < static_cast<std::size_t>(kSize); ++i) {
            difference += std::abs(static_cast<unsigned char>(pixels[at + i]) -
                                   static_cast<unsigned char>(pixels[at - kSize + i]));
        }
        if (difference / kSize < 1.0) repeats.push_back(static_cast<int>(at / kSize));
    }
    return repeats;
}

// Sets to zero the contents of the first MP4 box of the given type.
void zeroBox(const fs::path& file, const std::string& type) {
    std::string bytes = testing_support::readFile(file);
    const auto at = bytes.find(type);
    ASSERT_NE(at, std::string::npos) << type;
    ASSERT_GE(at, 4u);
    std::uint32_t size = 0;
    for (std::size_t i = at - 4; i < at; ++i) size = size << 8 | static_cast<unsigned char>(bytes[i]);
    const std::size_t end = std::min(bytes.size(), at - 4 + size);
    for (std::size_t i = at + 4; i < end; ++i) bytes[i] = '\0';
    testing_support::writeFile(file, bytes);
}

// The video bit rate a source's video runs at, as the plan takes it: the rate its
// container states, or else what its packets hold over the seconds given.
double sourceVideoKbps(const fs::path& file, double seconds) {
    const std::string stated = probeStream(file, "v:0")["bit_rate"];
    if (std::atof(stated.c_str()) > 0) return std::atof(stated.c_str()) / 1000;
    const ChildRun run = testing_support::runProgram(
        QVC_FFPROBE, {QVC_FFPROBE, "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=size", "-of",
                      "csv=p=0", file.string()});
    double bytes = 0;
    for (const std::string& line : splitLines(run.out)) bytes += std::atof(line.c_str());
    return bytes * 8 / seconds / 1000;
}

// The figures of the profiles these rows use: video rate ceiling and frame rate ceiling.
struct ProfileFigures {
    double kbps;
    double fps;
};
const std::map<std::string, ProfileFigures> kProfiles = {
    {"camera-optimized", {400, 8}}, {"camera", {1000, 15}}, {"camera-high", {2400, 30}}};
// Every source here runs at 30 frames per second.
constexpr double kSourceFps = 30;

struct Outcome {
    // Success: the planned picture, a mono 48 kHz AAC track when the source has sound,
    // the length of the source, and optionally every source picture shown exactly once.
    int width = 0;
    int height = 0;
    bool sound = false;
    double seconds = 0;
    bool everyPictureOnce = false;
    // The least share of the planned video rate (the source's own or the profile's,
    // whichever is lower) that the output must reach: libx264 meets the plan within a
    // quarter on the moving test picture, less where the picture is too small or too
    // still to use it.
    double minShare = 0.6;
    // Failure: the start of the one line on standard error.
    const char* line = nullptr;
};

Outcome success(int width, int height, bool sound, double seconds, bool everyPictureOnce = false,
                double minShare = 0.6) {
    return Outcome{width, height, sound, seconds, everyPictureOnce, minShare, nullptr};
}
Outcome failure(const char* line) { return Outcome{0, 0, false, 0, false, 0, line}; }

struct Case {
    const char* name;
    const char* file;
    std::vector<std::string> fixture;  // ffmpeg arguments before the file name
    const char* profile;
    Outcome outcome;
    double keep = 1;             // the fraction of the file's bytes kept
    const char* zeroed = "";     // an MP4 box whose contents are zeroed
};

const std::vector<std::string> kPicture = {"-f", "lavfi", "-i", "testsrc2=s=320x240:r=30:d=2"};
const std::vector<std::string> kTone = {"-f", "lavfi", "-i", "sine=f=440:r=44100:d=2"};
const std::vector<std::string> kH264 = {"-c:v", "libx264", "-preset", "ultrafast"};
// A sound track the container lists but no packet carries.
const std::vector<std::string> kNoSound = {"-f", "lavfi", "-i", "anullsrc=r=48000:cl=stereo,atrim=end_sample=0"};

std::vector<std::string> join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

class Robustness : public ::testing::Test {
protected:
    testing_support::TempDir dir;
};

TEST_F(Robustness, EveryKindOfSourceEndsAsItShould) {
    const std::vector<std::string> aac = {"-c:a", "aac"};
    const Case cases[] = {
        // Matroska keeps times in milliseconds: a picture stamped 67 ms is the one for
        // 66.67 ms, not a frame late.
        {"30 fps Matroska into 30 fps", "ms.mkv", join({kPicture, kH264}), "camera-high",
         success(320, 240, false, 2, true)},
        // Pictures after an empty edit: the container's length counts the 10 s before them.
        {"MP4 starting at 10 s", "late.mp4", join({kPicture, kTone, kH264, aac, {"-output_ts_offset", "10"}}),
         "camera-high", success(320, 240, true, 2)},
        {"Matroska starting at 10 s", "late.mkv", join({kPicture, kTone, kH264, aac, {"-output_ts_offset", "10"}}),
         "camera-high", success(320, 240, true, 2)},
        // The 33-bit clock of a transport stream wraps round 0.8 s into this recording.
        {"transport stream whose clock wraps", "wrap.ts",
         join({kPicture, kTone, kH264, aac, {"-output_ts_offset", "95441.5"}}), "camera-high",
         success(320, 240, true, 2)},
        // FLV indexes only the key frames met while probing: not a measure of the data
        // (this source runs at some 800 kb/s).
        {"FLV without a stated video rate", "rate.flv", join({kPicture, kTone, kH264, aac}), "camera-high",
         success(320, 240, true, 2)},
        // Picture formats and shapes that take their own way through decoding and drawing.
        {"10-bit HEVC tagged BT.2020 PQ", "hdr.mp4",
         join({kPicture, kTone, aac,
               {"-c:v", "libx265", "-preset", "ultrafast", "-x265-params", "log-level=none", "-pix_fmt",
                "yuv420p10le", "-color_primaries", "bt2020", "-color_trc", "smpte2084", "-colorspace", "bt2020nc"}}),
         "camera-high", success(320, 240, true, 2)},
        // Pictures of a few hundred pixels: libx264 spends a third of the lossless rate
        // on a 16x8 one, and on a 960x2 strip not a tenth of the profile's, whose ceiling
        // alone holds there.
        {"odd 17x9 with 4:2:0 chroma", "odd.mkv",
         join({{"-f", "lavfi", "-i", "testsrc2=s=17x9:r=30:d=2"}, kTone,
               {"-c:v", "ffv1", "-pix_fmt", "yuv420p", "-c:a", "flac"}}),
         "camera-high", success(16, 8, true, 2, false, 0.2)},
        {"4097x16 strip", "strip.mkv",
         {"-f", "lavfi", "-i", "testsrc2=s=4097x16:r=30:d=2", "-c:v", "ffv1", "-pix_fmt", "yuv420p"},
         "camera-optimized", success(960, 2, false, 2, false, 0)},
        {"720x480 with 32:27 pixels", "wide-pixels.mp4", join({{"-f", "lavfi", "-i", "testsrc2=s=720x480:r=30:d=2"},
                                                                kTone, kH264, aac, {"-vf", "setsar=32/27"}}),
         "camera-high", success(852, 480, true, 2)},
        // Sound tracks without a single sample are left out, as if the source had none:
        // a fragmented MP4 whose fragments carry pictures only, a Matroska file without
        // sound blocks. The library gives both tracks the file's length.
        {"fragmented MP4 whose sound track has no samples", "no-sound.mp4",
         join({kPicture, kNoSound, kH264, aac, {"-movflags", "frag_keyframe+empty_moov"}}), "camera-high",
         success(320, 240, false, 2)},
        {"Matroska sound track without packets", "no-sound.mkv", join({kPicture, kNoSound, kH264, aac}),
         "camera-high", success(320, 240, false, 2)},
        // Files that are not films.
        {"a still picture", "still.png", {"-f", "lavfi", "-i", "testsrc2=s=320x240", "-frames:v", "1"}, "camera",
         failure("the video has no usable size or length")},
        {"sound with cover art", "song.m4a",
         join({kTone, {"-f", "lavfi", "-i", "color=red:s=64x64:d=1", "-map", "0", "-map", "1", "-frames:v", "1",
                       "-c:a", "aac", "-c:v", "mjpeg", "-disposition:v", "attached_pic"}}),
         "camera", failure("no video track")},
        // Damage: with the index intact but the data cut short, the last picture that
        // decodes and silence run to the length the index gives (a still second, planned
        // at the rate the index states); an index that says every sample is empty fails
        // while pumping, after the output was begun.
        {"MP4 with its index first, cut at half", "cut.mp4",
         join({kPicture, kTone, kH264, aac, {"-movflags", "+faststart"}}), "camera-high",
         success(320, 240, true, 2, false, 0.25), 0.5},
        {"MP4 with every sample size zeroed", "sizes.mp4", join({kPicture, kTone, kH264, aac}), "camera-high",
         failure("decode failed: "), 1, "stsz"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path source = dir / c.file;
        e2e::ffmpeg(c.fixture, source);
        const fs::path made = dir / (std::string("made-") + c.file);
        fs::copy_file(source, made, fs::copy_options::overwrite_existing);
        if (c.keep < 1) {
            const std::string bytes = testing_support::readFile(source);
            testing_support::writeFile(source, bytes.substr(0, static_cast<std::size_t>(bytes.size() * c.keep)));
        }
        if (*c.zeroed != '\0') zeroBox(source, c.zeroed);

        const fs::path output = dir / "out.mp4";
        const ChildRun run = testing_support::runProgram(
            QVC_PROGRAM, {QVC_PROGRAM, source.string(), output.string(), "--profile", c.profile});
        ASSERT_TRUE(run.exited()) << "signal " << run.termSignal();
        const std::vector<std::string> errors = splitLines(run.err);

        if (c.outcome.line != nullptr) {
            EXPECT_EQ(run.exitCode(), 1);
            ASSERT_EQ(errors.size(), 1u) << run.err;
            EXPECT_EQ(errors[0].rfind(c.outcome.line, 0), 0u) << errors[0];
            EXPECT_EQ(run.out.find("ENCODER"), std::string::npos);
            EXPECT_FALSE(fs::exists(output));
            continue;
        }
        ASSERT_EQ(run.exitCode(), 0) << run.err;
        EXPECT_EQ(run.err, "");
        const std::vector<std::string> lines = splitLines(run.out);
        ASSERT_GE(lines.size(), 3u);
        EXPECT_EQ(lines.front(), "PROGRESS 0");
        EXPECT_EQ(lines[lines.size() - 2], "ENCODER auto");
        EXPECT_EQ(lines.back(), "PROGRESS 100");

        auto video = probeStream(output, "v:0");
        EXPECT_EQ(video["codec_name"], "h264");
        EXPECT_EQ(video["profile"], "High");
        EXPECT_EQ(video["pix_fmt"], "yuv420p");
        EXPECT_EQ(video["width"], std::to_string(c.outcome.width));
        EXPECT_EQ(video["height"], std::to_string(c.outcome.height));
        EXPECT_EQ(video["color_primaries"], "bt709");
        EXPECT_EQ(video["color_transfer"], "bt709");
        EXPECT_EQ(video["color_space"], "bt709");
        const double videoSeconds = std::atof(video["duration"].c_str());
        // Within one output frame: the last picture may start just before the end.
        const ProfileFigures& profile = kProfiles.at(c.profile);
        const double outFps = std::min(kSourceFps, profile.fps);
        EXPECT_NEAR(videoSeconds, c.outcome.seconds, 1 / outFps + 1e-3);

        if (c.outcome.sound) {
            ASSERT_EQ(soundStreamCount(output), 1);
            auto sound = probeStream(output, "a:0");
            EXPECT_EQ(sound["codec_name"], "aac");
            EXPECT_EQ(sound["channels"], "1");
            EXPECT_EQ(sound["sample_rate"], "48000");
            EXPECT_NEAR(std::atof(sound["duration"].c_str()), videoSeconds, 0.1);
        } else {
            EXPECT_EQ(soundStreamCount(output), 0);
        }
        // The rate planned from the source as it was made (before any damage), and what
        // the encoder made of it: never above it by more than its rate control allows.
        const double plannedKbps = std::min(profile.kbps, sourceVideoKbps(made, c.outcome.seconds));
        const double kbps = std::atof(video["bit_rate"].c_str()) / 1000;
        EXPECT_LE(kbps, 1.15 * plannedKbps) << "planned " << plannedKbps << " kb/s";
        EXPECT_GE(kbps, c.outcome.minShare * plannedKbps) << "planned " << plannedKbps << " kb/s";
        std::printf("%s: %.0f kb/s for %.0f planned, %.4f s\n", c.name, kbps, plannedKbps, videoSeconds);

        if (c.outcome.everyPictureOnce) {
            EXPECT_EQ(repeatedPictures(output), std::vector<int>{});
        }
    }
}

// A named pipe can be read only once, and opening one with no writer waits for ever;
// the job refuses it at once.
TEST_F(Robustness, NamedPipeIsRefusedWithoutWaiting) {
    const fs::path pipe = dir / "pipe.mp4";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const fs::path output = dir / "out.mp4";
    const ChildRun run = testing_support::runProgram(
        QVC_PROGRAM, {QVC_PROGRAM, pipe.string(), output.string(), "--profile", "camera"});
    EXPECT_EQ(run.exitCode(), 1);
    const std::vector<std::string> errors = splitLines(run.err);
    ASSERT_EQ(errors.size(), 1u) << run.err;
    EXPECT_EQ(errors[0].rfind("cannot open the media: ", 0), 0u) << errors[0];
    EXPECT_FALSE(fs::exists(output));
}

}  // namespace
