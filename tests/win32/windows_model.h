// A model of the Windows serial calls and of the console's Ctrl-C, on a
// virtual clock, under the Windows port's own files compiled for the build
// machine (include/windows.h declares what they call).
//
// A device on COMn has an output queue that its line empties at the line
// rate. WriteFile puts bytes into the queue as room comes, and returns when
// it has taken them all, at its write time-out with fewer (TRUE), or when a
// purge aborts it (FALSE); ClearCommError tells the queue; PurgeComm aborts
// and clears; FlushFileBuffers waits until the queue is empty. Faults:
//   stopsAt        from then the line takes nothing: the queue fills and stays
//   statusFailsAt  from then ClearCommError fails (the adapter pulled)
//   chipHoldsAt    from then a USB chip takes every byte and sends none, as
//                  under Wine: the queue reads empty, and FlushFileBuffers
//                  (the terminal's drain) never returns
//   shortWrites    WriteFile returns as soon as it took some bytes and the
//                  queue is full (Wine hands a terminal's partial writes on)
//   failSetTimeouts  the nth SetCommTimeouts fails
//
// Ctrl-C comes at a virtual time or at the start of the nth call. The
// console's control thread is modelled in the program's thread: the handler
// runs at that moment, or, while the program's thread holds the guard's
// critical section, the moment that thread leaves it. When the handler has
// returned, the process ends: the program's thread may still make calls that
// do not wait (each is checked), and its next wait, or its next attempt to
// take the critical section that the handler keeps, throws ProcessEnded.
//
// Each scenario runs in a forked child (the port's and the guard's state
// last for the process); the record is kept in memory shared with the parent.
#pragma once

#include <windows.h>

#include "tests/support/forked_model.h"
#include <cstdint>

namespace winmodel {

using forkedmodel::ms;
using forkedmodel::Nanos;
using forkedmodel::never;

struct Device {
    std::uint32_t baud = 38400;
    std::uint32_t queueSize = 4096;
    bool shortWrites = false;
    Nanos stopsAt = never;
    Nanos statusFailsAt = never;
    Nanos chipHoldsAt = never;
    int failSetTimeouts = 0;
};

// The process ended (the default handler after Ctrl-C) while the program's
// thread waited or tried to.
struct ProcessEnded {};
// A wait that nothing could end.
struct WaitsForever {};

struct Call {
    Nanos start = 0;
    Nanos end = 0;
    char what[20] = {};
    bool byRelease = false; // made by the Ctrl-C handler
    bool onClosed = false;  // on a handle that was closed: never allowed
    DWORD flags = 0;        // PurgeComm's flags
    long long value = 0;    // the result; WriteFile: the bytes taken
    COMMTIMEOUTS limits{};  // WriteFile: the time-outs in effect
};

void reset();
void attach(int com, const Device& device);
void ctrlCAt(Nanos t);
void ctrlCOnCall(int n);
// A note in the record at the model's time, not a call.
void note(const char* what, long long value);

Nanos now();
bool ended();
Nanos endedAt();
Nanos ctrlCAtTime(); // when the Ctrl-C came; never when it did not
long long delivered();
long long purged();
int callCount();
const Call& call(int i);
int find(const char* what, int from = 0);
bool waitedForever();
void setWaitedForever();

} // namespace winmodel
