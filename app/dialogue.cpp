// The operator dialogue: the whole exchange with the operator at the
// production line, from the port scan to "exit now...".
#include "app/dialogue.h"

#include "app/loader.h"
#include "image/outfile.h"
#include "platform/platform.h"
#include "serial/uart.h"
#include "target/arc.h"

namespace {

// The board's boot code needs a moment after the scan's reset before the
// first download reset.
constexpr std::uint32_t settleMs = 500;
// About 30 s of waiting for the new firmware to halt the core.
constexpr int haltPolls = 59;

constexpr int acceptKey = 'y';

enum class Next { rescan, end };

// Waits for the started firmware to report the end of the update by halting
// the core.
bool waitForHalt() {
    for (int poll = 0; poll < haltPolls; ++poll) {
        if (arcReadHaltFlag() == 0) {
            return true;
        }
    }
    return false;
}

Next offerRetry() {
    platOut("\n");
    platOut("Retry update?\n");
    platOut("Press 'y' to retry or any other key to exit:\n");
    if (platGetKey() == acceptKey) {
        uartClose();
        return Next::rescan;
    }
    return Next::end;
}

void offerConversion() {
    platOut("\nNo device found!\n\n");
    platOut("Convert file to use with progstand?\n");
    platOut("Press 'y' to convert or any other key to exit:\n");
    if (platGetKey() == acceptKey) {
        writeOutfile();
    }
}

Next updateOnce() {
    if (!uartInit()) {
        offerConversion();
        return Next::end;
    }
    platSleep(settleMs);
    platOut("\n");
    if (loadBootingArc()) {
        if (waitForHalt()) {
            platOut(" done\n");
            return Next::end;
        }
        platOut(" failed!\n");
    }
    return offerRetry();
}

} // namespace

int updaterMain() {
    while (updateOnce() == Next::rescan) {
    }
    platOut("exit now...\n");
    uartClose();
    return 0;
}
