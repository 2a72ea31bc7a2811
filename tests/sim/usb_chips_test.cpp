// The USB serial chips of usb-board's gadgetfs front (sim/usb/chips.h), fed
// the requests that their Linux drivers send, on the virtual clock: what
// reaches the board's UART (rate, format, DTR and RTS), what the drivers read
// back, and the FT232R's bulk IN framing.
#include "sim_test_support.h"

#include "sim/usb/chips.h"
#include "sim/usb/core.h"

#include <cmath>
#include <memory>
#include <string>
#include <vector>

using namespace simtest;
using sim::ms;
using sim::Nanos;
using sim::us;
using usbboard::Answer;
using usbboard::Chip;

namespace {

// The board's UART rate for each rung of the program's ladder:
// 130.5 MHz / (4 * (divisor + 1)), divisor = (2 * baud + 130.5 MHz) / (4 * baud) - 1.
struct Rung {
    std::uint32_t baud;
    double board;
};
const Rung ladder[] = {
    {256000, 130.5e6 / 508},  // divisor 126: 256889.8
    {128000, 130.5e6 / 1020}, // 254: 127941.2
    {115200, 130.5e6 / 1132}, // 282: 115282.7
    {57600, 130.5e6 / 2264},  // 565: 57641.3
    {38400, 130.5e6 / 3400},  // 849: 38382.4
    {9600, 9600},             // not a rung: the drivers' rate at open
};

class UsbChips : public World {
  protected:
    void use(const char* name) {
        chip = usbboard::makeChip(name, core);
        ASSERT_NE(chip, nullptr);
        chip->powerUp(sim::now());
    }
    Answer request(std::uint8_t type, std::uint8_t request, std::uint16_t value,
                   std::uint16_t index = 0, std::uint16_t length = 0, const Bytes& data = {}) {
        usbboard::Setup s;
        s.requestType = type;
        s.request = request;
        s.value = value;
        s.index = index;
        s.length = length != 0 ? length : static_cast<std::uint16_t>(data.size());
        return chip->control(sim::now(), s, data);
    }
    Bytes in(std::uint8_t type, std::uint8_t req, std::uint16_t value, std::uint16_t length,
             std::uint16_t index = 0) {
        const Answer a = request(type, req, value, index, length);
        EXPECT_EQ(a.kind, Answer::Kind::reply);
        // As the front sends it: no more than the host asked for.
        return Bytes(a.data.begin(), a.data.begin() + std::min<std::size_t>(a.data.size(), length));
    }
    void out(std::uint8_t type, std::uint8_t req, std::uint16_t value, std::uint16_t index = 0,
             const Bytes& data = {}) {
        EXPECT_EQ(request(type, req, value, index, 0, data).kind, Answer::Kind::ack);
    }
    const std::string& lastLog() const { return log.back(); }
    bool logHas(const std::string& text) const { return lastLog().find(text) != std::string::npos; }

