// The debug-port packets on the wire, the transfer of memory blocks and what
// the commands make of missing or refused replies.
#include "link_test_support.h"

using namespace linktest;
namespace cmd = sim::cmd;
namespace reg = sim::reg;

namespace {

std::vector<std::uint32_t> calls;
int record(std::uint32_t value) {
    calls.push_back(value);
    return 0;
}

Bytes pattern(std::size_t size) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i) {
        b[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    return b;
}

TEST_F(Link, PacketsAreTheDocumentedBytesAndPauses) {
    openBoard();
    const sim::PortLog& log = sim::portLog(1);
    EXPECT_EQ(arcWrite(ARC_WRITE_AUX, 5, 2), 0);
    EXPECT_EQ(log.writes.at(0).bytes, (Bytes{2, 5, 0, 0, 0, 2, 0, 0, 0}));
    EXPECT_EQ(log.reads.at(0).start - log.writes[0].end, sim::ms(20));

    EXPECT_EQ(arcReadIdentity(), 1);
    EXPECT_EQ(log.writes.at(1).bytes, (Bytes{6, 4, 0, 0, 0}));
    EXPECT_EQ(log.reads.at(1).bytes, (Bytes{8, 1, 2, 3, 0}));
    EXPECT_EQ(log.reads[1].start, log.writes[1].end);

    const Bytes data = pattern(1024);
    EXPECT_EQ(arcWriteToMem(1024, 0x100000, data.data(), nullptr), 0);
    ASSERT_EQ(log.writes.size(), 4u); // header and data as two writes
    EXPECT_EQ(log.writes[2].bytes, (Bytes{8, 0, 0, 0x10, 0, 0xFF}));
    EXPECT_EQ(log.writes[3].bytes, data);
    EXPECT_EQ(log.reads.at(2).start - log.writes[3].end, sim::ms(10));
}

TEST_F(Link, BaudPacketCarriesTheDivisorAndCallsBackWithTheRate) {
    const std::pair<std::uint32_t, Bytes> rows[] = {{256000, {0x83, 0x1F}},
                                                    {128000, {0x83, 0x3F}},
                                                    {115200, {0x83, 0x46}},
                                                    {57600, {0x43, 0x8D}},
                                                    {38400, {0x43, 0xD4}}};
    for (const auto& [baud, bytes] : rows) {
        sim::resetWorld();
        openBoard();
        calls.clear();
        EXPECT_EQ(arcSetBaudrate(baud, record), 0);
        const sim::PortLog& log = sim::portLog(1);
        EXPECT_EQ(log.sentBytes(), bytes) << baud;
        EXPECT_EQ(log.reads.at(0).start - log.writes.at(0).end, sim::ms(100));
        EXPECT_EQ(calls, std::vector<std::uint32_t>{baud});
    }
    // A rate of 0 would divide by zero: nothing goes out, the PC side stays.
    EXPECT_EQ(arcSetBaudrate(0, record), 0);
    EXPECT_EQ(sim::portLog(1).writes.size(), 1u);
    EXPECT_EQ(calls.size(), 1u);
}

TEST_F(Link, TransferSendsEveryByteInBlocksWithBoundedProgress) {
    struct Row {
        std::uint32_t size;
        std::size_t blocks, calls;
        std::uint32_t first, last;
    };
    const Row rows[] = {{4, 1, 1, 4, 4},
                        {1028, 2, 2, 1024, 1028},
                        {61'440, 60, 30, 1024, 60'416},
                        {467'140, 457, 58, 1024, 467'140},
                        {1'016'624, 993, 59, 1024, 1'010'688}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.size);
        sim::resetWorld();
        sim::Board& b = openBoard();
        calls.clear();
        const Bytes data = pattern(row.size);
        EXPECT_EQ(arcWriteToMem(row.size, 0x100000, data.data(), record), 0);
        const std::vector<sim::Packet> blocks = b.packetsOf(cmd::writeBlock);
        ASSERT_EQ(blocks.size(), row.blocks);
        EXPECT_EQ(blocks.back().raw[5], (row.size - 1024 * (row.blocks - 1)) / 4 - 1);
        EXPECT_EQ(calls.size(), row.calls);
        EXPECT_EQ(calls.front(), row.first);
        EXPECT_EQ(calls.back(), row.last);
        EXPECT_EQ(b.readMemory(0x100000, row.size), data);
        EXPECT_EQ(b.writtenOutside({{0x100000, 0x100000 + row.size}}), 0u);
    }
}

