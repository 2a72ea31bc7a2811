// The board behind a USB modem-class adapter (sim/usb/core.h), driven by the
// host's requests on the virtual clock: line state, line coding, the reset
// from DTR, bytes lost at a coding that does not fit, and the pacing of the
// replies by the line.
#include "sim_test_support.h"

#include "sim/usb/core.h"
#include "sim/usb/sha1.h"

#include <cmath>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using namespace simtest;
using sim::ms;
using sim::Nanos;
using usbboard::LineCoding;
namespace cmd = sim::cmd;
namespace reg = sim::reg;

namespace {

class UsbBoardCore : public World {
  protected:
    struct Arrival {
        Nanos time;
        Bytes bytes;
    };

    // What the host did, as the front ends report it.
    void send(const Bytes& bytes) { core.fromHost(sim::now(), bytes); }
    void coding(std::uint32_t rate, std::uint8_t bits = 8, std::uint8_t parity = 0) {
        core.lineCoding(sim::now(), LineCoding{rate, 0, parity, bits});
    }
    void lines(bool dtr, bool rts) { core.lineState(sim::now(), dtr, rts); }

    std::string t(Nanos at) const { return std::to_string(core.busMicros(at)); }
    const std::string& lastLog() const { return log.back(); }

    std::vector<std::string> log;
    std::vector<Arrival> host;
    std::vector<int> answered;
    // Bus time runs 5 s ahead of the virtual clock, as a usbmon clock would.
    usbboard::Core core{{[this](const std::string& line) { log.push_back(line); },
                         [this](const Bytes& bytes) {
                             host.push_back({sim::now(), bytes});
                         },
                         [this](int n) { answered.push_back(n); }},
                        ms(5000)};
    sim::Board& board = core.board();
};

const Bytes identityReply = okValue(0x03020108);

TEST_F(UsbBoardCore, RequestsFromTheHostDriveTheBoard) {
    const double boardRate = board.rate(); // 38382 baud after reset
    {
        SCOPED_TRACE("an adapter that nobody has set runs at 9600: the probe is lost");
        sim::advance(ms(1));
        send(readPacket(cmd::readAux, reg::identity));
        sim::advance(ms(20));
        EXPECT_TRUE(host.empty());
        EXPECT_EQ(board.lostBytes(), 5);
        EXPECT_EQ(lastLog(), "{\"ev\":\"rx\",\"t0\":5001000,\"t1\":5006208,"
                             "\"hex\":\"0604000000\",\"lost\":5}");
    }
    {
        SCOPED_TRACE("DTR holds the board in reset; its release starts it afresh");
        lines(true, true);
        EXPECT_EQ(lastLog(), "{\"ev\":\"line\",\"t\":" + t(sim::now()) + ",\"dtr\":1,\"rts\":1}");
        EXPECT_TRUE(board.heldInReset());
        coding(38400);
        EXPECT_EQ(lastLog(), "{\"ev\":\"coding\",\"t\":" + t(sim::now()) +
                                 ",\"rate\":38400,\"bits\":8,\"parity\":\"N\",\"stop\":1}");
        send(readPacket(cmd::readAux, reg::identity)); // the port is deaf
        sim::advance(ms(50));
        EXPECT_TRUE(host.empty());
        EXPECT_EQ(lastLog().substr(lastLog().rfind(',')), ",\"lost\":5}");
        lines(true, false); // RTS alone changes nothing
        EXPECT_TRUE(board.heldInReset());
        EXPECT_EQ(board.resets(), 0);
        lines(false, false);
        EXPECT_EQ(log.at(log.size() - 2),
                  "{\"ev\":\"line\",\"t\":" + t(sim::now()) + ",\"dtr\":0,\"rts\":0}");
        EXPECT_EQ(lastLog(), "{\"ev\":\"reset\",\"t\":" + t(sim::now()) + "}");
        EXPECT_FALSE(board.heldInReset());
        EXPECT_EQ(board.resets(), 1);
        lines(false, true); // no edge on DTR: no reset
        EXPECT_EQ(board.resets(), 1);
    }
    {
        SCOPED_TRACE("at the board's rate the reply comes one line time after the packet");
        const Nanos t0 = sim::now();
        send(readPacket(cmd::readAux, reg::identity));
        const Nanos t1 = t0 + sim::detail::lineTime(38400, 5);
        sim::advance(ms(10));
        ASSERT_EQ(host.size(), 1u);
        EXPECT_EQ(host[0].bytes, identityReply);
        const Nanos replied = t1 + sim::detail::lineTime(boardRate, 5);
        EXPECT_EQ(host[0].time, replied);
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log[log.size() - 2], "{\"ev\":\"rx\",\"t0\":" + t(t0) + ",\"t1\":" + t(t1) +
                                           ",\"hex\":\"0604000000\"}");
        EXPECT_EQ(lastLog(), "{\"ev\":\"tx\",\"t\":" + t(replied) + ",\"hex\":\"0801020300\"}");
    }
    {
        SCOPED_TRACE("the coding must be 8N1 and within 2 % of the board's rate");
        struct Case {
            const char* name;
            LineCoding coding;
            bool taken;
        };
        const Case cases[] = {
            {"7E1", {38400, 0, 2, 7}, false},
            {"8E1", {38400, 0, 2, 8}, false},
            {"8N2", {38400, 2, 0, 8}, false},
            {"1.5 % fast", {38976, 0, 0, 8}, true},
            {"2.5 % fast, which a 3 % UART would still take", {39360, 0, 0, 8}, false},
            {"2.5 % slow", {37440, 0, 0, 8}, false},
            {"8N1", {38400, 0, 0, 8}, true},
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            const std::size_t before = host.size();
            const int lost = board.lostBytes();
            core.lineCoding(sim::now(), c.coding);
            send(readPacket(cmd::readAux, reg::identity));
            sim::advance(ms(20));
            EXPECT_EQ(host.size(), before + (c.taken ? 1 : 0));
            EXPECT_EQ(board.lostBytes(), lost + (c.taken ? 0 : 5));
        }
        EXPECT_EQ(board.packets().size(), 3u); // two probes and the first at 38400
    }
    {
        SCOPED_TRACE("a reply at a rate the host no longer runs is lost on the way back");
        const std::size_t before = host.size();
        send(baudPacket(126)); // 256890 baud, after the reply at 38382
        coding(256000);        // too early: the reply is still on the line
        sim::advance(ms(5));
        EXPECT_EQ(host.size(), before);
        EXPECT_EQ(lastLog().substr(lastLog().rfind(',')), ",\"lost\":1}");
        send(readPacket(cmd::readAux, reg::identity));
        sim::advance(ms(5));
        ASSERT_EQ(host.size(), before + 1);
        EXPECT_EQ(host.back().bytes, identityReply);
    }
    {
        SCOPED_TRACE("a block sent in pieces is one burst, answered after its line time");
        Bytes data;
        for (int i = 0; i < 256; ++i) {
            data.push_back(static_cast<std::uint8_t>(i));
        }
        const Bytes packet = blockPacket(0x100000, data);
        const Nanos t0 = sim::now();
        // Three USB packets, the later ones while the first is still on the line.
        core.fromHost(t0, {packet.data(), 100});
        sim::advance(sim::us(100));
        core.fromHost(sim::now(), {packet.data() + 100, 100});
        sim::advance(sim::us(100));
        core.fromHost(sim::now(), {packet.data() + 200, packet.size() - 200});
        const Nanos t1 = t0 + sim::detail::lineTime(256000, packet.size());
        sim::advance(ms(30));
        EXPECT_EQ(board.readMemory(0x100000, 256), data);
        EXPECT_EQ(host.back().bytes, Bytes{0});
        const Nanos replied = t1 + sim::detail::lineTime(board.rate(), 1);
        EXPECT_EQ(host.back().time, replied);
        EXPECT_EQ(answered, std::vector<int>{1});
        EXPECT_EQ(core.blockWrites(), 1);
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log[log.size() - 2], "{\"ev\":\"rx\",\"t0\":" + t(t0) + ",\"t1\":" + t(t1) +
                                           ",\"len\":262,\"sha1\":\"" + usbboard::sha1Hex(packet) +
                                           "\"}");
        EXPECT_EQ(lastLog(), "{\"ev\":\"tx\",\"t\":" + t(replied) + ",\"hex\":\"00\"}");
    }
    {
        SCOPED_TRACE("a reset cuts off the reply on the line; the board is back at 38400");
        send(readPacket(cmd::readMem, 0x100000));
        sim::advance(sim::detail::lineTime(256000, 5) + sim::us(20)); // the reply is going out
        ASSERT_EQ(board.packets().back().command, cmd::readMem);
        const std::size_t before = host.size();
        lines(true, true);
        sim::advance(ms(50));
        lines(false, false);
        sim::advance(ms(5));
        EXPECT_EQ(host.size(), before);
        EXPECT_EQ(board.divisor(), sim::resetDivisor);
        send(readPacket(cmd::readMem, 0x100000)); // still at 256000
        sim::advance(ms(5));
        EXPECT_EQ(host.size(), before);
        coding(38400);
        send(readPacket(cmd::readMem, 0x100000));
        sim::advance(ms(5));
        EXPECT_EQ(host.back().bytes, okValue(0x03020100)); // memory survives the reset
    }
    {
        SCOPED_TRACE("pulled out: nothing reaches the host and DTR lets go; back with 9600");
        lines(true, true);
        core.unplugged(sim::now());
        EXPECT_EQ(log.at(log.size() - 2), "{\"ev\":\"unplug\",\"t\":" + t(sim::now()) + "}");
        EXPECT_EQ(lastLog(), "{\"ev\":\"reset\",\"t\":" + t(sim::now()) + "}");
        EXPECT_FALSE(board.heldInReset());
        const std::size_t before = host.size();
        send(readPacket(cmd::readAux, reg::identity));
        sim::advance(ms(5));
        EXPECT_EQ(host.size(), before);
        EXPECT_EQ(lastLog(), "{\"ev\":\"tx\",\"t\":" +
                                 t(sim::now() - ms(5) + sim::detail::lineTime(38400, 5) +
                                   sim::detail::lineTime(boardRate, 5)) +
                                 ",\"hex\":\"0801020300\",\"lost\":5}");
        core.replugged(sim::now());
        EXPECT_EQ(core.coding(), LineCoding{});
        send(readPacket(cmd::readAux, reg::identity)); // at 9600 again
        sim::advance(ms(20));
        EXPECT_EQ(host.size(), before);
    }
    {
        SCOPED_TRACE("the memory event digests what the PC wrote");
        core.logMemory({});
        EXPECT_EQ(lastLog(),
                  "{\"ev\":\"memory\",\"sha1\":\"4916d6bdb7f78e6803698cab32d1586ea457dfc8\","
                  "\"ranges\":[[1048576,256]]}");
        core.logMemory({{0x100000, 0x100100}, {0x200000, 0x200000}});
        EXPECT_EQ(lastLog(),
                  "{\"ev\":\"memory\",\"sha1\":\"4916d6bdb7f78e6803698cab32d1586ea457dfc8\","
                  "\"ranges\":[[1048576,256],[2097152,0]]}");
        EXPECT_EQ(usbboard::sha1Hex(Bytes{'a', 'b', 'c'}),
                  "a9993e364706816aba3e25717850c26c9cd0d89d");
    }
}

