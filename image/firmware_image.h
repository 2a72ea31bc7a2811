// The firmware image that a deliverable carries: the board's ARC ELF
// executable, byte for byte, and its file name. The build generates the one
// definition of firmwareImage from the deliverable's image file.
#pragma once

#include <cstdint>

struct FirmwareImage {
    char elfFileName[64];         // ASCII, zero-terminated, zero-filled to 64
    const unsigned char* elfFile; // the complete ELF file
    std::uint32_t elfFileSize;    // its length in bytes
};

extern const FirmwareImage firmwareImage;
