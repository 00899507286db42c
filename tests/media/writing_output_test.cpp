// What the writer puts in the file, judged by ffprobe: container, profile, size, frame
// rate, colour tags, key-frame spacing, bit rates and the sound track.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "media/ffmpeg/libav.h"
#include "media/ffmpeg/writing/writer.h"
#include "writing_support.h"

namespace writing_test {
namespace {

class WritingOutput : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        media::ff::silenceLibraryLogs();
        dir_ = std::make_unique<TempDir>();
        textured_ = makeRawPictures(dir_->path(), 320, 240, 15, 5, "mandelbrot");
        small_ = makeRawPictures(dir_->path(), 160, 120, 30, 9, "testsrc2");
    }
    static void TearDownTestSuite() {
        dir_.reset();
    }

    static inline std::unique_ptr<TempDir> dir_;
    static inline fs::path textured_;  // 320x240, 75 pictures
    static inline fs::path small_;     // 160x120, 270 pictures
};

double number(const Fields& fields, const std::string& key) {
    auto it = fields.find(key);
    return it == fields.end() ? std::nan("") : std::atof(it->second.c_str());
}

TEST_F(WritingOutput, MovNameGivesTaggedHighProfileMpeg4WithMonoAac) {
    const fs::path out = dir_->path() / "clip.mov";
    VideoParams video;  // 320x240, 15 fps
    const Written written = writeClip(out, textured_, video, 3, 48000);
    ASSERT_EQ(written.status, media::AssetWriterStatus::Completed)
        << (written.error ? written.error->localizedDescription : "no error");
    EXPECT_EQ(written.pictures, 45);

    // MPEG-4, not QuickTime, although the name ends in ".mov".
    const auto format = probe(out, "format_tags=major_brand");
    ASSERT_FALSE(format.empty());
    EXPECT_EQ(format.back().at("tag:major_brand"), "isom");

    const Fields v = probeStream(out, "v:0",
                                 "codec_name,profile,width,height,r_frame_rate,avg_frame_rate,nb_frames,"
                                 "color_range,color_space,color_transfer,color_primaries");
    EXPECT_EQ(v.at("codec_name"), "h264");
    EXPECT_EQ(v.at("profile"), "High");
    EXPECT_EQ(v.at("width"), "320");
    EXPECT_EQ(v.at("height"), "240");
    EXPECT_EQ(v.at("r_frame_rate"), "15/1");
    EXPECT_EQ(v.at("avg_frame_rate"), "15/1");
    EXPECT_EQ(v.at("nb_frames"), "45");
    EXPECT_EQ(v.at("color_range"), "tv");
    EXPECT_EQ(v.at("color_space"), "bt709");
    EXPECT_EQ(v.at("color_transfer"), "bt709");
    EXPECT_EQ(v.at("color_primaries"), "bt709");

    // The container's own colour box: nclx, primaries, transfer and matrix 1 (BT.709),
    // full-range flag clear.
    const std::string bytes = readFile(out);
    const auto colr = bytes.find("colrnclx");
    ASSERT_NE(colr, std::string::npos);
    EXPECT_EQ(bytes.substr(colr + 8, 7), std::string("\x00\x01\x00\x01\x00\x01\x00", 7));

    const Fields a = probeStream(out, "a:0", "codec_name,profile,channels,sample_rate,bit_rate");
    EXPECT_EQ(a.at("codec_name"), "aac");
    EXPECT_EQ(a.at("profile"), "LC");
    EXPECT_EQ(a.at("channels"), "1");
    EXPECT_EQ(a.at("sample_rate"), "48000");
    EXPECT_NEAR(number(a, "bit_rate"), 48000, 48000 * 0.15);
}

// A small picture at a modest rate: enough to judge timing, quick to encode.
VideoParams smallVideo(double fps) {
    VideoParams video;
    video.width = 160;
    video.height = 120;
    video.bitRate = 200000;
    video.fps = fps;
    return video;
}

struct RateCase {
    const char* name;
    double fps;
    const char* rational;
};
void PrintTo(const RateCase& c, std::ostream* os) { *os << c.name; }

class WritingFrameRate : public WritingOutput, public ::testing::WithParamInterface<RateCase> {};

TEST_P(WritingFrameRate, IsExactInTheFile) {
    const RateCase& c = GetParam();
    const fs::path out = dir_->path() / (std::string(c.name) + ".mp4");
    const VideoParams video = smallVideo(c.fps);
    const Written written = writeClip(out, small_, video, 2);
    ASSERT_EQ(written.status, media::AssetWriterStatus::Completed);
    const Fields v = probeStream(out, "v:0", "r_frame_rate,avg_frame_rate,nb_frames");
    EXPECT_EQ(v.at("r_frame_rate"), c.rational);
    EXPECT_EQ(v.at("avg_frame_rate"), c.rational);
    EXPECT_EQ(v.at("nb_frames"), std::to_string(written.pictures));
}