TEST_F(UsbBoardCore, AStallDelaysTheBytesItHoldsAndLosesNone) {
    coding(38400);
    lines(true, false);
    lines(false, false); // out of reset at 38400
    const Nanos stalled = sim::now();
    core.stall(stalled);
    EXPECT_EQ(lastLog(), "{\"ev\":\"stall\",\"t\":" + t(stalled) + "}");
    // The packet that the read queued at the stall brought in.
    send(readPacket(cmd::readAux, reg::identity));
    sim::advance(ms(100));
    EXPECT_TRUE(host.empty());
    EXPECT_EQ(board.packets().size(), 0u);
    EXPECT_EQ(core.outQueued(sim::now()), 5u); // still to send, as a chip reports them
    const Nanos resumed = sim::now();
    core.resume(resumed);
    EXPECT_EQ(lastLog(), "{\"ev\":\"resume\",\"t\":" + t(resumed) + "}");
    sim::advance(ms(10));
    ASSERT_EQ(host.size(), 1u);
    EXPECT_EQ(host[0].bytes, identityReply);
    const Nanos crossed = resumed + sim::detail::lineTime(38400, 5);
    EXPECT_EQ(log.at(log.size() - 2), "{\"ev\":\"rx\",\"t0\":" + t(resumed) +
                                          ",\"t1\":" + t(crossed) + ",\"hex\":\"0604000000\"}");
    core.resume(sim::now()); // not stalled: nothing happens
    EXPECT_NE(lastLog().find("\"ev\":\"tx\""), std::string::npos);
}

