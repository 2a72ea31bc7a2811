// The kernel's calls of the POSIX serial port: see port_system.h.
#include "platform/posix/port_system.h"

#include <cerrno>
#include <csignal>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h> // NOLINT(modernize-deprecated-headers): timer_create is POSIX, from <time.h>
#include <unistd.h>

namespace {

timer_t portTimer{};

} // namespace

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

ssize_t portSysWrite(int fd, const void* bytes, std::size_t count) {
    return write(fd, bytes, count);
}

ssize_t portSysRead(int fd, void* buffer, std::size_t count) {
    return read(fd, buffer, count);
}

int portSysPoll(pollfd* descriptor, int timeoutMs) {
    return poll(descriptor, 1, timeoutMs);
}

int portSysDrain(int fd) {
    return tcdrain(fd);
}

int portSysFlush(int fd, int queue) {
    return tcflush(fd, queue);
}

int portSysClose(int fd) {
    return close(fd);
}

bool portSysTimerMake(int signal) {
    sigevent event{};
    event.sigev_notify = SIGEV_SIGNAL;
    event.sigev_signo = signal;
    return timer_create(CLOCK_MONOTONIC, &event, &portTimer) == 0;
}

bool portSysTimerSet(std::uint64_t atNs, std::uint64_t repeatNs) {
    itimerspec at{};
    at.it_value.tv_sec = static_cast<time_t>(atNs / 1'000'000'000);
    at.it_value.tv_nsec = static_cast<long>(atNs % 1'000'000'000);
    if (atNs != 0) {
        at.it_interval.tv_sec = static_cast<time_t>(repeatNs / 1'000'000'000);
        at.it_interval.tv_nsec = static_cast<long>(repeatNs % 1'000'000'000);
    }
    return timer_settime(portTimer, atNs != 0 ? TIMER_ABSTIME : 0, &at, nullptr) == 0;
}
