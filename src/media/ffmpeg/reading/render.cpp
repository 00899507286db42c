#include "media/ffmpeg/reading/render.h"

#include "media/keys.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace media::ff {
namespace {

// What a source picture's colours are, as far as drawing it in BT.709 SDR needs.
struct SourceColour {
    AVColorSpace matrix = AVCOL_SPC_UNSPECIFIED;
    bool fullRange = false;
    bool rgb = false;  // the picture is R'G'B', not Y'CbCr
    int height = 0;    // untagged Y'CbCr follows the usual rule: HD and up BT.709, else BT.601
    AVColorPrimaries primaries = AVCOL_PRI_UNSPECIFIED;
    AVColorTransferCharacteristic transfer = AVCOL_TRC_UNSPECIFIED;
    double peakLuminance = 0;  // cd/m², the brightest light a PQ picture holds; 0 unknown
};

// What a picture's colours must go through on the way to BT.709 SDR.
enum class ColourConversion {
    Matrix,   // SDR in BT.709's gamut (or untagged): only the Y'CbCr matrix and range change
    Gamut,    // SDR in a wider gamut: primaries converted in linear light, no tone mapping
    ToneMap,  // PQ or HLG: linearised, tone-mapped, gamut-mapped, re-encoded
};
ColourConversion colourConversion(const SourceColour& colour);

bool finite(const AffineTransform& t) {
    return std::isfinite(t.a) && std::isfinite(t.b) && std::isfinite(t.c) && std::isfinite(t.d) &&
           std::isfinite(t.tx) && std::isfinite(t.ty);
}

bool isRGB(int format) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
    return desc != nullptr && (desc->flags & AV_PIX_FMT_FLAG_RGB) != 0;
}

// The old full-range formats carry their range in the format rather than the tag.
bool isFullRange(const AVFrame& frame) {
    switch (frame.format) {
        case AV_PIX_FMT_YUVJ420P:
        case AV_PIX_FMT_YUVJ422P:
        case AV_PIX_FMT_YUVJ444P:
        case AV_PIX_FMT_YUVJ440P:
        case AV_PIX_FMT_YUVJ411P:
            return true;
        default:
            return frame.color_range == AVCOL_RANGE_JPEG || isRGB(frame.format);
    }
}

// The delivered picture's tags, and what it must not carry from the decoded one: its
// side data and metadata. (Its picture type is the encoder's to drop.)
void tagForDelivery(AVFrame* frame, const ColourTarget& target) {
    frame->color_primaries = target.primaries;
    frame->color_trc = target.transfer;
    frame->colorspace = target.matrix;
    frame->color_range = AVCOL_RANGE_MPEG;
    frame->chroma_location = AVCHROMA_LOC_LEFT;
    frame->sample_aspect_ratio = AVRational{1, 1};
    while (frame->nb_side_data > 0) av_frame_remove_side_data(frame, frame->side_data[0]->type);
    av_dict_free(&frame->metadata);
}

// The usual rule for Y'CbCr whose matrix is not tagged (or not one we know): HD, 720
// lines and up, is BT.709; anything smaller BT.601.
bool untaggedIsBT709(int height) { return height >= 720; }

// Primaries wider than BT.709's whose pictures are converted into its gamut. The older
// SD primaries differ from BT.709 by less than their own tolerances and are left alone.
bool wideGamut(AVColorPrimaries primaries) {
    return primaries == AVCOL_PRI_BT2020 || primaries == AVCOL_PRI_SMPTE431 || primaries == AVCOL_PRI_SMPTE432;
}

// zscale's names for the source's matrix and primaries. Untagged HDR is
// BT.2020, as every HDR format defines it.
const char* zimgMatrix(const SourceColour& colour, bool hdr) {
    switch (colour.matrix) {
        case AVCOL_SPC_BT709:
            return "709";
        case AVCOL_SPC_BT470BG:
            return "470bg";
        case AVCOL_SPC_SMPTE170M:
            return "170m";
        case AVCOL_SPC_BT2020_NCL:
            return "2020_ncl";
        case AVCOL_SPC_BT2020_CL:
            return "2020_cl";
        default:
            if (hdr) return "2020_ncl";
            return untaggedIsBT709(colour.height) ? "709" : "170m";
    }
}