    std::vector<std::string> log;
    std::vector<Bytes> host;
    usbboard::Core core{{[this](const std::string& line) { log.push_back(line); },
                         [this](const Bytes& bytes) { host.push_back(bytes); }, nullptr},
                        0};
    std::unique_ptr<Chip> chip;
};

// What each driver sends for a rate, and what the chip then runs.
struct RateCase {
    std::uint32_t baud;
    Bytes request;   // the driver's rate values, in each chip's own terms below
    double line;     // the rate the chip puts on the line, worked by hand
    std::string raw; // the log's raw field
};

TEST_F(UsbChips, EveryRungOfTheLadderRunsWithinTwoPercentOfTheBoard) {
    const auto check = [&](const RateCase& c, const Rung& rung) {
        SCOPED_TRACE(std::to_string(c.baud));
        EXPECT_NEAR(core.rate(), c.line, 1e-3);
        EXPECT_TRUE(logHas(",\"rate\":" + std::to_string(std::lround(c.line)) + ",")) << lastLog();
        EXPECT_TRUE(logHas(c.raw)) << lastLog();
        EXPECT_TRUE(usbboard::uartTakes(core.rate(), rung.board));
    };
    {
        SCOPED_TRACE("FT232R: ftdi_sio sends round(48 MHz / 2 / baud) eighths of the 3 MHz clock");
        use("ftdi");
        const RateCase cases[] = {
            // 24e6/256000 = 93.75 -> 94 = 11 + 6/8 (code 6: wValue 0x800b,
            // wIndex 1); 3e6 / 11.75 = 255319.15
            {256000, {0x0B, 0x80, 0x01, 0x00}, 3e6 / 11.75, "\"divisor\":\"0x1800b\""},
            // 187.5 -> 188 = 23 + 4/8 (code 1): 3e6 / 23.5 = 127659.57
            {128000, {0x17, 0x40, 0x00, 0x00}, 3e6 / 23.5, "\"divisor\":\"0x4017\""},
            // 208.33 -> 208 = 26: 3e6 / 26 = 115384.62
            {115200, {0x1A, 0x00, 0x00, 0x00}, 3e6 / 26, "\"divisor\":\"0x001a\""},
            // 416.67 -> 417 = 52 + 1/8 (code 3): 3e6 / 52.125 = 57553.96
            {57600, {0x34, 0xC0, 0x00, 0x00}, 3e6 / 52.125, "\"divisor\":\"0xc034\""},
            // 625 = 78 + 1/8: 3e6 / 78.125 = 38400 exactly
            {38400, {0x4E, 0xC0, 0x00, 0x00}, 38400, "\"divisor\":\"0xc04e\""},
            // 2500 = 312 + 4/8: 9600 exactly
            {9600, {0x38, 0x41, 0x00, 0x00}, 9600, "\"divisor\":\"0x4138\""},
        };
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            const RateCase& c = cases[i];
            out(0x40, 3, static_cast<std::uint16_t>(c.request[0] | c.request[1] << 8),
                static_cast<std::uint16_t>(c.request[2] | c.request[3] << 8));
            check(c, ladder[i]);
        }
        EXPECT_DOUBLE_EQ(usbboard::ft232rRate(0, 0), 3e6); // "1.0" sent as 0
        EXPECT_DOUBLE_EQ(usbboard::ft232rRate(1, 0), 2e6); // "1.5" sent as 1
    }
    {
        SCOPED_TRACE("CH340: ch341 writes prescaler (bit 7 for version 0x31, fact << 2, ps) and "
                     "256 - div; 48 MHz / (2^(12 - 3 ps - fact) * div)");
        use("ch340");
        const RateCase cases[] = {
            // ps 3, fact 1, div 46.875 -> 46, nearer 47 (odd, fact stays):
            // 48e6 / (4 * 47) = 255319.15
            {256000, {0x87, 0xD1}, 48e6 / 188, "\"divisor\":\"0xd187\""},
            // 93.75 -> 94, even: div 47, fact 0: 48e6 / (8 * 47) = 127659.57
            {128000, {0x83, 0xD1}, 48e6 / 376, "\"divisor\":\"0xd183\""},
            // 104.17 -> 104 (105 farther), even: 52, fact 0: 48e6 / 416 = 115384.62
            {115200, {0x83, 0xCC}, 48e6 / 416, "\"divisor\":\"0xcc83\""},
            // 208.33 -> 208, even: 104, fact 0: 48e6 / 832 = 57692.31
            {57600, {0x83, 0x98}, 48e6 / 832, "\"divisor\":\"0x9883\""},
            // 312.5 -> 312 > 255: 156 at fact 0: 48e6 / 1248 = 38461.54
            {38400, {0x83, 0x64}, 48e6 / 1248, "\"divisor\":\"0x6483\""},
            // ps 2: 156.25 -> 156, even: 78, fact 0: 48e6 / (64 * 78) = 9615.38
            {9600, {0x82, 0xB2}, 48e6 / 4992, "\"divisor\":\"0xb282\""},
        };
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            const RateCase& c = cases[i];
            out(0x40, 0x9A, 0x1312, static_cast<std::uint16_t>(c.request[0] | c.request[1] << 8));
            check(c, ladder[i]);
            out(0x40, 0x9A, 0x2518, 0x00C3); // the line control write that follows it
            EXPECT_NEAR(core.rate(), c.line, 1e-3);
            EXPECT_TRUE(logHas("\"lcr\":\"0xc3\"")) << lastLog();
        }
    }
    {
        SCOPED_TRACE("CP2102: cp210x sends the rate; the chip makes it as 24 MHz / N");
        use("cp2102");
        const RateCase cases[] = {
            {256000, {}, 24e6 / 94, "\"requested\":256000"},  // 93.75 -> 94: 255319.15
            {128000, {}, 24e6 / 188, "\"requested\":128000"}, // 187.5 -> 188: 127659.57
            {115200, {}, 24e6 / 208, "\"requested\":115200"}, // 208.33 -> 208: 115384.62
            {57600, {}, 24e6 / 417, "\"requested\":57600"},   // 416.67 -> 417: 57553.96
            {38400, {}, 24e6 / 625, "\"requested\":38400"},   // 625: 38400
            {9600, {}, 24e6 / 2500, "\"requested\":9600"},    // 2500: 9600
        };
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            const RateCase& c = cases[i];
            const std::uint32_t b = c.baud;
            const Bytes le{static_cast<std::uint8_t>(b), static_cast<std::uint8_t>(b >> 8),
                           static_cast<std::uint8_t>(b >> 16), static_cast<std::uint8_t>(b >> 24)};
            out(0x41, 0x1E, 0, 0, le);
            check(c, ladder[i]);
            EXPECT_EQ(in(0xC1, 0x1D, 0, 4), le); // GET_BAUDRATE: what was asked
        }
        // A request between table rates runs its band's rate: 250001..273066 is 256000.
        EXPECT_DOUBLE_EQ(usbboard::cp2102Rate(260000), 24e6 / 94);
        EXPECT_DOUBLE_EQ(usbboard::cp2102Rate(2000000), 24e6 / 26); // 921600's band
    }
    {
        SCOPED_TRACE("PL2303TA: pl2303 sends standard rates as they are, others as divisors "
                     "12 MHz * 32 / (mantissa * 2^exponent)");
        use("pl2303");
        const RateCase cases[] = {
            // nearest standard rate 230400 != 256000: mantissa 384e6 / 256000 = 1500
            {256000, {0xDC, 0x05, 0x00, 0x80}, 256000, "\"baud\":\"0x800005dc\""},
            // 3000 >= 2048: 1500, exponent 1 (bit 16): 384e6 / 3000 = 128000
            {128000, {0xDC, 0x05, 0x01, 0x80}, 128000, "\"baud\":\"0x800105dc\""},
            {115200, {0x00, 0xC2, 0x01, 0x00}, 115200, "\"baud\":\"0x0001c200\""},
            {57600, {0x00, 0xE1, 0x00, 0x00}, 57600, "\"baud\":\"0x0000e100\""},
            {38400, {0x00, 0x96, 0x00, 0x00}, 38400, "\"baud\":\"0x00009600\""},
            {9600, {0x80, 0x25, 0x00, 0x00}, 9600, "\"baud\":\"0x00002580\""},
        };
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            const RateCase& c = cases[i];
            Bytes line = c.request;
            line.insert(line.end(), {0, 0, 8});
            out(0x21, 0x20, 0, 0, line);
            check(c, ladder[i]);
            EXPECT_EQ(in(0xA1, 0x21, 0, 7), line); // read back before the next write
        }
        EXPECT_DOUBLE_EQ(usbboard::pl2303taRate(250000), 9600); // not a direct rate
    }
}

