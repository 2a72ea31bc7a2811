// The build-time check of firmware images: each unusable image stops the build
// with one message that names the file and the fault, and writes no source.
#include <functional>

#include <gtest/gtest.h>

#include "image_test_support.h"

namespace {

void put32(std::vector<unsigned char>& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

// A small usable image: header, two program headers, two 16-byte segments.
std::vector<unsigned char> goodImage() {
    std::vector<unsigned char> b(52 + 2 * 32 + 32, 0);
    const unsigned char ident[] = {0x7F, 'E', 'L', 'F', 1, 1, 1};
    std::copy(std::begin(ident), std::end(ident), b.begin());
    b[16] = 2;
    b[18] = 45;
    put32(b, 24, 0x100000);
    put32(b, 28, 52);
    b[42] = 32;
    b[44] = 2;
    for (std::uint32_t i = 0; i < 2; ++i) {
        const std::size_t ph = 52 + 32 * i;
        put32(b, ph, 1);
        put32(b, ph + 4, 116 + 16 * i);
        put32(b, ph + 8, 0x100000 + 0x100 * i);
        put32(b, ph + 16, 16);
        put32(b, ph + 20, 16);
    }
    return b;
}

struct BadImage {
    const char* what;
    std::function<void(std::vector<unsigned char>&)> spoil;
    const char* message;
};

class EmbedTool : public ::testing::Test {
  protected:
    CommandResult embed(const std::string& name, const std::vector<unsigned char>& bytes,
                        bool withOutput) {
        image_ = folder_.path() / name;
        writeBytes(image_, bytes);
        std::string command = quoted(UPDATER_EMBED_TOOL);
        command += ' ';
        command += quoted(image_);
        if (withOutput) {
            command += ' ';
            command += quoted(source());
        }
        return runCommand(command);
    }
    std::filesystem::path source() const { return folder_.path() / "image.cpp"; }

    TempFolder folder_;
    std::filesystem::path image_;
};

TEST_F(EmbedTool, GoodImagePassesAndBecomesASource) {
    CommandResult r = embed("fw_V1.00.out", goodImage(), true);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, "");
    std::ifstream in(source());
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("\"fw_V1.00.out\", elfFileBytes, 148u"), std::string::npos) << text;
    EXPECT_NE(text.find("127,69,76,70,1,1,1,0,"), std::string::npos);
}

TEST_F(EmbedTool, EachFaultIsNamedAndNoSourceIsWritten) {
    const std::vector<BadImage> cases = {
        {"lower-case magic", [](auto& b) { b[2] = 'l'; }, "bytes 1 to 3 are not \"ELF\""},
        {"64-bit", [](auto& b) { b[4] = 2; }, "not an ELF32 little-endian file"},
        {"big-endian", [](auto& b) { b[5] = 2; }, "not an ELF32 little-endian file"},
        {"too short", [](auto& b) { b.resize(40); },
         "the file has 40 bytes, too short for an ELF header"},
        {"header table past the end", [](auto& b) { b[44] = 5; },
         "the program header table (offset 0x34, 5 entries) lies outside the file"},
        {"segment past the end", [](auto& b) { put32(b, 84 + 16, 20); },
         "segment 1 (offset 0x84, size 0x14) lies outside the file"},
        {"segment offset wraps", [](auto& b) { put32(b, 84 + 4, 0xFFFFFFF0); },
         "segment 1 (offset 0xFFFFFFF0, size 0x10) lies outside the file"},
        {"odd address", [](auto& b) { put32(b, 84 + 8, 0x100102); },
         "segment 1 address 0x100102 is not a multiple of 4"},
        {"odd size", [](auto& b) { put32(b, 52 + 16, 14); },
         "segment 0 size 0xE is not a multiple of 4"},
        {"odd entry", [](auto& b) { put32(b, 24, 0x100001); },
         "the entry address 0x100001 is not a multiple of 4"},
        {"entry out of reach", [](auto& b) { put32(b, 24, 0x04000000); },
         "the entry address 0x4000000 is not below 0x4000000"},
        {"no program headers", [](auto& b) { b[44] = 0; }, "the file has no program headers"},
    };
    for (const BadImage& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<unsigned char> bytes = goodImage();
        c.spoil(bytes);
        CommandResult r = embed("fw.out", bytes, true);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.output.find(image_.string() + ": " + c.message), std::string::npos) << r.output;
        EXPECT_FALSE(std::filesystem::exists(source()));
    }
}

TEST_F(EmbedTool, FileNameMustFitTheNameField) {
    CommandResult r = embed(std::string(63, 'n'), goodImage(), false);
    EXPECT_EQ(r.status, 0) << r.output;
    r = embed(std::string(64, 'n'), goodImage(), false);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("the file name has 64 characters"), std::string::npos) << r.output;
}

} // namespace
