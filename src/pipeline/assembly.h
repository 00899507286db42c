// The processing chain: a reader with the composed-video output, an MPEG-4 writer
// with the H.264 input, and the composition that turns, scales and retimes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "media/framework.h"
#include "pipeline/inspection.h"
#include "planning/rates.h"

namespace pipeline {

struct Assembly {
    media::AssetReaderPtr reader;
    media::AssetWriterPtr writer;
    media::Settings bt709;
    media::VideoComposition composition;
    std::shared_ptr<media::AssetReaderVideoCompositionOutput> videoOut;
    media::AssetWriterInputPtr videoIn;
};

// Builds the video side and publishes reader and writer for the signal handler.
// Ends the job when anything is refused.
Assembly assemblePipeline(media::Framework& framework, const media::AssetPtr& asset, const SourceInfo& source,
                          const planning::VideoRates& rates, const std::filesystem::path& outURL,
                          const std::string& encoder, double keyFrameSeconds);

// Render size, frame duration, BT.709 tags and one instruction over the whole source
// with the first video track turned upright and scaled to the output.
media::VideoComposition makeComposition(const SourceInfo& source, double outFps);

}  // namespace pipeline
