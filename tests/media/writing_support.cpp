#include "writing_support.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

extern "C" {
#include <libavutil/channel_layout.h>
}

#include "media/ffmpeg/libav.h"
#include "media/ffmpeg/writing/writer.h"

namespace writing_test {

std::string run(const std::string& command) {
    std::string out;
    std::FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr) return out;
    char chunk[4096];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) out.append(chunk, n);
    pclose(pipe);
    return out;
}

std::string quote(const fs::path& path) {
    std::string q = "'";
    for (char c : path.string()) {
        if (c == '\'') {
            q += "'\\''";
        } else {
            q += c;
        }
    }
    return q + "'";
}

fs::path makeRawPictures(const fs::path& dir, int width, int height, int fps, double seconds,
                         const std::string& pattern) {
    const fs::path out = dir / (pattern + "-" + std::to_string(width) + "x" + std::to_string(height) + ".nv12");
    std::ostringstream command;
    command << "ffmpeg -nostdin -v error -y -f lavfi -i " << pattern << "=size=" << width << "x" << height
            << ":rate=" << fps << " -t " << seconds << " -pix_fmt nv12 -f rawvideo " << quote(out);
    run(command.str());
    return out;
}

PictureSource::PictureSource(const fs::path& raw, int width, int height, std::int64_t frameTicks, bool loop)
    : file_(std::fopen(raw.c_str(), "rb")), width_(width), height_(height), frameTicks_(frameTicks), loop_(loop) {
    if (file_ == nullptr) throw std::runtime_error("cannot open " + raw.string());
}

PictureSource::~PictureSource() { std::fclose(file_); }

media::SampleBufferPtr PictureSource::next() {
    media::ff::FramePtr frame = media::ff::makeFrame();
    frame->format = AV_PIX_FMT_NV12;
    frame->width = width_;
    frame->height = height_;
    if (av_frame_get_buffer(frame.get(), 0) < 0) return nullptr;
    frame->color_primaries = AVCOL_PRI_BT709;
    frame->color_trc = AVCOL_TRC_BT709;
    frame->colorspace = AVCOL_SPC_BT709;
    frame->color_range = AVCOL_RANGE_MPEG;
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool complete = true;
        for (int plane = 0; plane < 2 && complete; ++plane) {
            const int rows = plane == 0 ? height_ : height_ / 2;
            for (int y = 0; y < rows && complete; ++y) {
                std::uint8_t* row = frame->data[plane] + static_cast<std::ptrdiff_t>(y) * frame->linesize[plane];
                complete = std::fread(row, 1, static_cast<std::size_t>(width_), file_) ==
                           static_cast<std::size_t>(width_);
            }
        }
        if (complete) break;
        if (!loop_ || attempt == 1) return nullptr;
        std::rewind(file_);
    }
    const std::int64_t k = index_++;
    frame->pts = k * frameTicks_;
    return std::make_unique<media::ff::FrameSampleBuffer>(std::move(frame), media::Time::make(k * frameTicks_, 60000),
                                                          media::Time::make(frameTicks_, 60000));
}

media::SampleBufferPtr soundBlock(std::int64_t firstSample, int samples) {
    media::ff::FramePtr frame = media::ff::makeFrame();
    frame->format = AV_SAMPLE_FMT_FLT;
    frame->sample_rate = 48000;
    frame->nb_samples = samples;
    const AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    av_channel_layout_copy(&frame->ch_layout, &mono);
    if (av_frame_get_buffer(frame.get(), 0) < 0) return nullptr;
    auto* out = reinterpret_cast<float*>(frame->data[0]);
    for (int i = 0; i < samples; ++i) {
        const std::int64_t n = firstSample + i;
        // A tone plus deterministic noise from a hash of the sample index.
        std::uint32_t h = static_cast<std::uint32_t>(n) * 2654435761u;
        h ^= h >> 15;
        h *= 2246822519u;
        h ^= h >> 13;
        const float noise = static_cast<float>(h & 0xffff) / 65535.0f - 0.5f;
        out[i] = 0.3f * static_cast<float>(std::sin(2 * M_PI * 440.0 * static_cast<double>(n) / 48000.0)) +
                 0.4f * noise;
    }
    frame->pts = firstSample;
    return std::make_unique<media::ff::FrameSampleBuffer>(std::move(frame), media::Time::make(firstSample, 48000),
                                                          media::Time::make(samples, 48000));
}

