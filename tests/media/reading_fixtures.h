// Fixtures for the reading side: small clips made by the ffmpeg tool in a scratch
// folder of this test process, ffprobe as the independent judge, and short-hands to
// drive an asset, a reader and its outputs.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "media/ffmpeg/libav.h"
#include "media/ffmpeg_framework.h"

namespace reading_test {

namespace fs = std::filesystem;

// A folder of this process's own, removed when the process ends.
inline const fs::path& scratchDir() {
    struct Dir {
        fs::path path;
        Dir() {
            std::string pattern = (fs::temp_directory_path() / "reading-test-XXXXXX").string();
            if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
            path = pattern;
        }
        ~Dir() {
            std::error_code ignored;
            fs::remove_all(path, ignored);
        }
    };
    static Dir dir;
    return dir.path;
}

inline int run(const std::string& command) { return std::system(command.c_str()); }

// Runs `ffmpeg <args> <name>` once per process and returns the file's path.
inline fs::path fixture(const std::string& name, const std::string& args) {
    static std::map<std::string, fs::path> made;
    if (auto it = made.find(name); it != made.end()) return it->second;
    const fs::path out = scratchDir() / name;
    const std::string command = "ffmpeg -nostdin -v error -y " + args + " '" + out.string() + "'";
    EXPECT_EQ(run(command), 0) << command;
    made[name] = out;
    return out;
}

// Remuxes a file with the video stream's rotation tag (which this ffmpeg applies only
// when the stream is copied).
inline fs::path rotated(const fs::path& source, int degrees, const std::string& name) {
    return fixture(name, "-i '" + source.string() + "' -c copy -metadata:s:v:0 rotate=" + std::to_string(degrees));
}

// What ffprobe prints for the arguments, trimmed of its final line feed.
inline std::string probe(const fs::path& file, const std::string& args) {
    const std::string command = "ffprobe -v error " + args + " '" + file.string() + "'";
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
        pclose(pipe);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

// A two-second clip, 160 x 120 at 30 frames per second with a 44.1 kHz tone, in each
// container the tool meets in practice.
struct Container {
    const char* file;
    const char* codecs;
};
inline const Container kContainers[] = {
    {"clip.mp4", "-c:v libx264 -preset ultrafast -c:a aac"},
    {"clip.mov", "-c:v libx264 -preset ultrafast -c:a aac"},
    {"clip.mkv", "-c:v libx264 -preset ultrafast -c:a aac"},
    {"clip.webm", "-c:v libvpx -deadline realtime -cpu-used 8 -c:a libopus"},
    {"clip.avi", "-c:v mpeg4 -c:a libmp3lame"},
    {"clip.ts", "-c:v libx264 -preset ultrafast -c:a aac"},
};
inline const std::string kContainerClip =
    "-f lavfi -i testsrc2=s=160x120:r=30:d=2 -f lavfi -i sine=f=440:r=44100:d=2 ";
inline fs::path containerClip(const Container& c) {
    return fixture(c.file, kContainerClip + c.codecs + " -shortest");
}

inline media::Framework& framework() {
    static std::unique_ptr<media::Framework> instance = media::makeFFmpegFramework();
    return *instance;
}

inline media::AssetPtr openAsset(const fs::path& file) {
    media::Settings options;
    options.set(media::AVURLAssetPreferPreciseDurationAndTimingKey, true);
    return framework().makeURLAsset(file, options);
}

inline std::vector<media::AssetTrackPtr> tracks(const media::AssetPtr& asset, media::MediaType type) {
    auto loaded = asset->loadTracks(type);
    EXPECT_TRUE(loaded.ok()) << (loaded.ok() ? "" : loaded.error().localizedDescription);
    return loaded.ok() ? loaded.value() : std::vector<media::AssetTrackPtr>{};
}

inline media::Settings pictureSettings() {
    media::Settings s;
    s.set(media::kCVPixelBufferPixelFormatTypeKey, media::kCVPixelFormatType_420YpCbCr8BiPlanarVideoRange);
    return s;
}

inline media::Settings soundSettings() {
    media::Settings s;
    s.set(media::AVFormatIDKey, media::kAudioFormatLinearPCM);
    s.set(media::AVLinearPCMBitDepthKey, std::int64_t{32});
    s.set(media::AVLinearPCMIsFloatKey, true);
    s.set(media::AVLinearPCMIsBigEndianKey, false);
    s.set(media::AVLinearPCMIsNonInterleaved, false);
    s.set(media::AVNumberOfChannelsKey, std::int64_t{1});
    s.set(media::AVSampleRateKey, 48000.0);
    return s;
}

// The composition the job builds: the whole asset, one layer with the given transform.
inline media::VideoComposition composition(const media::AssetTrackPtr& track, media::Time duration, double width,
                                           double height, media::Time frameDuration,
                                           const media::AffineTransform& transform) {
    media::VideoComposition c;
    c.renderSize = {width, height};
    c.frameDuration = frameDuration;
    c.colorPrimaries = c.colorTransferFunction = c.colorYCbCrMatrix = "ITU_R_709_2";
    auto layer = media::VideoCompositionLayerInstruction::withAssetTrack(track);
    layer.setTransform(transform, media::Time::zero());
    c.instructions.push_back({media::TimeRange{media::Time::zero(), duration}, {layer}});
    return c;
}

// The upright transform of the track scaled to the render size, as the job makes it.
inline media::AffineTransform uprightTo(const media::AssetTrackPtr& track, double width, double height) {
    const media::Size natural = track->loadNaturalSize().value();
    const media::AffineTransform t = track->loadPreferredTransform().value();
    const media::Rect upright = media::applyAffineTransform({0, 0, natural.width, natural.height}, t);
    return media::concat(t, media::AffineTransform::makeScale(width / std::fabs(upright.width),
                                                              height / std::fabs(upright.height)));
}

inline const AVFrame* frameOf(const media::SampleBufferPtr& buffer) {
    const auto* frames = dynamic_cast<const media::ff::FrameSampleBuffer*>(buffer.get());
    return frames != nullptr ? frames->frame() : nullptr;
}

// A started reader with one composed-video output on the first video track.
struct VideoRead {
    media::AssetReaderPtr reader;
    std::shared_ptr<media::AssetReaderVideoCompositionOutput> output;
};

inline VideoRead startVideo(const media::AssetPtr& asset, double width, double height, media::Time frameDuration,
                            std::optional<media::AffineTransform> transform = std::nullopt) {
    VideoRead read;
    auto reader = framework().makeAssetReader(asset);
    EXPECT_TRUE(reader.ok());
    if (!reader.ok()) return read;
    read.reader = reader.value();
    const auto video = tracks(asset, media::MediaType::Video);
    EXPECT_FALSE(video.empty());
    if (video.empty()) return read;
    read.output = framework().makeVideoCompositionOutput({video[0]}, pictureSettings());
    read.output->setVideoComposition(composition(video[0], asset->loadDuration().value(), width, height,
                                                 frameDuration,
                                                 transform.value_or(uprightTo(video[0], width, height))));
    read.output->setAlwaysCopiesSampleData(false);
    EXPECT_TRUE(read.reader->canAddOutput(read.output));
    read.reader->addOutput(read.output);
    EXPECT_TRUE(read.reader->startReading());
    return read;
}

// A started reader with one mix output over all sound tracks at the given volumes.
struct SoundRead {
    media::AssetReaderPtr reader;
    std::shared_ptr<media::AssetReaderAudioMixOutput> output;
};

inline SoundRead startSound(const media::AssetPtr& asset, const std::vector<float>& volumes) {
    SoundRead read;
    auto reader = framework().makeAssetReader(asset);
    EXPECT_TRUE(reader.ok());
    if (!reader.ok()) return read;
    read.reader = reader.value();
    const auto audio = tracks(asset, media::MediaType::Audio);
    EXPECT_EQ(audio.size(), volumes.size());
    read.output = framework().makeAudioMixOutput(audio, soundSettings());
    media::AudioMix mix;
    for (std::size_t i = 0; i < audio.size() && i < volumes.size(); ++i) {
        auto p = media::AudioMixInputParameters::withTrack(audio[i]);
        p.setVolume(volumes[i], media::Time::zero());
        mix.inputParameters.push_back(p);
    }
    read.output->setAudioMix(mix);
    EXPECT_TRUE(read.reader->canAddOutput(read.output));
    read.reader->addOutput(read.output);
    EXPECT_TRUE(read.reader->startReading());
    return read;
}

// Every sample of the mix, checking the buffers' times and shape on the way.
inline std::vector<float> drainSound(media::AssetReaderAudioMixOutput& output) {
    std::vector<float> samples;
    while (auto buffer = output.copyNextSampleBuffer()) {
        const AVFrame* frame = frameOf(buffer);
        EXPECT_NE(frame, nullptr);
        if (frame == nullptr) break;
        EXPECT_EQ(frame->format, AV_SAMPLE_FMT_FLT);
        EXPECT_EQ(frame->sample_rate, 48000);
        EXPECT_EQ(frame->ch_layout.nb_channels, 1);
        EXPECT_EQ(buffer->presentationTimeStamp(), media::Time::make(static_cast<std::int64_t>(samples.size()), 48000));
        EXPECT_LE(frame->nb_samples, 1024);
        const auto* data = reinterpret_cast<const float*>(frame->data[0]);
        samples.insert(samples.end(), data, data + frame->nb_samples);
    }
    return samples;
}

}  // namespace reading_test
