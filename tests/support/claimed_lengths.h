// Rewrites the length a container's header claims, leaving its data as it is: the
// duration fields of MP4 boxes, a Matroska segment's Duration, AVI's frame counts.
// For sources whose header claims far more than they hold.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace testing_support {

namespace claims_detail {

inline std::uint64_t readBig(const std::string& bytes, std::size_t at, int size) {
    std::uint64_t value = 0;
    for (int i = 0; i < size; ++i) value = value << 8 | static_cast<unsigned char>(bytes.at(at + i));
    return value;
}

inline void writeBig(std::string& bytes, std::size_t at, int size, std::uint64_t value) {
    for (int i = size - 1; i >= 0; --i, value >>= 8) bytes.at(at + i) = static_cast<char>(value & 0xff);
}

struct Box {
    std::string type;
    std::size_t at = 0;      // where its size field is
    std::size_t header = 8;  // bytes before its contents
    std::size_t size = 0;
    std::size_t parent = static_cast<std::size_t>(-1);  // index in the list, or none
};

// Every box of the file, depth first, with the containers the edits need opened.
inline void listBoxes(const std::string& bytes, std::size_t from, std::size_t to, std::size_t parent,
                      std::vector<Box>& boxes) {
    static constexpr std::string_view kContainers[] = {"moov", "trak", "mdia", "minf", "stbl", "mvex", "edts"};
    for (std::size_t at = from; at + 8 <= to;) {
        Box box;
        box.at = at;
        box.parent = parent;
        box.size = readBig(bytes, at, 4);
        box.type = bytes.substr(at + 4, 4);
        if (box.size == 1) {
            box.size = readBig(bytes, at + 8, 8);
            box.header = 16;
        } else if (box.size == 0) {
            box.size = to - at;
        }
        if (box.size < box.header || at + box.size > to) throw std::runtime_error("not an MP4 box layout");
        boxes.push_back(box);
        const std::size_t index = boxes.size() - 1;
        for (std::string_view container : kContainers) {
            if (box.type == container) listBoxes(bytes, at + box.header, at + box.size, index, boxes);
        }
        at += box.size;
    }
}

inline std::vector<Box> boxes(const std::string& bytes) {
    std::vector<Box> all;
    listBoxes(bytes, 0, bytes.size(), static_cast<std::size_t>(-1), all);
    return all;
}

}  // namespace claims_detail

// Sets the duration field of every box of the type: "mvhd", "mdhd" or "tkhd". A box
// of version 0 keeps 32 bits of the value.
inline void setMp4Duration(std::string& bytes, const std::string& type, std::uint64_t value) {
    using namespace claims_detail;
    int changed = 0;
    for (const Box& box : boxes(bytes)) {
        if (box.type != type) continue;
        const std::size_t body = box.at + box.header;
        const bool wide = bytes.at(body) == 1;
        // After version and flags: two times (and a time scale for mvhd and mdhd, a
        // track ID and a reserved word for tkhd), then the duration.
        const std::size_t skip = type == "tkhd" ? (wide ? 24 : 16) : (wide ? 20 : 12);
        writeBig(bytes, body + 4 + skip, wide ? 8 : 4, wide ? value : std::min<std::uint64_t>(value, 0xffffffffu));
        ++changed;
    }
    if (changed == 0) throw std::runtime_error("no " + type + " box");
}

// Sets the duration of the first entry of the first edit list (a track's shown length,
// in the movie's time scale).
inline void setFirstEditDuration(std::string& bytes, std::uint64_t value) {
    using namespace claims_detail;
    for (const Box& box : boxes(bytes)) {
        if (box.type != "elst") continue;
        const std::size_t body = box.at + box.header;
        const bool wide = bytes.at(body) == 1;
        writeBig(bytes, body + 8, wide ? 8 : 4, value);  // after version, flags and the entry count
        return;
    }
    throw std::runtime_error("no elst box");
}

// Adds a movie-extends header (a fragmented file's whole length) claiming the value, as
// the last box of "mvex".
inline void addMehd(std::string& bytes, std::uint64_t value) {
    using namespace claims_detail;
    const std::vector<Box> all = boxes(bytes);
    for (std::size_t i = 0; i < all.size(); ++i) {
        if (all[i].type != "mvex") continue;
        std::string mehd(20, '\0');
        writeBig(mehd, 0, 4, mehd.size());
        mehd.replace(4, 4, "mehd");
        mehd[8] = 1;  // version 1: a 64-bit duration
        writeBig(mehd, 12, 8, value);
        for (std::size_t k = i; k != static_cast<std::size_t>(-1); k = all[k].parent) {
            if (all[k].header != 8) throw std::runtime_error("a 64-bit box size");
            writeBig(bytes, all[k].at, 4, all[k].size + mehd.size());
        }
        bytes.insert(all[i].at + all[i].size, mehd);
        return;
    }
    throw std::runtime_error("no mvex box: not a fragmented MP4");
}

// Sets a Matroska segment's Duration (in its timecode scale's units, a millisecond by
// default).
inline void setMatroskaDuration(std::string& bytes, double value) {
    const std::size_t at = bytes.find("\x44\x89");
    if (at == std::string::npos || at + 3 > bytes.size()) throw std::runtime_error("no Duration element");
    const auto size = static_cast<unsigned char>(bytes[at + 2]);
    if (size == 0x88) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, &value, sizeof bits);
        claims_detail::writeBig(bytes, at + 3, 8, bits);
    } else if (size == 0x84) {
        const auto narrow = static_cast<float>(value);
        std::uint32_t bits = 0;
        std::memcpy(&bits, &narrow, sizeof bits);
        claims_detail::writeBig(bytes, at + 3, 4, bits);
    } else {
        throw std::runtime_error("a Duration that is not a float");
    }
}

// Sets the frame counts of an AVI's main header and of every stream header.
inline void setAviFrameCounts(std::string& bytes, std::uint32_t frames) {
    const auto writeLittle = [&bytes](std::size_t at, std::uint32_t value) {
        for (int i = 0; i < 4; ++i, value >>= 8) bytes.at(at + i) = static_cast<char>(value & 0xff);
    };
    const std::size_t main = bytes.find("avih");
    if (main == std::string::npos) throw std::runtime_error("no avih");
    writeLittle(main + 8 + 16, frames);  // dwTotalFrames
    for (std::size_t at = bytes.find("strh"); at != std::string::npos; at = bytes.find("strh", at + 4)) {
        writeLittle(at + 8 + 32, frames);  // dwLength
    }
}

}  // namespace testing_support
