// The MP4 writer and its inputs.
//
// Each input encodes on the thread that appends to it (its pump's queue), so video and
// sound encode in parallel; finished packets go to the one muxer under muxMutex_.
// Readiness paces the inputs against each other: an input more than kMaxLeadSeconds of
// media ahead of another unfinished input waits, which keeps the muxer's interleaving
// buffers small and the file well interleaved. The readiness callbacks are driven by
// state changes only (start, appends, inputs finishing, failure), never by polling.
#include "media/ffmpeg/writing/writer.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/opt.h>
}

#include "media/ffmpeg/libav.h"
#include "media/ffmpeg/writing/encoder.h"
#include "media/ffmpeg/writing/settings.h"

namespace media::ff {
namespace {

constexpr double kMaxLeadSeconds = 0.5;

class Writer;

class Input final : public AssetWriterInput, public std::enable_shared_from_this<Input> {
public:
    Input(MediaType type, Settings settings) : type_(type), settings_(std::move(settings)) {}

    MediaType mediaType() const override { return type_; }
    // Our sources are files, read as fast as they encode; a live source would pace
    // itself the same way, so the flag changes nothing here.
    void setExpectsMediaDataInRealTime(bool) override {}
    void requestMediaDataWhenReadyOnQueue(std::shared_ptr<SerialQueue> queue, std::function<void()> block) override;
    bool isReadyForMoreMediaData() const override;
    bool appendSampleBuffer(const SampleBuffer& buffer) override;
    void markAsFinished() override;

    // ---- For the writer ----

    // Reads the settings and opens the encoder, once; the error when either fails.
    std::optional<Error> prepare();
    const AVCodecContext* codecContext() const { return encoder_ ? encoder_->context() : nullptr; }
    void attach(std::weak_ptr<Writer> writer, int streamIndex) {
        writer_ = std::move(writer);
        streamIndex_ = streamIndex;
    }
    bool attached() const { return !writer_.expired(); }
    bool finished() const { return finished_.load(); }
    double appendedEnd() const { return end_.load(); }
    // Offers one invocation of the block on its queue when the input is ready and none
    // is pending.
    void kick();
    // Encodes what the encoder holds back, once; the error when that fails.
    std::optional<Error> flushEncoder();
    // Takes no more data and makes no more callbacks, as when finishing the file.
    void stop();

private:
    void runBlock();
    PacketSink sinkFor(Writer& writer);

    const MediaType type_;
    const Settings settings_;

    std::weak_ptr<Writer> writer_;
    int streamIndex_ = -1;

    // The block, its queue and whether an invocation is pending.
    std::mutex blockMutex_;
    std::shared_ptr<SerialQueue> queue_;
    std::shared_ptr<const std::function<void()>> block_;
    bool scheduled_ = false;

    // Read by the other inputs' readiness without a lock.
    std::atomic<bool> finished_{false};
    std::atomic<double> end_{0.0};

    // The encoder is used by one thread at a time.
    std::mutex encodeMutex_;
    std::optional<Error> prepareError_;
    std::unique_ptr<StreamEncoder> encoder_;
    bool flushed_ = false;
};

class Writer final : public AssetWriter, public std::enable_shared_from_this<Writer> {
public:
    Writer(OutputFormatPtr format) : format_(std::move(format)) {}

    void setShouldOptimizeForNetworkUse(bool optimize) override { optimizeForNetworkUse_ = optimize; }
    bool canApplyOutputSettings(const Settings& outputSettings, MediaType type) override;
    bool canAddInput(const AssetWriterInputPtr& input) override;
    void addInput(AssetWriterInputPtr input) override;
    bool startWriting() override;
    void startSessionAtSourceTime(Time time) override;
    void finishWriting(std::function<void()> completionHandler) override;
    AssetWriterStatus status() const override { return status_.load(); }
    std::optional<Error> error() const override {
        std::lock_guard<std::mutex> lock(stateMutex_);
        return error_;
    }
    void cancelWriting() override;

    // ---- For the inputs ----

    bool readyFor(const Input& input) const;
    // Appends are taken while writing, until finishing starts.
    bool acceptsAppends() const { return status_.load() == AssetWriterStatus::Writing && !finishing_.load(); }
    bool cancelled() const { return status_.load() == AssetWriterStatus::Cancelled; }
    Time sessionStart() const {
        std::lock_guard<std::mutex> lock(stateMutex_);
        return sessionStart_;
    }
    std::optional<Error> writePacket(AVPacket* packet, int streamIndex, AVRational timeBase);
    // Puts the writer in the failed state (once) and wakes every waiting input, whose
    // next append is then refused.
    void fail(Error error);
    void kickAll() {
        for (const auto& input : inputs_) input->kick();
    }

private:
    void complete();
    void closeFile();  // with muxMutex_ held

