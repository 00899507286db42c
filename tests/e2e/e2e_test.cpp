// The built program as the host runs it, on small files made by the ffmpeg tool;
// what it wrote is judged by ffprobe, never by our own reader.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "e2e/ffmpeg_tool.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/unprivileged.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ChildRun;
using testing_support::splitLines;

// "key=value" lines of ffprobe for the given selection.
std::map<std::string, std::string> probe(const fs::path& file, const std::vector<std::string>& selection) {
    std::vector<std::string> argv = {QVC_FFPROBE, "-v", "error"};
    argv.insert(argv.end(), selection.begin(), selection.end());
    argv.insert(argv.end(), {"-of", "default=noprint_wrappers=1", file.string()});
    const ChildRun run = testing_support::runProgram(QVC_FFPROBE, argv);
    std::map<std::string, std::string> values;
    for (const std::string& line : splitLines(run.out)) {
        const auto eq = line.find('=');
        if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return values;
}

std::map<std::string, std::string> probeVideo(const fs::path& file) {
    return probe(file, {"-select_streams", "v:0", "-show_entries",
                        "stream=codec_name,profile,width,height,avg_frame_rate,color_primaries,color_transfer,"
                        "color_space:stream_side_data=side_data_type"});
}

// One "codec,channels,sample rate" entry per sound stream.
std::vector<std::string> soundStreams(const fs::path& file) {
    const ChildRun run = testing_support::runProgram(
        QVC_FFPROBE, {QVC_FFPROBE, "-v", "error", "-select_streams", "a", "-show_entries",
                      "stream=codec_name,channels,sample_rate", "-of", "csv=p=0", file.string()});
    return splitLines(run.out);
}

// The mean level of the sound in dB, as the ffmpeg tool measures it.
double meanVolume(const fs::path& file) {
    const ChildRun run = testing_support::runProgram(
        QVC_FFMPEG, {QVC_FFMPEG, "-nostdin", "-nostats", "-v", "info", "-i", file.string(), "-map", "0:a:0", "-af",
                     "volumedetect", "-f", "null", "-"});
    const std::string key = "mean_volume: ";
    const auto at = run.err.find(key);
    EXPECT_NE(at, std::string::npos) << run.err;
    return at == std::string::npos ? NAN : std::atof(run.err.c_str() + at + key.size());
}

double rate(const std::string& fraction) {
    const auto slash = fraction.find('/');
    if (slash == std::string::npos) return std::stod(fraction);
    const double denominator = std::stod(fraction.substr(slash + 1));
    return denominator == 0 ? 0 : std::stod(fraction.substr(0, slash)) / denominator;
}

// Average brightness of the four quarters of the first picture: top left, top right,
// bottom left, bottom right. autorotate decides whether ffmpeg turns it upright first.
std::vector<double> quarters(const fs::path& file, int width, int height, bool autorotate) {
    std::vector<std::string> argv = {QVC_FFMPEG, "-nostdin", "-v", "error"};
    if (!autorotate) argv.push_back("-noautorotate");
    argv.insert(argv.end(), {"-i", file.string(), "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", "gray", "-"});
    const ChildRun run = testing_support::runProgram(QVC_FFMPEG, argv);
    EXPECT_EQ(run.out.size(), static_cast<std::size_t>(width * height)) << file;
    std::vector<double> sums(4, 0);
    if (run.out.size() != static_cast<std::size_t>(width * height)) return sums;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int quarter = (y < height / 2 ? 0 : 2) + (x < width / 2 ? 0 : 1);
            sums[quarter] += static_cast<unsigned char>(run.out[static_cast<std::size_t>(y * width + x)]);
        }
    }
    for (double& s : sums) s /= width * height / 4.0;
    return sums;
}

