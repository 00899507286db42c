// Faults met by the built program that were each found once and must stay handled: an
// output place that cannot take a file, a disk that fills while the file is written or
// only when it is closed, sources with flipped bits, and a host that closes its end of
// the pipe. Every one ends with its status and at most one line, never a crash, a hang
// or a file left behind after a failure.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "e2e/ffmpeg_tool.h"
#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/tmpfs_mount.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ChildRun;
using testing_support::splitLines;

// "codec,seconds" of each stream of the file, as ffprobe reads it.
std::vector<std::string> streamsOf(const fs::path& file) {
    const ChildRun run = testing_support::runProgram(
        QVC_FFPROBE, {QVC_FFPROBE, "-v", "error", "-show_entries", "stream=codec_name,duration", "-of", "csv=p=0",
                      file.string()});
    return splitLines(run.out);
}

using testing_support::TmpfsMount;

// Whether a failed run kept the protocol: status 1, the one line starting with the
// given text, nothing on standard output past the start of writing, no file left.
void expectFailure(const ChildRun& run, const std::string& line, const fs::path& output) {
    ASSERT_TRUE(run.exited()) << "signal " << run.termSignal();
    EXPECT_EQ(run.exitCode(), 1);
    const std::vector<std::string> errors = splitLines(run.err);
    ASSERT_EQ(errors.size(), 1u) << run.err;
    EXPECT_EQ(errors[0].rfind(line, 0), 0u) << errors[0];
    EXPECT_EQ(run.out.find("ENCODER"), std::string::npos) << run.out;
    EXPECT_FALSE(fs::is_regular_file(fs::symlink_status(output))) << output;
}

void expectSuccess(const ChildRun& run, const fs::path& output, double seconds) {
    ASSERT_TRUE(run.exited()) << "signal " << run.termSignal();
    ASSERT_EQ(run.exitCode(), 0) << run.err;
    const std::vector<std::string> streams = streamsOf(output);
    ASSERT_EQ(streams.size(), 2u) << output;
    for (const std::string& stream : streams) {
        EXPECT_NEAR(std::atof(stream.substr(stream.find(',') + 1).c_str()), seconds, 0.2) << stream;
    }
}

class Faults : public ::testing::Test {
protected:
    void SetUp() override {
        // 6 s of pictures and a tone: at camera-high well over a megabyte of output.
        source = dir / "in.mp4";
        e2e::ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=640x480:r=30:d=6", "-f", "lavfi", "-i",
                     "sine=f=440:r=44100:d=6", "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
                     "-c:a", "aac"},
                    source);
    }

    std::vector<std::string> arguments(const fs::path& input, const fs::path& output) const {
        return {QVC_PROGRAM, input.string(), output.string(), "--profile", "camera-high"};
    }
    ChildRun compress(const fs::path& input, const fs::path& output) const {
        return testing_support::runProgram(QVC_PROGRAM, arguments(input, output));
    }

    // The program with the file-size limit set (SIGXFSZ ignored, so a write past it
    // fails with EFBIG, as on a full disk).
    ChildRun compressWithFileSizeLimit(const fs::path& output, rlim_t bytes) const {
        return testing_support::runInChild([&](int) {
            signal(SIGXFSZ, SIG_IGN);
            const rlimit limit{bytes, bytes};
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(125);
            testing_support::execute(QVC_PROGRAM, arguments(source, output));
        });
    }

    testing_support::TempDir dir;
    fs::path source;
};

// ---- Where the output goes ---------------------------------------------------------------

