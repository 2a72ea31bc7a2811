// The line's account of the bytes written: see line_time.h.
#include "serial/line_time.h"

#include <limits>

namespace {

// When the last byte written can have left the line at the earliest.
std::uint64_t lineFreeAtNs = 0;

constexpr std::uint64_t lineNever = std::numeric_limits<std::uint64_t>::max();

// A byte's length in half bits: the stop bits may be one and a half.
std::uint64_t lineHalfBitsPerByte(const PortSettings& s) {
    const std::uint64_t stopHalfBits = s.StopBits == 0 ? 2 : s.StopBits == 1 ? 3 : 4;
    return 2 * (1 + std::uint64_t{s.ByteSize}) + (s.Parity != platNoParity ? 2 : 0) + stopHalfBits;
}

} // namespace

std::uint64_t lineTimeOf(const PortSettings& settings, std::uint32_t count) {
    const std::uint64_t rate = settings.BaudRate;
    if (rate == 0 || count == 0) {
        return 0;
    }
    // count * halfBits * 10^9 / (2 * rate), rounded, without overflow: the
    // whole nanoseconds per byte and the remainder apart.
    const std::uint64_t perByte = lineHalfBitsPerByte(settings) * 500'000'000;
    const std::uint64_t whole = perByte / rate;
    const std::uint64_t rest = perByte % rate;
    if (whole != 0 && count > lineNever / whole) { // centuries: saturated
        return lineNever;
    }
    // count and rest are below 2^32: their product fits.
    const std::uint64_t fraction = (std::uint64_t{count} * rest + rate / 2) / rate;
    return std::uint64_t{count} * whole + fraction;
}

void lineTimeReset() {
    lineFreeAtNs = platClockNs();
}

void lineTimeWritten(const PortSettings& settings, std::uint32_t count, std::uint64_t startNs) {
    const std::uint64_t start = lineFreeAtNs > startNs ? lineFreeAtNs : startNs;
    const std::uint64_t line = lineTimeOf(settings, count);
    lineFreeAtNs = line < lineNever - start ? start + line : lineNever;
}

void lineTimeWait() {
    if (lineFreeAtNs > platClockNs()) {
        platSleepUntilNs(lineFreeAtNs);
    }
}
