#include "lifecycle/lifecycle.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;

// Appends one word to a log file when cancelled, so the parent can tell what the
// handler did in the child. Nothing else is ever called on them.
void appendWord(const fs::path& log, const char* word) {
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd < 0) return;
    const std::string line = std::string(word) + "\n";
    if (write(fd, line.data(), line.size()) < 0) {
    }
    close(fd);
}

class RecordingReader final : public media::AssetReader {
public:
    explicit RecordingReader(fs::path log) : log_(std::move(log)) {}
    bool canAddOutput(const std::shared_ptr<media::AssetReaderOutput>&) override { return true; }
    void addOutput(std::shared_ptr<media::AssetReaderOutput>) override {}
    bool startReading() override { return true; }
    media::AssetReaderStatus status() const override { return media::AssetReaderStatus::Reading; }
    std::optional<media::Error> error() const override { return std::nullopt; }
    void cancelReading() override { appendWord(log_, "reader"); }

private:
    fs::path log_;
};

class RecordingWriter final : public media::AssetWriter {
public:
    explicit RecordingWriter(fs::path log) : log_(std::move(log)) {}
    void setShouldOptimizeForNetworkUse(bool) override {}
    bool canApplyOutputSettings(const media::Settings&, media::MediaType) override { return true; }
    bool canAddInput(const media::AssetWriterInputPtr&) override { return true; }
    void addInput(media::AssetWriterInputPtr) override {}
    bool startWriting() override { return true; }
    void startSessionAtSourceTime(media::Time) override {}
    void finishWriting(std::function<void()>) override {}
    media::AssetWriterStatus status() const override { return media::AssetWriterStatus::Writing; }
    std::optional<media::Error> error() const override { return std::nullopt; }
    void cancelWriting() override { appendWord(log_, "writer"); }

private:
    fs::path log_;
};

struct SignalCase {
    const char* name;
    std::vector<int> signals;  // sent one right after the other
    bool readerAndWriter;      // published before the signals arrive
};

class InterruptionTest : public ::testing::TestWithParam<SignalCase> {};

TEST_P(InterruptionTest, EndsWith143AndRemovesTheOutput) {
    const SignalCase& c = GetParam();
    TempDir dir;
    const fs::path output = dir / "out.mp4";
    const fs::path cancels = dir / "cancels";
    writeFile(output, "partial");

    int ready[2];
    int hold[2];  // never written: the child waits on it until a signal ends it
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(hold), 0);

    const ChildRun result = runInChild(
        [&] {
            lifecycle::setOutputURL(output);
            if (c.readerAndWriter) {
                lifecycle::setActiveReader(std::make_shared<RecordingReader>(cancels));
                lifecycle::setActiveWriter(std::make_shared<RecordingWriter>(cancels));
            }
            lifecycle::installSignalHandling();
            if (write(ready[1], "r", 1) != 1) _exit(123);
            char never;
            while (true) {
                if (read(hold[0], &never, 1) >= 0) break;
            }
            _exit(124);
        },
        [&](pid_t child) {
            char byte;
            ASSERT_EQ(read(ready[0], &byte, 1), 1);
            for (int s : c.signals) kill(child, s);
        });
    for (int fd : {ready[0], ready[1], hold[0], hold[1]}) close(fd);

    ASSERT_TRUE(result.exited()) << "killed by signal " << WTERMSIG(result.status);
    EXPECT_EQ(result.exitCode(), 143);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_FALSE(fs::exists(fs::symlink_status(output)));
    EXPECT_EQ(readFile(cancels), c.readerAndWriter ? "reader\nwriter\n" : "");
}

