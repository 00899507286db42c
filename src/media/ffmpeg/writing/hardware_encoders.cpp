// Hardware H.264 encoders. One counts as present only once its device has been
// created, the encoder opened with the job's settings and a test picture encoded: a
// compiled-in encoder whose driver or device is missing is not present. Each kind is
// skipped at once when the machine has no device node for it, so probing is quick and
// prints nothing on a machine without hardware.
#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

extern "C" {
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
}

#include "media/ffmpeg/writing/video_encoder.h"

namespace media::ff {
namespace {

// Device nodes in dir whose names start with prefix, in name order.
std::vector<std::string> deviceNodes(const char* dir, const char* prefix) {
    std::vector<std::string> nodes;
    std::error_code error;
    for (std::filesystem::directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) == 0) nodes.push_back(it->path().string());
    }
    std::sort(nodes.begin(), nodes.end());
    return nodes;
}

bool exists(const char* path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

// A new reference to the process's device of this type, created on first use; null
// when it cannot be created. The answer does not change while the process runs, so a
// failure is not retried.
BufferRefPtr sharedDevice(AVHWDeviceType type, const char* node) {
    static std::mutex mutex;
    static std::map<AVHWDeviceType, BufferRefPtr> devices;  // null: creation failed
    std::lock_guard<std::mutex> lock(mutex);
    auto it = devices.find(type);
    if (it == devices.end()) {
        AVBufferRef* device = nullptr;
        if (av_hwdevice_ctx_create(&device, type, node, nullptr, 0) < 0) device = nullptr;
        it = devices.emplace(type, BufferRefPtr(device)).first;
    }
    return BufferRefPtr(it->second ? av_buffer_ref(it->second.get()) : nullptr);
}

CodecContextPtr allocate(const char* encoderName, const AVCodec*& codec) {
    codec = avcodec_find_encoder_by_name(encoderName);
    if (codec == nullptr) return nullptr;
    return CodecContextPtr(avcodec_alloc_context3(codec));
}

Result<OpenedVideoEncoder> openVaapi(const VideoConfig& config) {
    const auto nodes = deviceNodes("/dev/dri", "renderD");
    if (nodes.empty()) return mediaError("no VAAPI device");
    BufferRefPtr device = sharedDevice(AV_HWDEVICE_TYPE_VAAPI, nodes.front().c_str());
    if (!device) return mediaError("the VAAPI device cannot be created");

    const AVCodec* codec = nullptr;
    CodecContextPtr context = allocate("h264_vaapi", codec);
    if (!context) return mediaError("no VAAPI H.264 encoder");
    configureVideoContext(context.get(), config);
    context->pix_fmt = AV_PIX_FMT_VAAPI;

    // The encoder reads surfaces: each NV12 picture is uploaded into one of these.
    BufferRefPtr frames(av_hwframe_ctx_alloc(device.get()));
    if (!frames) return mediaError("cannot allocate VAAPI surfaces");
    auto* surfaces = reinterpret_cast<AVHWFramesContext*>(frames->data);
    surfaces->format = AV_PIX_FMT_VAAPI;
    surfaces->sw_format = AV_PIX_FMT_NV12;
    surfaces->width = config.width;
    surfaces->height = config.height;
    surfaces->initial_pool_size = 32;
    int ret = av_hwframe_ctx_init(frames.get());
    if (ret < 0) return errorFromAV(ret, "cannot allocate VAAPI surfaces");
    context->hw_frames_ctx = av_buffer_ref(frames.get());
    if (context->hw_frames_ctx == nullptr) return errorFromAV(AVERROR(ENOMEM));

    // Variable bit rate around the average: the driver's nearest to single-pass ABR.
    ret = av_opt_set(context->priv_data, "rc_mode", "VBR", 0);
    if (ret >= 0) ret = avcodec_open2(context.get(), codec, nullptr);
    if (ret < 0) return errorFromAV(ret, "cannot open the VAAPI H.264 encoder");
    return OpenedVideoEncoder{std::move(context), std::move(frames)};
}

// Encoders that read NV12 pictures from memory and need no device of ours, or take
// one as a hint.
Result<OpenedVideoEncoder> openMemoryInput(const char* encoderName, BufferRefPtr device,
                                           const std::vector<std::pair<const char*, const char*>>& options,
                                           const VideoConfig& config) {
    const AVCodec* codec = nullptr;
    CodecContextPtr context = allocate(encoderName, codec);
    if (!context) return mediaError(std::string("no encoder ") + encoderName);
    configureVideoContext(context.get(), config);
    context->pix_fmt = AV_PIX_FMT_NV12;
    if (device) {
        context->hw_device_ctx = av_buffer_ref(device.get());
        if (context->hw_device_ctx == nullptr) return errorFromAV(AVERROR(ENOMEM));
    }
    int ret = 0;
    for (const auto& [name, value] : options) {
        if (ret >= 0) ret = av_opt_set(context->priv_data, name, value, 0);
    }
    if (ret >= 0) ret = avcodec_open2(context.get(), codec, nullptr);
    if (ret < 0) return errorFromAV(ret, std::string("cannot open ") + encoderName);
    return OpenedVideoEncoder{std::move(context), nullptr};
}

Result<OpenedVideoEncoder> openNvenc(const VideoConfig& config) {
    if (!exists("/dev/nvidiactl")) return mediaError("no NVIDIA device");
    BufferRefPtr device = sharedDevice(AV_HWDEVICE_TYPE_CUDA, nullptr);
    if (!device) return mediaError("the CUDA device cannot be created");
    return openMemoryInput("h264_nvenc", std::move(device), {{"rc", "vbr"}, {"profile", "high"}}, config);
}

Result<OpenedVideoEncoder> openQsv(const VideoConfig& config) {
    if (deviceNodes("/dev/dri", "renderD").empty()) return mediaError("no Quick Sync device");
    BufferRefPtr device = sharedDevice(AV_HWDEVICE_TYPE_QSV, "auto");
    if (!device) return mediaError("the Quick Sync device cannot be created");
    return openMemoryInput("h264_qsv", std::move(device), {}, config);
}

Result<OpenedVideoEncoder> openV4l2(const VideoConfig& config) {
    // The encoder finds its memory-to-memory device among the video nodes itself.
    if (deviceNodes("/dev", "video").empty()) return mediaError("no V4L2 device");
    return openMemoryInput("h264_v4l2m2m", nullptr, {}, config);
}

// Encodes one grey picture and drains the encoder: true when a packet came out.
bool encodesTestPicture(OpenedVideoEncoder& encoder, const VideoConfig& config) {
    FramePtr picture = makeFrame();
    PacketPtr packet = makePacket();
    if (!picture || !packet) return false;
    picture->format = AV_PIX_FMT_NV12;
    picture->width = config.width;
    picture->height = config.height;
    if (av_frame_get_buffer(picture.get(), 0) < 0) return false;
    for (int plane = 0; plane < 2; ++plane) {
        const int rows = plane == 0 ? config.height : config.height / 2;
        for (int y = 0; y < rows; ++y) {
            std::fill_n(picture->data[plane] + static_cast<std::ptrdiff_t>(y) * picture->linesize[plane],
                        config.width, std::uint8_t{128});
        }
    }
    int packets = 0;
    const PacketSink count = [&packets](AVPacket*) -> std::optional<Error> {
        ++packets;
        return std::nullopt;
    };
    if (encodePicture(encoder, picture.get(), 0, packet.get(), count)) return false;
    if (encodePicture(encoder, nullptr, 0, packet.get(), count)) return false;
    return packets > 0;
}

// The folder the FFmpeg libraries were loaded from: the machine's library folder,
// where the drivers live too.
std::filesystem::path libraryFolder() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&av_hwdevice_ctx_create), &info) == 0 || info.dli_fname == nullptr) return {};
    std::error_code error;
    const auto library = std::filesystem::canonical(info.dli_fname, error);
    return error ? std::filesystem::path() : library.parent_path();
}

}  // namespace

