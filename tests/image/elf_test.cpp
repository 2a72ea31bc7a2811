// The header test and the program header access of the elf module.
#include <array>

#include <gtest/gtest.h>

#include "image/elf.h"

namespace {

// A header with e_phoff 0x40 and e_phentsize 0x38 (the ELF64 sizes), so that
// the address arithmetic cannot pass by luck with 52 and 32.
std::array<unsigned char, 256> header(unsigned char b0, unsigned char b1, unsigned char b2,
                                      unsigned char b3) {
    std::array<unsigned char, 256> h{};
    h[0] = b0;
    h[1] = b1;
    h[2] = b2;
    h[3] = b3;
    h[28] = 0x40;
    h[42] = 0x38;
    return h;
}

TEST(ElfHeader, OnlyBytesOneToThreeAreTested) {
    auto good = header(0x7F, 'E', 'L', 'F');
    EXPECT_EQ(elfReadHeader(good.data()), good.data());
    auto noMagicByte = header(0x00, 'E', 'L', 'F');
    EXPECT_EQ(elfReadHeader(noMagicByte.data()), noMagicByte.data());
    auto elf64BigEndian = header(0x7F, 'E', 'L', 'F');
    elf64BigEndian[4] = 2;
    elf64BigEndian[5] = 2;
    EXPECT_EQ(elfReadHeader(elf64BigEndian.data()), elf64BigEndian.data());
}

TEST(ElfHeader, RejectedImageStillBecomesTheCurrentImage) {
    for (int at = 1; at <= 3; ++at) {
        SCOPED_TRACE(at);
        auto good = header(0x7F, 'E', 'L', 'F');
        ASSERT_NE(elfReadHeader(good.data()), nullptr);
        auto bad = header(0x7F, 'E', 'L', 'F');
        bad[at] ^= 0x20; // "eLF", "ElF", "ELf"
        EXPECT_EQ(elfReadHeader(bad.data()), nullptr);
        EXPECT_EQ(elfGetProghead(0), bad.data() + 0x40);
        EXPECT_EQ(elfGetProghead(2), bad.data() + 0x40 + 2 * 0x38);
    }
}

} // namespace
