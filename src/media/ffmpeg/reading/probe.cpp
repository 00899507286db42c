#include "media/ffmpeg/reading/probe.h"

#include "media/ffmpeg/reading/stream_decoder.h"
#include "media/ffmpeg/reading/track_values.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>

#include <sys/stat.h>

extern "C" {
#include <libavutil/common.h>
#include <libavutil/display.h>
#include <libavutil/mathematics.h>
}

namespace media::ff {
namespace {

// Demuxers that present a single picture or a text as a "video": such files are
// refused, or given no length, rather than encoded as a film.
bool isTextFormat(const AVInputFormat* format) { return std::string_view(format->name) == "tty"; }
bool isStillImageFormat(const AVInputFormat* format) {
    const std::string_view name(format->name);
    return name == "image2" || (name.size() > 5 && name.substr(name.size() - 5) == "_pipe");
}

// Containers whose header gives the length of the whole timeline from its zero (a movie
// header, a segment duration), not the span from the first timestamp: a file whose
// pictures start at 10 s after an empty edit says 12 s, not 2 s.
bool durationCountsFromZero(const AVInputFormat* format) {
    const std::string_view name(format->name);
    return name.find("mov") != std::string_view::npos || name.find("matroska") != std::string_view::npos ||
           name == "nut" || name == "asf";
}


// The packet's time: its presentation time, else its decoding time.
std::int64_t packetTime(const AVPacket& packet) { return packet.pts != AV_NOPTS_VALUE ? packet.pts : packet.dts; }

// One pass over the file's packets from where the demuxer stands, each handed to visit
// until it says to stop; a read error counts as the end of the file. True when the pass
// reached the end.
template <typename Visit>
Result<bool> readPackets(AVFormatContext* ctx, Visit&& visit) {
    PacketPtr packet = makePacket();
    if (!packet) return errorFromAV(AVERROR(ENOMEM));
    while (av_read_frame(ctx, packet.get()) >= 0) {
        const bool more = visit(*packet);
        av_packet_unref(packet.get());
        if (!more) return false;
    }
    return true;
}

// Where a stream's data lies: the start of its first and last samples and of the one
// before the last, in its time base, and what the last claims to last.
struct Extent {
    std::int64_t first = AV_NOPTS_VALUE;
    std::int64_t last = AV_NOPTS_VALUE;
    std::int64_t previous = AV_NOPTS_VALUE;
    std::int64_t lastDuration = 0;
    std::int64_t packets = 0;
    std::int64_t bytes = 0;

    void add(std::int64_t time, std::int64_t duration, int size) {
        ++packets;
        bytes += std::max(size, 0);
        if (time == AV_NOPTS_VALUE) return;
        if (first == AV_NOPTS_VALUE || time < first) first = time;
        if (last == AV_NOPTS_VALUE || time > last) {
            previous = last;
            last = time;
            lastDuration = std::max<std::int64_t>(duration, 0);
        } else if (time != last && (previous == AV_NOPTS_VALUE || time > previous)) {
            previous = time;
        }
    }
};

// The longest a stream's only sample is taken to last when nothing else reaches as far.
constexpr std::int64_t kLoneSampleCeiling = 10 * AV_TIME_BASE;

bool isMedia(const AVStream* st) {
    const AVMediaType type = st->codecpar->codec_type;
    return (type == AVMEDIA_TYPE_VIDEO || type == AVMEDIA_TYPE_AUDIO) &&
           (st->disposition & AV_DISPOSITION_ATTACHED_PIC) == 0;
}

// The bytes of the stream's samples as its index lists them; -1 unless the index has an
// entry for every frame the stream counts, each with its size. Some demuxers (FLV) index
// just the key frames met while probing the first seconds; sparse indexes (seek points
// only) carry no sizes.
std::int64_t indexBytes(AVStream* st) {
    const int count = avformat_index_get_entries_count(st);
    if (st->nb_frames <= 0 || count < st->nb_frames) return -1;
    std::int64_t bytes = 0;
    for (int i = 0; i < count; ++i) {
        const AVIndexEntry* entry = avformat_index_get_entry(st, i);
        if (entry == nullptr || entry->size <= 0) return -1;
        bytes += entry->size;
    }
    return bytes;
}

// Whether the demuxer's index lists every sample of every stream, with its size.
bool indexListsEverySample(AVFormatContext* ctx) {
    bool any = false;
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        AVStream* st = ctx->streams[i];
        if (!isMedia(st)) continue;
        if (indexBytes(st) < 0) return false;
        any = true;
    }
    return any;
}

// The index's samples; their times are decoding times, which run a constant reordering
// delay ahead of the presentation times that start at the stream's start time.
Extent indexExtent(AVStream* st) {
    Extent extent;
    const int count = avformat_index_get_entries_count(st);
    for (int k = 0; k < count; ++k) {
        const AVIndexEntry* entry = avformat_index_get_entry(st, k);
        if (entry != nullptr) extent.add(entry->timestamp, 0, entry->size);
    }
    if (extent.first == AV_NOPTS_VALUE) return extent;
    // The index carries no durations: the last sample lasts what the stream's length
    // leaves it.
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0) {
        // Saturating: the length is a header's word and may be anything.
        extent.lastDuration = std::max<std::int64_t>(av_sat_sub64(av_sat_add64(extent.first, st->duration), extent.last), 0);
    }
    if (st->start_time != AV_NOPTS_VALUE) {
        const std::int64_t shift = st->start_time - extent.first;
        extent.first += shift;
        extent.last += shift;
        if (extent.previous != AV_NOPTS_VALUE) extent.previous += shift;
    }
    return extent;
}

