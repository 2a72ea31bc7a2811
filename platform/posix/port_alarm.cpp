// The port's alarm: a POSIX timer on CLOCK_MONOTONIC that raises SIGALRM,
// caught for as long as the alarm is armed.
#include "platform/posix/port_alarm.h"

#include "platform/posix/port_system.h"

#include <csignal>

namespace {

constexpr int portAlarmSignal = SIGALRM;
constexpr std::uint64_t portAlarmRepeatNs = 10'000'000;
bool portAlarmMade = false;

// How deep the alarm is armed, and what the process had before the outermost
// arm: the signal's handling and whether it was blocked.
volatile std::sig_atomic_t portAlarmDepth = 0;
struct sigaction portAlarmBefore {};
bool portAlarmWasBlocked = false;
// A SIGALRM came that the timer did not send.
volatile std::sig_atomic_t portAlarmForeign = 0;

void portOnAlarm(int, siginfo_t* info, void*) {
    if (info == nullptr || info->si_code != SI_TIMER) {
        portAlarmForeign = 1;
    }
}

sigset_t portAlarmOnly() {
    sigset_t only;
    (void)sigemptyset(&only);
    (void)sigaddset(&only, portAlarmSignal);
    return only;
}

// Takes the signal: our handler, unblocked (a parent may have started the
// program with it blocked). Every other signal waits while the handler runs:
// an ending signal that came inside it would run its release with the alarm
// blocked, and a close could then wait out the driver's closing wait.
bool portAlarmTake() {
    // Before the unblocking: a SIGALRM that was pending comes with it, and is
    // somebody else's.
    portAlarmForeign = 0;
    struct sigaction action {};
    action.sa_sigaction = portOnAlarm;
    (void)sigfillset(&action.sa_mask);
    action.sa_flags = SA_SIGINFO; // no SA_RESTART: the call must return EINTR
    if (sigaction(portAlarmSignal, &action, &portAlarmBefore) != 0) {
        return false;
    }
    const sigset_t only = portAlarmOnly();
    sigset_t maskBefore;
    if (sigprocmask(SIG_UNBLOCK, &only, &maskBefore) != 0) {
        (void)sigaction(portAlarmSignal, &portAlarmBefore, nullptr);
        return false;
    }
    portAlarmWasBlocked = sigismember(&maskBefore, portAlarmSignal) == 1;
    return true;
}

// Gives the signal back as it was taken. A signal of the timer may still be
// pending: setting it to be ignored discards it. Somebody else's is raised
// again, for the process's own handling.
void portAlarmGiveBack() {
    const sigset_t only = portAlarmOnly();
    (void)sigprocmask(SIG_BLOCK, &only, nullptr);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    (void)sigemptyset(&ignore.sa_mask);
    (void)sigaction(portAlarmSignal, &ignore, nullptr);
    (void)sigaction(portAlarmSignal, &portAlarmBefore, nullptr);
    if (portAlarmForeign != 0) {
        portAlarmForeign = 0;
        (void)raise(portAlarmSignal);
    }
    if (!portAlarmWasBlocked) {
        (void)sigprocmask(SIG_UNBLOCK, &only, nullptr);
    }
}

} // namespace

bool portAlarmReady() {
    if (!portAlarmMade) {
        portAlarmMade = portSysTimerMake(portAlarmSignal);
    }
    return portAlarmMade;
}

bool portAlarmArm(std::uint64_t whenNs) {
    if (!portAlarmMade || (portAlarmDepth == 0 && !portAlarmTake())) {
        return false;
    }
    portAlarmDepth = portAlarmDepth + 1;
    if (!portSysTimerSet(whenNs != 0 ? whenNs : 1, portAlarmRepeatNs)) {
        portAlarmDisarm();
        return false;
    }
    return true;
}

void portAlarmDisarm() {
    if (portAlarmDepth == 0) {
        return;
    }
    (void)portSysTimerSet(0, 0);
    portAlarmDepth = portAlarmDepth - 1;
    if (portAlarmDepth == 0) {
        portAlarmGiveBack();
    }
}
