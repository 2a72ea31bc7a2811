// Linux implementation of the controls in baud_linux.h, through the kernel's
// own termios2 and serial_struct records.
#include "platform/posix/baud_linux.h"

#include "platform/posix/port_system.h"

#include <asm/termbits.h>
#include <cstring>
#include <linux/serial.h>
#include <sys/ioctl.h>

int baudReadRate(int fd, std::uint32_t* rate) {
    struct termios2 settings {};
    if (portIoctl(fd, TCGETS2, &settings) != 0) {
        return 0;
    }
    // The kernel fills c_ospeed with the real rate for the speed constants
    // as well as for BOTHER.
    *rate = settings.c_ospeed;
    return 1;
}

int baudWriteRate(int fd, std::uint32_t rate) {
    struct termios2 settings {};
    if (portIoctl(fd, TCGETS2, &settings) != 0) {
        return 0;
    }
    // Clearing CIBAUD makes the input rate follow the output rate, also after
    // a later change back to a speed constant through <termios.h>.
    settings.c_cflag &= ~static_cast<tcflag_t>(CBAUD | CIBAUD);
    settings.c_cflag |= BOTHER;
    settings.c_ospeed = rate;
    settings.c_ispeed = rate;
    return portIoctl(fd, TCSETS2, &settings) == 0 ? 1 : 0;
}

int baudSaveTerminal(int fd, BaudFound* found) {
    static_assert(sizeof(struct termios2) <= sizeof found->bytes);
    struct termios2 settings {};
    if (portIoctl(fd, TCGETS2, &settings) != 0) {
        return 0;
    }
    std::memcpy(found->bytes, &settings, sizeof settings);
    found->lowLatencySet = false;
    return 1;
}

int baudRestoreTerminal(int fd, const BaudFound* found) {
    int result = 1;
    if (found->lowLatencySet) {
        struct serial_struct serial {};
        if (portIoctl(fd, TIOCGSERIAL, &serial) == 0) {
            serial.flags = static_cast<int>(static_cast<unsigned>(serial.flags) &
                                            ~static_cast<unsigned>(ASYNC_LOW_LATENCY));
            result = portIoctl(fd, TIOCSSERIAL, &serial) == 0 ? result : 0;
        }
    }
    struct termios2 settings {};
    std::memcpy(&settings, found->bytes, sizeof settings);
    return portIoctl(fd, TCSETS2, &settings) == 0 ? result : 0;
}

int baudRequestLowLatency(int fd, BaudFound* found) {
    struct serial_struct serial {};
    if (portIoctl(fd, TIOCGSERIAL, &serial) != 0) {
        return 0;
    }
    if ((serial.flags & ASYNC_LOW_LATENCY) != 0) {
        return 1;
    }
    serial.flags |= ASYNC_LOW_LATENCY;
    if (portIoctl(fd, TIOCSSERIAL, &serial) != 0) {
        return 0;
    }
    found->lowLatencySet = true;
    return 1;
}
