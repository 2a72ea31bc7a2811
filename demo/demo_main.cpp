// The updater's real dialogue against the simulated board, in real time.
//
// This is the program of updater-qpsk1-ci-slave with its serial ports and
// clock replaced by the board simulator: COM1 has nothing attached, COM2 has
// another device that echoes every byte, and the board sits on COM3. The
// simulated line runs at the real speed of the rate in use, so the check
// lines, the speed ladder, the star bar and the halt poll appear as they do
// at a production line. The console and the conversion file are real.
#include "app/dialogue.h"
#include "platform/platform.h"
#include "sim/board.h"
#include "sim/sim.h"

int main() {
    platStart();
    sim::resetWorld();
    sim::setPort(1, sim::PortKind::Silent);
    sim::setPort(2, sim::PortKind::Echo);
    sim::attachBoard(3);
    sim::setRealTimePacing(true);
    return updaterMain();
}