TEST_F(Faults, AnOutputPlaceThatCannotTakeAFileIsToldAndLeftAsItWas) {
    fs::create_directory(dir / "taken.mp4");
    ASSERT_EQ(mkfifo((dir / "pipe.mp4").c_str(), 0600), 0);
    struct Case {
        const char* name;
        fs::path output;
        const char* cause;
    };
    const Case cases[] = {
        {"missing folder", dir / "gone" / "out.mp4", "No such file or directory"},
        {"a directory at the path", dir / "taken.mp4", "Is a directory"},
        // Opening it to write would wait for a reader for ever.
        {"a named pipe at the path", dir / "pipe.mp4", "a pipe, socket or device"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ChildRun run = compress(source, c.output);
        expectFailure(run, std::string("cannot start the encoder: cannot create the output file: ") + c.cause,
                      c.output);
        EXPECT_EQ(run.out, "");
    }
    EXPECT_TRUE(fs::is_directory(dir / "taken.mp4"));
    EXPECT_TRUE(fs::is_fifo(dir / "pipe.mp4"));
}

TEST_F(Faults, AReadOnlyOutputFolderIsTold) {
    // The superuser writes through a folder's permissions, so there the folder is a
    // file system mounted read-only; anyone else meets the permissions.
    const fs::path folder = dir / "read-only";
    std::optional<TmpfsMount> readOnly;
    std::string cause;
    if (geteuid() == 0) {
        readOnly.emplace(folder, "size=64k", MS_RDONLY);
        if (!readOnly->mounted()) GTEST_SKIP() << "running as root, where no read-only file system can be mounted";
        cause = "Read-only file system";
    } else {
        fs::create_directory(folder);
        fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
        cause = "Permission denied";
    }
    const fs::path output = folder / "out.mp4";
    const ChildRun run = compress(source, output);
    expectFailure(run, "cannot start the encoder: cannot create the output file: " + cause, output);
    EXPECT_EQ(run.out, "");
}

// ---- A full disk ---------------------------------------------------------------------------

TEST_F(Faults, ADiskThatFillsWhileWritingFailsTheJobAndLeavesNothing) {
    TmpfsMount disk(dir / "disk", "size=256k");
    if (disk.mounted()) {
        const fs::path output = dir / "disk" / "out.mp4";
        expectFailure(compress(source, output),
                      "encode failed: cannot write the output file: No space left on device", output);
        EXPECT_TRUE(fs::is_empty(dir / "disk"));
    } else {
        const fs::path output = dir / "limited.mp4";
        expectFailure(compressWithFileSizeLimit(output, 256 * 1024),
                      "encode failed: cannot write the output file: File too large", output);
    }
}

TEST_F(Faults, ADiskThatFillsOnlyWhenTheFileIsClosedFailsTheJobAndLeavesNothing) {
    // The same job twice: once to learn where the index starts, once with room for
    // everything but the index, which is written when the file is finished.
    const fs::path whole = dir / "whole.mp4";
    ASSERT_EQ(compress(source, whole).exitCode(), 0);
    const std::string bytes = testing_support::readFile(whole);
    const auto moov = bytes.rfind("moov");
    ASSERT_NE(moov, std::string::npos);
    ASSERT_GT(moov, 4u);

    const fs::path output = dir / "closing.mp4";
    const ChildRun run = compressWithFileSizeLimit(output, moov - 4 + 16);
    expectFailure(run, "encode failed: cannot write the output file: File too large", output);
    // Every picture was taken before the failure: it came at the very end.
    EXPECT_NE(run.out.find("PROGRESS 99"), std::string::npos) << run.out;
}

// ---- Damaged sources -----------------------------------------------------------------------

TEST_F(Faults, SourcesWithFlippedBitsEndCleanly) {
    const std::string bytes = testing_support::readFile(source);
    const auto moov = bytes.rfind("moov");
    ASSERT_NE(moov, std::string::npos);
    struct Case {
        const char* name;
        std::size_t from, to, step;
        unsigned char mask;
        const char* line;  // null for success
    };
    const Case cases[] = {
        // Damaged pictures and sound are skipped; the length stays the source's.
        {"one bit in every 101 bytes of the media data", bytes.size() * 3 / 10, bytes.size() * 7 / 10, 101, 0x10,
         nullptr},
        {"every bit of every 7th byte of the media data", bytes.size() * 3 / 10, bytes.size() * 7 / 10, 7, 0xff,
         nullptr},
        // A damaged index fails the job, with whichever line the damage leads to
        // ("no video track", "decode failed: " here).
        {"one bit in every 29 bytes of the index", moov + 8, bytes.size(), 29, 0x04, ""},
        {"one bit in every 13 bytes of the index", moov + 8, bytes.size(), 13, 0x04, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string damaged = bytes;
        for (std::size_t i = c.from; i < c.to; i += c.step) damaged[i] = static_cast<char>(damaged[i] ^ c.mask);
        const fs::path input = dir / "flipped.mp4";
        testing_support::writeFile(input, damaged);
        const fs::path output = dir / "out.mp4";
        const ChildRun run = compress(input, output);
        if (c.line != nullptr) {
            expectFailure(run, c.line, output);
        } else {
            expectSuccess(run, output, 6);
        }
        fs::remove(output);
    }
}

// ---- A host that stops listening -----------------------------------------------------------

// Runs the program with standard output and error on one pipe whose reading end the
// host closes, at once or after the first line.
ChildRun withHostClosing(const std::vector<std::string>& argv, bool afterFirstLine) {
    int host[2];
    if (pipe(host) != 0) std::abort();
    const pid_t pid = fork();
    if (pid < 0) std::abort();
    if (pid == 0) {
        close(host[0]);
        dup2(host[1], STDOUT_FILENO);
        dup2(host[1], STDERR_FILENO);
        testing_support::execute(argv.front(), argv);
    }
    close(host[1]);
    ChildRun run;
    if (afterFirstLine) {
        char c = 0;
        while (read(host[0], &c, 1) == 1) {
            run.out += c;
            if (c == '\n') break;
        }
    }
    close(host[0]);
    while (waitpid(pid, &run.status, 0) < 0) {
    }
    return run;
}

TEST_F(Faults, AHostThatClosesItsEndOfThePipeDoesNotChangeTheOutcome) {
    const fs::path damaged = dir / "damaged.mp4";
    testing_support::writeFile(damaged, std::string(4096, '\x5a'));
    const fs::path output = dir / "out.mp4";
    struct Case {
        const char* name;
        bool afterFirstLine;
        bool fails;
    };
    const Case cases[] = {
        {"closed before the start, job succeeds", false, false},
        {"closed after the first line, job succeeds", true, false},
        {"closed before the start, job fails", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ChildRun run = withHostClosing(arguments(c.fails ? damaged : source, output), c.afterFirstLine);
        ASSERT_TRUE(run.exited()) << "signal " << run.termSignal();
        if (c.fails) {
            EXPECT_EQ(run.exitCode(), 1);
            EXPECT_FALSE(fs::exists(output));
        } else {
            if (c.afterFirstLine) {
                EXPECT_EQ(run.out, "PROGRESS 0\n");
            }
            expectSuccess(run, output, 6);
        }
        fs::remove(output);
    }
}

}  // namespace