// The lines a successful run must print: 0 first, strictly rising, then the encoder
// line and 100 last.
void expectSuccessProtocol(const ChildRun& run, const std::string& encoder = "auto") {
    EXPECT_EQ(run.exitCode(), 0);
    EXPECT_EQ(run.err, "");
    const std::vector<std::string> lines = splitLines(run.out);
    ASSERT_GE(lines.size(), 3u) << run.out;
    EXPECT_EQ(lines.front(), "PROGRESS 0");
    EXPECT_EQ(lines[lines.size() - 2], "ENCODER " + encoder);
    EXPECT_EQ(lines.back(), "PROGRESS 100");
    long last = -1;
    for (std::size_t i = 0; i + 2 < lines.size(); ++i) {
        ASSERT_EQ(lines[i].rfind("PROGRESS ", 0), 0u) << lines[i];
        const long percent = std::stol(lines[i].substr(9));
        EXPECT_GT(percent, last) << run.out;
        EXPECT_LE(percent, 99);
        last = percent;
    }
}

class EndToEnd : public ::testing::Test {
protected:
    ChildRun compress(const fs::path& input, const fs::path& output, const std::string& profile,
                      const testing_support::OutputWatch& watch = {}) {
        return testing_support::runProgram(
            QVC_PROGRAM, {QVC_PROGRAM, input.string(), output.string(), "--profile", profile}, watch);
    }
    ChildRun compressWith(const std::string& encoder, const fs::path& input, const fs::path& output) {
        return testing_support::runProgram(QVC_PROGRAM, {QVC_PROGRAM, input.string(), output.string(), "--encoder",
                                                         encoder, "--profile", "camera"});
    }

    // A test picture with a 440 Hz tone (stereo unless told), made by the ffmpeg tool.
    fs::path clip(const std::string& name, const std::string& size, double seconds, bool sound = true,
                  int channels = 2) {
        const fs::path path = dir / name;
        std::vector<std::string> arguments = {"-f", "lavfi", "-i", "testsrc2=size=" + size + ":rate=30"};
        if (sound) arguments.insert(arguments.end(), {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100"});
        arguments.insert(arguments.end(), {"-t", std::to_string(seconds), "-c:v", "libx264", "-preset", "ultrafast",
                                           "-pix_fmt", "yuv420p"});
        if (sound) arguments.insert(arguments.end(), {"-c:a", "aac", "-ac", std::to_string(channels)});
        arguments.push_back(path.string());
        e2e::ffmpeg(arguments);
        return path;
    }

    testing_support::TempDir dir;
};

// The average bit rate of the first video stream as ffprobe works it out, and the
// longest stretch without a key frame, the end of the stream included.
struct VideoPace {
    double bitRate = 0;
    double longestWithoutKeyFrame = 0;
};

VideoPace videoPace(const fs::path& file) {
    VideoPace pace;
    pace.bitRate = std::atof(probe(file, {"-select_streams", "v:0", "-show_entries", "stream=bit_rate"})["bit_rate"].c_str());
    const ChildRun run = testing_support::runProgram(
        QVC_FFPROBE, {QVC_FFPROBE, "-v", "error", "-select_streams", "v:0", "-show_entries",
                      "packet=pts_time,duration_time,flags", "-of", "csv=p=0", file.string()});
    std::vector<double> keys;
    double end = 0;
    for (const std::string& line : splitLines(run.out)) {
        // pts_time,duration_time,flags
        const auto first = line.find(',');
        const auto second = line.find(',', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        const double pts = std::atof(line.substr(0, first).c_str());
        const double duration = std::atof(line.substr(first + 1, second - first - 1).c_str());
        if (line.find('K', second) != std::string::npos) keys.push_back(pts);
        end = std::max(end, pts + duration);
    }
    std::sort(keys.begin(), keys.end());
    if (keys.empty()) return {pace.bitRate, end};
    keys.push_back(end);
    for (std::size_t i = 1; i < keys.size(); ++i) {
        pace.longestWithoutKeyFrame = std::max(pace.longestWithoutKeyFrame, keys[i] - keys[i - 1]);
    }
    return pace;
}

TEST_F(EndToEnd, EveryProfileGivesItsSizeRateFormatsBitRateAndKeyFrames) {
    struct Case {
        const char* profile;
        int width;
        int height;
        double fps;
        double bitRate;           // the profile's ceiling, which this source exceeds
        double keyFrameSeconds;
    };
    // A 2000 x 1000 source is shrunk under every profile's long edge.
    const Case cases[] = {
        {"camera-optimized", 960, 480, 8, 400000, 4},  {"camera-balanced", 1280, 640, 15, 1000000, 4},
        {"camera-high", 1920, 960, 30, 2400000, 4},    {"screen-optimized", 960, 480, 5, 200000, 2},
        {"screen-balanced", 1280, 640, 8, 500000, 2},  {"screen-high", 1920, 960, 15, 1200000, 2},
    };
    // Moving noise over the test picture: rich enough that every profile's encoder
    // spends its whole bit rate, at 8 Mb/s above every ceiling; and longer than the
    // longest key-frame interval, so each output needs a second key frame in time.
    const fs::path source = dir / "wide.mp4";
    e2e::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=2000x1000:rate=30,noise=alls=10:allf=t", "-f", "lavfi", "-i",
                 "sine=frequency=440:sample_rate=44100", "-t", "4.5", "-c:v", "libx264", "-preset", "ultrafast",
                 "-b:v", "8M", "-pix_fmt", "yuv420p", "-c:a", "aac", "-ac", "2", source.string()});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.profile);
        const fs::path output = dir / (std::string(c.profile) + ".mp4");
        expectSuccessProtocol(compress(source, output, c.profile));

