// The media framework on FFmpeg: each factory call goes straight to the file of
// reading/ or writing/ that holds what it makes.
#include "media/ffmpeg/libav.h"
#include "media/ffmpeg/reading/asset.h"
#include "media/ffmpeg/reading/audio_output.h"
#include "media/ffmpeg/reading/reader.h"
#include "media/ffmpeg/reading/video_output.h"
#include "media/ffmpeg/writing/video_encoder.h"
#include "media/ffmpeg/writing/writer.h"
#include "media/ffmpeg_framework.h"

namespace media {
namespace {

class FFmpegFramework final : public Framework {
public:
    FFmpegFramework() { ff::silenceLibraryLogs(); }

    AssetPtr makeURLAsset(const std::filesystem::path& url, const Settings& options) override {
        return ff::makeAsset(url, options);
    }
    Result<AssetReaderPtr> makeAssetReader(const AssetPtr& asset) override { return ff::makeReader(asset); }
    Result<AssetWriterPtr> makeAssetWriter(const std::filesystem::path& url, FileType type) override {
        return ff::makeWriter(url, type);
    }
    std::shared_ptr<AssetReaderVideoCompositionOutput> makeVideoCompositionOutput(
        const std::vector<AssetTrackPtr>& videoTracks, const Settings& videoSettings) override {
        return ff::makeVideoCompositionOutput(videoTracks, videoSettings);
    }
    std::shared_ptr<AssetReaderAudioMixOutput> makeAudioMixOutput(const std::vector<AssetTrackPtr>& audioTracks,
                                                                  const Settings& audioSettings) override {
        return ff::makeAudioMixOutput(audioTracks, audioSettings);
    }
    AssetWriterInputPtr makeAssetWriterInput(MediaType type, const Settings& outputSettings) override {
        return ff::makeWriterInput(type, outputSettings);
    }
    HardwareAccess hardwareAccess() const override { return ff::hardwareEncoderAccess(); }
};

}  // namespace

std::unique_ptr<Framework> makeFFmpegFramework() { return std::make_unique<FFmpegFramework>(); }

}  // namespace media
