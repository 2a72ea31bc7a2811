// How the port's settings record maps onto a terminal: rates (with or
// without a speed constant), data bits, parity (mark and space where the
// system has them), stop bits, flow control, raw mode and the modem lines.
//
// A terminal has no notion of most other fields of the record; the caller
// keeps those. A write is all or nothing: a rate or framing that the driver
// does not take puts the terminal back as it was, so that a refused change
// of rate never leaves the PC and the board out of step unnoticed.
#include "platform/posix/port_termios.h"

#include "platform/posix/baud_linux.h"
#include "platform/posix/port_system.h"

#include <cstddef>
#include <iterator>
#include <sys/ioctl.h>
#include <termios.h>

namespace {

// Rates that have a speed constant everywhere; all others go through
// baudWriteRate.
struct PortSpeed {
    std::uint32_t rate;
    speed_t code;
};

constexpr PortSpeed portSpeeds[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};

constexpr tcflag_t portSizeFlags[] = {CS5, CS6, CS7, CS8}; // for 5 to 8 data bits

// Mark and space parity, and a separate input rate, exist on Linux only.
#ifdef CMSPAR
constexpr tcflag_t portStickParity = CMSPAR;
#else
constexpr tcflag_t portStickParity = 0;
#endif
#ifdef CIBAUD
constexpr tcflag_t portInputSpeedBits = CIBAUD;
#else
constexpr tcflag_t portInputSpeedBits = 0;
#endif

constexpr std::uint8_t portOddParity = 1;
constexpr std::uint8_t portEvenParity = 2;
constexpr std::uint8_t portMarkParity = 3;
constexpr std::uint8_t portSpaceParity = 4;
constexpr std::uint8_t portTwoStopBits = 2;

// A driver may round the rate it reports back; a UART copes with a few
// percent of difference, so a rate within this many parts per thousand of
// the request counts as taken.
constexpr std::uint32_t portRateTolerancePermille = 30;

std::uint8_t portReadParity(tcflag_t cflag) {
    if ((cflag & PARENB) == 0) {
        return platNoParity;
    }
    bool odd = (cflag & PARODD) != 0;
    if (portStickParity != 0 && (cflag & portStickParity) != 0) {
        return odd ? portMarkParity : portSpaceParity;
    }
    return odd ? portOddParity : portEvenParity;
}

// The control-flag bits for a parity code; false when the code cannot be
// set here.
bool portParityFlags(std::uint8_t parity, tcflag_t* flags) {
    switch (parity) {
    case platNoParity:
        *flags = 0;
        return true;
    case portOddParity:
        *flags = PARENB | PARODD;
        return true;
    case portEvenParity:
        *flags = PARENB;
        return true;
    case portMarkParity:
        *flags = PARENB | PARODD | portStickParity;
        return portStickParity != 0;
    case portSpaceParity:
        *flags = PARENB | portStickParity;
        return portStickParity != 0;
    default:
        return false;
    }
}

const PortSpeed* portFindSpeed(std::uint32_t rate) {
    for (const PortSpeed& speed : portSpeeds) {
        if (speed.rate == rate) {
            return &speed;
        }
    }
    return nullptr;
}

bool portRateMatches(std::uint32_t wanted, std::uint32_t actual) {
    std::uint64_t difference = wanted > actual ? wanted - actual : actual - wanted;
    return difference * 1000 <= std::uint64_t{wanted} * portRateTolerancePermille;
}

// Raw mode: no echo, no line editing, no signals, no translation in either
// direction, so that every byte value passes unchanged.
void portMakeRaw(termios* attributes) {
    attributes->c_iflag = 0;
    attributes->c_oflag = 0;
    attributes->c_lflag = 0;
    // With VMIN 0 a read with nothing waiting would look like end of file.
    attributes->c_cc[VMIN] = 1;
    attributes->c_cc[VTIME] = 0;
}

int portApplyRate(int fd, termios* attributes, std::uint32_t rate) {
    const PortSpeed* speed = portFindSpeed(rate);
    if (speed != nullptr) {
        attributes->c_cflag &= ~portInputSpeedBits;
        if (cfsetospeed(attributes, speed->code) != 0 ||
            cfsetispeed(attributes, speed->code) != 0) {
            return 0;
        }
    }
    if (tcsetattr(fd, TCSANOW, attributes) != 0) {
        return 0;
    }
    if (speed == nullptr && baudWriteRate(fd, rate) == 0) {
        return 0;
    }
    std::uint32_t actual = 0;
    return baudReadRate(fd, &actual) != 0 && portRateMatches(rate, actual) ? 1 : 0;
}

// Whether the driver kept the framing and flow control it was given
// (tcsetattr succeeds when any part of the request was taken).
bool portFramingTaken(int fd, tcflag_t wanted) {
    constexpr tcflag_t checked = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | portStickParity;
    termios actual{};
    return tcgetattr(fd, &actual) == 0 && (actual.c_cflag & checked) == (wanted & checked);
}

} // namespace

