#include "pipeline/pump.h"

#include <optional>
#include <utility>

#include "console/console.h"
#include "console/progress.h"

namespace pipeline {

namespace {

std::string describeOrUnknown(const std::optional<media::Error>& error) {
    return error ? console::describe(*error) : std::string("unknown");
}

}  // namespace

void pump(const media::AssetWriterInputPtr& input, const std::string& label, SampleSource next,
          const std::shared_ptr<media::Group>& pumps) {
    auto queue = std::make_shared<media::SerialQueue>(label);
    // Shared by every invocation of the block, and touched only on queue.
    auto finished = std::make_shared<bool>(false);
    pumps->enter();

    // The input keeps the block, so the block holds the input weakly.
    std::weak_ptr<media::AssetWriterInput> weakInput = input;
    auto feed = [weakInput, next = std::move(next), pumps, finished] {
        const media::AssetWriterInputPtr target = weakInput.lock();
        if (!target) return;
        for (;;) {
            if (!target->isReadyForMoreMediaData()) return;
            if (*finished) return;
            bool appended = false;
            if (media::SampleBufferPtr buffer = next()) {
                appended = target->appendSampleBuffer(*buffer);
                buffer.reset();  // released whatever the append said
            }
            // The end of the source and a refused append both end the pump; the
            // writer's status tells the two apart once every pump is done.
            if (!appended) {
                *finished = true;
                target->markAsFinished();
                pumps->leave();
            }
        }
    };
    input->requestMediaDataWhenReadyOnQueue(std::move(queue), std::move(feed));
}

SampleSource videoSource(std::shared_ptr<media::AssetReaderVideoCompositionOutput> videoOut,
                         double durationSeconds) {
    return [videoOut = std::move(videoOut), durationSeconds]() -> media::SampleBufferPtr {
        media::SampleBufferPtr buffer = videoOut->copyNextSampleBuffer();
        if (buffer) {
            console::report(
                console::progressPercent(media::getPresentationTimeStamp(*buffer), durationSeconds));
        }
        return buffer;
    };
}

void encode(const Assembly& chain, const SoundPath& sound, double durationSeconds,
            const std::shared_ptr<media::Group>& pumps) {
    pump(chain.videoIn, "video", videoSource(chain.videoOut, durationSeconds), pumps);
    if (sound.audioOut && sound.audioIn) {
        pump(sound.audioIn, "audio", [audioOut = sound.audioOut] { return audioOut->copyNextSampleBuffer(); },
             pumps);
    }
    pumps->wait();

    // A failed reader is the cause even when the writer failed too; the writer is then
    // left unfinished, and the output goes with the failure line.
    if (chain.reader->status() == media::AssetReaderStatus::Failed) {
        console::die("decode failed: " + describeOrUnknown(chain.reader->error()));
    }

    // Held by the handler too: it may still be returning from signal() after the wait.
    auto finishedWriting = std::make_shared<media::Semaphore>(0);
    chain.writer->finishWriting([finishedWriting] { finishedWriting->signal(); });
    finishedWriting->wait();

    if (chain.writer->status() != media::AssetWriterStatus::Completed) {
        console::die("encode failed: " + describeOrUnknown(chain.writer->error()));
    }
}

}  // namespace pipeline
