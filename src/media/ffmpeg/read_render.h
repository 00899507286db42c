// Draws one decoded picture into the composition's render rectangle: turned, mirrored,
// scaled and converted to 8-bit NV12, BT.709, video range.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "media/ffmpeg/common.h"

namespace media::ff {

// How a layer transform is carried out.
struct RenderPlan {
    enum class Kind {
        Exact,    // quarter turns and mirrorings: scale, then transpose or flip the planes
        General,  // any other affine transform, resampled
        Blank,    // a transform that shows nothing (collapsed or not finite): black
    };
    Kind kind = Kind::Blank;
    int width = 0;   // render size
    int height = 0;
    // Exact: the picture is scaled to this size, then turned or flipped into the render size.
    int scaledWidth = 0;
    int scaledHeight = 0;
    bool flipVertically = false;    // before scaling (free: the scaler reads rows backwards)
    bool flipHorizontally = false;  // after scaling
    int transposeDirection = -1;    // the transpose filter's dir (0..3), after scaling; -1 none
    // General: where the corners of the padded, stretched picture land in the render
    // rectangle (top left, top right, bottom left, bottom right).
    std::array<Point, 4> corners{};
};

// transform maps points of the natural picture (natural.width x natural.height) into
// the render rectangle (0, 0)-(width, height).
RenderPlan planRender(const AffineTransform& transform, Size natural, int width, int height);

// The libavfilter chain for a plan, for a source with the given colour matrix and range.
std::string renderFilters(const RenderPlan& plan, const char* sourceMatrix, const char* sourceRange);

// The colour matrix a source picture was encoded with, by the scaler's names;
// an untagged picture follows the usual rule (HD and up: BT.709, else BT.601).
const char* sourceMatrixName(AVColorSpace space, int height);

class PictureRenderer {
public:
    explicit PictureRenderer(RenderPlan plan) : plan_(std::move(plan)) {}
    // A new frame at the render size, tagged BT.709 video range; or the error that
    // prevented it.
    Result<FramePtr> render(const AVFrame& source);

private:
    std::optional<Error> configure(const AVFrame& source);
    Result<FramePtr> blank() const;

    RenderPlan plan_;
    FilterGraphPtr graph_;
    AVFilterContext* input_ = nullptr;   // owned by graph_
    AVFilterContext* output_ = nullptr;  // owned by graph_
    // What the graph was built for: rebuilt when a picture differs.
    int sourceWidth_ = -1, sourceHeight_ = -1, sourceFormat_ = -1, sourceSpace_ = -1, sourceRange_ = -1;
};

}  // namespace media::ff
