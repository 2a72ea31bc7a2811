// Serial port on Windows: the communications API of kernel32, one call per
// seam function. The handle is the Win32 file handle; the invalid handle
// value (-1) is platNoPort. Pauses and the clock: pause_win32.cpp.
//
// The write time-outs of COMMTIMEOUTS bound every WriteFile. Two waits need
// more than that. A WriteFile that returns short is continued with the rest,
// and each call would get the whole time-out again: the continuations get
// what is left of the first one's. And FlushFileBuffers has no time-out of
// its own: where the driver keeps bytes after WriteFile has returned (Wine
// hands them to the terminal, whose drain waits for ever when a USB line
// stops taking bytes), it does not return. So the drain watches the output
// queue (ClearCommError) until it is empty, and flushes only then, with the
// deadline that the time-outs give the bytes written since the last drain.
#include "platform/guard.h"
#include "platform/platform.h"
#include "platform/write_limit.h"

#include <cstdint>
#include <cstdio>
#include <windows.h>

namespace {

// COM1 to COM32, all through the same device-path form.
constexpr int portFirst = 1;
constexpr int portLast = 32;

// The ports open now, closed by Ctrl-C too. Changed under guardHold.
HANDLE portOpen[portLast] = {};

// Per open port (same index): the bytes written since the last drain ended,
// and when the first of them was written (platClockNs); whether the line held
// bytes back (a write or drain ran out of time, and no drain ended in time
// since).
struct PortPending {
    std::uint64_t bytes;
    std::uint64_t sinceNs;
    bool heldBack;
};
PortPending portPendings[portLast] = {};

// How often a drain looks at the output queue while it holds bytes: the
// system timer's step.
constexpr DWORD portQueueLookMs = 1;

PortPending* portPendingOf(HANDLE handle) {
    for (int i = 0; i < portLast; ++i) {
        if (portOpen[i] == handle) {
            return &portPendings[i];
        }
    }
    return nullptr;
}

// The end of count bytes' write time-outs from startNs; false when both are
// 0 (no limit) or the record cannot be read.
bool portWriteDeadline(HANDLE handle, std::uint64_t count, std::uint64_t startNs,
                       std::uint64_t* deadlineNs) {
    COMMTIMEOUTS limits{};
    std::uint64_t ms = 0;
    if (!GetCommTimeouts(handle, &limits) ||
        !portWriteLimitMs(limits.WriteTotalTimeoutMultiplier, limits.WriteTotalTimeoutConstant,
                          count, &ms)) {
        return false;
    }
    *deadlineNs = startNs + ms * 1'000'000;
    return true;
}

// One WriteFile under a time-out of its own, leftMs in all, then the port's
// record again.
BOOL portWriteWithin(HANDLE handle, const void* bytes, DWORD count, DWORD* took,
                     std::uint64_t leftMs) {
    COMMTIMEOUTS limits{};
    if (!GetCommTimeouts(handle, &limits)) {
        return FALSE;
    }
    COMMTIMEOUTS rest = limits;
    rest.WriteTotalTimeoutMultiplier = 0;
    // At least 1: 0 and 0 would mean no limit at all.
    rest.WriteTotalTimeoutConstant =
        leftMs == 0 ? 1 : (leftMs < MAXDWORD ? static_cast<DWORD>(leftMs) : MAXDWORD - 1);
    if (!SetCommTimeouts(handle, &rest)) {
        return FALSE;
    }
    const BOOL wrote = WriteFile(handle, bytes, count, took, nullptr);
    const BOOL restored = SetCommTimeouts(handle, &limits);
    return wrote && restored;
}

// Output that a stopped line holds is of no use to the board any more, and
// the close should not wait for it.
void portPurgeHeldBack(HANDLE handle, const PortPending& pending) {
    if (pending.heldBack || pending.bytes > 0) {
        (void)PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR);
    }
}

void portReleaseAll() {
    for (int i = 0; i < portLast; ++i) {
        if (portOpen[i] != nullptr) {
            portPurgeHeldBack(portOpen[i], portPendings[i]);
            (void)CloseHandle(portOpen[i]);
            portOpen[i] = nullptr;
        }
    }
}

HANDLE portHandleOf(PortHandle port) {
    return reinterpret_cast<HANDLE>(port);
}

bool portValid(PortHandle port) {
    return port != platNoPort && port != 0;
}

// PortSettings mirrors the DCB field by field, names included, so one copy
// serves both directions; a field added on one side only fails to compile.
static_assert(sizeof(PortSettings) == sizeof(DCB));

