// Serial port for POSIX systems: the port's own calls. Pauses:
// pause_posix.cpp.
//
// Port numbers name fixed device files under UPDATER_DEVICE_DIR (normally
// /dev/):
//
//   COM1  .. COM8    ttyS0   .. ttyS7     on-board and plug-in card ports
//   COM9  .. COM24   ttyUSB0 .. ttyUSB15  USB serial adapters
//   COM25 .. COM32   ttyACM0 .. ttyACM7   USB modem-class adapters
//
// A port that somebody else holds is skipped before the device is opened,
// and an opened one is held against others (port_holders.cpp); the settings
// record maps onto termios in port_termios.cpp.
//
// Closing puts back the terminal settings found at the open (every termios
// field, the rate included), leaves exclusive mode, and removes the lock file;
// so does an interruption of the program (platform/guard.h); output that a
// stuck line held back is thrown away first, so that the close does not wait
// for it. The descriptor stays non-blocking; every wait is a poll() against a
// deadline on the monotonic clock, or a drain that a timer on that clock ends.
// Reads end by the read time-outs, writes and drains by the write time-outs,
// as on Windows.
//
// The handle is the file descriptor. Each open port has a record here with
// the last settings record written (for the fields a terminal has no notion
// of), its read time-outs and what closing gives back.
#include "platform/posix/port_posix.h"
#include "platform/guard.h"
#include "platform/platform.h"
#include "platform/posix/baud_linux.h"
#include "platform/posix/port_holders.h"
#include "platform/posix/port_termios.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h> // NOLINT(modernize-deprecated-headers): timer_create is POSIX, from <time.h>
#include <unistd.h>

#ifndef UPDATER_DEVICE_DIR
#define UPDATER_DEVICE_DIR "/dev/"
#endif

