// An alarm on the monotonic clock that interrupts a blocking call of the
// port at its deadline. A drain (tcdrain) and a close (the driver's closing
// wait) have no time-out of their own; a signal ends either with EINTR.
#pragma once

#include <chrono>

using PortClock = std::chrono::steady_clock;

// Makes the alarm ready; false when the system has none. Call it before the
// alarm is needed where only async-signal-safe calls are allowed.
bool portAlarmReady();
// Arms the alarm for when (at once, when that has passed), and again every
// few milliseconds after it, in case the first came just before the call
// began to wait. False when there is no alarm. Async-signal-safe once ready.
bool portAlarmArm(PortClock::time_point when);
void portAlarmDisarm();
