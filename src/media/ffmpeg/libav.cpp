#include "media/ffmpeg/libav.h"

#include <cerrno>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
}

namespace media::ff {

void OutputFormatDeleter::operator()(AVFormatContext* p) const {
    if (p == nullptr) return;
    if (p->pb != nullptr && (p->oformat == nullptr || !(p->oformat->flags & AVFMT_NOFILE))) {
        avio_closep(&p->pb);
    }
    avformat_free_context(p);
}

std::string describeAVError(int averror) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    if (av_strerror(averror, text, sizeof text) < 0) {
        return "error " + std::to_string(averror);
    }
    return text;
}

Error errorFromAV(int averror, const std::string& what) {
    const std::string text = describeAVError(averror);
    Error error{what.empty() ? text : what + ": " + text, kFFmpegErrorDomain, averror, {}};
    // Codes above -0x1000 that are not FFmpeg tags wrap a system errno.
    const int err = AVUNERROR(averror);
    if (averror < 0 && err > 0 && err < 4096) {
        return std::move(error).withUnderlying(errorFromErrno(err));
    }
    return error;
}

Error mediaError(const std::string& description, std::int64_t code) {
    return Error{description, kMediaErrorDomain, code, {}};
}

Error errorFromErrno(int err, const std::string& what) {
    const std::string text = std::strerror(err);
    return Error{what.empty() ? text : what + ": " + text, kPOSIXErrorDomain, err, {}};
}

std::string fileURL(const std::filesystem::path& path) { return "file:" + path.string(); }

Time timeFromAV(std::int64_t ts, AVRational timeBase) {
    if (ts == AV_NOPTS_VALUE || timeBase.num <= 0 || timeBase.den <= 0) return Time::invalid();
    // Keep the stream's own time base when it fits our 32-bit timescale.
    if (timeBase.num == 1) return Time::make(ts, timeBase.den);
    return Time::make(av_rescale_q(ts, timeBase, AVRational{1, 90000}), 90000);
}

std::int64_t timeToAV(const Time& time, AVRational timeBase) {
    if (!time.isNumeric()) return AV_NOPTS_VALUE;
    return av_rescale_q_rnd(time.value, AVRational{1, time.timescale}, timeBase,
                            static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
}

double peakLuminance(const AVContentLightMetadata* light, const AVMasteringDisplayMetadata* display) {
    if (light != nullptr && light->MaxCLL > 0) return light->MaxCLL;
    if (display != nullptr && display->has_luminance && display->max_luminance.den > 0) {
        const double peak = av_q2d(display->max_luminance);
        if (std::isfinite(peak) && peak > 0) return peak;
    }
    return 0;
}

void silenceLibraryLogs() { av_log_set_level(AV_LOG_QUIET); }

}  // namespace media::ff
