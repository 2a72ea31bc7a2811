// Read-only access to an ELF image in place. Every field is read byte by byte
// in little-endian order at its ELF32 offset, so no alignment is assumed.
#pragma once

#include <cstdint>

// Makes image the current image and returns it when bytes 1 to 3 are "ELF",
// null otherwise.
const unsigned char* elfReadHeader(const unsigned char* image);
// Program header number index of the current image, or null when there is no
// current image. The index is not checked against e_phnum.
const unsigned char* elfGetProghead(std::uint16_t index);

// ELF header fields.
std::uint32_t elfEntry(const unsigned char* header);
std::uint32_t elfPhoff(const unsigned char* header);
std::uint16_t elfPhentsize(const unsigned char* header);
std::uint16_t elfPhnum(const unsigned char* header);

// Program header fields.
std::uint32_t elfSegmentOffset(const unsigned char* proghead);
std::uint32_t elfSegmentVaddr(const unsigned char* proghead);
std::uint32_t elfSegmentFilesz(const unsigned char* proghead);
