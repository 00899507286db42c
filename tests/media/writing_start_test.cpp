// Starting to write against a cancel (the job's SIGTERM) that lands after startWriting
// has checked the status and before it writes the header: the cancel has closed the
// file by then, and the start must give up rather than write through a closed file.
//
// The program defines no writerStartCheckedHook; this test program defines it, so
// every start here calls it at that point, and a test that arms it lands its cancel
// there every time.
#include <gtest/gtest.h>

#include <functional>

#include "media/ffmpeg/libav.h"
#include "media/ffmpeg/writing/writer.h"
#include "writing_support.h"

namespace {
std::function<void(media::AssetWriter&)> whenStartChecked;
}

void media::ff::writerStartCheckedHook(AssetWriter& writer) {
    if (whenStartChecked) whenStartChecked(writer);
}

namespace writing_test {
namespace {

using media::AssetWriterStatus;

class WritingStart : public ::testing::Test {
protected:
    static void SetUpTestSuite() { media::ff::silenceLibraryLogs(); }
    void TearDown() override { whenStartChecked = nullptr; }

    // A writer with one sound input, as the job sets one up, before its start.
    media::AssetWriterPtr makeWriter(const fs::path& out) {
        auto writer = media::ff::makeWriter(out, media::FileType::MPEG4).value();
        input_ = media::ff::makeWriterInput(media::MediaType::Audio, aacSettings(48000));
        EXPECT_TRUE(writer->canAddInput(input_));
        writer->addInput(input_);
        return writer;
    }

    TempDir dir_;
    media::AssetWriterInputPtr input_;
};

TEST_F(WritingStart, ACancelAfterTheStatusCheckStopsTheStartBeforeTheHeader) {
    const fs::path out = dir_.path() / "cancelled.mp4";
    auto writer = makeWriter(out);
    int calls = 0;
    whenStartChecked = [&calls](media::AssetWriter& started) {
        ++calls;
        started.cancelWriting();
    };

    EXPECT_FALSE(writer->startWriting());
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(writer->status(), AssetWriterStatus::Cancelled);
    // Nothing was written into the file the cancel closed.
    EXPECT_EQ(fs::file_size(out), 0u);

    // The job's way out after a cancel: the finish reports and stays cancelled.
    finishAndWait(*writer);
    EXPECT_EQ(writer->status(), AssetWriterStatus::Cancelled);
    EXPECT_EQ(fs::file_size(out), 0u);
}

TEST_F(WritingStart, WithoutACancelTheStartWritesTheHeader) {
    const fs::path out = dir_.path() / "started.mp4";
    auto writer = makeWriter(out);
    int calls = 0;
    whenStartChecked = [&calls](media::AssetWriter&) { ++calls; };

    ASSERT_TRUE(writer->startWriting());
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(writer->status(), AssetWriterStatus::Writing);
    ASSERT_TRUE(input_->appendSampleBuffer(*soundBlock(0, 4800)));
    finishAndWait(*writer);
    EXPECT_EQ(writer->status(), AssetWriterStatus::Completed);
    EXPECT_EQ(probeStream(out, "a:0", "codec_name").at("codec_name"), "aac");
}

}  // namespace
}  // namespace writing_test