TEST_F(UsbBoardCore, AChipsRateIsTheRealOneForTheBoardAndRoundedInTheLog) {
    // 38400 asked, a CH340 makes 38461.5: within 2 % of the board's 38382.
    core.lineCoding(sim::now(), LineCoding{38400, 0, 0, 8}, 48e6 / 1248,
                    "\"chip\":\"ch340\",\"divisor\":\"0x6483\"");
    EXPECT_EQ(lastLog(), "{\"ev\":\"coding\",\"t\":" + t(sim::now()) +
                             ",\"rate\":38462,\"bits\":8,\"parity\":\"N\",\"stop\":1,"
                             "\"chip\":\"ch340\",\"divisor\":\"0x6483\"}");
    EXPECT_EQ(core.coding().rate, 38462u);
    // The capture draws both ways at the rates really on the line: the
    // chip's towards the board, the board's own back; on the bus clock.
    sim::LineCapture capture(ms(5000));
    core.captureTo(&capture);
    const Nanos t0 = sim::now();
    send(readPacket(cmd::readAux, reg::identity));
    sim::advance(ms(10));
    ASSERT_EQ(host.size(), 1u);
    EXPECT_EQ(capture.bytes(sim::Wire::txd), 5u);
    EXPECT_EQ(capture.bytes(sim::Wire::rxd), 5u);
    std::ostringstream vcd;
    capture.write(vcd);
    EXPECT_NE(vcd.str().find("$comment stretch TXD " + std::to_string(t0 / 100) + " " +
                             std::to_string((t0 + sim::detail::lineTime(48e6 / 1248, 5)) / 100) +
                             " 38462 $end"),
              std::string::npos)
        << vcd.str();
    EXPECT_NE(vcd.str().find("$comment stretch RXD "), std::string::npos);
    EXPECT_NE(vcd.str().find(" " + std::to_string(std::lround(board.rate())) + " $end"),
              std::string::npos);
    // The bytes take their time at the chip's rate, not at the asked one.
    EXPECT_EQ(log.at(log.size() - 2), "{\"ev\":\"rx\",\"t0\":" + t(t0) + ",\"t1\":" +
                                          t(t0 + sim::detail::lineTime(48e6 / 1248, 5)) +
                                          ",\"hex\":\"0604000000\"}");
}

} // namespace