HardwareAccess hardwareEncoderAccess() {
    HardwareAccess access;
    const auto addAll = [](std::vector<std::filesystem::path>& to, const std::vector<std::string>& from) {
        to.insert(to.end(), from.begin(), from.end());
    };
    const std::filesystem::path libraries = libraryFolder();
    bool loadsDrivers = false;

    // VA-API and Quick Sync: the render nodes; libva loads its driver from its driver
    // folder, the Quick Sync dispatcher its runtime and plugins from the library folder.
    const auto renderNodes = deviceNodes("/dev/dri", "renderD");
    if (!renderNodes.empty()) {
        access.listable.emplace_back("/dev/dri");
        addAll(access.devices, renderNodes);
        if (const char* paths = std::getenv("LIBVA_DRIVERS_PATH")) {
            std::string list = paths;
            for (std::size_t start = 0, end = 0; start <= list.size(); start = end + 1) {
                end = std::min(list.find(':', start), list.size());
                if (end > start) access.readable.emplace_back(list.substr(start, end - start));
            }
        } else if (!libraries.empty()) {
            access.readable.push_back(libraries / "dri");
        }
        if (!libraries.empty()) {
            for (const char* name : {"libmfxhw64.so.1", "libmfx-gen.so.1.2", "mfx"}) {
                access.readable.push_back(libraries / name);
            }
        }
        loadsDrivers = true;
    }
    // NVENC: the NVIDIA nodes, and the CUDA and encoder libraries the libraries load.
    const auto nvidiaNodes = deviceNodes("/dev", "nvidia");
    if (!nvidiaNodes.empty()) {
        addAll(access.devices, nvidiaNodes);
        if (!libraries.empty()) {
            for (const char* name : {"libcuda.so.1", "libnvidia-encode.so.1"}) access.readable.push_back(libraries / name);
        }
        loadsDrivers = true;
    }
    // V4L2: the video nodes, which the encoder finds by listing /dev.
    const auto videoNodes = deviceNodes("/dev", "video");
    if (!videoNodes.empty()) {
        access.listable.emplace_back("/dev");
        addAll(access.devices, videoNodes);
    }
    // Drivers are loaded by name: the loader looks them up in its cache.
    if (loadsDrivers) access.readable.emplace_back("/etc/ld.so.cache");
    return access;
}

Result<OpenedVideoEncoder> openHardwareVideoEncoder(const VideoConfig& config) {
    using Opener = Result<OpenedVideoEncoder> (*)(const VideoConfig&);
    const Opener openers[] = {openVaapi, openNvenc, openQsv, openV4l2};
    for (Opener open : openers) {
        auto probe = open(config);
        if (!probe || !encodesTestPicture(probe.value(), config)) continue;
        // The probe's encoder has been flushed; the job gets a fresh one.
        auto encoder = open(config);
        if (encoder) return encoder;
    }
    return mediaError("no hardware H.264 encoder is available");
}

}  // namespace media::ff
