// The asset on a file and its tracks: the loads answered from one probe of the file.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "media/ffmpeg/reading/source.h"

namespace media::ff {

// A load made once: the value or the error of the first call's load, kept for every
// later call. The caller serialises the calls.
template <typename T>
class LoadedOnce {
public:
    template <typename Load>
    const Result<T>& get(Load&& load) {
        if (!result_) result_.emplace(load());
        return *result_;
    }

private:
    std::optional<Result<T>> result_;
};

// What an asset and its tracks share: the probe, made once; the measured data rates,
// made once when a track without a container figure first asks; and which sound
// tracks hold any packet, found once when the first sound track's range is asked. When
// the probe read every packet to measure the length, both come from that pass.
class AssetCore {
public:
    AssetCore(std::filesystem::path path, bool preciseDuration)
        : path_(std::move(path)), preciseDuration_(preciseDuration) {}

    Result<std::shared_ptr<const SourceInfo>> source();
    Result<double> measuredDataRate(int streamIndex);
    // Whether the sound stream holds at least one packet.
    Result<bool> soundHasPackets(int streamIndex);

private:
    std::filesystem::path path_;
    bool preciseDuration_;
    std::mutex mutex_;
    LoadedOnce<std::shared_ptr<const SourceInfo>> source_;
    LoadedOnce<std::vector<double>> rates_;
    LoadedOnce<std::vector<bool>> soundWithPackets_;
};

class FileAsset final : public Asset {
public:
    explicit FileAsset(std::shared_ptr<AssetCore> core) : core_(std::move(core)) {}
    Result<Time> loadDuration() override;
    Result<std::vector<AssetTrackPtr>> loadTracks(MediaType type) override;
    AssetCore& core() { return *core_; }

private:
    std::shared_ptr<AssetCore> core_;
};

class FileTrack final : public AssetTrack {
public:
    FileTrack(std::shared_ptr<AssetCore> core, std::shared_ptr<const SourceInfo> source, int streamIndex,
              MediaType type)
        : core_(std::move(core)), source_(std::move(source)), index_(streamIndex), type_(type) {}

    MediaType mediaType() const override { return type_; }
    std::int32_t trackID() const override { return stream().trackID; }
    Result<TimeRange> loadTimeRange() override;
    Result<Size> loadNaturalSize() override;
    Result<AffineTransform> loadPreferredTransform() override;
    Result<float> loadNominalFrameRate() override;
    Result<float> loadEstimatedDataRate() override;
    Result<std::vector<FormatDescription>> loadFormatDescriptions() override;

    const std::shared_ptr<const SourceInfo>& source() const { return source_; }
    const StreamInfo& stream() const { return source_->streams[static_cast<std::size_t>(index_)]; }

private:
    std::shared_ptr<AssetCore> core_;
    std::shared_ptr<const SourceInfo> source_;
    int index_;
    MediaType type_;
};

// The first of an output's tracks as a track of this layer; null when there is none or
// it is not one of ours.
const FileTrack* firstFileTrack(const std::vector<AssetTrackPtr>& tracks);
// The probed source of that track, which an output's tracks must all share; or null.
const SourceInfo* firstTrackSource(const std::vector<AssetTrackPtr>& tracks);

// An asset on the file at url; nothing is read until a load asks.
AssetPtr makeAsset(const std::filesystem::path& url, const Settings& options);

}  // namespace media::ff
