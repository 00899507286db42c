// What the writer accepts: the key-frame arithmetic, the sound settings it can honour,
// video settings it must refuse rather than half-honour, and the three encoder
// specifications on a machine without video hardware.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>

#include "media/ffmpeg/libav.h"
#include "media/ffmpeg/writing/settings.h"
#include "media/ffmpeg/writing/writer.h"
#include "writing_support.h"

namespace writing_test {
namespace {

using media::Settings;

struct IntervalCase {
    const char* name;
    double seconds;
    double fps;
    int frames;
};

TEST(WritingKeyFrameInterval, IsTheLargestWholeNumberOfFramesWithinTheInterval) {
    const IntervalCase cases[] = {
        {"camera profile at 15 fps", 4, 15, 60},
        {"screen profile at 30 fps", 2, 30, 60},
        {"32-bit NTSC rate, 4 s", 4, 29.9699993133544921875, 119},
        {"32-bit NTSC rate, 2 s", 2, 29.9699993133544921875, 59},
        // 60000/11 rounds up to 5455 ticks: 44 frames would last 4.0003 s.
        {"frame duration rounded up", 4, 11, 43},
        {"interval shorter than a frame", 0.05, 15, 1},
        {"zero interval", 0, 30, 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(media::ff::keyFrameInterval(c.seconds, c.fps), c.frames) << c.name;
    }
}

class WritingSettings : public ::testing::Test {
protected:
    void SetUp() override {
        media::ff::silenceLibraryLogs();
        auto made = media::ff::makeWriter(dir_.path() / "out.mp4", media::FileType::MPEG4);
        ASSERT_TRUE(made);
        writer_ = made.value();
    }
    bool canAdd(media::MediaType type, const Settings& settings) {
        return writer_->canAddInput(media::ff::makeWriterInput(type, settings));
    }

    TempDir dir_;
    media::AssetWriterPtr writer_;
};

TEST_F(WritingSettings, SoundBitRatesAreAcceptedExactlyWithinTheEncodersRange) {
    const std::pair<std::int64_t, bool> cases[] = {
        // The profiles' rates and the planning's floor.
        {32000, true}, {40000, true}, {48000, true}, {64000, true},
        // The range's edges.
        {16000, true}, {192000, true}, {15999, false}, {192001, false},
        // Absurd ones.
        {0, false}, {-48000, false}, {10000000, false},
    };
    for (const auto& [rate, accepted] : cases) {
        EXPECT_EQ(writer_->canApplyOutputSettings(aacSettings(rate), media::MediaType::Audio), accepted) << rate;
        // The job adds the input even when no rate was accepted: the refusal comes here.
        EXPECT_EQ(canAdd(media::MediaType::Audio, aacSettings(rate)), accepted) << rate;
    }
}

struct SettingsCase {
    const char* name;
    std::function<void(Settings&)> change;
};

// Rebuilds a nested dictionary with one change.
Settings withNested(const Settings& s, const char* key, const std::function<void(Settings&)>& change) {
    Settings nested = *s.nested(key);
    change(nested);
    Settings copy = s;
    copy.set(key, nested);
    return copy;
}

TEST_F(WritingSettings, SoundSettingsOtherThanMonoAacAt48kAreRefused) {
    using namespace media;
    const SettingsCase cases[] = {
        {"linear PCM", [](Settings& s) { s.set(AVFormatIDKey, kAudioFormatLinearPCM); }},
        {"format as a signed integer", [](Settings& s) { s.set(AVFormatIDKey, std::int64_t{kAudioFormatMPEG4AAC}); }},
        {"two channels", [](Settings& s) { s.set(AVNumberOfChannelsKey, std::int64_t{2}); }},
        {"44.1 kHz", [](Settings& s) { s.set(AVSampleRateKey, 44100.0); }},
        {"rate as an integer", [](Settings& s) { s.set(AVSampleRateKey, std::int64_t{48000}); }},
        {"stereo layout", [](Settings& s) {
             Bytes stereo = writing_test::monoLayout();
             stereo[0] = 0x02;  // (101 << 16) | 2
             stereo[2] = 0x65;
             s.set(AVChannelLayoutKey, stereo);
         }},
        {"short layout record", [](Settings& s) { s.set(AVChannelLayoutKey, Bytes{0x01, 0x00, 0x64}); }},
        {"bit rate as a float", [](Settings& s) { s.set(AVEncoderBitRateKey, 48000.0); }},
        {"unknown key", [](Settings& s) { s.set("AVEncoderQualityKey", std::int64_t{96}); }},
    };
    ASSERT_TRUE(writer_->canApplyOutputSettings(aacSettings(48000), MediaType::Audio));
    for (const auto& c : cases) {
        Settings s = aacSettings(48000);
        c.change(s);
        EXPECT_FALSE(writer_->canApplyOutputSettings(s, MediaType::Audio)) << c.name;
        EXPECT_FALSE(canAdd(MediaType::Audio, s)) << c.name;
    }
}

TEST_F(WritingSettings, VideoSettingsThatCannotBeHonouredAreRefusedAtCanAddInput) {
    using namespace media;
    auto compression = [](std::function<void(Settings&)> change) {
        return [change](Settings& s) { s = withNested(s, AVVideoCompressionPropertiesKey, change); };
    };
    const SettingsCase cases[] = {
        {"another codec", [](Settings& s) { s.set(AVVideoCodecKey, "hvc1"); }},
        {"odd width", [](Settings& s) { s.set(AVVideoWidthKey, std::int64_t{321}); }},
        {"zero height", [](Settings& s) { s.set(AVVideoHeightKey, std::int64_t{0}); }},
        {"huge width", [](Settings& s) { s.set(AVVideoWidthKey, std::int64_t{1} << 20); }},
        {"width as a float", [](Settings& s) { s.set(AVVideoWidthKey, 320.0); }},
        {"unknown key", [](Settings& s) { s.set("AVVideoScalingModeKey", "fit"); }},
        {"other colour primaries",
         [](Settings& s) {
             s = withNested(s, AVVideoColorPropertiesKey,
                            [](Settings& c) { c.set(AVVideoColorPrimariesKey, "ITU_R_2020"); });
         }},
        {"hardware spec as text",
         [](Settings& s) {
             s = withNested(s, AVVideoEncoderSpecificationKey, [](Settings& c) {
                 c.set(kVTVideoEncoderSpecification_EnableHardwareAcceleratedVideoEncoder, "yes");
             });
         }},
        {"negative bit rate", compression([](Settings& c) { c.set(AVVideoAverageBitRateKey, std::int64_t{-1}); })},
        {"another profile", compression([](Settings& c) { c.set(AVVideoProfileLevelKey, "H264_Main_AutoLevel"); })},
        {"zero frame rate", compression([](Settings& c) { c.set(AVVideoExpectedSourceFrameRateKey, 0.0); })},
        {"NaN key-frame interval",
         compression([](Settings& c) {
             c.set(AVVideoMaxKeyFrameIntervalDurationKey, std::numeric_limits<double>::quiet_NaN());
         })},
        {"peak rate asked", compression([](Settings& c) { c.set("AVVideoMaxBitRateKey", std::int64_t{1000000}); })},
    };
    ASSERT_TRUE(canAdd(MediaType::Video, videoSettings({})));
    for (const auto& c : cases) {
        Settings s = videoSettings({});
        c.change(s);
        EXPECT_FALSE(canAdd(MediaType::Video, s)) << c.name;
    }
}

TEST_F(WritingSettings, AZeroBitRateGetsTheSmallestRateTheEncoderCanProduce) {
    // The planning gives 0 for a source of less than 1 bit/s: the file is still made,
    // as small as the encoder can make it.
    VideoParams video;
    video.width = 64;
    video.height = 64;
    video.bitRate = 0;
    const fs::path raw = makeRawPictures(dir_.path(), 64, 64, 15, 2);
    const fs::path out = dir_.path() / "zero.mp4";
    ASSERT_EQ(writeClip(out, raw, video, 2).status, media::AssetWriterStatus::Completed);
    const Fields v = probeStream(out, "v:0", "bit_rate");
    EXPECT_LT(std::atof(v.at("bit_rate").c_str()), 20000);
}

TEST_F(WritingSettings, AnInputIsAddedOnceAndOnlyBeforeWritingStarts) {
    auto first = media::ff::makeWriterInput(media::MediaType::Video, videoSettings({}));
    ASSERT_TRUE(writer_->canAddInput(first));
    writer_->addInput(first);
    EXPECT_FALSE(writer_->canAddInput(first));
    ASSERT_TRUE(writer_->startWriting());
    EXPECT_FALSE(writer_->canAddInput(media::ff::makeWriterInput(media::MediaType::Audio, aacSettings(48000))));
    writer_->cancelWriting();
}

// ---- Encoder specifications --------------------------------------------------------

bool machineHasVideoHardware() {
    namespace fs = std::filesystem;
    std::error_code e;
    auto hasEntry = [&e](const char* dir, const char* prefix) {
        for (fs::directory_iterator it(dir, e), end; !e && it != end; it.increment(e)) {
            if (it->path().filename().string().rfind(prefix, 0) == 0) return true;
        }
        return false;
    };
    return hasEntry("/dev/dri", "renderD") || hasEntry("/dev", "video") || fs::exists("/dev/nvidiactl", e);
}

// Everything written to file descriptor 2 while it lives.
class StderrCapture {
public:
    explicit StderrCapture(const fs::path& file) : file_(file) {
        std::fflush(stderr);
        saved_ = dup(2);
        const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    std::string finish() {
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        return readFile(file_);
    }

private:
    fs::path file_;
    int saved_;
};

struct SpecCase {
    const char* encoder;
    bool enable;
    bool require;
    bool added;
};

TEST_F(WritingSettings, EncoderSpecificationsOnAMachineWithoutVideoHardware) {
    if (machineHasVideoHardware()) GTEST_SKIP() << "this machine has video hardware";
    const SpecCase cases[] = {
        {"software", false, false, true},
        // Hardware allowed but absent: libx264.
        {"auto", true, false, true},
        // Hardware required and absent: refused, never a quiet software encode.
        {"hardware", true, true, false},
    };
    const fs::path raw = makeRawPictures(dir_.path(), 64, 64, 15, 1);
    for (const auto& c : cases) {
        VideoParams video;
        video.width = 64;
        video.height = 64;
        video.bitRate = 100000;
        video.enableHardware = c.enable;
        video.requireHardware = c.require;

        // The probe is silent: nothing at all reaches standard error.
        StderrCapture capture(dir_.path() / "stderr.txt");
        const bool added = canAdd(media::MediaType::Video, videoSettings(video));
        EXPECT_EQ(capture.finish(), "") << c.encoder;
        EXPECT_EQ(added, c.added) << c.encoder;
        if (!c.added) continue;

        const fs::path out = dir_.path() / (std::string(c.encoder) + ".mp4");
        ASSERT_EQ(writeClip(out, raw, video, 1).status, media::AssetWriterStatus::Completed) << c.encoder;
        // libx264 signs its streams.
        EXPECT_NE(readFile(out).find("x264 - core"), std::string::npos) << c.encoder;
        EXPECT_EQ(probeStream(out, "v:0", "profile").at("profile"), "High") << c.encoder;
    }
}

}  // namespace
}  // namespace writing_test