// Every packet of the file, read once from where the probe left the demuxer (the
// packets it read to probe are given again first).
Result<std::vector<Extent>> surveyPackets(AVFormatContext* ctx) {
    std::vector<Extent> extents(ctx->nb_streams);
    std::vector<TimestampMender> menders;
    for (unsigned i = 0; i < ctx->nb_streams; ++i) menders.emplace_back(ctx->iformat, ctx->streams[i]->time_base);
    auto read = readPackets(ctx, [&](AVPacket& packet) {
        // Some demuxers (transport streams) find streams as they go.
        for (unsigned k = static_cast<unsigned>(extents.size()); k < ctx->nb_streams; ++k) {
            extents.emplace_back();
            menders.emplace_back(ctx->iformat, ctx->streams[k]->time_base);
        }
        const auto i = static_cast<std::size_t>(packet.stream_index);
        if (i < extents.size()) {
            menders[i].mend(&packet);
            extents[i].add(packetTime(packet), packet.duration, packet.size);
        }
        return true;
    });
    if (!read) return read.error();
    extents.resize(ctx->nb_streams);
    return extents;
}

// One stream's data in AV_TIME_BASE units on the container's clock.
struct Reach {
    bool known = false;
    std::int64_t last = 0;      // start of the last sample
    std::int64_t duration = 0;  // what the last sample claims
    std::int64_t step = 0;      // from the sample before it; 0 for a lone sample
};

Reach reachOf(const Extent& extent, AVRational tb) {
    Reach reach;
    if (extent.last == AV_NOPTS_VALUE) return reach;
    reach.known = true;
    reach.last = av_rescale_q(extent.last, tb, AV_TIME_BASE_Q);
    reach.duration = av_rescale_q(extent.lastDuration, tb, AV_TIME_BASE_Q);
    if (extent.previous != AV_NOPTS_VALUE) {
        reach.step = reach.last - av_rescale_q(extent.previous, tb, AV_TIME_BASE_Q);
    }
    return reach;
}

// How long the last sample is taken to last: what it claims, but no longer than the
// step before it (a lone sample: the ceiling), unless the data of the file reaches
// further than that anyway.
std::int64_t heldFor(const Reach& reach, std::int64_t dataEnd) {
    const std::int64_t own = reach.step > 0 ? reach.step : kLoneSampleCeiling;
    std::int64_t allowed = own;
    if (dataEnd != AV_NOPTS_VALUE) allowed = std::max(allowed, dataEnd - reach.last);
    return std::min(reach.duration, allowed);
}

