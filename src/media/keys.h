// The setting keys and text values the media layer publishes. The job builds its
// dictionaries from these names; the FFmpeg implementation reads them back.
#pragma once

#include <cstdint>

namespace media {

enum class MediaType { Video, Audio };

enum class FileType { MPEG4 };

// Asset options.
inline constexpr const char* AVURLAssetPreferPreciseDurationAndTimingKey =
    "AVURLAssetPreferPreciseDurationAndTimingKey";

// Video settings.
inline constexpr const char* AVVideoCodecKey = "AVVideoCodecKey";
inline constexpr const char* AVVideoCodecTypeH264 = "avc1";
inline constexpr const char* AVVideoEncoderSpecificationKey = "AVVideoEncoderSpecificationKey";
inline constexpr const char* AVVideoWidthKey = "AVVideoWidthKey";
inline constexpr const char* AVVideoHeightKey = "AVVideoHeightKey";
inline constexpr const char* AVVideoColorPropertiesKey = "AVVideoColorPropertiesKey";
inline constexpr const char* AVVideoCompressionPropertiesKey = "AVVideoCompressionPropertiesKey";

inline constexpr const char* AVVideoAverageBitRateKey = "AVVideoAverageBitRateKey";
inline constexpr const char* AVVideoProfileLevelKey = "AVVideoProfileLevelKey";
inline constexpr const char* AVVideoProfileLevelH264HighAutoLevel = "H264_High_AutoLevel";
inline constexpr const char* AVVideoExpectedSourceFrameRateKey = "AVVideoExpectedSourceFrameRateKey";
inline constexpr const char* AVVideoMaxKeyFrameIntervalDurationKey =
    "AVVideoMaxKeyFrameIntervalDurationKey";
inline constexpr const char* AVVideoAllowFrameReorderingKey = "AVVideoAllowFrameReorderingKey";

inline constexpr const char* AVVideoColorPrimariesKey = "AVVideoColorPrimariesKey";
inline constexpr const char* AVVideoColorPrimaries_ITU_R_709_2 = "ITU_R_709_2";
inline constexpr const char* AVVideoTransferFunctionKey = "AVVideoTransferFunctionKey";
inline constexpr const char* AVVideoTransferFunction_ITU_R_709_2 = "ITU_R_709_2";
inline constexpr const char* AVVideoYCbCrMatrixKey = "AVVideoYCbCrMatrixKey";
inline constexpr const char* AVVideoYCbCrMatrix_ITU_R_709_2 = "ITU_R_709_2";

inline constexpr const char* kVTVideoEncoderSpecification_EnableHardwareAcceleratedVideoEncoder =
    "EnableHardwareAcceleratedVideoEncoder";
inline constexpr const char* kVTVideoEncoderSpecification_RequireHardwareAcceleratedVideoEncoder =
    "RequireHardwareAcceleratedVideoEncoder";

// Reader picture settings.
inline constexpr const char* kCVPixelBufferPixelFormatTypeKey = "PixelFormatType";
// '420v': 8-bit 4:2:0, luma plane plus interleaved chroma plane, video range (NV12).
inline constexpr std::int64_t kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange = 875704438;

// Sound settings.
inline constexpr const char* AVFormatIDKey = "AVFormatIDKey";
inline constexpr std::uint32_t kAudioFormatLinearPCM = 1819304813;  // 'lpcm'
inline constexpr std::uint32_t kAudioFormatMPEG4AAC = 1633772320;   // 'aac '
inline constexpr const char* AVLinearPCMBitDepthKey = "AVLinearPCMBitDepthKey";
inline constexpr const char* AVLinearPCMIsFloatKey = "AVLinearPCMIsFloatKey";
inline constexpr const char* AVLinearPCMIsBigEndianKey = "AVLinearPCMIsBigEndianKey";
inline constexpr const char* AVLinearPCMIsNonInterleaved = "AVLinearPCMIsNonInterleaved";
inline constexpr const char* AVNumberOfChannelsKey = "AVNumberOfChannelsKey";
inline constexpr const char* AVChannelLayoutKey = "AVChannelLayoutKey";
inline constexpr const char* AVSampleRateKey = "AVSampleRateKey";
inline constexpr const char* AVEncoderBitRateKey = "AVEncoderBitRateKey";

// Channel layout tags.
inline constexpr std::uint32_t kAudioChannelLayoutTag_Mono = (100u << 16) | 1u;  // 6553601

}  // namespace media
