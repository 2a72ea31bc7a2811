// A logic analyzer's capture as a Value Change Dump: the wires the judge
// needs, each as its level at the start and the times at which it toggles.
//
// Analyzers write VCD in many dialects: any timescale from 1 fs to 100 s,
// identifiers of one or more characters, a time and its changes on one line
// (sigrok) or on several, names in scopes, vectors beside the 1-bit wires.
// The reader takes what it needs: the 1-bit wires asked for by name, their
// levels 0 and 1 (x and z leave a wire as it was).
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace station {

// Capture time in picoseconds from the capture's time 0: a 20 s capture
// needs 2e13 of the 9.2e18 that fit, and no analyzer resolves finer.
using Time = std::int64_t;
constexpr Time picos = 1;
constexpr Time nanos = 1'000;
constexpr Time micros = 1'000'000;
constexpr Time millis = 1'000'000'000;
constexpr Time seconds = 1'000'000'000'000;

constexpr double toMs(Time t) {
    return static_cast<double>(t) / static_cast<double>(millis);
}
constexpr double toSeconds(Time t) {
    return static_cast<double>(t) / static_cast<double>(seconds);
}

// One wire: its level at time 0 and every change after it, in time order.
// The level alternates from one toggle to the next.
struct Signal {
    std::string name;
    bool found = false;
    bool initial = true;
    std::vector<Time> toggles;

    bool levelAt(Time t) const;
};

struct VcdFile {
    Time unit = 0;                  // one step of the file's timescale
    Time end = 0;                   // the last time stamp
    std::vector<std::string> wires; // every 1-bit wire's name, for messages
    std::vector<Signal> signals;    // one per name asked for, in that order
};

// Reads the wires named in `names` (the exact reference name of a 1-bit
// $var, first match in any scope; case does not matter). Returns nothing and
// sets `error` when the text is not a VCD the reader understands.
std::optional<VcdFile> readVcd(std::string_view text, const std::vector<std::string>& names,
                               std::string& error);

// Writes the signals as a VCD with the given timescale unit (a power of ten
// of picoseconds from 1 ps to 1 s); times are rounded to it.
void writeVcd(std::ostream& out, const std::vector<Signal>& signals, Time unit, Time end,
              const std::string& comment = {});

} // namespace station
