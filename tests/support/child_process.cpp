#include "support/child_process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>

namespace testing_support {

namespace {

struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) std::abort();
        read = fds[0];
        write = fds[1];
    }
};

// Reads fd to its end; chunk sees each piece as it arrives.
void drain(int fd, std::string& into, const std::function<void(const std::string&)>& chunk) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        into.append(buffer, static_cast<std::size_t>(n));
        if (chunk) chunk(into);
    }
    close(fd);
}

}  // namespace

bool ChildRun::exited() const { return WIFEXITED(status); }
int ChildRun::exitCode() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
int ChildRun::termSignal() const { return WIFSIGNALED(status) ? WTERMSIG(status) : 0; }

ChildRun runInChild(const std::function<void(int reportFd)>& body, const OutputWatch& watch,
                    const ChildStarted& started) {
    Pipe out, err, report;
    // Nothing buffered in the parent may be written twice.
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid < 0) std::abort();
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        if (in < 0 || dup2(in, STDIN_FILENO) < 0 || dup2(out.write, STDOUT_FILENO) < 0 ||
            dup2(err.write, STDERR_FILENO) < 0) {
            _exit(121);
        }
        close(out.read);
        close(err.read);
        close(report.read);
        body(report.write);
        std::fflush(stdout);
        _exit(120);
    }
    close(out.write);
    close(err.write);
    close(report.write);
    if (started) started(pid);

    ChildRun run;
    std::thread errReader([&] { drain(err.read, run.err, {}); });
    std::thread reportReader([&] { drain(report.read, run.calls, {}); });
    drain(out.read, run.out, [&](const std::string& soFar) {
        if (watch) watch(pid, soFar);
    });
    errReader.join();
    reportReader.join();
    while (waitpid(pid, &run.status, 0) < 0 && errno == EINTR) {
    }
    return run;
}

ChildRun runInChild(const std::function<void()>& body, const ChildStarted& started) {
    return runInChild(
        [&](int) {
            body();
            std::fflush(stdout);
            _exit(0);
        },
        {}, started);
}

void execute(const std::filesystem::path& program, const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(122);
}

ChildRun runProgram(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                    const OutputWatch& watch) {
    return runInChild([&](int) { execute(program, arguments); }, watch);
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace testing_support
