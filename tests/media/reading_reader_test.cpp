// The reader as the job drives it: two outputs pulled on two threads, cancelling from
// a third, refusing what it cannot deliver, and damaged files.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <future>
#include <thread>

#include "reading_fixtures.h"

namespace {

using namespace reading_test;
using media::AssetReaderStatus;
using media::MediaType;
using media::Time;

const std::string kClip =
    "-f lavfi -i testsrc2=s=160x120:r=30:d=2 -f lavfi -i sine=f=440:r=44100:d=2 "
    "-c:v libx264 -preset ultrafast -c:a aac -shortest";

struct BothOutputs {
    media::AssetReaderPtr reader;
    std::shared_ptr<media::AssetReaderVideoCompositionOutput> video;
    std::shared_ptr<media::AssetReaderAudioMixOutput> audio;
};

// A reader with both outputs, not started; null outputs when the file cannot be read.
BothOutputs assemble(const fs::path& file) {
    BothOutputs both;
    auto asset = openAsset(file);
    const auto duration = asset->loadDuration();
    if (!duration.ok()) return both;
    auto reader = framework().makeAssetReader(asset);
    if (!reader.ok()) return both;
    both.reader = reader.value();
    const auto video = tracks(asset, MediaType::Video);
    if (!video.empty()) {
        both.video = framework().makeVideoCompositionOutput({video[0]}, pictureSettings());
        both.video->setVideoComposition(
            composition(video[0], duration.value(), 64, 48, Time::make(4000, 60000), uprightTo(video[0], 64, 48)));
        both.video->setAlwaysCopiesSampleData(false);
        if (both.reader->canAddOutput(both.video)) {
            both.reader->addOutput(both.video);
        } else {
            both.video.reset();
        }
    }
    const auto audio = tracks(asset, MediaType::Audio);
    if (!audio.empty()) {
        both.audio = framework().makeAudioMixOutput(audio, soundSettings());
        if (both.reader->canAddOutput(both.audio)) {
            both.reader->addOutput(both.audio);
        } else {
            both.audio.reset();
        }
    }
    return both;
}

// Drains an output on a thread of its own, as the job's pumps do.
std::future<int> drainOnThread(std::shared_ptr<media::AssetReaderOutput> output,
                               std::promise<void>* firstBuffer = nullptr) {
    return std::async(std::launch::async, [output, firstBuffer] {
        int count = 0;
        while (auto buffer = output->copyNextSampleBuffer()) {
            if (count++ == 0 && firstBuffer != nullptr) firstBuffer->set_value();
        }
        if (count == 0 && firstBuffer != nullptr) firstBuffer->set_value();
        return count;
    });
}

TEST(ReadingReader, BothOutputsPulledInParallelComplete) {
    BothOutputs both = assemble(fixture("clip.mp4", kClip));
    ASSERT_TRUE(both.video && both.audio);
    EXPECT_EQ(both.reader->status(), AssetReaderStatus::Unknown);
    ASSERT_TRUE(both.reader->startReading());
    EXPECT_EQ(both.reader->status(), AssetReaderStatus::Reading);
    auto frames = drainOnThread(both.video);
    auto sound = drainOnThread(both.audio);
    EXPECT_EQ(frames.get(), 30);                     // 2 s at 15 frames per second
    EXPECT_EQ(sound.get(), (2 * 48000 + 1023) / 1024);  // 2 s at 48 kHz in buffers of 1024
    EXPECT_EQ(both.reader->status(), AssetReaderStatus::Completed);
    EXPECT_FALSE(both.reader->error().has_value());
    // Exhausted outputs stay exhausted.
    EXPECT_FALSE(both.video->copyNextSampleBuffer());
    EXPECT_FALSE(both.audio->copyNextSampleBuffer());
}

TEST(ReadingReader, EveryContainerDeliversPicturesAndSoundForTheWholeAsset) {
    for (const Container& c : kContainers) {
        SCOPED_TRACE(c.file);
        const fs::path file = containerClip(c);
        const Time duration = openAsset(file)->loadDuration().value();
        BothOutputs both = assemble(file);
        ASSERT_TRUE(both.video && both.audio);
        ASSERT_TRUE(both.reader->startReading());
        auto frames = drainOnThread(both.video);
        auto sound = drainOnThread(both.audio);
        // Frames at 4000 / 60000 s while k * 4000 / 60000 < duration; sound to the end.
        const std::int64_t expectedFrames =
            (duration.value * 60000 + duration.timescale * 4000LL - 1) / (duration.timescale * 4000LL);
        const auto samples = static_cast<std::int64_t>(std::round(duration.seconds() * 48000));
        EXPECT_EQ(frames.get(), expectedFrames);
        EXPECT_EQ(sound.get(), (samples + 1023) / 1024);
        EXPECT_EQ(both.reader->status(), AssetReaderStatus::Completed);
    }
}

TEST(ReadingReader, CancelStopsOutputsThatAreBusyDecoding) {
    // Long enough that neither output is near its end when the cancel comes.
    BothOutputs both = assemble(fixture("long.mkv",
                                        "-f lavfi -i testsrc2=s=320x240:r=30:d=20 -f lavfi -i sine=d=20 "
                                        "-c:v libx264 -preset ultrafast -c:a aac"));
    ASSERT_TRUE(both.video && both.audio);
    ASSERT_TRUE(both.reader->startReading());
    // Sound decodes far faster than pictures, so it is held part-way rather than
    // drained: a drain could reach the end of the file before the cancel comes.
    ASSERT_TRUE(both.audio->copyNextSampleBuffer());
    std::promise<void> videoStarted;
    auto frames = drainOnThread(both.video, &videoStarted);
    videoStarted.get_future().wait();
    std::thread([reader = both.reader] { reader->cancelReading(); }).join();
    // The busy picture pull comes back with nothing, long before the end of the file,
    // and the sound output, mid-way, has nothing more either.
    EXPECT_LT(frames.get(), 300);
    EXPECT_EQ(both.reader->status(), AssetReaderStatus::Cancelled);
    EXPECT_FALSE(both.video->copyNextSampleBuffer());
    EXPECT_FALSE(both.audio->copyNextSampleBuffer());
}

TEST(ReadingReader, CancelBeforeStartingLeavesNothingToRead) {
    BothOutputs both = assemble(fixture("clip.mp4", kClip));
    ASSERT_TRUE(both.video && both.audio);
    both.reader->cancelReading();
    EXPECT_EQ(both.reader->status(), AssetReaderStatus::Cancelled);
    EXPECT_FALSE(both.reader->startReading());
    EXPECT_FALSE(both.video->copyNextSampleBuffer());
    EXPECT_FALSE(both.audio->copyNextSampleBuffer());
}

TEST(ReadingReader, RefusesOutputsItCannotDeliver) {
    const fs::path clip = fixture("clip.avi", "-f lavfi -i testsrc2=s=160x120:r=30:d=1 -f lavfi -i sine=d=1 "
                                              "-c:v mpeg4 -c:a pcm_s16le");
    // Tags no decoder knows: the tracks are there but cannot be decoded.
    const fs::path unknown = fixture("unknown-codecs.avi", "-i '" + clip.string() + "' -c copy -vtag QQQQ -atag 0x7777 -strict -2");
    BothOutputs undecodable = assemble(unknown);
    ASSERT_TRUE(undecodable.reader);
    EXPECT_FALSE(undecodable.video);
    EXPECT_FALSE(undecodable.audio);

    auto asset = openAsset(clip);
    auto other = openAsset(clip);
    auto reader = framework().makeAssetReader(asset).value();
    const auto video = tracks(asset, MediaType::Video);
    const auto audio = tracks(asset, MediaType::Audio);
    ASSERT_EQ(video.size(), 1u);
    ASSERT_EQ(audio.size(), 1u);
    // A track of another asset.
    auto foreign = framework().makeVideoCompositionOutput(tracks(other, MediaType::Video), pictureSettings());
    EXPECT_FALSE(reader->canAddOutput(foreign));
    // Pictures in a format we do not deliver.
    media::Settings rgb;
    rgb.set(media::kCVPixelBufferPixelFormatTypeKey, std::int64_t{1111970369});
    EXPECT_FALSE(reader->canAddOutput(framework().makeVideoCompositionOutput(video, rgb)));
    // Sound in a format we do not deliver, or a "sound" track that is a picture.
    media::Settings stereo = soundSettings();
    stereo.set(media::AVNumberOfChannelsKey, std::int64_t{2});
    EXPECT_FALSE(reader->canAddOutput(framework().makeAudioMixOutput(audio, stereo)));
    EXPECT_FALSE(reader->canAddOutput(framework().makeAudioMixOutput(video, soundSettings())));

    // An output without a composition is refused when reading starts, with the reason.
    auto bare = framework().makeVideoCompositionOutput(video, pictureSettings());
    ASSERT_TRUE(reader->canAddOutput(bare));
    reader->addOutput(bare);
    EXPECT_FALSE(reader->startReading());
    EXPECT_EQ(reader->status(), AssetReaderStatus::Failed);
    ASSERT_TRUE(reader->error().has_value());
    EXPECT_FALSE(reader->error()->localizedDescription.empty());
    EXPECT_FALSE(bare->copyNextSampleBuffer());
}

TEST(ReadingReader, TransformThatIsNotFiniteGivesBlackPictures) {
    // What the job plans for a picture that collapses to nothing.
    auto asset = openAsset(fixture("clip.mp4", kClip));
    VideoRead read = startVideo(asset, 2, 2, Time::make(4000, 60000), media::AffineTransform{INFINITY, 0, 0, INFINITY, 0, 0});
    ASSERT_TRUE(read.output);
    int count = 0;
    while (auto buffer = read.output->copyNextSampleBuffer()) {
        const AVFrame* f = frameOf(buffer);
        EXPECT_EQ(f->width, 2);
        EXPECT_EQ(f->data[0][0], 16);
        ++count;
    }
    EXPECT_EQ(count, 30);
    EXPECT_EQ(read.reader->status(), AssetReaderStatus::Completed);
}

// ---- Damaged files ------------------------------------------------------------------

void overwrite(const fs::path& file, double at, std::size_t bytes) {
    std::FILE* f = std::fopen(file.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    std::fseek(f, static_cast<long>(static_cast<double>(fs::file_size(file)) * at), SEEK_SET);
    unsigned state = 99;
    for (std::size_t i = 0; i < bytes; ++i) {
        state = state * 1103515245u + 12345u;
        std::fputc(static_cast<int>(state >> 24), f);
    }
    std::fclose(f);
}

fs::path damagedCopy(const fs::path& source, const std::string& name) {
    const fs::path copy = scratchDir() / name;
    fs::copy_file(source, copy, fs::copy_options::overwrite_existing);
    return copy;
}

TEST(ReadingReader, DamagedFilesEndInAnErrorOrACleanEndNeverACrash) {
    const fs::path front = fixture("front-index.mp4", kClip + " -movflags +faststart");
    const fs::path stream = fixture("stream.ts", kClip);
    const fs::path matroska = fixture("stream.mkv", kClip);

    const fs::path cutFront = damagedCopy(front, "cut-front-index.mp4");
    fs::resize_file(cutFront, fs::file_size(front) * 6 / 10);
    const fs::path cutMatroska = damagedCopy(matroska, "cut.mkv");
    fs::resize_file(cutMatroska, fs::file_size(matroska) / 2);
    const fs::path scrambledStream = damagedCopy(stream, "scrambled.ts");
    overwrite(scrambledStream, 0.4, 20000);
    const fs::path scrambledFront = damagedCopy(front, "scrambled.mp4");
    overwrite(scrambledFront, 0.5, 20000);
    const fs::path scrambledMatroska = damagedCopy(matroska, "scrambled.mkv");
    overwrite(scrambledMatroska, 0.5, 20000);

    const fs::path image = fixture("still.png", "-f lavfi -i testsrc2=s=64x48 -frames:v 1");

    // Each damaged film keeps what says where its pictures are, so its reading starts and
    // gives pictures before it ends; only the still picture may be refused at the start.
    const struct {
        fs::path file;
        bool reads;
    } cases[] = {{cutFront, true},      {cutMatroska, true},       {scrambledStream, true},
                 {scrambledFront, true}, {scrambledMatroska, true}, {image, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file.filename().string());
        BothOutputs both = assemble(c.file);
        const bool started = both.reader && both.reader->startReading();
        if (c.reads) {
            ASSERT_TRUE(started);
        }
        if (!started) continue;  // refused with an error: fine
        auto frames = drainOnThread(both.video);
        auto sound = both.audio ? drainOnThread(both.audio) : std::future<int>{};
        const int pictures = frames.get();
        if (sound.valid()) sound.get();
        if (c.reads) {
            EXPECT_GT(pictures, 0);
        }
        const AssetReaderStatus status = both.reader->status();
        EXPECT_TRUE(status == AssetReaderStatus::Completed || status == AssetReaderStatus::Failed);
        EXPECT_EQ(status == AssetReaderStatus::Failed, both.reader->error().has_value());
        std::printf("%s: %d pictures, %s\n", c.file.filename().c_str(), pictures,
                    status == AssetReaderStatus::Completed ? "completed" : "failed");
    }
}

TEST(ReadingReader, DamagedPicturesAreSkippedButAStreamOfNothingElseFails) {
    const fs::path clip = fixture("clip.mp4", kClip);
    struct Case {
        const char* file;
        int noise;  // one byte in this many of each picture is changed
        bool completes;
    };
    const Case cases[] = {
        {"noisy.mkv", 1000, true},
        {"all-noise.mkv", 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const fs::path file = fixture(c.file, "-i '" + clip.string() + "' -c copy -an -bsf:v noise=amount=" +
                                                  std::to_string(c.noise));
        BothOutputs both = assemble(file);
        ASSERT_TRUE(both.video);
        ASSERT_TRUE(both.reader->startReading());
        const int frames = drainOnThread(both.video).get();
        if (c.completes) {
            EXPECT_EQ(frames, 30);
            EXPECT_EQ(both.reader->status(), AssetReaderStatus::Completed);
        } else {
            EXPECT_EQ(frames, 0);
            EXPECT_EQ(both.reader->status(), AssetReaderStatus::Failed);
            ASSERT_TRUE(both.reader->error().has_value());
            // Not the decoder's complaint about the last damaged picture, but the cause.
            EXPECT_EQ(both.reader->error()->domain, media::kMediaErrorDomain);
            EXPECT_FALSE(both.reader->error()->localizedDescription.empty());
        }
    }
}

TEST(ReadingReader, ScrambledPacketsAreSkippedAndTheTimelineKept) {
    // A transport stream resynchronises after damage: the pictures keep their times.
    const fs::path damaged = damagedCopy(fixture("stream.ts", kClip), "scrambled-stream.ts");
    overwrite(damaged, 0.5, 4000);
    const double seconds = openAsset(damaged)->loadDuration().value().seconds();
    BothOutputs both = assemble(damaged);
    ASSERT_TRUE(both.video && both.audio);
    ASSERT_TRUE(both.reader->startReading());
    auto frames = drainOnThread(both.video);
    auto sound = drainOnThread(both.audio);
    EXPECT_EQ(frames.get(), static_cast<int>(std::ceil(seconds * 15)));
    EXPECT_EQ(sound.get(), static_cast<int>(std::ceil(std::round(seconds * 48000) / 1024)));
    EXPECT_EQ(both.reader->status(), AssetReaderStatus::Completed);
}

}  // namespace
