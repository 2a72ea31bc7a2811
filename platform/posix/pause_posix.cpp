// Pauses on POSIX systems: against an absolute deadline on the monotonic
// clock, so that neither a signal nor a change of the wall clock lengthens or
// shortens them.
#include "platform/platform.h"

#include <cerrno>
#include <cstdint>
#include <time.h> // NOLINT(modernize-deprecated-headers): clock_gettime is POSIX, from <time.h>

void platSleep(std::uint32_t ms) {
    timespec deadline{};
    if (clock_gettime(CLOCK_MONOTONIC, &deadline) != 0) {
        // No monotonic clock: a relative pause, continued after signals.
        timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
        while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
        return;
    }
    deadline.tv_sec += static_cast<time_t>(ms / 1000);
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    // The deadline is absolute, so a signal does not lengthen the pause.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

std::uint64_t platClockNs() {
    timespec now{};
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
        return 0; // Linux always has it
    }
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000 +
           static_cast<std::uint64_t>(now.tv_nsec);
}

void platSleepUntilNs(std::uint64_t ns) {
    timespec until{};
    until.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
    until.tv_nsec = static_cast<long>(ns % 1'000'000'000);
    // An absolute deadline: signals do not lengthen the pause.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}
