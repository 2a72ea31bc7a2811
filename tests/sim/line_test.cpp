// The virtual ports, the line timing, the read rule and the console.
#include "sim_test_support.h"

#include "sim/capture.h"
#include "sim/device.h"

#include <sstream>
#include <string>
#include <utility>

using namespace simtest;
using sim::ms;
using sim::Nanos;

namespace {

class Line : public World {};

TEST_F(Line, PortKindsAndExclusiveOpen) {
    sim::setPort(1, sim::PortKind::Busy);
    sim::setPort(2, sim::PortKind::RefusesSettings);
    sim::setPort(3, sim::PortKind::Silent);
    EXPECT_EQ(platOpenPort(0), platNoPort);
    EXPECT_EQ(platOpenPort(1), platNoPort);
    EXPECT_EQ(platOpenPort(4), platNoPort); // absent
    EXPECT_EQ(platOpenPort(33), platNoPort);

    const PortHandle refusing = platOpenPort(2);
    ASSERT_NE(refusing, platNoPort);
    PortSettings s;
    EXPECT_EQ(platReadSettings(refusing, &s), 0);
    EXPECT_EQ(platWriteSettings(refusing, &s), 0);
    EXPECT_NE(platClosePort(refusing), 0);

    const PortHandle silent = platOpenPort(3);
    ASSERT_NE(silent, platNoPort);
    EXPECT_EQ(platOpenPort(3), platNoPort); // held by us
    EXPECT_NE(platClosePort(silent), 0);
    EXPECT_NE(platOpenPort(3), platNoPort);
    EXPECT_EQ(sim::portLog(3).opens, 2);
    EXPECT_TRUE(sim::portLog(3).open);
    EXPECT_FALSE(sim::portLog(2).open);
}

TEST_F(Line, SettingsPersistAndAreRecorded) {
    sim::setPort(5, sim::PortKind::Silent).settings.XonChar = 0x11;
    const PortHandle port = openPort(5, 57600);
    ASSERT_NE(platClosePort(port), 0);
    const PortHandle again = platOpenPort(5);
    PortSettings s;
    ASSERT_NE(platReadSettings(again, &s), 0);
    EXPECT_EQ(s.BaudRate, 57600u);
    EXPECT_EQ(s.XonChar, 0x11);
    ASSERT_EQ(sim::portLog(5).settingsWritten.size(), 1u);
    EXPECT_EQ(sim::portLog(5).timeoutsWritten.at(0).timeouts.ReadTotalTimeoutConstant, 10u);

    s.BaudRate = 0; // no port takes this
    EXPECT_EQ(platWriteSettings(again, &s), 0);
    EXPECT_EQ(sim::pcSettings(5).BaudRate, 57600u);
}

TEST_F(Line, UnansweredFiveByteReadEndsAtTheTotalLimit) {
    sim::setPort(1, sim::PortKind::Silent);
    const PortHandle port = openPort(1);
    send(port, readPacket(sim::cmd::readAux, 4));
    Bytes buffer{1, 2, 3, 4, 5};
    std::uint32_t got = 99;
    const Nanos start = sim::now();
    ASSERT_NE(platRead(port, buffer.data(), 5, &got), 0);
    EXPECT_EQ(sim::now() - start, ms(260));
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(buffer, (Bytes{1, 2, 3, 4, 5}));
}

TEST_F(Line, ShortReplyEndsOneIntervalAfterItsLastByte) {
    sim::Board& board = sim::attachBoard(2);
    board.truncateReply(sim::cmd::readAux, 1, 2);
    const PortHandle port = openPort(2);
    send(port, readPacket(sim::cmd::readAux, 4));
    const Bytes reply = receive(port, 5);
    EXPECT_EQ(reply, (Bytes{0x08, 0x01}));
    ASSERT_EQ(sim::portLog(2).arrivals.size(), 2u);
    EXPECT_EQ(sim::now(), sim::portLog(2).arrivals[1].end + ms(50));
}

TEST_F(Line, TotalLimitCutsATrickle) {
    sim::attachBoard(2).faults.replyDelay = ms(40);
    const PortHandle port = openPort(2);
    const PortTimeouts t{1000, 0, 30, 0, 0};
    ASSERT_NE(platWriteTimeouts(port, &t), 0);
    send(port, readPacket(sim::cmd::readAux, 4));
    const Nanos start = sim::now();
    EXPECT_TRUE(receive(port, 5).empty());
    EXPECT_EQ(sim::now() - start, ms(30));
    // The reply still comes and waits in the input queue for the next read.
    platSleep(100);
    const Nanos second = sim::now();
    EXPECT_EQ(receive(port, 5), okValue(0x03020108));
    EXPECT_EQ(sim::now(), second);
}

TEST_F(Line, ReadThatCouldNeverEndFailsInsteadOfHanging) {
    sim::setPort(3, sim::PortKind::Silent);
    const PortHandle port = platOpenPort(3); // time-outs never written: all zero
    Bytes buffer(4);
    std::uint32_t got = 0;
    EXPECT_EQ(platRead(port, buffer.data(), 4, &got), 0);
    EXPECT_EQ(sim::anomalies().size(), 1u);
    sim::resetWorld(); // the anomaly was the point of this test
}

TEST_F(Line, LineTimeAndBackToBackWrites) {
    sim::setPort(1, sim::PortKind::Silent);
    const PortHandle port = openPort(1);
    const Bytes block(1030, 0xAA);
    const Nanos start = sim::now();
    std::uint32_t written = 0;
    ASSERT_NE(platWrite(port, block.data(), 1030, &written), 0);
    EXPECT_EQ(sim::now(), start); // a write does not wait
    ASSERT_NE(platWrite(port, block.data(), 6, &written), 0);
    ASSERT_NE(platDrain(port), 0);
    // 1036 bytes of 10 bits at 38400 baud: 269.79 ms.
    EXPECT_NEAR(sim::toMs(sim::now() - start), 1036 * 10 / 38.4, 0.001);
    const auto& writes = sim::portLog(1).writes;
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_NEAR(sim::toMs(writes[0].end - writes[0].start), 268.229, 0.001);
    EXPECT_EQ(writes[1].start, writes[0].end);
    EXPECT_EQ(sim::portLog(1).sentBytes().size(), 1036u);
}

TEST_F(Line, EchoSendsEveryByteBack) {
    sim::setPort(7, sim::PortKind::Echo);
    const PortHandle port = openPort(7, 115200);
    const Bytes bytes{0x00, 0x11, 0xFF, 0x7F};
    const Nanos start = sim::now();
    std::uint32_t written = 0;
    ASSERT_NE(platWrite(port, bytes.data(), 4, &written), 0);
    EXPECT_EQ(receive(port, 4), bytes);
    // The last byte left after four byte times and came back one later.
    EXPECT_NEAR(sim::now() - start, sim::detail::lineTime(115200, 5), 10);
}

// The FT232R between an echo and the PC: a full packet (62 bytes) reaches the
// input as soon as the chip has it and starts the latency timer again; the
// rest waits for the timer. What the chip holds when the port closes is gone.
TEST_F(Line, Ft232rHandsFullPacketsOverAtOnceAndTheRestAtItsTimer) {
    sim::setPort(7, sim::PortKind::Echo).chip = sim::AdapterChip::ft232r;
    PortHandle port = openPort(7, 256000);
    Bytes bytes(130);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<std::uint8_t>(i);
    }
    std::uint32_t written = 0;
    ASSERT_NE(platWrite(port, bytes.data(), 130, &written), 0);
    EXPECT_EQ(receive(port, 130), bytes);
    const sim::PortLog& log = sim::portLog(7);
    using Piece = std::pair<Nanos, std::size_t>; // time, bytes
    std::vector<Piece> pieces;
    for (const sim::PieceRecord& p : log.pieces) {
        pieces.emplace_back(p.time, p.bytes.size());
    }
    const Nanos second = log.arrivals.at(123).end;
    EXPECT_EQ(pieces, (std::vector<Piece>{
                          {log.arrivals.at(61).end, 62}, {second, 62}, {second + ms(16), 6}}));
    EXPECT_EQ(log.reads.back().end, second + ms(16));

