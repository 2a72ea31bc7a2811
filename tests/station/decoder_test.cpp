// The UART decoder on wires drawn here byte by byte, and the VCD reader on
// the dialects of other analyzers.
#include "tools/station/uart.h"
#include "tools/station/vcd.h"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

namespace {

using namespace station;

// A wire drawn byte by byte: 8N1 at each byte's rate, edges rounded to the
// analyzer's tick.
class Drawn {
  public:
    explicit Drawn(Time tick = 100 * nanos) : tick_(tick) {}
    // The bytes one after another from `at` (0: straight after the last).
    Drawn& bytes(const std::vector<std::uint8_t>& values, double rate, Time at = 0) {
        double t = at != 0 ? static_cast<double>(at) : free_;
        const double bit = 1e12 / rate;
        for (std::uint8_t v : values) {
            for (int k = 0; k < 10; ++k) {
                const bool next = k == 0 ? false : k == 9 ? true : ((v >> (k - 1)) & 1) != 0;
                if (next != level_) {
                    const double edge = t + k * bit;
                    s_.toggles.push_back(std::llround(edge / static_cast<double>(tick_)) * tick_);
                    level_ = next;
                }
            }
            t += 10 * bit;
        }
        free_ = t;
        return *this;
    }
    // The wire low for `span` from the end of the last byte.
    Drawn& low(Time span) {
        s_.toggles.push_back(static_cast<Time>(free_));
        s_.toggles.push_back(static_cast<Time>(free_) + span);
        free_ += static_cast<double>(span);
        return *this;
    }
    Drawn& idle(Time span) {
        free_ += static_cast<double>(span);
        return *this;
    }
    const Signal& signal() const { return s_; }

  private:
    Time tick_;
    Signal s_{"wire", true, true, {}};
    bool level_ = true;
    double free_ = static_cast<double>(millis);
};

const std::vector<std::uint8_t> identityRead = {0x06, 0x04, 0x00, 0x00, 0x00};
const std::vector<std::uint8_t> identityReply = {0x08, 0x01, 0x02, 0x03, 0x00};
const std::vector<std::uint8_t> haltWrite = {0x02, 0x05, 0, 0, 0, 0x02, 0, 0, 0};

std::vector<std::uint8_t> values(const Decoded& d, std::size_t stretch) {
    std::vector<std::uint8_t> out;
    for (const Frame& f : d.frames) {
        if (f.stretch == stretch) {
            out.push_back(f.value);
        }
    }
    return out;
}

} // namespace

// Every rate the line carries, as the PC's UART, the board's and a USB
// chip's divisors make it, measured to 0.02 % through 100 ns ticks.
TEST(UartDecoder, MeasuresEachRateFromItsBitWidths) {
    for (double rate : {38400.0, 57600.0, 115200.0, 128000.0, 256000.0, 256889.8, 255319.0}) {
        SCOPED_TRACE(rate);
        Drawn wire;
        // Each packet at its own phase against the ticks, as a PC's timer
        // leaves them.
        for (int k = 0; k < 20; ++k) {
            wire.bytes(haltWrite, rate).idle(20 * millis + (k * 37 % 100) * nanos);
            wire.bytes(identityRead, rate).idle(5 * millis + (k * 61 % 100) * nanos);
        }
        const Decoded d = decodeUart(wire.signal());
        ASSERT_EQ(d.stretches.size(), 1u);
        EXPECT_NEAR(d.stretches[0].rate / rate, 1, 0.0002);
        EXPECT_EQ(d.stretches[0].frames, 20 * (haltWrite.size() + identityRead.size()));
        EXPECT_EQ(d.stretches[0].errors, 0u);
        EXPECT_EQ(values(d, 0).front(), 0x02);
        EXPECT_EQ(values(d, 0).back(), 0x00);
    }
}