    // Status and error; status_ is also read without the lock. Where both locks are
    // held, muxMutex_ is taken first.
    mutable std::mutex stateMutex_;
    std::atomic<AssetWriterStatus> status_{AssetWriterStatus::Unknown};
    std::atomic<bool> finishing_{false};
    std::optional<Error> error_;
    Time sessionStart_ = Time::zero();
    bool optimizeForNetworkUse_ = false;

    // Fixed once writing starts, so the pumps read it without a lock.
    std::vector<std::shared_ptr<Input>> inputs_;

    std::mutex muxMutex_;
    OutputFormatPtr format_;

    std::shared_ptr<SerialQueue> completionQueue_;
};

// ---- Input ---------------------------------------------------------------------

std::optional<Error> Input::prepare() {
    std::lock_guard<std::mutex> lock(encodeMutex_);
    if (encoder_ || prepareError_) return prepareError_;
    auto encoder = makeEncoder(type_, settings_);
    if (encoder) {
        encoder_ = std::move(encoder.value());
    } else {
        prepareError_ = encoder.error();
    }
    return prepareError_;
}

void Input::requestMediaDataWhenReadyOnQueue(std::shared_ptr<SerialQueue> queue, std::function<void()> block) {
    {
        std::lock_guard<std::mutex> lock(blockMutex_);
        queue_ = std::move(queue);
        block_ = queue_ && block ? std::make_shared<const std::function<void()>>(std::move(block)) : nullptr;
    }
    kick();
}

bool Input::isReadyForMoreMediaData() const {
    auto writer = writer_.lock();
    return writer && writer->readyFor(*this);
}

void Input::kick() {
    auto writer = writer_.lock();
    if (!writer) return;
    std::lock_guard<std::mutex> lock(blockMutex_);
    if (!block_ || scheduled_ || writer->cancelled() || !writer->readyFor(*this)) return;
    scheduled_ = true;
    queue_->async([self = shared_from_this()] { self->runBlock(); });
}

void Input::runBlock() {
    std::shared_ptr<const std::function<void()>> block;
    {
        std::lock_guard<std::mutex> lock(blockMutex_);
        auto writer = writer_.lock();
        // After a cancel no callback follows.
        if (writer && !writer->cancelled()) block = block_;
    }
    // The local reference keeps the block alive should it mark the input finished.
    if (block) (*block)();
    {
        std::lock_guard<std::mutex> lock(blockMutex_);
        scheduled_ = false;
    }
    // Readiness may have come back while the block was returning; ask again so the
    // wake-up is not lost.
    kick();
}

PacketSink Input::sinkFor(Writer& writer) {
    const AVRational timeBase = encoder_->context()->time_base;
    return [&writer, index = streamIndex_, timeBase](AVPacket* packet) {
        return writer.writePacket(packet, index, timeBase);
    };
}

bool Input::appendSampleBuffer(const SampleBuffer& buffer) {
    auto writer = writer_.lock();
    if (!writer || finished_.load() || !writer->acceptsAppends()) return false;
    const auto* frameBuffer = dynamic_cast<const FrameSampleBuffer*>(&buffer);
    std::optional<Error> error;
    if (frameBuffer == nullptr) {
        error = mediaError("the buffer does not come from this media layer's reader");
    } else {
        std::lock_guard<std::mutex> lock(encodeMutex_);
        if (!writer->acceptsAppends()) return false;
        error = encoder_->append(*frameBuffer, writer->sessionStart(), sinkFor(*writer));
        end_.store(encoder_->appendedEnd());
    }
    if (error) {
        writer->fail(*error);
        return false;
    }
    // This input's progress may let the others go on.
    writer->kickAll();
    return writer->acceptsAppends();
}

std::optional<Error> Input::flushEncoder() {
    auto writer = writer_.lock();
    if (!writer) return std::nullopt;
    std::lock_guard<std::mutex> lock(encodeMutex_);
    if (flushed_ || !encoder_) return std::nullopt;
    flushed_ = true;
    return encoder_->flush(sinkFor(*writer));
}

void Input::stop() {
    finished_ = true;
    // No more invocations: let go of the block (a running one keeps its own reference).
    std::lock_guard<std::mutex> lock(blockMutex_);
    block_.reset();
}

void Input::markAsFinished() {
    if (finished_.exchange(true)) return;
    stop();
    auto writer = writer_.lock();
    if (!writer) return;
    // Drain the encoder here, on this input's thread, while the other input goes on.
    if (writer->acceptsAppends()) {
        if (auto error = flushEncoder()) writer->fail(*error);
    }
    // The inputs that waited for this one may go on.
    writer->kickAll();
}

// ---- Writer --------------------------------------------------------------------

bool Writer::canApplyOutputSettings(const Settings& outputSettings, MediaType type) {
    return makeEncoder(type, outputSettings).ok();
}

bool Writer::canAddInput(const AssetWriterInputPtr& input) {
    auto ours = std::dynamic_pointer_cast<Input>(input);
    if (!ours || ours->attached() || status_.load() != AssetWriterStatus::Unknown) return false;
    if (std::find(inputs_.begin(), inputs_.end(), ours) != inputs_.end()) return false;
    // The encoder is opened here: this is where a caller learns that it cannot be.
    return !ours->prepare();
}

void Writer::addInput(AssetWriterInputPtr input) {
    if (!canAddInput(input)) return;
    auto ours = std::dynamic_pointer_cast<Input>(input);
    std::lock_guard<std::mutex> lock(muxMutex_);
    const AVCodecContext* context = ours->codecContext();
    AVStream* stream = avformat_new_stream(format_.get(), nullptr);
    const int ret = stream == nullptr ? AVERROR(ENOMEM) : avcodec_parameters_from_context(stream->codecpar, context);
    if (ret < 0) {
        // Nothing to return here; writing will not start.
        std::lock_guard<std::mutex> state(stateMutex_);
        status_ = AssetWriterStatus::Failed;
        error_ = errorFromAV(ret, "cannot add a track to the output");
        return;
    }
    stream->time_base = context->time_base;
    if (context->codec_type == AVMEDIA_TYPE_VIDEO) stream->avg_frame_rate = context->framerate;
    ours->attach(weak_from_this(), stream->index);
    inputs_.push_back(std::move(ours));
}

bool Writer::startWriting() {
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (status_.load() != AssetWriterStatus::Unknown) {
            if (!error_) {
                error_ = mediaError(status_.load() == AssetWriterStatus::Cancelled ? "writing was cancelled"
                                                                                   : "writing has started already");
            }
            return false;
        }
        if (inputs_.empty()) {
            status_ = AssetWriterStatus::Failed;
            error_ = mediaError("the writer has no inputs");
            return false;
        }
    }
    if (writerStartCheckedHook != nullptr) writerStartCheckedHook(*this);
    {
        // A cancel closes the file under this lock once it has set the status; one that
        // came since the check above has done so: no header goes into a closed file.
        std::lock_guard<std::mutex> lock(muxMutex_);
        if (format_->pb == nullptr || status_.load() != AssetWriterStatus::Unknown) return false;
        int ret = 0;
        // Moving the index to the front costs a second pass over the file; only on request.
        if (optimizeForNetworkUse_) ret = av_opt_set(format_->priv_data, "movflags", "+faststart", 0);
        if (ret >= 0) ret = avformat_write_header(format_.get(), nullptr);
        if (ret >= 0 && format_->pb->error < 0) ret = format_->pb->error;
        // The outcome is settled before the file is let go, so that a second start finds
        // it and writes no second header.
        std::lock_guard<std::mutex> state(stateMutex_);
        if (status_.load() != AssetWriterStatus::Unknown) return false;  // cancelled meanwhile
        if (ret < 0) {
            status_ = AssetWriterStatus::Failed;
            error_ = errorFromAV(ret, "cannot write the output file");
            return false;
        }
        status_ = AssetWriterStatus::Writing;
    }
    kickAll();
    return true;
}

void Writer::startSessionAtSourceTime(Time time) {
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (time.isNumeric()) sessionStart_ = time;
}

bool Writer::readyFor(const Input& input) const {
    if (input.finished()) return false;
    const AssetWriterStatus status = status_.load();
    // A failed or cancelled writer refuses appends at once: being "ready" lets a waiting
    // pump make that append and come to its end.
    if (status == AssetWriterStatus::Failed || status == AssetWriterStatus::Cancelled) return true;
    if (status != AssetWriterStatus::Writing || finishing_.load()) return false;
    const double end = input.appendedEnd();
    for (const auto& other : inputs_) {
        if (other.get() == &input || other->finished()) continue;
        if (end - other->appendedEnd() > kMaxLeadSeconds) return false;
    }
    return true;
}

std::optional<Error> Writer::writePacket(AVPacket* packet, int streamIndex, AVRational timeBase) {
    std::lock_guard<std::mutex> lock(muxMutex_);
    if (format_->pb == nullptr || status_.load() != AssetWriterStatus::Writing) {
        return mediaError("writing was stopped");
    }
    packet->stream_index = streamIndex;
    av_packet_rescale_ts(packet, timeBase, format_->streams[streamIndex]->time_base);
    int ret = av_interleaved_write_frame(format_.get(), packet);
    // A write error of the file (a full disk) may surface only in the I/O context.
    if (ret >= 0 && format_->pb->error < 0) ret = format_->pb->error;
    if (ret < 0) return errorFromAV(ret, "cannot write the output file");
    return std::nullopt;
}

void Writer::fail(Error error) {
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (status_.load() != AssetWriterStatus::Writing) return;
        error_ = std::move(error);
        status_ = AssetWriterStatus::Failed;
    }
    kickAll();
}

