#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "media/keys.h"
#include "media/settings.h"
#include "planning/audio_settings.h"
#include "planning/video_settings.h"

namespace media {

// Readable failure messages: every entry with its type.
void PrintTo(const Settings& settings, std::ostream* os) {
    *os << "{";
    for (const auto& [key, value] : settings.entries()) {
        *os << " " << key << ": ";
        std::visit(
            [os](const auto& v) {
                using T = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<T, std::int64_t>) {
                    *os << "int64 " << v;
                } else if constexpr (std::is_same_v<T, std::uint32_t>) {
                    *os << "uint32 " << v;
                } else if constexpr (std::is_same_v<T, double>) {
                    *os << "double " << v;
                } else if constexpr (std::is_same_v<T, bool>) {
                    *os << (v ? "true" : "false");
                } else if constexpr (std::is_same_v<T, std::string>) {
                    *os << '"' << v << '"';
                } else if constexpr (std::is_same_v<T, Bytes>) {
                    *os << v.size() << " bytes";
                } else {
                    if (v) PrintTo(*v, os);
                }
            },
            value);
        *os << ";";
    }
    *os << " }";
}

}  // namespace media

namespace {

using media::Settings;

Settings expectedBt709() {
    Settings s;
    s.set("AVVideoColorPrimariesKey", "ITU_R_709_2")
        .set("AVVideoTransferFunctionKey", "ITU_R_709_2")
        .set("AVVideoYCbCrMatrixKey", "ITU_R_709_2");
    return s;
}

Settings expectedCompression(std::int64_t bitrate, double outFps, double keyFrameSeconds) {
    Settings s;
    s.set("AVVideoAverageBitRateKey", bitrate)
        .set("AVVideoProfileLevelKey", "H264_High_AutoLevel")
        .set("AVVideoExpectedSourceFrameRateKey", outFps)
        .set("AVVideoMaxKeyFrameIntervalDurationKey", keyFrameSeconds)
        .set("AVVideoAllowFrameReorderingKey", true);
    return s;
}

const media::Bytes kMonoLayout = {0x01, 0x00, 0x64, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                  0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};

TEST(VideoSettings, ColourAndPictureFormat) {
    EXPECT_EQ(planning::bt709(), expectedBt709());

    Settings picture;
    picture.set("PixelFormatType", std::int64_t{875704438});
    EXPECT_EQ(planning::readerPictureSettings(), picture);
    // '420v' read as a big-endian 32-bit number.
    EXPECT_EQ(875704438, ('4' << 24) | ('2' << 16) | ('0' << 8) | 'v');
}

TEST(VideoSettings, EncoderModesDifferOnlyInEncoderSpecification) {
    struct Row {
        const char* encoder;
        bool enable;
        bool require;
    };
    const Row rows[] = {
        {"auto", true, false},
        {"hardware", true, true},
        {"software", false, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.encoder);
        Settings expectedEncoder;
        expectedEncoder.set("EnableHardwareAcceleratedVideoEncoder", r.enable)
            .set("RequireHardwareAcceleratedVideoEncoder", r.require);
        Settings expected;
        expected.set("AVVideoCodecKey", "avc1")
            .set("AVVideoEncoderSpecificationKey", expectedEncoder)
            .set("AVVideoWidthKey", std::int64_t{1280})
            .set("AVVideoHeightKey", std::int64_t{720})
            .set("AVVideoColorPropertiesKey", expectedBt709())
            .set("AVVideoCompressionPropertiesKey", expectedCompression(734512, 15.0, 4.0));

        const Settings built = planning::encoderSpecification(r.encoder);
        EXPECT_EQ(built, expectedEncoder);
        EXPECT_EQ(planning::videoSettings(built, 1280, 720, planning::bt709(),
                                          planning::compressionProperties(734512, 15.0, 4.0)),
                  expected);
    }
}

TEST(VideoSettings, CompressionPropertiesKeepTypesAndValues) {
    struct Row {
        const char* name;
        std::int64_t bitrate;
        double outFps;
        double keyFrameSeconds;
    };
    const Row rows[] = {
        {"camera profile", 734512, 15.0, 4.0},
        {"zero bit rate passed through", 0, 15.0, 4.0},
        {"widened 32-bit frame rate", 2400000, 29.9699993133544921875, 4.0},
        {"screen profile", 500000, 8.0, 2.0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(planning::compressionProperties(r.bitrate, r.outFps, r.keyFrameSeconds),
                  expectedCompression(r.bitrate, r.outFps, r.keyFrameSeconds));
    }
    // An integer and a float of the same amount are different settings.
    const Settings props = planning::compressionProperties(734512, 15.0, 4.0);
    EXPECT_NE(props, expectedCompression(734512, 15.0, 4.0).set("AVVideoExpectedSourceFrameRateKey",
                                                                std::int64_t{15}));
    EXPECT_NE(props, expectedCompression(734512, 15.0, 4.0).set("AVVideoAverageBitRateKey", 734512.0));
}

TEST(AudioSettings, MonoLayoutRecordBytes) {
    EXPECT_EQ(planning::monoChannelLayout(), kMonoLayout);
}

TEST(AudioSettings, DecodeSettingsAreMonoFloatPcmAt48k) {
    Settings expected;
    expected.set("AVFormatIDKey", std::uint32_t{1819304813})
        .set("AVLinearPCMBitDepthKey", std::int64_t{32})
        .set("AVLinearPCMIsFloatKey", true)
        .set("AVLinearPCMIsBigEndianKey", false)
        .set("AVLinearPCMIsNonInterleaved", false)
        .set("AVNumberOfChannelsKey", std::int64_t{1})
        .set("AVChannelLayoutKey", kMonoLayout)
        .set("AVSampleRateKey", 48000.0);
    EXPECT_EQ(planning::audioDecodeSettings(), expected);
}

TEST(AudioSettings, AacSettingsCarryTheBitRate) {
    for (const std::int64_t bitRate : {std::int64_t{32000}, std::int64_t{48000}, std::int64_t{64000}}) {
        SCOPED_TRACE(bitRate);
        Settings expected;
        expected.set("AVFormatIDKey", std::uint32_t{1633772320})
            .set("AVNumberOfChannelsKey", std::int64_t{1})
            .set("AVChannelLayoutKey", kMonoLayout)
            .set("AVSampleRateKey", 48000.0)
            .set("AVEncoderBitRateKey", bitRate);
        EXPECT_EQ(planning::aacSettings(bitRate), expected);
    }
}

TEST(TrackVolume, EachTrackGetsItsShareAndMultichannelIsFolded) {
    const std::optional<std::uint32_t> failed;
    struct Row {
        const char* name;
        std::vector<std::optional<std::uint32_t>> channels;  // one entry per track
        std::vector<float> volumes;
    };
    const Row rows[] = {
        {"one mono", {1u}, {1.0f}},
        {"one stereo", {2u}, {0.70710677f}},
        {"two stereo", {2u, 2u}, {0.70710677f / 2.0f, 0.70710677f / 2.0f}},
        {"mono and stereo", {1u, 2u}, {0.5f, 0.70710677f / 2.0f}},
        {"three mono", {1u, 1u, 1u}, {1.0f / 3.0f, 1.0f / 3.0f, 1.0f / 3.0f}},
        {"5.1", {6u}, {0.70710677f}},
        {"channel count with the top bit set", {0x80000000u}, {0.70710677f}},
        {"format descriptions failed or empty", {failed}, {1.0f}},
        {"zero channels", {0u}, {1.0f}},
        {"failed next to stereo", {failed, 2u}, {0.5f, 0.70710677f / 2.0f}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_EQ(r.channels.size(), r.volumes.size());
        for (std::size_t i = 0; i < r.channels.size(); ++i) {
            EXPECT_EQ(planning::trackVolume(r.channels[i], r.channels.size()), r.volumes[i]) << "track " << i;
        }
    }
    EXPECT_EQ(0.70710677f / 2.0f, 0.353553385f);
}

}  // namespace