int portReadTerminalSettings(int fd, PortSettings* settings) {
    termios attributes{};
    std::uint32_t rate = 0;
    if (settings == nullptr || tcgetattr(fd, &attributes) != 0 || baudReadRate(fd, &rate) == 0) {
        return 0;
    }
    PortSettings result = *settings;
    const tcflag_t cflag = attributes.c_cflag;
    result.BaudRate = rate;
    for (std::size_t i = 0; i < std::size(portSizeFlags); ++i) {
        if ((cflag & CSIZE) == portSizeFlags[i]) {
            result.ByteSize = static_cast<std::uint8_t>(5 + i);
        }
    }
    result.Parity = portReadParity(cflag);
    result.StopBits = (cflag & CSTOPB) != 0 ? portTwoStopBits : platOneStopBit;
    result.fOutxCtsFlow = (cflag & CRTSCTS) != 0 ? 1 : 0;
    result.fOutX = (attributes.c_iflag & IXON) != 0 ? 1 : 0;
    result.fInX = (attributes.c_iflag & IXOFF) != 0 ? 1 : 0;
    result.XonChar = static_cast<char>(attributes.c_cc[VSTART]);
    result.XoffChar = static_cast<char>(attributes.c_cc[VSTOP]);
    // The modem lines as they stand; without them (pseudo-terminals) the
    // control fields keep what was last written.
    int lines = 0;
    if (portIoctl(fd, TIOCMGET, &lines) == 0) {
        result.fDtrControl =
            (lines & TIOCM_DTR) != 0 ? platDtrControlEnable : platDtrControlDisable;
        result.fRtsControl =
            (lines & TIOCM_RTS) != 0 ? platRtsControlEnable : platRtsControlDisable;
    }
    *settings = result;
    return 1;
}

int portWriteTerminalSettings(int fd, const PortSettings& wanted) {
    tcflag_t parity = 0;
    if (wanted.BaudRate == 0 || wanted.ByteSize < 5 || wanted.ByteSize > 8 ||
        !portParityFlags(wanted.Parity, &parity) ||
        (wanted.StopBits != platOneStopBit && wanted.StopBits != portTwoStopBits)) {
        return 0;
    }
    termios before{};
    std::uint32_t rateBefore = 0;
    if (tcgetattr(fd, &before) != 0 || baudReadRate(fd, &rateBefore) == 0) {
        return 0;
    }
    termios attributes = before;
    portMakeRaw(&attributes);
    attributes.c_iflag |= (wanted.fOutX != 0 ? IXON : 0) | (wanted.fInX != 0 ? IXOFF : 0);
    attributes.c_cc[VSTART] = static_cast<cc_t>(wanted.XonChar);
    attributes.c_cc[VSTOP] = static_cast<cc_t>(wanted.XoffChar);
    attributes.c_cflag &= ~(CSIZE | PARENB | PARODD | portStickParity | CSTOPB | CRTSCTS | HUPCL);
    attributes.c_cflag |= CLOCAL | CREAD | portSizeFlags[wanted.ByteSize - 5] | parity;
    attributes.c_cflag |= (wanted.StopBits == portTwoStopBits ? CSTOPB : 0) |
                          (wanted.fOutxCtsFlow != 0 ? CRTSCTS : 0);

    // The new settings take effect at once, like a change on the board's
    // side: bytes still in the output queue may leave at the new rate.
    if (portApplyRate(fd, &attributes, wanted.BaudRate) == 0 ||
        !portFramingTaken(fd, attributes.c_cflag)) {
        // Refused: back to the settings from before, rate included.
        (void)tcsetattr(fd, TCSANOW, &before);
        if (portFindSpeed(rateBefore) == nullptr) {
            (void)baudWriteRate(fd, rateBefore);
        }
        return 0;
    }
    // Modem lines: refused on pseudo-terminals, which have none.
    if (wanted.fDtrControl == platDtrControlDisable) {
        (void)portClearLines(fd, TIOCM_DTR);
    } else {
        (void)portSetLines(fd, TIOCM_DTR);
    }
    if (wanted.fRtsControl == platRtsControlDisable) {
        (void)portClearLines(fd, TIOCM_RTS);
    } else {
        (void)portSetLines(fd, TIOCM_RTS);
    }
    return 1;
}
