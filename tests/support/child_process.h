// Running code or a program in a child process and collecting what it printed and
// how it ended. The streams come back through pipes, each drained by a thread of its
// own, so that a chatty child can never block on a full pipe.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace testing_support {

struct ChildRun {
    int status = 0;     // as waitpid reports it
    std::string out;    // standard output
    std::string err;    // standard error
    std::string calls;  // what the child wrote to the extra descriptor

    bool exited() const;
    int exitCode() const;    // -1 unless the child exited
    int termSignal() const;  // 0 unless a signal ended the child
};

// Called in the parent with the child's pid and all of its standard output so far,
// each time more arrives.
using OutputWatch = std::function<void(pid_t, const std::string&)>;
// Called in the parent once the child exists (to signal it, say).
using ChildStarted = std::function<void(pid_t)>;

// Forks; the child runs body with a descriptor for extra reports, stdin from /dev/null,
// and exits with 120 if body returns, since the code under test was to end it.
ChildRun runInChild(const std::function<void(int reportFd)>& body, const OutputWatch& watch = {},
                    const ChildStarted& started = {});

// Forks; the child runs body with stdin from /dev/null, and exits with 0 once body
// returns, its standard output flushed.
ChildRun runInChild(const std::function<void()>& body, const ChildStarted& started = {});

// Replaces the calling process with program (arguments start with the program name);
// exits with 122 if that fails.
[[noreturn]] void execute(const std::filesystem::path& program, const std::vector<std::string>& arguments);

// Runs program in a child process.
ChildRun runProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                    const OutputWatch& watch = {});

// The lines of a text, without their line feeds.
std::vector<std::string> splitLines(const std::string& text);

}  // namespace testing_support
