// The real Linux program of updater-qpsk1-ci-slave, built with its COM ports
// in a folder of links, run against board-sim on pseudo-terminals in real
// time: its whole console text, the board's memory afterwards, and four
// programs updating four boards side by side.
#include "image/firmware_image.h"
#include "sim/pty/station.h"
#include "tests/support/carried_image.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using station::RunResult;
using station::SimOptions;
using station::Simulator;

// ---------------------------------------------------------------------------
// The carried image

using carried::Segment;
using carried::segmentBytes;
using carried::segments;

// ---------------------------------------------------------------------------
// Console texts (standard error and standard output share one pipe)

std::string repeat(char c, int n) {
    return std::string(static_cast<std::size_t>(n), c);
}

std::string checkLine(int port, bool ok) {
    return "check COM" + std::to_string(port) + (ok ? " OK\n" : " failed\n");
}

std::string connect(std::uint32_t okRate = 256000) {
    std::string text = "reset device\n";
    for (const std::uint32_t rate : {256000u, 128000u, 115200u, 57600u, 38400u}) {
        text += " set speed to " + std::to_string(rate) + ", 8N1";
        if (rate == okRate) {
            return text + " OK";
        }
        text += " failed\n";
    }
    return text;
}

// The image of updater-qpsk1-ci-slave: two segments, 44 and 58 stars.
const std::string transfer =
    "\n transfer: " + repeat('.', 60) + "\r transfer: " + repeat('*', 44 + 58) + " done\n";

const std::string exitNow = "exit now...\n";
const std::string retryPrompt = "\nRetry update?\nPress 'y' to retry or any other key to exit:\n";
const std::string noDevice = "\nNo device found!\n\nConvert file to use with progstand?\n"
                             "Press 'y' to convert or any other key to exit:\n";

// The board's program halts the core 2.75 s after its release, between the
// fifth and the sixth poll (500 ms apart): the sixth sees it, with a margin of
// a quarter second for the scheduling of either side.
constexpr int runTimeMs = 2750;
constexpr int pollsToHalt = 6;

std::string afterScan(std::uint32_t okRate = 256000) {
    return "\n" + connect(okRate) + transfer + " update:   " + repeat('.', pollsToHalt) +
           " done\n" + exitNow;
}

SimOptions device(const char* kind) {
    SimOptions o;
    o.device = kind;
    return o;
}

// A board whose UART works at 38400 baud only.
SimOptions slowBoard() {
    SimOptions o;
    o.maxBaud = 38400;
    return o;
}

// A board whose downloaded program never halts the core.
SimOptions stuckCore() {
    SimOptions o;
    o.neverHalts = true;
    return o;
}

// COMn is ttyS(n-1) for n up to 8.
std::string comLink(const std::string& folder, int n) {
    return folder + "/ttyS" + std::to_string(n - 1);
}

// ---------------------------------------------------------------------------

class EndToEnd : public ::testing::Test {
  protected:
    // The program and the device folder of this test case.
    void useCase(const std::string& name) {
        program_ = std::string(E2E_DIR) + "/e2e-" + name;
        folder_ = std::string(E2E_DIR) + "/dev-" + name;
        work_ = std::string(E2E_DIR) + "/work-" + name;
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        fs::remove_all(work_);
        fs::create_directories(work_);
    }

    // A simulator serving COMn; a board gets its memory dumped and its summary
    // written when it stops.
    Simulator& serve(int n, SimOptions options) {
        options.link = comLink(folder_, n);
        const std::string base = work_ + "/com" + std::to_string(n);
        options.stats = base + ".stats";
        if (options.device == "board") {
            options.dump = base + ".dump";
            for (const Segment& s : segments()) {
                options.ranges.emplace_back(s.vaddr, s.filesz);
            }
        }
        simulators_.push_back(std::make_unique<Simulator>(options));
        return *simulators_.back();
    }

    Simulator& board(int n, SimOptions options = {}) {
        options.device = "board";
        if (options.runTimeMs < 0) {
            options.runTimeMs = runTimeMs;
        }
        return serve(n, options);
    }