std::function<media::SampleBufferPtr()> soundSource(std::int64_t totalSamples, int blockSamples) {
    auto position = std::make_shared<std::int64_t>(0);
    return [position, totalSamples, blockSamples]() -> media::SampleBufferPtr {
        if (*position >= totalSamples) return nullptr;
        // Vary the block length a little, as a decoder's output does.
        int n = blockSamples + static_cast<int>((*position / blockSamples) % 3) * 7 - 7;
        n = static_cast<int>(std::min<std::int64_t>(n, totalSamples - *position));
        auto block = soundBlock(*position, n);
        *position += n;
        return block;
    };
}

media::Settings videoSettings(const VideoParams& p) {
    using namespace media;
    Settings spec;
    spec.set(kVTVideoEncoderSpecification_EnableHardwareAcceleratedVideoEncoder, p.enableHardware)
        .set(kVTVideoEncoderSpecification_RequireHardwareAcceleratedVideoEncoder, p.requireHardware);
    Settings colors;
    colors.set(AVVideoColorPrimariesKey, AVVideoColorPrimaries_ITU_R_709_2)
        .set(AVVideoTransferFunctionKey, AVVideoTransferFunction_ITU_R_709_2)
        .set(AVVideoYCbCrMatrixKey, AVVideoYCbCrMatrix_ITU_R_709_2);
    Settings compression;
    compression.set(AVVideoAverageBitRateKey, p.bitRate)
        .set(AVVideoProfileLevelKey, AVVideoProfileLevelH264HighAutoLevel)
        .set(AVVideoExpectedSourceFrameRateKey, p.fps)
        .set(AVVideoMaxKeyFrameIntervalDurationKey, p.keyFrameSeconds)
        .set(AVVideoAllowFrameReorderingKey, true);
    Settings s;
    s.set(AVVideoCodecKey, AVVideoCodecTypeH264)
        .set(AVVideoEncoderSpecificationKey, spec)
        .set(AVVideoWidthKey, p.width)
        .set(AVVideoHeightKey, p.height)
        .set(AVVideoColorPropertiesKey, colors)
        .set(AVVideoCompressionPropertiesKey, compression);
    return s;
}

media::Bytes monoLayout() {
    media::Bytes record(32, 0);
    record[0] = 0x01;
    record[2] = 0x64;
    return record;
}

media::Settings aacSettings(std::int64_t bitRate) {
    using namespace media;
    Settings s;
    s.set(AVFormatIDKey, kAudioFormatMPEG4AAC)
        .set(AVNumberOfChannelsKey, std::int64_t{1})
        .set(AVChannelLayoutKey, monoLayout())
        .set(AVSampleRateKey, 48000.0)
        .set(AVEncoderBitRateKey, bitRate);
    return s;
}

std::shared_ptr<media::SerialQueue> startPump(const media::AssetWriterInputPtr& input, const std::string& label,
               std::function<media::SampleBufferPtr()> next, std::shared_ptr<media::Group> pumps,
               std::shared_ptr<PumpStats> stats, std::function<void()> onAppend) {
    auto queue = std::make_shared<media::SerialQueue>(label);
    pumps->enter();
    // The input holds the block; the block must not hold the input strongly.
    std::weak_ptr<media::AssetWriterInput> weak = input;
    input->requestMediaDataWhenReadyOnQueue(queue, [weak, next = std::move(next), pumps, stats,
                                                    onAppend = std::move(onAppend)] {
        auto in = weak.lock();
        if (!in) return;
        ++stats->invocations;
        for (;;) {
            if (!in->isReadyForMoreMediaData()) {
                if (!stats->finished) ++stats->notReadyReturns;
                return;
            }
            if (stats->finished) return;
            media::SampleBufferPtr buffer = next();
            bool go = buffer != nullptr;
            if (go) {
                go = in->appendSampleBuffer(*buffer);
                if (go) {
                    ++stats->appended;
                    if (onAppend) onAppend();
                } else {
                    stats->refused = true;
                }
            }
            if (!go) {
                stats->finished = true;
                in->markAsFinished();
                pumps->leave();
            }
        }
    });
    return queue;
}

void drain(media::SerialQueue& queue) {
    media::Semaphore done(0);
    queue.async([&done] { done.signal(); });
    done.wait();
}

