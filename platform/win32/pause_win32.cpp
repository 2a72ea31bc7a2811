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
