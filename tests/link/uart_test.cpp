// The PC's serial port: the scan of COM1..COM32, the line settings, the reset
// pulse, rate changes and the read time-outs, in virtual time.
#include "link_test_support.h"
#include "serial/line_time.h"

#include <cstring>

using namespace linktest;

namespace {

// Both records are plain fields without padding.
template <typename T> bool sameRecord(const T& a, const T& b) {
    static_assert(sizeof(PortSettings) == 28 && sizeof(PortTimeouts) == 20);
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST_F(Link, ScanSkipsWhatIsNotTheBoardAndKeepsOnlyTheBoardsPort) {
    sim::setPort(2, sim::PortKind::Busy);
    sim::setPort(3, sim::PortKind::RefusesSettings);
    sim::setPort(4, sim::PortKind::Silent);
    sim::setPort(5, sim::PortKind::Echo);
    sim::setPort(6, sim::PortKind::Silent).acceptSettings = [](const PortSettings&) {
        return false;
    };
    sim::attachBoard(7);
    sim::attachBoard(9);
    PortSettings reported; // what the driver reports: every field away from the board's
    std::memset(static_cast<void*>(&reported), 0xA5, sizeof reported);
    sim::portSetup(7).settings = reported;
    sim::portSetup(7).timeouts = {1, 2, 3, 4, 5};

    EXPECT_EQ(uartInit(), 1);
    EXPECT_EQ(
        sim::transcript(),
        "<<check COM3check COM4>> failed\n<<check COM5>> failed\n<<check COM6check COM7>> OK\n");
    EXPECT_EQ(sim::portLog(2).opens, 0);
    EXPECT_EQ(sim::portLog(9).opens, 0);
    for (const int n : {3, 4, 5, 6}) {
        EXPECT_EQ(sim::portLog(n).opens, 1) << n;
        const PortHandle other = platOpenPort(n); // free for another program
        EXPECT_NE(other, platNoPort) << n;
        platClosePort(other);
    }
    const sim::PortLog& log = sim::portLog(7);
    EXPECT_TRUE(log.open);

    PortSettings expected = reported;
    expected.BaudRate = 38400;
    expected.fBinary = expected.fTXContinueOnXoff = 1;
    expected.fParity = expected.fOutxCtsFlow = expected.fOutxDsrFlow = 0;
    expected.fDsrSensitivity = expected.fOutX = expected.fInX = 0;
    expected.fErrorChar = expected.fNull = expected.fAbortOnError = 0;
    expected.fDtrControl = platDtrControlDisable;
    expected.fRtsControl = platRtsControlDisable;
    expected.XonLim = 2048;
    expected.XoffLim = 200;
    expected.ByteSize = 8;
    expected.Parity = platNoParity;
    expected.StopBits = platOneStopBit;
    ASSERT_EQ(log.settingsWritten.size(), 2u); // the settings, then 38400 after the pulse
    EXPECT_TRUE(sameRecord(log.settingsWritten[0].settings, expected));
    EXPECT_TRUE(sameRecord(log.settingsWritten[1].settings, expected));
    ASSERT_EQ(log.timeoutsWritten.size(), 1u);
    EXPECT_TRUE(sameRecord(log.timeoutsWritten[0].timeouts, PortTimeouts{50, 50, 10, 1, 500}));
}

TEST_F(Link, ScanReachesCom32AndLeavesNoPortOpenWhenNothingAnswers) {
    sim::attachBoard(32);
    EXPECT_EQ(uartInit(), 1);
    EXPECT_EQ(sim::transcript(), "<<check COM32>> OK\n");
    EXPECT_EQ(uartClose(), 1);
    EXPECT_EQ(uartClose(), 1);
    EXPECT_FALSE(sim::portLog(32).open);

    sim::resetWorld();
    sim::setPort(1, sim::PortKind::Silent);
    sim::setPort(32, sim::PortKind::Echo);
    EXPECT_EQ(uartInit(), 0);
    EXPECT_EQ(sim::transcript(), "<<check COM1>> failed\n<<check COM32>> failed\n");
    EXPECT_FALSE(sim::portLog(1).open);
    EXPECT_FALSE(sim::portLog(32).open);
    EXPECT_EQ(uartTxBytes(1, "x"), 0);
}

TEST_F(Link, CheckOfAPortWithNothingAttachedEndsByTheReadTimeOut) {
    // Nothing attached: the reset pulse, the 5 bytes on the line at 38400,
    // then 50 ms per byte plus 10 ms for a reply that never comes.
    sim::setPort(4, sim::PortKind::Silent);
    EXPECT_EQ(uartInit(), 0);
    EXPECT_EQ(sim::now(), sim::ms(250) + sim::us(1302) + 83 + sim::ms(260));
    const sim::PortLog& silent = sim::portLog(4);
    ASSERT_EQ(silent.reads.size(), 1u);
    EXPECT_EQ(silent.reads[0].end - silent.reads[0].start, sim::ms(260));
}

TEST_F(Link, ResetPulseReturnsThePcSideTo38400) {
    sim::Board& b = openBoard();
    EXPECT_EQ(arcSetBaudrate(256000, [](std::uint32_t baud) { return uartSetBaudrate(baud, 1); }),
              0);
    EXPECT_EQ(sim::pcSettings(1).BaudRate, 256000u);
    EXPECT_EQ(arcReadIdentity(), 1);

    const sim::Nanos start = sim::now();
    EXPECT_NE(resetArc(), 0);
    const sim::PortLog& log = sim::portLog(1);
    ASSERT_EQ(log.dtrChanges.size(), 2u);
    EXPECT_EQ(log.dtrChanges[0].time, start);
    EXPECT_TRUE(log.dtrChanges[0].high);
    EXPECT_EQ(log.dtrChanges[1].time, start + sim::ms(50));
    EXPECT_EQ(log.settingsWritten.back().time, start + sim::ms(250));
    EXPECT_EQ(sim::pcSettings(1).BaudRate, 38400u);
    EXPECT_EQ(b.resets(), 1);
    EXPECT_EQ(arcReadIdentity(), 1);
    EXPECT_EQ(sim::stdoutText(), "");
}

// A reply that comes after its read gave up stays in the receive queue; the
// next reset must throw it away, or every later exchange reads the reply of
// the one before.
TEST_F(Link, ResetThrowsAwayALateReply) {
    sim::Board& b = openBoard();
    b.faults.replyDelay = sim::ms(400);
    EXPECT_EQ(arcReadIdentity(), 0);
    sim::advance(sim::ms(400));
    b.faults.replyDelay = 0;

    EXPECT_NE(resetArc(), 0);
    EXPECT_EQ(sim::portLog(1).discarded, 5u);
    EXPECT_EQ(arcInit(), 0);
}

TEST_F(Link, RateChangePrintsTheRequestedRateEvenWhenRefused) {
    openBoard();
    sim::portSetup(1).acceptSettings = [](const PortSettings& s) { return s.BaudRate != 256000; };
    EXPECT_EQ(uartSetBaudrate(256000, 0), 0);
    EXPECT_NE(uartSetBaudrate(115200, 1), 0);
    EXPECT_EQ(sim::stdoutText(), " set speed to 256000, 8N1");
    EXPECT_EQ(sim::pcSettings(1).BaudRate, 115200u);

    uartClose();
    sim::clearConsole();
    EXPECT_EQ(uartSetBaudrate(256000, 0), 0);
    EXPECT_EQ(resetArc(), 0);
    EXPECT_EQ(sim::transcript(), "");
}

// Behind a USB adapter the board's reply reaches the port in the pieces that
// the adapter's chip hands its driver. The scan's identity read takes every
// piece and ends with the last: at 38400 the FT232R sends all five bytes
// when its latency timer runs out (16 ms periods from the open, as the
// Windows driver leaves it), or in two pieces a millisecond apart at the 1 ms
// that Linux's driver sets for this program; the chips without a timer hand
// each byte over as it comes, as a UART's driver has it.
TEST_F(Link, ScanReadsTheIdentityWholeWhateverPiecesTheAdaptersChipSendsItIn) {
    using Pieces = std::vector<std::pair<sim::Nanos, std::size_t>>; // time, bytes
    struct Case {
        const char* name;
        sim::AdapterChip chip;
        sim::Nanos latency;
    };
    const Case cases[] = {
        {"UART", sim::AdapterChip::none, 0},
        {"FT232R, 16 ms", sim::AdapterChip::ft232r, sim::ms(16)},
        {"FT232R, 1 ms", sim::AdapterChip::ft232r, sim::ms(1)},
        {"CH340", sim::AdapterChip::ch340, 0},
        {"CP2102", sim::AdapterChip::cp2102, 0},
        {"PL2303", sim::AdapterChip::pl2303, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim::resetWorld();
        sim::attachBoard(1);
        sim::portSetup(1).chip = c.chip;
        sim::portSetup(1).latencyTimer = c.latency;
        openBoard(1); // opened at 0

        EXPECT_EQ(probeArc(), 1);

        EXPECT_EQ(sim::transcript(), " OK\n");
        const sim::PortLog& log = sim::portLog(1);
        EXPECT_EQ(log.sentBytes(), (Bytes{ARC_READ_AUX, 4, 0, 0, 0}));
        ASSERT_EQ(log.reads.size(), 1u);
        EXPECT_EQ(log.reads[0].bytes, (Bytes{0x08, 0x01, 0x02, 0x03, 0x00}));
        const std::vector<sim::LineByte>& line = log.arrivals;
        ASSERT_EQ(line.size(), 5u);
        Pieces pieces;
        for (const sim::PieceRecord& p : log.pieces) {
            pieces.emplace_back(p.time, p.bytes.size());
        }
        Pieces expected;
        if (c.chip != sim::AdapterChip::ft232r) {
            for (const sim::LineByte& b : line) {
                expected.emplace_back(b.end, 1);
            }
        } else if (c.latency == sim::ms(16)) {
            expected = {{sim::ms(256), 5}}; // the reply ends at 252.6 ms
        } else {
            EXPECT_LT(line[1].end, sim::ms(252));
            EXPECT_GT(line[2].end, sim::ms(252));
            expected = {{sim::ms(252), 2}, {sim::ms(253), 3}};
        }
        EXPECT_EQ(pieces, expected);
        EXPECT_EQ(log.reads[0].end, expected.back().first);
        uartClose();
    }
}

// The debug port's pauses count from the moment the bytes have left the line.
// Behind a USB adapter the driver's drain ends as soon as the adapter has
// taken them: the link waits out their line time itself, at the rate of each
// write, one write after the other.
TEST_F(Link, DrainEndsWhenTheBytesCanHaveLeftTheLine) {
    sim::setPort(1, sim::PortKind::Silent).drainEndsBeforeLine = true;
    ASSERT_NE(probePort(1), 0);
    const std::vector<std::uint8_t> block(1030, 0x5A);
    const sim::PortLog& log = sim::portLog(1);

    // At 38400, 10 bits a byte: 1030 bytes are 268229166.7 ns, 5 are 1302083.3.
    sim::Nanos t = sim::now();
    EXPECT_NE(uartTxBytes(1030, block.data()), 0);
    EXPECT_EQ(sim::now(), t + 268'229'167);
    EXPECT_NE(uartTxBytes(5, block.data()), 0);
    EXPECT_EQ(sim::now(), t + 268'229'167 + 1'302'083);
    ASSERT_EQ(log.writes.size(), 2u);
    EXPECT_EQ(log.writes[1].start, log.writes[0].end); // back to back on the line

    // After an idle gap the line time counts from the write.
    sim::advance(sim::ms(7));
    t = sim::now();
    EXPECT_NE(uartTxBytes(5, block.data()), 0);
    EXPECT_EQ(sim::now(), t + 1'302'083);

    // At the new rate: 1030 bytes at 256000 are 40234375 ns. A drain with
    // nothing new on the line waits no more.
    ASSERT_NE(uartSetBaudrate(256000, 1), 0);
    t = sim::now();
    EXPECT_NE(uartTxBytes(1030, block.data()), 0);
    EXPECT_EQ(sim::now(), t + 40'234'375);
    EXPECT_NE(uartFlushReceiveBuffer(), 0);
    EXPECT_EQ(sim::now(), t + 40'234'375);
}

// Every bit of the frame counts; bytes that the driver takes while earlier
// ones are still on the line follow them.
TEST_F(Link, LineTimeCountsEveryBitOfTheFrame) {
    PortSettings s = sim::PortSetup::defaultSettings();
    s.BaudRate = 38400;
    EXPECT_EQ(lineTimeOf(s, 1030), 268'229'167u); // 8N1: 10 bits
    s.Parity = 2;                                 // even
    s.StopBits = 2;                               // two
    EXPECT_EQ(lineTimeOf(s, 1030), 321'875'000u); // 12 bits: 12360 / 38400 s
    s.Parity = platNoParity;
    s.StopBits = 1;                          // one and a half
    EXPECT_EQ(lineTimeOf(s, 4), 1'093'750u); // 4 x 10.5 bits / 38400 s
    s.ByteSize = 7;
    s.Parity = 1; // odd
    s.StopBits = 0;
    EXPECT_EQ(lineTimeOf(s, 3), 781'250u); // 7O1: 3 x 10 bits / 38400 s
    s.BaudRate = 0;
    EXPECT_EQ(lineTimeOf(s, 1030), 0u);

    s = sim::PortSetup::defaultSettings();
    s.BaudRate = 38400;
    lineTimeReset();
    const std::uint64_t start = platClockNs();
    lineTimeWritten(s, 5, start);
    lineTimeWritten(s, 5, start);
    lineTimeWait();
    EXPECT_EQ(sim::now(), static_cast<sim::Nanos>(start) + 2 * 1'302'083);
}

// A line that stops taking bytes: the drain after the block ends by its
// deadline, 1 ms per byte written since the last drain plus 500 ms, and throws
// the queue away. Once the line takes bytes again, the next exchange waits
// its own line time, no more and no less.
TEST_F(Link, FirstExchangeAfterATimeOutWaitsItsOwnLineTime) {
    sim::setPort(1, sim::PortKind::Silent).drainEndsBeforeLine = true;
    ASSERT_NE(probePort(1), 0);
    const std::vector<std::uint8_t> block(1030, 0x5A);
    sim::stopTakingBytes(1, sim::ms(5000));
    sim::Nanos t = sim::now();
    // The driver's queue took it, and the drain threw it away: not sent.
    EXPECT_EQ(uartTxBytes(1030, block.data()), 0);
    EXPECT_EQ(sim::now(), t + sim::ms(1030 + 500));
    EXPECT_EQ(sim::portLog(1).thrownAway, 1030u);
    // Still stopped: nothing queued, so the drain before the write has
    // nothing to wait for, and the one after it runs out again.
    t = sim::now();
    EXPECT_EQ(uartTxBytes(5, block.data()), 0);
    EXPECT_EQ(sim::now(), t + sim::ms(5 + 500));

    sim::advance(sim::ms(5000));
    t = sim::now();
    EXPECT_NE(uartTxBytes(5, block.data()), 0);
    EXPECT_EQ(sim::now(), t + 1'302'083);
    EXPECT_EQ(sim::portLog(1).sentBytes().size(), 5u);
}

} // namespace