INSTANTIATE_TEST_SUITE_P(
    Signals, InterruptionTest,
    ::testing::Values(SignalCase{"Sigterm", {SIGTERM}, true},
                      SignalCase{"Sigint", {SIGINT}, true},
                      SignalCase{"SigtermBeforeReaderAndWriter", {SIGTERM}, false},
                      SignalCase{"SigtermThenSigint", {SIGTERM, SIGINT}, true},
                      SignalCase{"SigintTwice", {SIGINT, SIGINT}, true}),
    [](const auto& row) { return std::string(row.param.name); });

enum class AtPath { Nothing, File, Directory, SymbolicLink };

struct RemovalCase {
    const char* name;
    bool outputURLSet;
    AtPath atPath;
    bool pathRemains;
};

class RemoveOutputTest : public ::testing::TestWithParam<RemovalCase> {};

TEST_P(RemoveOutputTest, RemovesOnlyAFileOrLinkAtTheOutputPath) {
    const RemovalCase& c = GetParam();
    TempDir dir;
    const fs::path output = dir / "out.mp4";
    const fs::path target = dir / "elsewhere.mp4";
    writeFile(target, "keep");
    switch (c.atPath) {
        case AtPath::Nothing: break;
        case AtPath::File: writeFile(output, "old"); break;
        case AtPath::Directory: fs::create_directory(output); break;
        case AtPath::SymbolicLink: fs::create_symlink(target, output); break;
    }

    const ChildRun result = runInChild([&] {
        if (c.outputURLSet) lifecycle::setOutputURL(output);
        lifecycle::removeOutput();
        lifecycle::removeOutput();  // a second call does no harm
    });

    EXPECT_EQ(result.exitCode(), 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(fs::exists(fs::symlink_status(output)), c.pathRemains);
    EXPECT_EQ(readFile(target), "keep");  // a link goes, never what it points to
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RemoveOutputTest,
    ::testing::Values(RemovalCase{"NoOutputPath", false, AtPath::File, true},
                      RemovalCase{"NoFile", true, AtPath::Nothing, false},
                      RemovalCase{"File", true, AtPath::File, false},
                      RemovalCase{"Directory", true, AtPath::Directory, true},
                      RemovalCase{"SymbolicLink", true, AtPath::SymbolicLink, false}),
    [](const auto& row) { return std::string(row.param.name); });

// A host that stops reading leaves a progress line stuck in a write that holds the
// standard-output lock; the signal must still end the job.
TEST(InterruptionTest, EndsWhileAnotherThreadIsStuckWritingStandardOutput) {
    TempDir dir;
    const fs::path output = dir / "out.mp4";
    writeFile(output, "partial");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);

    const ChildRun result = runInChild(
        [&] {
            alarm(20);  // a hang ends as a kill by SIGALRM, which the test reports
            int host[2];
            if (pipe(host) != 0) _exit(121);
            dup2(host[1], STDOUT_FILENO);  // nobody ever reads host[0]
            lifecycle::setOutputURL(output);
            lifecycle::installSignalHandling();
            std::thread([] {
                const std::string block(1 << 20, 'x');
                std::fwrite(block.data(), 1, block.size(), stdout);
                std::fflush(stdout);
            }).detach();
            if (write(ready[1], "r", 1) != 1) _exit(123);
            pause();
            _exit(124);
        },
        [&](pid_t child) {
            char byte;
            ASSERT_EQ(read(ready[0], &byte, 1), 1);
            kill(child, SIGTERM);
        });
    close(ready[0]);
    close(ready[1]);

    ASSERT_TRUE(result.exited()) << "killed by signal " << WTERMSIG(result.status);
    EXPECT_EQ(result.exitCode(), 143);
    EXPECT_FALSE(fs::exists(output));
}

TEST(ClaimExitTest, TheFirstCallerDecidesTheStatus) {
    const ChildRun result = runInChild([] {
        lifecycle::claimExit();
        std::fputs("flushed on the way out\n", stdout);
        lifecycle::endProcess(7);
    });
    EXPECT_EQ(result.exitCode(), 7);
    EXPECT_EQ(result.out, "flushed on the way out\n");
}

}  // namespace
