// The reader: the state it shares with its outputs, the hooks through which it starts
// them, and the reader itself, which takes outputs on one asset and starts them together.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "media/ffmpeg/reading/source.h"

namespace media::ff {

// Status, error and the cancel flag, shared by a reader and its outputs, which may be
// pulled on different threads while another thread cancels.
class ReaderState {
public:
    // Read by every demuxer's interrupt callback and between decoding steps.
    const std::atomic<bool>* cancelFlag() const { return &cancelled_; }
    bool cancelled() const { return cancelled_.load(std::memory_order_relaxed); }

    AssetReaderStatus status() const;
    std::optional<Error> error() const;
    bool reading() const { return status() == AssetReaderStatus::Reading; }

    void start(std::size_t outputs);
    // Records the first failure; later ones and failures after a cancel are dropped.
    void fail(Error error);
    void cancel();
    // One output has delivered its last buffer; the last one completes the reader.
    void outputFinished();

private:
    std::atomic<bool> cancelled_{false};
    mutable std::mutex mutex_;
    AssetReaderStatus status_ = AssetReaderStatus::Unknown;
    std::optional<Error> error_;
    std::size_t unfinished_ = 0;
};

// What the reader needs of its outputs beyond the public interface.
class ReadingOutput {
public:
    virtual ~ReadingOutput() = default;
    // The probed source every track of the output belongs to, or null.
    virtual const SourceInfo* source() const = 0;
    // Whether the output's settings are ones we deliver and its tracks can be decoded.
    virtual bool acceptable() const = 0;
    // Opens demuxers and decoders; an error keeps the reader from starting.
    virtual std::optional<Error> start(std::shared_ptr<ReaderState> state) = 0;
};

// A reader on an asset of this layer; the file must still be there to be read.
Result<AssetReaderPtr> makeReader(const AssetPtr& asset);

}  // namespace media::ff
