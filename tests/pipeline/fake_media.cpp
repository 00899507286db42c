#include "fake_media.h"

#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <utility>

namespace fake {

namespace {

const char* nameOf(media::MediaType type) { return type == media::MediaType::Video ? "video" : "audio"; }
int indexOf(media::MediaType type) { return type == media::MediaType::Video ? 0 : 1; }

}  // namespace

class Input;

struct World {
    explicit World(Script s) : script(std::move(s)) {}

    const Script script;
    mutable std::mutex mutex;
    std::vector<std::string> calls;
    int mirrorFd = -1;
    Seen seen;
    InputRecord inputs[2];
    std::weak_ptr<Input> inputObjects[2];
    std::atomic<int> liveBuffers{0};

    std::optional<std::filesystem::path> outputPath;  // once a writer exists
    media::AssetPtr source;
    std::atomic<bool> readerStarted{false};
    std::atomic<bool> readerCancelled{false};
    std::atomic<bool> writerFailed{false};

    void record(std::string call) {
        std::lock_guard lock(mutex);
        if (mirrorFd >= 0) {
            const std::string line = call + "\n";
            if (write(mirrorFd, line.data(), line.size()) < 0) {
                // The parent has gone; the log is only for it.
            }
        }
        calls.push_back(std::move(call));
    }
};

TrackScript videoTrack(std::string name) {
    TrackScript track;
    track.name = std::move(name);
    return track;
}

TrackScript soundTrack(std::string name, std::uint32_t channels) {
    TrackScript track;
    track.name = std::move(name);
    track.type = media::MediaType::Audio;
    track.estimatedDataRate = 64000.0f;
    media::FormatDescription description;
    description.mediaType = media::MediaType::Audio;
    media::AudioStreamBasicDescription stream;
    stream.sampleRate = 44100;
    stream.channelsPerFrame = channels;
    description.audio = stream;
    track.formatDescriptions = std::vector<media::FormatDescription>{description};
    return track;
}

std::vector<media::Time> evenlySpaced(int count, double step) {
    std::vector<media::Time> times;
    for (int i = 0; i < count; ++i) times.push_back(media::Time::fromSeconds(i * step, 600));
    return times;
}

// ---- Sample buffers ---------------------------------------------------------------------

class Buffer : public media::SampleBuffer {
public:
    Buffer(std::shared_ptr<World> world, media::Time pts) : world_(std::move(world)), pts_(pts) {
        ++world_->liveBuffers;
    }
    ~Buffer() override { --world_->liveBuffers; }
    media::Time presentationTimeStamp() const override { return pts_; }
    media::Time duration() const override { return media::Time::make(1, 30); }

private:
    std::shared_ptr<World> world_;
    media::Time pts_;
};

// ---- Assets ---------------------------------------------------------------------------

class Track : public media::AssetTrack {
public:
    Track(std::shared_ptr<World> world, TrackScript script, std::int32_t id)
        : world_(std::move(world)), script_(std::move(script)), id_(id) {}

    const std::string& name() const { return script_.name; }
    media::MediaType mediaType() const override { return script_.type; }
    std::int32_t trackID() const override { return id_; }

    media::Result<media::TimeRange> loadTimeRange() override { return load("loadTimeRange", script_.timeRange); }
    media::Result<media::Size> loadNaturalSize() override { return load("loadNaturalSize", script_.naturalSize); }
    media::Result<media::AffineTransform> loadPreferredTransform() override {
        return load("loadPreferredTransform", script_.preferredTransform);
    }
    media::Result<float> loadNominalFrameRate() override {
        return load("loadNominalFrameRate", script_.nominalFrameRate);
    }
    media::Result<float> loadEstimatedDataRate() override {
        return load("loadEstimatedDataRate", script_.estimatedDataRate);
    }
    media::Result<std::vector<media::FormatDescription>> loadFormatDescriptions() override {
        return load("loadFormatDescriptions", script_.formatDescriptions);
    }

private:
    template <class T>
    T load(const char* what, const T& result) {
        world_->record(script_.name + "." + what);
        return result;
    }

