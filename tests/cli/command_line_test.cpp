#include "cli/command_line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/temp_dir.h"
#include "support/unprivileged.h"

namespace {

namespace fs = std::filesystem;
using namespace testing_support;
using Args = std::vector<std::string>;

// ---- Parsing ----------------------------------------------------------------------

struct ParseCase {
    const char* name;
    Args args;  // after the program name
    std::string encoder;
    planning::Profile profile;
};

class ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, ResolvesEncoderAndProfile) {
    const ParseCase& c = GetParam();
    Args argv{"quorle-video-compress"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());

    const auto line = cli::parseCommandLine(argv);
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(line->encoder, c.encoder);
    EXPECT_EQ(line->profileName, c.args.back());
    EXPECT_EQ(line->profile.maxLongEdge, c.profile.maxLongEdge);
    EXPECT_EQ(line->profile.fps, c.profile.fps);
    EXPECT_EQ(line->profile.referenceBitrate, c.profile.referenceBitrate);
    EXPECT_EQ(line->profile.audioBitrate, c.profile.audioBitrate);
    EXPECT_EQ(line->profile.keyFrameSeconds, c.profile.keyFrameSeconds);
    EXPECT_EQ(line->inputPath, c.args[0]);
    EXPECT_EQ(line->outputPath, c.args[1]);
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, ParseTest,
    ::testing::Values(
        ParseCase{"CameraOptimized", {"in", "out.mp4", "--profile", "camera-optimized"}, "auto",
                  {960, 8, 400000, 32000, 4}},
        ParseCase{"CameraBalanced", {"in", "out.mp4", "--profile", "camera-balanced"}, "auto",
                  {1280, 15, 1000000, 48000, 4}},
        ParseCase{"CameraHigh", {"in", "out.mp4", "--encoder", "hardware", "--profile", "camera-high"},
                  "hardware", {1920, 30, 2400000, 64000, 4}},
        ParseCase{"ScreenOptimized", {"in", "out.mp4", "--profile", "screen-optimized"}, "auto",
                  {960, 5, 200000, 32000, 2}},
        ParseCase{"ScreenBalanced", {"in", "out.mp4", "--encoder", "software", "--profile", "screen-balanced"},
                  "software", {1280, 8, 500000, 40000, 2}},
        ParseCase{"ScreenHigh", {"in", "out.mp4", "--profile", "screen-high"}, "auto",
                  {1920, 15, 1200000, 48000, 2}},
        ParseCase{"CameraAlias", {"in", "out.mp4", "--encoder", "software", "--profile", "camera"}, "software",
                  {1280, 15, 1000000, 48000, 4}},
        ParseCase{"ScreenAlias", {"in", "out.mp4", "--profile", "screen"}, "auto", {960, 5, 200000, 32000, 2}}),
    [](const auto& row) { return std::string(row.param.name); });

// ---- The executable ---------------------------------------------------------------

const std::string kUsage(cli::usageLine);
const std::string kUnreadable = "cannot read the input file";
const std::string kExtension = "output must end in .mp4, .m4v or .mov";
const std::string kSameFile = "output must not be the input file";
const std::string kAccepted;  // the command line passes start-up
// Not a media file: an accepted command line goes on to fail when the source is
// opened, with the output path cleared, whatever later steps become.
const std::string kInputBytes = "this is not a video\n";
// How such a job ends: status 1, this at the start of its one line, nothing on standard
// output. A crash, a sanitizer's report or any other status is none of these.
const std::string kNotMedia = "cannot open the media: ";

ChildRun runTool(const Args& args, const fs::path& dir) {
    Args argv{QVC_EXECUTABLE};
    for (const auto& a : args) {
        // "{dir}" stands for the fixture directory, for absolute paths.
        const auto at = a.find("{dir}");
        argv.push_back(at == std::string::npos ? a : a.substr(0, at) + dir.string() + a.substr(at + 5));
    }
    return runInChild([&](int) {
        if (chdir(dir.c_str()) != 0) _exit(121);
        execute(QVC_EXECUTABLE, argv);
    });
}

