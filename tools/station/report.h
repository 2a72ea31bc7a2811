// The verdict as text for the station engineer: what the capture holds, the
// rates, the resets, the session, the findings with their times in the
// capture, and the verdict.
#pragma once

#include "tools/station/verdict.h"

#include <ostream>
#include <string>

namespace station {

struct Source {
    std::string path;
    std::string format;   // "VCD" or "sigrok session"
    Time unit = 0;        // the file's time step
    std::string channels; // how the wires were found, e.g. "TXD=D0 RXD=D1 ..."
};

// With `packets`, every packet and its reply, one a line.
void writeReport(std::ostream& out, const Source& source, const Judgement& j, bool packets);

// Seconds in the capture, to the microsecond.
std::string at(Time t);

} // namespace station
