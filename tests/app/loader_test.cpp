// Pieces of the download driver that the whole runs do not reach: the
// watchdog writes, the status printer, and failed attempts after the connect
// phase.
#include "app/loader.h"
#include "app_test_support.h"

namespace {

using namespace apptest;

class Loader : public World {
  protected:
    // The board on COM1, found by the scan; the console starts empty.
    sim::Board& connectedBoard() {
        sim::Board& b = board();
        EXPECT_EQ(uartInit(), 1);
        sim::clearConsole();
        return b;
    }
};

TEST_F(Loader, StopArcWdtSendsTheThreeWatchdogWritesWhateverTheyReturn) {
    sim::Board& b = connectedBoard();

    EXPECT_EQ(stopArcWDT(), 0);
    b.failNth(sim::cmd::writeMem, 1, 3, true);
    EXPECT_EQ(stopArcWDT(), 1);

    const std::vector<sim::Packet> writes = b.packetsOf(sim::cmd::writeMem);
    ASSERT_EQ(writes.size(), 6u);
    const std::uint32_t table[3][2] = {
        {0x08380010, 0x80}, {0x08380030, 0x80}, {0x0838003C, 0x8080}};
    for (std::size_t i = 0; i < writes.size(); ++i) {
        EXPECT_EQ(writes[i].address, table[i % 3][0]) << i;
        EXPECT_EQ(writes[i].value, table[i % 3][1]) << i;
    }
    EXPECT_EQ(sim::transcript(), "");
}

TEST_F(Loader, PrintStatusEndsTheLineWithOkOrError) {
    printStatus(0);
    printStatus(-6);
    printStatus(1);
    EXPECT_EQ(sim::transcript(), " OK\n ERROR\n ERROR\n");
}

TEST_F(Loader, FailedTransferAndFailedStartGoToTheNextAttemptWithoutPause) {
    sim::Board& b = connectedBoard();
    // Block 1 is the no-operation block of the preparation; block 2 is the
    // first of the image. The fifth invalidation is the start's in the second
    // attempt (the preparation sends two).
    b.failNth(sim::cmd::writeBlock, 2);
    refuseAuxWrite(b, sim::reg::icIvic, 5);

    EXPECT_EQ(loadBootingArc(), 1);

    EXPECT_EQ(sim::transcript(), connect() + "\n transfer: " + ruler + retry(1) + connect() +
                                     transfer() + " update:   " + retry(2) + connect() +
                                     transfer() + " update:   ");
    const std::vector<sim::Nanos> pauses = pausesAfterRefusals(b);
    ASSERT_EQ(pauses.size(), 2u);
    for (const sim::Nanos pause : pauses) {
        EXPECT_LT(pause, sim::ms(50));
    }
    EXPECT_EQ(b.releases().size(), 1u);
}

} // namespace