template <typename From, typename To> void portCopySettings(const From& from, To* to) {
    to->DCBlength = from.DCBlength;
    to->BaudRate = from.BaudRate;
    to->fBinary = from.fBinary;
    to->fParity = from.fParity;
    to->fOutxCtsFlow = from.fOutxCtsFlow;
    to->fOutxDsrFlow = from.fOutxDsrFlow;
    to->fDtrControl = from.fDtrControl;
    to->fDsrSensitivity = from.fDsrSensitivity;
    to->fTXContinueOnXoff = from.fTXContinueOnXoff;
    to->fOutX = from.fOutX;
    to->fInX = from.fInX;
    to->fErrorChar = from.fErrorChar;
    to->fNull = from.fNull;
    to->fRtsControl = from.fRtsControl;
    to->fAbortOnError = from.fAbortOnError;
    to->fDummy2 = from.fDummy2;
    to->wReserved = from.wReserved;
    to->XonLim = from.XonLim;
    to->XoffLim = from.XoffLim;
    to->ByteSize = from.ByteSize;
    to->Parity = from.Parity;
    to->StopBits = from.StopBits;
    to->XonChar = from.XonChar;
    to->XoffChar = from.XoffChar;
    to->ErrorChar = from.ErrorChar;
    to->EofChar = from.EofChar;
    to->EvtChar = from.EvtChar;
    to->wReserved1 = from.wReserved1;
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
    // Share mode 0: the open fails while another program holds the port,
    // and nobody else gets it while we do. No overlapped I/O: every call
    // blocks until it is done.
    HANDLE handle = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
        return platNoPort;
    }
    guardAdd(portReleaseAll);
    guardHold();
    for (int i = 0; i < portLast; ++i) {
        if (portOpen[i] == nullptr) {
            portOpen[i] = handle;
            portPendings[i] = PortPending{0, 0, false};
            break;
        }
    }
    guardLetGo();
    return reinterpret_cast<PortHandle>(handle);
}

int platReadSettings(PortHandle port, PortSettings* settings) {
    if (!portValid(port) || settings == nullptr) {
        return 0;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(portHandleOf(port), &dcb)) {
        return 0;
    }
    portCopySettings(dcb, settings);
    return 1;
}

int platWriteSettings(PortHandle port, const PortSettings* settings) {
    if (!portValid(port) || settings == nullptr) {
        return 0;
    }
    DCB dcb{};
    portCopySettings(*settings, &dcb);
    if (!SetCommState(portHandleOf(port), &dcb)) {
        return 0;
    }
    return 1;
}

int platReadTimeouts(PortHandle port, PortTimeouts* timeouts) {
    if (!portValid(port) || timeouts == nullptr) {
        return 0;
    }
    COMMTIMEOUTS limits{};
    if (!GetCommTimeouts(portHandleOf(port), &limits)) {
        return 0;
    }
    timeouts->ReadIntervalTimeout = limits.ReadIntervalTimeout;
    timeouts->ReadTotalTimeoutMultiplier = limits.ReadTotalTimeoutMultiplier;
    timeouts->ReadTotalTimeoutConstant = limits.ReadTotalTimeoutConstant;
    timeouts->WriteTotalTimeoutMultiplier = limits.WriteTotalTimeoutMultiplier;
    timeouts->WriteTotalTimeoutConstant = limits.WriteTotalTimeoutConstant;
    return 1;
}

int platWriteTimeouts(PortHandle port, const PortTimeouts* timeouts) {
    if (!portValid(port) || timeouts == nullptr) {
        return 0;
    }
    COMMTIMEOUTS limits{};
    limits.ReadIntervalTimeout = timeouts->ReadIntervalTimeout;
    limits.ReadTotalTimeoutMultiplier = timeouts->ReadTotalTimeoutMultiplier;
    limits.ReadTotalTimeoutConstant = timeouts->ReadTotalTimeoutConstant;
    limits.WriteTotalTimeoutMultiplier = timeouts->WriteTotalTimeoutMultiplier;
    limits.WriteTotalTimeoutConstant = timeouts->WriteTotalTimeoutConstant;
    return SetCommTimeouts(portHandleOf(port), &limits) ? 1 : 0;
}

int platSetDtr(PortHandle port) {
    if (!portValid(port)) {
        return 0;
    }
    return EscapeCommFunction(portHandleOf(port), SETDTR) ? 1 : 0;
}

