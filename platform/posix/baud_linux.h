// Linux-only serial port controls, kept apart from the portable POSIX port
// code: the kernel's termios2 record (needed for rates such as 256000 and
// 128000 that have no speed constant) and the serial driver's low-latency
// flag. The kernel headers that define them cannot share a translation unit
// with <termios.h>, so this header carries no kernel types. Another POSIX
// system replaces baud_linux.cpp with its own file behind the same functions.
#pragma once

#include <cstdint>

// Reads the output rate of terminal fd in bits per second into *rate.
// Returns nonzero on success, 0 on failure.
int baudReadRate(int fd, std::uint32_t* rate);

// Sets input and output rate of terminal fd to rate bits per second, any
// value, with immediate effect. The input rate follows the output rate.
// Returns nonzero when the driver accepted the request, 0 on failure.
int baudWriteRate(int fd, std::uint32_t rate);

// Asks the serial driver of fd to pass received bytes on without delay (USB
// adapters otherwise hold them for several milliseconds). Returns nonzero
// when the driver took the request; devices without the control refuse it.
int baudRequestLowLatency(int fd);
