// The checks that a firmware image must pass before a deliverable may carry
// it: those the download relies on. The header test of the updater ("ELF" at
// bytes 1 to 3), the ELF32 little-endian layout whose offsets the updater
// reads, a program header table and segments that lie inside the file,
// word-aligned segment addresses and sizes (the board takes whole words), an
// entry address that the core's 24-bit word program counter can hold, and a
// file name that fits the 64-byte name field.
#pragma once

#include <string>
#include <vector>

namespace embed {

// Returns the first fault of the image, or an empty text when it is usable.
// name is the carried file name (the image file's base name).
std::string findFault(const std::string& name, const std::vector<unsigned char>& bytes);

} // namespace embed
