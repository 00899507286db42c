// The reading half of the FFmpeg media layer: assets on files, the reader that starts
// and stops its outputs, and the factory entry points.
#include "media/ffmpeg/reading/reading.h"

#include <algorithm>

#include "media/ffmpeg/libav.h"
#include "media/ffmpeg/reading/asset.h"
#include "media/ffmpeg/reading/outputs.h"
#include "media/ffmpeg/reading/reader.h"

namespace media::ff {
namespace {

class FileReader final : public AssetReader {
public:
    explicit FileReader(std::shared_ptr<const SourceInfo> source)
        : source_(std::move(source)), state_(std::make_shared<ReaderState>()) {}

    bool canAddOutput(const std::shared_ptr<AssetReaderOutput>& output) override {
        if (state_->status() != AssetReaderStatus::Unknown) return false;
        auto* hooks = dynamic_cast<ReadingOutput*>(output.get());
        if (hooks == nullptr || hooks->source() != source_.get()) return false;
        if (std::find(outputs_.begin(), outputs_.end(), output) != outputs_.end()) return false;
        return hooks->acceptable();
    }

    // An output the reader cannot take is not attached: reading starts without it.
    void addOutput(std::shared_ptr<AssetReaderOutput> output) override {
        if (!canAddOutput(output)) return;
        outputs_.push_back(std::move(output));
    }

    bool startReading() override {
        if (state_->status() != AssetReaderStatus::Unknown) return false;
        if (outputs_.empty()) {
            state_->fail(mediaError("the reader has no output"));
            return false;
        }
        for (const auto& output : outputs_) {
            if (auto error = dynamic_cast<ReadingOutput*>(output.get())->start(state_)) {
                state_->fail(*error);
                return false;
            }
        }
        state_->start(outputs_.size());
        return state_->status() == AssetReaderStatus::Reading;
    }

    AssetReaderStatus status() const override { return state_->status(); }
    std::optional<Error> error() const override { return state_->error(); }
    void cancelReading() override { state_->cancel(); }

private:
    std::shared_ptr<const SourceInfo> source_;
    std::shared_ptr<ReaderState> state_;
    std::vector<std::shared_ptr<AssetReaderOutput>> outputs_;
};

}  // namespace

AssetPtr makeAsset(const std::filesystem::path& url, const Settings& options) {
    const bool precise = options.get<bool>(AVURLAssetPreferPreciseDurationAndTimingKey).value_or(false);
    return std::make_shared<FileAsset>(std::make_shared<AssetCore>(url, precise));
}

Result<AssetReaderPtr> makeReader(const AssetPtr& asset) {
    auto* file = dynamic_cast<FileAsset*>(asset.get());
    if (file == nullptr) return mediaError("the asset is not a file of this media layer");
    auto source = file->core().source();
    if (!source) return source.error();
    // The outputs open the file again when reading starts; make sure it is still there.
    int access = avio_check(fileURL(source.value()->path).c_str(), AVIO_FLAG_READ);
    if (access >= 0 && (access & AVIO_FLAG_READ) == 0) access = AVERROR(EACCES);
    if (access < 0) return errorFromAV(access, "cannot open the file");
    return AssetReaderPtr(std::make_shared<FileReader>(source.value()));
}

std::shared_ptr<AssetReaderVideoCompositionOutput> makeVideoCompositionOutput(
    const std::vector<AssetTrackPtr>& videoTracks, const Settings& videoSettings) {
    return newVideoCompositionOutput(videoTracks, videoSettings);
}

std::shared_ptr<AssetReaderAudioMixOutput> makeAudioMixOutput(const std::vector<AssetTrackPtr>& audioTracks,
                                                              const Settings& audioSettings) {
    return newAudioMixOutput(audioTracks, audioSettings);
}

}  // namespace media::ff
