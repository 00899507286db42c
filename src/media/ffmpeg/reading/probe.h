// The probe of a source file: its timeline and streams, read once when the asset is
// first asked; and what needs a pass over its packets later, the data rates and which
// streams hold any.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <vector>

#include "media/ffmpeg/reading/source.h"

namespace media::ff {

// Opens and probes the file. The asset's length and each stream's come from the
// header unless it claims more than the packets hold: then from the end of the last
// packet. Where the demuxer's index lists every sample (MP4 that is not fragmented,
// AVI with its index) the index tells without reading any packet; otherwise every
// packet is read once, here, and what that pass finds also answers the data rates and
// which streams hold packets. preciseDuration is kept for the callers: the length is
// always measured.
Result<std::shared_ptr<const SourceInfo>> probeSource(const std::filesystem::path& path, bool preciseDuration);

// Bits per second of every stream, from packet sizes over the stream's time span;
// for streams whose container gives no rate. From the probe's pass when it made one,
// else one pass over the file's packets.
Result<std::vector<double>> measureDataRates(const SourceInfo& source);

// Which of the given streams hold at least one packet: one flag per stream of the
// source, false for those not asked about. Answered from the probe's pass when it made
// one; otherwise reads only the asked streams, and only until
// each has shown a packet; a read error counts as the end of the file. A stream without
// any packet costs a pass over the file (for MP4, over its index and fragment headers).
Result<std::vector<bool>> streamsWithPackets(const SourceInfo& source, const std::vector<int>& streamIndexes);

// Bits per second of bytes over seconds; 0 when the span is not a length.
double rateOf(std::int64_t bytes, double seconds);

}  // namespace media::ff
