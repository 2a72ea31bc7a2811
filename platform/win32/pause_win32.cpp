// Pauses on Windows: Sleep, with the system timer raised to 1 ms resolution
// for the life of the program. The debug port sleeps 10 ms after each of up
// to a thousand blocks, and at the default tick of 15.6 ms every one of those
// pauses would last 15.6 ms.
#include "platform/platform.h"

#include <cstdint>
#include <cstdlib>
#include <windows.h>

namespace {

// The pause resolution asked of the system timer, in milliseconds.
constexpr UINT pauseTimerResolutionMs = 1;

// Whether timeBeginPeriod was called (and timeEndPeriod is due at exit).
bool pauseTimerRaised = false;
bool pauseTimerTried = false;

void pauseRestoreTimer() {
    if (pauseTimerRaised) {
        (void)timeEndPeriod(pauseTimerResolutionMs);
        pauseTimerRaised = false;
    }
}

void pauseRaiseTimer() {
    if (pauseTimerTried) {
        return;
    }
    pauseTimerTried = true;
    if (timeBeginPeriod(pauseTimerResolutionMs) != TIMERR_NOERROR) {
        return; // pauses keep the default resolution
    }
    pauseTimerRaised = true;
    if (std::atexit(pauseRestoreTimer) != 0) {
        // Windows drops the request when the process ends in any case.
        pauseRestoreTimer();
    }
}

} // namespace

void platSleep(std::uint32_t ms) {
    pauseRaiseTimer();
    // INFINITE (all bits set) would never return.
    Sleep(ms < INFINITE ? ms : INFINITE - 1);
}

namespace {

// timeGetTime's milliseconds, which wrap after 49.7 days, carried on.
std::uint64_t pauseClockMs = 0;
DWORD pauseClockLast = 0;
bool pauseClockStarted = false;

} // namespace

std::uint64_t platClockNs() {
    pauseRaiseTimer(); // the clock's resolution follows the system timer's
    const DWORD now = timeGetTime();
    if (!pauseClockStarted) {
        pauseClockStarted = true;
        pauseClockLast = now;
    }
    pauseClockMs += static_cast<DWORD>(now - pauseClockLast);
    pauseClockLast = now;
    return pauseClockMs * 1'000'000;
}

void platSleepUntilNs(std::uint64_t ns) {
    // Whole milliseconds, rounded up: the clock counts whole ones, so the
    // pause never ends before its moment.
    for (std::uint64_t now = platClockNs(); now < ns; now = platClockNs()) {
        const std::uint64_t left = (ns - now + 999'999) / 1'000'000;
        platSleep(left < INFINITE - 1 ? static_cast<std::uint32_t>(left) : INFINITE - 1);
    }
}