TEST_F(Link, TransferRefusesWhatTheCountByteCannotCarryAndSendsNothing) {
    openBoard();
    const Bytes data = pattern(8);
    calls.clear();
    EXPECT_EQ(arcWriteToMem(0, 0x100000, data.data(), record), 0);
    EXPECT_EQ(arcWriteToMem(0, 0x100002, data.data(), record), -2);
    EXPECT_EQ(arcWriteToMem(8, 0x100001, data.data(), record), -2);
    EXPECT_EQ(arcWriteToMem(6, 0x100000, data.data(), record), -2);
    EXPECT_TRUE(sim::portLog(1).writes.empty());
    EXPECT_TRUE(calls.empty());
}

TEST_F(Link, RefusedBlockEndsTheTransfer) {
    sim::Board& b = openBoard();
    b.failNth(cmd::writeBlock, 3, 5);
    calls.clear();
    const Bytes data = pattern(5 * 1024);
    EXPECT_EQ(arcWriteToMem(5 * 1024, 0x100000, data.data(), record), 5);
    EXPECT_EQ(b.packetsOf(cmd::writeBlock).size(), 3u);
    EXPECT_EQ(calls, (std::vector<std::uint32_t>{1024, 2048}));
    EXPECT_EQ(b.writtenRanges(), (std::vector<sim::Range>{{0x100000, 0x100800}}));
}

TEST_F(Link, SilentBoardLeavesThePacketBytesAsTheReply) {
    sim::Board& b = openBoard();
    b.setAux(reg::status, reg::haltBit); // a real reply would say halted
    silence(b);
    const Bytes data = pattern(2048);
    EXPECT_EQ(arcWrite(ARC_WRITE_MEM, 0x100, 1), 0);
    EXPECT_EQ(arcWrite(ARC_WRITE_CORE, 1, 1), 1);
    EXPECT_EQ(arcWrite(ARC_WRITE_AUX, 3, 1), 2);
    EXPECT_EQ(arcWriteToMem(2048, 0x100000, data.data(), nullptr), 8);
    EXPECT_EQ(arcReadIdentity(), 0);
    EXPECT_EQ(arcReadHaltFlag(), -1);
    EXPECT_EQ(sim::stdoutText(), ".");
    EXPECT_EQ(ops(b), "M100=1 C1=1 A3=1 B100000x256 rA4 rA0 ");
}

TEST_F(Link, ReadRepliesCountOnlyWithStatusZero) {
    sim::Board& b = openBoard();
    b.config.failedReadValue = 0x03020108;
    b.failNth(cmd::readCore, 1, 7);
    std::uint32_t value = 0xDEADBEEF;
    EXPECT_EQ(arcRead(ARC_READ_CORE, 1, &value), 7);
    EXPECT_EQ(value, 0xDEADBEEFu);
    b.failNth(cmd::readAux, 1, 3);
    EXPECT_EQ(arcReadIdentity(), 0); // the right value, but refused
    b.config.identity = 0x03020109;
    EXPECT_EQ(arcReadIdentity(), 0);

    b.setAux(reg::status, reg::haltBit | 0x40001);
    EXPECT_EQ(arcReadHaltFlag(), 0);
    b.setAux(reg::status, 0x40001);
    EXPECT_EQ(arcReadHaltFlag(), -1);
    b.setAux(reg::status, reg::haltBit);
    b.failNth(cmd::readAux, 1, 4); // counted from here
    EXPECT_EQ(arcReadHaltFlag(), -1);
    EXPECT_EQ(sim::stdoutText(), "..");
    const sim::PortLog& log = sim::portLog(1);
    EXPECT_EQ(log.writes.back().time - log.reads.at(log.reads.size() - 2).end, sim::ms(500));
}

} // namespace
