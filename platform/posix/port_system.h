// What the POSIX serial port asks of the kernel: the calls on its device's
// descriptor and its alarm timer. Every file of the port reaches the device
// through these, and port_system.cpp is nothing but the system calls, so
// that the tests can put a model of a driver in its place
// (tests/posix/driver_model.cpp) and run the port's own code on a virtual
// clock against a UART, cdc-acm, a USB chip that holds its bytes, or a device
// that vanishes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <poll.h>
#include <sys/types.h>

// ioctl, continued after signals.
int portIoctl(int fd, unsigned long request, void* argument);
// Raise or clear modem lines (TIOCM_* bits); 1 on success. Pseudo-terminals
// have none and refuse.
int portSetLines(int fd, int lines);
int portClearLines(int fd, int lines);

// write, read and poll on the descriptor, as the system has them.
ssize_t portSysWrite(int fd, const void* bytes, std::size_t count);
ssize_t portSysRead(int fd, void* buffer, std::size_t count);
int portSysPoll(pollfd* descriptor, int timeoutMs);
// tcdrain: waits until the driver has passed on everything written; no
// time-out of its own, a signal ends it with EINTR.
int portSysDrain(int fd);
// tcflush of the output (TCOFLUSH) or the input (TCIFLUSH).
int portSysFlush(int fd, int queue);
// close. The driver's closing wait for output it still holds happens here,
// and a signal ends it; Linux releases the descriptor also then, and also
// when close reports an error, so it is never retried.
int portSysClose(int fd);

// The alarm timer on the monotonic clock (platClockNs), which raises signal.
bool portSysTimerMake(int signal);
// Fires at atNs, and every repeatNs after it; atNs 0 turns it off.
bool portSysTimerSet(std::uint64_t atNs, std::uint64_t repeatNs);
