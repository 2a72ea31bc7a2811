// Serial port on Windows: the communications API of kernel32, one call per
// seam function. The handle is the Win32 file handle; the invalid handle
// value (-1) is platNoPort. Pauses and the clock: pause_win32.cpp.
//
// The write time-outs of COMMTIMEOUTS bound every WriteFile. A WriteFile that
// returns short is continued with the rest, and each call would get the
// whole time-out again: the continuations get what is left of the first
// one's. FlushFileBuffers has no time-out of its own, and where the driver
// keeps bytes after WriteFile has returned it may never return: Wine hands
// them to the terminal, whose drain waits for a USB chip's own transmitter,
// for ever when the chip holds them. So the drain watches the output queue
// (ClearCommError) until it is empty, by the deadline that the time-outs give
// the bytes written since the last drain, and does not flush: after a
// synchronous WriteFile, Windows' own drivers leave nothing in an empty queue
// for FlushFileBuffers to wait for, and the bytes' time on the line is waited
// above the seam (serial/line_time.cpp). A queue that cannot be read is not
// an empty one: the drain fails.
//
// Ctrl-C runs the release on the console's control thread while the
// program's own thread may be anywhere. So every call on a port's handle is
// made under guardHold, but the two that block (WriteFile and ReadFile),
// which are marked as under way instead. The release takes the guard for
// good: it purges a port that is not idle, which also ends a transfer under
// way, and closes it unless a transfer is under way (the end of the process
// closes that one). No call ever reaches a closed handle.
#include "platform/guard.h"
#include "platform/platform.h"
#include "platform/win32/records_win32.h"
#include "platform/write_limit.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <windows.h>

namespace {

// COM1 to COM32, all through the same device-path form.
constexpr int portFirst = 1;
constexpr int portLast = 32;

// An open port, in the slot its open took. Changed under guardHold.
struct PortSlot {
    HANDLE handle;       // nullptr: the slot is free
    COMMTIMEOUTS limits; // the time-outs the program set
    // The port still has a continuation's write time-outs: putting the
    // program's back failed.
    bool shortened;
    // The bytes written since the last drain ended, and when the first of
    // them was written (platClockNs).
    std::uint64_t bytes;
    std::uint64_t sinceNs;
    // A write or drain ran out of time or failed, and no drain has ended in
    // time since: the line holds bytes back.
    bool heldBack;
};
PortSlot portSlots[portLast] = {};

// A WriteFile or ReadFile under way on a slot, outside the guard; and
// whether the release has run. The program's thread and the release hand
// these over without the guard: each stores its own before it loads the
// other's, so at least one of them sees the other.
std::atomic<bool> portBusy[portLast];
std::atomic<bool> portReleased{false};

// How often a drain looks at the output queue while it holds bytes: the
// system timer's step; and the least a drain gives the driver.
constexpr DWORD portQueueLookMs = 1;
constexpr std::uint64_t portDrainLeastNs = 1'000'000;

// The slot of an open port; -1 for none. Under guardHold.
int portSlotOf(PortHandle port) {
    if (port == platNoPort || port == 0) {
        return -1;
    }
    for (int i = 0; i < portLast; ++i) {
        if (portSlots[i].handle == reinterpret_cast<HANDLE>(port)) {
            return i;
        }
    }
    return -1;
}

// The program's time-outs back on the port, where a continuation's stayed.
// Under guardHold.
bool portTimeoutsBack(PortSlot& slot) {
    if (slot.shortened && SetCommTimeouts(slot.handle, &slot.limits)) {
        slot.shortened = false;
    }
    return !slot.shortened;
}

// A blocking transfer starts on slot i outside the guard; false when the
// release has run (it may have closed the handle).
bool portTransferStarts(int i) {
    portBusy[i].store(true);
    if (portReleased.load()) {
        portBusy[i].store(false);
        return false;
    }
    return true;
}

void portTransferEnds(int i) {
    portBusy[i].store(false);
}

// One WriteFile, marked as under way until the bytes it took are counted,
// so that the release never finds the port idle while they are queued. A
// write that took nothing, or failed, leaves the line holding bytes back.
BOOL portWriteFile(int i, HANDLE handle, const void* bytes, DWORD count, DWORD* took) {
    if (!portTransferStarts(i)) {
        return FALSE;
    }
    BOOL wrote = WriteFile(handle, bytes, count, took, nullptr);
    *took = *took <= count ? *took : 0;
    wrote = wrote && *took > 0;
    guardHold();
    portSlots[i].bytes += *took;
    portSlots[i].heldBack = portSlots[i].heldBack || !wrote;
    portTransferEnds(i);
    guardLetGo();
    return wrote;
}

// A continuation: one WriteFile with leftMs of write time-out in all, then
// the program's time-outs again; where putting them back fails, the next
// call on the port tries again before it relies on them.
BOOL portWriteWithin(int i, const void* bytes, DWORD count, DWORD* took, std::uint64_t leftMs) {
    guardHold();
    PortSlot& slot = portSlots[i];
    const HANDLE handle = slot.handle;
    COMMTIMEOUTS rest = slot.limits;
    rest.WriteTotalTimeoutMultiplier = 0;
    // At least 1: 0 and 0 would mean no limit at all.
    rest.WriteTotalTimeoutConstant =
        leftMs == 0 ? 1 : (leftMs < MAXDWORD ? static_cast<DWORD>(leftMs) : MAXDWORD - 1);
    slot.shortened = true;
    const BOOL set = SetCommTimeouts(handle, &rest);
    guardLetGo();
    const BOOL wrote = set && portWriteFile(i, handle, bytes, count, took);
    guardHold();
    (void)portTimeoutsBack(portSlots[i]);
    guardLetGo();
    return wrote;
}

// On the console's control thread, holding the guard for good.
void portReleaseAll() {
    portReleased.store(true);
    for (int i = 0; i < portLast; ++i) {
        PortSlot& slot = portSlots[i];
        if (slot.handle == nullptr) {
            continue;
        }
        const bool busy = portBusy[i].load();
        // What a stopped line holds, or a transfer left on its way, is of no
        // use to the board any more; the purge also ends a transfer under way.
        if (busy || slot.heldBack || slot.bytes > 0) {
            (void)PurgeComm(slot.handle, PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXABORT);
        }
        if (!busy) {
            (void)CloseHandle(slot.handle);
        }
        slot.handle = nullptr;
    }
}

} // namespace

