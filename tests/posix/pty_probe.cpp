#include "pty_probe.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

bool probeRates(int fd, std::uint32_t* output, std::uint32_t* input) {
    struct termios2 settings {};
    if (ioctl(fd, TCGETS2, &settings) != 0) {
        return false;
    }
    *output = settings.c_ospeed;
    *input = settings.c_ispeed;
    return true;
}
