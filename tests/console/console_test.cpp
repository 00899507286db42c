#include "console/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>

#include "console/progress.h"
#include "lifecycle/lifecycle.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;

// What the body wrote to descriptor fd, in this process.
template <class Body>
std::string captured(int fd, Body body) {
    TempDir dir;
    const fs::path path = dir / "captured";
    std::fflush(stdout);
    const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int saved = dup(fd);
    dup2(file, fd);
    close(file);
    body();
    std::fflush(stdout);
    dup2(saved, fd);
    close(saved);
    return readFile(path);
}

media::Error error(std::string description, std::string domain, std::int64_t code) {
    return media::Error{std::move(description), std::move(domain), code, {}};
}

media::Error withEntry(media::Error e, media::ErrorUserInfoValue entry) {
    e.userInfo[media::NSUnderlyingErrorKey] = std::move(entry);
    return e;
}

struct DescribeCase {
    const char* name;
    media::Error error;
    std::string expected;
};

class DescribeTest : public ::testing::TestWithParam<DescribeCase> {};

TEST_P(DescribeTest, RendersDomainCodeAndOneUnderlyingLevel) {
    EXPECT_EQ(console::describe(GetParam().error), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Errors, DescribeTest,
    ::testing::Values(
        DescribeCase{"Plain", error("The file could not be opened.", "media", 3),
                     "The file could not be opened. [media 3]"},
        DescribeCase{"ZeroCode", error("Stopped", "media", 0), "Stopped [media 0]"},
        DescribeCase{"NegativeCode", error("Invalid data found", "ffmpeg", -1094995529),
                     "Invalid data found [ffmpeg -1094995529]"},
        DescribeCase{"LowestCode", error("x", "d", std::numeric_limits<std::int64_t>::min()),
                     "x [d -9223372036854775808]"},
        DescribeCase{"UnderlyingError",
                     error("Cannot open", "ffmpeg", -2).withUnderlying(error("No such file", "posix", 2)),
                     "Cannot open [ffmpeg -2 / posix 2]"},
        DescribeCase{"UnderlyingNegativeCode",
                     error("Cannot open", "media", 7).withUnderlying(error("gone", "ffmpeg", -5)),
                     "Cannot open [media 7 / ffmpeg -5]"},
        DescribeCase{"OnlyOneLevelFollowed",
                     error("Top", "a", 1).withUnderlying(
                         error("Middle", "b", 2).withUnderlying(error("Bottom", "c", 3))),
                     "Top [a 1 / b 2]"},
        DescribeCase{"NonErrorUnderlyingEntryIgnored",
                     withEntry(error("Top", "a", 1), std::string("not an error")), "Top [a 1]"},
        DescribeCase{"NumberUnderlyingEntryIgnored", withEntry(error("Top", "a", 1), std::int64_t{9}),
                     "Top [a 1]"},
        DescribeCase{"EmptyUnderlyingEntryIgnored",
                     withEntry(error("Top", "a", 1), std::shared_ptr<const media::Error>()), "Top [a 1]"}),
    [](const auto& row) { return std::string(row.param.name); });

struct LineCase {
    const char* name;
    std::string text;
    std::string bytes;
};

class StderrLineTest : public ::testing::TestWithParam<LineCase> {};

TEST_P(StderrLineTest, WritesOneLineWithLineFeedsAsSpaces) {
    const std::string written = captured(STDERR_FILENO, [] { console::stderrLine(GetParam().text); });
    EXPECT_EQ(written, GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, StderrLineTest,
    ::testing::Values(LineCase{"Plain", "no video track", "no video track\n"},
                      LineCase{"LineFeedInside", "cannot open the media: two\nlines [media 1]",
                               "cannot open the media: two lines [media 1]\n"},
                      LineCase{"TrailingLineFeed", "done\n", "done \n"},
                      LineCase{"CarriageReturnPassesThrough", "a\r\nb", "a\r b\n"},
                      LineCase{"Empty", "", "\n"},
                      LineCase{"Utf8", "caf\xC3\xA9", "caf\xC3\xA9\n"}),
    [](const auto& row) { return std::string(row.param.name); });

struct DieCase {
    const char* name;
    int code;
    bool outputURLSet;
};

class DieTest : public ::testing::TestWithParam<DieCase> {};

TEST_P(DieTest, RemovesTheOutputThenWritesTheLineThenExits) {
    const DieCase& c = GetParam();
    TempDir dir;
    const fs::path output = dir / "out.mp4";
    writeFile(output, "partial");

    const ChildRun result = runInChild([&] {
        if (c.outputURLSet) lifecycle::setOutputURL(output);
        console::die("decode failed: bad\nframe [media 1]", c.code);
    });

    EXPECT_EQ(result.exitCode(), c.code);
    EXPECT_EQ(result.err, "decode failed: bad frame [media 1]\n");
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(fs::exists(output), !c.outputURLSet);
}

INSTANTIATE_TEST_SUITE_P(Codes, DieTest,
                         ::testing::Values(DieCase{"JobFailure", 1, true}, DieCase{"PathRefused", 2, false}),
                         [](const auto& row) { return std::string(row.param.name); });

// A reader whose cancelReading tells the main flow that the signal handler has
// taken the exit, then waits until the main flow is about to die itself.
class HandshakeReader final : public media::AssetReader {
public:
    HandshakeReader(int tell, int wait) : tell_(tell), wait_(wait) {}
    bool canAddOutput(const std::shared_ptr<media::AssetReaderOutput>&) override { return true; }
    void addOutput(std::shared_ptr<media::AssetReaderOutput>) override {}
    bool startReading() override { return true; }
    media::AssetReaderStatus status() const override { return media::AssetReaderStatus::Reading; }
    std::optional<media::Error> error() const override { return std::nullopt; }
    void cancelReading() override {
        char byte = 'c';
        if (write(tell_, &byte, 1) != 1) _exit(125);
        if (read(wait_, &byte, 1) != 1) _exit(126);
    }

private:
    int tell_;
    int wait_;
};

TEST(ExitRaceTest, DieAfterTheSignalHandlerHasBegunPrintsNothing) {
    TempDir dir;
    const fs::path output = dir / "out.mp4";
    writeFile(output, "partial");
    int cancelled[2];
    int go[2];
    ASSERT_EQ(pipe(cancelled), 0);
    ASSERT_EQ(pipe(go), 0);

    const ChildRun result = runInChild([&] {
        lifecycle::setOutputURL(output);
        lifecycle::setActiveReader(std::make_shared<HandshakeReader>(cancelled[1], go[0]));
        lifecycle::installSignalHandling();
        kill(getpid(), SIGTERM);
        char byte;
        if (read(cancelled[0], &byte, 1) != 1) _exit(127);
        if (write(go[1], "g", 1) != 1) _exit(127);
        console::die("encode failed: unknown");
    });
    for (int fd : {cancelled[0], cancelled[1], go[0], go[1]}) close(fd);

    ASSERT_TRUE(result.exited());
    EXPECT_EQ(result.exitCode(), 143);
    EXPECT_EQ(result.err, "");
    EXPECT_FALSE(fs::exists(output));
}

struct ReportCase {
    const char* name;
    std::vector<std::int64_t> calls;
    std::string lines;
};

class ReportTest : public ::testing::TestWithParam<ReportCase> {};

TEST_P(ReportTest, PrintsOnlyStrictlyRisingClampedPercents) {
    console::resetProgress();
    const std::string written = captured(STDOUT_FILENO, [] {
        for (std::int64_t percent : GetParam().calls) console::report(percent);
    });
    EXPECT_EQ(written, GetParam().lines);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, ReportTest,
    ::testing::Values(ReportCase{"NegativeClampsToZero", {-5}, "PROGRESS 0\n"},
                      ReportCase{"AboveHundredClampsToHundred", {250}, "PROGRESS 100\n"},
                      ReportCase{"HundredOnlyOnce", {100, 250}, "PROGRESS 100\n"},
                      ReportCase{"EqualPrintedOnce", {7, 7}, "PROGRESS 7\n"},
                      ReportCase{"LowerIgnored", {40, 12, 40, 41}, "PROGRESS 40\nPROGRESS 41\n"},
                      ReportCase{"ZeroAfterNegativeIsNotNew", {-1, 0, 1}, "PROGRESS 0\nPROGRESS 1\n"},
                      ReportCase{"JobShape", {0, 0, 28, 56, 99, 100},
                                 "PROGRESS 0\nPROGRESS 28\nPROGRESS 56\nPROGRESS 99\nPROGRESS 100\n"}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(StdoutOrderTest, ProgressLinesKeepTheirPlaceBeforeTheDirectEncoderLine) {
    const ChildRun result = runInChild([] {
        // The host reads a pipe, so standard output is fully buffered there.
        std::setvbuf(stdout, nullptr, _IOFBF, BUFSIZ);
        console::resetProgress();
        console::report(0);
        console::report(42);
        console::writeEncoderLine("software");
        console::report(100);
        lifecycle::endProcess(0);
    });
    EXPECT_EQ(result.exitCode(), 0);
    EXPECT_EQ(result.out, "PROGRESS 0\nPROGRESS 42\nENCODER software\nPROGRESS 100\n");
    EXPECT_EQ(result.err, "");
}

TEST(ConsoleTest, AClosedPipeDoesNotKillTheJob) {
    const ChildRun result = runInChild([] {
        lifecycle::installSignalHandling();
        int broken[2];
        if (pipe(broken) != 0) _exit(120);
        close(broken[0]);
        dup2(broken[1], STDOUT_FILENO);
        dup2(broken[1], STDERR_FILENO);
        console::resetProgress();
        console::report(3);
        console::writeEncoderLine("auto");
        console::stderrLine("nobody reads this");
        lifecycle::endProcess(0);
    });
    ASSERT_TRUE(result.exited()) << "killed by signal " << WTERMSIG(result.status);
    EXPECT_EQ(result.exitCode(), 0);
}

struct PercentCase {
    const char* name;
    media::Time pts;
    double durationSeconds;
    std::int64_t percent;
};

class ProgressPercentTest : public ::testing::TestWithParam<PercentCase> {};

TEST_P(ProgressPercentTest, DividesThenMultipliesAndTruncates) {
    const PercentCase& c = GetParam();
    EXPECT_EQ(console::progressPercent(c.pts, c.durationSeconds), c.percent);
}

INSTANTIATE_TEST_SUITE_P(
    Times, ProgressPercentTest,
    ::testing::Values(
        // 29 / 100 * 100 falls just below 29 in double arithmetic; likewise 57 and 58.
        PercentCase{"At29Of100", media::Time::make(29, 1), 100.0, 28},
        PercentCase{"At57Of100", media::Time::make(57000, 1000), 100.0, 56},
        PercentCase{"At58Of100", media::Time::make(58, 1), 100.0, 57},
        PercentCase{"Halfway", media::Time::make(5, 1), 10.0, 50},
        PercentCase{"Start", media::Time::zero(), 100.0, 0},
        PercentCase{"Negative", media::Time::make(-1, 30), 100.0, 0},
        PercentCase{"Invalid", media::Time::invalid(), 100.0, 0},
        PercentCase{"Indefinite", media::Time::indefinite(), 100.0, 0},
        PercentCase{"AtTheEnd", media::Time::make(100, 1), 100.0, 99},
        PercentCase{"PastTheEnd", media::Time::make(250, 1), 100.0, 99},
        PercentCase{"Infinite", media::Time::positiveInfinity(), 100.0, 99}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