    std::shared_ptr<World> world_;
    TrackScript script_;
    std::int32_t id_;
};

std::string trackNames(const std::vector<media::AssetTrackPtr>& tracks) {
    std::string names;
    for (const auto& track : tracks) {
        if (!names.empty()) names += ",";
        names += static_cast<const Track&>(*track).name();
    }
    return names;
}

class SourceAsset : public media::Asset {
public:
    explicit SourceAsset(std::shared_ptr<World> world) : world_(std::move(world)) {
        std::int32_t id = 1;
        for (const TrackScript& t : world_->script.videoTracks) video_.push_back(std::make_shared<Track>(world_, t, id++));
        for (const TrackScript& t : world_->script.audioTracks) audio_.push_back(std::make_shared<Track>(world_, t, id++));
    }

    media::Result<media::Time> loadDuration() override {
        world_->record("loadDuration");
        return world_->script.duration;
    }
    media::Result<std::vector<media::AssetTrackPtr>> loadTracks(media::MediaType type) override {
        world_->record(std::string("loadTracks(") + nameOf(type) + ")");
        const std::optional<media::Error>& error =
            type == media::MediaType::Video ? world_->script.videoListError : world_->script.audioListError;
        if (error) return *error;
        return type == media::MediaType::Video ? video_ : audio_;
    }

private:
    std::shared_ptr<World> world_;
    std::vector<media::AssetTrackPtr> video_;
    std::vector<media::AssetTrackPtr> audio_;
};

// The finished file, opened again for the check that it carries sound.
class OutputAsset : public media::Asset {
public:
    explicit OutputAsset(std::shared_ptr<World> world) : world_(std::move(world)) {}

    media::Result<media::Time> loadDuration() override {
        world_->record("output.loadDuration");
        return world_->script.duration;
    }
    media::Result<std::vector<media::AssetTrackPtr>> loadTracks(media::MediaType type) override {
        world_->record(std::string("output.loadTracks(") + nameOf(type) + ")");
        if (type == media::MediaType::Audio && world_->script.outputAudioListError) {
            return *world_->script.outputAudioListError;
        }
        std::vector<media::AssetTrackPtr> tracks;
        const int count = type == media::MediaType::Audio ? world_->script.outputAudioTracks : 1;
        for (int i = 0; i < count; ++i) {
            TrackScript t = type == media::MediaType::Audio ? soundTrack("out-a", 1) : videoTrack("out-v");
            tracks.push_back(std::make_shared<Track>(world_, t, i + 1));
        }
        return tracks;
    }

private:
    std::shared_ptr<World> world_;
};

// ---- Reader ---------------------------------------------------------------------------

class VideoOutput : public media::AssetReaderVideoCompositionOutput {
public:
    explicit VideoOutput(std::shared_ptr<World> world) : world_(std::move(world)) {}

    media::SampleBufferPtr copyNextSampleBuffer() override {
        if (!world_->readerStarted || world_->readerCancelled) return nullptr;
        if (next_ >= world_->script.videoPts.size()) return nullptr;
        return std::make_unique<Buffer>(world_, world_->script.videoPts[next_++]);
    }
    void setVideoComposition(const media::VideoComposition& composition) override {
        std::lock_guard lock(world_->mutex);
        world_->seen.composition = composition;
    }
    void setAlwaysCopiesSampleData(bool copies) override {
        std::lock_guard lock(world_->mutex);
        world_->seen.alwaysCopiesSampleData = copies;
    }

private:
    std::shared_ptr<World> world_;
    std::size_t next_ = 0;
};

class AudioOutput : public media::AssetReaderAudioMixOutput {
public:
    explicit AudioOutput(std::shared_ptr<World> world) : world_(std::move(world)) {}

    media::SampleBufferPtr copyNextSampleBuffer() override {
        if (!world_->readerStarted || world_->readerCancelled) return nullptr;
        if (next_ >= world_->script.audioBuffers) return nullptr;
        return std::make_unique<Buffer>(world_, media::Time::make(1024 * next_++, 48000));
    }
    void setAudioMix(const media::AudioMix& mix) override {
        world_->record("audio.setAudioMix");
        std::lock_guard lock(world_->mutex);
        world_->seen.audioMix = mix;
    }

private:
    std::shared_ptr<World> world_;
    int next_ = 0;
};

class Reader : public media::AssetReader {
public:
    explicit Reader(std::shared_ptr<World> world) : world_(std::move(world)) {}

