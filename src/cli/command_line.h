// The command line: the profile table, its aliases and the two accepted shapes of
// the argument vector.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "planning/profile.h"

namespace cli {

inline constexpr std::string_view usageLine =
    "usage: quorle-video-compress <input> <output> [--encoder hardware|software] --profile "
    "camera-optimized|camera-balanced|camera-high|screen-optimized|screen-balanced|screen-high";

// The six built-in profiles by exact, case-sensitive name.
const std::map<std::string, planning::Profile, std::less<>>& profiles();

// "screen" and "camera" stand for a full profile name; any other name is itself.
std::string_view resolveAlias(std::string_view name);

struct CommandLine {
    std::string encoder;      // "auto", "hardware" or "software"
    std::string profileName;  // as given, before alias resolution
    planning::Profile profile;
    std::string inputPath;    // entries 1 and 2, exactly as given
    std::string outputPath;
};

// The job's command line, or none when the usage line is the answer.
std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& argv);

}  // namespace cli