TEST_F(UsbChips, LinesAndDataFormatAsEachDriverEncodesThem) {
    struct Expect {
        bool dtr, rts;
    };
    const auto lines = [&](Expect e) {
        EXPECT_EQ(core.dtr(), e.dtr);
        EXPECT_EQ(core.rts(), e.rts);
        // A line event, then a reset event where DTR let go.
        const std::string& line = logHas("\"ev\":\"reset\"") ? log.at(log.size() - 2) : lastLog();
        EXPECT_NE(line.find("\"ev\":\"line\""), std::string::npos) << line;
    };
    const auto format = [&](std::uint8_t bits, std::uint8_t parity, std::uint8_t stop) {
        EXPECT_EQ(core.coding().dataBits, bits);
        EXPECT_EQ(core.coding().parity, parity);
        EXPECT_EQ(core.coding().charFormat, stop);
    };
    {
        SCOPED_TRACE("FT232R: modem control masks in the high byte");
        use("ftdi");
        out(0x40, 1, 0x0303); // the open: both up
        lines({true, true});
        out(0x40, 1, 0x0200); // RTS down alone
        lines({true, false});
        out(0x40, 1, 0x0100); // DTR down
        lines({false, false});
        out(0x40, 4, 0x0008); // 8N1
        format(8, 0, 0);
        EXPECT_TRUE(core.coding().eightN1());
        out(0x40, 4, 0x0207); // 7E1
        format(7, 2, 0);
        out(0x40, 4, 0x1108); // 8O2
        format(8, 1, 2);
        out(0x40, 4, 0x0308); // mark
        format(8, 3, 0);
        out(0x40, 4, 0x0000); // the CS5 quirk falls back to eight bits
        format(8, 0, 0);
    }
    {
        SCOPED_TRACE("CH340: the modem control value is inverted, DTR bit 5, RTS bit 6");
        use("ch340");
        out(0x40, 0xA4, 0xFF9F); // ~0x60
        lines({true, true});
        out(0x40, 0xA4, 0xFFDF); // ~0x20: DTR alone, the program's reset pulse
        lines({true, false});
        out(0x40, 0xA4, 0xFFFF);
        lines({false, false});
        out(0x40, 0x9A, 0x2518, 0x00DA); // RX, TX, parity enabled, even, CS7
        format(7, 2, 0);
        out(0x40, 0x9A, 0x2518, 0x00CF); // odd, two stop bits, CS8
        format(8, 1, 2);
        out(0x40, 0x9A, 0x2518, 0x00FB); // space: even + mark/space
        format(8, 4, 0);
    }
    {
        SCOPED_TRACE("CP2102: SET_MHS with write masks; SET_FLOW carries the lines too");
        use("cp2102");
        out(0x41, 0x07, 0x0303);
        lines({true, true});
        out(0x41, 0x07, 0x0200); // RTS only
        lines({true, false});
        const std::size_t before = log.size();
        // The driver's SET_FLOW after a settings change, DTR active, RTS inactive:
        // no change on the lines, no line event.
        out(0x41, 0x13, 0, 0, {1, 0, 0, 0, 0, 0, 0, 0, 0x80, 0, 0, 0, 0x80, 0, 0, 0});
        EXPECT_EQ(log.size(), before);
        out(0x41, 0x13, 0, 0, {0, 0, 0, 0, 0x40, 0, 0, 0, 0x80, 0, 0, 0, 0x80, 0, 0, 0});
        lines({false, true});
        EXPECT_EQ(in(0xC1, 0x08, 0, 1), Bytes{0x02});
        EXPECT_EQ(in(0xC1, 0x14, 0, 16),
                  (Bytes{0, 0, 0, 0, 0x40, 0, 0, 0, 0x80, 0, 0, 0, 0x80, 0, 0, 0}));
        out(0x41, 0x03, 0x0720); // 7E1
        format(7, 2, 0);
        EXPECT_EQ(in(0xC1, 0x04, 0, 2), (Bytes{0x20, 0x07}));
        out(0x41, 0x03, 0x0832); // 8, mark, 2
        format(8, 3, 2);
    }
    {
        SCOPED_TRACE("PL2303TA: control lines as the modem class, line request bytes 4 to 6");
        use("pl2303");
        out(0x21, 0x22, 0x0003);
        lines({true, true});
        out(0x21, 0x22, 0x0001);
        lines({true, false});
        out(0x21, 0x20, 0, 0, {0x00, 0x96, 0, 0, 2, 2, 7}); // 38400 7E2
        format(7, 2, 2);
        EXPECT_FALSE(core.coding().eightN1());
    }
}

