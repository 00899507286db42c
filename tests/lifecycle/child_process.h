// Running code or a program in a child process and collecting what it printed and
// how it ended. Its standard streams go to files in a temporary directory, so a child
// that blocks or is killed cannot hold the parent on a full pipe.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace testing_support {

namespace fs = std::filesystem;

// A fresh directory, removed with everything in it at the end of the scope.
struct TempDir {
    fs::path path;
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "qvc-test-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) std::abort();
        path = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    fs::path operator/(const std::string& name) const { return path / name; }
};

inline std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

struct ChildResult {
    int status = 0;  // as waitpid reports it
    std::string out;
    std::string err;

    bool exited() const { return WIFEXITED(status); }
    int exitCode() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }
};

// Forks; the child runs body with stdin from /dev/null and stdout and stderr in
// files, then exits 0 if body returns. started runs in the parent once the child
// exists (to signal it, say) before the parent waits for it.
inline ChildResult runInChild(const std::function<void()>& body,
                              const std::function<void(pid_t)>& started = {}) {
    TempDir streams;
    const fs::path outPath = streams / "stdout";
    const fs::path errPath = streams / "stderr";
    const pid_t pid = fork();
    if (pid < 0) std::abort();
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0) _exit(120);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(err, STDERR_FILENO);
        body();
        fflush(stdout);
        _exit(0);
    }
    if (started) started(pid);
    ChildResult result;
    while (waitpid(pid, &result.status, 0) < 0 && errno == EINTR) {
    }
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

// Runs program with the arguments (program name first) in directory dir.
inline ChildResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                              const fs::path& dir) {
    return runInChild([&] {
        if (chdir(dir.c_str()) != 0) _exit(121);
        std::vector<char*> argv;
        for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(122);
    });
}

}  // namespace testing_support
