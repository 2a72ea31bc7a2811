// Writes the four firmware image files that the deliverables carry.
//
// The files stand in for the receiver board's ARC firmware: ELF32
// little-endian executables with the file names, sizes and program headers of
// the released images. Every segment word is a bijective mix of the image
// number and the word's target address, so no two words of one image are
// equal, and a block written to the wrong address, or twice, shows as soon as
// target memory is compared with the image. Behind the segments each file holds
// a comment, the section name table, the section headers, a symbol table and
// its string table, sized so that the file length comes out exactly.
//
// Usage: updater_firmware_gen <output folder>
// The output is the same, byte for byte, on every run.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t ehdrSize = 52;
constexpr std::uint32_t phdrSize = 32;
constexpr std::uint32_t shdrSize = 40;
constexpr std::uint32_t symSize = 16;
constexpr std::uint32_t entryAddress = 0x100000;

constexpr std::uint32_t pfX = 1, pfW = 2, pfR = 4;
constexpr std::uint32_t shtProgbits = 1, shtSymtab = 2, shtStrtab = 3, shtNobits = 8;
constexpr std::uint32_t shfWrite = 1, shfAlloc = 2, shfExecinstr = 4, shfMerge = 0x10,
                        shfStrings = 0x20;
constexpr std::uint8_t stbLocal = 0, stbGlobal = 1;
constexpr std::uint8_t sttObject = 1, sttFunc = 2, sttSection = 3, sttFile = 4;
constexpr std::uint16_t shnAbs = 0xFFF1;

struct Segment {
    std::uint32_t offset;
    std::uint32_t vaddr;
    std::uint32_t filesz;
    std::uint32_t memsz;
    std::uint32_t flags;
};

struct ImageLayout {
    std::uint32_t number;
    const char* fileName;
    std::uint32_t fileSize;
    std::vector<Segment> segments;
};

const std::vector<ImageLayout> images = {
    {1,
     "qpsk1_ci_slave_varek_V1.00.39_1.00c.fl.out",
     632811,
     {{0x1000, 0x100000, 0xADC8, 0xADC8, pfR | pfX},
      {0xC1C8, 0x10B1C8, 0x720C4, 0x73590, pfR | pfW}}},
    {2,
     "ofdm1_ci_master_varek_V1.03.59_1.0c.fl.out",
     889481,
     {{0x1000, 0x100000, 0x9F3F0, 0xB3474, pfR | pfW | pfX}}},
    {3,
     "ofdm2_varek_V1.01.180_2.02c.fl.out",
     1253714,
     {{0x1000, 0x100000, 0xF8330, 0x10C3B4, pfR | pfW | pfX}}},
    {4,
     "ofdm1_varek_V1.01.180_2.00c.fl.out",
     839306,
     {{0x1000, 0x100000, 0x93068, 0xA70EC, pfR | pfW | pfX}}},
};

// A small image for the runs through a real serial driver, whose faults need
// several attempts: eight blocks, not a hundred. Not one of the four images.
const ImageLayout smallTestImage = {
    5, "small_test_V0.00.01_0.00c.fl.out", 24576, {{0x1000, 0x100000, 0x2000, 0x2000, pfR | pfX}}};

// A bijection on 32-bit words (the finaliser of a well-known hash).
std::uint32_t mix32(std::uint32_t h) {
    h ^= h >> 16;
    h *= 0x85EBCA6Bu;
    h ^= h >> 13;
    h *= 0xC2B2AE35u;
    h ^= h >> 16;
    return h;
}

std::uint32_t segmentWord(std::uint32_t image, std::uint32_t address) {
    return mix32(address ^ mix32(image * 0x9E3779B9u));
}

