#include "console/console.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "lifecycle/lifecycle.h"

namespace console {
namespace {

// All bytes in one write request; a signal or a short write only makes us go on
// with the rest. Any other failure is dropped: the protocol has nowhere to report it.
void writeAll(int fd, const std::string& bytes) {
    const char* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t written = write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace

void keepStandardStreamsOpen() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The ones below are open by now, so open() takes this number, the lowest free.
        open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    }
}

void stderrLine(std::string_view text) {
    std::string line(text);
    for (char& c : line) {
        if (c == '\n') c = ' ';
    }
    line += '\n';
    writeAll(STDERR_FILENO, line);
}

void die(std::string_view text, int code) {
    lifecycle::claimExit();
    lifecycle::removeOutput();
    stderrLine(text);
    lifecycle::endProcess(code);
}

std::string describe(const media::Error& error) {
    std::string text = error.localizedDescription + " [" + error.domain + " " + std::to_string(error.code);
    if (const media::Error* underlying = error.underlyingError()) {
        text += " / " + underlying->domain + " " + std::to_string(underlying->code);
    }
    return text + "]";
}

void writeProgressLine(std::int64_t percent) {
    std::fprintf(stdout, "PROGRESS %lld\n", static_cast<long long>(percent));
    std::fflush(stdout);
}

void writeEncoderLine(std::string_view mode) {
    writeAll(STDOUT_FILENO, "ENCODER " + std::string(mode) + "\n");
}

}  // namespace console