// The exit status, the streams and the line of a refused or an accepted command line.
void expectOutcome(const ChildRun& result, const std::string& line) {
    ASSERT_TRUE(result.exited()) << "killed by signal " << WTERMSIG(result.status);
    if (line == kAccepted) {
        EXPECT_EQ(result.exitCode(), 1) << result.err;
        EXPECT_EQ(result.err.rfind(kNotMedia, 0), 0u) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        EXPECT_TRUE(result.err.ends_with('\n')) << result.err;
        EXPECT_EQ(result.out, "");
        return;
    }
    EXPECT_EQ(result.exitCode(), 2);
    EXPECT_EQ(result.err, line + "\n");
    EXPECT_EQ(result.out, "");
}

struct CommandLineCase {
    const char* name;
    Args args;             // after the program name; relative paths are in the fixture directory
    std::string line;      // the one line on standard error, or kAccepted
    std::string existing;  // an output file there before the run: kept when refused, gone when accepted
};

class CommandLineTest : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(CommandLineTest, LineStatusAndOutputFile) {
    const CommandLineCase& c = GetParam();
    TempDir dir;
    writeFile(dir / "input.mov", kInputBytes);
    fs::create_directories((dir / c.existing).parent_path());
    writeFile(dir / c.existing, "previous");

    const ChildRun result = runTool(c.args, dir.path());

