// Draws one decoded picture into the composition's render rectangle: turned, mirrored,
// scaled and converted to 8-bit NV12, BT.709, video range. Wide-gamut pictures are
// brought into BT.709's gamut and HDR pictures tone-mapped to SDR, at the render size.
#pragma once

#include <array>
#include <optional>
#include <string>

#include "media/ffmpeg/libav.h"

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

// Brightness of HDR reference white (a grey card, a face in good light), which lands on
// SDR white: 203 cd/m² in PQ; HLG's 75 % signal on its nominal 1000 cd/m² display.
inline constexpr double kReferenceWhite = 203.0;
// The peak assumed for PQ pictures that carry no light level or mastering display, and
// HLG's nominal display peak.
inline constexpr double kDefaultPeak = 1000.0;
// How far beyond the source's peak the highlight roll-off ends, as a factor of that
// peak: the source's brightest light then lands at about 97 % of SDR white (in linear
// light) rather than on it, and the light just below keeps its steps. Chosen by
// measuring real phone HLG footage (bench/README.md, "HDR highlights").
inline constexpr double kHighlightHeadroom = 3.0;

// The colours pictures are drawn into, as the composition names them: primaries,
// transfer function and Y'CbCr matrix, in video range. BT.709 is the one the renderer
// makes.
struct ColourTarget {
    AVColorPrimaries primaries = AVCOL_PRI_BT709;
    AVColorTransferCharacteristic transfer = AVCOL_TRC_BT709;
    AVColorSpace matrix = AVCOL_SPC_BT709;
};

// The target the composition's three colour names ask for; an error when the renderer
// cannot make it (any other colour space, or a name left out).
Result<ColourTarget> colourTarget(const std::string& primaries, const std::string& transferFunction,
                                  const std::string& yCbCrMatrix);

class PictureRenderer {
public:
    explicit PictureRenderer(RenderPlan plan, double streamPeakLuminance = 0, ColourTarget target = {})
        : plan_(std::move(plan)), streamPeak_(streamPeakLuminance), target_(target) {}
    // A new frame at the render size, tagged with the target's colours in video range;
    // or the error that prevented it.
    Result<FramePtr> render(const AVFrame& source);

private:
    std::optional<Error> configure(const AVFrame& source);
    Result<FramePtr> blank() const;

    RenderPlan plan_;
    double streamPeak_;
    ColourTarget target_;
    FilterGraphPtr graph_;
    AVFilterContext* input_ = nullptr;   // owned by graph_
    AVFilterContext* output_ = nullptr;  // owned by graph_
    // What the graph was built for: a picture that differs in any of these rebuilds it.
    // Its light level is not among them: the tone curve set up for the first HDR picture
    // stays for the run, so a stream that tags each scene's own light level is not
    // drawn brighter and darker from scene to scene, nor the graph rebuilt for it.
    struct SourceKey {
        int width = -1, height = -1, format = -1, space = -1, range = -1, primaries = -1, transfer = -1;
        static SourceKey of(const AVFrame& frame);
        bool operator==(const SourceKey&) const = default;
    };
    SourceKey built_;
};

}  // namespace media::ff
