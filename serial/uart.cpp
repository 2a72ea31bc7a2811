// The PC's serial port towards the board's UART debug port.
//
// The module holds at most one open port. Every change of settings reads the
// port's record first, changes only the fields named and writes the whole
// record back, so whatever the driver keeps in the other fields survives.
#include "serial/uart.h"

#include "serial/line_time.h"
#include "target/arc.h"

namespace {

PortHandle hPort = platNoPort;
PortSettings dcb;
PortTimeouts timeout;
// The settings the port last took: the rate and framing its bytes cross the
// line with.
PortSettings lineSettings;

// The board's debug port runs at this rate after every reset.
constexpr std::uint32_t resetBaudrate = 38400;

// The reset pulse: DTR high for 50 ms restarts the board; the 200 ms after it
// give the board's boot code time to bring its debug port up.
constexpr std::uint32_t dtrPulseMs = 50;
constexpr std::uint32_t dtrSettleMs = 200;

// Reads: 50 ms between two bytes, and 50 ms per byte plus 10 ms in all.
// Writes (and the drains after them): 1 ms per byte plus 500 ms. A byte takes
// 10 bits; at every rate from 10,000 baud up, the whole ladder included, that
// is at most 1 ms, the finest step the record has. The 500 ms are far more
// than a working line adds to that (USB frames of 1 ms, the system's
// scheduling), and short enough that a line which has stopped taking bytes (a
// USB adapter whose far end hangs) fails the exchange within a second or two
// instead of holding the station for ever.
constexpr PortTimeouts linkTimeouts = {50, 50, 10, 1, 500};

bool portOpen() {
    return hPort != platNoPort;
}

// Writes the settings record; the line runs at it from now on if the port
// took it.
int writeSettings() {
    const int written = platWriteSettings(hPort, &dcb);
    if (written) {
        lineSettings = dcb;
    }
    return written;
}

// The driver's drain, then the bytes' time on the line. A drain that ran out
// of time gave the bytes up: the next exchange counts its line time from its
// own write.
int drainToLine() {
    const int drained = platDrain(hPort);
    if (!drained) {
        lineTimeReset();
        return drained;
    }
    lineTimeWait();
    return drained;
}

void dropPort() {
    platClosePort(hPort);
    hPort = platNoPort;
}

void applyLineSettings(PortSettings* s) {
    s->BaudRate = resetBaudrate;
    s->fBinary = 1;
    s->fParity = 0;
    s->fOutxCtsFlow = 0;
    s->fOutxDsrFlow = 0;
    s->fDtrControl = platDtrControlDisable;
    s->fDsrSensitivity = 0;
    s->fTXContinueOnXoff = 1;
    s->fOutX = 0;
    s->fInX = 0;
    s->fErrorChar = 0;
    s->fNull = 0;
    s->fRtsControl = platRtsControlDisable;
    s->fAbortOnError = 0;
    s->XonLim = 2048;
    s->XoffLim = 200;
    s->ByteSize = 8;
    s->Parity = platNoParity;
    s->StopBits = platOneStopBit;
}

// The reset pulse followed by the return of the PC side to the board's
// reset rate. Result of the settings write, 0 when the record is unreadable.
//
// Whatever was received before the board restarted belongs to the old
// session: a reply that came in after its read had timed out would put
// every later exchange one reply out of step, so the reset throws it away.
int pulseResetAndFollow() {
    platSetDtr(hPort);
    platSleep(dtrPulseMs);
    platClearDtr(hPort);
    platSleep(dtrSettleMs);
    if (!platReadSettings(hPort, &dcb)) {
        return 0;
    }
    dcb.BaudRate = resetBaudrate;
    const int written = writeSettings();
    platDiscardInput(hPort);
    return written;
}

} // namespace

int probePort(int n) {
    hPort = platOpenPort(n);
    if (!portOpen()) {
        return 0;
    }
    platErr("check COM%d", n);
    lineTimeReset();
    if (!platReadSettings(hPort, &dcb)) {
        dropPort();
        return 0;
    }
    lineSettings = dcb;
    applyLineSettings(&dcb);
    const int written = writeSettings();
    if (!written) {
        dropPort();
        return 0;
    }
    platReadTimeouts(hPort, &timeout);
    timeout = linkTimeouts;
    platWriteTimeouts(hPort, &timeout);
    return written;
}

int probeArc() {
    if (portOpen()) {
        pulseResetAndFollow();
    }
    if (arcReadIdentity()) {
        platOut(" OK\n");
        return 1;
    }
    platOut(" failed\n");
    return 0;
}

int uartInit() {
    for (int n = 1; n <= 32; ++n) {
        if (!probePort(n)) {
            continue;
        }
        if (probeArc()) {
            return 1;
        }
        dropPort();
    }
    return 0;
}

int uartClose() {
    if (portOpen()) {
        dropPort();
    }
    return 1;
}

int resetArc() {
    if (!portOpen()) {
        return 0;
    }
    return pulseResetAndFollow();
}

void printCommState(PortSettings settings) {
    platOut(" set speed to %lu, %d%c%d", static_cast<unsigned long>(settings.BaudRate),
            static_cast<int>(settings.ByteSize), settings.Parity == platNoParity ? 'N' : 'Y',
            settings.StopBits + 1);
}

int uartSetBaudrate(std::uint32_t baud, int quiet) {
    if (!portOpen() || !platReadSettings(hPort, &dcb)) {
        return 0;
    }
    dcb.BaudRate = baud;
    const int written = writeSettings();
    if (quiet == 0) {
        printCommState(dcb);
    }
    return written;
}

int uartTxBytes(std::uint32_t count, const void* bytes) {
    if (!portOpen()) {
        return 0;
    }
    drainToLine();
    const std::uint64_t start = platClockNs();
    std::uint32_t written = 0;
    const int result = platWrite(hPort, bytes, count, &written);
    lineTimeWritten(lineSettings, written, start);
    // The debug-port pauses count from the moment the bytes have left the
    // line, so a write that returns with bytes still queued is not the end.
    // A drain that ran out of time threw the bytes away: they were not sent.
    const int drained = drainToLine();
    return drained ? result : 0;
}

int uartRxBytes(std::uint32_t count, void* buffer) {
    if (!portOpen()) {
        return 0;
    }
    std::uint32_t received = 0;
    return platRead(hPort, buffer, count, &received);
}

int uartFlushReceiveBuffer() {
    if (!portOpen()) {
        return 0;
    }
    return drainToLine();
}