    bool canAddOutput(const std::shared_ptr<media::AssetReaderOutput>& output) override {
        world_->record(std::string("reader.canAddOutput(") + nameOf(output->mediaType()) + ")");
        return output->mediaType() == media::MediaType::Video ? world_->script.acceptVideoOutput
                                                              : world_->script.acceptAudioOutput;
    }
    void addOutput(std::shared_ptr<media::AssetReaderOutput> output) override {
        world_->record(std::string("reader.addOutput(") + nameOf(output->mediaType()) + ")");
    }
    bool startReading() override {
        world_->record("reader.startReading");
        startAttempted_ = true;
        if (!world_->script.startReading) return false;
        world_->readerStarted = true;
        return true;
    }
    media::AssetReaderStatus status() const override {
        if (world_->readerCancelled) return media::AssetReaderStatus::Cancelled;
        if (!startAttempted_) return media::AssetReaderStatus::Unknown;
        if (!world_->readerStarted || world_->script.readerFails) return media::AssetReaderStatus::Failed;
        return media::AssetReaderStatus::Reading;
    }
    std::optional<media::Error> error() const override { return world_->script.readerError; }
    void cancelReading() override {
        world_->record("reader.cancelReading");
        world_->readerCancelled = true;
    }

private:
    std::shared_ptr<World> world_;
    std::atomic<bool> startAttempted_{false};
};

// ---- Writer ---------------------------------------------------------------------------

class Input : public media::AssetWriterInput, public std::enable_shared_from_this<Input> {
public:
    Input(std::shared_ptr<World> world, media::MediaType type) : world_(std::move(world)), type_(type) {}

    media::MediaType mediaType() const override { return type_; }
    void setExpectsMediaDataInRealTime(bool realTime) override {
        std::lock_guard lock(world_->mutex);
        (type_ == media::MediaType::Video ? world_->seen.videoExpectsRealTime : world_->seen.audioExpectsRealTime) =
            realTime;
    }

    // The block first runs at once, then again each time the input has room after
    // being full, and once more after the input is finished (the pump must ignore it).
    void requestMediaDataWhenReadyOnQueue(std::shared_ptr<media::SerialQueue> queue,
                                          std::function<void()> block) override {
        world_->record(std::string(nameOf(type_)) + ".requestMediaDataWhenReadyOnQueue(" + queue->label() + ")");
        {
            std::lock_guard lock(world_->mutex);
            record().queueLabel = queue->label();
        }
        block_ = std::move(block);
        queue_ = std::move(queue);
        schedule();
    }
    bool isReadyForMoreMediaData() const override { return ready_; }

    bool appendSampleBuffer(const media::SampleBuffer& buffer) override {
        std::lock_guard lock(world_->mutex);
        InputRecord& r = record();
        r.maxLiveBuffersAtAppend = std::max(r.maxLiveBuffersAtAppend, world_->liveBuffers.load());
        const int index = static_cast<int>(r.appendedSeconds.size()) + r.refusedAppends;
        if (type_ == media::MediaType::Video && index == world_->script.refuseVideoAppendAt) {
            world_->writerFailed = true;
        }
        if (world_->writerFailed) {
            ++r.refusedAppends;
            return false;
        }
        r.appendedSeconds.push_back(buffer.presentationTimeStamp().seconds());
        if (++sinceReady_ >= world_->script.appendsPerReadiness) ready_ = false;
        return true;
    }
    void markAsFinished() override {
        world_->record(std::string(nameOf(type_)) + ".markAsFinished");
        std::lock_guard lock(world_->mutex);
        ++record().finishedMarks;
        finished_ = true;
    }

    // Runs the block once more on its queue, and returns after it ran.
    void invokeAgain() {
        media::Semaphore done(0);
        queue_->async([this, &done] {
            ready_ = true;
            runBlock();
            done.signal();
        });
        done.wait();
    }

private:
    InputRecord& record() { return world_->inputs[indexOf(type_)]; }

