// A scripted stand-in for the media layer: every load, creation, refusal and status
// comes from a Script, and what the job handed over is kept for the test to read.
// Calls that shape the job's order are written to a call log, which can also be
// mirrored line by line to a descriptor so that a parent process can read it.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "media/framework.h"

namespace fake {

struct TrackScript {
    std::string name;  // as it appears in the call log, e.g. "v0" or "a1"
    media::MediaType type = media::MediaType::Video;
    media::Result<media::TimeRange> timeRange = media::TimeRange{media::Time::zero(), media::Time::make(3, 1)};
    media::Result<media::Size> naturalSize = media::Size{320, 240};
    media::Result<media::AffineTransform> preferredTransform = media::AffineTransform::identity();
    media::Result<float> nominalFrameRate = 30.0f;
    media::Result<float> estimatedDataRate = 500000.0f;
    media::Result<std::vector<media::FormatDescription>> formatDescriptions =
        std::vector<media::FormatDescription>{};
};

TrackScript videoTrack(std::string name = "v0");
// A sound track whose first format description has the given channel count.
TrackScript soundTrack(std::string name, std::uint32_t channels);

enum class OutputCreated { AtWriterCreation, AtStartWriting };

struct Script {
    // The source.
    media::Result<media::Time> duration = media::Time::make(3, 1);
    std::optional<media::Error> videoListError;
    std::optional<media::Error> audioListError;
    std::vector<TrackScript> videoTracks = {videoTrack()};
    std::vector<TrackScript> audioTracks;

    // The reader.
    std::optional<media::Error> readerCreationError;
    bool acceptVideoOutput = true;
    bool acceptAudioOutput = true;
    bool startReading = true;
    bool readerFails = false;  // status failed once reading has started
    std::optional<media::Error> readerError;
    std::vector<media::Time> videoPts;  // one video buffer each
    int audioBuffers = 4;

    // The writer.
    std::optional<media::Error> writerCreationError;
    OutputCreated outputCreated = OutputCreated::AtWriterCreation;
    bool acceptVideoInput = true;
    bool acceptAudioInput = true;
    std::optional<std::set<std::int64_t>> acceptedAudioBitrates;  // none: every rate
    bool startWriting = true;
    int refuseVideoAppendAt = -1;  // index of the video append the writer refuses
    media::AssetWriterStatus statusAfterFinishing = media::AssetWriterStatus::Completed;
    std::optional<media::Error> writerError;
    int appendsPerReadiness = 3;  // the input is full after this many appends

    // The finished output, opened anew.
    std::optional<media::Error> outputAudioListError;
    int outputAudioTracks = 1;
};

// Video presentation times 0, step, 2 step, ... (count of them), in seconds.
std::vector<media::Time> evenlySpaced(int count, double step);

// What the job handed to the fake, per input or output.
struct Seen {
    std::vector<media::Settings> assetOptions;
    std::optional<media::FileType> fileType;
    std::optional<bool> optimizeForNetworkUse;

    std::vector<media::AssetTrackPtr> videoOutputTracks;
    media::Settings readerPictureSettings;
    std::optional<media::VideoComposition> composition;
    std::optional<bool> alwaysCopiesSampleData;
    media::Settings videoInputSettings;
    std::optional<bool> videoExpectsRealTime;

    std::vector<media::AssetTrackPtr> audioOutputTracks;
    media::Settings audioDecodeSettings;
    std::optional<media::AudioMix> audioMix;
    std::vector<std::int64_t> audioBitrateProbes;  // canApplyOutputSettings, in order
    media::Settings audioInputSettings;
    std::optional<bool> audioExpectsRealTime;
};

// Per writer input: how the pump drove it.
struct InputRecord {
    std::string queueLabel;
    int blockRuns = 0;
    bool blockAlwaysOnQueue = true;
    std::vector<double> appendedSeconds;
    int refusedAppends = 0;
    int finishedMarks = 0;
    int maxLiveBuffersAtAppend = 0;
};

struct World;

class Framework : public media::Framework {
public:
    explicit Framework(Script script);
    ~Framework() override;

    // Each call-log line is also written to fd, as it happens.
    void mirrorCallsTo(int fd);
    std::vector<std::string> calls() const;
    Seen seen() const;
    InputRecord input(media::MediaType type) const;
    int liveBuffers() const;
    // Runs the input's block once more on its queue and returns once it has run.
    void invokeBlockAgain(media::MediaType type);

    media::AssetPtr makeURLAsset(const std::filesystem::path& url, const media::Settings& options) override;
    media::Result<media::AssetReaderPtr> makeAssetReader(const media::AssetPtr& asset) override;
    media::Result<media::AssetWriterPtr> makeAssetWriter(const std::filesystem::path& url,
                                                         media::FileType type) override;
    std::shared_ptr<media::AssetReaderVideoCompositionOutput> makeVideoCompositionOutput(
        const std::vector<media::AssetTrackPtr>& videoTracks, const media::Settings& videoSettings) override;
    std::shared_ptr<media::AssetReaderAudioMixOutput> makeAudioMixOutput(
        const std::vector<media::AssetTrackPtr>& audioTracks, const media::Settings& audioSettings) override;
    media::AssetWriterInputPtr makeAssetWriterInput(media::MediaType type,
                                                    const media::Settings& outputSettings) override;

private:
    std::shared_ptr<World> world_;
};

}  // namespace fake
