#include "cli/command_line.h"

namespace cli {

const std::map<std::string, planning::Profile, std::less<>>& profiles() {
    static const std::map<std::string, planning::Profile, std::less<>> table = {
        //                     maxLongEdge  fps   referenceBitrate  audioBitrate  keyFrameSeconds
        {"camera-optimized", {960, 8, 400000, 32000, 4}},
        {"camera-balanced", {1280, 15, 1000000, 48000, 4}},
        {"camera-high", {1920, 30, 2400000, 64000, 4}},
        {"screen-optimized", {960, 5, 200000, 32000, 2}},
        {"screen-balanced", {1280, 8, 500000, 40000, 2}},
        {"screen-high", {1920, 15, 1200000, 48000, 2}},
    };
    return table;
}

std::string_view resolveAlias(std::string_view name) {
    if (name == "screen") return "screen-optimized";
    if (name == "camera") return "camera-balanced";
    return name;
}

std::optional<CommandLine> parseCommandLine(const std::vector<std::string>& argv) {
    const std::size_t n = argv.size();
    if (n != 5 && n != 7) return std::nullopt;
    if (argv[n - 2] != "--profile") return std::nullopt;

    CommandLine line;
    line.encoder = "auto";
    if (n == 7) {
        if (argv[3] != "--encoder") return std::nullopt;
        if (argv[4] != "hardware" && argv[4] != "software") return std::nullopt;
        line.encoder = argv[4];
    }

    line.profileName = argv[n - 1];
    const auto row = profiles().find(resolveAlias(line.profileName));
    if (row == profiles().end()) return std::nullopt;
    line.profile = row->second;

    line.inputPath = argv[1];
    line.outputPath = argv[2];
    return line;
}

}  // namespace cli