// The stream's bytes for its data rate: only an index that lists every sample measures
// the data, and one sample's size over the stream's length is no rate.
std::int64_t indexedBytes(AVStream* st) {
    return avformat_index_get_entries_count(st) < 2 ? -1 : indexBytes(st);
}

// The stream's own record of its light, for pictures that carry none.
double streamPeakLuminance(AVStream* st) {
    std::size_t lightSize = 0, displaySize = 0;
    const std::uint8_t* light = av_stream_get_side_data(st, AV_PKT_DATA_CONTENT_LIGHT_LEVEL, &lightSize);
    const std::uint8_t* display = av_stream_get_side_data(st, AV_PKT_DATA_MASTERING_DISPLAY_METADATA, &displaySize);
    return peakLuminance(sideDataAs<AVContentLightMetadata>(light, lightSize),
                         sideDataAs<AVMasteringDisplayMetadata>(display, displaySize));
}

}  // namespace


namespace {

// Opens the file and reads its stream layout, refusing what is not a media file.
Result<InputFormatPtr> openToProbe(const std::filesystem::path& path) {
    // Every output opens the file again, so a pipe or a device, which can be read only
    // once (and whose opening may wait for a writer forever), is not a source.
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 &&
        (S_ISFIFO(status.st_mode) || S_ISSOCK(status.st_mode) || S_ISCHR(status.st_mode))) {
        return mediaError("not a media file but a pipe or a device");
    }
    auto opened = openInput(path, nullptr, nullptr);
    if (!opened) return opened.error();
    AVFormatContext* ctx = opened.value().get();
    if (isTextFormat(ctx->iformat)) {
        return errorFromAV(AVERROR_INVALIDDATA, "not a media file");
    }
    const int ret = avformat_find_stream_info(ctx, nullptr);
    if (ret < 0) return errorFromAV(ret, "cannot read the stream layout");
    return opened;
}

// The container time shown at asset time 0. Material before the container's zero
// (encoder priming, pre-roll) is not shown; a clock that starts late (transport
// streams) is moved back to zero. A clock with no fixed zero (transport streams again)
// that wrapped round during the recording has its first part put before zero by the
// library: that part is shown too.
std::int64_t timelineOrigin(const AVFormatContext* ctx) {
    const bool arbitraryClock = (ctx->iformat->flags & AVFMT_TS_DISCONT) != 0;
    return ctx->start_time != AV_NOPTS_VALUE && (ctx->start_time > 0 || arbitraryClock) ? ctx->start_time : 0;
}

// Where the header says the timeline ends (AV_TIME_BASE, container clock); none when
// it says nothing usable.
std::int64_t claimedEnd(const AVFormatContext* ctx, bool preciseDuration) {
    if (ctx->duration == AV_NOPTS_VALUE || ctx->duration < 0 ||
        (preciseDuration && ctx->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE)) {
        return AV_NOPTS_VALUE;
    }
    const std::int64_t start = ctx->start_time != AV_NOPTS_VALUE ? ctx->start_time : 0;
    if (durationCountsFromZero(ctx->iformat) && ctx->duration > start) return ctx->duration;
    return start + ctx->duration;
}

// What the data of the file holds: each stream's extent and reach, where the data of
// all streams ends, and whether every packet was read to find out.
struct DataHeld {
    std::vector<Extent> extents;
    std::vector<Reach> reaches;
    std::int64_t end = AV_NOPTS_VALUE;  // AV_TIME_BASE, container clock
    std::int64_t frame = 0;  // the longest step between the last two samples of a stream
    bool surveyed = false;
};

// From the index where it lists every sample, else from one pass over the packets.
// A still image holds no timeline.
Result<DataHeld> measureDataHeld(AVFormatContext* ctx) {
    DataHeld data;
    data.extents.resize(ctx->nb_streams);
    if (!isStillImageFormat(ctx->iformat)) {
        if (indexListsEverySample(ctx)) {
            for (unsigned i = 0; i < ctx->nb_streams; ++i) data.extents[i] = indexExtent(ctx->streams[i]);
        } else {
            auto read = surveyPackets(ctx);
            if (!read) return read.error();
            data.extents = std::move(read.value());
            data.surveyed = true;
        }
    }
    data.reaches.resize(ctx->nb_streams);
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        if (!isMedia(ctx->streams[i])) continue;
        Reach& reach = data.reaches[i];
        reach = reachOf(data.extents[i], ctx->streams[i]->time_base);
        if (!reach.known) continue;
        data.frame = std::max(data.frame, reach.step);
        const std::int64_t strictEnd = reach.last + heldFor(reach, AV_NOPTS_VALUE);
        data.end = data.end == AV_NOPTS_VALUE ? strictEnd : std::max(data.end, strictEnd);
    }
    return data;
}