// Rates in whole ratios (38400 and 115200, 256000 and 128000) decode each
// at its own bit time even where one's edges all fall on the other's bits.
TEST(UartDecoder, SplitsTheWireIntoStretchesAtEachChangeOfRate) {
    Drawn wire;
    wire.bytes(haltWrite, 38400).idle(100 * millis);
    wire.bytes(identityRead, 115200).idle(300 * millis);
    wire.bytes(haltWrite, 38400).idle(100 * millis);
    wire.bytes(identityRead, 256000).idle(10 * millis);
    wire.bytes(identityRead, 128000).idle(10 * millis);
    wire.bytes(identityRead, 128000);
    const Decoded d = decodeUart(wire.signal());

    ASSERT_EQ(d.stretches.size(), 5u);
    const double rates[] = {38400, 115200, 38400, 256000, 128000};
    for (std::size_t k = 0; k < 5; ++k) {
        EXPECT_NEAR(d.stretches[k].rate / rates[k], 1, 0.005) << k;
        EXPECT_EQ(d.stretches[k].errors, 0u) << k;
    }
    EXPECT_EQ(values(d, 1), identityRead);
    EXPECT_EQ(values(d, 2), haltWrite);
    EXPECT_EQ(d.stretches[4].frames, 10u);
}

// A status byte of 0x00 is one low of nine bits: at 38400 it would decode as
// 0xFF at a ninth of the rate, or 0xFC at a third. It takes the rate of the
// stretch it decodes cleanly in, before it or after it.
TEST(UartDecoder, LoneStatusByteTakesTheRateOfItsNeighbours) {
    Drawn wire;
    wire.bytes(identityReply, 256000).idle(300 * millis);
    wire.bytes({0x00}, 38400).idle(5 * millis); // after a reset: no stretch of its rate yet
    wire.bytes(identityReply, 38400).idle(5 * millis);
    wire.bytes({0x00}, 38400).idle(5 * millis);
    wire.bytes({0x00}, 38400);
    const Decoded d = decodeUart(wire.signal());

    ASSERT_EQ(d.stretches.size(), 2u);
    EXPECT_NEAR(d.stretches[1].rate, 38400, 40);
    EXPECT_EQ(values(d, 1), (std::vector<std::uint8_t>{0, 8, 1, 2, 3, 0, 0, 0}));
}

TEST(UartDecoder, CountsFramingErrorsAndTellsLowsThatAreNoFrame) {
    Drawn wire;
    wire.bytes(identityReply, 38400).idle(millis);
    wire.bytes(identityReply, 38400).low(300 * micros).idle(millis); // a stop bit low
    wire.bytes(identityReply, 38400).idle(millis).low(5 * millis).idle(millis);
    wire.bytes(identityReply, 38400);
    const Decoded d = decodeUart(wire.signal());

    ASSERT_EQ(d.stretches.size(), 1u);
    EXPECT_NEAR(d.stretches[0].rate, 38400, 40);
    EXPECT_EQ(d.stretches[0].errors, 1u);
    ASSERT_EQ(d.lowSpans.size(), 1u);
    EXPECT_EQ(d.lowSpans[0].second - d.lowSpans[0].first, 5 * millis);
}

