// One cell of the fault matrix: a whole run of the updater against the
// simulated board on port 1, with one fault switched on when the run reaches
// one phase of the flow, and the checks that every such run must pass.
#pragma once

#include "dialogue_grammar.h"
#include "sim/sim.h"

#include <cstdint>
#include <string>

namespace faulttest {

// The phases of the flow, in the order a run meets them.
enum class Phase {
    scan,
    connect256000,
    connect128000,
    connect115200,
    connect57600,
    connect38400,
    prepare,
    watchdog,
    segment0,
    segment1,
    start,
    haltPoll,
    count
};

// How long a fault lasts: the first packet of the phase only; the first
// stretch of the phase (a later attempt meets a sound board); or from the
// phase to the end of the run.
enum class Window { once, phase, rest };

enum class Fault {
    refuseOnce,
    refusePhase,
    refuseRest,
    noReplyOnce,
    silentRest,
    shortReplies,
    lateReplies,
    lateRest,
    garbageReplies,
    noise,
    lightNoise,
    unplug,
    stall,
    r1NoReadback,
    wrongIdentity,
    stepStuck,
    stepFlagOnly,
    stepByEight,
    neverHalts,
    count
};

constexpr int phaseCount = static_cast<int>(Phase::count);
constexpr int faultCount = static_cast<int>(Fault::count);

const char* phaseName(Phase phase);
const char* faultName(Fault fault);

struct Cell {
    Fault fault = Fault::refuseOnce;
    Phase phase = Phase::scan;
    std::string keys = "n";  // answers to the prompts, in order
    std::uint32_t seed = 1;  // of the noise and the garbage
    double noiseRate = 0.01; // of Fault::noise; Fault::lightNoise has 0.01 %
};

struct CellResult {
    bool pass = false;
    std::string why; // the first check that failed
    Verdict verdict;
    bool reached = false; // the run reached the phase
    // The first session reported the update as done, yet target memory does
    // not hold the image: the protocol has no checksum, so a corrupted data
    // byte goes into memory unseen.
    bool corrupted = false;
    sim::Nanos took = 0;
    sim::Nanos bound = 0;
};

// The longest a run may take: per session the scan, the settling pause, five
// attempts at their worst (every read waiting out its time-out at 38400 baud)
// and 59 halt polls; sessions = 1 + the keys that may start a new one.
sim::Nanos runBound(std::size_t keys);

Image carriedImage();

// Resets the simulated world and runs the cell. The module state of the
// updater itself is left as the last run left it.
CellResult runCell(const Cell& cell);

} // namespace faulttest