class ByteImage {
  public:
    explicit ByteImage(std::uint32_t size) : bytes_(size, 0) {}
    void put8(std::uint32_t at, std::uint8_t v) { bytes_.at(at) = v; }
    void put16(std::uint32_t at, std::uint32_t v) {
        put8(at, static_cast<std::uint8_t>(v));
        put8(at + 1, static_cast<std::uint8_t>(v >> 8));
    }
    void put32(std::uint32_t at, std::uint32_t v) {
        put16(at, v & 0xFFFF);
        put16(at + 2, v >> 16);
    }
    void putText(std::uint32_t at, const std::string& s) {
        for (std::size_t i = 0; i < s.size(); ++i)
            put8(at + static_cast<std::uint32_t>(i), static_cast<std::uint8_t>(s[i]));
    }
    const std::vector<unsigned char>& bytes() const { return bytes_; }

  private:
    std::vector<unsigned char> bytes_;
};

// A string table that hands out the offset of each added name.
class StringTable {
  public:
    StringTable() : text_(1, '\0') {}
    std::uint32_t add(const std::string& name) {
        auto at = static_cast<std::uint32_t>(text_.size());
        text_ += name;
        text_ += '\0';
        return at;
    }
    std::uint32_t size() const { return static_cast<std::uint32_t>(text_.size()); }
    const std::string& text() const { return text_; }

  private:
    std::string text_;
};

struct Section {
    std::string name;
    std::uint32_t type = 0, flags = 0, addr = 0, offset = 0, size = 0;
    std::uint32_t link = 0, info = 0, align = 1, entsize = 0;
};

struct Symbol {
    std::string name;
    std::uint32_t value = 0, size = 0;
    std::uint8_t bind = stbLocal, type = 0;
    std::uint16_t shndx = 0;
};

// Plausible firmware symbol names: module, action and object, numbered once
// the combinations run out.
std::string symbolName(std::uint32_t i) {
    static const char* const modules[] = {
        "tuner", "demod", "fec",   "ts",   "ci",      "i2c", "uart", "agc",  "lnb",     "dma",
        "irq",   "timer", "flash", "mpeg", "viterbi", "rs",  "eq",   "sync", "carrier", "clock"};
    static const char* const actions[] = {"Init", "Reset", "Start", "Stop",  "Read", "Write",
                                          "Poll", "Isr",   "Setup", "Lock",  "Get",  "Set",
                                          "Open", "Close", "Check", "Update"};
    static const char* const objects[] = {"",       "Reg",    "Mode",  "Level", "State",
                                          "Buffer", "Table",  "Count", "Freq",  "Rate",
                                          "Gain",   "Offset", "Flags", "Mask"};
    constexpr std::uint32_t m = std::size(modules), a = std::size(actions), o = std::size(objects);
    std::string name =
        std::string(modules[i % m]) + actions[(i / m) % a] + objects[(i / m / a) % o];
    if (std::uint32_t round = i / (m * a * o); round != 0)
        name += "_" + std::to_string(round);
    return name;
}

