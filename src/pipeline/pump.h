// Moving samples from the reader's outputs into the writer's inputs, one pump per
// medium on its own serial queue, and finishing the file once both have drained.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "media/dispatch.h"
#include "media/framework.h"
#include "pipeline/assembly.h"
#include "pipeline/sound.h"

namespace pipeline {

// The next buffer of one medium, or none once it is exhausted.
using SampleSource = std::function<media::SampleBufferPtr()>;

// Enters pumps, then lets the writer call the feed block on a new serial queue named
// label whenever input can take more. The block appends from next until the input is
// full; at the end of next or on a refused append it marks the input finished and
// leaves pumps, exactly once.
void pump(const media::AssetWriterInputPtr& input, const std::string& label, SampleSource next,
          const std::shared_ptr<media::Group>& pumps);

// The video output's buffers, each reported as progress through the source before it
// is handed on.
SampleSource videoSource(std::shared_ptr<media::AssetReaderVideoCompositionOutput> videoOut,
                         double durationSeconds);

// Runs the pumps until both have drained, then finishes the writer. Returns only with
// a complete output; ends the job when the reader failed or the writer did not complete.
void encode(const Assembly& chain, const SoundPath& sound, double durationSeconds,
            const std::shared_ptr<media::Group>& pumps);

}  // namespace pipeline
