#include "media/ffmpeg/reading/reader.h"

#include <algorithm>
#include <cerrno>

#include "media/ffmpeg/reading/asset.h"

namespace media::ff {

// ---- Shared state -----------------------------------------------------------------

AssetReaderStatus ReaderState::status() const {
    std::lock_guard lock(mutex_);
    return status_;
}

std::optional<Error> ReaderState::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

void ReaderState::start(std::size_t outputs) {
    std::lock_guard lock(mutex_);
    unfinished_ = outputs;
    if (status_ == AssetReaderStatus::Unknown) status_ = AssetReaderStatus::Reading;
}

void ReaderState::fail(Error error) {
    std::lock_guard lock(mutex_);
    if (status_ == AssetReaderStatus::Cancelled || status_ == AssetReaderStatus::Failed) return;
    status_ = AssetReaderStatus::Failed;
    error_ = std::move(error);
}

void ReaderState::cancel() {
    cancelled_.store(true, std::memory_order_relaxed);
    std::lock_guard lock(mutex_);
    if (status_ == AssetReaderStatus::Unknown || status_ == AssetReaderStatus::Reading) {
        status_ = AssetReaderStatus::Cancelled;
    }
}

void ReaderState::outputFinished() {
    std::lock_guard lock(mutex_);
    if (unfinished_ > 0) --unfinished_;
    if (unfinished_ == 0 && status_ == AssetReaderStatus::Reading) status_ = AssetReaderStatus::Completed;
}

// ---- The reader --------------------------------------------------------------------

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

}  // namespace media::ff
