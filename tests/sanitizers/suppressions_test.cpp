// The thread-sanitizer runs silence reports that come from inside the libraries,
// whose own synchronisation the sanitizer cannot see. These cases make sure the
// suppressions the runs use still let through a fault in our own hand-over of a
// picture: each runs a program with such a fault under them and expects the report.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/child_process.h"

namespace {

using testing_support::ChildRun;

// The status the runs give ThreadSanitizer for a report.
constexpr int kReported = 86;

class Suppressions : public testing::TestWithParam<const char*> {};

TEST_P(Suppressions, LetThroughAPictureTouchedAfterItsHandOver) {
    const std::string mode = GetParam();
    const ChildRun run = testing_support::runInChild([&] {
        const std::string options = std::string("suppressions=") + QVC_TSAN_SUPPRESSIONS +
                                    ":halt_on_error=1:exitcode=" + std::to_string(kReported) +
                                    ":atexit_sleep_ms=0:log_path=stderr";
        setenv("TSAN_OPTIONS", options.c_str(), 1);
        testing_support::execute(QVC_FAULTY_HAND_OVER, {QVC_FAULTY_HAND_OVER, mode});
    });
    EXPECT_EQ(run.exitCode(), kReported) << run.err;
    EXPECT_NE(run.err.find("WARNING: ThreadSanitizer"), std::string::npos) << run.err;
    // The report names the write after the hand-over, in the program's own code.
    EXPECT_NE(run.err.find("faulty_hand_over.cpp"), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(Releases, Suppressions, testing::Values("free", "pool", "side-data"));

}  // namespace
