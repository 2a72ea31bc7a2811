// The committed firmware files: reproducible by the generator, and carrying
// the names, sizes and program headers that the deliverables depend on, as
// read by an independent ELF reader and by our own elf module.
#include <algorithm>
#include <cstring>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "image/elf.h"
#include "image_test_support.h"

namespace {

const std::filesystem::path firmwareDir = UPDATER_FIRMWARE_DIR;

#ifdef UPDATER_FIRMWARE_GEN
TEST(FirmwareFiles, GeneratorReproducesCommittedFilesByteForByte) {
    TempFolder out;
    CommandResult run = runCommand(quoted(UPDATER_FIRMWARE_GEN) + " " + quoted(out.path()));
    ASSERT_EQ(run.status, 0) << run.output;
    std::size_t written = 0;
    for (const auto& entry : std::filesystem::directory_iterator(out.path())) {
        ++written;
        const auto name = entry.path().filename();
        EXPECT_TRUE(readBytes(entry.path()) == readBytes(firmwareDir / name))
            << name << " differs from the committed file";
    }
    EXPECT_EQ(written, imageTable.size());
}
#endif

// The value after "label:" in readelf's header listing.
std::string readelfField(const std::string& listing, const std::string& label) {
    std::istringstream in(listing);
    for (std::string line; std::getline(in, line);) {
        auto at = line.find(label + ":");
        if (at != std::string::npos) {
            std::string value = line.substr(at + label.size() + 1);
            value.erase(0, value.find_first_not_of(' '));
            return value;
        }
    }
    return "(missing)";
}

TEST(FirmwareFiles, IndependentReaderSeesTheTable) {
    if (runCommand("readelf --version").status != 0)
        GTEST_SKIP() << "readelf is not installed";
    for (const ImageFacts& image : imageTable) {
        SCOPED_TRACE(image.fileName);
        const auto path = firmwareDir / image.fileName;
        EXPECT_EQ(std::filesystem::file_size(path), image.fileSize);

        CommandResult r = runCommand("readelf -h -l -W " + quoted(path));
        ASSERT_EQ(r.status, 0) << r.output;
        EXPECT_EQ(readelfField(r.output, "Class"), "ELF32");
        EXPECT_EQ(readelfField(r.output, "Data"), "2's complement, little endian");
        EXPECT_EQ(readelfField(r.output, "Type").rfind("EXEC", 0), 0u);
        EXPECT_EQ(readelfField(r.output, "Machine"), "ARC");
        EXPECT_EQ(readelfField(r.output, "Entry point address"), "0x100000");
        EXPECT_EQ(readelfField(r.output, "Start of program headers"), "52 (bytes into file)");
        EXPECT_EQ(readelfField(r.output, "Size of program headers"), "32 (bytes)");
        EXPECT_EQ(readelfField(r.output, "Number of program headers"),
                  std::to_string(image.segments.size()));

        std::vector<SegmentFacts> loads;
        std::istringstream in(r.output);
        for (std::string line; std::getline(in, line);) {
            SegmentFacts s{};
            unsigned paddr = 0;
            if (std::sscanf(line.c_str(), " LOAD 0x%x 0x%x 0x%x 0x%x 0x%x", &s.offset, &s.vaddr,
                            &paddr, &s.filesz, &s.memsz) == 5)
                loads.push_back(s);
        }
        ASSERT_EQ(loads.size(), image.segments.size());
        for (std::size_t i = 0; i < loads.size(); ++i) {
            EXPECT_EQ(loads[i].offset, image.segments[i].offset) << "segment " << i;
            EXPECT_EQ(loads[i].vaddr, image.segments[i].vaddr) << "segment " << i;
            EXPECT_EQ(loads[i].filesz, image.segments[i].filesz) << "segment " << i;
            EXPECT_EQ(loads[i].memsz, image.segments[i].memsz) << "segment " << i;
        }

        // The whole file, section headers and symbols included, reads
        // without a single warning.
        CommandResult all = runCommand("readelf -a -W " + quoted(path) + " >/dev/null");
        EXPECT_EQ(all.status, 0);
        EXPECT_EQ(all.output, "");
    }
}

TEST(FirmwareFiles, ElfModuleWalksEveryProgramHeader) {
    for (const ImageFacts& image : imageTable) {
        SCOPED_TRACE(image.fileName);
        const std::vector<unsigned char> bytes = readBytes(firmwareDir / image.fileName);
        ASSERT_EQ(bytes.size(), image.fileSize);
        const unsigned char* eh = elfReadHeader(bytes.data());
        ASSERT_EQ(eh, bytes.data());
        EXPECT_EQ(elfEntry(eh), 0x100000u);
        EXPECT_EQ(elfPhoff(eh), 52u);
        EXPECT_EQ(elfPhentsize(eh), 32u);
        ASSERT_EQ(elfPhnum(eh), image.segments.size());
        for (std::uint16_t i = 0; i < elfPhnum(eh); ++i) {
            const unsigned char* ph = elfGetProghead(i);
            EXPECT_EQ(ph, bytes.data() + 52 + 32 * i);
            EXPECT_EQ(elfSegmentOffset(ph), image.segments[i].offset) << "segment " << i;
            EXPECT_EQ(elfSegmentVaddr(ph), image.segments[i].vaddr) << "segment " << i;
            EXPECT_EQ(elfSegmentFilesz(ph), image.segments[i].filesz) << "segment " << i;
        }
    }
}

// Every word that the download sends is different from every other word of
// the same image, so any block that lands at the wrong address, or twice,
// leaves target memory different from the image.
TEST(FirmwareFiles, NoSegmentWordRepeatsWithinAnImage) {
    std::set<std::vector<unsigned char>> blocksOfAllImages;
    std::size_t blockCount = 0;
    for (const ImageFacts& image : imageTable) {
        SCOPED_TRACE(image.fileName);
        const std::vector<unsigned char> bytes = readBytes(firmwareDir / image.fileName);
        ASSERT_EQ(bytes.size(), image.fileSize);
        std::vector<std::uint32_t> words;
        for (const SegmentFacts& s : image.segments) {
            for (std::uint32_t i = 0; i < s.filesz; i += 4) {
                std::uint32_t w;
                std::memcpy(&w, &bytes[s.offset + i], 4);
                words.push_back(w);
            }
            for (std::uint32_t i = 0; i < s.filesz; i += 1024, ++blockCount) {
                auto first = bytes.begin() + s.offset + i;
                blocksOfAllImages.emplace(first,
                                          first + std::min<std::uint32_t>(1024, s.filesz - i));
            }
        }
        std::sort(words.begin(), words.end());
        EXPECT_EQ(std::adjacent_find(words.begin(), words.end()), words.end());
    }
    EXPECT_EQ(blocksOfAllImages.size(), blockCount) << "a 1024-byte block occurs twice";
}

} // namespace
