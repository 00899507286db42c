// Running the job (or the built program) in a child process and collecting what it
// printed and how it ended. The streams come back through pipes, each drained by a
// thread of its own so that a chatty child can never block on a full pipe.
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

    int exitCode() const;  // -1 unless the child exited
    int termSignal() const;  // 0 unless a signal ended the child
};

// Called in the parent with the child's pid and all of its standard output so far,
// each time more arrives.
using OutputWatch = std::function<void(pid_t, const std::string&)>;

// Forks; the child runs body with a descriptor for extra reports, stdin from /dev/null,
// and exits with 120 if body returns.
ChildRun runInChild(const std::function<void(int reportFd)>& body, const OutputWatch& watch = {});

// Runs program (arguments start with the program name) in a child process.
ChildRun runProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                    const OutputWatch& watch = {});

// A fresh directory, removed with everything in it at the end of the scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// The lines of a text, without their line feeds.
std::vector<std::string> splitLines(const std::string& text);

}  // namespace testing_support
