#include "lifecycle/lifecycle.h"

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>

#ifdef QVC_LEAK_CHECK_AT_EXIT
#include <sanitizer/lsan_interface.h>
#endif

namespace lifecycle {
namespace {

// Written once by the main flow, read by the signal thread at any moment.
std::mutex stateMutex;
std::optional<std::filesystem::path> outputPath;
media::AssetReaderPtr activeReader;
media::AssetWriterPtr activeWriter;

std::atomic<bool> exitClaimed{false};

// Held by the main flow while it creates the output file, and by the signal thread
// from the removal of the output until the process has ended.
std::mutex creationMutex;

sigset_t terminationSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

// _exit skips the leak check that a leak-checking build runs at exit; run it here
// instead, so that a leak ends the process with the sanitizer's status. Not on a
// signal: a job stopped half way still holds all it uses.
void checkLeaks() {
#ifdef QVC_LEAK_CHECK_AT_EXIT
    __lsan_do_leak_check();
#endif
}

void waitForSignals() {
    pthread_setname_np(pthread_self(), "signals");
    const sigset_t set = terminationSignals();
    int received = 0;
    // sigwait only fails on an invalid set; keep waiting whatever it answers.
    while (sigwait(&set, &received) != 0) {
    }
    handleSignal();
}

}  // namespace

void setOutputURL(const std::filesystem::path& url) {
    std::lock_guard lock(stateMutex);
    outputPath = url;
}

std::optional<std::filesystem::path> outputURL() {
    std::lock_guard lock(stateMutex);
    return outputPath;
}

void setActiveReader(media::AssetReaderPtr reader) {
    std::lock_guard lock(stateMutex);
    activeReader = std::move(reader);
}

void setActiveWriter(media::AssetWriterPtr writer) {
    std::lock_guard lock(stateMutex);
    activeWriter = std::move(writer);
}

void removeOutput() {
    const auto url = outputURL();
    if (!url) return;
    struct stat info {};
    if (lstat(url->c_str(), &info) != 0) return;
    // A directory at the output path is never ours to delete.
    if (S_ISREG(info.st_mode) || S_ISLNK(info.st_mode)) unlink(url->c_str());
}

std::unique_lock<std::mutex> holdOutputCreation() { return std::unique_lock(creationMutex); }

void installSignalHandling() {
    // A host that closes its end of a pipe must not kill the job half way through
    // with the output left behind: a failed write is simply dropped.
    signal(SIGPIPE, SIG_IGN);

    const sigset_t set = terminationSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread(waitForSignals).detach();
}

void handleSignal() {
    claimExit();
    media::AssetReaderPtr reader;
    media::AssetWriterPtr writer;
    {
        std::lock_guard lock(stateMutex);
        reader = activeReader;
        writer = activeWriter;
    }
    if (reader) reader->cancelReading();
    if (writer) writer->cancelWriting();
    // Never released: a file being created now is there to be removed once creation
    // is over, and no file can come into being after the removal.
    creationMutex.lock();
    removeOutput();
    // Nothing is printed on this path, and every progress line was flushed when it
    // was written: flushing here could only block behind a pump stuck writing to a
    // host that stopped reading.
    _exit(143);
}

void claimExit() {
    if (!exitClaimed.exchange(true)) return;
    // Someone else is ending the process; wait here until it has.
    std::mutex never;
    std::condition_variable forever;
    std::unique_lock lock(never);
    forever.wait(lock, [] { return false; });
}

void endProcess(int status) {
    std::fflush(stdout);
    checkLeaks();
    _exit(status);
}

}  // namespace lifecycle