        const auto video = probeVideo(output);
        EXPECT_EQ(video.at("codec_name"), "h264");
        EXPECT_EQ(video.at("profile"), "High");
        EXPECT_EQ(video.at("width"), std::to_string(c.width));
        EXPECT_EQ(video.at("height"), std::to_string(c.height));
        EXPECT_NEAR(rate(video.at("avg_frame_rate")), c.fps, c.fps * 0.05);
        EXPECT_EQ(video.at("color_primaries"), "bt709");
        EXPECT_EQ(video.at("color_transfer"), "bt709");
        EXPECT_EQ(video.at("color_space"), "bt709");
        EXPECT_EQ(soundStreams(output), (std::vector<std::string>{"aac,48000,1"}));

        const VideoPace pace = videoPace(output);
        EXPECT_NEAR(pace.bitRate, c.bitRate, c.bitRate * 0.15);
        EXPECT_GT(pace.longestWithoutKeyFrame, 0);
        EXPECT_LE(pace.longestWithoutKeyFrame, c.keyFrameSeconds + 0.001);
    }
}

TEST_F(EndToEnd, TurnedPhoneClipComesOutUpright) {
    // One bright quarter shows where the picture's corner went.
    const fs::path stored = dir / "stored.mp4";
    e2e::ffmpeg({"-f", "lavfi", "-i", "color=black:s=320x240:r=30,drawbox=x=0:y=0:w=160:h=120:color=white:t=fill",
                 "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000", "-t", "1", "-c:v", "libx264",
                 "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac", stored.string()});
    for (const char* rotate : {"90", "270"}) {
        SCOPED_TRACE(std::string("rotate=") + rotate);
        const fs::path turned = dir / (std::string("turned") + rotate + ".mp4");
        e2e::ffmpeg({"-i", stored.string(), "-c", "copy", "-metadata:s:v:0", std::string("rotate=") + rotate,
                     turned.string()});
        ASSERT_EQ(probeVideo(turned)["side_data_type"], "Display Matrix");

        const fs::path output = dir / (std::string("upright") + rotate + ".mp4");
        expectSuccessProtocol(compress(turned, output, "camera-high"));
        const auto video = probeVideo(output);
        EXPECT_EQ(video.at("width"), "240");
        EXPECT_EQ(video.at("height"), "320");
        EXPECT_EQ(video.count("side_data_type"), 0u) << "the picture itself is turned";

        // Judged against how ffmpeg itself shows the turned source.
        const std::vector<double> expected = quarters(turned, 240, 320, true);
        const std::vector<double> actual = quarters(output, 240, 320, false);
        for (int q = 0; q < 4; ++q) EXPECT_NEAR(actual[q], expected[q], 40) << "quarter " << q;
    }
}

