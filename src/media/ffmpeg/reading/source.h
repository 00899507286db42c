// What the reading side learns about a source file when it first opens it: the
// container's timeline and one record per stream. Probed once per asset and shared,
// read-only, by the asset's tracks and by every reader output opened on it.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <vector>

#include "media/ffmpeg/libav.h"

namespace media::ff {

struct StreamInfo {
    int index = 0;
    std::int32_t trackID = 0;
    AVMediaType type = AVMEDIA_TYPE_UNKNOWN;
    bool attachedPicture = false;  // cover art: not a video track
    CodecParametersPtr parameters;
    AVRational timeBase{0, 1};
    std::int64_t startTime = AV_NOPTS_VALUE;  // in timeBase, on the container's clock
    std::int64_t duration = AV_NOPTS_VALUE;   // in timeBase
    AVRational averageFrameRate{0, 0};
    AVRational realFrameRate{0, 0};
    AVRational sampleAspectRatio{0, 1};
    std::optional<std::array<std::int32_t, 9>> displayMatrix;
    std::int64_t bitRate = 0;  // the container's figure, 0 when it has none
    std::int64_t indexedBytes = -1;  // sum of the index entries' sizes, -1 when unusable
    // What the file's packets hold, when they were surveyed (see SourceInfo::surveyed):
    // how many there are and their bytes.
    std::int64_t packets = -1;
    std::int64_t packetBytes = -1;
    // The header's length for the stream reached past its data and was cut to it: the
    // container's figures derived from that length (its bit rate) are not to be used.
    bool lengthCut = false;
    // The brightest light the stream says it holds, in cd/m², from its content light
    // level or else its mastering display; 0 when it says nothing.
    double peakLuminance = 0;
};

struct SourceInfo {
    std::filesystem::path path;
    const AVInputFormat* format = nullptr;
    std::int64_t origin = 0;      // container time (AV_TIME_BASE) shown at asset time 0
    std::int64_t durationUs = 0;  // asset duration in AV_TIME_BASE units
    // Whether every packet of the file was read while probing (formats whose index does
    // not list every sample): the streams' packet counts and bytes are then known.
    bool surveyed = false;
    std::vector<StreamInfo> streams;

    Time duration() const { return Time::make(durationUs, AV_TIME_BASE); }
    // The stream's origin in its own time base.
    std::int64_t originIn(const StreamInfo& stream) const {
        return av_rescale_q(origin, AV_TIME_BASE_Q, stream.timeBase);
    }
};

}  // namespace media::ff
