// A serial port for the fuzz targets whose board answers with bytes chosen by
// the fuzzer, on a virtual clock. It provides every call of
// platform/platform.h: port 1 exists and takes any setting; each read takes
// one byte of the reply stream that says how many of the requested bytes
// arrive, then those bytes; a short read costs its full time-out. Once the
// stream is used up the board is silent. Console output is formatted and
// dropped; keys come from the reply stream as well (-1 once it is used up).
#pragma once

#include <cstdint>
#include <vector>

namespace fuzzport {

// Starts a run: a fresh clock, the given replies, and a limit of virtual
// time beyond which the run counts as a hang and the target traps.
void begin(std::vector<std::uint8_t> replies, std::uint64_t limitMs);

std::uint64_t nowMs();
// Keys handed out so far.
int keysTaken();
// Raises the limit (a new session of the dialogue started).
void extendLimit(std::uint64_t ms);

} // namespace fuzzport
