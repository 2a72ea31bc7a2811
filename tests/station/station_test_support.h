// Captures for the station judge's tests: whole runs of the program against
// the board model on the virtual clock, as a logic analyzer records the line,
// and the small edits that plant a fault in one.
#pragma once

#include "sim/board.h"
#include "tools/station/verdict.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace stationtest {

// A whole run of the program with the board on COM1 (set up by `setup`): the
// line's capture as VCD text, and the bytes each end put on the line.
struct Run {
    std::string vcd;
    std::vector<std::uint8_t> sent;     // by the PC, in order
    std::vector<std::uint8_t> received; // by the board, in order
};
Run runCapture(const std::function<void(sim::Board&)>& setup = {});

// The first-try update at 256000 and an update that climbs down the whole
// ladder to 38400; each made once per test program.
const Run& updateRun();
const Run& ladderRun();

// The four wires of a VCD in the model's names.
station::Wires wiresOf(const std::string& vcd);
// The wires back as VCD text in the model's timescale.
std::string vcdOf(const station::Wires& wires);

// Edits of a wire's edges, each keeping its level where the edit ends.
// The toggles in [from, to) moved by `by`.
void shift(station::Signal& s, station::Time from, station::Time to, station::Time by);
// The toggles in [from, to) removed: whole frames, an even number of edges.
void erase(station::Signal& s, station::Time from, station::Time to);
// Each burst in [from, to) slowed down by `factor` about its first edge, as
// a UART whose clock runs that much slower sends it.
void slowBursts(station::Signal& s, station::Time from, station::Time to, double factor);
// A byte of 8N1 at `rate` from `at`, where the wire idles high.
void addByte(station::Signal& s, station::Time at, std::uint8_t value, double rate);
// Everything from `end` on left out of the capture.
void cut(station::Wires& w, station::Time end);

// The failures among the verdict's findings whose text holds `what`.
std::vector<station::Finding> failures(const station::Judgement& j, const std::string& what);

// A folder of the test's own under the system's temporary folder.
std::string scratchDir();

} // namespace stationtest