TEST_F(EndToEnd, SoundTracksBecomeOneMonoTrackOrNone) {
    const fs::path silent = clip("silent.mp4", "320x240", 1, false);
    const fs::path two = dir / "two-sounds.mkv";
    e2e::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=30", "-f", "lavfi", "-i",
                 "sine=frequency=440:sample_rate=44100", "-f", "lavfi", "-i", "sine=frequency=660:sample_rate=48000",
                 "-t", "1", "-map", "0:v", "-map", "1:a", "-map", "2:a", "-c:v", "libx264", "-preset", "ultrafast",
                 "-pix_fmt", "yuv420p", "-c:a", "aac", "-ac:a:0", "2", "-ac:a:1", "1", two.string()});
    struct Case {
        const char* name;
        fs::path source;
        std::vector<std::string> sound;
    };
    const Case cases[] = {
        {"no sound", silent, {}},
        {"two sound tracks", two, {"aac,48000,1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path output = dir / "out.m4v";
        expectSuccessProtocol(compress(c.source, output, "camera-balanced"));
        EXPECT_EQ(soundStreams(output), c.sound);
        EXPECT_EQ(probeVideo(output).at("codec_name"), "h264");
    }
}

TEST_F(EndToEnd, SoundTrackWithoutSamplesIsLeftOutOfTheMix) {
    // Fragmented MP4s with a tone, one with a sound track before it that no fragment
    // carries: mixed as one of two, the tone would come out 6 dB down.
    const std::string picture = "testsrc2=size=320x240:rate=30:duration=2";
    const std::string empty = "anullsrc=r=48000:cl=stereo,atrim=end_sample=0";
    const std::string tone = "sine=frequency=440:sample_rate=48000:duration=2";
    const fs::path alone = dir / "alone.mp4";
    const fs::path beside = dir / "beside.mp4";
    e2e::ffmpeg({"-f", "lavfi", "-i", picture, "-f", "lavfi", "-i", tone, "-c:v", "libx264", "-preset", "ultrafast",
                 "-c:a", "aac", "-movflags", "frag_keyframe+empty_moov", alone.string()});
    e2e::ffmpeg({"-f", "lavfi", "-i", picture, "-f", "lavfi", "-i", empty, "-f", "lavfi", "-i", tone, "-map", "0",
                 "-map", "1", "-map", "2", "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac", "-movflags",
                 "frag_keyframe+empty_moov", beside.string()});
    ASSERT_EQ(soundStreams(beside).size(), 2u);

    const fs::path fromAlone = dir / "from-alone.mp4";
    const fs::path fromBeside = dir / "from-beside.mp4";
    expectSuccessProtocol(compress(alone, fromAlone, "camera"));
    expectSuccessProtocol(compress(beside, fromBeside, "camera"));
    EXPECT_EQ(soundStreams(fromBeside), (std::vector<std::string>{"aac,48000,1"}));
    const double level = meanVolume(fromAlone);
    EXPECT_GT(level, -30) << "the tone is heard";
    EXPECT_NEAR(meanVolume(fromBeside), level, 0.5);
}

TEST_F(EndToEnd, MovOutputIsMpeg4AndReplacesWhatWasThere) {
    const fs::path source = clip("in.mp4", "320x240", 1);
    const fs::path output = dir / "out.MOV";
    std::ofstream(output) << "an earlier output";
    expectSuccessProtocol(compress(source, output, "screen"));

    const auto container = probe(output, {"-show_entries", "format=format_name:format_tags=major_brand"});
    EXPECT_EQ(container.count("format_name"), 1u);
    EXPECT_NE(container.at("TAG:major_brand"), "qt  ");
    EXPECT_EQ(container.at("TAG:major_brand").substr(0, 3), "iso");
    EXPECT_EQ(probeVideo(output).at("width"), "320");
}

// libx264 writes its name and settings into the stream it makes (a user-data SEI
// message that starts "x264 - core"); a hardware encoder writes no such mark.
bool madeByX264(const fs::path& file) {
    return testing_support::readFile(file).find("x264 - core") != std::string::npos;
}

// Whether this machine has a device node through which one of the hardware encoders
// could be reached (VA-API and Quick Sync, NVENC, V4L2); without one, none can work.
bool mayHaveHardwareEncoder() {
    std::error_code error;
    if (fs::exists("/dev/nvidiactl", error)) return true;
    for (const char* folder : {"/dev/dri", "/dev"}) {
        for (const auto& entry : fs::directory_iterator(folder, error)) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("renderD", 0) == 0 || name.rfind("video", 0) == 0) return true;
        }
    }
    return false;
}

