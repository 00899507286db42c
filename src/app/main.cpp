#include <string>
#include <vector>

#include "app/job.h"
#include "media/ffmpeg_framework.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv, argv + argc);
    auto framework = media::makeFFmpegFramework();
    app::runJob(arguments, *framework);
}