    send(port, {1, 2, 3});
    platSleep(1);
    EXPECT_NE(platClosePort(port), 0);
    port = platOpenPort(7);
    EXPECT_TRUE(receive(port, 3).empty());
    EXPECT_EQ(log.arrivals.size(), 133u);
    EXPECT_EQ(log.pieces.size(), 3u);
}

TEST_F(Line, RateMismatchLosesBytes) {
    sim::setPort(7, sim::PortKind::Echo);
    const PortHandle port = openPort(7, 38400);
    const Bytes bytes{1, 2, 3};
    std::uint32_t written = 0;
    ASSERT_NE(platWrite(port, bytes.data(), 3, &written), 0);
    setRate(port, 57600); // the echoes come back at 38400
    EXPECT_TRUE(receive(port, 3).empty());
    ASSERT_EQ(sim::portLog(7).arrivals.size(), 3u);
    EXPECT_FALSE(sim::portLog(7).arrivals[0].delivered);
}

TEST_F(Line, DtrEdgesAreRecordedAndCloseDropsDtr) {
    sim::setPort(4, sim::PortKind::Silent);
    const PortHandle port = openPort(4);
    ASSERT_NE(platSetDtr(port), 0);
    platSleep(50);
    ASSERT_NE(platClearDtr(port), 0);
    ASSERT_NE(platSetDtr(port), 0);
    ASSERT_NE(platClosePort(port), 0);
    const auto& dtr = sim::portLog(4).dtrChanges;
    ASSERT_EQ(dtr.size(), 4u);
    EXPECT_TRUE(dtr[0].high);
    EXPECT_EQ(dtr[1].time - dtr[0].time, ms(50));
    EXPECT_FALSE(dtr[3].high);
    EXPECT_FALSE(sim::portLog(4).dtr);
}

