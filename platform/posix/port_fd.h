// The descriptor calls that the files of the POSIX serial port share.
#pragma once

// ioctl, continued after signals.
int portIoctl(int fd, unsigned long request, void* argument);
// Raise or clear modem lines (TIOCM_* bits); 1 on success. Pseudo-terminals
// have none and refuse.
int portSetLines(int fd, int lines);
int portClearLines(int fd, int lines);
// Linux releases the descriptor even when close reports an error, so it is
// not retried.
void portCloseFd(int fd);
