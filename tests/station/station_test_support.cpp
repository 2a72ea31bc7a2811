// Captures for the station judge's tests: see station_test_support.h.
#include "station_test_support.h"

#include "app/dialogue.h"
#include "sim/capture.h"
#include "sim/sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <unistd.h>

namespace stationtest {

Run runCapture(const std::function<void(sim::Board&)>& setup) {
    sim::resetWorld();
    sim::Board& board = sim::attachBoard(1);
    board.config.runTime = sim::ms(3000);
    if (setup) {
        setup(board);
    }
    EXPECT_EQ(updaterMain(), 0);
    board.onPacket = nullptr;
    Run run;
    std::ostringstream out;
    sim::captureLine(1).write(out);
    run.vcd = out.str();
    run.sent = sim::portLog(1).sentBytes();
    for (const sim::LineByte& b : sim::portLog(1).arrivals) {
        run.received.push_back(b.value);
    }
    return run;
}

const Run& updateRun() {
    static const Run run = runCapture();
    return run;
}

const Run& ladderRun() {
    static const Run run = runCapture([](sim::Board& board) { board.faults.maxBaud = 38400; });
    return run;
}

station::Wires wiresOf(const std::string& vcd) {
    std::string error;
    auto file = station::readVcd(vcd, {"TXD", "RXD", "DTR", "RTS"}, error);
    EXPECT_TRUE(file.has_value()) << error;
    station::Wires w;
    if (file) {
        w.txd = file->signals[0];
        w.rxd = file->signals[1];
        w.dtr = file->signals[2];
        w.rts = file->signals[3];
        w.end = file->end;
    }
    return w;
}

std::string vcdOf(const station::Wires& w) {
    std::ostringstream out;
    station::writeVcd(out, {w.txd, w.rxd, w.dtr, w.rts}, 100 * station::nanos, w.end);
    return out.str();
}

void shift(station::Signal& s, station::Time from, station::Time to, station::Time by) {
    for (station::Time& t : s.toggles) {
        t += t >= from && t < to ? by : 0;
    }
    EXPECT_TRUE(std::is_sorted(s.toggles.begin(), s.toggles.end())) << "a shift past a neighbour";
}

void erase(station::Signal& s, station::Time from, station::Time to) {
    const auto a = std::lower_bound(s.toggles.begin(), s.toggles.end(), from);
    const auto b = std::lower_bound(s.toggles.begin(), s.toggles.end(), to);
    EXPECT_EQ((b - a) % 2, 0) << "an erase that leaves the wire at the other level";
    s.toggles.erase(a, b);
}

void slowBursts(station::Signal& s, station::Time from, station::Time to, double factor) {
    station::Time origin = 0, previous = -1;
    for (station::Time& t : s.toggles) {
        if (t < from || t >= to) {
            continue;
        }
        if (previous < 0 || t - previous > station::millis) {
            origin = t; // idle before it: a new burst
        }
        previous = t;
        t = origin + std::llround(static_cast<double>(t - origin) * factor);
    }
}

void addByte(station::Signal& s, station::Time at, std::uint8_t value, double rate) {
    EXPECT_TRUE(s.levelAt(at)) << "a byte where the wire is not idle";
    const double bit = 1e12 / rate;
    bool level = true;
    std::vector<station::Time> added;
    for (int k = 0; k < 10; ++k) {
        const bool next = k == 0 ? false : k == 9 ? true : ((value >> (k - 1)) & 1) != 0;
        if (next != level) {
            added.push_back(at + std::llround(k * bit));
            level = next;
        }
    }
    s.toggles.insert(s.toggles.end(), added.begin(), added.end());
    std::sort(s.toggles.begin(), s.toggles.end());
}

void cut(station::Wires& w, station::Time end) {
    for (station::Signal* s : {&w.txd, &w.rxd, &w.dtr, &w.rts}) {
        s->toggles.erase(std::lower_bound(s->toggles.begin(), s->toggles.end(), end),
                         s->toggles.end());
    }
    w.end = end;
}

std::vector<station::Finding> failures(const station::Judgement& j, const std::string& what) {
    std::vector<station::Finding> out;
    for (const station::Finding& f : j.findings) {
        if (f.fail && f.text.find(what) != std::string::npos) {
            out.push_back(f);
        }
    }
    return out;
}

std::string scratchDir() {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("station-judge-test-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    return dir.string();
}

} // namespace stationtest
