// The elf module before its first header test. A program of its own, since
// the module's current image is never cleared once set.
#include <gtest/gtest.h>

#include "image/elf.h"

TEST(ElfFresh, NoProgramHeaderBeforeAnyHeaderTest) {
    EXPECT_EQ(elfGetProghead(0), nullptr);
    EXPECT_EQ(elfGetProghead(7), nullptr);
}
