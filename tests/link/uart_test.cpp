// The PC's serial port: the scan of COM1..COM32, the line settings, the reset
// pulse, rate changes and the read time-outs, in virtual time.
#include "link_test_support.h"

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

} // namespace