void Writer::closeFile() {
    if (format_->pb != nullptr) avio_closep(&format_->pb);
}

void Writer::cancelWriting() {
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        const AssetWriterStatus status = status_.load();
        if (status == AssetWriterStatus::Completed || status == AssetWriterStatus::Cancelled) return;
        if (status != AssetWriterStatus::Failed) status_ = AssetWriterStatus::Cancelled;
    }
    // Waits for a packet being written at most; every later write sees the status.
    std::lock_guard<std::mutex> lock(muxMutex_);
    closeFile();
}

void Writer::finishWriting(std::function<void()> completionHandler) {
    bool finish = false;
    std::shared_ptr<SerialQueue> queue;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        if (!completionQueue_) completionQueue_ = std::make_shared<SerialQueue>("writer.finish");
        queue = completionQueue_;
        if (status_.load() == AssetWriterStatus::Writing && !finishing_.load()) {
            finishing_ = true;
            finish = true;
        } else if (status_.load() == AssetWriterStatus::Unknown) {
            status_ = AssetWriterStatus::Failed;
            error_ = mediaError("writing has not started");
        }
    }
    // A second call waits behind the first on the same queue and sees its outcome.
    queue->async([self = shared_from_this(), finish, handler = std::move(completionHandler)]() mutable {
        if (finish) self->complete();
        // Let go before telling: the caller's last reference then tears the writer
        // down on the caller's thread, every queue it holds joined there, and nothing
        // of it is still being released behind a caller that has moved on or ended.
        self.reset();
        if (handler) handler();
    });
}

