// The debug port's protocol as a capture shows it: the reset pulses on DTR,
// the PC's packets on TXD, the board's replies on RXD, and the session they
// make: the scan, the attempts and the ladder's steps, the image's blocks,
// the core's release and the halt polls.
#pragma once

#include "tools/station/uart.h"
#include "tools/station/vcd.h"

#include <cstdint>
#include <string>
#include <vector>

namespace station {

namespace cmd {
constexpr std::uint8_t writeMem = 0, writeCore = 1, writeAux = 2;
constexpr std::uint8_t readMem = 4, readCore = 5, readAux = 6;
constexpr std::uint8_t writeBlock = 8;
constexpr std::uint8_t setBaud = 3; // bits 0..5 of the baud packet's word
} // namespace cmd

namespace aux {
constexpr std::uint32_t status = 0x0, identity = 0x4, debug = 0x5, icIvic = 0x10;
constexpr std::uint32_t haltBit = 0x02000000; // H of STATUS
} // namespace aux

// The board's UART runs at 32.625 MHz / (divisor + 1) after a baud packet.
constexpr double baudClock = 130'500'000.0 / 4;
// The rates the PC tries, fastest first; the board runs at the last after a
// reset.
constexpr double ladder[] = {256000, 128000, 115200, 57600, 38400};
// The ladder's rate nearest to `rate` (by ratio).
double ladderRateNear(double rate);

enum class Kind { write, read, block, baud, stray };

struct Packet {
    Kind kind = Kind::stray;
    std::uint8_t command = 0;
    std::uint32_t address = 0;
    std::uint32_t value = 0;   // write packets
    std::uint32_t divisor = 0; // baud packets
    std::size_t words = 0;     // block writes
    std::size_t size = 0;      // bytes on TXD
    bool complete = true;      // all its bytes came
    Time start = 0;            // its first byte's start bit
    Time end = 0;              // its last byte's stop bit
    double rate = 0;           // its TXD stretch's rate
    std::size_t phase = 0;     // the reset it follows (0: none before it)

    // What the protocol asks of the PC after the packet: a pause before it
    // reads the reply (20 ms after a write, 30 ms after an IC_IVIC write,
    // 10 ms after a block, 100 ms after a baud packet), and a reply of
    // `expected` bytes within the reply window after the pause.
    Time pause = 0;
    std::size_t expected = 0;
    Time lead = 0;         // the pause before it: 500 ms before a halt poll
    bool poll = false;     // reads STATUS after the core's release
    bool newRate = false;  // the first packet after a baud packet
    bool released = false; // writes STATUS with H clear: starts the core

    std::vector<std::uint8_t> reply;
    Time replyStart = -1; // first reply byte's start bit
    Time replyEnd = -1;   // last reply byte's stop bit
    Time replyGap = 0;    // the longest wait between two reply bytes
    Time next = -1;       // the PC's next act: its next byte or reset (-1: none seen)

    // When the PC's read of the reply ends at the latest: 50 ms per byte and
    // 10 ms after the pause.
    Time windowEnd() const { return end + pause + static_cast<Time>(50 * expected + 10) * millis; }
    bool answered() const { return reply.size() >= expected; }
    std::uint8_t status() const { return reply.empty() ? 0 : reply.back(); }
    std::uint32_t replyValue() const;
};

// DTR raised and dropped. Raised alone it is the PC's reset pulse; raised
// with RTS it is a driver's open, which the program takes back.
struct Pulse {
    Time rise = 0;
    Time fall = -1; // -1: still up at the end of the capture
    bool withRts = false;
    Time nextByte = -1; // the first TXD byte after the fall
};

// From one reset pulse to the next.
struct Phase {
    enum class Role { beforeReset, scan, attempt, ladderStep };
    Role role = Role::attempt;
    int attempt = 0; // which attempt it belongs to (1..)
    Time start = 0;  // the pulse's rise, or the capture's start
    std::size_t firstPacket = 0;
    std::size_t packets = 0;
    double rate = 0; // the rate a baud packet and the identity read after it confirmed
    std::size_t blocks = 0;
    std::size_t blockBytes = 0;
};

// A board byte that no packet asked for, or a byte while DTR or RTS was up.
struct Stray {
    Time at = 0;
    std::uint8_t value = 0;
};

struct Asserted {
    Time at = 0; // the first such byte
    std::size_t count = 0;
    bool txd = true;
    bool dtr = true; // DTR up (else RTS)
};

struct Session {
    std::vector<Pulse> pulses;
    std::vector<Packet> packets;
    std::vector<Phase> phases;
    std::vector<Stray> strays;
    std::vector<Asserted> asserted;
    std::ptrdiff_t halted = -1; // the halt poll that saw the core halted
};

Session analyse(const Decoded& txd, const Decoded& rxd, const Signal& dtr, const Signal& rts);

std::string describe(const Packet& p);

} // namespace station
