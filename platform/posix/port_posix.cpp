// Serial port for POSIX systems: opening, settings, reading and closing.
// Writes, drains and the bounds of a close: port_output.cpp. Pauses and the
// clock: pause_posix.cpp.
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
// record maps onto termios in port_termios.cpp; every call on the device goes
// through port_system.cpp.
//
// Closing puts back the terminal settings found at the open (every termios
// field, the rate included), leaves exclusive mode, and removes the lock file;
// so does an interruption of the program (platform/guard.h). The descriptor
// stays non-blocking; every wait is a poll() against a deadline on the
// monotonic clock, or a drain or close that the port's alarm on that clock
// ends (port_alarm.cpp). Reads end by the read time-outs, writes and drains by
// the write time-outs, as on Windows.
#include "platform/guard.h"
#include "platform/platform.h"
#include "platform/posix/baud_linux.h"
#include "platform/posix/port_alarm.h"
#include "platform/posix/port_holders.h"
#include "platform/posix/port_record.h"
#include "platform/posix/port_system.h"
#include "platform/posix/port_termios.h"

#include <cerrno>
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

PortRecord portRecords[portCount] = {};

// The longest single deadline kept, so that the arithmetic cannot overflow.
constexpr std::uint64_t portLongestWaitMs = std::uint64_t{1} << 40;
// The largest time-out value, which the read rule treats specially.
constexpr std::uint32_t portMaxTimeout = 0xFFFFFFFF;

} // namespace

PortRecord* portFind(PortHandle port) {
    for (PortRecord& record : portRecords) {
        if (record.inUse && record.fd == port) {
            return &record;
        }
    }
    return nullptr;
}

int portPollWait(std::uint64_t deadlineNs, bool hasDeadline) {
    if (!hasDeadline) {
        return -1;
    }
    const std::uint64_t now = platClockNs();
    if (deadlineNs <= now) {
        return 0;
    }
    const std::uint64_t ms = (deadlineNs - now + 999'999) / 1'000'000;
    constexpr std::uint64_t longestPoll = std::uint64_t{3600} * 1000;
    return static_cast<int>(ms < longestPoll ? ms : longestPoll);
}

namespace {

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
    // Bytes that a stopped line did not take within their time, or that an
    // interruption left on their way, are of no use to the board any more.
    const bool heldBack = portOutputHeldBack(record);
    if (record.foundSaved) {
        (void)baudRestoreTerminal(record.fd, &record.found);
    }
    // Closing releases the advisory lock; a terminal that was hung up refuses
    // the ioctl.
    (void)portIoctl(record.fd, TIOCNXCL, nullptr);
    const int closed = portCloseBounded(record, heldBack);
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
    record.pendingSinceNs = platClockNs();
    record.inUse = true;
    return true;
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

int platDiscardInput(PortHandle port) {
    PortRecord* record = portFind(port);
    if (record == nullptr) {
        return 0;
    }
    return portSysFlush(record->fd, TCIFLUSH) == 0 ? 1 : 0;
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
    const std::uint64_t start = platClockNs();
    // As on the Win32 side: a total limit of zero and an interval of zero
    // mean no limit; the largest interval with no total limit means "take
    // what has arrived and return at once".
    std::uint64_t totalMs =
        std::uint64_t{limits.ReadTotalTimeoutMultiplier} * count + limits.ReadTotalTimeoutConstant;
    const bool immediate = limits.ReadIntervalTimeout == portMaxTimeout && totalMs == 0;
    const bool hasTotal = totalMs != 0 || immediate;
    totalMs = totalMs < portLongestWaitMs ? totalMs : portLongestWaitMs;
    const std::uint64_t totalDeadline = start + totalMs * 1'000'000;
    const bool hasInterval = limits.ReadIntervalTimeout != 0 && !immediate;
    const std::uint64_t intervalNs = std::uint64_t{limits.ReadIntervalTimeout} * 1'000'000;

    auto* into = static_cast<unsigned char*>(buffer);
    std::uint32_t got = 0;
    std::uint64_t lastByte = 0;
    while (got < count) {
        // The interval limit runs only from the first received byte on.
        bool hasDeadline = hasTotal;
        std::uint64_t deadline = totalDeadline;
        if (hasInterval && got > 0) {
            const std::uint64_t intervalDeadline = lastByte + intervalNs;
            deadline =
                hasDeadline && totalDeadline < intervalDeadline ? totalDeadline : intervalDeadline;
            hasDeadline = true;
        }
        pollfd waiting{record->fd, POLLIN, 0};
        const int ready = portSysPoll(&waiting, portPollWait(deadline, hasDeadline));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return 0;
        }
        if (ready == 0) {
            if (platClockNs() >= deadline) {
                break; // a time-out: success with the bytes so far
            }
            continue;
        }
        if ((waiting.revents & POLLIN) == 0) {
            return 0; // POLLERR, POLLHUP or POLLNVAL with nothing to read
        }
        const ssize_t result = portSysRead(record->fd, into + got, count - got);
        if (result > 0) {
            got += static_cast<std::uint32_t>(result);
            lastByte = platClockNs();
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
    // Outside the hold, so that an interruption can end the wait.
    portSettleOutput(*record);
    guardHold();
    const int closed = portLetGo(*record);
    guardLetGo();
    return closed == 0 ? 1 : 0;
}
