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
// record maps onto termios in port_termios.cpp; the descriptor calls they all
// use are in port_fd.cpp.
//
// Closing puts back the terminal settings found at the open (every termios
// field, the rate included), leaves exclusive mode, and removes the lock file;
// so does an interruption of the program (platform/guard.h). The descriptor
// stays non-blocking; every wait is a poll() against a deadline on the
// monotonic clock, or a drain or close that the port's alarm on that clock
// ends (port_alarm.cpp). Reads end by the read time-outs, writes and drains by
// the write time-outs, as on Windows.
//
// A USB serial adapter whose far end hangs takes no more bytes, and its
// driver's account of what it holds is no measure of time: cdc-acm reports
// each busy transfer buffer as full (10 KiB at high speed), so a deadline
// counted from TIOCOUTQ grew by ten seconds with every stuck block. The
// deadlines therefore count the bytes written since the last drain ended,
// from the first of those writes. A drain that runs out of time throws away
// what the driver still takes back (tcflush) and leaves the port usable; and
// the close of a port whose line held bytes back is interrupted at once,
// because the driver would wait for them for its closing wait (half a minute
// on most; a setting of the device that others rely on, left alone).
//
// The handle is the file descriptor. Each open port has a record here with
// the last settings record written (for the fields a terminal has no notion
// of), its read time-outs and what closing gives back.
#include "platform/guard.h"
#include "platform/platform.h"
#include "platform/posix/baud_linux.h"
#include "platform/posix/port_alarm.h"
#include "platform/posix/port_fd.h"
#include "platform/posix/port_holders.h"
#include "platform/posix/port_termios.h"
#include "platform/write_limit.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#ifndef UPDATER_DEVICE_DIR
#define UPDATER_DEVICE_DIR "/dev/"
#endif

namespace {

using Clock = PortClock;

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
    // A write or a drain ran out of time and no drain has ended in time
    // since: the line holds bytes back.
    bool stuck;
    // A write is under way: bytes may be on their way that pending does not
    // count yet.
    bool writing;
    // The bytes written since the last drain ended, and when the first of
    // them was written: what the next drain's deadline counts.
    std::uint64_t pending;
    Clock::time_point pendingSince;
};

// Read by the release on interruption. Taken and given back under guardHold;
// while the port is open, its transfer state (stuck, writing, pending) is
// set before what it describes can happen and cleared after, so that the
// release never takes a port that holds bytes for an idle one.
PortRecord portRecords[portCount] = {};

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
// mode, the device and the lock file. Async-signal-safe calls only: this runs
// in the release on interruption as well. Returns close's result.
int portLetGo(PortRecord& record) {
    record.inUse = false;
    // Bytes that a stuck line did not take within their time, or that an
    // interruption left on their way, are of no use to the board any more;
    // a driver would wait for them at the close, for up to its closing wait.
    // What it takes back is thrown away, and the alarm ends the wait for the
    // rest (cdc-acm takes back none of its busy transfers): the close then
    // takes the port down at once.
    const bool heldBack = record.stuck || record.writing || record.pending > 0;
    if (heldBack) {
        (void)tcflush(record.fd, TCOFLUSH);
    }
    if (record.foundSaved) {
        (void)baudRestoreTerminal(record.fd, &record.found);
    }
    // Closing releases the advisory lock; a terminal that was hung up refuses
    // the ioctl.
    (void)portIoctl(record.fd, TIOCNXCL, nullptr);
    const bool alarmed = heldBack && portAlarmArm(PortClock::now());
    // Linux releases the descriptor also when a signal ends the close.
    int closed = close(record.fd);
    if (closed != 0 && errno == EINTR) {
        closed = 0;
    }
    if (alarmed) {
        portAlarmDisarm();
    }
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
    record.writing = false;
    record.pending = 0;
    record.pendingSince = Clock::now();
    record.inUse = true;
    return true;
}

// The deadline of a write or drain of count bytes from start, as the
// time-out record counts it: the multiplier per byte plus the constant; false
// when both are 0, which means no limit.
bool portWriteDeadline(const PortTimeouts& limits, std::uint64_t count, Clock::time_point start,
                       Clock::time_point* deadline) {
    std::uint64_t ms = 0;
    if (!portWriteLimitMs(limits.WriteTotalTimeoutMultiplier, limits.WriteTotalTimeoutConstant,
                          count, &ms)) {
        return false;
    }
    *deadline = start + std::chrono::milliseconds(ms);
    return true;
}

// A drain never ends sooner than this after it began, also when its bytes'
// deadline has passed already: the driver gets a moment to say that it holds
// nothing.
constexpr auto portDrainLeast = std::chrono::milliseconds(1);

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

// Writes count bytes, waiting for room until the deadline; counts what the
// port took as pending.
int portWriteAll(PortRecord& record, const void* bytes, std::uint32_t count, std::uint32_t* written,
                 Clock::time_point deadline, bool hasDeadline) {
    const auto* next = static_cast<const unsigned char*>(bytes);
    std::uint32_t done = 0;
    while (done < count) {
        ssize_t result = write(record.fd, next + done, count - done);
        if (result > 0) {
            done += static_cast<std::uint32_t>(result);
            record.pending += static_cast<std::uint64_t>(result);
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
            record.stuck = true;
            return 0;
        }
        pollfd waiting{record.fd, POLLOUT, 0};
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

} // namespace

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

    // The alarm that ends a drain or a close is made now: the release on
    // interruption may need it, where nothing can be made any more.
    if (!portAlarmReady()) {
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
    const Clock::time_point start = Clock::now();
    Clock::time_point deadline{};
    const bool hasDeadline = portWriteDeadline(record->timeouts, count, start, &deadline);
    if (record->pending == 0) {
        record->pendingSince = start;
    }
    record->writing = true;
    const int result = portWriteAll(*record, bytes, count, written, deadline, hasDeadline);
    record->writing = false;
    return result;
}

int platDrain(PortHandle port) {
    PortRecord* record = portFind(port);
    if (record == nullptr) {
        return 0;
    }
    const Clock::time_point now = Clock::now();
    Clock::time_point deadline{};
    const bool hasDeadline =
        portWriteDeadline(record->timeouts, record->pending,
                          record->pending > 0 ? record->pendingSince : now, &deadline);
    if (hasDeadline && deadline < now + portDrainLeast) {
        deadline = now + portDrainLeast;
    }
    if (hasDeadline && !portAlarmArm(deadline)) {
        return 0;
    }
    int result;
    bool expired = false;
    do {
        result = tcdrain(record->fd);
        expired = result == -1 && errno == EINTR && hasDeadline && Clock::now() >= deadline;
    } while (result == -1 && errno == EINTR && !expired);
    if (hasDeadline) {
        portAlarmDisarm();
    }
    // The alarm may have come just as the drain ended: what the driver still
    // holds decides.
    int queued = 1;
    if (expired && portIoctl(record->fd, TIOCOUTQ, &queued) == 0 && queued == 0) {
        expired = false;
        result = 0;
    }
    if (expired) {
        record->stuck = true;
        (void)tcflush(record->fd, TCOFLUSH);
        record->pending = 0;
        return 0;
    }
    record->pending = 0;
    if (result != 0) {
        return 0;
    }
    record->stuck = false;
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
