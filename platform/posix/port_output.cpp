// The POSIX serial port's output: writes, drains, and what a close waits for.
//
// A USB serial adapter whose far end hangs takes no more bytes, and its
// driver's account of what it holds is no measure of time: cdc-acm reports
// each busy transfer buffer as full (10 KiB at high speed), so a deadline
// counted from TIOCOUTQ grew by ten seconds with every stuck block; and a USB
// chip that holds bytes in its own transmitter has an empty host queue while
// its driver's drain (ftdi_sio, cp210x: the chip's transmit-empty state) waits
// for ever. So the deadlines count the bytes written since the last drain
// ended, from the first of those writes, and a drain or write that runs out
// of time has failed, whatever any queue count says: the line is stopped, the
// output that the driver still takes back is thrown away (tcflush), and the
// port stays usable, the next drain counting only what is written after it.
//
// The close of a port whose line held bytes back is interrupted by the alarm
// within its 10 ms repeat (its first shot comes before the close begins to
// wait), because the driver would wait for them for its closing wait
// (half a minute on most; a setting of the device that others rely on, and
// that only root may change, left alone). A healthy line's close first
// drains what was written, by its deadline, so the board gets every byte.
#include "platform/guard.h"
#include "platform/posix/port_alarm.h"
#include "platform/posix/port_record.h"
#include "platform/posix/port_system.h"
#include "platform/write_limit.h"

#include <atomic>
#include <cerrno>
#include <termios.h>

namespace {

// A drain never ends sooner than this after it began, also when its bytes'
// deadline has passed already: the driver gets a moment to pass on what it
// holds.
constexpr std::uint64_t portDrainLeastNs = 1'000'000;

// What the close of a drained port may wait for the driver: nothing is left
// for it to pass on, so its closing wait ends at once on a working line; the
// bound is for a line that stopped in the moment between. The write
// time-outs' constant, and well inside the second in which an ending signal
// (held back during the close) must end the program.
constexpr std::uint64_t portCloseBoundNs = 500'000'000;

// The transfer state is read by the release in a signal handler: each change
// is in place before the next step.
void portOrdered() {
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

// Writes count bytes, waiting for room until the deadline; counts what the
// port took as pending.
int portWriteAll(PortRecord& record, const void* bytes, std::uint32_t count, std::uint32_t* written,
                 std::uint64_t deadlineNs, bool hasDeadline) {
    const auto* next = static_cast<const unsigned char*>(bytes);
    std::uint32_t done = 0;
    while (done < count) {
        const ssize_t result = portSysWrite(record.fd, next + done, count - done);
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
        if (hasDeadline && platClockNs() >= deadlineNs) {
            record.stuck = true;
            return 0;
        }
        pollfd waiting{record.fd, POLLOUT, 0};
        const int ready = portSysPoll(&waiting, portPollWait(deadlineNs, hasDeadline));
        if (ready < 0 && errno != EINTR) {
            return 0;
        }
        if (ready > 0 && (waiting.revents & POLLOUT) == 0) {
            return 0; // POLLERR, POLLHUP or POLLNVAL: the port is gone
        }
    }
    return 1;
}

// tcdrain, ended by the alarm at deadlineNs. True when the driver passed
// everything on in time; a drain that the alarm ended has failed, also when
// the driver's queue reads empty (a chip may hold the bytes itself).
bool portDrainBy(int fd, std::uint64_t deadlineNs, bool hasDeadline) {
    if (hasDeadline && !portAlarmArm(deadlineNs)) {
        return false;
    }
    int result;
    bool expired = false;
    do {
        result = portSysDrain(fd);
        // Somebody else's signal (the alarm's handler notes it) does not end
        // the drain; the alarm at its deadline does.
        expired = result == -1 && errno == EINTR && hasDeadline && platClockNs() >= deadlineNs;
    } while (result == -1 && errno == EINTR && !expired);
    if (hasDeadline) {
        portAlarmDisarm();
    }
    return result == 0;
}

} // namespace

bool portOutputHeldBack(const PortRecord& record) {
    return record.stuck || record.writing || record.pending > 0;
}

int portCloseBounded(PortRecord& record, bool heldBack) {
    if (heldBack) {
        // Of no use to the board any more; what the driver does not take
        // back (cdc-acm's busy transfers) the alarm cuts short.
        (void)portSysFlush(record.fd, TCOFLUSH);
    }
    const std::uint64_t now = platClockNs();
    const bool alarmed = portAlarmArm(heldBack ? now : now + portCloseBoundNs);
    int closed = portSysClose(record.fd);
    if (closed != 0 && errno == EINTR) {
        closed = 0; // released all the same
    }
    if (alarmed) {
        portAlarmDisarm();
    }
    return closed;
}

void portSettleOutput(PortRecord& record) {
    if (!record.stuck && record.pending > 0) {
        (void)platDrain(record.fd);
    }
}

int platWrite(PortHandle port, const void* bytes, std::uint32_t count, std::uint32_t* written) {
    PortRecord* record = portFind(port);
    if (written != nullptr) {
        *written = 0;
    }
    if (record == nullptr || (bytes == nullptr && count != 0)) {
        return 0;
    }
    const std::uint64_t start = platClockNs();
    std::uint64_t deadline = 0;
    const bool hasDeadline = portWriteDeadline(record->timeouts, count, start, &deadline);
    if (record->pending == 0) {
        record->pendingSinceNs = start;
    }
    record->writing = true;
    portOrdered();
    const int result = portWriteAll(*record, bytes, count, written, deadline, hasDeadline);
    portOrdered();
    record->writing = false;
    return result;
}

int platDrain(PortHandle port) {
    PortRecord* record = portFind(port);
    if (record == nullptr) {
        return 0;
    }
    const std::uint64_t now = platClockNs();
    std::uint64_t deadline = 0;
    const bool hasDeadline =
        portWriteDeadline(record->timeouts, record->pending,
                          record->pending > 0 ? record->pendingSinceNs : now, &deadline);
    if (hasDeadline && deadline < now + portDrainLeastNs) {
        deadline = now + portDrainLeastNs;
    }
    // pending stays counted until the drain has ended: an interruption
    // meanwhile throws the bytes away rather than wait for them.
    const bool drained = portDrainBy(record->fd, deadline, hasDeadline);
    if (!drained) {
        record->stuck = true;
        portOrdered();
        (void)portSysFlush(record->fd, TCOFLUSH);
    }
    portOrdered();
    record->pending = 0;
    record->stuck = !drained;
    return drained ? 1 : 0;
}
