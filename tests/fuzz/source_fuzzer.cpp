// Fuzz target: the input is a source file. It goes through everything a job does with
// its source short of encoding: the job's own inspection (every load of the asset and
// its tracks, in the job's order), then a reader with the composed-video output (at a
// tiny render size) and the sound-mix output, pulled buffer by buffer until both end or
// the reader fails.
//
// Built as a libFuzzer target with QVC_FUZZ=ON, and into a plain program that replays
// files given on its command line (replay_main.cpp).
//
// Every buffer is read through to its last byte and checked against what the encoder
// relies on; a buffer that breaks it aborts the run, which the fuzzer reports as a crash.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

#include "media/ffmpeg/libav.h"
#include "media/ffmpeg_framework.h"
#include "media/keys.h"
#include "pipeline/assembly.h"
#include "pipeline/inspection.h"
#include "pipeline/rates.h"
#include "pipeline/sound.h"
#include "planning/audio_settings.h"
#include "planning/geometry.h"
#include "planning/video_settings.h"

namespace {

// A job's figures with the long edge cut to 64 pixels: pictures are drawn at 64x36 or
// less, so the drawing costs next to nothing and the time goes into demuxing and decoding.
constexpr planning::Profile kProfile{64, 15, 1000000, 48000, 4};

// Media time read per input, on the output timeline. A header may claim hours; past this
// the reader is cancelled, as a host would cancel it. A loop or a runaway inside a single
// pull is not cut short by this: the fuzzer's time-out and memory limit catch those.
constexpr double kMaxSeconds = 4.0;

[[noreturn]] void fault(const std::string& what) {
    std::fprintf(stderr, "source_fuzzer: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

void check(bool ok, const char* what) {
    if (!ok) fault(what);
}

// Where each input is written for the media layer to open by name: a directory of its
// own under TMPDIR (tmpfs in scripts/fuzz.sh), removed at a normal exit.
class Scratch {
public:
    Scratch() {
        std::string pattern = (std::filesystem::temp_directory_path() / "qvc-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) fault("cannot make a scratch directory");
        dir_ = pattern;
        file_ = dir_ / "source";
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    const std::filesystem::path& write(const std::uint8_t* data, std::size_t size) {
        std::ofstream out(file_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        out.close();
        if (!out) fault("cannot write the input to " + file_.string());
        return file_;
    }

private:
    std::filesystem::path dir_;
    std::filesystem::path file_;
};

struct Harness {
    std::unique_ptr<media::Framework> framework = media::makeFFmpegFramework();  // silences the libraries
    Scratch scratch;
};

Harness& harness() {
    static Harness instance;
    return instance;
}

// Every byte of a plane, so that a buffer shorter than its figures say is found.
std::uint32_t touch(const std::uint8_t* data, int linesize, int rowBytes, int rows) {
    std::uint32_t sum = 0;
    for (int y = 0; y < rows; ++y) {
        const std::uint8_t* row = data + static_cast<std::ptrdiff_t>(y) * linesize;
        for (int x = 0; x < rowBytes; ++x) sum += row[x];
    }
    return sum;
}

const AVFrame& frameOf(const media::SampleBuffer& buffer) {
    const auto* carried = dynamic_cast<const media::ff::FrameSampleBuffer*>(&buffer);
    check(carried != nullptr && carried->frame() != nullptr, "a buffer carries no frame");
    return *carried->frame();
}

// A picture as the encoder takes it: NV12 at the render size, stamped one frame after
// the one before.
struct VideoCheck {
    int width = 0, height = 0;
    media::Time frameDuration;
    std::int64_t frames = 0;
    volatile std::uint32_t sink = 0;

    void operator()(const media::SampleBuffer& buffer) {
        const AVFrame& f = frameOf(buffer);
        check(f.format == AV_PIX_FMT_NV12, "a picture is not NV12");
        check(f.width == width && f.height == height, "a picture is not at the render size");
        check(f.data[0] != nullptr && f.data[1] != nullptr, "a picture lacks a plane");
        check(f.linesize[0] >= width && f.linesize[1] >= width, "a picture's rows are too short");
        sink = sink + touch(f.data[0], f.linesize[0], width, height) +
               touch(f.data[1], f.linesize[1], width, (height + 1) / 2);
        const media::Time pts = buffer.presentationTimeStamp();
        check(pts.isNumeric() && pts == media::Time::make(frames * frameDuration.value, frameDuration.timescale),
              "a picture is not stamped one frame after the one before");
        ++frames;
    }
    double seconds() const { return static_cast<double>(frames) * frameDuration.seconds(); }
};

// Sound as the encoder takes it: mono float at 48 kHz, in range, without gaps or overlaps.
struct AudioCheck {
    std::int64_t samples = 0;

    void operator()(const media::SampleBuffer& buffer) {
        const AVFrame& f = frameOf(buffer);
        check(f.format == AV_SAMPLE_FMT_FLT && f.ch_layout.nb_channels == 1, "sound is not mono float");
        check(f.sample_rate == static_cast<int>(planning::kAudioSampleRate), "sound is not at 48 kHz");
        check(f.nb_samples > 0 && f.data[0] != nullptr, "a sound buffer is empty");
        const auto* out = reinterpret_cast<const float*>(f.data[0]);
        for (int i = 0; i < f.nb_samples; ++i) {
            check(std::isfinite(out[i]) && out[i] >= -1.0f && out[i] <= 1.0f, "a sample is out of range");
        }
        check(buffer.presentationTimeStamp() == media::Time::make(samples, f.sample_rate),
              "sound buffers do not follow one another");
        samples += f.nb_samples;
    }
    double seconds() const { return static_cast<double>(samples) / planning::kAudioSampleRate; }
};

void readSource(const std::filesystem::path& path) {
    media::Framework& framework = *harness().framework;
    media::Settings options;
    options.set(media::AVURLAssetPreferPreciseDurationAndTimingKey, true);
    const media::AssetPtr asset = framework.makeURLAsset(path, options);

    // The job's own inspection. It ends a job through console::die on a fatal failure;
    // here the same steps hand the failure line back instead, and the input is done.
    pipeline::Inspection inspection = pipeline::tryInspectSource(*asset, kProfile);
    if (!inspection.source) {
        check(!inspection.failure.empty(), "an inspection that failed gives no line");
        return;
    }
    pipeline::SourceInfo& source = *inspection.source;
    const pipeline::Rates rates =
        pipeline::planRates(kProfile, source.videoDataRate, source.sourceFps, source.audioTracks);

    auto reader = framework.makeAssetReader(asset);
    if (!reader) return;
    media::AssetReader& r = *reader.value();

    const media::VideoComposition composition = pipeline::makeComposition(source, rates.video.outFps);
    auto videoOut = framework.makeVideoCompositionOutput({source.videoTracks.front()},
                                                         planning::readerPictureSettings());
    videoOut->setVideoComposition(composition);
    videoOut->setAlwaysCopiesSampleData(false);
    if (!r.canAddOutput(videoOut)) return;
    r.addOutput(videoOut);

    std::shared_ptr<media::AssetReaderAudioMixOutput> audioOut;
    if (!source.audioTracks.empty()) {
        audioOut = framework.makeAudioMixOutput(source.audioTracks, planning::audioDecodeSettings());
        const std::vector<float> volumes = pipeline::mixVolumes(source.audioTracks);
        media::AudioMix mix;
        for (std::size_t i = 0; i < source.audioTracks.size(); ++i) {
            auto parameters = media::AudioMixInputParameters::withTrack(source.audioTracks[i]);
            parameters.setVolume(volumes[i], media::Time::zero());
            mix.inputParameters.push_back(parameters);
        }
        audioOut->setAudioMix(mix);
        if (!r.canAddOutput(audioOut)) return;
        r.addOutput(audioOut);
    }

    if (!r.startReading()) {
        check(r.status() == media::AssetReaderStatus::Failed && r.error().has_value(),
              "a reader that did not start gives no error");
        return;
    }

    VideoCheck video;
    video.width = static_cast<int>(source.geometry.outWidth);
    video.height = static_cast<int>(source.geometry.outHeight);
    video.frameDuration = composition.frameDuration;
    AudioCheck audio;
    bool videoDone = false, audioDone = !audioOut, capped = false;
    // Both outputs in step, the way the two pumps of a job drain them.
    while (!videoDone || !audioDone) {
        if (!videoDone && (audioDone || video.seconds() <= audio.seconds())) {
            if (video.seconds() >= kMaxSeconds) {
                capped = true;
                break;
            }
            if (media::SampleBufferPtr buffer = videoOut->copyNextSampleBuffer()) {
                video(*buffer);
            } else {
                videoDone = true;
            }
        } else {
            if (audio.seconds() >= kMaxSeconds) {
                capped = true;
                break;
            }
            if (media::SampleBufferPtr buffer = audioOut->copyNextSampleBuffer()) {
                audio(*buffer);
            } else {
                audioDone = true;
            }
        }
    }
    if (capped) {
        r.cancelReading();
        check(videoOut->copyNextSampleBuffer() == nullptr, "a cancelled reader still delivers pictures");
        return;
    }

    const media::AssetReaderStatus status = r.status();
    if (status == media::AssetReaderStatus::Failed) {
        check(r.error().has_value(), "a failed reader gives no error");
        return;
    }
    check(status == media::AssetReaderStatus::Completed, "both outputs ended but the reader is not complete");
    // A source the job may encode holds at least one picture, and a length's worth of them.
    check(video.frames > 0, "a complete reading without a picture");
    check(video.seconds() >= source.durationSeconds - composition.frameDuration.seconds() * 1.001,
          "the pictures end before the source does");
    if (audioOut) {
        check(std::abs(audio.seconds() - source.durationSeconds) * planning::kAudioSampleRate <= 1.0,
              "the sound does not last as long as the source");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    harness();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    readSource(harness().scratch.write(data, size));
    return 0;
}
