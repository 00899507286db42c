#include "pipeline/inspection.h"

#include <cmath>
#include <string>

#include "console/console.h"

namespace pipeline {

namespace {

[[noreturn]] void dieWith(const std::string& prefix, const media::Error& error) {
    console::die(prefix + console::describe(error));
}

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

SourceInfo inspectSource(media::Asset& asset, const planning::Profile& profile) {
    SourceInfo source;

    media::Result<media::Time> duration = asset.loadDuration();
    if (!duration) dieWith("cannot open the media: ", duration.error());
    source.assetDuration = duration.value();
    source.durationSeconds = source.assetDuration.seconds();

    media::Result<std::vector<media::AssetTrackPtr>> videoTracks = asset.loadTracks(media::MediaType::Video);
    if (!videoTracks) dieWith("cannot open the media: ", videoTracks.error());
    source.videoTracks = std::move(videoTracks.value());

    media::Result<std::vector<media::AssetTrackPtr>> candidates = asset.loadTracks(media::MediaType::Audio);
    if (!candidates) dieWith("cannot open the media: ", candidates.error());
    source.audioTracks = keepAudibleTracks(candidates.value());

    // Only after the sound tracks are known, so a file with sound alone fails here.
    if (source.videoTracks.empty()) console::die("no video track");
    media::AssetTrack& first = *source.videoTracks.front();

    media::Result<media::Size> natural = first.loadNaturalSize();
    if (!natural) dieWith("cannot read the video track: ", natural.error());
    source.natural = natural.value();

    media::Result<media::AffineTransform> transform = first.loadPreferredTransform();
    if (!transform) dieWith("cannot read the video track: ", transform.error());
    source.transform = transform.value();

    media::Result<float> fps = first.loadNominalFrameRate();
    if (!fps) dieWith("cannot read the video track: ", fps.error());
    source.sourceFps = fps.value();

    const std::optional<planning::OutputGeometry> geometry = planning::planOutputGeometry(
        source.natural, source.transform, source.assetDuration, source.durationSeconds, profile.maxLongEdge);
    if (!geometry) console::die("the video has no usable size or length");
    source.geometry = *geometry;

    // A source without a usable data rate is planned with the profile's figures.
    const media::Result<float> dataRate = first.loadEstimatedDataRate();
    if (dataRate) source.videoDataRate = dataRate.value();

    return source;
}

}  // namespace pipeline
