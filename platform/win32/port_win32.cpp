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

// Per open port (same index): the line's rate and bits per byte as last
// written, and when the last byte written can have left the line at the
// earliest, on the multimedia timer's millisecond clock.
struct PortLine {
    DWORD bitsPerSecond;
    DWORD bitsPerByte;
    DWORD freeAt;
};
PortLine portLines[portLast] = {};

PortLine* portLineOf(HANDLE handle) {
    for (int i = 0; i < portLast; ++i) {
        if (portOpen[i] == handle) {
            return &portLines[i];
        }
    }
    return nullptr;
}

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
    for (int i = 0; i < portLast; ++i) {
        if (portOpen[i] == nullptr) {
            portOpen[i] = handle;
            portLines[i] = PortLine{0, 10, timeGetTime()};
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
    if (PortLine* line = portLineOf(portHandleOf(port))) {
        line->bitsPerSecond = settings->BaudRate;
        line->bitsPerByte = 1 + settings->ByteSize + (settings->Parity != platNoParity ? 1 : 0) +
                            (settings->StopBits == platOneStopBit ? 1 : 2);
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
    // A write that returns short is continued with the rest as long as the
    // port keeps taking bytes (Wine hands a terminal's partial writes on);
    // one that took nothing ran out of its write time-out: the line holds
    // bytes back, and the write fails.
    if (PortLine* line = portLineOf(portHandleOf(port));
        line != nullptr && line->bitsPerSecond != 0) {
        const DWORD now = timeGetTime();
        const DWORD start = static_cast<LONG>(line->freeAt - now) > 0 ? line->freeAt : now;
        const auto ms =
            (std::uint64_t{count} * line->bitsPerByte * 1000 + line->bitsPerSecond - 1) /
            line->bitsPerSecond;
        line->freeAt = start + static_cast<DWORD>(ms);
    }
    const auto* next = static_cast<const unsigned char*>(bytes);
    std::uint32_t done = 0;
    while (done < count) {
        DWORD took = 0;
        if (!WriteFile(portHandleOf(port), next + done, count - done, &took, nullptr)) {
            return 0;
        }
        if (took == 0 || took > count - done) {
            return 0;
        }
        done += took;
        if (written != nullptr) {
            *written = done;
        }
    }
    return 1;
}

int platDrain(PortHandle port) {
    if (!portValid(port)) {
        return 0;
    }
    // Ends when the writes before it have ended, each by its time-out.
    if (!FlushFileBuffers(portHandleOf(port))) {
        return 0;
    }
    // A USB adapter's driver reports its bytes gone once the adapter has
    // taken them, while the adapter still sends them at the line's rate: the
    // board's reply cannot start before their line time has passed, and the
    // debug port's pauses count from there.
    if (const PortLine* line = portLineOf(portHandleOf(port))) {
        const LONG left = static_cast<LONG>(line->freeAt - timeGetTime());
        if (left > 0) {
            platSleep(static_cast<std::uint32_t>(left));
        }
    }
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
    for (HANDLE& slot : portOpen) {
        if (slot == portHandleOf(port)) {
            slot = nullptr;
        }
    }
    const BOOL closed = CloseHandle(portHandleOf(port));
    guardLetGo();
    return closed ? 1 : 0;
}
