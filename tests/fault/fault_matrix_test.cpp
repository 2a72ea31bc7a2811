// The fault matrix: every fault of the board model and of the line, switched
// on at every phase of one whole update, on the virtual clock. Each cell must
// end within the protocol's time bound with exit status 0, a console text
// that the dialogue allows, and nothing the simulator counts as an anomaly.
#include "fault_cells.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace faulttest;

char outcomeLetter(const CellResult& r) {
    if (!r.verdict.ok || r.verdict.sessions.empty()) {
        return '?';
    }
    switch (r.verdict.sessions.front()) {
    case Outcome::done:
        return r.corrupted ? 'C' : 'D';
    case Outcome::haltFailed:
        return 'H';
    case Outcome::downloadFailed:
        return 'F';
    case Outcome::noDevice:
        return 'N';
    }
    return '?';
}

// Faults after which the operator tries again once: the new scan meets the
// same board (or none, once the cable is out).
bool retriesOnce(Fault f) {
    return f == Fault::refuseRest || f == Fault::silentRest || f == Fault::unplug ||
           f == Fault::stall || f == Fault::neverHalts;
}

#ifdef FAULT_SANITIZED_BUILD
constexpr int cellStride = 6;
#else
constexpr int cellStride = 1;
#endif

TEST(FaultMatrix, EveryFaultAtEveryPhaseEndsCleanly) {
    const auto wallStart = std::chrono::steady_clock::now();
    std::vector<std::string> failures;
    sim::Nanos longest = 0;
    std::string table = "\nfault matrix (D done, C done with corrupted memory, H halt "
                        "failed, F download failed, N no device)\n";
    table += "                    ";
    for (int p = 0; p < phaseCount; ++p) {
        char head[16];
        std::snprintf(head, sizeof head, "%10s", phaseName(static_cast<Phase>(p)));
        table += head;
    }
    table += "\n";
    int cells = 0;
    int corrupted = 0;
    for (int f = 0; f < faultCount; ++f) {
        char name[32];
        std::snprintf(name, sizeof name, "%-20s", faultName(static_cast<Fault>(f)));
        table += name;
        for (int p = 0; p < phaseCount; ++p) {
            if ((f + p) % cellStride != 0) {
                table += "         -";
                continue;
            }
            Cell cell;
            cell.fault = static_cast<Fault>(f);
            cell.phase = static_cast<Phase>(p);
            if (retriesOnce(cell.fault)) {
                cell.keys.insert(0, 1, 'y');
            }
            cell.seed = static_cast<std::uint32_t>(1000 + 100 * f + p);
            const CellResult r = runCell(cell);
            ++cells;
            corrupted += r.corrupted ? 1 : 0;
            longest = std::max(longest, r.took);
            char mark[16];
            std::snprintf(mark, sizeof mark, "%8s %c", r.pass ? "pass" : "FAIL!", outcomeLetter(r));
            table += mark;
            if (!r.pass) {
                failures.push_back(std::string(faultName(cell.fault)) + " at " +
                                   phaseName(cell.phase) + ": " + r.why);
            }
        }
        table += "\n";
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();
    std::printf("%s%d cells (%d reported done over corrupted memory), longest run %.1f s of "
                "virtual time (bound for one key %.1f s), "
                "%.2f s of real time\n",
                table.c_str(), cells, corrupted, sim::toMs(longest) / 1000,
                sim::toMs(runBound(1)) / 1000, wall);
    for (const std::string& f : failures) {
        ADD_FAILURE() << f;
    }
}

} // namespace
