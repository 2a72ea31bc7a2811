// The port's alarm: a POSIX timer on CLOCK_MONOTONIC, the clock of
// std::chrono::steady_clock, that raises SIGALRM.
#include "platform/posix/port_alarm.h"

#include <csignal>
#include <time.h> // NOLINT(modernize-deprecated-headers): timer_create is POSIX, from <time.h>

namespace {

constexpr int portAlarmSignal = SIGALRM;
constexpr long portAlarmRepeatNs = 10'000'000;
timer_t portAlarmTimer{};
bool portAlarmMade = false;

void portOnAlarm(int) {}

} // namespace

bool portAlarmReady() {
    if (portAlarmMade) {
        return true;
    }
    sigevent event{};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = portAlarmSignal;
    portAlarmMade = timer_create(CLOCK_MONOTONIC, &event, &portAlarmTimer) == 0;
    return portAlarmMade;
}

bool portAlarmArm(PortClock::time_point when) {
    if (!portAlarmMade) {
        return false;
    }
    // The handler is set afresh each time, so that nobody else's setting of
    // the signal can turn the alarm into the end of the program. Every other
    // signal waits while it runs: an ending signal that came inside it would
    // run its release with the alarm blocked, and a close could then wait
    // out the driver's closing wait.
    struct sigaction action {};
    action.sa_handler = portOnAlarm;
    (void)sigfillset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: the call must return EINTR
    if (sigaction(portAlarmSignal, &action, nullptr) != 0) {
        return false;
    }
    // A parent may have started the program with the signal blocked, which
    // the program inherits.
    sigset_t alarmOnly;
    (void)sigemptyset(&alarmOnly);
    (void)sigaddset(&alarmOnly, portAlarmSignal);
    if (sigprocmask(SIG_UNBLOCK, &alarmOnly, nullptr) != 0) {
        return false;
    }
    auto left = std::chrono::ceil<std::chrono::nanoseconds>(when - PortClock::now()).count();
    left = left > 0 ? left : 1;
    itimerspec at{};
    at.it_value.tv_sec = static_cast<time_t>(left / 1'000'000'000);
    at.it_value.tv_nsec = static_cast<long>(left % 1'000'000'000);
    at.it_interval.tv_nsec = portAlarmRepeatNs;
    return timer_settime(portAlarmTimer, 0, &at, nullptr) == 0;
}

void portAlarmDisarm() {
    if (portAlarmMade) {
        const itimerspec off{};
        (void)timer_settime(portAlarmTimer, 0, &off, nullptr);
    }
}
