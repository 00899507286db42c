// H.264 encoders for the video input: libx264, and the hardware encoders probed in
// hardware_encoders.cpp. Both are set up from the same VideoConfig.
#pragma once

#include <cstdint>
#include <optional>

#include "media/ffmpeg/libav.h"
#include "media/ffmpeg/writing/encoder.h"
#include "media/ffmpeg/writing/settings.h"

namespace media::ff {

// The encoder's time base: the frame timescale of settings.h.
inline constexpr AVRational kVideoTimeBase{1, kFrameTimescale};

struct OpenedVideoEncoder {
    CodecContextPtr context;
    // Hardware surfaces each picture is uploaded into, for encoders that cannot read
    // pictures from memory; null otherwise.
    BufferRefPtr uploadFrames;
};

// What every H.264 encoder shares: size, time base, frame rate, average bit rate
// without a peak limit, key-frame interval, B-frames, colour tags, High profile.
void configureVideoContext(AVCodecContext* context, const VideoConfig& config);

// libx264 with the preset of settings.h.
Result<OpenedVideoEncoder> openSoftwareVideoEncoder(const VideoConfig& config);

// The first hardware encoder on this machine whose device can be created, which opens
// with these settings and encodes a test picture; an error when there is none.
Result<OpenedVideoEncoder> openHardwareVideoEncoder(const VideoConfig& config);

// The device nodes and driver files the hardware encoders above open, as far as this
// machine has them now.
HardwareAccess hardwareEncoderAccess();

// Encodes one NV12 picture at pts (in kVideoTimeBase), or flushes when picture is null.
std::optional<Error> encodePicture(OpenedVideoEncoder& encoder, const AVFrame* picture, std::int64_t pts,
                                   AVPacket* packet, const PacketSink& sink);

}  // namespace media::ff
