// The transfer on its own before any header test has accepted an image.
#include "app/loader.h"
#include "app_test_support.h"

namespace {

class Fresh : public apptest::World {};

TEST_F(Fresh, UploadWithoutAnAcceptedHeaderSendsNothing) {
    sim::Board& b = board();
    ASSERT_EQ(uartInit(), 1);
    sim::clearConsole();
    const std::size_t before = b.packets().size();

    EXPECT_EQ(uploadProgram(firmwareImage.elfFile), 0);

    EXPECT_EQ(b.packets().size(), before);
    EXPECT_EQ(sim::transcript(), "");
}

} // namespace