int platClearDtr(PortHandle port) {
    if (!portValid(port)) {
        return 0;
    }
    return EscapeCommFunction(portHandleOf(port), CLRDTR) ? 1 : 0;
}

int platWrite(PortHandle port, const void* bytes, std::uint32_t count, std::uint32_t* written) {
    if (written != nullptr) {
        *written = 0;
    }
    if (!portValid(port) || (bytes == nullptr && count != 0)) {
        return 0;
    }
    HANDLE handle = portHandleOf(port);
    const std::uint64_t start = platClockNs();
    PortPending* pending = portPendingOf(handle);
    if (pending != nullptr && pending->bytes == 0) {
        pending->sinceNs = start;
    }
    std::uint64_t deadline = 0;
    const bool hasDeadline = portWriteDeadline(handle, count, start, &deadline);
    // A write that returns short is continued with the rest as long as the
    // port keeps taking bytes (Wine hands a terminal's partial writes on),
    // within what is left of the time-out; one that took nothing ran out of
    // its time-out: the line holds bytes back, and the write fails.
    const auto* next = static_cast<const unsigned char*>(bytes);
    std::uint32_t done = 0;
    while (done < count) {
        DWORD took = 0;
        BOOL wrote;
        if (done == 0 || !hasDeadline) {
            wrote = WriteFile(handle, next + done, count - done, &took, nullptr);
        } else {
            const std::uint64_t now = platClockNs();
            if (now >= deadline) {
                if (pending != nullptr) {
                    pending->heldBack = true;
                }
                return 0;
            }
            wrote = portWriteWithin(handle, next + done, count - done, &took,
                                    (deadline - now + 999'999) / 1'000'000);
        }
        if (took > count - done) {
            return 0;
        }
        done += took;
        if (pending != nullptr) {
            pending->bytes += took;
        }
        if (written != nullptr) {
            *written = done;
        }
        if (!wrote || took == 0) {
            if (pending != nullptr) {
                pending->heldBack = true;
            }
            return 0;
        }
    }
    return 1;
}

int platDrain(PortHandle port) {
    if (!portValid(port)) {
        return 0;
    }
    HANDLE handle = portHandleOf(port);
    PortPending none{0, 0, false};
    PortPending* pending = portPendingOf(handle);
    pending = pending != nullptr ? pending : &none;
    const std::uint64_t now = platClockNs();
    std::uint64_t deadline = 0;
    const bool hasDeadline = portWriteDeadline(
        handle, pending->bytes, pending->bytes > 0 ? pending->sinceNs : now, &deadline);
    pending->bytes = 0;
    // The output queue, looked at until it is empty or the bytes' time is up.
    for (;;) {
        DWORD errors = 0;
        COMSTAT status{};
        if (!ClearCommError(handle, &errors, &status)) {
            break; // no queue to look at: the flush alone
        }
        if (status.cbOutQue == 0) {
            break;
        }
        if (hasDeadline && platClockNs() >= deadline) {
            // Of no use to the board any more.
            (void)PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR);
            pending->heldBack = true;
            return 0;
        }
        platSleep(portQueueLookMs);
    }
    // Ends when the writes before it have ended, each by its time-out.
    if (!FlushFileBuffers(handle)) {
        return 0;
    }
    pending->heldBack = false;
    return 1;
}

int platDiscardInput(PortHandle port) {
    if (!portValid(port)) {
        return 0;
    }
    return PurgeComm(portHandleOf(port), PURGE_RXCLEAR) ? 1 : 0;
}

int platRead(PortHandle port, void* buffer, std::uint32_t count, std::uint32_t* received) {
    if (received != nullptr) {
        *received = 0;
    }
    if (!portValid(port) || (buffer == nullptr && count != 0)) {
        return 0;
    }
    DWORD got = 0;
    if (!ReadFile(portHandleOf(port), buffer, count, &got, nullptr)) {
        return 0;
    }
    if (received != nullptr) {
        *received = got <= count ? got : count;
    }
    return 1;
}

int platClosePort(PortHandle port) {
    if (!portValid(port)) {
        return 0;
    }
    guardHold();
    for (int i = 0; i < portLast; ++i) {
        if (portOpen[i] == portHandleOf(port)) {
            portPurgeHeldBack(portOpen[i], portPendings[i]);
            portOpen[i] = nullptr;
        }
    }
    const BOOL closed = CloseHandle(portHandleOf(port));
    guardLetGo();
    return closed ? 1 : 0;
}
