// Pictures of a capture as self-contained SVG text: the reset pulse and the
// exchange after it, the rates over a whole update, and the attempts and the
// wires' activity over a long stretch of time (a stall).
#pragma once

#include "tools/station/verdict.h"

#include <string>

namespace station {

// The four wires from just before the nth reset pulse (from 1) to the end of
// the first exchange after it, every byte labelled.
std::string drawReset(const Wires& wires, const Judgement& j, int nth = 1);

// Each stretch's measured rate against time, the ladder's rates as guides,
// the blocks marked along the time axis.
std::string drawRates(const Judgement& j);

// The attempts, the resets and each wire's activity (bytes per time slice)
// from `from` to `to`.
std::string drawActivity(const Wires& wires, const Judgement& j, Time from, Time to);

} // namespace station