// sigrok writes a time and its changes on one line; others use identifiers
// of several characters, vectors, other names and other timescales.
TEST(VcdReader, ReadsTheDialectsOfOtherAnalyzers) {
    std::string error;
    const std::string sigrok = "$date today $end\n$version libsigrok 0.5.2 $end\n"
                               "$comment\n  Acquisition with 4/4 channels at 10 MHz\n$end\n"
                               "$timescale 100 ns $end\n$scope module libsigrok $end\n"
                               "$var wire 1 ! D0 $end\n$var wire 1 \" D1 $end\n"
                               "$var wire 1 # D2 $end\n$upscope $end\n$enddefinitions $end\n"
                               "#0 1! 1\" 0#\n#10 0!\n#49 1! 1#\n#100 0#\n#1200\n";
    const auto s = readVcd(sigrok, {"d0", "D2", "D7"}, error);
    ASSERT_TRUE(s.has_value()) << error;
    EXPECT_EQ(s->unit, 100 * nanos);
    EXPECT_EQ(s->end, 1200 * 100 * nanos);
    EXPECT_EQ(s->wires, (std::vector<std::string>{"D0", "D1", "D2"}));
    EXPECT_TRUE(s->signals[0].initial);
    EXPECT_EQ(s->signals[0].toggles, (std::vector<Time>{1 * micros, 4900 * nanos}));
    EXPECT_FALSE(s->signals[1].initial);
    EXPECT_EQ(s->signals[1].toggles, (std::vector<Time>{4900 * nanos, 10 * micros}));
    EXPECT_FALSE(s->signals[2].found);

    const std::string other = "$timescale\n 10us\n$end\n$scope module top $end\n"
                              "$scope module uart $end\n$var reg 8 %% data $end\n"
                              "$var wire 1 tx0 TXD [0] $end\n$var wire 1 dt DTR[0] $end\n"
                              "$upscope $end\n$upscope $end\n$enddefinitions $end\n"
                              "$dumpvars\nb1 tx0\nx dt\nb00001111 %%\n$end\n"
                              "#3\n0tx0\n1dt\nr1.5 %%\n$comment a note $end\n"
                              "#4\nztx0\n1tx0\n0tx0\n#7\n0dt\n";
    const auto o = readVcd(other, {"TXD", "DTR"}, error);
    ASSERT_TRUE(o.has_value()) << error;
    EXPECT_EQ(o->unit, 10 * micros);
    // tx0: high, low at 30 us; its zero-width pulse at 40 us is no change.
    EXPECT_TRUE(o->signals[0].initial);
    EXPECT_EQ(o->signals[0].toggles, (std::vector<Time>{30 * micros}));
    // dt: unknown until it rises at 30 us, which is its first level.
    EXPECT_TRUE(o->signals[1].initial);
    EXPECT_EQ(o->signals[1].toggles, (std::vector<Time>{70 * micros}));

    EXPECT_FALSE(readVcd("#0 1!\n", {"TXD"}, error).has_value());
    EXPECT_NE(error.find("not a VCD"), std::string::npos);
    EXPECT_FALSE(readVcd("$timescale 3 ns $end $enddefinitions $end", {}, error).has_value());
    EXPECT_NE(error.find("timescale"), std::string::npos);
    EXPECT_FALSE(readVcd("$enddefinitions $end #12a", {}, error).has_value());
}

TEST(VcdReader, ReadsBackWhatItWritesInAnyTimescale) {
    Drawn wire(1 * nanos);
    wire.bytes(identityRead, 256000).idle(millis).bytes(identityReply, 38400);
    Signal dtr{"DTR#", true, false, {5 * millis, 55 * millis}};
    const Signal txd = wire.signal();
    for (Time unit : {1 * nanos, 10 * nanos, 1 * micros}) {
        SCOPED_TRACE(unit);
        std::ostringstream out;
        writeVcd(out, {txd, dtr}, unit, 60 * millis);
        std::string error;
        const auto back = readVcd(out.str(), {"wire", "DTR#"}, error);
        ASSERT_TRUE(back.has_value()) << error;
        EXPECT_EQ(back->unit, unit);
        EXPECT_EQ(back->end, 60 * millis);
        ASSERT_EQ(back->signals[0].toggles.size(), txd.toggles.size());
        for (std::size_t k = 0; k < txd.toggles.size(); ++k) {
            EXPECT_LE(std::abs(back->signals[0].toggles[k] - txd.toggles[k]), unit / 2);
        }
        EXPECT_EQ(back->signals[1].initial, false);
        EXPECT_EQ(back->signals[1].toggles, dtr.toggles);
    }
}