    expectOutcome(result, c.line);
    EXPECT_EQ(fs::exists(dir / c.existing), c.line != kAccepted);
    EXPECT_EQ(readFile(dir / "input.mov"), kInputBytes);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, CommandLineTest,
    ::testing::Values(
        // Counts: only 5 and 7 entries, program name included.
        CommandLineCase{"ProgramAlone", {}, kUsage, "out.mp4"},
        CommandLineCase{"ThreeEntries", {"input.mov", "out.mp4"}, kUsage, "out.mp4"},
        CommandLineCase{"FourEntries", {"input.mov", "out.mp4", "--profile"}, kUsage, "out.mp4"},
        CommandLineCase{"SixEntries", {"input.mov", "out.mp4", "--encoder", "software", "--profile"}, kUsage,
                        "out.mp4"},
        CommandLineCase{"EightEntries",
                        {"input.mov", "out.mp4", "--encoder", "software", "--profile", "camera", "camera"},
                        kUsage, "out.mp4"},
        CommandLineCase{"NineEntries",
                        {"input.mov", "out.mp4", "--encoder", "software", "--profile", "camera", "--profile",
                         "camera"},
                        kUsage, "out.mp4"},
        CommandLineCase{"FiveEntries", {"input.mov", "out.mp4", "--profile", "screen-high"}, kAccepted, "out.mp4"},
        CommandLineCase{"SevenEntriesWithAlias",
                        {"input.mov", "out.mp4", "--encoder", "software", "--profile", "camera"}, kAccepted,
                        "out.mp4"},
        CommandLineCase{"HardwareEncoder",
                        {"input.mov", "out.mp4", "--encoder", "hardware", "--profile", "camera-high"}, kAccepted,
                        "out.mp4"},
        CommandLineCase{"ScreenAlias", {"input.mov", "out.mp4", "--profile", "screen"}, kAccepted, "out.mp4"},
        CommandLineCase{"AbsolutePaths", {"{dir}/input.mov", "{dir}/out.mp4", "--profile", "camera"}, kAccepted,
                        "out.mp4"},
        // Order and exact words.
        CommandLineCase{"ProfileBeforeEncoder",
                        {"input.mov", "out.mp4", "--profile", "camera", "--encoder", "software"}, kUsage,
                        "out.mp4"},
        CommandLineCase{"EncoderInFiveEntries", {"input.mov", "out.mp4", "--encoder", "software", "camera"},
                        kUsage, "out.mp4"},
        CommandLineCase{"OtherOptionInsteadOfEncoder",
                        {"input.mov", "out.mp4", "--codec", "software", "--profile", "camera"}, kUsage, "out.mp4"},
        CommandLineCase{"ExplicitAutoEncoder",
                        {"input.mov", "out.mp4", "--encoder", "auto", "--profile", "camera"}, kUsage, "out.mp4"},
        CommandLineCase{"CapitalisedEncoderValue",
                        {"input.mov", "out.mp4", "--encoder", "Software", "--profile", "camera"}, kUsage,
                        "out.mp4"},
        CommandLineCase{"CapitalisedProfileWord", {"input.mov", "out.mp4", "--Profile", "camera"}, kUsage,
                        "out.mp4"},
        CommandLineCase{"UpperCaseProfile", {"input.mov", "out.mp4", "--profile", "CAMERA-HIGH"}, kUsage,
                        "out.mp4"},
        CommandLineCase{"CapitalisedAlias", {"input.mov", "out.mp4", "--profile", "Screen"}, kUsage, "out.mp4"},
        CommandLineCase{"UnknownProfile", {"input.mov", "out.mp4", "--profile", "fast"}, kUsage, "out.mp4"},
        CommandLineCase{"ShapeCheckedBeforePaths", {"missing.mov", "out.mkv", "--profile", "Screen"}, kUsage,
                        "out.mkv"},
        // The input, then the output extension.
        CommandLineCase{"MissingInput", {"missing.mov", "out.mp4", "--profile", "camera"}, kUnreadable, "out.mp4"},
        CommandLineCase{"InputCheckedBeforeExtension", {"missing.mov", "out.mkv", "--profile", "camera"},
                        kUnreadable, "out.mkv"},
        CommandLineCase{"UpperCaseMov", {"input.mov", "out.MOV", "--profile", "camera"}, kAccepted, "out.MOV"},
        CommandLineCase{"MixedCaseM4v", {"input.mov", "out.M4v", "--profile", "camera"}, kAccepted, "out.M4v"},
        CommandLineCase{"Mkv", {"input.mov", "out.mkv", "--profile", "camera"}, kExtension, "out.mkv"},
        CommandLineCase{"NoExtension", {"input.mov", "out", "--profile", "camera"}, kExtension, "out"},
        CommandLineCase{"TemporarySuffix", {"input.mov", "out.mp4.tmp", "--profile", "camera"}, kExtension,
                        "out.mp4.tmp"},
        CommandLineCase{"EmptyExtension", {"input.mov", "out.", "--profile", "camera"}, kExtension, "out."},
        // A trailing slash names a directory: its last component is empty.
        CommandLineCase{"TrailingSlash", {"input.mov", "out.mp4/", "--profile", "camera"}, kExtension, "out.mp4"},
        CommandLineCase{"DotOnlyInDirectory", {"input.mov", "dir.mp4/out", "--profile", "camera"}, kExtension,
                        "dir.mp4/out"}),
    [](const auto& row) { return std::string(row.param.name); });

// Fixtures with links and directories. Every one has "clip.mov" holding kInputBytes.
struct PathCase {
    const char* name;
    void (*prepare)(const fs::path& dir);
    Args args;
    std::string line;
    std::vector<std::string> kept;  // still there after the run
    std::vector<std::string> gone;
};

class PathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(PathTest, NeverDeletesTheInputOrADirectory) {
    const PathCase& c = GetParam();
    TempDir dir;
    writeFile(dir / "clip.mov", kInputBytes);
    c.prepare(dir.path());

    const ChildRun result = runTool(c.args, dir.path());

