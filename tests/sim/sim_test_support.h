// Drives the virtual world through the platform calls, as the PC side would.
#pragma once

#include "platform/platform.h"
#include "sim/board.h"
#include "sim/sim.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace simtest {

using Bytes = std::vector<std::uint8_t>;

class World : public ::testing::Test {
  protected:
    void SetUp() override { sim::resetWorld(); }
    void TearDown() override { EXPECT_TRUE(sim::anomalies().empty()) << sim::anomalies().front(); }
};

// Opens COMn at the given rate, 8N1, reads ending after 50 ms between bytes or
// 50 ms per byte plus 10 ms.
inline PortHandle openPort(int n, std::uint32_t baud = 38400) {
    const PortHandle port = platOpenPort(n);
    if (port == platNoPort) {
        return port;
    }
    PortSettings s;
    EXPECT_NE(platReadSettings(port, &s), 0);
    s.BaudRate = baud;
    s.ByteSize = 8;
    s.Parity = platNoParity;
    s.StopBits = platOneStopBit;
    s.fDtrControl = platDtrControlDisable;
    EXPECT_NE(platWriteSettings(port, &s), 0);
    const PortTimeouts t{50, 50, 10, 0, 0};
    EXPECT_NE(platWriteTimeouts(port, &t), 0);
    return port;
}

inline void setRate(PortHandle port, std::uint32_t baud) {
    PortSettings s;
    ASSERT_NE(platReadSettings(port, &s), 0);
    s.BaudRate = baud;
    ASSERT_NE(platWriteSettings(port, &s), 0);
}

// Sends and waits until the last byte has left.
inline void send(PortHandle port, const Bytes& bytes) {
    std::uint32_t written = 0;
    ASSERT_NE(platWrite(port, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &written), 0);
    ASSERT_EQ(written, bytes.size());
    ASSERT_NE(platDrain(port), 0);
}

inline Bytes receive(PortHandle port, std::uint32_t count) {
    Bytes buffer(count);
    std::uint32_t got = 0;
    EXPECT_NE(platRead(port, buffer.data(), count, &got), 0);
    buffer.resize(got);
    return buffer;
}

inline void putLe32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}

inline std::uint32_t le32(const Bytes& b, std::size_t at = 0) {
    return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
           std::uint32_t{b[at + 3]} << 24;
}

inline Bytes readPacket(std::uint8_t command, std::uint32_t address) {
    Bytes p{command};
    putLe32(p, address);
    return p;
}

inline Bytes writePacket(std::uint8_t command, std::uint32_t address, std::uint32_t value) {
    Bytes p = readPacket(command, address);
    putLe32(p, value);
    return p;
}

inline Bytes blockPacket(std::uint32_t address, const Bytes& data) {
    Bytes p = readPacket(sim::cmd::writeBlock, address);
    p.push_back(static_cast<std::uint8_t>(data.size() / 4 - 1));
    p.insert(p.end(), data.begin(), data.end());
    return p;
}

inline Bytes baudPacket(std::uint32_t divisor) {
    const std::uint32_t word = divisor << 6 | sim::cmd::setBaud;
    return {static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8)};
}

// One write exchange: the status byte, or -1 when none came.
inline int write(PortHandle port, std::uint8_t command, std::uint32_t address,
                 std::uint32_t value) {
    send(port, writePacket(command, address, value));
    platSleep(20);
    const Bytes reply = receive(port, 1);
    return reply.empty() ? -1 : reply[0];
}

// One read exchange: the 5-byte reply as it came (possibly short).
inline Bytes read(PortHandle port, std::uint8_t command, std::uint32_t address) {
    send(port, readPacket(command, address));
    return receive(port, 5);
}

inline Bytes okValue(std::uint32_t value) {
    Bytes b;
    putLe32(b, value);
    b.push_back(0);
    return b;
}

inline void pulseDtr(PortHandle port) {
    ASSERT_NE(platSetDtr(port), 0);
    platSleep(50);
    ASSERT_NE(platClearDtr(port), 0);
    platSleep(200);
}

} // namespace simtest
