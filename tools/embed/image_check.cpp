#include "image_check.h"

#include <cstdint>
#include <cstdio>

namespace embed {
namespace {

constexpr std::uint64_t ehdrSize = 52;
constexpr std::uint32_t minPhentsize = 32;
constexpr std::uint32_t entryLimit = 0x04000000;
constexpr std::size_t nameField = 64;

std::uint32_t read16(const std::vector<unsigned char>& b, std::uint64_t at) {
    return b[at] | (std::uint32_t{b[at + 1]} << 8);
}

std::uint32_t read32(const std::vector<unsigned char>& b, std::uint64_t at) {
    return read16(b, at) | (read16(b, at + 2) << 16);
}

std::string hex(std::uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
    return text;
}

} // namespace

std::string findFault(const std::string& name, const std::vector<unsigned char>& b) {
    if (name.empty())
        return "the file name is empty";
    if (name.size() >= nameField)
        return "the file name has " + std::to_string(name.size()) +
               " characters, more than the 63 that the name field holds";
    for (char c : name)
        if (c < 0x20 || c > 0x7E)
            return "the file name has a character that is not printable ASCII";
    if (b.size() > 0xFFFFFFFFu)
        return "the file is larger than 4 GiB";
    if (b.size() < ehdrSize)
        return "the file has " + std::to_string(b.size()) + " bytes, too short for an ELF header";
    if (b[1] != 'E' || b[2] != 'L' || b[3] != 'F')
        return "bytes 1 to 3 are not \"ELF\"";
    if (b[4] != 1 || b[5] != 1)
        return "not an ELF32 little-endian file (class " + std::to_string(b[4]) + ", data " +
               std::to_string(b[5]) + ")";

    const std::uint32_t entry = read32(b, 24);
    if (entry % 4 != 0)
        return "the entry address " + hex(entry) + " is not a multiple of 4";
    if (entry >= entryLimit)
        return "the entry address " + hex(entry) + " is not below " + hex(entryLimit);

    const std::uint64_t phoff = read32(b, 28);
    const std::uint32_t phentsize = read16(b, 42);
    const std::uint32_t phnum = read16(b, 44);
    if (phnum == 0)
        return "the file has no program headers";
    if (phentsize < minPhentsize)
        return "the program header size " + std::to_string(phentsize) + " is below " +
               std::to_string(minPhentsize);
    if (phoff + std::uint64_t{phnum} * phentsize > b.size())
        return "the program header table (offset " + hex(phoff) + ", " + std::to_string(phnum) +
               " entries) lies outside the file";

    for (std::uint32_t i = 0; i < phnum; ++i) {
        const std::uint64_t ph = phoff + std::uint64_t{i} * phentsize;
        const std::uint64_t offset = read32(b, ph + 4);
        const std::uint32_t vaddr = read32(b, ph + 8);
        const std::uint64_t filesz = read32(b, ph + 16);
        const std::string segment = "segment " + std::to_string(i) + " ";
        if (offset + filesz > b.size())
            return segment + "(offset " + hex(offset) + ", size " + hex(filesz) +
                   ") lies outside the file";
        if (vaddr % 4 != 0)
            return segment + "address " + hex(vaddr) + " is not a multiple of 4";
        if (filesz % 4 != 0)
            return segment + "size " + hex(filesz) + " is not a multiple of 4";
    }
    return {};
}

} // namespace embed
