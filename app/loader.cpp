// The download driver: puts the carried image into the board and starts it.
//
// One attempt: reset, climb down the baud ladder until the core answers,
// check the image header, prepare the core, stop the watchdog, send every
// program-header segment, start the core. Five attempts at most.
#include "app/loader.h"

#include "image/elf.h"
#include "image/firmware_image.h"
#include "platform/platform.h"
#include "serial/uart.h"
#include "target/arc.h"

namespace {

// Fastest first; the last is the rate of the board's debug port after reset.
constexpr std::uint32_t baudrate[] = {256000, 128000, 115200, 57600, 38400};

constexpr int attempts = 5;
// After a failed connect the board gets time to finish whatever it started
// before the next reset.
constexpr std::uint32_t connectFailPauseMs = 2000;

struct WatchdogWrite {
    std::uint32_t address;
    std::uint32_t value;
};
// The board's watchdog would reset the core in the middle of the transfer.
constexpr WatchdogWrite watchdogTable[] = {
    {0x08380010, 0x00000080},
    {0x08380030, 0x00000080},
    {0x0838003C, 0x00008080},
};

// The header of the image, as the last header test returned it.
const unsigned char* eh = nullptr;

enum class AttemptEnd { started, connectFailed, failed };

// Connect phase: from a fresh reset at every rate, halt the core, move both
// ends to the rate and confirm the identity there.
bool connectAtBestRate() {
    for (const std::uint32_t rate : baudrate) {
        resetArc();
        if (arcInit() != 0) {
            return false;
        }
        arcSetBaudrate(rate, CbfArcTargetBaudWasSet);
        if (arcReadIdentity() == 1) {
            platOut(" OK");
            return true;
        }
        platOut(" failed\n");
    }
    return false;
}

bool transferSegments(const unsigned char* image) {
    platOut("\n transfer: ");
    platOut("............................................................\r transfer: ");
    const std::uint16_t count = elfPhnum(eh);
    for (std::uint16_t i = 0; i < count; ++i) {
        const unsigned char* ph = elfGetProghead(i);
        if (ph == nullptr) {
            continue;
        }
        if (arcWriteToMem(elfSegmentFilesz(ph), elfSegmentVaddr(ph), image + elfSegmentOffset(ph),
                          progressInfoCbf) != 0) {
            return false;
        }
    }
    platOut(" done\n");
    return true;
}

AttemptEnd runAttempt() {
    platOut("reset device\n");
    if (!connectAtBestRate()) {
        return AttemptEnd::connectFailed;
    }
    eh = elfReadHeader(firmwareImage.elfFile);
    if (eh == nullptr) {
        return AttemptEnd::failed;
    }
    const std::uint32_t entry = elfEntry(eh);
    arcPrepareForDownload(entry);
    stopArcWDT();
    if (!transferSegments(firmwareImage.elfFile)) {
        return AttemptEnd::failed;
    }
    platOut(" update:   ");
    return arcStartProgramAt(entry) == 0 ? AttemptEnd::started : AttemptEnd::failed;
}

} // namespace

int loadBootingArc() {
    int attemptsLeft = attempts;
    for (;;) {
        const AttemptEnd end = runAttempt();
        if (end == AttemptEnd::started) {
            return 1;
        }
        if (end == AttemptEnd::connectFailed) {
            platSleep(connectFailPauseMs);
        }
        --attemptsLeft;
        platOut(" error \nretry... (%d of %d)\n", attempts - attemptsLeft, attempts);
        if (attemptsLeft == 0) {
            return 0;
        }
    }
}

int resetTargetSystem() {
    platOut("reset device\n");
    return connectAtBestRate() ? 1 : 0;
}

int uploadProgram(const unsigned char* image) {
    // Only defined after an accepted header: without one there is nothing
    // to walk, and nothing is sent.
    if (eh == nullptr) {
        return 0;
    }
    return transferSegments(image) ? 1 : 0;
}

int stopArcWDT() {
    int result = 1;
    for (const WatchdogWrite& w : watchdogTable) {
        result &= arcWrite(ARC_WRITE_MEM, w.address, w.value);
    }
    return result;
}

void printStatus(int flag) {
    platOut(flag != 0 ? " ERROR\n" : " OK\n");
}

int CbfArcTargetBaudWasSet(std::uint32_t baud) {
    return uartSetBaudrate(baud, 0);
}

int progressInfoCbf(std::uint32_t /*bytesSent*/) {
    platOut("*");
    return 1;
}
