#include "pe_resources.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace pe {

namespace {

using Bytes = std::vector<std::uint8_t>;

void need(const Bytes& b, std::size_t at, std::size_t count) {
    if (at > b.size() || count > b.size() - at) {
        throw std::runtime_error("PE data ends before offset " + std::to_string(at + count));
    }
}

std::uint16_t u16(const Bytes& b, std::size_t at) {
    need(b, at, 2);
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

std::uint32_t u32(const Bytes& b, std::size_t at) {
    return u16(b, at) | std::uint32_t{u16(b, at + 2)} << 16;
}

std::size_t align4(std::size_t n) {
    return (n + 3) & ~std::size_t{3};
}

// Maps an address of the loaded image to its offset in the file.
std::size_t fileOffset(const Bytes& file, std::size_t sections, unsigned count, std::uint32_t rva) {
    for (unsigned i = 0; i < count; ++i) {
        const std::size_t s = sections + 40 * i;
        const std::uint32_t address = u32(file, s + 12);
        const std::uint32_t rawSize = u32(file, s + 16);
        if (rva >= address && rva - address < rawSize) {
            return u32(file, s + 20) + (rva - address);
        }
    }
    throw std::runtime_error("address outside every section");
}

// A zero-terminated UTF-16 string of ASCII characters at at; after receives
// the offset past its terminator.
std::string ascii(const Bytes& b, std::size_t at, std::size_t* after = nullptr) {
    std::string text;
    for (std::uint16_t c; (c = u16(b, at)) != 0; at += 2) {
        text += c < 0x80 ? static_cast<char>(c) : '?';
    }
    if (after != nullptr) {
        *after = at + 2;
    }
    return text;
}

// One node of a version resource (length, value length, type, key, value,
// children), with its children; depth 0 is VS_VERSION_INFO itself.
void readNode(const Bytes& b, std::size_t at, int depth, VersionInfo& info) {
    const std::size_t end = at + u16(b, at);
    const std::size_t valueLength = u16(b, at + 2);
    const bool text = u16(b, at + 4) == 1;
    need(b, at, end - at);
    std::size_t value = 0;
    const std::string key = ascii(b, at + 6, &value);
    value = align4(value);
    if (depth == 0) {
        if (key != "VS_VERSION_INFO" || valueLength < 52 || u32(b, value) != 0xFEEF04BD) {
            throw std::runtime_error("no VS_FIXEDFILEINFO");
        }
        // Two 32-bit words, major << 16 | minor and patch << 16 | build.
        const auto version = [&](std::size_t words) {
            return std::array<std::uint16_t, 4>{u16(b, words + 2), u16(b, words), u16(b, words + 6),
                                                u16(b, words + 4)};
        };
        info.fileVersion = version(value + 8);
        info.productVersion = version(value + 16);
    }
    if (depth == 3 && text) {
        info.strings[key] = valueLength == 0 ? std::string() : ascii(b, value);
    }
    std::size_t child = align4(value + (text ? 2 * valueLength : valueLength));
    while (child + 6 <= end) {
        const std::size_t length = u16(b, child);
        if (length == 0) {
            break;
        }
        readNode(b, child, depth + 1, info);
        child = align4(child + length);
    }
}

} // namespace

std::vector<std::uint8_t> readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + file.string());
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::uint8_t> resource(const std::vector<std::uint8_t>& file, std::uint16_t type) {
    const std::size_t header = u32(file, 0x3C);
    if (u32(file, header) != 0x00004550) { // "PE\0\0"
        throw std::runtime_error("no PE signature");
    }
    const unsigned sectionCount = u16(file, header + 6);
    const std::size_t optional = header + 24;
    const std::size_t sections = optional + u16(file, header + 20);
    // The data directories follow the fields of PE32 or of PE32+.
    const bool plus = u16(file, optional) == 0x20B;
    const std::size_t directories = optional + (plus ? 112 : 96);
    if (u32(file, optional + (plus ? 108 : 92)) <= 2) {
        return {};
    }
    const std::uint32_t rootRva = u32(file, directories + 2 * 8);
    if (rootRva == 0) {
        return {};
    }
    const std::size_t root = fileOffset(file, sections, sectionCount, rootRva);

    // Type, then name, then language: the first entry below the type.
    std::size_t directory = root;
    for (int level = 0; level < 3; ++level) {
        const unsigned named = u16(file, directory + 12);
        const unsigned ids = u16(file, directory + 14);
        std::size_t entry = 0;
        for (unsigned i = 0; i < named + ids; ++i) {
            const std::size_t e = directory + 16 + 8 * i;
            if (level > 0 || (i >= named && u32(file, e) == type)) {
                entry = e;
                break;
            }
        }
        if (entry == 0) {
            return {};
        }
        const std::uint32_t target = u32(file, entry + 4);
        const bool subdirectory = (target & 0x80000000u) != 0;
        if (subdirectory != (level < 2)) {
            throw std::runtime_error("resource directory deeper or shallower than three levels");
        }
        directory = root + (target & 0x7FFFFFFFu);
    }
    const std::size_t data = fileOffset(file, sections, sectionCount, u32(file, directory));
    const std::uint32_t size = u32(file, directory + 4);
    need(file, data, size);
    return {file.begin() + static_cast<std::ptrdiff_t>(data),
            file.begin() + static_cast<std::ptrdiff_t>(data + size)};
}

VersionInfo versionInfo(const std::vector<std::uint8_t>& data) {
    VersionInfo info;
    readNode(data, 0, 0, info);
    return info;
}

} // namespace pe
