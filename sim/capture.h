// The serial line as a logic analyzer records it: TXD (PC to board), RXD
// (board to PC), DTR and RTS, written as a Value Change Dump (VCD), the
// format that sigrok and most analyzers read and write.
//
// Every byte is drawn bit by bit where the model put it on the line: the
// start bit (low), the data bits least significant first, the parity bit,
// one, one and a half or two stop bits (high), at the byte's own rate; the
// line idles high. DTR and RTS are 1 while asserted (a logic analyzer on a
// TTL adapter's DTR# pin sees them inverted). Bytes that a model hands over
// at one instant (no line time) follow one another as a UART sends them. One
// tick is 100 ns: a bit at
// 256000 baud is 39 ticks, so an edge lies within 1.3 % of a bit of where the
// model put it, while a 20 s update stays a VCD that sigrok decodes in under
// a minute.
//
// The header names the clock: tick 0 is `origin` nanoseconds on the clock of
// the model's event log. It also lists each wire's stretches, the runs of
// bytes at one rate ("$comment stretch TXD <first tick> <last tick> <rate>
// $end"), so that a decoder that takes one rate per run can be given each.
#pragma once

#include "sim/sim.h"

#include <cstdint>
#include <deque>
#include <ostream>
#include <string>
#include <vector>

namespace sim {

// A byte's framing: data bits (5 to 8), parity (0 none, 1 odd, 2 even,
// 3 mark, 4 space) and stop bits in halves (2, 3 or 4).
struct Framing {
    std::uint8_t dataBits = 8;
    std::uint8_t parity = 0;
    std::uint8_t stopHalfBits = 2;
};

enum class Wire { txd, rxd };

class LineCapture {
  public:
    static constexpr Nanos tickNs = 100;

    // origin: the time of tick 0 on the owner's clock; what: a line for the
    // header saying what made the capture and on which clock.
    explicit LineCapture(Nanos origin = 0, std::string what = "virtual clock");

    // The PC's modem lines from time t on.
    void lines(Nanos t, bool dtr, bool rts);
    // A byte on the wire from `start`, at `rate` baud.
    void byte(Wire wire, Nanos start, std::uint8_t value, double rate, Framing framing = {});

    std::size_t bytes(Wire wire) const;
    // Writes the VCD; the dump ends one tick after the last change, or at
    // `until` when that is later.
    void write(std::ostream& out, Nanos until = 0) const;
    bool writeFile(const std::string& path, Nanos until = 0) const;

  private:
    struct Byte {
        Nanos start;
        double rate;
        std::uint8_t value;
        Framing framing;
    };
    struct Lines {
        Nanos t;
        bool dtr;
        bool rts;
    };

    Nanos origin_;
    std::string what_;
    // A deque, not a vector: the model draws each byte as it crosses, and a
    // vector's growth copies all bytes so far at once, 6 MB halfway through
    // an update, which held usb-board's replies back by up to 76 ms on an
    // emulated processor.
    std::deque<Byte> wires_[2];
    std::vector<Lines> lines_;
};

} // namespace sim