TEST_F(Line, UnpluggedPortFailsReadsAndWrites) {
    sim::setPort(6, sim::PortKind::Echo);
    const PortHandle port = openPort(6);
    sim::unplug(6);
    std::uint8_t byte = 0;
    std::uint32_t count = 0;
    EXPECT_EQ(platWrite(port, &byte, 1, &count), 0);
    EXPECT_EQ(platRead(port, &byte, 1, &count), 0);
    EXPECT_NE(platClosePort(port), 0);
    EXPECT_EQ(platOpenPort(6), platNoPort);
}

TEST_F(Line, RealTimePacingWaitsForTheVirtualClock) {
    sim::setRealTimePacing(true);
    const auto start = std::chrono::steady_clock::now();
    platSleep(30);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    EXPECT_EQ(sim::now(), ms(30));
}

TEST_F(Line, ConsoleTranscriptMarksStandardError) {
    platErr("check COM%d", 1);
    platOut(" OK\n");
    platErr("check COM%d", 2);
    platErr("check COM%d", 3);
    platOut("%s", "");
    EXPECT_EQ(sim::transcript(), "<<check COM1>> OK\n<<check COM2check COM3>>");
    EXPECT_EQ(sim::stdoutText(), " OK\n");
    EXPECT_EQ(sim::stderrText(), "check COM1check COM2check COM3");

    sim::pushKeys("yN");
    sim::pushKey(0xE0);
    EXPECT_EQ(platGetKey(), 'y');
    EXPECT_EQ(platGetKey(), 'N');
    EXPECT_EQ(platGetKey(), 0xE0);
    EXPECT_EQ(platGetKey(), -1);

    sim::resetWorld();
    EXPECT_EQ(sim::transcript(), "");
}

} // namespace

