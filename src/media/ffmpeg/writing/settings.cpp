#include "media/ffmpeg/writing/settings.h"

#include <climits>
#include <cmath>
#include <string>
#include <variant>

#include "media/ffmpeg/libav.h"
#include "media/keys.h"
#include "media/values.h"

namespace media::ff {
namespace {

// H.264 levels top out at 8192 pixels a side; leave room but refuse absurd sizes
// before they reach an allocator.
constexpr std::int64_t kMaxDimension = 16384;

// The value under key when it is there with type T; an error when it is there with
// another type; none when it is absent.
template <class T>
Result<std::optional<T>> typed(const Settings& settings, const char* key) {
    const SettingsValue* value = settings.find(key);
    if (value == nullptr) return std::optional<T>{};
    if (const T* p = std::get_if<T>(value)) return std::optional<T>{*p};
    return mediaError(std::string("the setting ") + key + " has the wrong type");
}

Result<const Settings*> nestedOrNull(const Settings& settings, const char* key) {
    const SettingsValue* value = settings.find(key);
    if (value == nullptr) return static_cast<const Settings*>(nullptr);
    const Settings* nested = settings.nested(key);
    if (nested == nullptr) return mediaError(std::string("the setting ") + key + " is not a dictionary");
    return nested;
}

// Refuses a dictionary holding any key outside the known set.
template <std::size_t N>
std::optional<Error> onlyKnownKeys(const Settings& settings, const char* const (&known)[N]) {
    for (const auto& [key, value] : settings.entries()) {
        bool found = false;
        for (const char* k : known) found = found || key == k;
        if (!found) return mediaError("unsupported setting " + key);
    }
    return std::nullopt;
}

std::optional<Error> readDimension(const Settings& settings, const char* key, int& out) {
    auto v = typed<std::int64_t>(settings, key);
    if (!v) return v.error();
    if (!v.value()) return mediaError(std::string("the setting ") + key + " is missing");
    const std::int64_t n = *v.value();
    // 4:2:0 pictures need even sizes.
    if (n < 2 || n > kMaxDimension || n % 2 != 0) {
        return mediaError(std::string("the setting ") + key + " is not an even size from 2 to 16384");
    }
    out = static_cast<int>(n);
    return std::nullopt;
}

std::optional<Error> readEncoderSpecification(const Settings& spec, VideoConfig& config) {
    const char* const known[] = {kVTVideoEncoderSpecification_EnableHardwareAcceleratedVideoEncoder,
                                 kVTVideoEncoderSpecification_RequireHardwareAcceleratedVideoEncoder};
    if (auto e = onlyKnownKeys(spec, known)) return e;
    auto enable = typed<bool>(spec, kVTVideoEncoderSpecification_EnableHardwareAcceleratedVideoEncoder);
    if (!enable) return enable.error();
    auto require = typed<bool>(spec, kVTVideoEncoderSpecification_RequireHardwareAcceleratedVideoEncoder);
    if (!require) return require.error();
    config.requireHardware = require.value().value_or(false);
    // Requiring hardware implies allowing it.
    config.enableHardware = enable.value().value_or(false) || config.requireHardware;
    return std::nullopt;
}

std::optional<Error> readColorProperties(const Settings& colors, VideoConfig& config) {
    const char* const known[] = {AVVideoColorPrimariesKey, AVVideoTransferFunctionKey, AVVideoYCbCrMatrixKey};
    if (auto e = onlyKnownKeys(colors, known)) return e;
    const std::pair<const char*, const char*> wanted[] = {
        {AVVideoColorPrimariesKey, AVVideoColorPrimaries_ITU_R_709_2},
        {AVVideoTransferFunctionKey, AVVideoTransferFunction_ITU_R_709_2},
        {AVVideoYCbCrMatrixKey, AVVideoYCbCrMatrix_ITU_R_709_2},
    };
    // BT.709 is the one colour space we tag, and only all three at once: the MP4
    // colour box carries the three together.
    for (const auto& [key, value] : wanted) {
        auto v = typed<std::string>(colors, key);
        if (!v) return v.error();
        if (!v.value()) return mediaError(std::string("the colour setting ") + key + " is missing");
        if (*v.value() != value) return mediaError(std::string("unsupported value for ") + key);
    }
    config.tagBT709 = true;
    return std::nullopt;
}

std::optional<Error> readCompressionProperties(const Settings& props, VideoConfig& config) {
    const char* const known[] = {AVVideoAverageBitRateKey, AVVideoProfileLevelKey,
                                 AVVideoExpectedSourceFrameRateKey, AVVideoMaxKeyFrameIntervalDurationKey,
                                 AVVideoAllowFrameReorderingKey};
    if (auto e = onlyKnownKeys(props, known)) return e;

    auto bitRate = typed<std::int64_t>(props, AVVideoAverageBitRateKey);
    if (!bitRate) return bitRate.error();
    if (bitRate.value()) {
        const std::int64_t b = *bitRate.value();
        if (b < 0 || b / 1000 > INT_MAX) return mediaError("the average bit rate is out of range");
        // A planned rate below what the encoder can count (the planning yields 0 for a
        // source of less than 1 bit/s) gets the smallest rate it can produce.
        config.bitRate = b < kMinVideoBitRate ? kMinVideoBitRate : b;
    }

    auto profile = typed<std::string>(props, AVVideoProfileLevelKey);
    if (!profile) return profile.error();
    if (profile.value() && *profile.value() != AVVideoProfileLevelH264HighAutoLevel) {
        return mediaError("unsupported profile level " + *profile.value());
    }

    auto fps = typed<double>(props, AVVideoExpectedSourceFrameRateKey);
    if (!fps) return fps.error();
    if (fps.value()) {
        const double f = *fps.value();
        if (!std::isfinite(f) || f <= 0 || f > 1000) return mediaError("the expected frame rate is out of range");
        config.frameRate = f;
    }

    auto keySeconds = typed<double>(props, AVVideoMaxKeyFrameIntervalDurationKey);
    if (!keySeconds) return keySeconds.error();
    if (keySeconds.value()) {
        const double k = *keySeconds.value();
        if (!std::isfinite(k) || k < 0) return mediaError("the key-frame interval is out of range");
        config.gopSize = keyFrameInterval(k, config.frameRate);
    }

    auto reorder = typed<bool>(props, AVVideoAllowFrameReorderingKey);
    if (!reorder) return reorder.error();
    config.allowFrameReordering = reorder.value().value_or(true);
    return std::nullopt;
}

}  // namespace

int keyFrameInterval(double keyFrameSeconds, double frameRate) {
    const double frames = std::floor(keyFrameSeconds * frameRate);
    if (!(frames >= 1)) return 1;
    if (frames > 1e6) return 1000000;
    int n = static_cast<int>(frames);
    // The frames are spaced by the duration rounded to whole timescale units, which
    // can be a hair longer than 1/frameRate: keep n of them within the interval.
    const double spacing = Time::fromSeconds(1.0 / frameRate, kFrameTimescale).seconds();
    while (n > 1 && n * spacing > keyFrameSeconds) --n;
    return n;
}

Result<VideoConfig> parseVideoSettings(const Settings& settings) {
    const char* const known[] = {AVVideoCodecKey,        AVVideoEncoderSpecificationKey, AVVideoWidthKey,
                                 AVVideoHeightKey,       AVVideoColorPropertiesKey,
                                 AVVideoCompressionPropertiesKey};
    if (auto e = onlyKnownKeys(settings, known)) return *e;

    auto codec = typed<std::string>(settings, AVVideoCodecKey);
    if (!codec) return codec.error();
    if (!codec.value()) return mediaError("the video codec is missing");
    if (*codec.value() != AVVideoCodecTypeH264) return mediaError("unsupported video codec " + *codec.value());

    VideoConfig config;
    if (auto e = readDimension(settings, AVVideoWidthKey, config.width)) return *e;
    if (auto e = readDimension(settings, AVVideoHeightKey, config.height)) return *e;

    auto spec = nestedOrNull(settings, AVVideoEncoderSpecificationKey);
    if (!spec) return spec.error();
    if (spec.value() != nullptr) {
        if (auto e = readEncoderSpecification(*spec.value(), config)) return *e;
    }

    auto colors = nestedOrNull(settings, AVVideoColorPropertiesKey);
    if (!colors) return colors.error();
    if (colors.value() != nullptr) {
        if (auto e = readColorProperties(*colors.value(), config)) return *e;
    }

    // Without an expected rate, rate control assumes 30 frames per second.
    config.frameRate = 30;
    auto props = nestedOrNull(settings, AVVideoCompressionPropertiesKey);
    if (!props) return props.error();
    if (props.value() != nullptr) {
        if (auto e = readCompressionProperties(*props.value(), config)) return *e;
    }
    return config;
}

Result<AudioConfig> parseAudioSettings(const Settings& settings) {
    const char* const known[] = {AVFormatIDKey, AVNumberOfChannelsKey, AVChannelLayoutKey, AVSampleRateKey,
                                 AVEncoderBitRateKey};
    if (auto e = onlyKnownKeys(settings, known)) return *e;

    auto format = typed<std::uint32_t>(settings, AVFormatIDKey);
    if (!format) return format.error();
    if (!format.value() || *format.value() != kAudioFormatMPEG4AAC) return mediaError("the sound format is not AAC");

    auto channels = typed<std::int64_t>(settings, AVNumberOfChannelsKey);
    if (!channels) return channels.error();
    if (!channels.value() || *channels.value() != 1) return mediaError("the sound must have exactly one channel");

    auto layout = typed<Bytes>(settings, AVChannelLayoutKey);
    if (!layout) return layout.error();
    if (layout.value()) {
        // The record starts with the layout tag, the channel bitmap and the number of
        // channel descriptions, each a little-endian 32-bit number.
        const Bytes& b = *layout.value();
        auto word = [&b](std::size_t at) {
            return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
                   static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
        };
        if (b.size() < 12 || word(0) != kAudioChannelLayoutTag_Mono || word(8) != 0) {
            return mediaError("the channel layout is not mono");
        }
    }

    auto rate = typed<double>(settings, AVSampleRateKey);
    if (!rate) return rate.error();
    if (!rate.value() || *rate.value() != kAudioSampleRate) return mediaError("the sample rate is not 48000");

    auto bitRate = typed<std::int64_t>(settings, AVEncoderBitRateKey);
    if (!bitRate) return bitRate.error();
    if (!bitRate.value()) return mediaError("the sound bit rate is missing");
    if (*bitRate.value() < kMinAacBitRate || *bitRate.value() > kMaxAacBitRate) {
        return mediaError("the sound bit rate is outside " + std::to_string(kMinAacBitRate) + " to " +
                       std::to_string(kMaxAacBitRate));
    }
    return AudioConfig{*bitRate.value()};
}

}  // namespace media::ff
