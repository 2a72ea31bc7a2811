// The ELF header and program headers of the carried image, read in place.
#include "image/elf.h"

#include <cstddef>

namespace {

// The current image: the bytes last handed to elfReadHeader. Owns nothing.
const unsigned char* elfhead = nullptr;

std::uint16_t elfRead16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t elfRead32(const unsigned char* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

} // namespace

const unsigned char* elfReadHeader(const unsigned char* image) {
    elfhead = image;
    // Only the letters are tested; byte 0 and the class, data and version
    // bytes are not.
    if (image[1] == 'E' && image[2] == 'L' && image[3] == 'F')
        return image;
    return nullptr;
}

const unsigned char* elfGetProghead(std::uint16_t index) {
    if (elfhead == nullptr)
        return nullptr;
    return elfhead + elfPhoff(elfhead) + std::size_t{index} * elfPhentsize(elfhead);
}

std::uint32_t elfEntry(const unsigned char* header) {
    return elfRead32(header + 24);
}
std::uint32_t elfPhoff(const unsigned char* header) {
    return elfRead32(header + 28);
}
std::uint16_t elfPhentsize(const unsigned char* header) {
    return elfRead16(header + 42);
}
std::uint16_t elfPhnum(const unsigned char* header) {
    return elfRead16(header + 44);
}

std::uint32_t elfSegmentOffset(const unsigned char* proghead) {
    return elfRead32(proghead + 4);
}
std::uint32_t elfSegmentVaddr(const unsigned char* proghead) {
    return elfRead32(proghead + 8);
}
std::uint32_t elfSegmentFilesz(const unsigned char* proghead) {
    return elfRead32(proghead + 16);
}
