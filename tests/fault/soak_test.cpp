// The soak: 200 whole updates (40 under the sanitizers) in one process, as a station on the
// production line runs them one after the other, each with a random fault at a random phase (fixed
// seed). The updater's module state lives on from run to run; only the simulated world is reset.
// Memory and open descriptors must not grow between the first and the last quarter of the runs.
#include "fault_cells.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <malloc.h>
#include <random>
#include <string>

namespace {

using namespace faulttest;

std::size_t openDescriptors() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++n;
    }
    return n;
}

// Bytes in use by the heap; under AddressSanitizer, which keeps its own
// heap, the resident set instead.
std::size_t memoryInUse() {
    const struct mallinfo2 info = mallinfo2();
    if (info.uordblks != 0) {
        return info.uordblks;
    }
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) {
        return 0;
    }
    unsigned long size = 0;
    unsigned long resident = 0;
    const int got = std::fscanf(statm, "%lu %lu", &size, &resident);
    std::fclose(statm);
    return got == 2 ? resident * 4096 : 0;
}

#ifdef FAULT_SANITIZED_BUILD
// The sanitizers' own heap keeps freed blocks in quarantine, so the resident
// set grows without a leak; LeakSanitizer checks for leaks at the exit.
constexpr int runs = 40;
constexpr bool measureMemory = false;
#else
constexpr int runs = 200;
constexpr bool measureMemory = true;
#endif

TEST(Soak, UpdatesWithRandomFaultsLeakNothing) {
    constexpr int window = runs / 4;
    std::mt19937 rng(20240607);
    std::size_t memoryAfterFirst = 0;
    std::size_t fdsAfterFirst = 0;
    int done = 0;
    for (int run = 1; run <= runs; ++run) {
        Cell cell;
        // A quarter of the runs on a sound board.
        const bool faulty = rng() % 4 != 0;
        cell.fault = static_cast<Fault>(rng() % faultCount);
        cell.phase = static_cast<Phase>(rng() % phaseCount);
        if (rng() % 3 == 0) {
            cell.keys.insert(0, 1, 'y');
        }
        cell.seed = static_cast<std::uint32_t>(rng());
        cell.noiseRate = faulty ? 0.01 : 0.0;
        if (!faulty) {
            cell.fault = Fault::noise; // at rate 0: a sound line
        }
        const CellResult r = runCell(cell);
        ASSERT_TRUE(r.pass) << "run " << run << ": " << faultName(cell.fault) << " at "
                            << phaseName(cell.phase) << ": " << r.why;
        done += r.verdict.last == Outcome::done ? 1 : 0;
        if (run == window) {
            sim::resetWorld();
            memoryAfterFirst = memoryInUse();
            fdsAfterFirst = openDescriptors();
        }
    }
    sim::resetWorld();
    const std::size_t memoryAtEnd = memoryInUse();
    const std::size_t fdsAtEnd = openDescriptors();
    std::printf("soak: %d runs, %d updated; memory in use %zu bytes after %d runs, %zu after "
                "%d; descriptors %zu and %zu\n",
                runs, done, memoryAfterFirst, window, memoryAtEnd, runs, fdsAfterFirst, fdsAtEnd);
    EXPECT_EQ(fdsAtEnd, fdsAfterFirst);
    if (measureMemory) {
        EXPECT_LE(memoryAtEnd, memoryAfterFirst + 256 * 1024);
    }
    EXPECT_GT(done, runs / 4);
}

} // namespace
