// The verdict on a station's capture: the rules the guest's runs are judged
// by, applied to what the analyzer saw on the line.
//
//   - each reset pulse (DTR raised alone) lasts 49 to 250 ms, and the PC's
//     first byte after it comes at least 198 ms after its end;
//   - no byte crosses while DTR or RTS is up (the board is held in reset);
//   - every stretch of bytes runs within 2 % of a rate of the ladder, and
//     every frame is whole (start bit low, stop bit high);
//   - every packet is whole, the PC keeps the pause after it, and the board's
//     reply is whole and over within the reply window; only the identity
//     read at a new rate may go unanswered (the ladder then steps down), and
//     then the PC waits out the window before it moves on;
//   - halt polls are 500 ms apart;
//   - the board sends nothing that no packet asked for;
//   - the update ends with a halt poll that sees the core halted.
#pragma once

#include "tools/station/protocol.h"
#include "tools/station/uart.h"
#include "tools/station/vcd.h"

#include <string>
#include <vector>

namespace station {

struct Rules {
    Time pulseMin = 49 * millis;
    Time pulseMax = 250 * millis;
    Time quietAfterPulse = 198 * millis;
    double rateTolerance = 0.02;
    // The PC counts its pause from when it reckons its bytes have left the
    // line; a USB adapter starts them up to a frame of the bus (1 ms) later,
    // and the analyzer's clock is not the PC's: a pause may look this much
    // shorter on the line.
    Time pauseSlack = 2 * millis;
};

struct Finding {
    Time at = 0;
    bool fail = true; // else a note: what happened, and within the rules
    std::string text;
};

// The four wires as recorded, DTR and RTS high while asserted.
struct Wires {
    Signal txd, rxd, dtr, rts;
    bool rtsRecorded = true;
    Time end = 0; // the capture's last time stamp
};

struct Judgement {
    Decoded txd, rxd;
    Session session;
    std::vector<Finding> findings; // in time order
    Time end = 0;
    bool pass() const;
    std::size_t failures() const;
};

Judgement judge(const Wires& wires, const Rules& rules = {});

} // namespace station
