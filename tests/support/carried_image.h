// The image that the program under test carries, read straight from its bytes
// (little-endian ELF32 fields), independently of the program's own ELF code.
#pragma once

#include "image/firmware_image.h"

#include <cstdint>
#include <vector>

namespace carried {

inline std::uint32_t le32(std::uint32_t at) {
    const unsigned char* p = firmwareImage.elfFile + at;
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

struct Segment {
    std::uint32_t offset, vaddr, filesz, memsz;
};

// Every program header, in table order.
inline std::vector<Segment> segments() {
    const std::uint32_t phoff = le32(28);
    const std::uint32_t phentsize = le32(42) & 0xFFFF;
    const std::uint32_t phnum = le32(44) & 0xFFFF;
    std::vector<Segment> all;
    for (std::uint32_t i = 0; i < phnum; ++i) {
        const std::uint32_t ph = phoff + i * phentsize;
        all.push_back({le32(ph + 4), le32(ph + 8), le32(ph + 16), le32(ph + 20)});
    }
    return all;
}

// The segments' file bytes one after the other, as a dump of their ranges
// holds them.
inline std::vector<std::uint8_t> segmentBytes() {
    std::vector<std::uint8_t> bytes;
    for (const Segment& s : segments()) {
        bytes.insert(bytes.end(), firmwareImage.elfFile + s.offset,
                     firmwareImage.elfFile + s.offset + s.filesz);
    }
    return bytes;
}

} // namespace carried