    // A queued run holds the input only weakly, so a test that lets go of the input
    // ends the runs; a run under way holds it to its end, even when the pump's block
    // inside it drops the last other reference.
    void schedule() {
        queue_->async([weak = weak_from_this()] {
            if (auto self = weak.lock()) self->becomeReady();
        });
    }
    void becomeReady() {
        ready_ = true;
        sinceReady_ = 0;
        runBlock();
        if (!finished_) {
            schedule();
        } else if (!straggled_) {
            straggled_ = true;
            schedule();
        }
    }
    void runBlock() {
        {
            std::lock_guard lock(world_->mutex);
            ++record().blockRuns;
            record().blockAlwaysOnQueue = record().blockAlwaysOnQueue && queue_->isCurrent();
        }
        block_();
    }

    std::shared_ptr<World> world_;
    media::MediaType type_;
    std::function<void()> block_;
    std::atomic<bool> ready_{false};
    int sinceReady_ = 0;       // touched on the queue only
    bool finished_ = false;    // touched on the queue only
    bool straggled_ = false;   // touched on the queue only
    std::shared_ptr<media::SerialQueue> queue_;
};

class Writer : public media::AssetWriter {
public:
    explicit Writer(std::shared_ptr<World> world)
        : world_(std::move(world)), completion_(std::make_shared<media::SerialQueue>("fake-writer")) {}

    void setShouldOptimizeForNetworkUse(bool optimize) override {
        std::lock_guard lock(world_->mutex);
        world_->seen.optimizeForNetworkUse = optimize;
    }
    bool canApplyOutputSettings(const media::Settings& settings, media::MediaType type) override {
        world_->record(std::string("writer.canApplyOutputSettings(") + nameOf(type) + ")");
        const std::int64_t bitrate = settings.get<std::int64_t>(media::AVEncoderBitRateKey).value_or(-1);
        std::lock_guard lock(world_->mutex);
        world_->seen.audioBitrateProbes.push_back(bitrate);
        return !world_->script.acceptedAudioBitrates || world_->script.acceptedAudioBitrates->count(bitrate) != 0;
    }
    bool canAddInput(const media::AssetWriterInputPtr& input) override {
        world_->record(std::string("writer.canAddInput(") + nameOf(input->mediaType()) + ")");
        return input->mediaType() == media::MediaType::Video ? world_->script.acceptVideoInput
                                                             : world_->script.acceptAudioInput;
    }
    void addInput(media::AssetWriterInputPtr input) override {
        world_->record(std::string("writer.addInput(") + nameOf(input->mediaType()) + ")");
    }
    bool startWriting() override {
        world_->record("writer.startWriting");
        if (!world_->script.startWriting) return false;
        if (world_->script.outputCreated == OutputCreated::AtStartWriting) createOutput(*world_->outputPath);
        return true;
    }
    void startSessionAtSourceTime(media::Time time) override {
        world_->record(time == media::Time::zero() ? "writer.startSessionAtSourceTime(zero)"
                                                   : "writer.startSessionAtSourceTime(other)");
    }
    void finishWriting(std::function<void()> completionHandler) override {
        world_->record("writer.finishWriting");
        completion_->async([this, handler = std::move(completionHandler)] {
            finished_ = true;
            handler();
        });
    }
    media::AssetWriterStatus status() const override {
        if (!world_->script.startWriting || world_->writerFailed) return media::AssetWriterStatus::Failed;
        return finished_ ? world_->script.statusAfterFinishing : media::AssetWriterStatus::Writing;
    }
    std::optional<media::Error> error() const override { return world_->script.writerError; }
    void cancelWriting() override { world_->record("writer.cancelWriting"); }

