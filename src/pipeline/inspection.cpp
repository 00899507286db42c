#include "pipeline/inspection.h"

#include <cmath>
#include <string>
#include <utility>

#include "console/console.h"

namespace pipeline {

namespace {

Inspection failure(const std::string& prefix, const media::Error& error) {
    return {std::nullopt, prefix + console::describe(error)};
}

Inspection failure(const std::string& line) { return {std::nullopt, line}; }

}  // namespace

std::vector<media::AssetTrackPtr> keepAudibleTracks(const std::vector<media::AssetTrackPtr>& candidates) {
    std::vector<media::AssetTrackPtr> kept;
    for (const media::AssetTrackPtr& track : candidates) {
        const media::Result<media::TimeRange> range = track->loadTimeRange();
        // Only a range we can trust to be empty drops the track; anything unknown stays.
        bool empty = false;
        if (range.ok() && range.value().isValid()) {
            const double seconds = range.value().duration.seconds();
            empty = !std::isnan(seconds) && !(seconds > 0);
        }
        if (!empty) kept.push_back(track);
    }
    return kept;
}

Inspection tryInspectSource(media::Asset& asset, const planning::Profile& profile) {
    SourceInfo source;

    media::Result<media::Time> duration = asset.loadDuration();
    if (!duration) return failure("cannot open the media: ", duration.error());
    source.assetDuration = duration.value();
    source.durationSeconds = source.assetDuration.seconds();

    media::Result<std::vector<media::AssetTrackPtr>> videoTracks = asset.loadTracks(media::MediaType::Video);
    if (!videoTracks) return failure("cannot open the media: ", videoTracks.error());
    source.videoTracks = std::move(videoTracks.value());

    media::Result<std::vector<media::AssetTrackPtr>> candidates = asset.loadTracks(media::MediaType::Audio);
    if (!candidates) return failure("cannot open the media: ", candidates.error());
    source.audioTracks = keepAudibleTracks(candidates.value());

    // Only after the sound tracks are known, so a file with sound alone fails here.
    if (source.videoTracks.empty()) return failure("no video track");
    media::AssetTrack& first = *source.videoTracks.front();

    media::Result<media::Size> natural = first.loadNaturalSize();
    if (!natural) return failure("cannot read the video track: ", natural.error());
    source.natural = natural.value();

    media::Result<media::AffineTransform> transform = first.loadPreferredTransform();
    if (!transform) return failure("cannot read the video track: ", transform.error());
    source.transform = transform.value();

    media::Result<float> fps = first.loadNominalFrameRate();
    if (!fps) return failure("cannot read the video track: ", fps.error());
    source.sourceFps = fps.value();

    const std::optional<planning::OutputGeometry> geometry = planning::planOutputGeometry(
        source.natural, source.transform, source.assetDuration, source.durationSeconds, profile.maxLongEdge);
    if (!geometry) return failure("the video has no usable size or length");
    source.geometry = *geometry;

    // A source without a usable data rate is planned with the profile's figures.
    const media::Result<float> dataRate = first.loadEstimatedDataRate();
    if (dataRate) source.videoDataRate = dataRate.value();

    return {std::move(source), {}};
}

SourceInfo inspectSource(media::Asset& asset, const planning::Profile& profile) {
    Inspection inspection = tryInspectSource(asset, profile);
    if (!inspection.source) console::die(inspection.failure);
    return std::move(*inspection.source);
}

}  // namespace pipeline
