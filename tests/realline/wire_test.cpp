// The wire check (wire.h): decoded bytes against the board's log, and the
// board model's own capture through sigrok-cli, faithful and tampered with.
#include "tests/realline/wire.h"

#include "sim/capture.h"
#include "sim/usb/core.h"
#include "sim/usb/sha1.h"
#include "tests/sim/sim_test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace simtest;
using realline::rxd;
using realline::txd;
using sim::ms;
using sim::Nanos;

namespace {

bool anyFault(const realline::Report& r, const std::string& text) {
    for (const std::string& f : r.faults) {
        if (f.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::string faultsOf(const realline::Report& r) {
    std::string all;
    for (const std::string& f : r.faults) {
        all += f + "\n";
    }
    return all;
}

// Bytes back to back from `start` (ns) at `rate`, 10 bits each.
void onWire(std::vector<realline::WireByte>& wire, double start, double rate, const Bytes& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        wire.push_back({std::llround(start + static_cast<double>(i) * 1e10 / rate), bytes[i]});
    }
}

TEST(WireCheck, HoldsEveryDecodedByteAgainstTheLog) {
    realline::CaptureHeader header; // tick 0 at 0 ns
    header.stretches = {{txd, 0, 100'000, 256000}, {rxd, 0, 100'000, 256890}};
    Bytes block;
    for (int i = 0; i < 100; ++i) {
        block.push_back(static_cast<std::uint8_t>(i * 7));
    }
    const std::string log =
        "{\"ev\":\"coding\",\"t\":10,\"rate\":256000,\"bits\":8,\"parity\":\"N\",\"stop\":1}\n"
        "{\"ev\":\"rx\",\"t0\":1000,\"t1\":1195,\"hex\":\"0604000000\"}\n"
        "{\"ev\":\"tx\",\"t\":2000,\"hex\":\"0801020300\"}\n"
        // A reply the host did not take: on the wire all the same.
        "{\"ev\":\"tx\",\"t\":3000,\"hex\":\"00\",\"lost\":1}\n"
        // A purge threw the last byte away before it reached the line.
        "{\"ev\":\"rx\",\"t0\":4000,\"t1\":4156,\"hex\":\"0102030405\",\"lost\":5}\n"
        "{\"ev\":\"rx\",\"t0\":5000,\"t1\":8906,\"len\":100,\"sha1\":\"" +
        usbboard::sha1Hex(block) + "\"}\n";
    // Where sigrok finds the bytes of a faithful capture, the model's times
    // in the middle of the log's microseconds.
    realline::Decoded line;
    onWire(line.bytes[txd], 1000.5e3, 256000, {6, 4, 0, 0, 0});
    onWire(line.bytes[rxd], 2000.5e3 - 5e10 / 256890, 256890, {8, 1, 2, 3, 0});
    onWire(line.bytes[rxd], 3000.5e3 - 1e10 / 256890, 256890, {0});
    onWire(line.bytes[txd], 4000.5e3, 256000, {1, 2, 3, 4});
    onWire(line.bytes[txd], 5000.5e3, 256000, block);

    {
        SCOPED_TRACE("the faithful line: every byte compared, lost ones included");
        const realline::Report r = realline::compare(log, header, line);
        EXPECT_EQ(r.faultCount, 0u) << faultsOf(r);
        EXPECT_EQ(r.compared[txd], 109u);
        EXPECT_EQ(r.compared[rxd], 6u);
        EXPECT_EQ(r.lost[txd], 4u);
        EXPECT_EQ(r.lost[rxd], 1u);
        EXPECT_LE(std::llabs(r.worstNs[txd]), 1);
        EXPECT_LE(std::llabs(r.worstNs[rxd]), 1);
    }
    {
        SCOPED_TRACE("one bit flipped, in a logged byte, a digest's burst and a lost reply");
        for (const std::size_t at : {std::size_t{1}, std::size_t{20}}) {
            realline::Decoded d = line;
            d.bytes[txd][at].value ^= 0x10;
            const realline::Report r = realline::compare(log, header, d);
            EXPECT_EQ(r.faultCount, 1u) << faultsOf(r);
            EXPECT_TRUE(at == 1 ? anyFault(r, "TXD: sigrok decoded 14 for byte 1 (04) of the rx "
                                              "at t0 1000")
                                : anyFault(r, "the 100 bytes sigrok decoded for the rx at t0 5000 "
                                              "have SHA-1"))
                << faultsOf(r);
        }
        realline::Decoded d = line;
        d.bytes[rxd][5].value = 0x80;
        EXPECT_TRUE(anyFault(realline::compare(log, header, d),
                             "RXD: sigrok decoded 80 for byte 0 (00) of the tx at t 3000"));
    }
    {
        SCOPED_TRACE("shifted: 0.9 bit passes, 2 bits fail for every byte, both ways");
        realline::Decoded d = line;
        for (auto& b : d.bytes[txd]) {
            b.start -= 3516; // 0.9 bit at 256000
        }
        realline::Report r = realline::compare(log, header, d);
        EXPECT_EQ(r.faultCount, 0u) << faultsOf(r);
        EXPECT_NEAR(r.worstBits[txd], -0.9, 0.001);
        for (auto& b : d.bytes[txd]) {
            b.start += 3516 + 7813; // 2 bits late
        }
        r = realline::compare(log, header, d);
        EXPECT_EQ(r.faultCount, 2u * 109u); // each logged byte missed, each decoded one unlogged
        EXPECT_TRUE(anyFault(r, "TXD: sigrok decoded no byte within one bit of byte 0 (06) of the "
                                "rx at t0 1000 (at 1000.5 us); the nearest decoded one is "
                                "+7.8 us (+2.00 bits) off"))
            << faultsOf(r);
        EXPECT_TRUE(anyFault(r, "TXD: sigrok decoded 06 at 1008.3 us, where the log has no byte "
                                "within one bit"))
            << faultsOf(r);
    }
    {
        SCOPED_TRACE("a byte missing, a byte the log does not have");
        realline::Decoded d = line;
        d.bytes[rxd].erase(d.bytes[rxd].begin() + 2);
        realline::Report r = realline::compare(log, header, d);
        EXPECT_EQ(r.faultCount, 1u);
        EXPECT_TRUE(anyFault(r, "RXD: sigrok decoded no byte within one bit of byte 2 (02) of the "
                                "tx at t 2000"))
            << faultsOf(r);
        d = line;
        onWire(d.bytes[txd], 4000.5e3 + 4e10 / 256000, 256000, {5}); // the purged byte
        r = realline::compare(log, header, d);
        EXPECT_EQ(r.faultCount, 1u);
        EXPECT_TRUE(anyFault(r, "TXD: sigrok decoded 05 at 4156.8 us, where the log has no byte"))
            << faultsOf(r);
    }
    {
        SCOPED_TRACE("a log that its own times contradict");
        const realline::Report r = realline::compare(
            "{\"ev\":\"rx\",\"t0\":1000,\"t1\":1195,\"hex\":\"06040000\"}\n", header, {});
        EXPECT_TRUE(anyFault(r, "4 bytes at 9600 baud, but it spans 195.0 us")) << faultsOf(r);
    }
}

// The board model on the virtual clock draws its capture and writes its log;
// sigrok-cli decodes the capture.
class WireCheckOfTheModel : public World {
  protected:
    void SetUp() override {
        World::SetUp();
        if (std::system("sigrok-cli --version >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "no sigrok-cli (tools/install-deps.sh installs it)";
        }
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/wire-test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        if (!dir.empty()) {
            std::remove((dir + "/capture.vcd").c_str());
            rmdir(dir.c_str());
        }
        World::TearDown();
    }

    realline::Report check(const std::string& vcd, int* slices = nullptr) {
        std::ofstream(dir + "/capture.vcd", std::ios::binary) << vcd;
        realline::CaptureHeader header;
        realline::Decoded decoded;
        std::string error;
        EXPECT_TRUE(
            realline::decode(dir + "/capture.vcd", dir, "sigrok-cli", header, decoded, error))
            << error;
        if (slices != nullptr) {
            *slices = decoded.slices;
        }
        return realline::compare(logText, header, decoded);
    }

    void coding(std::uint32_t rate) {
        core.lineCoding(sim::now(), usbboard::LineCoding{rate, 0, 0, 8});
    }
    void send(const Bytes& bytes) { core.fromHost(sim::now(), bytes); }

    std::string dir;
    std::string logText;
    // Bus time 5 s ahead of the virtual clock, the capture's tick 0 there.
    usbboard::Core core{{[this](const std::string& line) { logText += line + "\n"; },
                         [](const Bytes&) {}, [](int) {}},
                        ms(5000)};
};

TEST_F(WireCheckOfTheModel, SigrokReadsTheCaptureWhereTheLogHasIt) {
    sim::LineCapture capture(ms(5000), "the test's bus time");
    core.captureTo(&capture);
    sim::advance(ms(1));
    coding(38400);
    send(readPacket(sim::cmd::readAux, sim::reg::identity));
    sim::advance(ms(5));
    send(baudPacket(126)); // 256890 baud, after its reply at 38382
    coding(256000);        // too early: the reply is lost on the way back
    sim::advance(ms(5));
    Bytes data;
    for (int i = 0; i < 256; ++i) {
        data.push_back(static_cast<std::uint8_t>(255 - i));
    }
    send(blockPacket(0x100000, data)); // logged by its digest
    sim::advance(ms(30));
    // Thrown away in the adapter after its third byte: never on the line.
    send(readPacket(sim::cmd::readAux, sim::reg::identity));
    sim::advance(sim::us(100));
    core.purgeOut(sim::now());
    sim::advance(ms(5));
    std::ostringstream out;
    capture.write(out, sim::now() + ms(5000) + ms(1)); // on the bus clock
    const std::string vcd = out.str();
    ASSERT_NE(logText.find("\"lost\":2"), std::string::npos) << logText;

    {
        SCOPED_TRACE("as drawn");
        int slices = 0;
        const realline::Report r = check(vcd, &slices);
        EXPECT_EQ(r.faultCount, 0u) << faultsOf(r);
        EXPECT_EQ(slices, 4); // TXD at 38400 and 256000, RXD at 38382 and 256890
        EXPECT_EQ(r.compared[txd], 5u + 2u + 262u + 3u);
        EXPECT_EQ(r.compared[rxd], 5u + 1u + 1u);
        EXPECT_EQ(r.lost[rxd], 1u);
        EXPECT_LT(std::fabs(r.worstBits[txd]), 0.2);
        EXPECT_LT(std::fabs(r.worstBits[rxd]), 0.2);
    }
    {
        SCOPED_TRACE("the probe's first byte, 06, with its lowest bit flipped");
        // Its start bit falls at the first TXD edge; bit 0 is the next bit.
        const std::size_t start = vcd.find("\n0!\n");
        const std::size_t stamp = vcd.rfind('#', start);
        const long long tick = std::stoll(vcd.substr(stamp + 1));
        const long long bit0 = tick + 260; // 260.4 ticks a bit at 38400
        const std::size_t next = vcd.find("\n#", start) + 1;
        ASSERT_GT(std::stoll(vcd.substr(next + 1)), bit0);
        const std::string flipped =
            vcd.substr(0, next) + "#" + std::to_string(bit0) + "\n1!\n" + vcd.substr(next);
        const realline::Report r = check(flipped);
        EXPECT_EQ(r.faultCount, 1u) << faultsOf(r);
        EXPECT_TRUE(anyFault(r, "TXD: sigrok decoded 07 for byte 0 (06) of the rx at t0 "))
            << faultsOf(r);
    }
    {
        SCOPED_TRACE("the whole capture 2 bits late on the log's clock");
        const std::string origin = "tick 0 is " + std::to_string(ms(5000)) + " ns";
        std::string late = vcd;
        ASSERT_NE(late.find(origin), std::string::npos);
        late.replace(late.find(origin), origin.size(),
                     "tick 0 is " + std::to_string(ms(5000) + 52083) + " ns");
        const realline::Report r = check(late);
        EXPECT_GT(r.faultCount, 0u);
        EXPECT_EQ(r.compared[txd] + r.compared[rxd], 0u);
        EXPECT_TRUE(anyFault(r, "TXD: sigrok decoded no byte within one bit of byte 0 (06) of the "
                                "rx at t0 5001000"))
            << faultsOf(r);
        EXPECT_TRUE(anyFault(r, " bits) off")) << faultsOf(r);
    }
}

} // namespace
