// Shared by the writer's tests: inputs made at test time (pictures rendered by the
// ffmpeg tool, a synthetic sound), a driver that feeds a writer the way the job's
// pumps do, and readers of ffprobe's verdict on the written file.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "media/framework.h"
#include "support/temp_dir.h"

namespace writing_test {

namespace fs = std::filesystem;

using testing_support::readFile;
using testing_support::TempDir;

// The standard output of a shell command; stderr is discarded.
std::string run(const std::string& command);
std::string quote(const fs::path& path);

// ---- Inputs ----------------------------------------------------------------------

// Raw NV12 pictures of moving, textured content ("testsrc2" or "mandelbrot"), made by
// the ffmpeg tool.
fs::path makeRawPictures(const fs::path& dir, int width, int height, int fps, double seconds,
                         const std::string& pattern = "testsrc2");

// Pictures from a raw file, stamped as the reader stamps them: k x frameTicks in
// 1/60000 s. With loop, the file starts again at its end and the times go on rising.
class PictureSource {
public:
    PictureSource(const fs::path& raw, int width, int height, std::int64_t frameTicks, bool loop = false);
    ~PictureSource();
    media::SampleBufferPtr next();  // null at the end
    std::int64_t delivered() const { return index_; }

private:
    std::FILE* file_;
    int width_;
    int height_;
    std::int64_t frameTicks_;
    bool loop_;
    std::int64_t index_ = 0;
};

// Mono 32-bit float at 48 kHz from sample firstSample on: a tone with noise, so the
// AAC encoder has something to spend its bits on.
media::SampleBufferPtr soundBlock(std::int64_t firstSample, int samples);

// Blocks of about 1024 samples up to totalSamples, then null.
std::function<media::SampleBufferPtr()> soundSource(std::int64_t totalSamples, int blockSamples = 1024);

// ---- Settings as the job builds them ----------------------------------------------

struct VideoParams {
    std::int64_t width = 320;
    std::int64_t height = 240;
    std::int64_t bitRate = 400000;
    double fps = 15;
    double keyFrameSeconds = 4;
    bool enableHardware = false;
    bool requireHardware = false;
};
media::Settings videoSettings(const VideoParams& p);
media::Bytes monoLayout();
media::Settings aacSettings(std::int64_t bitRate);

// ---- Driving a writer --------------------------------------------------------------

struct PumpStats {
    std::atomic<int> invocations{0};
    std::atomic<int> notReadyReturns{0};  // invocations that ended on "not ready"
    std::atomic<int> appended{0};
    std::atomic<bool> finished{false};
    std::atomic<bool> refused{false};  // an append returned false
};

// The job's pump: a serial queue of its own and a feed block that appends while the
// input is ready, then marks it finished at the end of the source or on a refusal.
// onAppend, when given, runs on the pump's queue after every accepted append. Returns
// the pump's queue.
std::shared_ptr<media::SerialQueue> startPump(const media::AssetWriterInputPtr& input, const std::string& label,
               std::function<media::SampleBufferPtr()> next, std::shared_ptr<media::Group> pumps,
               std::shared_ptr<PumpStats> stats, std::function<void()> onAppend = {});

// Returns once everything queued so far on queue has run.
void drain(media::SerialQueue& queue);

// finishWriting, waiting for its handler.
void finishAndWait(media::AssetWriter& writer);

struct Written {
    media::AssetWriterStatus status = media::AssetWriterStatus::Unknown;
    std::optional<media::Error> error;
    std::int64_t pictures = 0;
};

// Writes seconds of pictures (and sound, when audioBitRate is set) to out, as the job
// does, and returns the writer's outcome.
Written writeClip(const fs::path& out, const fs::path& raw, const VideoParams& video, double seconds,
                  std::optional<std::int64_t> audioBitRate = std::nullopt);

// ---- ffprobe's verdict -------------------------------------------------------------

using Fields = std::map<std::string, std::string>;

// One entry per section line of ffprobe's compact output, for the given -show_entries.
std::vector<Fields> probe(const fs::path& file, const std::string& entries);
Fields probeStream(const fs::path& file, const std::string& selector, const std::string& fields);

struct PacketInfo {
    std::string codecType;
    double dts = 0;
    double pts = 0;
    std::int64_t pos = 0;
    bool key = false;
};
// In the file's order of bytes.
std::vector<PacketInfo> packetsByPosition(const fs::path& file);

}  // namespace writing_test
