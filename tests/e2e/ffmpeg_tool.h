// The ffmpeg tool as the end-to-end tests use it to make their sources: quiet, never
// asking, replacing what it writes. Every test program here is built with QVC_FFMPEG.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace e2e {

// Runs the tool with arguments, then output when one is given; the run must succeed
// (test with HasFatalFailure() where the caller cannot go on without the file).
inline void ffmpeg(const std::vector<std::string>& arguments, const std::filesystem::path& output = {}) {
    std::vector<std::string> argv = {QVC_FFMPEG, "-nostdin", "-y", "-v", "error"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    if (!output.empty()) argv.push_back(output.string());
    const testing_support::ChildRun run = testing_support::runProgram(QVC_FFMPEG, argv);
    ASSERT_EQ(run.exitCode(), 0) << run.err;
}

}  // namespace e2e
