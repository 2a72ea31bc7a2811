// An alarm on the monotonic clock (platClockNs) that interrupts a blocking
// call of the port at its deadline. A drain (tcdrain) and a close (the
// driver's closing wait) have no time-out of their own; a signal ends either
// with EINTR.
//
// The signal is the port's only while the alarm is armed: disarming puts the
// process's own handling of SIGALRM and its mask back as they were, and a
// SIGALRM that somebody else sent meanwhile (kill, timeout -s ALRM) is passed
// on to that handling then.
#pragma once

#include <cstdint>

// Makes the alarm ready; false when the system has none. Call it before the
// alarm is needed where only async-signal-safe calls are allowed.
bool portAlarmReady();
// Arms the alarm for whenNs (at once, when that has passed), and again every
// few milliseconds after it, in case the first came just before the call
// began to wait. False when there is no alarm; the alarm is then not armed.
// Async-signal-safe once ready, and may be armed again inside an armed wait
// (the release on interruption): only the outermost disarm gives the signal
// back.
bool portAlarmArm(std::uint64_t whenNs);
void portAlarmDisarm();