TEST_F(EndToEnd, EncoderModeIsHonouredWithoutFallback) {
    const fs::path source = clip("in.mp4", "320x240", 1);
    const bool noHardware = !mayHaveHardwareEncoder();

    const fs::path software = dir / "software.mp4";
    expectSuccessProtocol(compressWith("software", source, software), "software");
    EXPECT_EQ(probeVideo(software).at("profile"), "High");
    EXPECT_TRUE(madeByX264(software));

    // Without hardware, auto is libx264 too.
    const fs::path automatic = dir / "auto.mp4";
    expectSuccessProtocol(compress(source, automatic, "camera"), "auto");
    if (noHardware) {
        EXPECT_TRUE(madeByX264(automatic));
    }

    // Hardware encoding or a clean failure, never a quiet software encoding under the
    // hardware name; a machine without an encoder device must take the failure.
    const fs::path hardware = dir / "hardware.mp4";
    const ChildRun run = compressWith("hardware", source, hardware);
    if (run.exitCode() == 0 && !noHardware) {
        expectSuccessProtocol(run, "hardware");
        EXPECT_EQ(probeVideo(hardware).at("codec_name"), "h264");
        EXPECT_FALSE(madeByX264(hardware));
    } else {
        EXPECT_EQ(run.exitCode(), 1);
        EXPECT_EQ(run.err, "the encoder refused the video settings\n");
        EXPECT_EQ(run.out, "");
        EXPECT_FALSE(fs::exists(hardware));
    }
}

