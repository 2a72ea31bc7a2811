// When the bytes written to the port can have left the line: the moment the
// debug port's pauses and reply windows count from.
//
// A UART's driver ends a drain when the last byte has left the wire. A USB
// serial adapter's driver ends it as soon as the adapter has taken the bytes,
// and the adapter then sends them at the line's rate: a 1030-byte block is
// 89 ms on the line at 115200 baud, longer than the pause and the reply
// window after it. So the link keeps its own account, on the port's
// monotonic clock (platClockNs): every write's bytes at the rate and framing
// they were written with, one write after the other, and after each drain it
// waits until they can have crossed. On a UART that moment has passed
// already, and nothing changes.
#pragma once

#include "platform/platform.h"

#include <cstdint>

// The line time of count bytes: a start bit, the data bits, a parity bit
// where there is one, one, one and a half or two stop bits; nanoseconds,
// rounded to the nearest. 0 at a rate of 0.
std::uint64_t lineTimeOf(const PortSettings& settings, std::uint32_t count);

// Nothing of ours is on the line: a port just opened, or bytes given up
// (a drain that ran out of time threw them away).
void lineTimeReset();
// The port took count bytes of a write that began at startNs, at these
// settings: they follow whatever is still on the line.
void lineTimeWritten(const PortSettings& settings, std::uint32_t count, std::uint64_t startNs);
// Waits until every byte written can have left the line.
void lineTimeWait();