// One stream's record, its claimed length cut to its data the way the asset's is.
Result<StreamInfo> describeStream(AVFormatContext* ctx, AVStream* st, const DataHeld& held) {
    const Extent& extent = held.extents[static_cast<std::size_t>(st->index)];
    const Reach& reach = held.reaches[static_cast<std::size_t>(st->index)];
    StreamInfo s;
    s.index = st->index;
    s.trackID = st->id > 0 ? st->id : st->index + 1;
    s.type = st->codecpar->codec_type;
    s.attachedPicture = (st->disposition & AV_DISPOSITION_ATTACHED_PIC) != 0;
    s.parameters.reset(avcodec_parameters_alloc());
    if (!s.parameters || avcodec_parameters_copy(s.parameters.get(), st->codecpar) < 0) {
        return errorFromAV(AVERROR(ENOMEM));
    }
    s.timeBase = st->time_base;
    s.startTime = st->start_time;
    s.duration = st->duration;
    s.averageFrameRate = st->avg_frame_rate;
    s.realFrameRate = st->r_frame_rate;
    s.sampleAspectRatio = av_guess_sample_aspect_ratio(ctx, st, nullptr);
    if (const std::uint8_t* data = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, nullptr)) {
        std::array<std::int32_t, 9> matrix{};
        std::memcpy(matrix.data(), data, sizeof matrix);
        s.displayMatrix = matrix;
    }
    s.bitRate = st->codecpar->bit_rate;
    s.indexedBytes = indexedBytes(st);
    s.peakLuminance = streamPeakLuminance(st);
    if (held.surveyed) {
        s.packets = extent.packets;
        s.packetBytes = extent.bytes;
    }
    // The stream's own claim gives way to its data the same way; its last sample may
    // last as far as the data of the file reaches.
    if (reach.known && s.duration != AV_NOPTS_VALUE && s.duration > 0 && st->start_time != AV_NOPTS_VALUE) {
        const std::int64_t streamEnd = reach.last + heldFor(reach, held.end);
        const std::int64_t claimed =
            av_rescale_q(av_sat_add64(st->start_time, s.duration), st->time_base, AV_TIME_BASE_Q);
        if (claimed > streamEnd + reach.step) {
            s.duration = std::max<std::int64_t>(
                av_rescale_q(streamEnd, AV_TIME_BASE_Q, st->time_base) - st->start_time, 0);
            s.lengthCut = true;
        }
    }
    return s;
}

}  // namespace

Result<std::shared_ptr<const SourceInfo>> probeSource(const std::filesystem::path& path, bool preciseDuration) {
    auto opened = openToProbe(path);
    if (!opened) return opened.error();
    AVFormatContext* ctx = opened.value().get();

    auto info = std::make_shared<SourceInfo>();
    info->path = path;
    info->format = ctx->iformat;
    info->origin = timelineOrigin(ctx);

    auto data = measureDataHeld(ctx);
    if (!data) return data.error();
    // A claim shorter than the data, or within a frame of it, stands; a longer one gives
    // way to the data, and so does no claim at all.
    std::int64_t end = claimedEnd(ctx, preciseDuration);
    const DataHeld& held = data.value();
    if (held.end != AV_NOPTS_VALUE && (end == AV_NOPTS_VALUE || end > held.end + held.frame)) end = held.end;
    info->durationUs = end == AV_NOPTS_VALUE ? 0 : std::max<std::int64_t>(end - info->origin, 0);
    if (isStillImageFormat(ctx->iformat)) info->durationUs = 0;
    info->surveyed = held.surveyed;

    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        auto stream = describeStream(ctx, ctx->streams[i], held);
        if (!stream) return stream.error();
        info->streams.push_back(std::move(stream.value()));
    }
    return std::shared_ptr<const SourceInfo>(std::move(info));
}

