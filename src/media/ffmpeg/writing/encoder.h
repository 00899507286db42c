// The encoder behind one writer input, as the writer sees it: it takes decoded
// buffers, hands finished packets to a sink, and says how far into the timeline the
// input has come. One implementation for H.264 pictures, one for AAC sound.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "media/ffmpeg/libav.h"
#include "media/ffmpeg/writing/settings.h"

namespace media::ff {

// Takes one packet in the encoder's time base; an error stops the encoding.
using PacketSink = std::function<std::optional<Error>(AVPacket*)>;

class StreamEncoder {
public:
    virtual ~StreamEncoder() = default;
    // The opened codec context: parameters and time base for the stream.
    virtual const AVCodecContext* context() const = 0;
    // Encodes one buffer stamped on the session's timeline (sessionStart is time 0).
    virtual std::optional<Error> append(const FrameSampleBuffer& buffer, Time sessionStart,
                                        const PacketSink& sink) = 0;
    // Encodes whatever is held back and drains the encoder.
    virtual std::optional<Error> flush(const PacketSink& sink) = 0;
    // Seconds of the timeline covered by what was appended so far.
    virtual double appendedEnd() const = 0;
};

Result<std::unique_ptr<StreamEncoder>> makeVideoEncoder(const VideoConfig& config);
Result<std::unique_ptr<StreamEncoder>> makeAudioEncoder(const AudioConfig& config);
// Reads the settings of an input of the type, then makes its encoder; the error when
// either fails.
Result<std::unique_ptr<StreamEncoder>> makeEncoder(MediaType type, const Settings& settings);

// Sends one frame (null to flush) and hands every packet the encoder has ready to
// sink, handling EAGAIN and EOF.
std::optional<Error> sendAndDrain(AVCodecContext* context, const AVFrame* frame, AVPacket* packet,
                                  const PacketSink& sink);

}  // namespace media::ff