    // One run of this case's program; it always ends with exit status 0.
    RunResult run(const std::string& keys, double limitSeconds) {
        station::Run r(program_, keys, work_);
        const RunResult result = r.wait(limitSeconds);
        EXPECT_TRUE(!result.exited || result.exitStatus == 0) << result.console;
        return result;
    }

    // Stops every simulator and checks that each ended cleanly.
    void stopAll() {
        for (const auto& s : simulators_) {
            EXPECT_TRUE(s->stop()) << "board-sim " << s->terminal();
        }
    }

    // The board saw exactly one whole transfer of the image, and its memory
    // holds every segment.
    static void expectUpdatedOnce(const Simulator& sim) {
        const auto stats = sim.stats();
        std::uint64_t imageBytes = 0;
        for (const Segment& s : segments()) {
            imageBytes += s.filesz;
        }
        EXPECT_EQ(stats.at("board_releases"), 1);
        // The segments, and the 64 bytes of no-operation code at the entry.
        EXPECT_EQ(stats.at("board_block_bytes"), static_cast<double>(imageBytes + 64));
        EXPECT_EQ(stats.at("board_halted"), 1);
        const std::vector<std::uint8_t> memory = sim.dump();
        const std::vector<std::uint8_t> image = segmentBytes();
        ASSERT_EQ(memory.size(), image.size());
        const auto at = std::mismatch(memory.begin(), memory.end(), image.begin()).first;
        EXPECT_TRUE(at == memory.end()) << "memory differs at dump offset " << at - memory.begin();
    }

    void TearDown() override { simulators_.clear(); }

    std::string program_, folder_, work_;
    std::vector<std::unique_ptr<Simulator>> simulators_;
};

// The whole update with the line time of 256000 baud imposed: the transfer
// then takes as long as on a cable.
TEST_F(EndToEnd, WholeUpdateAtLineSpeedLeavesTheImageInTargetMemory) {
    useCase("success");
    SimOptions options;
    options.lineTime = true;
    Simulator& sim = board(1, options);

    const RunResult r = run("", 120);
    stopAll();

    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.console, checkLine(1, true) + afterScan());
    expectUpdatedOnce(sim);
    const auto stats = sim.stats();
    EXPECT_EQ(stats.at("host_timeouts"), 0);
    // 511 kB at 256000 baud are 20 s on the line.
    EXPECT_GT(stats.at("line_ms"), 19'000);
    EXPECT_GE(r.wallMs, stats.at("floor_ms"));
    EXPECT_LT(r.wallMs, stats.at("floor_ms") * 1.5);
}

TEST_F(EndToEnd, BoardBehindASilentAndAnEchoingPortIsFoundOnCom3) {
    useCase("ports");
    Simulator& silent = serve(1, device("silent"));
    Simulator& echo = serve(2, device("echo"));
    Simulator& sim = board(3);

    const RunResult r = run("", 60);
    stopAll();

    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.console,
              checkLine(1, false) + checkLine(2, false) + checkLine(3, true) + afterScan());
    expectUpdatedOnce(sim);
    // Each failing port: the settings at the open, one reset, one identity
    // read; the silent one's read runs into its time-out.
    for (Simulator* s : {&silent, &echo}) {
        EXPECT_EQ(s->stats().at("host_packets"), 1);
        EXPECT_EQ(s->stats().at("settings_writes"), 2);
    }
    EXPECT_EQ(silent.stats().at("host_timeouts"), 1);
    EXPECT_EQ(echo.stats().at("host_timeouts"), 0);
}

TEST_F(EndToEnd, BoardThatAnswersOnlyAt38400IsUpdatedAtThatRate) {
    useCase("slow");
    Simulator& sim = board(1, slowBoard());

    const RunResult r = run("", 90);
    stopAll();

    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.console, checkLine(1, true) + afterScan(38400));
    expectUpdatedOnce(sim);
    EXPECT_GT(sim.stats().at("board_lost"), 0);
}