const char* zimgPrimaries(AVColorPrimaries primaries) {
    switch (primaries) {
        case AVCOL_PRI_BT709:
            return "709";
        case AVCOL_PRI_BT470BG:
            return "bt470bg";
        case AVCOL_PRI_SMPTE170M:
            return "170m";
        case AVCOL_PRI_SMPTE431:
            return "smpte431";
        case AVCOL_PRI_SMPTE432:
            return "smpte432";
        default:
            return "2020";
    }
}

// After scaling: from the source's colours to 8-bit BT.709 SDR, video range, planar
// 4:2:0 (a following format filter chooses the final layout). Only the stretch from the
// linearised picture to the tone-mapped one is in floating point; the way back to 8 bits
// is dithered, so smooth gradients gain no bands.
std::string colourFilters(const SourceColour& colour, ColourConversion conversion) {
    std::ostringstream chain;
    const bool hdr = conversion == ColourConversion::ToneMap;
    chain << "zscale=rangein=" << (colour.fullRange ? "full" : "limited");
    if (!colour.rgb) chain << ":matrixin=" << zimgMatrix(colour, hdr);
    chain << ":primariesin=" << zimgPrimaries(colour.primaries) << ":primaries=709";
    if (hdr) {
        const bool pq = colour.transfer == AVCOL_TRC_SMPTE2084;
        // Linear light with reference white at 1.0; HLG's own display peak is its nominal one.
        chain << ":transferin=" << (pq ? "smpte2084" : "arib-std-b67") << ":transfer=linear:npl=" << kReferenceWhite
              << ",format=gbrpf32le";
        double peak = pq && colour.peakLuminance > 0 ? colour.peakLuminance : kDefaultPeak;
        peak = std::clamp(peak, 1.0, 10000.0) / kReferenceWhite;
        char figure[32];
        std::snprintf(figure, sizeof figure, "%.4f", peak * kHighlightHeadroom);
        // Möbius keeps everything up to 60 % of reference white as it is (shadows, faces,
        // mid greys) and rolls the rest smoothly into what SDR can show, scaling the three
        // components together so hues hold. The roll-off is drawn towards a point beyond
        // the source's peak (kHighlightHeadroom), so the brightest light the source can
        // hold lands just under SDR white instead of on it: phone footage keeps a large
        // share of its picture (skies, windows, lamps) close to that peak, and a curve
        // that ends there pressed it all into the last few codes, a flat white sheet.
        // Nothing is pulled towards grey: a desaturation above reference white lifted
        // coloured highlights (a blue sky) into the same few codes and paled them.
        // Content that never passes reference white needs no curve, only a clip of stray
        // overshoots.
        if (peak > 1.0) {
            chain << ",tonemap=tonemap=mobius:param=0.6:desat=0:peak=" << figure;
        } else {
            chain << ",tonemap=tonemap=clip:param=1:desat=0:peak=1";
        }
        chain << ",zscale=transferin=linear:primariesin=709:npl=" << kReferenceWhite;
    } else {
        // The transfer stays as it is; zimg goes through linear light for the primaries.
        chain << ":transferin=709";
    }
    // Chroma sited as every delivered picture is tagged (tagForDelivery), whatever siting
    // the source was stored with: zscale would otherwise keep the source's.
    chain << ":transfer=709:matrix=709:range=limited:chromal=left:dither=ordered";
    return chain.str();
}

}  // namespace