namespace {

using Clock = std::chrono::steady_clock;

struct PortFamily {
    const char* device;
    int firstPort;
    int count;
};

constexpr PortFamily portFamilies[] = {
    {"ttyS", 1, 8},
    {"ttyUSB", 9, 16},
    {"ttyACM", 25, 8},
};

constexpr int portCount = 32;

constexpr std::size_t portPathSize = PATH_MAX;

struct PortRecord {
    // What closing gives back: the terminal as found, and our lock file.
    BaudFound found;
    char lockFile[portPathSize]; // empty when the program holds none
    PortSettings settings;
    PortTimeouts timeouts;
    int fd;
    bool inUse;
    bool foundSaved;
    // A write or a drain ran out of time: the line holds bytes back.
    bool stuck;
    // When the last byte written can have left the line at the earliest: its
    // line time at the port's rate after the bytes before it.
    Clock::time_point lineFreeAt;
};

// Read by the release on interruption; changed only under guardHold.
PortRecord portRecords[portCount] = {};

// A drain is a tcdrain, which has no time-out of its own; a timer on the
// monotonic clock interrupts it with this signal at the deadline, and again
// after every further interval, in case the first one came just before the
// drain began to wait.
constexpr int portDrainSignal = SIGALRM;
constexpr long portDrainRepeatNs = 10'000'000;
timer_t portDrainTimer{};
bool portDrainTimerMade = false;

// The longest single deadline kept, so that the arithmetic cannot overflow.
constexpr std::uint64_t portLongestWaitMs = std::uint64_t{1} << 40;
// The largest time-out value, which the read rule treats specially.
constexpr std::uint32_t portMaxTimeout = 0xFFFFFFFF;

PortRecord* portFind(PortHandle port) {
    for (PortRecord& record : portRecords) {
        if (record.inUse && record.fd == port) {
            return &record;
        }
    }
    return nullptr;
}

bool portDevicePath(int n, char* path, std::size_t size) {
    for (const PortFamily& family : portFamilies) {
        if (n >= family.firstPort && n < family.firstPort + family.count) {
            int length = std::snprintf(path, size, "%s%s%d", UPDATER_DEVICE_DIR, family.device,
                                       n - family.firstPort);
            return length > 0 && static_cast<std::size_t>(length) < size;
        }
    }
    return false;
}

// Gives back what the record holds: the terminal's settings, its exclusive
// mode, the device and the lock file. Plain system calls only: this runs in
// the release on interruption as well. Returns close's result.
int portLetGo(PortRecord& record) {
    record.inUse = false;
    // Bytes that a stuck line did not take within their time are of no use to
    // the board any more, and a driver would wait for them at the close (for
    // up to its closing wait, half a minute on most): thrown away first.
    if (record.stuck) {
        (void)tcflush(record.fd, TCOFLUSH);
    }
    if (record.foundSaved) {
        (void)baudRestoreTerminal(record.fd, &record.found);
    }
    // Closing releases the advisory lock; a terminal that was hung up refuses
    // the ioctl.
    (void)portIoctl(record.fd, TIOCNXCL, nullptr);
    const int closed = close(record.fd);
    if (record.lockFile[0] != '\0') {
        (void)unlink(record.lockFile);
        record.lockFile[0] = '\0';
    }
    return closed;
}

void portReleaseAll() {
    for (PortRecord& record : portRecords) {
        if (record.inUse) {
            (void)portLetGo(record);
        }
    }
}

// Holds the checked device for record: lock file, device, exclusive mode,
// and what the terminal looked like. False when somebody else was quicker.
bool portTake(PortRecord& record, const char* path, dev_t device, PortLock lock,
              const char* lockFile) {
    record.lockFile[0] = '\0';
    if (lock == PortLock::free) {
        switch (portTakeLock(lockFile)) {
        case PortLockTaken::held:
            return false;
        case PortLockTaken::ours:
            (void)std::snprintf(record.lockFile, sizeof record.lockFile, "%s", lockFile);
            break;
        case PortLockTaken::none:
            break;
        }
    }
    record.fd = portOpenExclusive(path, device);
    if (record.fd < 0) {
        if (record.lockFile[0] != '\0') {
            (void)unlink(record.lockFile);
        }
        return false;
    }
    // The open raises DTR and RTS; DTR resets the board, so both go back
    // down at once. Pseudo-terminals have no modem lines and refuse.
    (void)portClearLines(record.fd, TIOCM_DTR | TIOCM_RTS);
    record.foundSaved = baudSaveTerminal(record.fd, &record.found) != 0;
    (void)baudRequestLowLatency(record.fd, &record.found);
    record.stuck = false;
    record.lineFreeAt = Clock::now();
    record.inUse = true;
    return true;
}

// The deadline of a write or drain of count bytes, as the time-out record
// counts it: the multiplier per byte plus the constant; false when both are 0,
// which means no limit.
bool portWriteDeadline(const PortTimeouts& limits, std::uint64_t count,
                       Clock::time_point* deadline) {
    std::uint64_t ms = std::uint64_t{limits.WriteTotalTimeoutMultiplier} * count +
                       limits.WriteTotalTimeoutConstant;
    if (limits.WriteTotalTimeoutMultiplier == 0 && limits.WriteTotalTimeoutConstant == 0) {
        return false;
    }
    ms = ms < portLongestWaitMs ? ms : portLongestWaitMs;
    *deadline = Clock::now() + std::chrono::milliseconds(ms);
    return true;
}

// The line time of count bytes at the rate and framing last written: a start
// bit, the data bits, a parity bit where there is one, the stop bits.
Clock::duration portLineTime(const PortSettings& settings, std::uint64_t count) {
    if (settings.BaudRate == 0) {
        return Clock::duration::zero();
    }
    const std::uint64_t bits = 1 + std::uint64_t{settings.ByteSize} +
                               (settings.Parity != platNoParity ? 1 : 0) +
                               (settings.StopBits == platOneStopBit ? 1 : 2);
    return std::chrono::nanoseconds(count * bits * 1'000'000'000 / settings.BaudRate);
}

// Waits until the monotonic clock reaches when.
void portWaitUntil(Clock::time_point when) {
    const auto left = when - Clock::now();
    if (left <= Clock::duration::zero()) {
        return;
    }
    timespec until{};
    if (clock_gettime(CLOCK_MONOTONIC, &until) != 0) {
        return;
    }
    const auto ns = std::chrono::ceil<std::chrono::nanoseconds>(left).count();
    until.tv_sec += static_cast<time_t>(ns / 1'000'000'000);
    until.tv_nsec += static_cast<long>(ns % 1'000'000'000);
    if (until.tv_nsec >= 1'000'000'000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1'000'000'000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

void portOnDrainSignal(int) {}

// Arms the drain timer for deadline; false when there is no timer. The
// handler is set afresh each time, so that nobody else's setting of the
// signal can turn the timer into the end of the program.
bool portArmDrainTimer(Clock::time_point deadline) {
    struct sigaction action {};
    action.sa_handler = portOnDrainSignal;
    (void)sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: the drain must return EINTR
    if (sigaction(portDrainSignal, &action, nullptr) != 0) {
        return false;
    }
    if (!portDrainTimerMade) {
        sigevent event{};
        event.sigev_notify = SIGEV_SIGNAL;
        event.sigev_signo = portDrainSignal;
        if (timer_create(CLOCK_MONOTONIC, &event, &portDrainTimer) != 0) {
            return false;
        }
        portDrainTimerMade = true;
    }
    auto left = std::chrono::ceil<std::chrono::nanoseconds>(deadline - Clock::now()).count();
    left = left > 0 ? left : 1;
    itimerspec when{};
    when.it_value.tv_sec = static_cast<time_t>(left / 1'000'000'000);
    when.it_value.tv_nsec = static_cast<long>(left % 1'000'000'000);
    when.it_interval.tv_nsec = portDrainRepeatNs;
    return timer_settime(portDrainTimer, 0, &when, nullptr) == 0;
}

void portDisarmDrainTimer() {
    const itimerspec off{};
    (void)timer_settime(portDrainTimer, 0, &off, nullptr);
}

// Milliseconds for poll() until deadline, rounded up; -1 for no deadline.
int portPollWait(Clock::time_point deadline, bool hasDeadline) {
    if (!hasDeadline) {
        return -1;
    }
    auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    constexpr decltype(ms) longestPoll = decltype(ms){3600} * 1000;
    return static_cast<int>(ms < longestPoll ? ms : longestPoll);
}

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

void portCloseFd(int fd) {
    (void)close(fd);
}

PortHandle platOpenPort(int n) {
    char path[portPathSize];
    char lockFile[portPathSize];
    if (!portDevicePath(n, path, sizeof path) || !portLockPath(path, lockFile, sizeof lockFile)) {
        return platNoPort;
    }
    portStartsAsking(n);

    PortRecord* record = nullptr;
    for (PortRecord& candidate : portRecords) {
        if (!candidate.inUse) {
            record = &candidate;
            break;
        }
    }
    struct stat device {};
    if (record == nullptr || stat(path, &device) != 0 || !S_ISCHR(device.st_mode) ||
        portIsOwnTerminal(device.st_rdev)) {
        return platNoPort;
    }
    const PortLock lock = portCheckLock(lockFile);
    if (lock == PortLock::held) {
        return platNoPort;
    }
    if (portHeldByOthers(device.st_rdev)) {
        return platNoPort;
    }

    guardAdd(portReleaseAll);
    guardHold();
    const bool taken = portTake(*record, path, device.st_rdev, lock, lockFile);
    guardLetGo();
    if (!taken) {
        return platNoPort;
    }
    record->settings = PortSettings{};
    record->settings.DCBlength = sizeof(PortSettings);
    record->settings.fBinary = 1;
    record->timeouts = PortTimeouts{};
    return record->fd;
}

int platReadSettings(PortHandle port, PortSettings* settings) {
    PortRecord* record = portFind(port);
    if (record == nullptr || settings == nullptr) {
        return 0;
    }
    PortSettings result = record->settings;
    if (portReadTerminalSettings(record->fd, &result) == 0) {
        return 0;
    }
    *settings = result;
    return 1;
}

int platWriteSettings(PortHandle port, const PortSettings* settings) {
    PortRecord* record = portFind(port);
    if (record == nullptr || settings == nullptr) {
        return 0;
    }
    const PortSettings wanted = *settings;
    if (portWriteTerminalSettings(record->fd, wanted) == 0) {
        return 0;
    }
    record->settings = wanted;
    return 1;
}

int platReadTimeouts(PortHandle port, PortTimeouts* timeouts) {
    PortRecord* record = portFind(port);
    if (record == nullptr || timeouts == nullptr) {
        return 0;
    }
    *timeouts = record->timeouts;
    return 1;
}

int platWriteTimeouts(PortHandle port, const PortTimeouts* timeouts) {
    PortRecord* record = portFind(port);
    if (record == nullptr || timeouts == nullptr) {
        return 0;
    }
    record->timeouts = *timeouts;
    return 1;
}

int platSetDtr(PortHandle port) {
    PortRecord* record = portFind(port);
    return record != nullptr ? portSetLines(record->fd, TIOCM_DTR) : 0;
}

int platClearDtr(PortHandle port) {
    PortRecord* record = portFind(port);
    return record != nullptr ? portClearLines(record->fd, TIOCM_DTR) : 0;
}

int platWrite(PortHandle port, const void* bytes, std::uint32_t count, std::uint32_t* written) {
    PortRecord* record = portFind(port);
    if (written != nullptr) {
        *written = 0;
    }
    if (record == nullptr || (bytes == nullptr && count != 0)) {
        return 0;
    }
    Clock::time_point deadline{};
    const bool hasDeadline = portWriteDeadline(record->timeouts, count, &deadline);
    const auto now = Clock::now();
    if (record->lineFreeAt < now) {
        record->lineFreeAt = now;
    }
    const auto* next = static_cast<const unsigned char*>(bytes);
    std::uint32_t done = 0;
    while (done < count) {
        ssize_t result = write(record->fd, next + done, count - done);
        if (result > 0) {
            done += static_cast<std::uint32_t>(result);
            record->lineFreeAt +=
                portLineTime(record->settings, static_cast<std::uint64_t>(result));
            if (written != nullptr) {
                *written = done;
            }
            continue;
        }
        if (result < 0 && errno == EINTR) {
            continue;
        }
        if (result == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            return 0;
        }
        // The output queue is full: wait until it takes more, but not past
        // the bytes' time. A line that takes nothing (a USB adapter whose far
        // end hangs) would hold the write for ever.
        if (hasDeadline && Clock::now() >= deadline) {
            record->stuck = true;
            return 0;
        }
        pollfd waiting{record->fd, POLLOUT, 0};
        int ready = poll(&waiting, 1, portPollWait(deadline, hasDeadline));
        if (ready < 0 && errno != EINTR) {
            return 0;
        }
        if (ready > 0 && (waiting.revents & POLLOUT) == 0) {
            return 0; // POLLERR, POLLHUP or POLLNVAL: the port is gone
        }
    }
    return 1;
}

int platDrain(PortHandle port) {
    PortRecord* record = portFind(port);
    if (record == nullptr) {
        return 0;
    }
    // The deadline counts the bytes still queued, as a write of them would.
    int queued = 0;
    if (portIoctl(record->fd, TIOCOUTQ, &queued) != 0 || queued < 0) {
        queued = 0;
    }
    Clock::time_point deadline{};
    const bool hasDeadline =
        portWriteDeadline(record->timeouts, static_cast<std::uint64_t>(queued), &deadline);
    if (hasDeadline && !portArmDrainTimer(deadline)) {
        return 0;
    }
    int result;
    bool expired = false;
    do {
        result = tcdrain(record->fd);
        expired = result == -1 && errno == EINTR && hasDeadline && Clock::now() >= deadline;
    } while (result == -1 && errno == EINTR && !expired);
    if (hasDeadline) {
        portDisarmDrainTimer();
    }
    if (expired) {
        record->stuck = true;
    }
    if (result != 0) {
        return 0;
    }
    // A USB adapter's driver reports its bytes gone once the adapter has
    // taken them, while the adapter still sends them at the line's rate: the
    // board's reply cannot start before their line time has passed, and the
    // debug port's pauses count from there. (Bytes that a stuck line holds
    // back are not on their way at all.)
    if (!record->stuck) {
        portWaitUntil(record->lineFreeAt);
    }
    return 1;
}

int platDiscardInput(PortHandle port) {
    PortRecord* record = portFind(port);
    if (record == nullptr) {
        return 0;
    }
    return tcflush(record->fd, TCIFLUSH) == 0 ? 1 : 0;
}

int platRead(PortHandle port, void* buffer, std::uint32_t count, std::uint32_t* received) {
    PortRecord* record = portFind(port);
    if (received != nullptr) {
        *received = 0;
    }
    if (record == nullptr || (buffer == nullptr && count != 0)) {
        return 0;
    }
    const PortTimeouts limits = record->timeouts;
    const auto start = Clock::now();
    // As on the Win32 side: a total limit of zero and an interval of zero
    // mean no limit; the largest interval with no total limit means "take
    // what has arrived and return at once".
    std::uint64_t totalMs =
        std::uint64_t{limits.ReadTotalTimeoutMultiplier} * count + limits.ReadTotalTimeoutConstant;
    const bool immediate = limits.ReadIntervalTimeout == portMaxTimeout && totalMs == 0;
    const bool hasTotal = totalMs != 0 || immediate;
    totalMs = totalMs < portLongestWaitMs ? totalMs : portLongestWaitMs;
    const auto totalDeadline = start + std::chrono::milliseconds(totalMs);
    const bool hasInterval = limits.ReadIntervalTimeout != 0 && !immediate;
    const auto interval = std::chrono::milliseconds(limits.ReadIntervalTimeout);

    auto* into = static_cast<unsigned char*>(buffer);
    std::uint32_t got = 0;
    Clock::time_point lastByte{};
    while (got < count) {
        // The interval limit runs only from the first received byte on.
        bool hasDeadline = hasTotal;
        auto deadline = totalDeadline;
        if (hasInterval && got > 0) {
            auto intervalDeadline = lastByte + interval;
            deadline =
                hasDeadline && totalDeadline < intervalDeadline ? totalDeadline : intervalDeadline;
            hasDeadline = true;
        }
        pollfd waiting{record->fd, POLLIN, 0};
        int ready = poll(&waiting, 1, portPollWait(deadline, hasDeadline));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return 0;
        }
        if (ready == 0) {
            if (Clock::now() >= deadline) {
                break; // a time-out: success with the bytes so far
            }
            continue;
        }
        if ((waiting.revents & POLLIN) == 0) {
            return 0; // POLLERR, POLLHUP or POLLNVAL with nothing to read
        }
        ssize_t result = read(record->fd, into + got, count - got);
        if (result > 0) {
            got += static_cast<std::uint32_t>(result);
            lastByte = Clock::now();
            if (received != nullptr) {
                *received = got;
            }
        } else if (result == 0) { // NOLINT(bugprone-branch-clone): two causes, told apart
            return 0;             // end of file: the line was hung up
        } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            return 0;
        }
    }
    return 1;
}

int platClosePort(PortHandle port) {
    PortRecord* record = portFind(port);
    if (record == nullptr) {
        return 0;
    }
    guardHold();
    const int closed = portLetGo(*record);
    guardLetGo();
    return closed == 0 ? 1 : 0;
}
