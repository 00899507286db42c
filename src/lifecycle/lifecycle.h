// Termination signals, the removal of a partial output, and the one way the process
// ends. Every exit of the job goes through claimExit() first, so that a signal and
// the main flow can never both decide how the process ends.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>

#include "media/framework.h"

namespace lifecycle {

// Set once the output path is accepted; removeOutput() deletes the file there.
void setOutputURL(const std::filesystem::path& url);
std::optional<std::filesystem::path> outputURL();

// Published once reader and writer exist; the signal handler cancels them.
void setActiveReader(media::AssetReaderPtr reader);
void setActiveWriter(media::AssetWriterPtr writer);

// Deletes the file or symbolic link at the output path, never a directory. Never
// fails, never prints; does nothing while no output path is set.
void removeOutput();

// To be held while the file at the output path is created, so that a termination
// signal falls wholly before or wholly after its creation: the signal thread waits for
// a creation under way to end before it removes the output, and once it has removed
// it, taking this blocks until the process has ended, so no file appears afterwards.
[[nodiscard]] std::unique_lock<std::mutex> holdOutputCreation();

// Blocks SIGTERM and SIGINT in the calling thread (to be called before any other
// thread exists, so every later thread inherits the mask) and starts the thread that
// waits for them and runs handleSignal. Also ignores SIGPIPE, so that a host closing
// its end of a pipe makes our writes fail quietly instead of killing the job with
// its output left behind.
void installSignalHandling();

// Cancels reading and writing, removes the output and ends the process with 143.
[[noreturn]] void handleSignal();

// Takes the right to end the process. Returns to the first caller only; any later
// caller (the main flow or the signal handler) blocks for good while the first one
// ends the process.
void claimExit();

// Flushes standard output and ends the process at once, without static destruction,
// since worker threads may still be running.
[[noreturn]] void endProcess(int status);

}  // namespace lifecycle