RenderPlan planRender(const AffineTransform& t, Size natural, int width, int height) {
    RenderPlan plan;
    plan.width = width;
    plan.height = height;
    if (width < 1 || height < 1 || !finite(t) || !(natural.width > 0) || !(natural.height > 0) ||
        !std::isfinite(natural.width) || !std::isfinite(natural.height)) {
        return plan;
    }
    const double det = t.a * t.d - t.b * t.c;
    if (!std::isfinite(det) || det == 0) return plan;

    const double eps = 1e-9 * (std::fabs(t.a) + std::fabs(t.b) + std::fabs(t.c) + std::fabs(t.d));
    const bool straight = std::fabs(t.b) <= eps && std::fabs(t.c) <= eps;
    const bool turned = std::fabs(t.a) <= eps && std::fabs(t.d) <= eps;
    const Rect covered = applyAffineTransform(Rect{0, 0, natural.width, natural.height}, t);
    // The picture fills the render rectangle to within half a pixel on every edge.
    const bool fills = std::fabs(covered.x) <= 0.5 && std::fabs(covered.y) <= 0.5 &&
                       std::fabs(covered.x + covered.width - width) <= 0.5 &&
                       std::fabs(covered.y + covered.height - height) <= 0.5;
    if ((straight || turned) && fills) {
        plan.kind = RenderPlan::Kind::Exact;
        if (straight) {
            plan.scaledWidth = width;
            plan.scaledHeight = height;
            plan.flipHorizontally = t.a < 0;
            plan.flipVertically = t.d < 0;
        } else {
            // The source's x axis becomes the render's y axis: scale to the turned size,
            // then transpose. With b < 0 the rows run right to left (a mirror before the
            // transpose), with c < 0 bottom to top; the four transpose directions are
            // exactly these combinations.
            plan.scaledWidth = height;
            plan.scaledHeight = width;
            plan.transposeDirection = (t.b < 0 ? 2 : 0) + (t.c < 0 ? 1 : 0);
        }
        return plan;
    }
    if (width < 3 || height < 3) return plan;
    // The picture is stretched into the inside of a one-pixel black frame; its corners
    // then go where the transform sends the matching points of the natural picture.
    plan.kind = RenderPlan::Kind::General;
    const double unitX = natural.width / (width - 2);
    const double unitY = natural.height / (height - 2);
    const double xs[2] = {-unitX, (width - 1) * unitX};
    const double ys[2] = {-unitY, (height - 1) * unitY};
    plan.corners = {t.apply({xs[0], ys[0]}), t.apply({xs[1], ys[0]}), t.apply({xs[0], ys[1]}),
                    t.apply({xs[1], ys[1]})};
    return plan;
}