void finishAndWait(media::AssetWriter& writer) {
    auto done = std::make_shared<media::Semaphore>(0);
    writer.finishWriting([done] { done->signal(); });
    done->wait();
}

Written writeClip(const fs::path& out, const fs::path& raw, const VideoParams& video, double seconds,
                  std::optional<std::int64_t> audioBitRate) {
    Written result;
    auto made = media::ff::makeWriter(out, media::FileType::MPEG4);
    if (!made) {
        result.status = media::AssetWriterStatus::Failed;
        result.error = made.error();
        return result;
    }
    media::AssetWriterPtr writer = made.value();
    writer->setShouldOptimizeForNetworkUse(false);
    auto videoIn = media::ff::makeWriterInput(media::MediaType::Video, videoSettings(video));
    videoIn->setExpectsMediaDataInRealTime(false);
    if (!writer->canAddInput(videoIn)) return result;
    writer->addInput(videoIn);
    media::AssetWriterInputPtr audioIn;
    if (audioBitRate) {
        audioIn = media::ff::makeWriterInput(media::MediaType::Audio, aacSettings(*audioBitRate));
        if (!writer->canAddInput(audioIn)) return result;
        writer->addInput(audioIn);
    }
    if (!writer->startWriting()) {
        result.status = writer->status();
        result.error = writer->error();
        return result;
    }
    writer->startSessionAtSourceTime(media::Time::zero());

    const auto frameTicks = static_cast<std::int64_t>(std::llround(60000.0 / video.fps));
    const auto frames = static_cast<std::int64_t>(std::llround(seconds * video.fps));
    auto pictures = std::make_shared<PictureSource>(raw, static_cast<int>(video.width),
                                                    static_cast<int>(video.height), frameTicks);
    auto pumps = std::make_shared<media::Group>();
    auto videoStats = std::make_shared<PumpStats>();
    startPump(
        videoIn, "video",
        [pictures, frames]() -> media::SampleBufferPtr {
            return pictures->delivered() < frames ? pictures->next() : nullptr;
        },
        pumps, videoStats);
    if (audioIn) {
        startPump(audioIn, "audio", soundSource(static_cast<std::int64_t>(seconds * 48000)), pumps,
                  std::make_shared<PumpStats>());
    }
    pumps->wait();
    finishAndWait(*writer);
    result.status = writer->status();
    result.error = writer->error();
    result.pictures = videoStats->appended;
    return result;
}

std::vector<Fields> probe(const fs::path& file, const std::string& entries) {
    const std::string out = run("ffprobe -v error -show_entries " + entries + " -of compact=p=0 " + quote(file));
    std::vector<Fields> sections;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        Fields fields;
        std::istringstream parts(line);
        std::string part;
        while (std::getline(parts, part, '|')) {
            const auto eq = part.find('=');
            if (eq != std::string::npos) fields[part.substr(0, eq)] = part.substr(eq + 1);
        }
        sections.push_back(std::move(fields));
    }
    return sections;
}

Fields probeStream(const fs::path& file, const std::string& selector, const std::string& fields) {
    const std::string out =
        run("ffprobe -v error -select_streams " + selector + " -show_entries stream=" + fields +
            " -of compact=p=0 " + quote(file));
    Fields result;
    std::istringstream parts(out.substr(0, out.find('\n')));
    std::string part;
    while (std::getline(parts, part, '|')) {
        const auto eq = part.find('=');
        if (eq != std::string::npos) result[part.substr(0, eq)] = part.substr(eq + 1);
    }
    return result;
}

std::vector<PacketInfo> packetsByPosition(const fs::path& file) {
    std::vector<PacketInfo> packets;
    for (const Fields& f : probe(file, "packet=codec_type,pts_time,dts_time,pos,flags")) {
        if (!f.count("codec_type")) continue;
        PacketInfo p;
        p.codecType = f.at("codec_type");
        p.dts = std::atof(f.count("dts_time") ? f.at("dts_time").c_str() : "0");
        p.pts = std::atof(f.count("pts_time") ? f.at("pts_time").c_str() : "0");
        p.pos = std::atoll(f.count("pos") ? f.at("pos").c_str() : "0");
        p.key = f.count("flags") && f.at("flags").find('K') != std::string::npos;
        packets.push_back(p);
    }
    std::sort(packets.begin(), packets.end(), [](const PacketInfo& a, const PacketInfo& b) { return a.pos < b.pos; });
    return packets;
}

}  // namespace writing_test
