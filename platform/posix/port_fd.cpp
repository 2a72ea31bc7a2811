// The descriptor calls that the files of the POSIX serial port share.
#include "platform/posix/port_fd.h"

#include <cerrno>
#include <sys/ioctl.h>
#include <unistd.h>

int portIoctl(int fd, unsigned long request, void* argument) {
    int result;
    do {
        result = ioctl(fd, request, argument);
    } while (result == -1 && errno == EINTR);
    return result;
}

int portSetLines(int fd, int lines) {
    return portIoctl(fd, TIOCMBIS, &lines) == 0 ? 1 : 0;
}

int portClearLines(int fd, int lines) {
    return portIoctl(fd, TIOCMBIC, &lines) == 0 ? 1 : 0;
}

void portCloseFd(int fd) {
    (void)close(fd);
}
