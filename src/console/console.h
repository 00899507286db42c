// The line protocol with the host: failure lines on standard error, status lines on
// standard output, and the fatal exit.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "media/error.h"

namespace console {

// Opens /dev/null on any of descriptors 0, 1 and 2 that the host left closed, so that
// no file the job opens later takes one of those numbers and receives our lines.
void keepStandardStreamsOpen();

// One line on standard error in a single unbuffered write; line feeds in text
// become spaces.
void stderrLine(std::string_view text);

// Removes the output, writes the line and ends the process with code.
[[noreturn]] void die(std::string_view text, int code = 1);

// "description [domain code]" or "description [domain code / domain code]".
std::string describe(const media::Error& error);

// "PROGRESS n" through buffered standard output, flushed at once.
void writeProgressLine(std::int64_t percent);
// "ENCODER mode" written directly to the standard-output descriptor.
void writeEncoderLine(std::string_view mode);

}  // namespace console