namespace {

ColourConversion colourConversion(const SourceColour& colour) {
    if (colour.transfer == AVCOL_TRC_SMPTE2084 || colour.transfer == AVCOL_TRC_ARIB_STD_B67) {
        return ColourConversion::ToneMap;
    }
    if (wideGamut(colour.primaries)) return ColourConversion::Gamut;
    return ColourConversion::Matrix;
}

const char* sourceMatrixName(AVColorSpace space, int height);

// The libavfilter chain for a plan, for a source with the given colours.
std::string renderFilters(const RenderPlan& plan, const SourceColour& colour) {
    std::ostringstream chain;
    const ColourConversion conversion = colourConversion(colour);
    // SDR in BT.709's gamut changes matrix and range in the scaler itself; anything else
    // is scaled as it is and converted afterwards, so the cost follows the render size.
    const auto scale = [&](int w, int h) {
        chain << "scale=w=" << w << ":h=" << h << ":flags=bicubic";
        if (conversion == ColourConversion::Matrix) {
            chain << ":in_color_matrix=" << sourceMatrixName(colour.matrix, colour.height)
                  << ":in_range=" << (colour.fullRange ? "jpeg" : "mpeg") << ":out_color_matrix=bt709:out_range=mpeg";
        } else {
            chain << "," << colourFilters(colour, conversion);
        }
    };
    if (plan.kind == RenderPlan::Kind::Exact) {
        if (plan.flipVertically) chain << "vflip,";
        scale(plan.scaledWidth, plan.scaledHeight);
        if (conversion != ColourConversion::Matrix) chain << ",format=yuv420p";
        chain << ",format=nv12";
        if (plan.transposeDirection >= 0) chain << ",transpose=dir=" << plan.transposeDirection;
        if (plan.flipHorizontally) chain << ",hflip";
    } else if (plan.kind == RenderPlan::Kind::General) {
        scale(plan.width - 2, plan.height - 2);
        chain << ",format=yuv444p,pad=w=" << plan.width << ":h=" << plan.height << ":x=1:y=1:color=black";
        chain << ",perspective=";
        char number[64];
        for (int i = 0; i < 4; ++i) {
            std::snprintf(number, sizeof number, "%sx%d=%.6f:y%d=%.6f", i == 0 ? "" : ":", i,
                          plan.corners[static_cast<std::size_t>(i)].x, i,
                          plan.corners[static_cast<std::size_t>(i)].y);
            chain << number;
        }
        chain << ":sense=destination:interpolation=linear,format=nv12";
    }
    return chain.str();
}

// The colour matrix a source picture was encoded with, by the scaler's names;
// an untagged picture follows the usual rule (HD and up: BT.709, else BT.601).
const char* sourceMatrixName(AVColorSpace space, int height) {
    switch (space) {
        case AVCOL_SPC_BT709:
            return "bt709";
        case AVCOL_SPC_BT470BG:
        case AVCOL_SPC_SMPTE170M:
            return "bt601";
        case AVCOL_SPC_SMPTE240M:
            return "smpte240m";
        case AVCOL_SPC_FCC:
            return "fcc";
        case AVCOL_SPC_BT2020_NCL:
        case AVCOL_SPC_BT2020_CL:
            return "bt2020";
        default:
            return untaggedIsBT709(height) ? "bt709" : "bt601";
    }
}

// The colours of a decoded picture; streamPeakLuminance (cd/m², 0 unknown) stands in
// when the picture carries no light level of its own.
SourceColour sourceColour(const AVFrame& frame, double streamPeakLuminance) {
    SourceColour colour;
    colour.matrix = frame.colorspace;
    colour.fullRange = isFullRange(frame);
    colour.rgb = isRGB(frame.format);
    colour.height = frame.height;
    colour.primaries = frame.color_primaries;
    colour.transfer = frame.color_trc;
    const auto record = [&frame](AVFrameSideDataType type) {
        const AVFrameSideData* sd = av_frame_get_side_data(&frame, type);
        return sd != nullptr ? std::pair<const void*, std::size_t>{sd->data, sd->size}
                             : std::pair<const void*, std::size_t>{nullptr, 0};
    };
    const auto [light, lightSize] = record(AV_FRAME_DATA_CONTENT_LIGHT_LEVEL);
    const auto [display, displaySize] = record(AV_FRAME_DATA_MASTERING_DISPLAY_METADATA);
    const double own = peakLuminance(sideDataAs<AVContentLightMetadata>(light, lightSize),
                                     sideDataAs<AVMasteringDisplayMetadata>(display, displaySize));
    colour.peakLuminance = own > 0 ? own : streamPeakLuminance;
    return colour;
}

}  // namespace

PictureRenderer::SourceKey PictureRenderer::SourceKey::of(const AVFrame& frame) {
    return SourceKey{frame.width,      frame.height,          frame.format,   frame.colorspace,
                     frame.color_range, frame.color_primaries, frame.color_trc};
}

Result<ColourTarget> colourTarget(const std::string& primaries, const std::string& transferFunction,
                                  const std::string& yCbCrMatrix) {
    // The filter chains convert into BT.709 and nothing else.
    if (primaries != AVVideoColorPrimaries_ITU_R_709_2 || transferFunction != AVVideoTransferFunction_ITU_R_709_2 ||
        yCbCrMatrix != AVVideoYCbCrMatrix_ITU_R_709_2) {
        return mediaError("the composition asks for colours other than BT.709, the only ones pictures are drawn in");
    }
    return ColourTarget{};
}