    // The partial file a real writer leaves while it works.
    static void createOutput(const std::filesystem::path& path) { std::ofstream(path) << "partial output"; }

private:
    std::shared_ptr<World> world_;
    std::atomic<bool> finished_{false};
    std::shared_ptr<media::SerialQueue> completion_;
};

// ---- The factory ------------------------------------------------------------------------

Framework::Framework(Script script) : world_(std::make_shared<World>(std::move(script))) {}
// The source asset and the tracks the job handed over keep the world that keeps them:
// let go of them with the framework.
Framework::~Framework() {
    std::lock_guard lock(world_->mutex);
    world_->source.reset();
    world_->seen = {};
}

void Framework::mirrorCallsTo(int fd) {
    std::lock_guard lock(world_->mutex);
    world_->mirrorFd = fd;
}

std::vector<std::string> Framework::calls() const {
    std::lock_guard lock(world_->mutex);
    return world_->calls;
}

Seen Framework::seen() const {
    std::lock_guard lock(world_->mutex);
    return world_->seen;
}

InputRecord Framework::input(media::MediaType type) const {
    std::lock_guard lock(world_->mutex);
    return world_->inputs[indexOf(type)];
}

int Framework::liveBuffers() const { return world_->liveBuffers; }

void Framework::invokeBlockAgain(media::MediaType type) {
    std::shared_ptr<Input> input;
    {
        std::lock_guard lock(world_->mutex);
        input = world_->inputObjects[indexOf(type)].lock();
    }
    if (input) input->invokeAgain();
}

media::AssetPtr Framework::makeURLAsset(const std::filesystem::path& url, const media::Settings& options) {
    const bool isOutput = world_->outputPath && *world_->outputPath == url;
    world_->record(std::string("makeURLAsset(") + (isOutput ? "output" : "source") + ", " +
                   std::to_string(options.size()) + " options)");
    {
        std::lock_guard lock(world_->mutex);
        world_->seen.assetOptions.push_back(options);
    }
    if (isOutput) return std::make_shared<OutputAsset>(world_);
    if (!world_->source) world_->source = std::make_shared<SourceAsset>(world_);
    return world_->source;
}

media::Result<media::AssetReaderPtr> Framework::makeAssetReader(const media::AssetPtr&) {
    world_->record("makeAssetReader");
    if (world_->script.readerCreationError) return *world_->script.readerCreationError;
    return media::AssetReaderPtr(std::make_shared<Reader>(world_));
}

media::Result<media::AssetWriterPtr> Framework::makeAssetWriter(const std::filesystem::path& url,
                                                                media::FileType type) {
    world_->record("makeAssetWriter");
    if (world_->script.writerCreationError) return *world_->script.writerCreationError;
    {
        std::lock_guard lock(world_->mutex);
        world_->seen.fileType = type;
        world_->outputPath = url;
    }
    if (world_->script.outputCreated == OutputCreated::AtWriterCreation) Writer::createOutput(url);
    return media::AssetWriterPtr(std::make_shared<Writer>(world_));
}

std::shared_ptr<media::AssetReaderVideoCompositionOutput> Framework::makeVideoCompositionOutput(
    const std::vector<media::AssetTrackPtr>& videoTracks, const media::Settings& videoSettings) {
    world_->record("makeVideoCompositionOutput(" + trackNames(videoTracks) + ")");
    std::lock_guard lock(world_->mutex);
    world_->seen.videoOutputTracks = videoTracks;
    world_->seen.readerPictureSettings = videoSettings;
    return std::make_shared<VideoOutput>(world_);
}

std::shared_ptr<media::AssetReaderAudioMixOutput> Framework::makeAudioMixOutput(
    const std::vector<media::AssetTrackPtr>& audioTracks, const media::Settings& audioSettings) {
    world_->record("makeAudioMixOutput(" + trackNames(audioTracks) + ")");
    std::lock_guard lock(world_->mutex);
    world_->seen.audioOutputTracks = audioTracks;
    world_->seen.audioDecodeSettings = audioSettings;
    return std::make_shared<AudioOutput>(world_);
}

media::AssetWriterInputPtr Framework::makeAssetWriterInput(media::MediaType type,
                                                           const media::Settings& outputSettings) {
    world_->record(std::string("makeAssetWriterInput(") + nameOf(type) + ")");
    auto input = std::make_shared<Input>(world_, type);
    std::lock_guard lock(world_->mutex);
    (type == media::MediaType::Video ? world_->seen.videoInputSettings : world_->seen.audioInputSettings) =
        outputSettings;
    world_->inputObjects[indexOf(type)] = input;
    return input;
}

}  // namespace fake
