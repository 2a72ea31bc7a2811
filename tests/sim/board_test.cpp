// The board model as the PC meets it through the debug port.
#include "sim_test_support.h"

using namespace simtest;
using sim::ms;
using sim::Nanos;
namespace cmd = sim::cmd;
namespace reg = sim::reg;

namespace {

class BoardTest : public World {
  protected:
    void SetUp() override {
        World::SetUp();
        board = &sim::attachBoard(3);
        port = openPort(3);
    }
    sim::Board* board = nullptr;
    PortHandle port = platNoPort;
};

TEST_F(BoardTest, IdentityReplyComesRightAfterThePacket) {
    EXPECT_EQ(board->rate(), 130'500'000.0 / (4 * 850));
    send(port, readPacket(cmd::readAux, reg::identity));
    const Nanos sent = sim::now();
    EXPECT_EQ(receive(port, 5), (Bytes{0x08, 0x01, 0x02, 0x03, 0x00}));
    EXPECT_EQ(sim::now() - sent, sim::detail::lineTime(board->rate(), 5));
    ASSERT_EQ(board->packets().size(), 1u);
    const sim::Packet& p = board->packets()[0];
    EXPECT_EQ(p.command, cmd::readAux);
    EXPECT_EQ(p.address, reg::identity);
    EXPECT_EQ(p.reply, okValue(0x03020108));
    EXPECT_EQ(p.time, sent);
}

TEST_F(BoardTest, RegistersAndMemoryThroughPackets) {
    EXPECT_EQ(write(port, cmd::writeCore, reg::r1, 0x12345678), 0);
    EXPECT_EQ(read(port, cmd::readCore, reg::r1), okValue(0x12345678));
    EXPECT_EQ(write(port, cmd::writeAux, reg::lpEnd, 7), 0);
    EXPECT_EQ(board->aux(reg::lpEnd), 7u);
    EXPECT_EQ(write(port, cmd::writeAux, reg::identity, 0), 0); // read-only
    EXPECT_EQ(read(port, cmd::readAux, reg::identity), okValue(0x03020108));
    EXPECT_EQ(write(port, cmd::writeCore, 124, 0), 0); // extension space
    EXPECT_EQ(write(port, cmd::writeCore, 128, 0), 1); // beyond the debug port's reach
    EXPECT_EQ(read(port, cmd::readCore, 128)[4], 1);

    EXPECT_EQ(write(port, cmd::writeMem, 0x08380010, 0x80), 0);
    Bytes data;
    for (std::uint8_t i = 0; i < 64; ++i) {
        data.push_back(i);
    }
    send(port, blockPacket(0x100000, data));
    platSleep(10);
    EXPECT_EQ(receive(port, 1), Bytes{0});
    EXPECT_EQ(board->readMemory(0x100000, 64), data);
    EXPECT_EQ(read(port, cmd::readMem, 0x100004), okValue(0x07060504));
    EXPECT_EQ(board->readWord(0x08380010), 0x80u);

    const std::vector<sim::Range> written{{0x100000, 0x100040}, {0x08380010, 0x08380014}};
    EXPECT_EQ(board->writtenRanges(), written);
    EXPECT_EQ(board->writtenOutside({{0x100000, 0x100040}}), 4u);
    board->loadMemory(0x200000, {1, 2, 3, 4}); // seeding is not a write by the PC
    EXPECT_EQ(board->writtenRanges().size(), 2u);
}

TEST_F(BoardTest, UnknownFirstBytesAreSkipped) {
    send(port, {0x07, 0xFF});
    EXPECT_EQ(read(port, cmd::readAux, reg::identity), okValue(0x03020108));
    EXPECT_EQ(board->strayBytes(), (Bytes{0x07, 0xFF}));
}

TEST_F(BoardTest, BaudPacketAnswersAtTheOldRateThenSwitches) {
    send(port, baudPacket(126)); // 256000
    platSleep(100);
    EXPECT_EQ(receive(port, 1), Bytes{0}); // PC still at 38400
    EXPECT_EQ(board->divisor(), 126u);
    EXPECT_NEAR(board->rate(), 256'890, 1);
    EXPECT_EQ(read(port, cmd::readAux, reg::identity), Bytes{}); // PC not switched yet
    EXPECT_GT(board->lostBytes(), 0);

    setRate(port, 256000);
    EXPECT_EQ(read(port, cmd::readAux, reg::identity), okValue(0x03020108));
    EXPECT_EQ(board->packetsOf(cmd::setBaud).at(0).value, 126u);
}

TEST_F(BoardTest, DtrPulseResetsTheBoard) {
    send(port, baudPacket(126));
    platSleep(100);
    receive(port, 1);
    setRate(port, 256000);
    board->setCore(reg::r1, 0xCAFE);
    EXPECT_EQ(write(port, cmd::writeAux, reg::debug, 2), 0);
    EXPECT_TRUE(board->halted());

    ASSERT_NE(platSetDtr(port), 0);
    EXPECT_TRUE(board->heldInReset());
    send(port, readPacket(cmd::readAux, reg::identity)); // nobody listens
    ASSERT_NE(platClearDtr(port), 0);
    EXPECT_EQ(board->resets(), 1);
    EXPECT_EQ(board->divisor(), sim::resetDivisor);
    EXPECT_FALSE(board->halted());
    EXPECT_EQ(board->pc(), 0u);
    EXPECT_EQ(board->core(reg::r1), 0xCAFEu);

    setRate(port, 38400);
    EXPECT_EQ(read(port, cmd::readAux, reg::identity), okValue(0x03020108));
    EXPECT_EQ(board->packets().size(), 3u); // the packet sent during reset is gone
}

TEST_F(BoardTest, CoreHaltsStepsRunsAndHaltsItself) {
    EXPECT_EQ(write(port, cmd::writeAux, reg::debug, 2), 0);
    EXPECT_EQ(write(port, cmd::writeAux, reg::status, reg::haltBit | (0x100000 >> 2)), 0);
    EXPECT_EQ(write(port, cmd::writeAux, reg::debug, 0x801), 0);
    EXPECT_EQ(read(port, cmd::readAux, reg::status), okValue(0x02040001));
    EXPECT_EQ(board->steps(), 1);

    EXPECT_EQ(write(port, cmd::writeAux, reg::status, 0x00040001), 0);
    ASSERT_EQ(board->releases().size(), 1u);
    EXPECT_EQ(board->releases()[0].status, 0x00040001u);
    EXPECT_FALSE(board->halted());
    platSleep(2900);
    EXPECT_FALSE(board->halted());
    platSleep(200);
    EXPECT_EQ(read(port, cmd::readAux, reg::status), okValue(0x02040001));
}

TEST_F(BoardTest, StepFaults) {
    struct Case {
        const char* name;
        void (*apply)(sim::BoardFaults&);
        std::uint32_t after;
    };
    const Case cases[] = {
        {"normal", [](sim::BoardFaults&) {}, 0x02040001},
        {"stuck", [](sim::BoardFaults& f) { f.pcNeverAdvances = true; }, 0x02040000},
        {"by 8", [](sim::BoardFaults& f) { f.stepAdvance = 8; }, 0x02040002},
        {"flag", [](sim::BoardFaults& f) { f.stepFlagOnly = true; }, 0x82040000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        board->faults = {};
        c.apply(board->faults);
        write(port, cmd::writeAux, reg::status, 0x02040000);
        write(port, cmd::writeAux, reg::debug, 0x801);
        EXPECT_EQ(board->status(), c.after);
    }
}

TEST_F(BoardTest, StatusFaultsHitTheNthPacket) {
    board->failNth(cmd::writeCore, 2, 0x40);
    sim::StatusFault icache;
    icache.command = cmd::writeAux;
    icache.address = reg::icIvic;
    icache.nth = 1;
    icache.status = 3;
    icache.andAfter = true;
    board->faults.status.push_back(icache);

    EXPECT_EQ(write(port, cmd::writeCore, 5, 1), 0);
    EXPECT_EQ(write(port, cmd::writeCore, 6, 1), 0x40);
    EXPECT_EQ(write(port, cmd::writeCore, 7, 1), 0);
    EXPECT_EQ(board->core(6), 0u); // refused, not carried out
    EXPECT_EQ(write(port, cmd::writeAux, reg::debug, 2), 0);
    EXPECT_EQ(write(port, cmd::writeAux, reg::icIvic, 1), 3);
    EXPECT_EQ(write(port, cmd::writeAux, reg::icIvic, 1), 3);

    board->failNth(cmd::readAux, 1, 9);
    board->config.failedReadValue = 0xDEADBEEF;
    Bytes expected;
    putLe32(expected, 0xDEADBEEF);
    expected.push_back(9);
    EXPECT_EQ(read(port, cmd::readAux, reg::identity), expected);
}

TEST_F(BoardTest, DroppedAndTruncatedReplies) {
    board->dropReply(cmd::writeAux, 1);
    board->truncateReply(cmd::readCore, 1, 3);
    EXPECT_EQ(write(port, cmd::writeAux, reg::debug, 2), -1);
    EXPECT_TRUE(board->halted()); // carried out all the same
    board->setCore(reg::r1, 0x44332211);
    EXPECT_EQ(read(port, cmd::readCore, reg::r1), (Bytes{0x11, 0x22, 0x33}));
    EXPECT_EQ(read(port, cmd::readCore, reg::r1), okValue(0x44332211));
}

TEST_F(BoardTest, R1ThatDoesNotReadBack) {
    board->faults.r1NoReadback = true;
    write(port, cmd::writeCore, reg::r1, 0x12345678);
    EXPECT_NE(le32(read(port, cmd::readCore, reg::r1)), 0x12345678u);
    EXPECT_EQ(board->core(reg::r1), 0x12345678u);
}

TEST_F(BoardTest, BoardTooSlowForHighRates) {
    board->faults.maxBaud = 57600;
    for (const auto& [baud, divisor, answers] :
         {std::tuple{256000u, 126u, false}, std::tuple{57600u, 565u, true}}) {
        SCOPED_TRACE(baud);
        pulseDtr(port);
        setRate(port, 38400);
        send(port, baudPacket(divisor));
        platSleep(100);
        EXPECT_EQ(receive(port, 1), Bytes{0});
        setRate(port, baud);
        EXPECT_EQ(read(port, cmd::readAux, reg::identity).size(), answers ? 5u : 0u);
    }
}

TEST_F(BoardTest, ProgramThatNeverHalts) {
    board->faults.neverHalts = true;
    write(port, cmd::writeAux, reg::status, 0x00040000);
    platSleep(60'000);
    EXPECT_FALSE(board->halted());
}

TEST_F(BoardTest, BoardTakenOffTheCableWhileBusy) {
    write(port, cmd::writeAux, reg::status, 0); // the program's halt is due later
    send(port, readPacket(cmd::readAux, reg::identity));
    sim::setPort(3, sim::PortKind::Silent); // the reply was not out yet
    EXPECT_TRUE(receive(port, 5).empty());
    platSleep(5000);
    EXPECT_EQ(board->releases().size(), 1u); // the old board is still readable
}

TEST_F(BoardTest, ReplyDelay) {
    board->faults.replyDelay = ms(30);
    send(port, readPacket(cmd::readAux, reg::identity));
    const Nanos sent = sim::now();
    EXPECT_EQ(receive(port, 5), okValue(0x03020108));
    EXPECT_EQ(sim::now() - sent, ms(30) + sim::detail::lineTime(board->rate(), 5));
}

TEST_F(BoardTest, CableComesOutMidTransfer) {
    int blocks = 0;
    board->onPacket = [&blocks](const sim::Packet& p) {
        if (p.command == cmd::writeBlock && ++blocks == 2) {
            sim::unplug(3);
        }
    };
    const Bytes data(1024, 0x5A);
    send(port, blockPacket(0x100000, data));
    platSleep(10);
    EXPECT_EQ(receive(port, 1), Bytes{0});
    send(port, blockPacket(0x100400, data));
    platSleep(10);
    Bytes buffer{8};
    std::uint32_t got = 0;
    EXPECT_EQ(platRead(port, buffer.data(), 1, &got), 0);
    EXPECT_EQ(platWrite(port, data.data(), 4, &got), 0);
    EXPECT_EQ(board->packets().size(), 2u);
}

} // namespace