void Writer::complete() {
    // Inputs still open are finished now; their encoders give up what they hold.
    std::optional<Error> error;
    for (const auto& input : inputs_) input->stop();
    for (const auto& input : inputs_) {
        if (!error) error = input->flushEncoder();
    }
    int ret = 0;
    {
        std::lock_guard<std::mutex> lock(muxMutex_);
        if (!error && status_.load() == AssetWriterStatus::Writing) {
            ret = av_write_trailer(format_.get());
            if (ret >= 0 && format_->pb->error < 0) ret = format_->pb->error;
            // A full disk often shows only when the last buffer is flushed on closing.
            const int closed = avio_closep(&format_->pb);
            if (ret >= 0) ret = closed;
        }
        closeFile();
    }
    std::lock_guard<std::mutex> lock(stateMutex_);
    if (status_.load() != AssetWriterStatus::Writing) return;  // failed or cancelled meanwhile
    if (!error && ret < 0) error = errorFromAV(ret, "cannot write the output file");
    if (error) {
        error_ = std::move(error);
        status_ = AssetWriterStatus::Failed;
    } else {
        status_ = AssetWriterStatus::Completed;
    }
}

}  // namespace

Result<AssetWriterPtr> makeWriter(const std::filesystem::path& url, FileType type) {
    if (type != FileType::MPEG4) return mediaError("unsupported file type");
    // Only a file can take an MP4 file, which the muxer seeks back into to finish; opening
    // a named pipe to write would wait for a reader that never comes. (A directory is
    // left to the opening below, which says so.)
    struct stat info {};
    if (stat(url.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
        return mediaError("cannot create the output file: a pipe, socket or device stands at the path");
    }
    // The MP4 muxer whatever the extension: ".mov" and ".m4v" outputs are MPEG-4 too.
    const AVOutputFormat* mp4 = av_guess_format("mp4", nullptr, nullptr);
    if (mp4 == nullptr) return mediaError("the MP4 muxer is not available");
    // A colon in the path is never read as another protocol.
    const std::string location = fileURL(url);
    AVFormatContext* raw = nullptr;
    int ret = avformat_alloc_output_context2(&raw, mp4, nullptr, location.c_str());
    OutputFormatPtr format(raw);
    if (ret < 0 || !format) return errorFromAV(ret < 0 ? ret : AVERROR(ENOMEM), "cannot set up the MP4 writer");
    // Creating the file now is the test that it can be written there; nothing after
    // this can fail, so a refused writer never leaves a file behind.
    ret = avio_open(&format->pb, location.c_str(), AVIO_FLAG_WRITE);
    if (ret < 0) return errorFromAV(ret, "cannot create the output file");
    return AssetWriterPtr(std::make_shared<Writer>(std::move(format)));
}

AssetWriterInputPtr makeWriterInput(MediaType type, const Settings& outputSettings) {
    return std::make_shared<Input>(type, outputSettings);
}

}  // namespace media::ff