PortHandle platOpenPort(int n) {
    if (n < portFirst || n > portLast) {
        return platNoPort;
    }
    char path[16];
    const int length = std::snprintf(path, sizeof path, "\\\\.\\COM%d", n);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) {
        return platNoPort;
    }
    guardAdd(portReleaseAll);
    if (portReleased.load()) {
        return platNoPort;
    }
    // Share mode 0: the open fails while another program holds the port,
    // and nobody else gets it while we do. No overlapped I/O: every call
    // blocks until it is done.
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
        return platNoPort;
    }
    guardHold();
    int free = -1;
    for (int i = 0; i < portLast && free < 0; ++i) {
        free = portSlots[i].handle == nullptr ? i : -1;
    }
    if (free >= 0) {
        PortSlot& slot = portSlots[free];
        slot = PortSlot{};
        slot.handle = handle;
        (void)GetCommTimeouts(handle, &slot.limits);
    } else {
        (void)CloseHandle(handle);
    }
    guardLetGo();
    return free >= 0 ? reinterpret_cast<PortHandle>(handle) : platNoPort;
}

int platReadSettings(PortHandle port, PortSettings* settings) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    guardHold();
    const int i = portSlotOf(port);
    const BOOL read = i >= 0 && settings != nullptr && GetCommState(portSlots[i].handle, &dcb);
    guardLetGo();
    if (!read) {
        return 0;
    }
    portCopySettings(dcb, settings);
    return 1;
}

int platWriteSettings(PortHandle port, const PortSettings* settings) {
    if (settings == nullptr) {
        return 0;
    }
    DCB dcb{};
    portCopySettings(*settings, &dcb);
    guardHold();
    const int i = portSlotOf(port);
    const BOOL written = i >= 0 && SetCommState(portSlots[i].handle, &dcb);
    guardLetGo();
    return written ? 1 : 0;
}

int platReadTimeouts(PortHandle port, PortTimeouts* timeouts) {
    COMMTIMEOUTS limits{};
    guardHold();
    const int i = portSlotOf(port);
    const BOOL read = i >= 0 && timeouts != nullptr && portTimeoutsBack(portSlots[i]) &&
                      GetCommTimeouts(portSlots[i].handle, &limits);
    guardLetGo();
    if (!read) {
        return 0;
    }
    portCopyTimeouts(limits, timeouts);
    return 1;
}

int platWriteTimeouts(PortHandle port, const PortTimeouts* timeouts) {
    if (timeouts == nullptr) {
        return 0;
    }
    COMMTIMEOUTS limits{};
    portCopyTimeouts(*timeouts, &limits);
    guardHold();
    const int i = portSlotOf(port);
    const BOOL written = i >= 0 && SetCommTimeouts(portSlots[i].handle, &limits);
    if (written) {
        portSlots[i].limits = limits;
        portSlots[i].shortened = false;
    }
    guardLetGo();
    return written ? 1 : 0;
}

namespace {

int portEscape(PortHandle port, DWORD function) {
    guardHold();
    const int i = portSlotOf(port);
    const BOOL done = i >= 0 && EscapeCommFunction(portSlots[i].handle, function);
    guardLetGo();
    return done ? 1 : 0;
}

} // namespace

int platSetDtr(PortHandle port) {
    return portEscape(port, SETDTR);
}

int platClearDtr(PortHandle port) {
    return portEscape(port, CLRDTR);
}

