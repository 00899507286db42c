// What the job asks of a media framework: assets and their loads, a reader with a
// composed-video output and a mixed-sound output, a writer with encoder inputs.
// The FFmpeg implementation stands behind makeFFmpegFramework(); tests use a fake.
//
// Loads are synchronous here: each call returns once the value or the error is known,
// which is how the job waits for one load at a time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "media/dispatch.h"
#include "media/error.h"
#include "media/keys.h"
#include "media/settings.h"
#include "media/values.h"

namespace media {

// ---- Sample buffers and format descriptions -------------------------------------

// One decoded picture or block of sound, handed over by a reader output.
class SampleBuffer {
public:
    virtual ~SampleBuffer() = default;
    virtual Time presentationTimeStamp() const = 0;
    virtual Time duration() const = 0;
};
using SampleBufferPtr = std::unique_ptr<SampleBuffer>;

inline Time getPresentationTimeStamp(const SampleBuffer& buffer) {
    return buffer.presentationTimeStamp();
}

struct AudioStreamBasicDescription {
    double sampleRate = 0;
    std::uint32_t formatID = 0;
    std::uint32_t framesPerPacket = 0;
    std::uint32_t channelsPerFrame = 0;
    std::uint32_t bitsPerChannel = 0;
};

struct FormatDescription {
    MediaType mediaType = MediaType::Video;
    std::uint32_t codecType = 0;  // implementation's codec identifier
    std::optional<AudioStreamBasicDescription> audio;  // present for sound formats
};

// The stream description of a sound format description, or none.
inline std::optional<AudioStreamBasicDescription> getStreamBasicDescription(
    const FormatDescription& description) {
    if (description.mediaType != MediaType::Audio) return std::nullopt;
    return description.audio;
}

// ---- Assets -----------------------------------------------------------------------

class AssetTrack {
public:
    virtual ~AssetTrack() = default;
    virtual MediaType mediaType() const = 0;
    virtual std::int32_t trackID() const = 0;

    virtual Result<TimeRange> loadTimeRange() = 0;
    virtual Result<Size> loadNaturalSize() = 0;
    virtual Result<AffineTransform> loadPreferredTransform() = 0;
    virtual Result<float> loadNominalFrameRate() = 0;
    virtual Result<float> loadEstimatedDataRate() = 0;  // bits per second
    virtual Result<std::vector<FormatDescription>> loadFormatDescriptions() = 0;
};
using AssetTrackPtr = std::shared_ptr<AssetTrack>;

class Asset {
public:
    virtual ~Asset() = default;
    virtual Result<Time> loadDuration() = 0;
    // Tracks of one media type, in the file's order.
    virtual Result<std::vector<AssetTrackPtr>> loadTracks(MediaType type) = 0;
};
using AssetPtr = std::shared_ptr<Asset>;

// ---- Composition and mix (plain values) -------------------------------------------

struct VideoCompositionLayerInstruction {
    AssetTrackPtr track;
    AffineTransform transform;
    Time transformTime = Time::zero();

    static VideoCompositionLayerInstruction withAssetTrack(AssetTrackPtr t) {
        VideoCompositionLayerInstruction layer;
        layer.track = std::move(t);
        return layer;
    }
    void setTransform(const AffineTransform& t, Time atTime) {
        transform = t;
        transformTime = atTime;
    }
};

struct VideoCompositionInstruction {
    TimeRange timeRange;
    std::vector<VideoCompositionLayerInstruction> layerInstructions;
};

struct VideoComposition {
    Size renderSize;
    Time frameDuration;
    std::string colorPrimaries;
    std::string colorTransferFunction;
    std::string colorYCbCrMatrix;
    std::vector<VideoCompositionInstruction> instructions;
};

struct AudioMixInputParameters {
    AssetTrackPtr track;
    float volume = 1.0f;
    Time volumeTime = Time::zero();

