// Rising whole percents on standard output, under one lock.
#pragma once

#include <cstdint>

#include "media/values.h"

namespace console {

// Sets lastPercent to -1; called once at start-up.
void resetProgress();

// Prints "PROGRESS p" when the clamped percent p is above every percent printed so far.
void report(std::int64_t percent);

// Percent of the source reached by a video sample at presentation time pts: 0 to 99.
std::int64_t progressPercent(media::Time pts, double durationSeconds);

}  // namespace console
