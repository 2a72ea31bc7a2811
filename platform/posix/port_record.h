// What the POSIX serial port keeps for each open port, shared by its files:
// port_posix.cpp opens, sets up, reads and closes; port_output.cpp writes,
// drains and bounds what a close waits for.
#pragma once

#include "platform/platform.h"
#include "platform/posix/baud_linux.h"

#include <climits>
#include <cstdint>

constexpr std::size_t portPathSize = PATH_MAX;

// The handle is the file descriptor. The record keeps the last settings
// record written (for the fields a terminal has no notion of), the time-outs
// and what closing gives back.
//
// Read by the release on interruption, a signal handler: taken and given back
// under guardHold; while the port is open, its transfer state (stuck,
// writing, pending) is set before what it describes can happen and
// cleared after, so that the release never takes a port that holds bytes
// for an idle one.
struct PortRecord {
    // What closing gives back: the terminal as found, and our lock file.
    BaudFound found;
    char lockFile[portPathSize]; // empty when the program holds none
    PortSettings settings;
    PortTimeouts timeouts;
    int fd;
    bool inUse;
    bool foundSaved;
    // A write or a drain ran out of time or failed, and no drain has ended in
    // time since: the line holds bytes back.
    bool stuck;
    // A write is under way: bytes may be on their way that pending does not
    // count yet.
    bool writing;
    // The bytes written since the last drain ended, and when the first of
    // them was written (platClockNs): what the next drain's deadline counts.
    std::uint64_t pending;
    std::uint64_t pendingSinceNs;
};

// The open port behind a handle; nullptr for none.
PortRecord* portFind(PortHandle port);

// Milliseconds for poll() until deadlineNs, rounded up; -1 for no deadline.
int portPollWait(std::uint64_t deadlineNs, bool hasDeadline);

// The output side (port_output.cpp).
//
// Whether the line may hold bytes that are of no use any more: a stopped
// line, or a transfer that an interruption cut short.
bool portOutputHeldBack(const PortRecord& record);
// Closes the descriptor with the driver's closing wait bounded: within the
// alarm's 10 ms repeat when heldBack (the output is thrown away first),
// otherwise by a short bound after a drain that ended. Async-signal-safe. Returns close's result.
int portCloseBounded(PortRecord& record, bool heldBack);
// Before a close: a healthy line's output, drained by its deadline. Not in
// a signal handler.
void portSettleOutput(PortRecord& record);
