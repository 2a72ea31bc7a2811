// Whole runs of the updater against the simulated board on the virtual clock,
// and the console text that they must produce.
#pragma once

#include "image/firmware_image.h"
#include "serial/uart.h"
#include "sim/board.h"
#include "sim/sim.h"
#include "tests/support/carried_image.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace apptest {

// ---------------------------------------------------------------------------
// The carried image, read straight from its bytes

using carried::le32;
using carried::Segment;
using carried::segments;

inline constexpr std::uint32_t entry = 0x100000;

// Stars of each segment's run on the progress bar.
inline std::vector<int> starsPerSegment() {
    const std::string_view deliverable = APPTEST_DELIVERABLE;
    if (deliverable == "updater-qpsk1-ci-slave") {
        return {44, 58};
    }
    if (deliverable == "updater-ofdm1-ci-master") {
        return {58};
    }
    if (deliverable == "updater-ofdm2" || deliverable == "updater-ofdm1") {
        return {59};
    }
    ADD_FAILURE() << "no star counts for " << deliverable;
    return {};
}

// ---------------------------------------------------------------------------
// Expected console text; the text of standard error is enclosed in << >>

inline std::string repeat(char c, int n) {
    return std::string(static_cast<std::size_t>(n), c);
}

inline std::string checkLine(int port, bool ok) {
    return "<<check COM" + std::to_string(port) + ">>" + (ok ? " OK\n" : " failed\n");
}

inline constexpr std::uint32_t ladder[] = {256000, 128000, 115200, 57600, 38400};

inline std::string speed(std::uint32_t rate) {
    return " set speed to " + std::to_string(rate) + ", 8N1";
}

// An attempt's connect phase that fails at every rate above okRate and is
// confirmed at okRate.
inline std::string connect(std::uint32_t okRate = 256000) {
    std::string text = "reset device\n";
    for (const std::uint32_t rate : ladder) {
        if (rate == okRate) {
            return text + speed(rate) + " OK";
        }
        text += speed(rate) + " failed\n";
    }
    ADD_FAILURE() << okRate << " is not on the ladder";
    return text;
}

inline const std::string ruler = repeat('.', 60) + "\r transfer: ";

inline std::string transfer() {
    std::string text = "\n transfer: " + ruler;
    for (const int stars : starsPerSegment()) {
        text += repeat('*', stars);
    }
    return text + " done\n";
}

// The start and the halt poll of a core that halts at the given poll.
inline std::string update(int polls) {
    return " update:   " + repeat('.', polls) + " done\n";
}

inline std::string retry(int made) {
    return " error \nretry... (" + std::to_string(made) + " of 5)\n";
}

inline const std::string retryPrompt =
    "\nRetry update?\nPress 'y' to retry or any other key to exit:\n";
inline const std::string noDevice = "\nNo device found!\n\nConvert file to use with progstand?\n"
                                    "Press 'y' to convert or any other key to exit:\n";
inline const std::string exitNow = "exit now...\n";

// The firmware halts the core 3 s after its release; with 500 ms between
// polls the sixth poll is the first to see it.
inline constexpr sim::Nanos firmwareRunTime = sim::ms(3000);
inline constexpr int pollsToHalt = 6;

// A whole run whose scan printed scan and whose first attempt succeeds at
// okRate.
inline std::string successfulRun(const std::string& scan = checkLine(1, true),
                                 std::uint32_t okRate = 256000) {
    return scan + "\n" + connect(okRate) + transfer() + update(pollsToHalt) + exitNow;
}

// Refuses the nth write of an auxiliary register (counted from 1 since the
// board was attached; andAfter: that one and every later one) with status 1.
inline void refuseAuxWrite(sim::Board& board, std::uint32_t reg, int nth, bool andAfter = false) {
    sim::StatusFault fault;
    fault.command = sim::cmd::writeAux;
    fault.address = reg;
    fault.nth = nth;
    fault.andAfter = andAfter;
    board.faults.status.push_back(fault);
}

// From a refused packet to the reset pulse that begins the next attempt.
inline std::vector<sim::Nanos> pausesAfterRefusals(const sim::Board& board, int port = 1) {
    std::vector<sim::Nanos> pauses;
    for (const sim::Packet& p : board.packets()) {
        if (p.status == 0) {
            continue;
        }
        for (const sim::DtrRecord& d : sim::portLog(port).dtrChanges) {
            if (d.high && d.time > p.time) {
                pauses.push_back(d.time - p.time);
                break;
            }
        }
    }
    return pauses;
}

// ---------------------------------------------------------------------------

class World : public ::testing::Test {
  protected:
    void SetUp() override { sim::resetWorld(); }
    void TearDown() override {
        uartClose(); // a test that opened the port without a whole run
        EXPECT_TRUE(sim::anomalies().empty()) << sim::anomalies().front();
    }

    static sim::Board& board(int port = 1) {
        sim::Board& b = sim::attachBoard(port);
        b.config.runTime = firmwareRunTime;
        return b;
    }
};

} // namespace apptest
