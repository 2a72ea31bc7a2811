// Reads a terminal's rates through the kernel's termios2 record, apart from
// the code under test. On a pseudo-terminal master it shows the slave's.
#pragma once

#include <cstdint>

bool probeRates(int fd, std::uint32_t* output, std::uint32_t* input);
