// Loads of the FFmpeg asset on clips made by the ffmpeg tool, judged by ffprobe.
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/display.h>
}

#include <sstream>

#include "media/ffmpeg/reading/asset.h"
#include "media/ffmpeg/reading/track_values.h"
#include "reading_fixtures.h"

namespace {

using namespace reading_test;
using media::AffineTransform;
using media::MediaType;

const std::string kClip = kContainerClip;

double sumOfPacketBytes(const fs::path& file, const char* stream) {
    std::istringstream sizes(probe(file, std::string("-select_streams ") + stream +
                                             " -show_entries packet=size -of csv=p=0"));
    double total = 0;
    for (std::string line; std::getline(sizes, line);) {
        if (!line.empty() && std::isdigit(static_cast<unsigned char>(line[0]))) total += std::stod(line);
    }
    return total;
}

TEST(ReadingAsset, AnswersEveryLoadInEachContainer) {
    for (const Container& c : kContainers) {
        SCOPED_TRACE(c.file);
        const fs::path file = containerClip(c);
        auto asset = openAsset(file);

        auto duration = asset->loadDuration();
        ASSERT_TRUE(duration.ok());
        EXPECT_NEAR(duration.value().seconds(), 2.0, 0.06);

        const auto video = tracks(asset, MediaType::Video);
        const auto audio = tracks(asset, MediaType::Audio);
        ASSERT_EQ(video.size(), 1u);
        ASSERT_EQ(audio.size(), 1u);
        EXPECT_EQ(video[0]->mediaType(), MediaType::Video);
        EXPECT_EQ(audio[0]->mediaType(), MediaType::Audio);

        EXPECT_EQ(video[0]->loadNaturalSize().value(), (media::Size{160, 120}));
        EXPECT_EQ(video[0]->loadPreferredTransform().value(), AffineTransform::identity());
        EXPECT_EQ(video[0]->loadNominalFrameRate().value(), 30.0f);

        const auto range = audio[0]->loadTimeRange();
        ASSERT_TRUE(range.ok());
        EXPECT_TRUE(range.value().isValid());
        EXPECT_NEAR(range.value().start.seconds(), 0.0, 0.05);
        EXPECT_NEAR(range.value().duration.seconds(), 2.0, 0.1);

        const auto descriptions = audio[0]->loadFormatDescriptions();
        ASSERT_TRUE(descriptions.ok());
        ASSERT_FALSE(descriptions.value().empty());
        const auto asbd = media::getStreamBasicDescription(descriptions.value()[0]);
        ASSERT_TRUE(asbd.has_value());
        EXPECT_EQ(asbd->channelsPerFrame, 1u);

        // Whether from the container or from the packets, the rate is what the packets weigh.
        const double judged = sumOfPacketBytes(file, "v:0") * 8 / 2.0;
        const auto rate = video[0]->loadEstimatedDataRate();
        ASSERT_TRUE(rate.ok());
        EXPECT_NEAR(rate.value(), judged, judged * 0.1);
        EXPECT_GT(audio[0]->loadEstimatedDataRate().value(), 0.0f);
    }
}

TEST(ReadingAsset, DurationStartsAtZeroWhenTheContainerClockDoesNot) {
    // A transport stream's clock starts at 1.4 s; the asset's timeline still starts at 0.
    const fs::path file = fixture("late.ts", kClip + "-c:v libx264 -preset ultrafast -c:a aac -shortest");
    ASSERT_GT(std::stod(probe(file, "-show_entries format=start_time -of csv=p=0")), 1.0);
    auto asset = openAsset(file);
    EXPECT_NEAR(asset->loadDuration().value().seconds(), 2.0, 0.06);
    const auto video = tracks(asset, MediaType::Video);
    ASSERT_EQ(video.size(), 1u);
    EXPECT_NEAR(video[0]->loadTimeRange().value().start.seconds(), 0.0, 0.05);
}

TEST(ReadingAsset, SoundTrackThatStartsLateKeepsItsStart) {
    const fs::path file = fixture("late-sound.mp4",
                                  "-f lavfi -i testsrc2=s=160x120:r=30:d=3 -itsoffset 1 -f lavfi -i "
                                  "sine=f=440:r=48000:d=2 -c:v libx264 -preset ultrafast -c:a aac");
    auto asset = openAsset(file);
    EXPECT_NEAR(asset->loadDuration().value().seconds(), 3.0, 0.06);
    const auto audio = tracks(asset, MediaType::Audio);
    ASSERT_EQ(audio.size(), 1u);
    const auto range = audio[0]->loadTimeRange().value();
    EXPECT_NEAR(range.start.seconds(), 1.0, 0.03);
    EXPECT_NEAR(range.duration.seconds(), 2.0, 0.05);
}

TEST(ReadingAsset, CoverArtIsNotAVideoTrack) {
    const fs::path clip = fixture("plain.mp4", kClip + "-c:v libx264 -preset ultrafast -c:a aac -shortest");
    const fs::path cover = fixture("cover.png", "-f lavfi -i color=red:s=32x32 -frames:v 1");
    const fs::path withCover = fixture("with-cover.mp4", "-i '" + clip.string() + "' -i '" + cover.string() +
                                                             "' -map 0 -map 1 -c copy -c:v:1 png "
                                                             "-disposition:v:1 attached_pic");
    ASSERT_EQ(probe(withCover, "-show_entries stream=codec_type -of csv=p=0"), "video\naudio\nvideo");
    const fs::path song = fixture("song.mp3", "-f lavfi -i sine=d=1 -i '" + cover.string() +
                                                  "' -map 0 -map 1 -c:a libmp3lame -c:v png "
                                                  "-disposition:v:0 attached_pic");
    struct Case {
        fs::path file;
        std::size_t videoTracks;
        std::size_t audioTracks;
    };
    for (const Case& c : {Case{withCover, 1, 1}, Case{song, 0, 1}}) {
        SCOPED_TRACE(c.file.filename().string());
        auto asset = openAsset(c.file);
        const auto video = tracks(asset, MediaType::Video);
        EXPECT_EQ(video.size(), c.videoTracks);
        EXPECT_EQ(tracks(asset, MediaType::Audio).size(), c.audioTracks);
        if (!video.empty()) {
            EXPECT_EQ(video[0]->loadNaturalSize().value(), (media::Size{160, 120}));
        }
    }
}

TEST(ReadingAsset, NaturalSizeAppliesThePixelAspectRatio) {
    struct Case {
        const char* file;
        const char* filter;
        media::Size natural;
    };
    const Case cases[] = {
        {"square.mp4", "setsar=1", {160, 120}},
        {"anamorphic-4-3.mp4", "scale=120:120,setsar=4/3", {160, 120}},
        {"anamorphic-8-9.mkv", "scale=180:120,setsar=8/9", {160, 120}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const fs::path file = fixture(c.file, "-f lavfi -i testsrc2=s=160x120:r=30:d=0.2 -vf " +
                                                  std::string(c.filter) + " -c:v libx264 -preset ultrafast");
        auto video = tracks(openAsset(file), MediaType::Video);
        ASSERT_EQ(video.size(), 1u);
        EXPECT_EQ(video[0]->loadNaturalSize().value(), c.natural);
    }
}

TEST(ReadingAsset, NominalFrameRateIsTheSinglePrecisionRate) {
    struct Case {
        const char* file;
        const char* rate;
        float expected;
    };
    const Case cases[] = {
        {"rate-30.mp4", "30", 30.0f},
        {"rate-ntsc.mp4", "30000/1001", 29.97f},
        {"rate-ntsc-film.mp4", "24000/1001", 23.976f},
        {"rate-24.mkv", "24", 24.0f},
        {"rate-25.ts", "25", 25.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const fs::path file = fixture(c.file, std::string("-f lavfi -i testsrc2=s=64x48:d=0.5:r=") + c.rate +
                                                  " -c:v libx264 -preset ultrafast");
        auto video = tracks(openAsset(file), MediaType::Video);
        ASSERT_EQ(video.size(), 1u);
        EXPECT_EQ(video[0]->loadNominalFrameRate().value(), c.expected);
    }
}

TEST(ReadingAsset, DataRateIsTheContainersFigureWhenItHasOne) {
    const fs::path file = fixture("plain.mp4", kClip + "-c:v libx264 -preset ultrafast -c:a aac -shortest");
    auto asset = openAsset(file);
    const auto video = tracks(asset, MediaType::Video);
    const auto audio = tracks(asset, MediaType::Audio);
    ASSERT_EQ(video.size(), 1u);
    ASSERT_EQ(audio.size(), 1u);
    EXPECT_EQ(video[0]->loadEstimatedDataRate().value(),
              static_cast<float>(std::stod(probe(file, "-select_streams v:0 -show_entries stream=bit_rate -of csv=p=0"))));
    EXPECT_EQ(audio[0]->loadEstimatedDataRate().value(),
              static_cast<float>(std::stod(probe(file, "-select_streams a:0 -show_entries stream=bit_rate -of csv=p=0"))));
}

// ---- Sound tracks without samples --------------------------------------------------

// A sound track the container lists but no packet carries: the library still gives it
// the file's length.
const std::string kNoSound = "-f lavfi -i anullsrc=r=48000:cl=stereo,atrim=end_sample=0 ";
const std::string kTone = "-f lavfi -i sine=f=440:r=48000:d=2 ";
const std::string kPicture = "-f lavfi -i testsrc2=s=160x120:r=30:d=2 ";
const std::string kCodecs = " -c:v libx264 -preset ultrafast -c:a aac";
const std::string kFragmented = " -movflags frag_keyframe+empty_moov";

TEST(ReadingAsset, SoundTrackWithoutSamplesHasAnEmptyRange) {
    struct Case {
        const char* file;
        std::string args;
        std::vector<bool> empty;  // per sound track, in order
    };
    const Case cases[] = {
        {"no-sound.mp4", kPicture + kNoSound + "-map 0 -map 1" + kCodecs + kFragmented, {true}},
        {"no-sound.mkv", kPicture + kNoSound + "-map 0 -map 1" + kCodecs, {true}},
        {"no-sound-then-tone.mp4", kPicture + kNoSound + kTone + "-map 0 -map 1 -map 2" + kCodecs + kFragmented,
         {true, false}},
        {"tone-then-no-sound.mkv", kPicture + kTone + kNoSound + "-map 0 -map 1 -map 2" + kCodecs, {false, true}},
        // The index in a fragmented MP4's header lists no sample of any track: the
        // fragments carry them all.
        {"fragmented-tone.mp4", kPicture + kTone + "-map 0 -map 1" + kCodecs + kFragmented, {false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const fs::path file = fixture(c.file, c.args);
        const auto audio = tracks(openAsset(file), MediaType::Audio);
        ASSERT_EQ(audio.size(), c.empty.size());
        for (std::size_t i = 0; i < audio.size(); ++i) {
            SCOPED_TRACE(i);
            const std::string packets =
                probe(file, "-select_streams a:" + std::to_string(i) + " -show_entries packet=pts -of csv=p=0");
            ASSERT_EQ(packets.empty(), c.empty[i]) << "the fixture is not the case meant";
            // What the stream's own times give: the file's length even for an empty track.
            const auto& track = dynamic_cast<const media::ff::FileTrack&>(*audio[i]);
            const media::TimeRange given = media::ff::streamTimeRange(*track.source(), track.stream());
            EXPECT_GT(given.duration.seconds(), 1.9);

            const auto range = audio[i]->loadTimeRange();
            ASSERT_TRUE(range.ok()) << range.error().localizedDescription;
            ASSERT_TRUE(range.value().isValid());
            if (c.empty[i]) {
                EXPECT_EQ(range.value().duration.seconds(), 0.0);
                continue;
            }
            EXPECT_EQ(range.value().start, given.start);
            EXPECT_EQ(range.value().duration, given.duration);
            EXPECT_NEAR(range.value().duration.seconds(), 2.0, 0.1);
        }
    }
}

TEST(ReadingAsset, WhetherSoundHasSamplesIsAskedOfTheFileOnce) {
    const fs::path made = fixture("no-sound-then-tone.mp4",
                                  kPicture + kNoSound + kTone + "-map 0 -map 1 -map 2" + kCodecs + kFragmented);
    const fs::path copy = scratchDir() / "asked-once.mp4";
    fs::copy_file(made, copy, fs::copy_options::overwrite_existing);

    // A fragmented file's index does not list every sample, so the probe reads its
    // packets once to measure its length; that pass answers every sound track too, and
    // the file is not needed again, asked or not.
    auto answered = openAsset(copy);
    const auto audio = tracks(answered, MediaType::Audio);
    ASSERT_EQ(audio.size(), 2u);
    ASSERT_TRUE(audio[0]->loadTimeRange().ok());
    auto unanswered = openAsset(copy);
    const auto unasked = tracks(unanswered, MediaType::Audio);
    ASSERT_EQ(unasked.size(), 2u);
    fs::remove(copy);

    for (const auto& sound : {audio, unasked}) {
        EXPECT_EQ(sound[0]->loadTimeRange().value().duration.seconds(), 0.0);
        EXPECT_NEAR(sound[1]->loadTimeRange().value().duration.seconds(), 2.0, 0.1);
    }
}

// ---- Orientation ------------------------------------------------------------------

std::array<std::int32_t, 9> displayMatrix(int a, int b, int c, int d) {
    return {a * 65536, b * 65536, 0, c * 65536, d * 65536, 0, 0, 0, 1 << 30};
}

TEST(ReadingAsset, DisplayMatrixBecomesTheUprightTransform) {
    // A 1920 x 1080 picture. The phone's portrait clip reports -90 (libavutil's angle runs
    // counter-clockwise) and must come out as the quarter turn (0, 1, -1, 0, h, 0).
    struct Case {
        const char* name;
        std::array<int, 4> abcd;  // the matrix's linear part
        double reportedAngle;     // NAN for mirrorings
        AffineTransform expected;
    };
    const Case cases[] = {
        {"upright", {1, 0, 0, 1}, 0, {1, 0, 0, 1, 0, 0}},
        {"portrait phone", {0, 1, -1, 0}, -90, {0, 1, -1, 0, 1080, 0}},
        {"upside down", {-1, 0, 0, -1}, 180, {-1, 0, 0, -1, 1920, 1080}},
        {"turned the other way", {0, -1, 1, 0}, 90, {0, -1, 1, 0, 0, 1920}},
        {"mirrored", {-1, 0, 0, 1}, NAN, {-1, 0, 0, 1, 1920, 0}},
        {"flipped", {1, 0, 0, -1}, NAN, {1, 0, 0, -1, 0, 1080}},
        {"transposed", {0, 1, 1, 0}, NAN, {0, 1, 1, 0, 0, 0}},
        {"transposed the other way", {0, -1, -1, 0}, NAN, {0, -1, -1, 0, 1080, 1920}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto m = displayMatrix(c.abcd[0], c.abcd[1], c.abcd[2], c.abcd[3]);
        if (!std::isnan(c.reportedAngle)) {
            EXPECT_NEAR(std::remainder(av_display_rotation_get(m.data()) - c.reportedAngle, 360.0), 0.0, 1e-9);
        }
        EXPECT_EQ(media::ff::transformFromDisplayMatrix(m, {1920, 1080}), c.expected);
    }
    // A matrix that collapses the picture is damage: the picture stays as stored.
    EXPECT_EQ(media::ff::transformFromDisplayMatrix({}, {1920, 1080}), AffineTransform::identity());
}

TEST(ReadingAsset, RotationTagsOfRealFilesGiveExactQuarterTurns) {
    const fs::path plain =
        fixture("orient.mp4", "-f lavfi -i testsrc2=s=160x120:r=30:d=0.2 -c:v libx264 -preset ultrafast");
    // This ffmpeg writes rotate=N as a counter-clockwise turn by N degrees.
    struct Case {
        int degrees;
        const char* probed;
        AffineTransform expected;
    };
    const Case cases[] = {
        {90, "90", {0, -1, 1, 0, 0, 160}},
        {180, "-180", {-1, 0, 0, -1, 160, 120}},
        {270, "-90", {0, 1, -1, 0, 120, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.degrees);
        const fs::path file = rotated(plain, c.degrees, "orient-" + std::to_string(c.degrees) + ".mp4");
        ASSERT_EQ(probe(file, "-select_streams v:0 -show_entries stream_side_data=rotation -of csv=p=0"), c.probed);
        auto video = tracks(openAsset(file), MediaType::Video);
        ASSERT_EQ(video.size(), 1u);
        EXPECT_EQ(video[0]->loadPreferredTransform().value(), c.expected);
        EXPECT_EQ(video[0]->loadNaturalSize().value(), (media::Size{160, 120}));
    }
}

// ---- Files that are not media ------------------------------------------------------

TEST(ReadingAsset, FilesThatAreNotMediaFailTheFirstLoadWithAClearError) {
    const fs::path dir = scratchDir();
    {
        std::FILE* f = std::fopen((dir / "notes.txt").c_str(), "w");
        std::fputs("Shopping list\n- milk\n- bread\n", f);
        std::fclose(f);
        f = std::fopen((dir / "empty.mp4").c_str(), "w");
        std::fclose(f);
        f = std::fopen((dir / "garbage.mov").c_str(), "w");
        unsigned state = 12345;
        for (int i = 0; i < 65536; ++i) {
            state = state * 1103515245u + 12345u;
            std::fputc(static_cast<int>(state >> 24), f);
        }
        std::fclose(f);
    }
    // The index of the file sits at its end, so a cut file has none.
    const fs::path whole = fixture("moov-last.mp4", kClip + "-c:v libx264 -preset ultrafast -c:a aac -shortest");
    fs::copy_file(whole, dir / "cut.mp4", fs::copy_options::overwrite_existing);
    fs::resize_file(dir / "cut.mp4", fs::file_size(whole) / 2);

    for (const char* name : {"notes.txt", "empty.mp4", "garbage.mov", "cut.mp4", "missing.mp4"}) {
        SCOPED_TRACE(name);
        auto asset = openAsset(dir / name);
        const auto duration = asset->loadDuration();
        ASSERT_FALSE(duration.ok());
        EXPECT_FALSE(duration.error().localizedDescription.empty());
        EXPECT_EQ(duration.error().domain, media::kFFmpegErrorDomain);
        EXPECT_LT(duration.error().code, 0);
        EXPECT_FALSE(asset->loadTracks(MediaType::Video).ok());
        EXPECT_FALSE(framework().makeAssetReader(asset).ok());
    }
    const auto missing = openAsset(dir / "missing.mp4")->loadDuration();
    ASSERT_FALSE(missing.ok());
    ASSERT_NE(missing.error().underlyingError(), nullptr);
    EXPECT_EQ(missing.error().underlyingError()->domain, media::kPOSIXErrorDomain);
    EXPECT_EQ(missing.error().underlyingError()->code, ENOENT);
}

TEST(ReadingAsset, NamesThatLookLikeURLsAreStillFiles) {
    const fs::path clip = containerClip(kContainers[0]);
    const fs::path here = fs::current_path();
    fs::current_path(scratchDir());
    for (const char* name : {"take:1.mp4", "pipe:0.mp4", "http:clip.mp4"}) {
        SCOPED_TRACE(name);
        fs::copy_file(clip, name, fs::copy_options::overwrite_existing);
        auto asset = openAsset(name);  // relative, as the user typed it
        const auto duration = asset->loadDuration();
        EXPECT_TRUE(duration.ok()) << (duration.ok() ? "" : duration.error().localizedDescription);
        EXPECT_TRUE(framework().makeAssetReader(asset).ok());
    }
    fs::current_path(here);
}

TEST(ReadingAsset, StillImageHasNoLength) {
    const fs::path image = fixture("still.jpg", "-f lavfi -i testsrc2=s=64x48 -frames:v 1");
    auto asset = openAsset(image);
    const auto duration = asset->loadDuration();
    ASSERT_TRUE(duration.ok());
    EXPECT_EQ(duration.value().seconds(), 0.0);
}

}  // namespace
