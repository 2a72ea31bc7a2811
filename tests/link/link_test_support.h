// The serial link and the debug port against the board simulator: a fixture
// with a board on an open port, and the board's packet log as text.
#pragma once

#include "platform/platform.h"
#include "serial/uart.h"
#include "sim/board.h"
#include "sim/sim.h"
#include "target/arc.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace linktest {

using Bytes = std::vector<std::uint8_t>;

class Link : public ::testing::Test {
  protected:
    void SetUp() override { sim::resetWorld(); }
    void TearDown() override {
        uartClose();
        EXPECT_TRUE(sim::anomalies().empty()) << sim::anomalies().front();
    }
    // A board on COMn, its port opened and configured by the link, console empty.
    static sim::Board& openBoard(int n = 1) {
        sim::Board& b = sim::attachBoard(n);
        EXPECT_NE(probePort(n), 0);
        sim::clearConsole();
        return b;
    }
};

// A board that carries out every packet and answers none.
inline void silence(sim::Board& b) {
    for (std::uint8_t c = 0; c <= sim::cmd::writeBlock; ++c) {
        b.dropReply(c, 1, true);
    }
}

// Refuses the nth packet of a command at one address with status.
inline void failAt(sim::Board& b, std::uint8_t command, std::uint32_t address, int nth,
                   std::uint8_t status) {
    sim::StatusFault f;
    f.command = command;
    f.address = address;
    f.nth = nth;
    f.status = status;
    b.faults.status.push_back(f);
}

template <typename... Args> std::string fmt(const char* format, Args... args) {
    char text[48];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

// The board's packets, each followed by a blank: "A5=2" writes aux register 5,
// "C1=0" a core register, "M100=1" memory; "rA0", "rC1", "rM100000" read;
// "B100000x16" is a block of 16 words; "baud126" a baud packet. Hex numbers.
inline std::string ops(const sim::Board& b) {
    std::string out;
    for (const sim::Packet& p : b.packets()) {
        const char kind = "MCA?MCA?B"[p.command];
        if (p.command <= sim::cmd::writeAux) {
            out += fmt("%c%x=%x ", kind, p.address, p.value);
        } else if (p.command == sim::cmd::setBaud) {
            out += fmt("baud%u ", p.value);
        } else if (p.command == sim::cmd::writeBlock) {
            out += fmt("B%xx%zu ", p.address, p.data.size() / 4);
        } else {
            out += fmt("r%c%x ", kind, p.address);
        }
    }
    return out;
}

inline std::string repeat(const std::string& piece, int times) {
    std::string out;
    while (times-- > 0) {
        out += piece;
    }
    return out;
}

} // namespace linktest