    expectOutcome(result, c.line);
    EXPECT_EQ(readFile(dir / "clip.mov"), kInputBytes);
    for (const auto& name : c.kept) EXPECT_TRUE(fs::exists(fs::symlink_status(dir / name))) << name;
    for (const auto& name : c.gone) EXPECT_FALSE(fs::exists(fs::symlink_status(dir / name))) << name;
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, PathTest,
    ::testing::Values(
        PathCase{"SamePath", [](const fs::path&) {}, {"clip.mov", "clip.mov", "--profile", "camera"}, kSameFile,
                 {"clip.mov"}, {}},
        PathCase{"SameFileSpelledDifferently", [](const fs::path& d) { fs::create_directory(d / "sub"); },
                 {"clip.mov", "sub/../clip.mov", "--profile", "camera"}, kSameFile, {"clip.mov"}, {}},
        PathCase{"HardLink", [](const fs::path& d) { fs::create_hard_link(d / "clip.mov", d / "link.mp4"); },
                 {"clip.mov", "link.mp4", "--profile", "camera"}, kSameFile, {"link.mp4"}, {}},
        PathCase{"OutputLinksToInput",
                 [](const fs::path& d) { fs::create_symlink(d / "clip.mov", d / "alias.mp4"); },
                 {"clip.mov", "alias.mp4", "--profile", "camera"}, kSameFile, {"alias.mp4"}, {}},
        PathCase{"InputLinksToOutput", [](const fs::path& d) { fs::create_symlink("clip.mov", d / "alias.mov"); },
                 {"alias.mov", "clip.mov", "--profile", "camera"}, kSameFile, {"alias.mov"}, {}},
        // A link at the output path goes, never the file it points to.
        PathCase{"OutputIsLinkElsewhere",
                 [](const fs::path& d) {
                     writeFile(d / "keep.mp4", "keep");
                     fs::create_symlink(d / "keep.mp4", d / "out.mp4");
                 },
                 {"clip.mov", "out.mp4", "--profile", "camera"}, kAccepted, {"keep.mp4"}, {"out.mp4"}},
        // A directory is left for the writer to fail on.
        PathCase{"OutputIsDirectory", [](const fs::path& d) { fs::create_directory(d / "out.mp4"); },
                 {"clip.mov", "out.mp4", "--profile", "camera"}, kAccepted, {"out.mp4"}, {}},
        PathCase{"NoFileAtOutput", [](const fs::path&) {}, {"clip.mov", "new.mp4", "--profile", "camera"},
                 kAccepted, {}, {"new.mp4"}}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(UnreadableInputTest, RefusedAndTheOutputKept) {
    // The superuser reads any file: the tool runs as an ordinary user, in a folder that
    // user owns. A readable input beside the unreadable one passes start-up the same
    // way, so the refusal is the file's permission, not a folder out of reach.
    TempDir dir;
    handToUnprivileged(dir.path());
    writeFile(dir / "clip.mov", kInputBytes);
    fs::permissions(dir / "clip.mov", fs::perms::none);
    writeFile(dir / "readable.mov", kInputBytes);
    writeFile(dir / "out.mp4", "previous");
    // Opened here and run through its descriptor: the build may lie in a folder the
    // ordinary user cannot reach.
    const int program = open(QVC_EXECUTABLE, O_RDONLY | O_CLOEXEC);
    ASSERT_GE(program, 0);
    auto runUnprivileged = [&](const Args& args) {
        Args arguments{QVC_EXECUTABLE};
        for (const auto& a : args) arguments.push_back(dir.path() / a);
        arguments.insert(arguments.end(), {"--profile", "camera"});
        return runInChild([&](int) {
            dropPrivileges();
            std::vector<char*> argv;
            for (std::string& a : arguments) argv.push_back(a.data());
            argv.push_back(nullptr);
            fexecve(program, argv.data(), environ);
            _exit(122);
        });
    };

    const ChildRun refused = runUnprivileged({"clip.mov", "out.mp4"});
    if (refused.exitCode() == kCannotDropPrivileges) {
        close(program);
        GTEST_SKIP() << "the system refuses to let the test give up its privileges";
    }
    expectOutcome(refused, kUnreadable);
    EXPECT_EQ(readFile(dir / "out.mp4"), "previous");

    const ChildRun accepted = runUnprivileged({"readable.mov", "out.mp4"});
    close(program);
    EXPECT_EQ(accepted.exitCode(), 1);
    EXPECT_EQ(accepted.err.rfind("cannot open the media: ", 0), 0u) << accepted.err;
    EXPECT_FALSE(fs::exists(dir / "out.mp4"));
}

}  // namespace