TEST_F(EndToEnd, CoreThatNeverHaltsIsPolled59TimesAndTheRetryDeclined) {
    useCase("nohalt");
    Simulator& sim = board(1, stuckCore());

    const RunResult r = run("n", 90);
    stopAll();

    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.console, checkLine(1, true) + "\n" + connect() + transfer + " update:   " +
                             repeat('.', 59) + " failed!\n" + retryPrompt + exitNow);
    EXPECT_EQ(sim.stats().at("host_polls"), 59);
    EXPECT_EQ(sim.stats().at("board_releases"), 1);
    // 59 polls 500 ms apart.
    EXPECT_GT(r.wallMs, 29'500);
}

TEST_F(EndToEnd, WithoutABoardTheConversionFileIsWritten) {
    useCase("nodevice");
    serve(1, device("silent"));

    const RunResult r = run("y", 30);
    stopAll();

    ASSERT_TRUE(r.exited);
    EXPECT_EQ(r.console,
              checkLine(1, false) + noDevice + "Convert to progstand format...\n" + exitNow);
    const std::vector<std::uint8_t> written =
        station::readFile(work_ + "/qpsk_" + firmwareImage.elfFileName);
    EXPECT_TRUE(written ==
                std::vector<std::uint8_t>(firmwareImage.elfFile,
                                          firmwareImage.elfFile + firmwareImage.elfFileSize));
}

// A production line: four programs started together, four boards on COM3 to
// COM6 behind a silent COM1 and an echoing COM2, all in one folder. Each
// program must take a port of its own (nobody opens, and so resets, a board
// that another program holds), and every board is updated exactly once.
TEST_F(EndToEnd, FourStationsUpdateFourBoardsEachOnItsOwnPort) {
    useCase("stations");
    serve(1, device("silent"));
    serve(2, device("echo"));
    std::vector<Simulator*> boards;
    for (int n = 3; n <= 6; ++n) {
        boards.push_back(&board(n));
    }

    std::vector<std::unique_ptr<station::Run>> runs;
    for (int i = 0; i < 4; ++i) {
        runs.push_back(std::make_unique<station::Run>(program_, "", work_));
    }
    std::vector<RunResult> results;
    for (auto& r : runs) {
        results.push_back(r->wait(90));
    }
    stopAll();

    std::set<int> ports;
    const std::regex found("check COM([0-9]+) OK\n");
    for (const RunResult& r : results) {
        ASSERT_TRUE(r.exited);
        EXPECT_EQ(r.exitStatus, 0);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(r.console, m, found)) << r.console;
        ports.insert(std::stoi(m[1]));
        // After its board's check line, the program's text is a whole update.
        EXPECT_EQ(m.suffix().str(), afterScan()) << r.console;
        EXPECT_TRUE(r.console.ends_with(" done\n" + exitNow));
    }
    EXPECT_EQ(ports, (std::set<int>{3, 4, 5, 6}));
    for (const Simulator* b : boards) {
        expectUpdatedOnce(*b);
        // One probe and one attempt: the open's settings, the probe's reset
        // and the attempt's reset; nobody else reset the board.
        EXPECT_EQ(b->stats().at("host_resets"), 3) << b->terminal();
    }
}

// The simulator itself: its link, a dump on request while it runs, and its end
// when the pipe from its parent closes, with the link gone and no process
// left behind.
TEST(BoardSim, DumpsOnRequestAndEndsWithItsParentsPipe) {
    const std::string work = std::string(E2E_DIR) + "/work-lifecycle";
    fs::remove_all(work);
    fs::create_directories(work);
    const int watch = inotify_init1(IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, work.c_str(), IN_MOVED_TO), 0);

    SimOptions options;
    options.link = work + "/ttyS0";
    options.dump = work + "/memory";
    options.ranges = {{0x100000, 8}, {0, 4}};
    Simulator sim(options);
    EXPECT_EQ(fs::read_symlink(options.link).string(), sim.terminal());

    sim.signal(SIGUSR1);
    // The dump is written aside and renamed into place.
    pollfd p{watch, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10'000), 1);
    EXPECT_EQ(sim.dump(), std::vector<std::uint8_t>(12, 0));

    EXPECT_TRUE(sim.stop());
    EXPECT_FALSE(fs::exists(fs::symlink_status(options.link)));
    close(watch);
}

} // namespace
