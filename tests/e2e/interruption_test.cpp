// Termination signals sent to the job around the moment its writer creates the output
// file. Whichever side of that moment a signal falls, and however close to it, the job
// ends with 143, prints nothing and leaves no file at the output path.
//
// Each run is the program's own main() in a forked child rather than the program
// executed afresh: loading the media libraries costs a tenth of a second or more per
// start, which would make a sweep of this many runs slow.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/job.h"
#include "media/ffmpeg_framework.h"
#include "e2e/ffmpeg_tool.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using testing_support::ChildRun;

// Tells which files are created in one folder, as they are created.
class CreationWatch {
public:
    explicit CreationWatch(const fs::path& dir) : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        if (fd_ >= 0) inotify_add_watch(fd_, dir.c_str(), IN_CREATE);
    }
    ~CreationWatch() {
        if (fd_ >= 0) close(fd_);
    }
    CreationWatch(const CreationWatch&) = delete;
    CreationWatch& operator=(const CreationWatch&) = delete;

    bool usable() const { return fd_ >= 0; }

    // Waits up to the limit for a file of that name to be created; true if it was.
    bool waitFor(const std::string& name, std::chrono::milliseconds limit) {
        const auto end = Clock::now() + limit;
        for (;;) {
            if (takeEvents(name)) return true;
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
            if (left.count() <= 0) return false;
            pollfd ready{fd_, POLLIN, 0};
            poll(&ready, 1, static_cast<int>(left.count()));
        }
    }

    // Whether a file of that name was created since the last look.
    bool takeEvents(const std::string& name) {
        alignas(inotify_event) char buffer[4096];
        bool seen = false;
        ssize_t n = 0;
        while ((n = read(fd_, buffer, sizeof buffer)) > 0) {
            for (char* at = buffer; at < buffer + n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                if (event->len > 0 && name == event->name) seen = true;
                at += sizeof(inotify_event) + event->len;
            }
        }
        return seen;
    }

private:
    int fd_;
};

// Waits until the program has taken over SIGTERM (blocked it to wait for it on a
// thread of its own): before that the signal's default action ends it, which is not
// the moment under test. False if it never does.
bool waitForSignalHandling(pid_t pid) {
    const std::string status = "/proc/" + std::to_string(pid) + "/status";
    const auto end = Clock::now() + std::chrono::seconds(10);
    for (; Clock::now() < end; std::this_thread::sleep_for(microseconds(20))) {
        std::ifstream in(status);
        if (!in) return false;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("SigBlk:", 0) != 0) continue;
            const unsigned long long blocked = std::stoull(line.substr(7), nullptr, 16);
            if (blocked & (1ull << (SIGTERM - 1))) return true;
        }
    }
    return false;
}

class Interruption : public ::testing::Test {
protected:
    void SetUp() override {
        // A tiny source, so that the writer is made within a few milliseconds of the
        // start and the encoding after it is still running when the last signal comes.
        source = dir / "in.mp4";
        e2e::ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=30", "-t", "10", "-c:v", "libx264", "-preset",
                     "ultrafast", "-pix_fmt", "yuv420p"},
                    source);
    }

    // Runs the job as main() does; whenIn sees the child as soon as it exists.
    ChildRun compress(const testing_support::ChildStarted& whenIn) {
        return testing_support::runInChild(
            [&](int) {
                alarm(30);  // a hang ends as a kill by SIGALRM, which the test reports
                auto framework = media::makeFFmpegFramework();
                app::runJob({"quorle-video-compress", source.string(), output.string(), "--profile", "camera-high"},
                            *framework);
            },
            {}, whenIn);
    }

    testing_support::TempDir dir;
    fs::path source;
    fs::path output = dir / "out.mp4";
};

// A signal taken while the writer was creating its file could find nothing to remove
// and end the process with the new, empty file left behind.
TEST_F(Interruption, SignalsAroundTheCreationOfTheOutputNeverLeaveAFile) {
    CreationWatch watch(dir.path());
    if (!watch.usable()) GTEST_SKIP() << "inotify is not available here";

    // When the output file comes into being, counted from the moment the program takes
    // over the signal, on this machine now.
    std::vector<Clock::duration> creation;
    for (int i = 0; i < 5; ++i) {
        bool created = false;
        const ChildRun run = compress([&](pid_t child) {
            if (!waitForSignalHandling(child)) return;
            const auto start = Clock::now();
            created = watch.waitFor(output.filename(), std::chrono::seconds(10));
            if (created) creation.push_back(Clock::now() - start);
            kill(child, SIGTERM);
        });
        ASSERT_TRUE(created) << "the output was never created: " << run.err;
        ASSERT_EQ(run.exitCode(), 143) << run.err;
        ASSERT_FALSE(fs::exists(fs::symlink_status(output)));
    }
    std::sort(creation.begin(), creation.end());
    const auto median = std::chrono::duration_cast<microseconds>(creation[creation.size() / 2]);

    // Signals swept in even steps from the moment the program takes them over to well
    // after the median moment of creation; the spread of start-up times from run to
    // run scatters them further.
    constexpr int kRuns = 120;
    const microseconds step = median * 2 / kRuns;
    int before = 0, after = 0;
    for (int i = 0; i < kRuns; ++i) {
        const microseconds delay = step * i;
        SCOPED_TRACE("signal " + std::to_string(delay.count()) + " us after the program took it over (median "
                     "creation " + std::to_string(median.count()) + " us)");
        const ChildRun run = compress([&](pid_t child) {
            if (!waitForSignalHandling(child)) return;
            std::this_thread::sleep_until(Clock::now() + delay);
            kill(child, SIGTERM);
        });
        const bool created = watch.takeEvents(output.filename());
        (created ? after : before) += 1;

        ASSERT_TRUE(run.exited()) << "signal " << run.termSignal();
        EXPECT_EQ(run.exitCode(), 143) << "the job never took over the signal, or ended before it came";
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.out.find("ENCODER"), std::string::npos) << run.out;
        const bool left = fs::exists(fs::symlink_status(output));
        EXPECT_FALSE(left) << (left ? std::to_string(fs::file_size(output)) + " bytes left" : "");
        if (left) fs::remove(output);
        if (HasFailure()) break;
    }
    RecordProperty("signals before creation", before);
    RecordProperty("signals after creation", after);
    // The sweep must straddle the moment, or it proved nothing.
    EXPECT_GT(before, 0);
    EXPECT_GT(after, 0);
}

}  // namespace
