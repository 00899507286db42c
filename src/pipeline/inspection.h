// Source inspection: every property of the source the planning needs, loaded one
// at a time, and the output size planned from them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "media/framework.h"
#include "planning/geometry.h"
#include "planning/profile.h"

namespace pipeline {

struct SourceInfo {
    media::Time assetDuration;
    double durationSeconds = 0;
    std::vector<media::AssetTrackPtr> videoTracks;
    std::vector<media::AssetTrackPtr> audioTracks;  // after the empty ones are dropped
    media::Size natural;
    media::AffineTransform transform;
    float sourceFps = 0;
    planning::OutputGeometry geometry;
    std::optional<float> videoDataRate;  // none when its load failed
};

// What inspection found, or else the failure line the job ends with.
struct Inspection {
    std::optional<SourceInfo> source;
    std::string failure;
};

// Loads duration, track lists and the first video track's properties, plans the
// output geometry, then loads the video data rate; stops at the first fatal failure.
Inspection tryInspectSource(media::Asset& asset, const planning::Profile& profile);

// The same for the job: ends it with the failure line on a fatal failure.
SourceInfo inspectSource(media::Asset& asset, const planning::Profile& profile);

// The sound tracks that take part: a track stays unless its time range is known to be
// valid and no longer than zero.
std::vector<media::AssetTrackPtr> keepAudibleTracks(const std::vector<media::AssetTrackPtr>& candidates);

}  // namespace pipeline
