// Serial port on Windows: the communications API of kernel32, one call per
// seam function. The handle is the Win32 file handle; the invalid handle
// value (-1) is platNoPort. Pauses: pause_win32.cpp.
#include "platform/guard.h"
#include "platform/platform.h"

#include <cstdint>
#include <cstdio>
#include <windows.h>

namespace {

// COM1 to COM32, all through the same device-path form.
constexpr int portFirst = 1;
constexpr int portLast = 32;

// The ports open now, closed by Ctrl-C too. Changed under guardHold.
HANDLE portOpen[portLast] = {};

void portReleaseAll() {
    for (HANDLE& handle : portOpen) {
        if (handle != nullptr) {
            (void)CloseHandle(handle);
            handle = nullptr;
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
    for (HANDLE& slot : portOpen) {
        if (slot == nullptr) {
            slot = handle;
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
    return SetCommState(portHandleOf(port), &dcb) ? 1 : 0;
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
    // One call: with write time-outs a write that returns short has run out
    // of time (the line holds bytes back), and writing the rest would give
    // it a second time-out.
    DWORD took = 0;
    if (!WriteFile(portHandleOf(port), bytes, count, &took, nullptr)) {
        return 0;
    }
    if (written != nullptr) {
        *written = took <= count ? took : count;
    }
    return took == count ? 1 : 0;
}

int platDrain(PortHandle port) {
    if (!portValid(port)) {
        return 0;
    }
    // Ends when the writes before it have ended, each by its time-out.
    return FlushFileBuffers(portHandleOf(port)) ? 1 : 0;
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
    for (HANDLE& slot : portOpen) {
        if (slot == portHandleOf(port)) {
            slot = nullptr;
        }
    }
    const BOOL closed = CloseHandle(portHandleOf(port));
    guardLetGo();
    return closed ? 1 : 0;
}