TEST_F(EndToEnd, AFinishedFileWhoseSoundCannotBeSeenFailsTheJobAsSoundLost) {
    // The finished file is opened anew to see its sound track. A host whose umask
    // leaves the owner no right to read gets a file that an ordinary user's job can
    // write but not open again: what the check cannot see, it must not pass. (The
    // writer itself always gives a source with sound a sound track, silence where
    // the source's sound is damaged, so no source makes it leave one out.)
    const fs::path source = clip("in.mp4", "320x240", 1);
    testing_support::handToUnprivileged(dir.path());
    const fs::path output = dir / "out.mp4";
    // Opened here and run through its descriptor: the build may lie in a folder the
    // ordinary user cannot reach.
    const int program = open(QVC_PROGRAM, O_RDONLY | O_CLOEXEC);
    ASSERT_GE(program, 0);
    std::vector<std::string> arguments = {QVC_PROGRAM, source.string(), output.string(), "--profile", "camera"};
    const ChildRun run = testing_support::runInChild([&](int) {
        umask(0477);
        testing_support::dropPrivileges();
        std::vector<char*> argv;
        for (std::string& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        fexecve(program, argv.data(), environ);
        _exit(122);
    });
    close(program);
    if (run.exitCode() == testing_support::kCannotDropPrivileges) {
        GTEST_SKIP() << "the system refuses to let the test give up its privileges";
    }

    EXPECT_EQ(run.exitCode(), 1);
    EXPECT_EQ(run.err, "AUDIO_LOST: the output has no sound track\n");
    EXPECT_NE(run.out.find("PROGRESS 0\n"), std::string::npos) << "the file was written";
    EXPECT_EQ(run.out.find("ENCODER"), std::string::npos);
    EXPECT_FALSE(fs::exists(output));
}

TEST_F(EndToEnd, DamagedSourceFailsWithOneLineAndNoFile) {
    const fs::path good = clip("good.mp4", "320x240", 1);
    const std::string bytes = testing_support::readFile(good);
    struct Case {
        const char* name;
        std::string content;
    };
    const Case cases[] = {
        {"not a media file", std::string(4096, '\x5a')},
        {"cut short before its index", bytes.substr(0, bytes.size() / 2)},
        {"empty", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path source = dir / "damaged.mp4";
        std::ofstream(source, std::ios::binary) << c.content;
        const fs::path output = dir / "out.mp4";
        const ChildRun run = compress(source, output, "camera");

        EXPECT_EQ(run.exitCode(), 1);
        EXPECT_EQ(splitLines(run.err).size(), 1u) << run.err;
        EXPECT_EQ(run.err.back(), '\n');
        EXPECT_EQ(run.out.find("ENCODER"), std::string::npos);
        EXPECT_FALSE(fs::exists(output));
    }
}

TEST_F(EndToEnd, ClosedStandardStreamsNeverReachTheOutputFile) {
    const fs::path source = clip("in.mp4", "320x240", 1);
    // A host that started us with some of the standard descriptors closed: the job
    // still runs, and no file it opens may take one of their numbers and receive the
    // status lines, nor be read or closed as one of them.
    struct Case {
        const char* name;
        std::vector<int> closed;
    };
    const Case cases[] = {
        {"standard input", {STDIN_FILENO}},
        {"standard input and output", {STDIN_FILENO, STDOUT_FILENO}},
        {"standard output and error", {STDOUT_FILENO, STDERR_FILENO}},
        {"all three", {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path output = dir / "out.mp4";
        const ChildRun run = testing_support::runInChild([&](int) {
            for (int fd : c.closed) close(fd);
            testing_support::execute(QVC_PROGRAM,
                                     {QVC_PROGRAM, source.string(), output.string(), "--profile", "camera"});
        });

        EXPECT_EQ(run.exitCode(), 0) << run.err;
        const std::string bytes = testing_support::readFile(output);
        EXPECT_EQ(bytes.find("PROGRESS"), std::string::npos);
        EXPECT_EQ(bytes.find("ENCODER"), std::string::npos);
        EXPECT_EQ(probeVideo(output).at("codec_name"), "h264");
        EXPECT_EQ(soundStreams(output), (std::vector<std::string>{"aac,48000,1"}));
        if (std::find(c.closed.begin(), c.closed.end(), STDOUT_FILENO) == c.closed.end()) {
            EXPECT_NE(run.out.find("ENCODER auto\nPROGRESS 100\n"), std::string::npos) << run.out;
        }
    }
}

TEST_F(EndToEnd, TerminationWhilePumpingLeavesNothing) {
    const fs::path source = clip("long.mp4", "320x240", 20, true, 2);
    const fs::path output = dir / "out.mp4";
    std::atomic<bool> sent{false};
    const ChildRun run = compress(source, output, "camera-high", [&](pid_t pid, const std::string& out) {
        // Once the pumps have reported progress, the output is being written.
        if (!sent && out.find("PROGRESS 0\nPROGRESS ") != std::string::npos && out.back() == '\n') {
            sent = true;
            kill(pid, SIGTERM);
        }
    });

    ASSERT_TRUE(sent) << run.out;
    EXPECT_EQ(run.exitCode(), 143);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.find("ENCODER"), std::string::npos);
    EXPECT_FALSE(fs::exists(output));
}

}  // namespace