std::optional<Error> PictureRenderer::configure(const AVFrame& source) {
    graph_.reset(avfilter_graph_alloc());
    input_ = nullptr;
    output_ = nullptr;
    built_ = SourceKey{};
    if (!graph_) return errorFromAV(AVERROR(ENOMEM));

    char args[256];
    std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=1/1:pixel_aspect=1/1", source.width,
                  source.height, source.format);
    int ret = avfilter_graph_create_filter(&input_, avfilter_get_by_name("buffer"), "in", args, nullptr,
                                           graph_.get());
    if (ret < 0) return errorFromAV(ret, "cannot set up the picture conversion");
    ret = avfilter_graph_create_filter(&output_, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr,
                                       graph_.get());
    if (ret < 0) return errorFromAV(ret, "cannot set up the picture conversion");

    FilterInOutPtr outputs(avfilter_inout_alloc());
    FilterInOutPtr inputs(avfilter_inout_alloc());
    if (!outputs || !inputs) return errorFromAV(AVERROR(ENOMEM));
    outputs->name = av_strdup("in");
    outputs->filter_ctx = input_;
    outputs->pad_idx = 0;
    inputs->name = av_strdup("out");
    inputs->filter_ctx = output_;
    inputs->pad_idx = 0;

    const std::string filters = renderFilters(plan_, sourceColour(source, streamPeak_));
    AVFilterInOut* in = inputs.release();
    AVFilterInOut* out = outputs.release();
    ret = avfilter_graph_parse_ptr(graph_.get(), filters.c_str(), &in, &out, nullptr);
    inputs.reset(in);
    outputs.reset(out);
    if (ret < 0) return errorFromAV(ret, "cannot set up the picture conversion");
    ret = avfilter_graph_config(graph_.get(), nullptr);
    if (ret < 0) return errorFromAV(ret, "cannot set up the picture conversion");

    built_ = SourceKey::of(source);
    return std::nullopt;
}

Result<FramePtr> PictureRenderer::blank() const {
    FramePtr frame = makeFrame();
    if (!frame) return errorFromAV(AVERROR(ENOMEM));
    frame->format = AV_PIX_FMT_NV12;
    frame->width = plan_.width;
    frame->height = plan_.height;
    const int ret = av_frame_get_buffer(frame.get(), 0);
    if (ret < 0) return errorFromAV(ret);
    for (int y = 0; y < frame->height; ++y) std::memset(frame->data[0] + y * frame->linesize[0], 16, frame->width);
    for (int y = 0; y < (frame->height + 1) / 2; ++y) {
        std::memset(frame->data[1] + y * frame->linesize[1], 128, static_cast<std::size_t>((frame->width + 1) / 2) * 2);
    }
    tagForDelivery(frame.get(), target_);
    return frame;
}

Result<FramePtr> PictureRenderer::render(const AVFrame& source) {
    if (plan_.kind == RenderPlan::Kind::Blank || source.width <= 0 || source.height <= 0) return blank();
    if (!(SourceKey::of(source) == built_)) {
        if (auto error = configure(source)) return *error;
    }
    int ret = av_buffersrc_add_frame_flags(input_, const_cast<AVFrame*>(&source), AV_BUFFERSRC_FLAG_KEEP_REF);
    if (ret < 0) return errorFromAV(ret, "cannot convert the picture");
    FramePtr frame = makeFrame();
    if (!frame) return errorFromAV(AVERROR(ENOMEM));
    ret = av_buffersink_get_frame(output_, frame.get());
    if (ret < 0) return errorFromAV(ret, "cannot convert the picture");
    tagForDelivery(frame.get(), target_);
    return frame;
}

}  // namespace media::ff
