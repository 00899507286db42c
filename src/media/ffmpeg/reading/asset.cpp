#include "media/ffmpeg/reading/asset.h"

#include "media/ffmpeg/reading/probe.h"
#include "media/ffmpeg/reading/track_values.h"

namespace media::ff {

Result<std::shared_ptr<const SourceInfo>> AssetCore::source() {
    std::lock_guard lock(mutex_);
    return source_.get([this] { return probeSource(path_, preciseDuration_); });
}

Result<double> AssetCore::measuredDataRate(int streamIndex) {
    auto src = source();
    if (!src) return src.error();
    std::lock_guard lock(mutex_);
    const auto& rates = rates_.get([&src] { return measureDataRates(*src.value()); });
    if (!rates) return rates.error();
    return rates.value()[static_cast<std::size_t>(streamIndex)];
}

Result<bool> AssetCore::soundHasPackets(int streamIndex) {
    auto src = source();
    if (!src) return src.error();
    std::lock_guard lock(mutex_);
    const auto& found = soundWithPackets_.get([&src] {
        // Every sound stream at once: one pass answers them all.
        std::vector<int> sound;
        for (const StreamInfo& stream : src.value()->streams) {
            if (stream.type == AVMEDIA_TYPE_AUDIO) sound.push_back(stream.index);
        }
        return streamsWithPackets(*src.value(), sound);
    });
    if (!found) return found.error();
    return static_cast<bool>(found.value()[static_cast<std::size_t>(streamIndex)]);
}

Result<Time> FileAsset::loadDuration() {
    auto src = core_->source();
    if (!src) return src.error();
    return src.value()->duration();
}

Result<std::vector<AssetTrackPtr>> FileAsset::loadTracks(MediaType type) {
    auto src = core_->source();
    if (!src) return src.error();
    std::vector<AssetTrackPtr> tracks;
    for (const StreamInfo& stream : src.value()->streams) {
        const bool wanted = type == MediaType::Video
                                ? stream.type == AVMEDIA_TYPE_VIDEO && !stream.attachedPicture
                                : stream.type == AVMEDIA_TYPE_AUDIO;
        if (wanted) tracks.push_back(std::make_shared<FileTrack>(core_, src.value(), stream.index, type));
    }
    return tracks;
}

Result<TimeRange> FileTrack::loadTimeRange() {
    // A sound track without a single sample is still given a length by the library (the
    // container's); it is empty.
    if (type_ == MediaType::Audio) {
        auto hasPackets = core_->soundHasPackets(index_);
        if (!hasPackets) return hasPackets.error();
        if (!hasPackets.value()) return TimeRange{Time::zero(), Time::zero()};
    }
    return streamTimeRange(*source_, stream());
}

Result<Size> FileTrack::loadNaturalSize() {
    if (type_ != MediaType::Video) return Size{0, 0};
    return naturalSize(stream());
}

Result<AffineTransform> FileTrack::loadPreferredTransform() {
    if (type_ != MediaType::Video || !stream().displayMatrix) return AffineTransform::identity();
    return transformFromDisplayMatrix(*stream().displayMatrix, naturalSize(stream()));
}

Result<float> FileTrack::loadNominalFrameRate() {
    if (type_ != MediaType::Video) return 0.0f;
    return nominalFrameRate(stream());
}

Result<float> FileTrack::loadEstimatedDataRate() {
    const StreamInfo& s = stream();
    // A container's rate for a stream whose claimed length was cut was worked out from
    // that length (MP4's is the bytes over it): not a measure of the data.
    if (s.bitRate > 0 && !s.lengthCut) return static_cast<float>(s.bitRate);
    if (s.indexedBytes > 0) {
        const double rate = rateOf(s.indexedBytes, streamTimeRange(*source_, s).duration.seconds());
        if (rate > 0) return static_cast<float>(rate);
    }
    auto measured = core_->measuredDataRate(index_);
    if (!measured) return measured.error();
    return static_cast<float>(measured.value());
}

Result<std::vector<FormatDescription>> FileTrack::loadFormatDescriptions() {
    const AVCodecParameters* par = stream().parameters.get();
    FormatDescription description;
    description.mediaType = type_;
    description.codecType = par->codec_tag != 0 ? par->codec_tag : static_cast<std::uint32_t>(par->codec_id);
    if (type_ == MediaType::Audio) {
        AudioStreamBasicDescription asbd;
        asbd.sampleRate = par->sample_rate;
        asbd.formatID = description.codecType;
        asbd.channelsPerFrame = static_cast<std::uint32_t>(std::max(par->ch_layout.nb_channels, 0));
        asbd.framesPerPacket = static_cast<std::uint32_t>(std::max(par->frame_size, 0));
        asbd.bitsPerChannel = static_cast<std::uint32_t>(std::max(par->bits_per_raw_sample, 0));
        description.audio = asbd;
    }
    return std::vector<FormatDescription>{description};
}

const FileTrack* firstFileTrack(const std::vector<AssetTrackPtr>& tracks) {
    return tracks.empty() ? nullptr : dynamic_cast<const FileTrack*>(tracks.front().get());
}

const SourceInfo* firstTrackSource(const std::vector<AssetTrackPtr>& tracks) {
    const FileTrack* first = firstFileTrack(tracks);
    return first != nullptr ? first->source().get() : nullptr;
}

AssetPtr makeAsset(const std::filesystem::path& url, const Settings& options) {
    const bool precise = options.get<bool>(AVURLAssetPreferPreciseDurationAndTimingKey).value_or(false);
    return std::make_shared<FileAsset>(std::make_shared<AssetCore>(url, precise));
}

}  // namespace media::ff
