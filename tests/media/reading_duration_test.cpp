// The asset's length and its tracks' ranges against what the data holds: headers that
// claim far more give way to the data, and what the data legitimately holds stays.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "media/ffmpeg/reading/asset.h"
#include "reading_fixtures.h"
#include "support/claimed_lengths.h"

namespace {

using namespace reading_test;
using media::MediaType;

std::string readAll(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

fs::path rewritten(const fs::path& honest, const std::string& name, void (*rewrite)(std::string&)) {
    std::string bytes = readAll(honest);
    rewrite(bytes);
    const fs::path file = scratchDir() / name;
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
}

const std::string kClip = "-f lavfi -i testsrc2=s=160x120:r=30:d=1 -f lavfi -i sine=f=440:r=48000:d=1 ";
const std::string kCodecs = "-c:v libx264 -preset ultrafast -c:a aac";

TEST(ReadingDuration, HeadersClaimingMoreGiveWayToTheData) {
    struct Case {
        const char* name;
        std::string args;
        void (*rewrite)(std::string&);
    };
    const Case cases[] = {
        {"fragmented.mp4", kClip + kCodecs + " -movflags frag_keyframe+empty_moov+default_base_moof",
         [](std::string& b) {
             testing_support::addMehd(b, 4'700'000'000'000'000ull);
             testing_support::setMp4Duration(b, "mdhd", 0xffffffffu);
         }},
        {"movie-header.mp4", kClip + kCodecs, [](std::string& b) { testing_support::setMp4Duration(b, "mvhd", 0xffffffffu); }},
        {"segment.mkv", kClip + kCodecs, [](std::string& b) { testing_support::setMatroskaDuration(b, 1e11); }},
        {"frames.avi", kClip + "-c:v mpeg4 -c:a libmp3lame",
         [](std::string& b) { testing_support::setAviFrameCounts(b, 100'000'000); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path honest = fixture(std::string("honest-") + c.name, c.args);
        const fs::path file = rewritten(honest, c.name, c.rewrite);
        ASSERT_GT(std::stod(probe(file, "-show_entries format=duration -of csv=p=0")), 1000.0);
        const double real = std::stod(probe(honest, "-show_entries format=duration -of csv=p=0"));

        auto asset = openAsset(file);
        const auto duration = asset->loadDuration();
        ASSERT_TRUE(duration.ok());
        EXPECT_NEAR(duration.value().seconds(), real, 1.0 / 30);
        for (MediaType type : {MediaType::Video, MediaType::Audio}) {
            const auto found = tracks(asset, type);
            ASSERT_EQ(found.size(), 1u);
            const auto range = found[0]->loadTimeRange();
            ASSERT_TRUE(range.ok());
            EXPECT_NEAR(range.value().start.seconds() + range.value().duration.seconds(), real, 1.0 / 30);
        }
        // The video's rate is its bytes over its real length, whoever works it out.
        const auto video = tracks(asset, MediaType::Video);
        double bytes = 0;
        std::istringstream sizes(probe(honest, "-select_streams v:0 -show_entries packet=size -of csv=p=0"));
        for (std::string line; std::getline(sizes, line);) bytes += line.empty() ? 0 : std::stod(line);
        const auto rate = video[0]->loadEstimatedDataRate();
        ASSERT_TRUE(rate.ok());
        EXPECT_NEAR(rate.value(), bytes * 8 / real, bytes * 8 / real * 0.1);
    }
}

// One still picture under an hour of sound: the sound's data reaches as far as the
// picture claims to last, so both keep the hour.
TEST(ReadingDuration, StillPictureUnderAnHourOfSound) {
    const fs::path file = fixture("still-hour.mov",
                                  "-f lavfi -i color=red:s=64x48:r=1/3600:d=3600 -f lavfi -i anullsrc=r=8000:cl=mono "
                                  "-t 3600 -c:v libx264 -preset ultrafast -c:a pcm_u8");
    ASSERT_EQ(probe(file, "-select_streams v:0 -count_packets -show_entries stream=nb_read_packets -of csv=p=0"), "1");
    auto asset = openAsset(file);
    EXPECT_NEAR(asset->loadDuration().value().seconds(), 3600.0, 0.1);
    for (MediaType type : {MediaType::Video, MediaType::Audio}) {
        const auto found = tracks(asset, type);
        ASSERT_EQ(found.size(), 1u);
        const auto range = found[0]->loadTimeRange().value();
        EXPECT_NEAR(range.start.seconds(), 0.0, 0.01);
        EXPECT_NEAR(range.duration.seconds(), 3600.0, 0.1);
    }
}

}  // namespace