TEST_F(UsbChips, DescriptorsAndProbeReadsClassifyThePartsAsIntended) {
    const auto device = [&](unsigned cls, unsigned vid, unsigned pid, unsigned bcd) {
        const Bytes d = chip->device();
        ASSERT_EQ(d.size(), 18u);
        EXPECT_EQ(d[4], cls);
        EXPECT_EQ(d[7], 64); // bMaxPacketSize0: a PL2303 with another size is the old H type
        EXPECT_EQ(d[8] | d[9] << 8, static_cast<int>(vid));
        EXPECT_EQ(d[10] | d[11] << 8, static_cast<int>(pid));
        EXPECT_EQ(d[12] | d[13] << 8, static_cast<int>(bcd));
        EXPECT_FALSE(chip->highSpeed());
    };
    // The interface's class and its endpoints: {attributes, max packet}.
    const auto layout = [&](unsigned subclass, std::vector<std::pair<int, int>> endpoints) {
        const Bytes c = chip->configuration({1, 2, 5}, false);
        ASSERT_EQ(c[2] | c[3] << 8, static_cast<int>(c.size()));
        EXPECT_EQ(c[4], 1); // one interface
        EXPECT_EQ(c[9 + 5], 0xFF);
        EXPECT_EQ(c[9 + 6], subclass);
        std::vector<std::pair<int, int>> found;
        for (std::size_t i = 18; i + 6 < c.size(); i += c[i]) {
            found.emplace_back(c[i + 3], c[i + 4] | c[i + 5] << 8);
        }
        EXPECT_EQ(found, endpoints);
    };
    {
        SCOPED_TRACE("FT232R: bcdDevice 0x0600; latency timer and EEPROM read at the probe");
        use("ftdi");
        device(0, 0x0403, 0x6001, 0x0600);
        layout(0xFF, {{2, 64}, {2, 64}});
        EXPECT_EQ(in(0xC0, 0x0A, 0, 1), Bytes{16});
        out(0x40, 0x09, 1); // ASYNC_LOW_LATENCY
        EXPECT_EQ(in(0xC0, 0x0A, 0, 1), Bytes{1});
        EXPECT_EQ(in(0xC0, 0x90, 0, 2, 0x0A), (Bytes{0x23, 0x10})); // no CBUS pin is a GPIO
        EXPECT_EQ(*chip->string(2), usbboard::stringDescriptor("FT232R USB UART"));
        EXPECT_EQ(*chip->string(0), (Bytes{4, 3, 0x09, 0x04}));
        EXPECT_EQ(request(0xC0, 0x77, 0, 0, 1).kind, Answer::Kind::stall);
    }
    {
        SCOPED_TRACE("CH340: version 0x31; the break register reads, so no prescaler quirk");
        use("ch340");
        device(0xFF, 0x1a86, 0x7523, 0x0254);
        layout(0x01, {{2, 32}, {2, 32}, {3, 8}});
        EXPECT_EQ(in(0xC0, 0x5F, 0, 2), (Bytes{0x31, 0x00}));
        EXPECT_EQ(in(0xC0, 0x95, 0x0005, 2), (Bytes{0x01, 0x00}));
        EXPECT_EQ(in(0xC0, 0x95, 0x0706, 2), (Bytes{0xFF, 0xEE})); // no modem lines
        out(0x40, 0x9A, 0x1805, 0xC300); // the driver's break: NBREAK off, TX off
        EXPECT_EQ(in(0xC0, 0x95, 0x1805, 2), (Bytes{0x00, 0xC3}));
        EXPECT_FALSE(chip->string(1).has_value());
    }
    {
        SCOPED_TRACE("CP2102: single interface, part number 2 in two bytes");
        use("cp2102");
        device(0, 0x10c4, 0xea60, 0x0100);
        layout(0, {{2, 64}, {2, 64}});
        EXPECT_EQ(in(0xC0, 0xFF, 0x370B, 1), Bytes{0x02});
        EXPECT_EQ(in(0xC0, 0xFF, 0x370B, 2).size(), 2u); // genuine: event insertion works
        EXPECT_EQ(request(0xC0, 0xFF, 0x000E, 0, 3).kind, Answer::Kind::stall);
    }
    {
        SCOPED_TRACE("PL2303TA: class 0, bcdDevice 0x0300, the 0x8080 status read answered");
        use("pl2303");
        device(0, 0x067b, 0x2303, 0x0300);
        layout(0, {{3, 10}, {2, 64}, {2, 64}});
        EXPECT_EQ(in(0xC0, 0x01, 0x8080, 1).size(), 1u);
        out(0x40, 0x01, 0x0000, 0x0060); // update_reg(0, 0xf0, 0x60): RTS/CTS
        EXPECT_EQ(in(0xC0, 0x01, 0x0080, 1), Bytes{0x60});
        EXPECT_EQ(request(0xC0, 0x81, 0x0007, 0, 1).kind, Answer::Kind::stall); // a G type's
    }
}

