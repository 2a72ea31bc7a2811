// Linux-only serial port controls, kept apart from the portable POSIX port
// code: the kernel's termios2 record (needed for rates such as 256000 and
// 128000 that have no speed constant) and the serial driver's low-latency
// flag. The kernel headers that define them cannot share a translation unit
// with <termios.h>, so this header carries no kernel types. Another POSIX
// system replaces baud_linux.cpp with its own file behind the same functions.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads the output rate of terminal fd in bits per second into *rate.
// Returns nonzero on success, 0 on failure.
int baudReadRate(int fd, std::uint32_t* rate);

// Sets input and output rate of terminal fd to rate bits per second, any
// value, with immediate effect. The input rate follows the output rate.
// Returns nonzero when the driver accepted the request, 0 on failure.
int baudWriteRate(int fd, std::uint32_t rate);

// A terminal's whole state as another program left it: every termios field,
// both rates included whatever they are, and whether this program turned the
// driver's low-latency flag on. Opaque here; baudFoundSize bytes are enough on
// every Linux architecture.
constexpr std::size_t baudFoundSize = 128;
struct BaudFound {
    alignas(8) unsigned char bytes[baudFoundSize];
    bool lowLatencySet;
};

// Records the state of terminal fd in *found. Returns nonzero on success.
int baudSaveTerminal(int fd, BaudFound* found);

// Puts the state recorded by baudSaveTerminal back, with immediate effect.
// Only plain system calls: safe in a signal handler. Returns nonzero when the
// driver took it.
int baudRestoreTerminal(int fd, const BaudFound* found);

// Asks the serial driver of fd to pass received bytes on without delay (USB
// adapters otherwise hold them for several milliseconds), and notes in *found
// when it was this request that turned the flag on, so that
// baudRestoreTerminal turns it off again. Returns nonzero when the flag is on;
// devices without the control refuse it.
int baudRequestLowLatency(int fd, BaudFound* found);