int platWrite(PortHandle port, const void* bytes, std::uint32_t count, std::uint32_t* written) {
    if (written != nullptr) {
        *written = 0;
    }
    if (bytes == nullptr && count != 0) {
        return 0;
    }
    guardHold();
    const int i = portSlotOf(port);
    if (i < 0 || !portTimeoutsBack(portSlots[i])) {
        guardLetGo();
        return 0;
    }
    PortSlot& slot = portSlots[i];
    const HANDLE handle = slot.handle;
    const std::uint64_t start = platClockNs();
    if (slot.bytes == 0) {
        slot.sinceNs = start;
    }
    std::uint64_t deadline = 0;
    const bool hasDeadline = portWriteDeadline(slot.limits, count, start, &deadline);
    guardLetGo();
    // A write that returns short is continued with the rest as long as the
    // port keeps taking bytes (Wine hands a terminal's partial writes on),
    // within what is left of the time-out; one that took nothing ran out of
    // its time-out: the line holds bytes back, and the write fails.
    const auto* next = static_cast<const unsigned char*>(bytes);
    std::uint32_t done = 0;
    while (done < count) {
        DWORD took = 0;
        BOOL wrote = FALSE;
        const std::uint64_t now = platClockNs();
        if (done == 0 || !hasDeadline) {
            wrote = portWriteFile(i, handle, next + done, count - done, &took);
        } else if (now < deadline) {
            wrote = portWriteWithin(i, next + done, count - done, &took,
                                    (deadline - now + 999'999) / 1'000'000);
        }
        done += took;
        if (written != nullptr) {
            *written = done;
        }
        if (!wrote) {
            guardHold();
            slot.heldBack = true;
            guardLetGo();
            return 0;
        }
    }
    return 1;
}

int platDrain(PortHandle port) {
    guardHold();
    const int i = portSlotOf(port);
    if (i < 0) {
        guardLetGo();
        return 0;
    }
    PortSlot& slot = portSlots[i];
    const HANDLE handle = slot.handle;
    const std::uint64_t now = platClockNs();
    std::uint64_t deadline = 0;
    const bool hasDeadline =
        portWriteDeadline(slot.limits, slot.bytes, slot.bytes > 0 ? slot.sinceNs : now, &deadline);
    // Never sooner than a look or two after it began, also when the bytes'
    // deadline has passed already: the driver gets a moment to pass them on.
    deadline = hasDeadline && deadline < now + portDrainLeastNs ? now + portDrainLeastNs : deadline;
    // The bytes stay counted until the drain has ended: Ctrl-C meanwhile
    // purges them.
    guardLetGo();
    bool drained = false;
    for (;;) {
        DWORD errors = 0;
        COMSTAT status{};
        guardHold();
        const BOOL known = ClearCommError(handle, &errors, &status);
        guardLetGo();
        if (!known) {
            break; // the device is gone, or its queue cannot be told
        }
        if (status.cbOutQue == 0) {
            drained = true;
            break;
        }
        if (hasDeadline && platClockNs() >= deadline) {
            break;
        }
        platSleep(portQueueLookMs);
    }
    guardHold();
    if (!drained) {
        // Of no use to the board any more.
        (void)PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR);
    }
    slot.heldBack = !drained;
    slot.bytes = 0;
    guardLetGo();
    return drained ? 1 : 0;
}

int platDiscardInput(PortHandle port) {
    guardHold();
    const int i = portSlotOf(port);
    const BOOL purged = i >= 0 && PurgeComm(portSlots[i].handle, PURGE_RXCLEAR);
    guardLetGo();
    return purged ? 1 : 0;
}

int platRead(PortHandle port, void* buffer, std::uint32_t count, std::uint32_t* received) {
    if (received != nullptr) {
        *received = 0;
    }
    if (buffer == nullptr && count != 0) {
        return 0;
    }
    guardHold();
    const int i = portSlotOf(port);
    const HANDLE handle = i >= 0 ? portSlots[i].handle : nullptr;
    guardLetGo();
    if (i < 0 || !portTransferStarts(i)) {
        return 0;
    }
    DWORD got = 0;
    const BOOL read = ReadFile(handle, buffer, count, &got, nullptr);
    portTransferEnds(i);
    if (!read) {
        return 0;
    }
    if (received != nullptr) {
        *received = got <= count ? got : count;
    }
    return 1;
}

int platClosePort(PortHandle port) {
    guardHold();
    int i = portSlotOf(port);
    const bool settle = i >= 0 && !portSlots[i].heldBack && portSlots[i].bytes > 0;
    guardLetGo();
    if (i < 0) {
        return 0;
    }
    // A working line's output goes to the board, drained by its deadline;
    // what a stopped line holds is purged.
    if (settle) {
        (void)platDrain(port);
    }
    guardHold();
    i = portSlotOf(port);
    BOOL closed = FALSE;
    if (i >= 0) {
        PortSlot& slot = portSlots[i];
        if (slot.heldBack) {
            (void)PurgeComm(slot.handle, PURGE_TXABORT | PURGE_TXCLEAR);
        }
        closed = CloseHandle(slot.handle);
        slot.handle = nullptr;
    }
    guardLetGo();
    return closed ? 1 : 0;
}