TEST_F(UsbChips, DrainSeesTheBytesStillToCrossTheUart) {
    const auto start38400 = [&] {
        core.lineCoding(sim::now(), usbboard::LineCoding{38400, 0, 0, 8});
        core.fromHost(sim::now(), Bytes(100, 0x55)); // 100 bytes: 26.04 ms
    };
    const Nanos byte = sim::detail::lineTime(38400, 1); // 260.4 us
    {
        SCOPED_TRACE("FT232R: THRE with the last byte in the shift register, TEMT at its end");
        use("ftdi");
        const Nanos t0 = sim::now();
        start38400();
        EXPECT_EQ(in(0xC0, 5, 0, 2), (Bytes{0x01, 0x00}));
        EXPECT_EQ(core.outQueued(t0 + 50 * byte), 50u);
        sim::advance(99 * byte + us(10));
        EXPECT_EQ(in(0xC0, 5, 0, 2), (Bytes{0x01, 0x20}));
        sim::advance(byte);
        EXPECT_EQ(in(0xC0, 5, 0, 2), (Bytes{0x01, 0x60}));
    }
    {
        SCOPED_TRACE("CP2102: ulAmountInOutQueue counts down to 0 at the line time's end");
        use("cp2102");
        const Nanos t0 = sim::now();
        start38400();
        const auto outQueue = [&] {
            const Bytes s = in(0xC1, 0x10, 0, 19);
            EXPECT_EQ(s.size(), 19u);
            return s[12] | s[13] << 8;
        };
        EXPECT_EQ(outQueue(), 100);
        // With a transmit buffer of 640 and 64-byte packets, the next packet
        // fits once no more than 576 are left: at once here.
        EXPECT_EQ(core.outQueuedAtMost(576), 0);
        EXPECT_EQ(core.outQueuedAtMost(36), t0 + sim::detail::lineTime(38400, 64));
        sim::advance(sim::detail::lineTime(38400, 60) + us(10));
        EXPECT_EQ(outQueue(), 40);
        out(0x41, 0x12, 0x000F); // the close's purge: only the byte on the line goes out
        EXPECT_EQ(outQueue(), 1);
        sim::advance(ms(30));
        EXPECT_EQ(outQueue(), 0);
        ASSERT_FALSE(log.empty());
        // The burst ends with the byte that was on the line; the 39 after it
        // never reached the board.
        EXPECT_TRUE(logHas(
            "\"t1\":" + std::to_string(core.busMicros(t0 + sim::detail::lineTime(38400, 61))) +
            ",\"len\":100"))
            << lastLog();
        EXPECT_TRUE(logHas("\"lost\":")) << lastLog();
    }
    {
        SCOPED_TRACE("FT232R held: takes more than its buffer, sends none, THRE and TEMT clear "
                     "in the control reply and the bulk IN header until the bytes are gone");
        use("ftdi");
        core.hold(sim::now());
        EXPECT_TRUE(logHas("{\"ev\":\"hold\",\"t\":")) << lastLog();
        core.fromHost(sim::now(), Bytes(300, 0x55)); // 78 ms at 38400, were it sent
        sim::advance(ms(500));
        EXPECT_EQ(in(0xC0, 5, 0, 2), (Bytes{0x01, 0x00}));
        EXPECT_EQ(chip->inDue(sim::now(), true), (Bytes{0x01, 0x00}));
        EXPECT_TRUE(logHas("\"ev\":\"hold\"")) << lastLog(); // nothing reached the board
        out(0x40, 0, 2); // a purge of the transmit buffer takes the held bytes too
        EXPECT_EQ(in(0xC0, 5, 0, 2), (Bytes{0x01, 0x60}));
        core.fromHost(sim::now(), Bytes(5, 0x55));
        EXPECT_EQ(in(0xC0, 5, 0, 2), (Bytes{0x01, 0x00}));
        const Nanos resumed = sim::now();
        core.resume(resumed);
        sim::advance(ms(10));
        EXPECT_EQ(in(0xC0, 5, 0, 2), (Bytes{0x01, 0x60}));
        EXPECT_EQ(lastLog(), "{\"ev\":\"rx\",\"t0\":" + std::to_string(core.busMicros(resumed)) +
                                 ",\"t1\":" + std::to_string(core.busMicros(resumed + 5 * byte)) +
                                 ",\"hex\":\"5555555555\"}");
    }
    {
        SCOPED_TRACE("CP2102 held: the transmit queue's count holds what the chip took");
        use("cp2102");
        core.hold(sim::now());
        core.fromHost(sim::now(), Bytes(700, 0xAA)); // more than its 640
        sim::advance(ms(1000));
        const Bytes s = in(0xC1, 0x10, 0, 19);
        ASSERT_EQ(s.size(), 19u);
        EXPECT_EQ(s[12] | s[13] << 8, 700);
        out(0x41, 0x12, 0x000F); // the close's purge
        EXPECT_EQ(in(0xC1, 0x10, 0, 19)[12], 0);
        core.resume(sim::now());
        EXPECT_TRUE(logHas("{\"ev\":\"resume\",")) << lastLog();
    }
}

