// A station's capture from a file: a VCD from any analyzer, or a sigrok
// session file (.sr), which sigrok-cli turns into a VCD for the reader.
#pragma once

#include "tools/station/report.h"
#include "tools/station/verdict.h"

#include <string>

namespace station {

struct Channels {
    // The names the analyzer gave the wires; rts "none" when not recorded.
    std::string txd = "TXD", rxd = "RXD", dtr = "DTR", rts = "RTS";
    // Recorded on an active-low pin (a TTL adapter's DTR#): low is asserted.
    bool dtrActiveLow = false, rtsActiveLow = false;
};

// Fills wires and source; false with `error` set when the file cannot be
// read or lacks a wire.
bool loadCapture(const std::string& path, const Channels& channels, Wires& wires, Source& source,
                 std::string& error);

// The VCD text of a sigrok session file, made by sigrok-cli.
bool sigrokToVcd(const std::string& path, std::string& vcd, std::string& error);

} // namespace station
