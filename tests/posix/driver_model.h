// A model of the kernel's serial drivers under the POSIX port: it stands in
// for platform/posix/port_system.cpp (the calls on the device's descriptor
// and the alarm timer) and pause_posix.cpp (the clock), so that the port's
// own files run unchanged against a driver on a virtual clock.
//
// A port is opened for real on a pseudo-terminal; the model then answers the
// calls on its descriptor as one of these drivers would:
//   uart  the bytes leave at the line rate; TIOCOUTQ is exact, tcflush takes
//         them all back, the drain and the closing wait last the line time.
//   acm   cdc-acm: each write fills one of 16 transfer buffers; TIOCOUTQ
//         counts every busy buffer as full (10 KiB); a flush takes nothing
//         back. From stopsAt on the device takes nothing more: no busy
//         buffer ever completes.
//   chip  a USB chip (FT232R, CP2102): the host's queue feeds the chip's
//         256-byte transmit buffer. From stopsAt on the chip takes every byte
//         and sends none: the host's queue (TIOCOUTQ) is empty, while the
//         drain, which waits for the chip's transmit-empty state, never ends.
// Any of them can vanish at vanishesAt (the cable pulled): writes, drains,
// flushes and TIOCOUTQ fail with EIO, poll reports a hang-up, read the end.
// A close waits for the output for at most the closing wait (30 s).
//
// Signals come as they would from the kernel: the alarm timer's as SI_TIMER
// at its virtual time, others raised at a virtual time or at the start of the
// nth call into the model. Each is raised for real, so the process's own
// masks and handlers decide what it does: a blocked one waits, a handled one
// interrupts the wait it came in (EINTR), an ending one ends the process.
// The scenarios therefore run in forked children; what happened is kept in
// memory shared with the parent.
#pragma once

#include "tests/support/forked_model.h"
#include <cstdint>

namespace drivermodel {

using forkedmodel::ms;
using forkedmodel::Nanos;
using forkedmodel::never;

enum class Driver { uart, acm, chip };

struct Setup {
    Driver driver = Driver::uart;
    std::uint32_t baud = 38400; // ten bits a byte
    Nanos stopsAt = never;
    Nanos vanishesAt = never;
    Nanos closingWait = ms(30'000);
    // The close waits its whole closing wait even with nothing queued, as
    // a driver that asks a chip which never answers.
    bool closeHangs = false;
};

// One call into the model, or a signal it raised.
struct Event {
    Nanos start = 0;
    Nanos end = 0;
    char what[12] = {};  // "write", "drain", "close", "TIOCOUTQ", "signal", ...
    long long value = 0; // the result, or the signal's number
    int error = 0;       // errno of a failed call
};

struct Outcome {
    Nanos now = 0;              // the virtual clock when the process ended
    long long delivered = 0;    // bytes that left the line
    long long thrownAway = 0;   // bytes that a flush took back
    int closes = 0;             // closes of the device
    int timerSets = 0;          // alarms set (and cleared)
    bool waitedForever = false; // a wait that nothing could ever end
};

// Everything back to the start: clock 0, nothing attached, no signals due.
void reset();
// Answers the calls on fd (an open pseudo-terminal) as setup's driver.
void attach(int fd, const Setup& setup);
// Raises signal at virtual time t, or at the start of the nth call (from 1)
// into the model on the attached descriptor or the timer.
void raiseAt(Nanos t, int signal);
void raiseOnCall(int n, int signal);

// A note in the record, at the model's time: not a call, and no signal
// comes with it.
void note(const char* what, long long value);

// Read by the parent after the child ended.
const Outcome& outcome();
int eventCount();
const Event& event(int i);
// The first event named what at or after index from; -1 for none.
int find(const char* what, int from = 0);

// A child that waited for ever ends with this status.
constexpr int waitsForeverStatus = 97;

} // namespace drivermodel
