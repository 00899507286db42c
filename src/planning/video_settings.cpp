#include "planning/video_settings.h"

#include "media/keys.h"

namespace planning {

media::Settings bt709() {
    media::Settings s;
    s.set(media::AVVideoColorPrimariesKey, media::AVVideoColorPrimaries_ITU_R_709_2)
        .set(media::AVVideoTransferFunctionKey, media::AVVideoTransferFunction_ITU_R_709_2)
        .set(media::AVVideoYCbCrMatrixKey, media::AVVideoYCbCrMatrix_ITU_R_709_2);
    return s;
}

media::Settings readerPictureSettings() {
    media::Settings s;
    s.set(media::kCVPixelBufferPixelFormatTypeKey, media::kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange);
    return s;
}

media::Settings encoderSpecification(const std::string& encoder) {
    media::Settings s;
    s.set(media::kVTVideoEncoderSpecification_EnableHardwareAcceleratedVideoEncoder, encoder != "software")
        .set(media::kVTVideoEncoderSpecification_RequireHardwareAcceleratedVideoEncoder, encoder == "hardware");
    return s;
}

media::Settings compressionProperties(std::int64_t bitrate, double outFps, double keyFrameSeconds) {
    media::Settings s;
    s.set(media::AVVideoAverageBitRateKey, bitrate)
        .set(media::AVVideoProfileLevelKey, media::AVVideoProfileLevelH264HighAutoLevel)
        .set(media::AVVideoExpectedSourceFrameRateKey, outFps)
        .set(media::AVVideoMaxKeyFrameIntervalDurationKey, keyFrameSeconds)
        .set(media::AVVideoAllowFrameReorderingKey, true);
    return s;
}

media::Settings videoSettings(const media::Settings& encoderSpecification, std::int64_t outWidth,
                              std::int64_t outHeight, const media::Settings& colorProperties,
                              const media::Settings& compressionProperties) {
    media::Settings s;
    s.set(media::AVVideoCodecKey, media::AVVideoCodecTypeH264)
        .set(media::AVVideoEncoderSpecificationKey, encoderSpecification)
        .set(media::AVVideoWidthKey, outWidth)
        .set(media::AVVideoHeightKey, outHeight)
        .set(media::AVVideoColorPropertiesKey, colorProperties)
        .set(media::AVVideoCompressionPropertiesKey, compressionProperties);
    return s;
}

}  // namespace planning