Result<std::vector<double>> measureDataRates(const SourceInfo& source) {
    const std::size_t count = source.streams.size();
    std::vector<std::int64_t> bytes(count, 0);
    std::vector<std::int64_t> first(count, AV_NOPTS_VALUE);
    std::vector<std::int64_t> last(count, AV_NOPTS_VALUE);
    bool reachedEnd = true;
    if (source.surveyed) {
        for (std::size_t i = 0; i < count; ++i) bytes[i] = std::max<std::int64_t>(source.streams[i].packetBytes, 0);
    } else {
        auto opened = openInput(source.path, source.format, nullptr);
        if (!opened) return opened.error();
        // Enough packets for a steady figure without reading a long file to its end.
        constexpr std::int64_t kScanLimit = 64LL << 20;
        std::int64_t scanned = 0;
        auto read = readPackets(opened.value().get(), [&](const AVPacket& packet) {
            const auto i = static_cast<std::size_t>(packet.stream_index);
            if (i < count) {
                bytes[i] += packet.size;
                const std::int64_t ts = packetTime(packet);
                if (ts != AV_NOPTS_VALUE) {
                    const std::int64_t packetEnd = ts + std::max<std::int64_t>(packet.duration, 0);
                    first[i] = first[i] == AV_NOPTS_VALUE ? ts : std::min(first[i], ts);
                    last[i] = last[i] == AV_NOPTS_VALUE ? packetEnd : std::max(last[i], packetEnd);
                }
            }
            scanned += packet.size;
            return scanned <= kScanLimit;
        });
        if (!read) return read.error();
        reachedEnd = read.value();
    }
    std::vector<double> rates(count, 0.0);
    for (std::size_t i = 0; i < count; ++i) {
        const StreamInfo& stream = source.streams[i];
        double seconds = 0;
        if (reachedEnd) {
            seconds = streamTimeRange(source, stream).duration.seconds();
        } else if (first[i] != AV_NOPTS_VALUE && last[i] > first[i]) {
            seconds = static_cast<double>(last[i] - first[i]) * av_q2d(stream.timeBase);
        }
        rates[i] = rateOf(bytes[i], seconds);
    }
    return rates;
}

double rateOf(std::int64_t bytes, double seconds) {
    return seconds > 0 && std::isfinite(seconds) ? static_cast<double>(bytes) * 8.0 / seconds : 0.0;
}

Result<std::vector<bool>> streamsWithPackets(const SourceInfo& source, const std::vector<int>& streamIndexes) {
    std::vector<bool> asked(source.streams.size(), false);
    std::size_t missing = 0;
    for (const int index : streamIndexes) {
        if (index < 0 || static_cast<std::size_t>(index) >= asked.size()) continue;
        if (!asked[static_cast<std::size_t>(index)]) ++missing;
        asked[static_cast<std::size_t>(index)] = true;
    }
    std::vector<bool> found(source.streams.size(), false);
    if (missing == 0) return found;
    if (source.surveyed) {
        for (std::size_t i = 0; i < asked.size(); ++i) found[i] = asked[i] && source.streams[i].packets > 0;
        return found;
    }

    auto opened = openInput(source.path, source.format, nullptr);
    if (!opened) return opened.error();
    AVFormatContext* ctx = opened.value().get();
    // The other streams are passed over by the demuxer, without their data where it can
    // (MP4 skips them through its index).
    for (unsigned i = 0; i < ctx->nb_streams; ++i) {
        ctx->streams[i]->discard = i < asked.size() && asked[i] ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
    }
    // Only packets tell: a fragmented MP4's index lists no sample at all, even for the
    // tracks its fragments carry.
    auto read = readPackets(ctx, [&](const AVPacket& packet) {
        const auto i = static_cast<std::size_t>(packet.stream_index);
        if (i < asked.size() && asked[i] && !found[i]) {
            found[i] = true;
            --missing;
        }
        return missing > 0;
    });
    if (!read) return read.error();
    return found;
}

}  // namespace media::ff