std::vector<unsigned char> buildImage(const ImageLayout& layout) {
    ByteImage out(layout.fileSize);

    // Segments, and the sections that they hold.
    std::vector<Section> sections(1);
    std::uint32_t segmentsEnd = 0;
    std::uint16_t textIndex = 0, dataIndex = 0;
    for (const Segment& seg : layout.segments) {
        for (std::uint32_t i = 0; i < seg.filesz; i += 4)
            out.put32(seg.offset + i, segmentWord(layout.number, seg.vaddr + i));
        segmentsEnd = std::max(segmentsEnd, seg.offset + seg.filesz);
        bool code = (seg.flags & pfX) != 0;
        Section s;
        s.name = code ? ".text" : ".data";
        s.type = shtProgbits;
        s.flags = shfAlloc | (code ? shfExecinstr : shfWrite);
        s.addr = seg.vaddr;
        s.offset = seg.offset;
        s.size = seg.filesz;
        s.align = 4;
        (code ? textIndex : dataIndex) = static_cast<std::uint16_t>(sections.size());
        sections.push_back(s);
        if (seg.memsz > seg.filesz) {
            Section bss;
            bss.name = ".bss";
            bss.type = shtNobits;
            bss.flags = shfAlloc | shfWrite;
            bss.addr = seg.vaddr + seg.filesz;
            bss.offset = seg.offset + seg.filesz;
            bss.size = seg.memsz - seg.filesz;
            bss.align = 4;
            if (dataIndex == 0)
                dataIndex = static_cast<std::uint16_t>(sections.size());
            sections.push_back(bss);
        }
    }
    const std::uint32_t firstNonAlloc = static_cast<std::uint32_t>(sections.size());
    const std::uint32_t commentIndex = firstNonAlloc, shstrtabIndex = firstNonAlloc + 1,
                        symtabIndex = firstNonAlloc + 2, strtabIndex = firstNonAlloc + 3;
    sections.resize(strtabIndex + 1);

    // Trailer: .comment, .shstrtab, the section headers, .symtab, .strtab.
    std::string comment = std::string("receiver board firmware ") + layout.fileName + '\0';
    StringTable shstrtab;
    sections[commentIndex].name = ".comment";
    sections[shstrtabIndex].name = ".shstrtab";
    sections[symtabIndex].name = ".symtab";
    sections[strtabIndex].name = ".strtab";
    std::vector<std::uint32_t> nameOffsets(sections.size(), 0);
    for (std::size_t i = 1; i < sections.size(); ++i)
        nameOffsets[i] = shstrtab.add(sections[i].name);

    std::uint32_t at = segmentsEnd;
    sections[commentIndex] = {".comment", shtProgbits, shfMerge | shfStrings,
                              0,          at,          static_cast<std::uint32_t>(comment.size()),
                              0,          0,           1,
                              1};
    out.putText(at, comment);
    at += static_cast<std::uint32_t>(comment.size());
    sections[shstrtabIndex] = {".shstrtab", shtStrtab, 0, 0, at, shstrtab.size(), 0, 0, 1, 0};
    out.putText(at, shstrtab.text());
    at += shstrtab.size();
    at = (at + 3) & ~3u;
    const std::uint32_t shoff = at;
    at += shdrSize * static_cast<std::uint32_t>(sections.size());
    const std::uint32_t symtabOffset = at;

    // Symbols: the null symbol, a file symbol, one per allocated section,
    // _start, then functions and data objects until the file is full.
    std::vector<Symbol> symbols(1);
    symbols.push_back({"start.S", 0, 0, stbLocal, sttFile, shnAbs});
    for (std::uint32_t i = 1; i < firstNonAlloc; ++i)
        symbols.push_back(
            {"", sections[i].addr, 0, stbLocal, sttSection, static_cast<std::uint16_t>(i)});
    const std::uint32_t firstGlobal = static_cast<std::uint32_t>(symbols.size());
    symbols.push_back({"_start", entryAddress, 0, stbGlobal, sttFunc, textIndex});
    std::uint32_t strtabSize = 1;
    for (const Symbol& s : symbols)
        strtabSize += s.name.empty() ? 0 : static_cast<std::uint32_t>(s.name.size()) + 1;
    std::vector<std::string> names;
    for (std::uint32_t i = 0;; ++i) {
        std::string name = (i % 4 == 3 ? "g_" : "") + symbolName(i);
        std::uint32_t count = static_cast<std::uint32_t>(symbols.size() + names.size()) + 1;
        std::uint32_t need = strtabSize + static_cast<std::uint32_t>(name.size()) + 1;
        if (symtabOffset + symSize * count + need > layout.fileSize)
            break;
        names.push_back(name);
        strtabSize = need;
    }
    const std::uint32_t symtabSize =
        symSize * static_cast<std::uint32_t>(symbols.size() + names.size());
    strtabSize = layout.fileSize - symtabOffset - symtabSize; // zero bytes pad the last names

    const Section& text = sections[textIndex];
    const Section& data = sections[dataIndex];
    std::uint32_t functions = 0, objects = 0;
    for (std::size_t i = 0; i < names.size(); ++i)
        ++(i % 4 == 3 ? objects : functions);
    std::uint32_t functionStride = (text.size / (functions + 1)) & ~3u;
    std::uint32_t objectStride = (data.size / (objects + 1)) & ~3u;
    std::uint32_t f = 0, o = 0;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i % 4 == 3) {
            symbols.push_back({names[i], data.addr + o++ * objectStride, objectStride, stbGlobal,
                               sttObject, dataIndex});
        } else {
            symbols.push_back({names[i], text.addr + ++f * functionStride, functionStride,
                               stbGlobal, sttFunc, textIndex});
        }
    }

    StringTable strtab;
    std::uint32_t symAt = symtabOffset;
    for (const Symbol& s : symbols) {
        out.put32(symAt, s.name.empty() ? 0 : strtab.add(s.name));
        out.put32(symAt + 4, s.value);
        out.put32(symAt + 8, s.size);
        out.put8(symAt + 12, static_cast<std::uint8_t>((s.bind << 4) | s.type));
        out.put8(symAt + 13, 0);
        out.put16(symAt + 14, s.shndx);
        symAt += symSize;
    }
    const std::uint32_t strtabOffset = symAt;
    out.putText(strtabOffset, strtab.text());
    sections[symtabIndex] = {".symtab",  shtSymtab,   0,           0, symtabOffset,
                             symtabSize, strtabIndex, firstGlobal, 4, symSize};
    sections[strtabIndex] = {".strtab", shtStrtab, 0, 0, strtabOffset, strtabSize, 0, 0, 1, 0};

    // ELF header.
    const unsigned char ident[] = {0x7F, 'E', 'L', 'F', 1, 1, 1, 0};
    for (std::uint32_t i = 0; i < sizeof ident; ++i)
        out.put8(i, ident[i]);
    out.put16(16, 2);  // ET_EXEC
    out.put16(18, 45); // EM_ARC
    out.put32(20, 1);  // EV_CURRENT
    out.put32(24, entryAddress);
    out.put32(28, ehdrSize);
    out.put32(32, shoff);
    out.put32(36, 0); // e_flags
    out.put16(40, ehdrSize);
    out.put16(42, phdrSize);
    out.put16(44, static_cast<std::uint32_t>(layout.segments.size()));
    out.put16(46, shdrSize);
    out.put16(48, static_cast<std::uint32_t>(sections.size()));
    out.put16(50, shstrtabIndex);

    // Program headers.
    std::uint32_t ph = ehdrSize;
    for (const Segment& seg : layout.segments) {
        out.put32(ph, 1); // PT_LOAD
        out.put32(ph + 4, seg.offset);
        out.put32(ph + 8, seg.vaddr);
        out.put32(ph + 12, seg.vaddr);
        out.put32(ph + 16, seg.filesz);
        out.put32(ph + 20, seg.memsz);
        out.put32(ph + 24, seg.flags);
        out.put32(ph + 28, 0x1000);
        ph += phdrSize;
    }

    // Section headers.
    for (std::size_t i = 0; i < sections.size(); ++i) {
        const Section& s = sections[i];
        std::uint32_t sh = shoff + shdrSize * static_cast<std::uint32_t>(i);
        out.put32(sh, nameOffsets[i]);
        out.put32(sh + 4, s.type);
        out.put32(sh + 8, s.flags);
        out.put32(sh + 12, s.addr);
        out.put32(sh + 16, s.offset);
        out.put32(sh + 20, s.size);
        out.put32(sh + 24, s.link);
        out.put32(sh + 28, s.info);
        out.put32(sh + 32, i == 0 ? 0 : s.align);
        out.put32(sh + 36, s.entsize);
    }
    return out.bytes();
}

} // namespace

int main(int argc, char** argv) {
    const bool small = argc == 3 && std::string(argv[1]) == "--small";
    if (argc != 2 && !small) {
        std::fprintf(stderr, "usage: %s [--small] <output folder>\n", argv[0]);
        return 2;
    }
    const std::filesystem::path folder = argv[argc - 1];
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        std::fprintf(stderr, "%s: %s\n", folder.string().c_str(), ec.message().c_str());
        return 1;
    }
    for (const ImageLayout& layout : small ? std::vector<ImageLayout>{smallTestImage} : images) {
        const std::vector<unsigned char> bytes = buildImage(layout);
        const std::filesystem::path file = folder / layout.fileName;
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::fprintf(stderr, "%s: cannot write the file\n", file.string().c_str());
            return 1;
        }
    }
    return 0;
}
