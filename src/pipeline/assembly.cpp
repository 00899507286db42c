#include "pipeline/assembly.h"

#include "console/console.h"
#include "lifecycle/lifecycle.h"
#include "planning/geometry.h"
#include "planning/video_settings.h"

namespace pipeline {

media::VideoComposition makeComposition(const SourceInfo& source, double outFps) {
    media::VideoComposition composition;
    composition.renderSize = {static_cast<double>(source.geometry.outWidth),
                              static_cast<double>(source.geometry.outHeight)};
    composition.frameDuration = planning::frameDuration(outFps);
    composition.colorPrimaries = media::AVVideoColorPrimaries_ITU_R_709_2;
    composition.colorTransferFunction = media::AVVideoTransferFunction_ITU_R_709_2;
    composition.colorYCbCrMatrix = media::AVVideoYCbCrMatrix_ITU_R_709_2;

    auto layer = media::VideoCompositionLayerInstruction::withAssetTrack(source.videoTracks.front());
    layer.setTransform(planning::layerTransform(source.transform, source.geometry), media::Time::zero());

    media::VideoCompositionInstruction instruction;
    instruction.timeRange = {media::Time::zero(), source.assetDuration};
    instruction.layerInstructions = {layer};
    composition.instructions = {instruction};
    return composition;
}

Assembly assemblePipeline(media::Framework& framework, const media::AssetPtr& asset, const SourceInfo& source,
                          const planning::VideoRates& rates, const std::filesystem::path& outURL,
                          const std::string& encoder, double keyFrameSeconds) {
    Assembly chain;

    media::Result<media::AssetReaderPtr> reader = framework.makeAssetReader(asset);
    if (!reader) console::die("cannot start the encoder: " + reader.error().localizedDescription);
    chain.reader = reader.value();

    // Every accepted extension, ".mov" included, is written as MPEG-4.
    // Making the writer creates the output file: an interruption must see it either
    // not yet begun or there to remove.
    media::Result<media::AssetWriterPtr> writer = [&] {
        const auto creating = lifecycle::holdOutputCreation();
        return framework.makeAssetWriter(outURL, media::FileType::MPEG4);
    }();
    if (!writer) console::die("cannot start the encoder: " + writer.error().localizedDescription);
    chain.writer = writer.value();

    // From here on an interruption cancels both before removing the output.
    lifecycle::setActiveReader(chain.reader);
    lifecycle::setActiveWriter(chain.writer);

    chain.writer->setShouldOptimizeForNetworkUse(false);
    chain.bt709 = planning::bt709();
    chain.composition = makeComposition(source, rates.outFps);

    chain.videoOut = framework.makeVideoCompositionOutput({source.videoTracks.front()},
                                                          planning::readerPictureSettings());
    chain.videoOut->setVideoComposition(chain.composition);
    chain.videoOut->setAlwaysCopiesSampleData(false);
    if (!chain.reader->canAddOutput(chain.videoOut)) console::die("the video track cannot be decoded");
    chain.reader->addOutput(chain.videoOut);

    const media::Settings settings = planning::videoSettings(
        planning::encoderSpecification(encoder), source.geometry.outWidth, source.geometry.outHeight, chain.bt709,
        planning::compressionProperties(rates.bitrate, rates.outFps, keyFrameSeconds));
    chain.videoIn = framework.makeAssetWriterInput(media::MediaType::Video, settings);
    chain.videoIn->setExpectsMediaDataInRealTime(false);
    if (!chain.writer->canAddInput(chain.videoIn)) console::die("the encoder refused the video settings");
    chain.writer->addInput(chain.videoIn);

    return chain;
}

}  // namespace pipeline