INSTANTIATE_TEST_SUITE_P(Rates, WritingFrameRate,
                         ::testing::Values(RateCase{"fps8", 8, "8/1"}, RateCase{"fps15", 15, "15/1"},
                                           // A 32-bit source rate, framed at 2002/60000 s.
                                           RateCase{"ntsc", 29.9699993133544921875, "30000/1001"}),
                         [](const auto& row) { return std::string(row.param.name); });

struct KeyCase {
    const char* name;
    double keyFrameSeconds;
    double fps;
    double seconds;
};
void PrintTo(const KeyCase& c, std::ostream* os) { *os << c.name; }

class WritingKeyFrames : public WritingOutput, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(WritingKeyFrames, AreAtMostTheIntervalApartAndNoCloser) {
    const KeyCase& c = GetParam();
    const fs::path out = dir_->path() / (std::string(c.name) + ".mp4");
    VideoParams video = smallVideo(c.fps);
    video.keyFrameSeconds = c.keyFrameSeconds;
    ASSERT_EQ(writeClip(out, small_, video, c.seconds).status, media::AssetWriterStatus::Completed);

    std::vector<double> keys;
    for (const PacketInfo& p : packetsByPosition(out)) {
        if (p.codecType == "video" && p.key) keys.push_back(p.pts);
    }
    std::sort(keys.begin(), keys.end());
    ASSERT_GE(keys.size(), static_cast<std::size_t>(std::floor(c.seconds / c.keyFrameSeconds)) + 1);
    double widest = 0;
    for (std::size_t i = 1; i < keys.size(); ++i) widest = std::max(widest, keys[i] - keys[i - 1]);
    // The largest whole number of frames within the interval: never more, and not
    // a frame less.
    EXPECT_LE(widest, c.keyFrameSeconds + 1e-6);
    EXPECT_GT(widest, c.keyFrameSeconds - 1.0 / c.fps - 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Intervals, WritingKeyFrames,
                         ::testing::Values(KeyCase{"screen2s", 2, 30, 7}, KeyCase{"camera4s", 4, 15, 9}),
                         [](const auto& row) { return std::string(row.param.name); });

class WritingBitRate : public WritingOutput, public ::testing::WithParamInterface<std::int64_t> {};

// A short clip of fine texture is the hardest case for a single-pass average: it may end
// up to a fifth above the setting, never more, and not far below it.
TEST_P(WritingBitRate, AverageOfAShortTexturedClipStaysNearTheSetting) {
    const std::int64_t target = GetParam();
    const fs::path out = dir_->path() / ("rate" + std::to_string(target) + ".mp4");
    VideoParams video;  // 320x240 at 15 fps
    video.bitRate = target;
    ASSERT_EQ(writeClip(out, textured_, video, 5).status, media::AssetWriterStatus::Completed);
    const Fields v = probeStream(out, "v:0", "bit_rate");
    EXPECT_LE(number(v, "bit_rate"), 1.20 * static_cast<double>(target));
    EXPECT_GE(number(v, "bit_rate"), 0.85 * static_cast<double>(target));
}

INSTANTIATE_TEST_SUITE_P(Targets, WritingBitRate, ::testing::Values(250000, 800000));

TEST_F(WritingOutput, SoundAloneKeepsEverySampleAtTheSetRate) {
    // No pictures to pace against: the sound input runs alone to its end.
    const fs::path out = dir_->path() / "sound.m4a";
    auto made = media::ff::makeWriter(out, media::FileType::MPEG4);
    ASSERT_TRUE(made);
    auto writer = made.value();
    auto audioIn = media::ff::makeWriterInput(media::MediaType::Audio, aacSettings(64000));
    ASSERT_TRUE(writer->canAddInput(audioIn));
    writer->addInput(audioIn);
    ASSERT_TRUE(writer->startWriting());
    writer->startSessionAtSourceTime(media::Time::zero());
    auto pumps = std::make_shared<media::Group>();
    startPump(audioIn, "audio", soundSource(4 * 48000 + 100), pumps, std::make_shared<PumpStats>());
    pumps->wait();
    finishAndWait(*writer);
    ASSERT_EQ(writer->status(), media::AssetWriterStatus::Completed);

    const Fields a = probeStream(out, "a:0", "codec_name,channels,sample_rate,bit_rate,duration_ts");
    EXPECT_EQ(a.at("channels"), "1");
    EXPECT_EQ(a.at("sample_rate"), "48000");
    EXPECT_NEAR(number(a, "bit_rate"), 64000, 64000 * 0.15);
    // The last, short block is encoded too: the track is as long as what was appended
    // (the encoder's accounting of its padded last frame may shave a few samples;
    // a lost tail would be 612 short).
    EXPECT_NEAR(number(a, "duration_ts"), 4 * 48000 + 100, 16);
}

}  // namespace
}  // namespace writing_test