TEST_F(UsbChips, Ft232rFramesBulkInWithStatusAndTheLatencyTimer) {
    use("ftdi");
    const Nanos t0 = sim::now();
    {
        SCOPED_TRACE("nothing to send: a status-only packet each latency period");
        EXPECT_TRUE(chip->inDue(t0 + ms(15), true).empty());
        EXPECT_EQ(chip->inWakeAt(), t0 + ms(16));
        EXPECT_EQ(chip->inDue(t0 + ms(16), true), (Bytes{0x01, 0x60}));
        EXPECT_EQ(chip->inWakeAt(), t0 + ms(32));
    }
    {
        SCOPED_TRACE("a short reply waits for the timer, then goes with the status in front");
        chip->fromBoard(t0 + ms(20), {0x08, 0x01, 0x02, 0x03, 0x00});
        EXPECT_TRUE(chip->inDue(t0 + ms(20), true).empty());
        EXPECT_TRUE(chip->holdsIn());
        EXPECT_EQ(chip->inDue(t0 + ms(32), true),
                  (Bytes{0x01, 0x60, 0x08, 0x01, 0x02, 0x03, 0x00}));
        EXPECT_FALSE(chip->holdsIn());
    }
    {
        SCOPED_TRACE("62 bytes fill a packet and go at once; the rest waits");
        Bytes reply(130);
        for (std::size_t i = 0; i < reply.size(); ++i) {
            reply[i] = static_cast<std::uint8_t>(i);
        }
        chip->fromBoard(t0 + ms(33), reply);
        const Bytes two = chip->inDue(t0 + ms(33), true);
        ASSERT_EQ(two.size(), 128u);
        EXPECT_EQ(Bytes(two.begin(), two.begin() + 3), (Bytes{0x01, 0x60, 0}));
        EXPECT_EQ(Bytes(two.begin() + 64, two.begin() + 67), (Bytes{0x01, 0x60, 62}));
        EXPECT_EQ(chip->inWakeAt(), t0 + ms(33) + ms(16)); // the timer starts again
        EXPECT_EQ(chip->inDue(t0 + ms(49), true),
                  (Bytes{0x01, 0x60, 124, 125, 126, 127, 128, 129}));
    }
    {
        SCOPED_TRACE("a host that does not take its packets gets nothing more until it does");
        out(0x40, 0x09, 1); // low latency: 1 ms, from the timer's next start
        chip->fromBoard(t0 + ms(50), {0x00});
        EXPECT_TRUE(chip->inDue(t0 + ms(64), true).empty());
        EXPECT_TRUE(chip->inDue(t0 + ms(65), false).empty());
        EXPECT_EQ(chip->inWakeAt(), usbboard::never); // woken by the writer instead
        EXPECT_EQ(chip->inDue(t0 + ms(70), true), (Bytes{0x01, 0x60, 0x00}));
        EXPECT_EQ(chip->inWakeAt(), t0 + ms(71));
    }
    {
        SCOPED_TRACE("the port reset at the open empties the receive buffer");
        chip->fromBoard(t0 + ms(70), {0x11, 0x22});
        out(0x40, 0, 0);
        EXPECT_EQ(chip->inDue(t0 + ms(71), true), (Bytes{0x01, 0x60}));
    }
}

TEST_F(UsbChips, Cp2102EscapesItsEventCharacterOnlyInEventMode) {
    use("cp2102");
    chip->fromBoard(sim::now(), {0x01});
    EXPECT_TRUE(chip->inDue(sim::now(), true).empty()); // the UART is off before the open
    out(0x41, 0x00, 1);
    chip->fromBoard(sim::now(), {0xEC, 0x02});
    EXPECT_EQ(chip->inDue(sim::now(), true), (Bytes{0xEC, 0x02}));
    out(0x41, 0x15, 0xEC); // INPCK: event insertion on
    chip->fromBoard(sim::now(), {0xEC, 0x02});
    EXPECT_EQ(chip->inDue(sim::now(), true), (Bytes{0xEC, 0x00, 0x02}));
}

} // namespace