namespace {

// The VCD's changes of one wire (its identifier character): tick and level.
std::vector<std::pair<long long, int>> edgesOf(const std::string& vcd, char id) {
    std::vector<std::pair<long long, int>> edges;
    std::istringstream in(vcd.substr(vcd.find("\n$end\n", vcd.find("$dumpvars"))));
    long long tick = 0;
    for (std::string line; std::getline(in, line);) {
        if (line[0] == '#') {
            tick = std::stoll(line.substr(1));
        } else if ((line[0] == '0' || line[0] == '1') && line.size() == 2 && line[1] == id) {
            edges.emplace_back(tick, line[0] - '0');
        }
    }
    return edges;
}

// A UART's reading of a wire: each start bit's tick and the byte sampled at
// the middle of its bits, at `rate`.
std::vector<std::pair<long long, int>> uartRead(const std::vector<std::pair<long long, int>>& edges,
                                                double rate) {
    const double bitTicks = 1e7 / rate;
    auto levelAt = [&](double tick) {
        int level = 1;
        for (const auto& [t, l] : edges) {
            if (t > tick) {
                break;
            }
            level = l;
        }
        return level;
    };
    std::vector<std::pair<long long, int>> bytes;
    double idleFrom = 0;
    for (const auto& [t, l] : edges) {
        if (l != 0 || t < idleFrom) {
            continue;
        }
        int value = 0;
        for (int k = 0; k < 8; ++k) {
            value |= levelAt(static_cast<double>(t) + (1.5 + k) * bitTicks) << k;
        }
        EXPECT_EQ(levelAt(static_cast<double>(t) + 9.5 * bitTicks), 1) << "stop bit at " << t;
        bytes.emplace_back(t, value);
        idleFrom = static_cast<double>(t) + 9.5 * bitTicks;
    }
    return bytes;
}

} // namespace

// The line as a logic analyzer records it: every byte bit by bit where the
// line put it, both ways, the reset pulse on DTR, 100 ns a tick; and the
// header tells a decoder each wire's rate, stretch by stretch.
TEST_F(Line, CaptureDrawsEveryBitWhereTheLinePutIt) {
    sim::attachBoard(1);
    const PortHandle port = openPort(1);
    pulseDtr(port);
    EXPECT_EQ(read(port, sim::cmd::readAux, 4), okValue(0x03020108));
    send(port, baudPacket(126)); // 256000
    platSleep(100);
    EXPECT_EQ(receive(port, 1).size(), 1u);
    setRate(port, 256000);
    EXPECT_EQ(read(port, sim::cmd::readAux, 4), okValue(0x03020108));

    std::ostringstream out;
    sim::captureLine(1).write(out);
    const std::string vcd = out.str();
    EXPECT_NE(vcd.find("$timescale 100 ns $end"), std::string::npos);
    EXPECT_NE(vcd.find("$var wire 1 ! TXD $end"), std::string::npos);
    const sim::PortLog& log = sim::portLog(1);
    // The pulse: 50 ms of DTR from the first change on.
    const auto dtr = edgesOf(vcd, '#');
    ASSERT_EQ(dtr.size(), 2u);
    EXPECT_EQ(dtr[1].first - dtr[0].first, ms(50) / 100);
    EXPECT_EQ(dtr[0].first, log.dtrChanges.at(0).time / 100);

    // TXD read back by a UART at each stretch's rate gives every byte written,
    // each start where the line put it.
    const auto txd = edgesOf(vcd, '!');
    std::vector<std::pair<long long, int>> expected;
    for (const sim::WriteRecord& w : log.writes) {
        for (std::size_t i = 0; i < w.bytes.size(); ++i) {
            expected.emplace_back(
                static_cast<long long>((w.start + sim::detail::lineTime(w.rate, i) + 50) / 100),
                w.bytes[i]);
        }
    }
    const auto slow = uartRead(
        {txd.begin(), txd.begin() + static_cast<std::ptrdiff_t>(2 * 5 + 2 * 5 + 2)}, 38400);
    ASSERT_GE(slow.size(), 7u);
    EXPECT_EQ(std::vector(slow.begin(), slow.begin() + 7),
              std::vector(expected.begin(), expected.begin() + 7));
    EXPECT_NE(vcd.find("$comment stretch TXD " + std::to_string(expected[0].first) + " "),
              std::string::npos);
    EXPECT_NE(vcd.find(" 256000 $end"), std::string::npos);
    const auto rxd = uartRead(edgesOf(vcd, '"'), 38400);
    ASSERT_FALSE(rxd.empty());
    EXPECT_EQ(rxd[0],
              std::make_pair(static_cast<long long>((log.arrivals.at(0).start + 50) / 100), 0x08));
}