    static AudioMixInputParameters withTrack(AssetTrackPtr t) {
        AudioMixInputParameters p;
        p.track = std::move(t);
        return p;
    }
    void setVolume(float v, Time atTime) {
        volume = v;
        volumeTime = atTime;
    }
};

struct AudioMix {
    std::vector<AudioMixInputParameters> inputParameters;
};

// ---- Reader -----------------------------------------------------------------------

class AssetReaderOutput {
public:
    virtual ~AssetReaderOutput() = default;
    virtual MediaType mediaType() const = 0;
    // The next buffer, or none once the output is exhausted, the reader has failed or
    // reading was cancelled.
    virtual SampleBufferPtr copyNextSampleBuffer() = 0;
};

class AssetReaderVideoCompositionOutput : public AssetReaderOutput {
public:
    MediaType mediaType() const override { return MediaType::Video; }
    virtual void setVideoComposition(const VideoComposition& composition) = 0;
    virtual void setAlwaysCopiesSampleData(bool copies) = 0;
};

class AssetReaderAudioMixOutput : public AssetReaderOutput {
public:
    MediaType mediaType() const override { return MediaType::Audio; }
    virtual void setAudioMix(const AudioMix& mix) = 0;
};

enum class AssetReaderStatus : int { Unknown = 0, Reading = 1, Completed = 2, Failed = 3, Cancelled = 4 };

class AssetReader {
public:
    virtual ~AssetReader() = default;
    virtual bool canAddOutput(const std::shared_ptr<AssetReaderOutput>& output) = 0;
    virtual void addOutput(std::shared_ptr<AssetReaderOutput> output) = 0;
    virtual bool startReading() = 0;
    virtual AssetReaderStatus status() const = 0;
    virtual std::optional<Error> error() const = 0;
    // Callable from any thread at any moment.
    virtual void cancelReading() = 0;
};
using AssetReaderPtr = std::shared_ptr<AssetReader>;

// ---- Writer -----------------------------------------------------------------------

class AssetWriterInput {
public:
    virtual ~AssetWriterInput() = default;
    virtual MediaType mediaType() const = 0;
    virtual void setExpectsMediaDataInRealTime(bool realTime) = 0;
    // The block runs on queue, again and again, whenever the input can take more,
    // until the input is marked finished.
    virtual void requestMediaDataWhenReadyOnQueue(std::shared_ptr<SerialQueue> queue,
                                                  std::function<void()> block) = 0;
    virtual bool isReadyForMoreMediaData() const = 0;
    // False when the writer refused the buffer (it has failed or was cancelled).
    virtual bool appendSampleBuffer(const SampleBuffer& buffer) = 0;
    virtual void markAsFinished() = 0;
};
using AssetWriterInputPtr = std::shared_ptr<AssetWriterInput>;

enum class AssetWriterStatus : int { Unknown = 0, Writing = 1, Completed = 2, Failed = 3, Cancelled = 4 };

class AssetWriter {
public:
    virtual ~AssetWriter() = default;
    virtual void setShouldOptimizeForNetworkUse(bool optimize) = 0;
    virtual bool canApplyOutputSettings(const Settings& outputSettings, MediaType type) = 0;
    virtual bool canAddInput(const AssetWriterInputPtr& input) = 0;
    virtual void addInput(AssetWriterInputPtr input) = 0;
    virtual bool startWriting() = 0;
    virtual void startSessionAtSourceTime(Time time) = 0;
    // Completes the file on another thread, then calls the handler exactly once.
    virtual void finishWriting(std::function<void()> completionHandler) = 0;
    virtual AssetWriterStatus status() const = 0;
    virtual std::optional<Error> error() const = 0;
    // Callable from any thread at any moment.
    virtual void cancelWriting() = 0;
};
using AssetWriterPtr = std::shared_ptr<AssetWriter>;

// ---- The factory the job creates everything through --------------------------------

// What the hardware encoders open once a job runs, beyond its own two files: the
// machine's encoder devices and the driver files they load, as present at start-up.
struct HardwareAccess {
    std::vector<std::filesystem::path> readable;  // driver files and folders
    std::vector<std::filesystem::path> listable;  // folders searched for device nodes
    std::vector<std::filesystem::path> devices;   // nodes opened for reading and writing
};

class Framework {
public:
    virtual ~Framework() = default;

    // Never fails; a file that cannot be opened makes the first load fail.
    virtual AssetPtr makeURLAsset(const std::filesystem::path& url, const Settings& options) = 0;
    virtual Result<AssetReaderPtr> makeAssetReader(const AssetPtr& asset) = 0;
    virtual Result<AssetWriterPtr> makeAssetWriter(const std::filesystem::path& url, FileType type) = 0;

    virtual std::shared_ptr<AssetReaderVideoCompositionOutput> makeVideoCompositionOutput(
        const std::vector<AssetTrackPtr>& videoTracks, const Settings& videoSettings) = 0;
    virtual std::shared_ptr<AssetReaderAudioMixOutput> makeAudioMixOutput(
        const std::vector<AssetTrackPtr>& audioTracks, const Settings& audioSettings) = 0;
    virtual AssetWriterInputPtr makeAssetWriterInput(MediaType type, const Settings& outputSettings) = 0;

    // Nothing for a framework without hardware encoders.
    virtual HardwareAccess hardwareAccess() const { return {}; }
};

}  // namespace media
