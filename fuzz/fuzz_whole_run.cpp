// The whole program (scan, download with its retries, halt poll, prompts)
// against a board that answers with bytes chosen by the fuzzer; the keys come
// from the same bytes. Every session of the dialogue must end within the
// protocol's bound of virtual time.
#include "app/dialogue.h"
#include "fuzz_port.h"
#include "image/outfile.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// The conversion file is not what is fuzzed here; nothing is written.
int writeOutfile() {
    return 1;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // One session at its worst stays well within an hour of virtual time
    // (five attempts of the whole transfer at 38400 baud with every reply
    // timed out); each key may start another.
    constexpr std::uint64_t sessionLimitMs = 3'600'000;
    fuzzport::begin(std::vector<std::uint8_t>(data, data + size), sessionLimitMs * (1 + size));
    updaterMain();
    return 0;
}
