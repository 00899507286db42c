#include "lifecycle/confinement.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "support/child_process.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;

// A job's layout: the input beside a file it must not read, and an output folder
// apart from both.
struct Layout {
    TempDir dir;
    fs::path input = dir.path() / "in" / "source.mov";
    fs::path neighbour = dir.path() / "in" / "private.txt";
    fs::path outputFolder = dir.path() / "out";
    fs::path output = outputFolder / "small.mp4";

    Layout() {
        fs::create_directories(input.parent_path());
        fs::create_directories(outputFolder);
        writeFile(input, "source");
        writeFile(neighbour, "secret");
    }
};

bool readsFile(const fs::path& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char byte = 0;
    const bool read = ::read(fd, &byte, 1) == 1;
    close(fd);
    return read;
}

bool writesFile(const fs::path& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = write(fd, "x", 1) == 1;
    close(fd);
    return written;
}

// What a job does with its output: create it, write it, open it again to read it
// back, and remove it.
bool writesReadsAndRemoves(const fs::path& path) {
    return writesFile(path) && readsFile(path) && writesFile(path) && unlink(path.c_str()) == 0;
}

bool opensSocket(int family, int type) {
    const int fd = socket(family, type | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    close(fd);
    return true;
}

#ifndef QVC_SANITIZER_BUILD
bool startsProgram() {
    const pid_t child = fork();
    if (child == 0) {
        execl("/bin/true", "true", static_cast<char*>(nullptr));
        _exit(errno == EPERM ? 101 : 102);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
#endif

// The sanitizers' runtime reads /proc and runs its symbolizer on our binaries, so
// their builds let the process read anywhere: reading cases are left out there.
#ifdef QVC_SANITIZER_BUILD
constexpr bool readsAnywhere = true;
#else
constexpr bool readsAnywhere = false;
#endif

struct Case {
    const char* name;
    bool needsLandlock;  // whether only the filesystem layer stops it
    bool reads;          // whether it only reads or lists
    bool allowed;
    std::function<bool(const Layout&)> attempt;
};

const Case cases[] = {
    {"reads the input", false, false, true, [](const Layout& l) { return readsFile(l.input); }},
    {"writes, reads back and removes the output", false, false, true,
     [](const Layout& l) { return writesReadsAndRemoves(l.output); }},
    {"the same from a thread started later", false, false, true,
     [](const Layout& l) {
         bool done = false;
         std::thread([&] { done = writesReadsAndRemoves(l.output); }).join();
         return done;
     }},
    {"reads the file beside the input", true, true, false, [](const Layout& l) { return readsFile(l.neighbour); }},
    {"reads a file of the system", true, true, false, [](const Layout&) { return readsFile("/etc/passwd"); }},
    {"reads another file from a thread started later", true, true, false,
     [](const Layout& l) {
         bool done = true;
         std::thread([&] { done = readsFile(l.neighbour); }).join();
         return done;
     }},
    {"writes beside the input", true, false, false,
     [](const Layout& l) { return writesFile(l.input.parent_path() / "dropped.mp4"); }},
    {"overwrites the input", true, false, false, [](const Layout& l) { return writesFile(l.input); }},
    {"makes a folder in the output's folder", true, false, false,
     [](const Layout& l) { return mkdir((l.outputFolder / "sub").c_str(), 0755) == 0; }},
    {"lists the output's folder", true, true, false,
     [](const Layout& l) {
         const int fd = open(l.outputFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
         if (fd >= 0) close(fd);
         return fd >= 0;
     }},
    {"opens an internet socket", false, false, false, [](const Layout&) { return opensSocket(AF_INET, SOCK_STREAM); }},
    {"opens a local socket", false, false, false, [](const Layout&) { return opensSocket(AF_UNIX, SOCK_DGRAM); }},
    {"makes a socket pair", false, false, false,
     [](const Layout&) {
         int fds[2];
         if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
         close(fds[0]);
         close(fds[1]);
         return true;
     }},
#ifndef QVC_SANITIZER_BUILD
    // The sanitizers' runtime runs its symbolizer there, so their builds allow it.
    {"starts a program", false, false, false, [](const Layout&) { return startsProgram(); }},
#endif
    {"enters a new namespace", false, false, false, [](const Layout&) { return unshare(CLONE_NEWUSER) == 0; }},
    {"starts a process in a new namespace", false, false, false,
     [](const Layout&) {
         const long child = syscall(SYS_clone, CLONE_NEWUSER | SIGCHLD, nullptr, nullptr, nullptr, 0);
         if (child == 0) _exit(0);
         if (child < 0) return false;
         waitpid(static_cast<pid_t>(child), nullptr, 0);
         return true;
     }},
};

class Confinement : public testing::TestWithParam<Case> {};

TEST_P(Confinement, AllowsTheJobsFilesAndNothingElse) {
    const Case& tried = GetParam();
    const bool landlock = lifecycle::landlockVersion() > 0;
    if (tried.needsLandlock && !landlock) GTEST_SKIP() << "the kernel has no Landlock";
    if (tried.reads && readsAnywhere) GTEST_SKIP() << "sanitizer builds may read anywhere";
    Layout layout;
    const ChildRun run = runInChild([&] {
        lifecycle::Confinement rules;
        rules.input = layout.input;
        rules.outputFolder = layout.outputFolder;
        rules.readable = lifecycle::runtimeFiles();
        const auto result = lifecycle::confine(rules);
        if (result.filesystem != landlock || !result.systemCalls) _exit(3);
        _exit(tried.attempt(layout) ? 0 : 1);
    });
    ASSERT_TRUE(run.exited()) << run.err;
    ASSERT_NE(run.exitCode(), 3) << "the confinement was not put in place";
    EXPECT_EQ(run.exitCode(), tried.allowed ? 0 : 1) << tried.name;
}

INSTANTIATE_TEST_SUITE_P(Attempts, Confinement, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case>& param) {
                             std::string name;
                             for (const char* c = param.param.name; *c != '\0'; ++c) {
                                 if (std::isalnum(static_cast<unsigned char>(*c))) name += *c;
                             }
                             return name;
                         });

// Paths that are not there are left out instead of making the rest fail.
TEST(ConfinementRules, MissingPathsAreLeftOut) {
    if (lifecycle::landlockVersion() == 0) GTEST_SKIP() << "the kernel has no Landlock";
    if (readsAnywhere) GTEST_SKIP() << "sanitizer builds may read anywhere";
    Layout layout;
    const ChildRun run = runInChild([&] {
        lifecycle::Confinement rules;
        rules.input = layout.input;
        rules.outputFolder = layout.outputFolder;
        rules.readable = {layout.dir.path() / "absent"};
        rules.devices = {"/dev/absent-device"};
        rules.listable = {layout.dir.path() / "absent-folder"};
        const auto result = lifecycle::confine(rules);
        _exit(result.filesystem && readsFile(layout.input) && !readsFile(layout.neighbour) ? 0 : 1);
    });
    EXPECT_EQ(run.exitCode(), 0);
}

}  // namespace
