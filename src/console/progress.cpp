#include "console/progress.h"

#include <algorithm>
#include <mutex>

#include "console/console.h"

namespace console {
namespace {

std::mutex progressLock;
std::int64_t lastPercent = -1;

}  // namespace

void resetProgress() {
    std::lock_guard lock(progressLock);
    lastPercent = -1;
}

void report(std::int64_t percent) {
    std::lock_guard lock(progressLock);
    const std::int64_t p = std::clamp<std::int64_t>(percent, 0, 100);
    if (lastPercent < p) {
        lastPercent = p;
        // Flushed before the lock is released, so no line waits in a buffer behind
        // a later line written straight to the descriptor.
        writeProgressLine(p);
    }
}

std::int64_t progressPercent(media::Time pts, double durationSeconds) {
    const double t = pts.seconds();
    // One division, then one multiplication: 29 s of 100 s gives 28.999..., so 28.
    const double q = (t / durationSeconds) * 100.0;
    // NaN fails q >= 0 and lands on 0, as does anything negative.
    const double r = q >= 0 ? std::min(q, 99.0) : 0.0;
    return static_cast<std::int64_t>(r);
}

}  // namespace console
