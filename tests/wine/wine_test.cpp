// The Windows program of updater-qpsk1-ci-slave under Wine, against board-sim
// on pseudo-terminals in real time, and the import tables and resources of
// the four Windows programs; each of them for the 64-bit and the 32-bit build.
//
// Each build's programs run in a Wine prefix of their own under the build
// tree (wine-work/x64, wine-work/x86), so that the two builds' cases run side
// by side. A prefix's registry maps COM1..COM32 to links in its ports folder,
// so that Wine's mount manager takes none of the machine's own serial
// devices; a link points at a simulator's terminal, or at a folder, which Wine
// refuses to open as a port (as Windows refuses a port that does not exist).
// UPDATER_WINE_WORK_DIR moves wine-work elsewhere (a guest's tmpfs).
//
// Some machines execute no 32-bit code at all ("Exec format error"), although
// their kernel is built for it: there the 64-bit programs run under Wine's
// 64-bit loader alone, and the 32-bit programs cannot run. Their cases then
// fail, unless UPDATER_WINE_X86_IN_GUEST=1 says that they run elsewhere (the
// QEMU guest of tests/realline/run.sh, whose emulated processor runs them).
#include "image/firmware_image.h"
#include "sim/pty/station.h"
#include "tests/support/carried_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <poll.h>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using station::SimOptions;
using station::Simulator;

const std::string wineProgram = WINE_PROGRAM;
const std::string wineServer = WINE_SERVER;
// Wine's own loaders: the 32-bit one starts every program where the machine
// runs 32-bit code; the 64-bit one alone where it does not.
const std::string wineLoader32 = WINE_LOADER32;
const std::string wineLoader64 = WINE_LOADER64;
const std::string objdump = WINE_OBJDUMP;
// Reads the resources of a program back as a resource script (-i file.exe).
const std::string windres = WINE_WINDRES;
const std::string program = "updater-qpsk1-ci-slave.exe";

fs::path workRoot() {
    const char* moved = std::getenv("UPDATER_WINE_WORK_DIR");
    return moved != nullptr && *moved != '\0' ? fs::path(moved) : fs::path(WINE_WORK_DIR);
}

// The folder of the build whose case runs in this process: its prefix, its
// COM links, its lock, the copies of its programs and the runs.
fs::path workDir = workRoot();
fs::path prefixDir() {
    return workDir / "prefix";
}
fs::path prefixMarker() { // written when the prefix is set up
    return prefixDir() / "updater-ports-ready";
}
fs::path portsDir() {
    return workDir / "ports";
}
fs::path noPort() {
    return workDir / "no-port";
}

// A build of the Windows programs: the folder is empty when the build's
// mingw-w64 compiler is missing.
struct Build {
    const char* name;
    fs::path exeDir;
};
const Build builds[] = {{"x64", WINE_EXE_DIR}, {"x86", WINE_EXE_DIR_X86}};
std::string buildName(const ::testing::TestParamInfo<Build>& info) {
    return info.param.name;
}
void PrintTo(const Build& build, std::ostream* out) {
    *out << build.name << " build in " << build.exeDir;
}

constexpr int firstPort = 1;
constexpr int lastPort = 32;
constexpr int prefixSetupLimitSeconds = 120;

// ---------------------------------------------------------------------------
// Files and processes

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

void writeText(const fs::path& file, const std::string& text) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

void pointLink(const fs::path& link, const fs::path& target) {
    std::error_code ignored;
    fs::remove(link, ignored);
    fs::create_symlink(target, link);
}

struct Outcome {
    int status = -1;       // exit status, -1 when killed by a signal
    bool timedOut = false; // killed at the time limit
    std::string console;   // standard output and standard error, in order
    double wallMs = 0;
    double cpuMs = 0; // user + system of the process and its waited children
};

// Runs argv under a time limit (coreutils' timeout), in directory, with keys
// as standard input; standard output and standard error go to one file, or
// standard error alone with closedOutput.
Outcome runProcess(const std::vector<std::string>& argv, const std::string& keys,
                   const fs::path& directory, int limitSeconds, bool closedOutput = false) {
    // Named for this process: processes of other cases may run in the same
    // folder.
    const fs::path consoleFile = directory / (".console-" + std::to_string(getpid()));
    std::vector<std::string> full = {"timeout", "-k", "5", std::to_string(limitSeconds)};
    full.insert(full.end(), argv.begin(), argv.end());
    std::vector<char*> args;
    for (std::string& a : full) {
        args.push_back(a.data());
    }
    args.push_back(nullptr);

    int input[2];
    if (pipe2(input, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("pipe2: ") + std::strerror(errno));
    }
    const int output = open(consoleFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (output < 0) {
        throw std::runtime_error("cannot create " + consoleFile.string());
    }
    const double start = station::nowMs();
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(directory.c_str()) != 0 || dup2(input[0], STDIN_FILENO) < 0 ||
            dup2(output, STDOUT_FILENO) < 0 || dup2(output, STDERR_FILENO) < 0 ||
            (closedOutput && close(STDOUT_FILENO) != 0)) {
            _exit(126);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    close(input[0]);
    close(output);
    if (pid < 0) {
        close(input[1]);
        throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
    }
    // A few keys fit the pipe; then the input ends.
    const ssize_t written = write(input[1], keys.data(), keys.size());
    close(input[1]);

    Outcome outcome;
    int status = 0;
    rusage usage{};
    pid_t done;
    do {
        done = wait4(pid, &status, 0, &usage);
    } while (done < 0 && errno == EINTR);
    outcome.wallMs = station::nowMs() - start;
    auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    outcome.cpuMs = ms(usage.ru_utime) + ms(usage.ru_stime);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.timedOut = outcome.status == 124 || outcome.status == 137;
    outcome.console = readText(consoleFile);
    fs::remove(consoleFile);
    if (written != static_cast<ssize_t>(keys.size())) {
        throw std::runtime_error("keys not written");
    }
    return outcome;
}

// Windows ends lines with CR LF; lone CRs (the progress ruler) stay.
std::string unixLines(const std::string& text) {
    return std::regex_replace(text, std::regex("\r\n"), "\n");
}

// ---------------------------------------------------------------------------
// The Wine prefix

// Held while a test uses the prefix: the COM links are shared.
class PrefixLock {
  public:
    PrefixLock() {
        fs::create_directories(workDir);
        fd_ = open((workDir / "lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            throw std::runtime_error("cannot open the prefix lock");
        }
        int locked;
        do {
            locked = flock(fd_, LOCK_EX);
        } while (locked != 0 && errno == EINTR);
        if (locked != 0) {
            throw std::runtime_error("cannot lock the prefix");
        }
    }
    ~PrefixLock() { close(fd_); }
    PrefixLock(const PrefixLock&) = delete;
    PrefixLock& operator=(const PrefixLock&) = delete;

  private:
    int fd_ = -1;
};

// Whether this machine executes 32-bit code, tried once with Wine's 32-bit
// loader: the kernel's configuration says yes on machines that refuse it.
bool hostRuns32Bit() {
    static const bool runs = [] {
        if (wineLoader32.empty() || !fs::exists(wineLoader32)) {
            return false;
        }
        fs::create_directories(workRoot());
        const Outcome version = runProcess({wineLoader32, "--version"}, "", workRoot(), 60);
        return version.status == 0 && version.console.rfind("wine-", 0) == 0;
    }();
    return runs;
}

// How a program is started under Wine: Debian's wine, which starts the 32-bit
// loader whenever Wine's 32-bit part is installed, or the 64-bit loader
// itself where the machine runs no 32-bit code.
std::vector<std::string> wineCommand() {
    if (hostRuns32Bit() || wineLoader64.empty()) {
        return {wineProgram};
    }
    return {wineLoader64};
}

void setWineEnvironment() {
    setenv("WINEPREFIX", prefixDir().c_str(), 1);
    if (!hostRuns32Bit() && !wineLoader64.empty()) {
        setenv("WINELOADER", wineLoader64.c_str(), 1);
    }
    setenv("WINEDEBUG", "-all", 1);
    // No downloads of .NET or HTML runtimes, no windows.
    setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
}

fs::path portLink(int n) {
    return portsDir() / ("com" + std::to_string(n));
}

void closeAllPorts() {
    for (int n = firstPort; n <= lastPort; ++n) {
        pointLink(portLink(n), noPort());
    }
}

// Which Wine made a prefix: its version, and whether it has its 32-bit part.
// A prefix made by a Wine without that part starts no program at all once the
// part is installed ("could not load kernel32.dll"), so it is made afresh.
bool wineHas32BitPart() {
    return fs::exists("/usr/lib/i386-linux-gnu/wine/i386-windows/kernel32.dll") ||
           fs::exists("/usr/lib/wine/i386-windows/kernel32.dll") ||
           fs::exists("/usr/local/lib/wine/i386-windows/kernel32.dll");
}

std::string wineIdentity() {
    static std::map<fs::path, std::string> identities; // one per prefix
    std::string& identity = identities[prefixDir()];
    if (identity.empty()) {
        identity = [] {
            std::vector<std::string> argv = wineCommand();
            argv.emplace_back("--version");
            const Outcome version = runProcess(argv, "", workDir, prefixSetupLimitSeconds);
            return "COM1..COM32 -> " + portsDir().string() + "\n" + "Wine: " + version.console +
                   "Loader: " + argv.front() + "\n" +
                   (wineHas32BitPart() ? "32-bit part: yes\n" : "32-bit part: no\n");
        }();
    }
    return identity;
}

// Creates the prefix, and again whenever another Wine is to run in it; later
// runs find its marker and reuse it.
void ensurePrefix() {
    const fs::path marker = prefixMarker();
    fs::create_directories(portsDir());
    fs::create_directories(noPort());
    closeAllPorts();
    if (fs::exists(marker) && readText(marker) == wineIdentity()) {
        return;
    }
    (void)runProcess({wineServer, "-k"}, "", workDir, prefixSetupLimitSeconds);
    fs::remove_all(prefixDir());
    std::vector<std::string> wineboot = wineCommand();
    wineboot.insert(wineboot.end(), {"wineboot", "-i"});
    const Outcome boot = runProcess(wineboot, "", workDir, prefixSetupLimitSeconds);
    ASSERT_FALSE(boot.timedOut) << "wineboot -i did not finish:\n" << boot.console;
    ASSERT_EQ(boot.status, 0) << boot.console;

    // COMn -> ports/comn for every n, so that the mount manager maps none of
    // the machine's devices (it would put /dev/ttyS0 on COM1).
    std::string reg = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n";
    for (int n = firstPort; n <= lastPort; ++n) {
        reg += "\"COM" + std::to_string(n) + "\"=\"" + portLink(n).string() + "\"\r\n";
    }
    writeText(workDir / "ports.reg", reg);
    std::vector<std::string> regedit = wineCommand();
    regedit.insert(regedit.end(), {"regedit", "/S", (workDir / "ports.reg").string()});
    const Outcome registered = runProcess(regedit, "", workDir, prefixSetupLimitSeconds);
    ASSERT_EQ(registered.status, 0) << registered.console;
    // The mount manager reads the ports when Wine starts next: let this
    // session end.
    const Outcome ended = runProcess({wineServer, "-w"}, "", workDir, prefixSetupLimitSeconds);
    ASSERT_EQ(ended.status, 0) << ended.console;
    for (int n = firstPort; n <= lastPort; ++n) {
        pointLink(prefixDir() / "dosdevices" / ("com" + std::to_string(n)), portLink(n));
    }
    writeText(marker, wineIdentity());
}

// A prefix in which Wine runs 32-bit programs as well has their system
// folder filled; Wine without its 32-bit part leaves it empty.
bool prefixRuns32Bit() {
    return fs::exists(prefixDir() / "drive_c" / "windows" / "syswow64" / "kernel32.dll");
}

// ---------------------------------------------------------------------------
// The carried image

using carried::Segment;
using carried::segmentBytes;
using carried::segments;

// ---------------------------------------------------------------------------
// Console texts

std::string repeat(char c, int n) {
    return std::string(static_cast<std::size_t>(n), c);
}

std::string escaped(const std::string& text) {
    static const std::regex special(R"([.^$|()\[\]{}*+?\\])");
    return std::regex_replace(text, special, R"(\$&)");
}

// Wine accepts 256000 and 128000 baud but leaves a pseudo-terminal at 38400
// (it sets custom rates through TIOCSSERIAL, which a pseudo-terminal lacks),
// so the board's rate and the PC's differ and the ladder goes on to 115200.
const std::string connectUnderWine = "reset device\n"
                                     " set speed to 256000, 8N1 failed\n"
                                     " set speed to 128000, 8N1 failed\n"
                                     " set speed to 115200, 8N1 OK";

// The image of updater-qpsk1-ci-slave: two segments, 44 and 58 stars.
const std::string transfer =
    escaped("\n transfer: " + repeat('.', 60) + "\r transfer: " + repeat('*', 44 + 58) + " done\n");

// The board's program halts the core 2.75 s after its release: the sixth poll
// (500 ms apart) sees it. One poll either way is scheduling, not a fault.
constexpr int runTimeMs = 2750;
const std::string haltPoll = " update:   \\.{5,7} done\n";

const std::string noDevice = "\nNo device found!\n\nConvert file to use with progstand?\n"
                             "Press 'y' to convert or any other key to exit:\n";
const std::string exitNow = "exit now...\n";

bool matches(const std::string& console, const std::string& pattern) {
    return std::regex_match(console, std::regex(pattern));
}

// ---------------------------------------------------------------------------

bool wineMissing() {
    return wineProgram.empty() || wineServer.empty();
}

bool mingwMissing(const Build& build) {
    return build.exeDir.empty() || objdump.empty();
}

class UnderWine : public ::testing::TestWithParam<Build> {
  protected:
    void SetUp() override {
        if (mingwMissing(GetParam())) {
            GTEST_SKIP() << "mingw-w64 is not installed: no Windows programs to run";
        }
        if (wineMissing()) {
            GTEST_SKIP() << "Wine is not installed";
        }
        ASSERT_TRUE(fs::exists(GetParam().exeDir / program)) << GetParam().exeDir / program;
        const bool x86 = std::string(GetParam().name) == "x86";
        // A Wine without its 32-bit part starts a 32-bit program, prints
        // nothing and ends with 0: that must fail, not pass or skip.
        ASSERT_FALSE(x86 && !wineHas32BitPart())
            << "this Wine runs no 32-bit programs (Debian: wine32:i386 with the i386 "
               "architecture; tools/install-deps.sh installs it)";
        if (x86 && !hostRuns32Bit()) {
            const char* elsewhere = std::getenv("UPDATER_WINE_X86_IN_GUEST");
            if (elsewhere != nullptr && std::string(elsewhere) == "1") {
                GTEST_SKIP() << "this machine runs no 32-bit code: the case runs in the QEMU "
                                "guest of the real-driver runs (tests/realline/run.sh)";
            }
            FAIL() << "this machine runs no 32-bit code (" << wineLoader32
                   << " --version does not start): the 32-bit programs cannot run here; "
                      "tools/test.sh runs this case in the QEMU guest of the real-driver runs";
        }
        workDir = workRoot() / GetParam().name;
        setWineEnvironment();
        lock_ = std::make_unique<PrefixLock>();
        ensurePrefix();
        if (HasFatalFailure()) {
            return;
        }
        ASSERT_FALSE(x86 && !prefixRuns32Bit()) << "the Wine prefix has no 32-bit system folder";
        // Wine maps a program's sections from its file, which some file
        // systems cannot serve (a guest's 9p root gives zeros): it runs
        // copies, byte for byte the programs built.
        exeDir_ = workDir / "programs";
        fs::create_directories(exeDir_);
        for (const fs::path& from : {GetParam().exeDir, GetParam().exeDir / "probes"}) {
            for (const auto& entry : fs::directory_iterator(from)) {
                if (entry.path().extension() == ".exe") {
                    fs::copy_file(entry.path(), exeDir_ / entry.path().filename(),
                                  fs::copy_options::overwrite_existing);
                }
            }
        }
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        runDir_ = workDir / "runs" / info->name();
        fs::remove_all(runDir_);
        fs::create_directories(runDir_);
    }

    void TearDown() override {
        simulators_.clear(); // each removes its link as it ends
        if (lock_) {
            closeAllPorts();
        }
        lock_.reset();
    }

    // A simulator serving COMn.
    Simulator& serve(int n, SimOptions options) {
        options.link = portLink(n).string();
        const std::string base = (runDir_ / ("com" + std::to_string(n))).string();
        options.stats = base + ".stats";
        if (options.device == "board") {
            options.dump = base + ".dump";
            if (options.runTimeMs < 0) {
                options.runTimeMs = runTimeMs;
            }
            for (const Segment& s : segments()) {
                options.ranges.emplace_back(s.vaddr, s.filesz);
            }
        }
        simulators_.push_back(std::make_unique<Simulator>(options));
        return *simulators_.back();
    }

    Simulator& board(int n) { return serve(n, SimOptions{}); }

    Simulator& device(int n, const char* kind) {
        SimOptions options;
        options.device = kind;
        return serve(n, options);
    }

    Outcome run(const std::string& keys, const std::string& exe = program,
                bool closedOutput = false, const std::vector<std::string>& args = {}) {
        std::vector<std::string> argv = wineCommand();
        argv.push_back((exeDir_ / exe).string());
        argv.insert(argv.end(), args.begin(), args.end());
        Outcome outcome = runProcess(argv, keys, runDir_, 90, closedOutput);
        outcome.console = unixLines(outcome.console);
        std::printf("[ wine run ] %.0f ms wall, %.0f ms CPU of the Wine process\n", outcome.wallMs,
                    outcome.cpuMs);
        // Every run prints at least its last line; silence is a Wine that did
        // not run the program at all.
        EXPECT_TRUE(closedOutput || !outcome.console.empty())
            << exe << " printed nothing: Wine did not run it";
        return outcome;
    }

    // Stops every simulator and checks that each ended cleanly.
    void stopAll() {
        for (const auto& s : simulators_) {
            EXPECT_TRUE(s->stop()) << "board-sim " << s->terminal();
        }
    }

    static void expectUpdated(const Simulator& sim) {
        const auto stats = sim.stats();
        EXPECT_EQ(stats.at("board_releases"), 1);
        EXPECT_EQ(stats.at("board_halted"), 1);
        const std::vector<std::uint8_t> memory = sim.dump();
        const std::vector<std::uint8_t> image = segmentBytes();
        ASSERT_EQ(memory.size(), image.size());
        const auto at = std::mismatch(memory.begin(), memory.end(), image.begin()).first;
        EXPECT_TRUE(at == memory.end()) << "memory differs at dump offset " << at - memory.begin();
    }

    fs::path runDir_;
    fs::path exeDir_;

  private:
    std::unique_ptr<PrefixLock> lock_;
    std::vector<std::unique_ptr<Simulator>> simulators_;
};

TEST_P(UnderWine, UpdatesTheBoardOnCom1) {
    Simulator& sim = board(1);
    const Outcome r = run("");
    ASSERT_FALSE(r.timedOut) << r.console;
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(matches(r.console, "check COM1 OK\n\n" + connectUnderWine + transfer + haltPoll +
                                       escaped(exitNow)))
        << r.console;
    stopAll();
    expectUpdated(sim);
    // Figures for the benchmark table, not asserted: the span is what the
    // board saw, from the first settings write to the last reply.
    const auto stats = sim.stats();
    std::printf("under Wine: wall %.3f s (with Wine's start and end), span %.3f s, floor %.3f s, "
                "span/floor %.4f, cpu %.0f ms\n",
                r.wallMs / 1000, stats.at("span_ms") / 1000, stats.at("floor_ms") / 1000,
                stats.at("span_ms") / stats.at("floor_ms"), r.cpuMs);
}

// The benchmark of the Windows programs (not run by default): each program
// against a board on COM1 that halts 3 s after the start, as in the Linux
// benchmark; prints wall time, what the board saw, the protocol's floor and
// CPU time. Run it with
//   wine_tests --gtest_also_run_disabled_tests --gtest_filter='*Benchmark*'
TEST_P(UnderWine, DISABLED_BenchmarkEveryProgram) {
    std::printf("%-28s %8s %8s %8s %7s %7s\n", "program", "wall s", "span s", "floor s", "ratio",
                "cpu ms");
    for (const char* exe : {"updater-qpsk1-ci-slave.exe", "updater-ofdm1-ci-master.exe",
                            "updater-ofdm2.exe", "updater-ofdm1.exe"}) {
        SimOptions options;
        options.runTimeMs = 3000;
        Simulator& sim = serve(1, options);
        const Outcome r = run("", exe);
        ASSERT_FALSE(r.timedOut) << r.console;
        ASSERT_TRUE(sim.stop());
        const auto stats = sim.stats();
        EXPECT_EQ(stats.at("board_halted"), 1) << r.console;
        std::printf("%-28s %8.3f %8.3f %8.3f %7.4f %7.0f\n", exe, r.wallMs / 1000,
                    stats.at("span_ms") / 1000, stats.at("floor_ms") / 1000,
                    stats.at("span_ms") / stats.at("floor_ms"), r.cpuMs);
        closeAllPorts();
    }
}

// The scan goes on past ports that open and fail (nothing answers; bytes come
// straight back), up to a two-digit COM number. The core there fails its
// register check: five attempts end in the retry offer. 'y' closes the port
// and scans again from COM1 (every port opens again under Wine); 'n' at the
// second offer ends the program. (The whole update is the case above.)
TEST_P(UnderWine, FindsTheBoardBehindFailingPortsAndOffersTheRetry) {
    device(2, "silent");
    device(9, "echo");
    SimOptions options;
    options.faults = {"--r1-no-readback"};
    serve(17, options);
    const Outcome r = run("yn");
    ASSERT_FALSE(r.timedOut) << r.console;
    EXPECT_EQ(r.status, 0);
    std::string session = "check COM2 failed\ncheck COM9 failed\ncheck COM17 OK\n\n";
    for (int attempt = 1; attempt <= 5; ++attempt) {
        session += "reset device\n error \nretry... (" + std::to_string(attempt) + " of 5)\n";
    }
    session += "\nRetry update?\nPress 'y' to retry or any other key to exit:\n";
    EXPECT_EQ(r.console, session + session + exitNow);
    stopAll();
}

// Keys come through a pipe: 'y' converts, and the file holds the image as
// carried.
TEST_P(UnderWine, WritesTheConversionFileWithoutABoard) {
    device(4, "silent");
    const Outcome r = run("y");
    ASSERT_FALSE(r.timedOut) << r.console;
    EXPECT_EQ(r.status, 0);
    const std::string name = "qpsk_" + std::string(firmwareImage.elfFileName);
    EXPECT_EQ(r.console,
              "check COM4 failed\n" + noDevice + "Convert to progstand format...\n" + exitNow);
    const std::string written = readText(runDir_ / name);
    ASSERT_EQ(written.size(), firmwareImage.elfFileSize) << name;
    EXPECT_TRUE(std::equal(written.begin(), written.end(),
                           reinterpret_cast<const char*>(firmwareImage.elfFile)));
    stopAll();
}

// No port at all: the scan prints nothing. Only the lower-case y accepts;
// 'Y' declines and nothing is written.
TEST_P(UnderWine, DeclinesTheConversionOnAnyOtherKey) {
    const Outcome r = run("Yy");
    ASSERT_FALSE(r.timedOut) << r.console;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.console, noDevice + exitNow);
    EXPECT_TRUE(fs::is_empty(runDir_));
}

// Started without standard output, the program still writes the conversion
// file intact: no console text can reach it. A conversion file made read-only
// is refused with the same line as on Linux, and stays as it was.
TEST_P(UnderWine, ConversionNeedsNoStandardOutputAndKeepsAReadOnlyFile) {
    const std::string name = "qpsk_" + std::string(firmwareImage.elfFileName);
    Outcome r = run("y", program, true);
    ASSERT_FALSE(r.timedOut) << r.console;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.console, "");
    const std::string written = readText(runDir_ / name);
    EXPECT_EQ(written, std::string(reinterpret_cast<const char*>(firmwareImage.elfFile),
                                   firmwareImage.elfFileSize));

    writeText(runDir_ / name, "old");
    fs::permissions(runDir_ / name, fs::perms(0444));
    r = run("y");
    EXPECT_EQ(r.console, noDevice + "Convert to progstand format...\nCannot write " + name +
                             ": the file is read-only: Permission denied\n" + exitNow);
    EXPECT_EQ(readText(runDir_ / name), "old");
    EXPECT_EQ(fs::status(runDir_ / name).permissions(), fs::perms(0444));
    EXPECT_EQ(std::distance(fs::directory_iterator(runDir_), fs::directory_iterator()), 1);
}

// A port whose far end takes 2 KiB every 250 ms, and a write of 256 KiB
// limited to 300 ms: the terminal takes it in pieces, which Wine hands on as
// short writes, and each continuation gets what is left of the one
// deadline, not the whole time-out again.
TEST_P(UnderWine, WriteTakenInPiecesEndsByItsOneDeadline) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    pointLink(portLink(1), ptsname(master));
    std::atomic<bool> stop{false};
    std::thread farEnd([&] {
        std::vector<char> piece(2048);
        while (!stop) {
            pollfd ready{master, POLLIN, 0};
            if (poll(&ready, 1, 10) == 1) {
                (void)!read(master, piece.data(), piece.size());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
    });
    const Outcome r = run("", "port-probe.exe", false, {"1", "262144", "0", "300"});
    stop = true;
    farEnd.join();
    close(master);
    ASSERT_FALSE(r.timedOut) << r.console;
    int result = -1;
    unsigned long taken = 0;
    double ms = 0;
    ASSERT_EQ(std::sscanf(r.console.c_str(), "write %d %lu %lf", &result, &taken, &ms), 3)
        << r.console;
    EXPECT_EQ(result, 0);
    EXPECT_GT(taken, 0u);
    EXPECT_LT(taken, 262144u);
    EXPECT_GE(ms, 290);
    EXPECT_LT(ms, 800) << "the write ran past its one deadline";
}

INSTANTIATE_TEST_SUITE_P(Builds, UnderWine, ::testing::ValuesIn(builds), buildName);

// ---------------------------------------------------------------------------
// The files themselves

class WindowsPrograms : public ::testing::TestWithParam<Build> {
  protected:
    void SetUp() override {
        if (mingwMissing(GetParam())) {
            GTEST_SKIP() << "mingw-w64 (" << GetParam().name << ") is not installed";
        }
    }

    // The four programs of the build.
    std::vector<fs::path> programs() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(GetParam().exeDir)) {
            if (entry.path().extension() == ".exe") {
                found.push_back(entry.path());
            }
        }
        EXPECT_EQ(found.size(), 4u) << "Windows programs in " << GetParam().exeDir;
        return found;
    }
};

// The programs link their runtimes statically: they import only DLLs that
// come with every Windows.
TEST_P(WindowsPrograms, ImportOnlySystemLibraries) {
    const std::set<std::string> allowed = {"KERNEL32.DLL", "MSVCRT.DLL", "WINMM.DLL"};
    // A folder per build: ctest runs the builds' cases side by side.
    const fs::path dir = workDir / (std::string("objdump-") + GetParam().name);
    fs::create_directories(dir);
    for (const fs::path& exe : programs()) {
        const Outcome r = runProcess({objdump, "-p", exe.string()}, "", dir, 60);
        ASSERT_EQ(r.status, 0) << r.console;
        std::set<std::string> imported;
        const std::regex dllName("DLL Name: (\\S+)");
        for (auto it = std::sregex_iterator(r.console.begin(), r.console.end(), dllName);
             it != std::sregex_iterator(); ++it) {
            std::string name = (*it)[1];
            std::transform(name.begin(), name.end(), name.begin(),
                           [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
            imported.insert(name);
        }
        EXPECT_TRUE(imported.count("KERNEL32.DLL")) << exe;
        for (const std::string& name : imported) {
            EXPECT_TRUE(allowed.count(name)) << exe.filename() << " imports " << name;
        }
    }
}

// The image file each program carries, as the build was given it.
std::map<std::string, std::string> carriedImages() {
    std::map<std::string, std::string> images;
    std::istringstream list(WINE_IMAGES);
    for (std::string item; std::getline(list, item, '|');) {
        const std::size_t equals = item.find('=');
        images[item.substr(0, equals)] = fs::path(item.substr(equals + 1)).filename().string();
    }
    return images;
}

// What Windows shows of a program: its version resource names the board
// updater, the image it carries and the project version; its manifest asks
// for no elevation and names Windows 7 to 11. The resources are read back
// from the file as a resource script.
TEST_P(WindowsPrograms, CarryVersionAndManifest) {
    if (windres.empty()) {
        GTEST_SKIP() << "mingw-w64's windres is not installed";
    }
    // The project version with four numbers, as the binary fields hold it.
    std::vector<std::string> numbers;
    std::istringstream parts(WINE_VERSION);
    for (std::string part; std::getline(parts, part, '.');) {
        numbers.push_back(part);
    }
    numbers.resize(4, "0");
    const std::string version = numbers[0] + "." + numbers[1] + "." + numbers[2] + "." + numbers[3];
    const std::string fields =
        numbers[0] + ", " + numbers[1] + ", " + numbers[2] + ", " + numbers[3];
    const auto images = carriedImages();
    // The name as the embedding tool recorded it, for the program whose image
    // this test carries.
    ASSERT_EQ(images.at("updater-qpsk1-ci-slave"), std::string(firmwareImage.elfFileName));

    const fs::path dir = workDir / (std::string("windres-") + GetParam().name);
    fs::create_directories(dir);
    for (const fs::path& exe : programs()) {
        SCOPED_TRACE(exe.string());
        const Outcome r = runProcess({windres, "-i", exe.string(), "-O", "rc"}, "", dir, 60);
        ASSERT_EQ(r.status, 0) << r.console;
        const std::string& script = r.console;
        std::map<std::string, std::string> strings;
        const std::regex value(R"re(VALUE "(\w+)", "([^"]*)")re");
        for (auto it = std::sregex_iterator(script.begin(), script.end(), value);
             it != std::sregex_iterator(); ++it) {
            strings[(*it)[1]] = (*it)[2];
        }
        const std::string stem = exe.stem().string();
        ASSERT_TRUE(images.count(stem));
        EXPECT_EQ(strings["FileDescription"],
                  "Receiver board firmware updater, image " + images.at(stem));
        EXPECT_EQ(strings["ProductName"], "Receiver board firmware updater");
        EXPECT_EQ(strings["ProductVersion"], WINE_VERSION);
        EXPECT_EQ(strings["FileVersion"], version);
        EXPECT_EQ(strings["OriginalFilename"], exe.filename().string());
        EXPECT_EQ(strings["InternalName"], stem);
        EXPECT_NE(script.find("\n FILEVERSION " + fields + "\n"), std::string::npos) << script;
        EXPECT_NE(script.find("\n PRODUCTVERSION " + fields + "\n"), std::string::npos);

        // The manifest, a resource of type 24, quotes doubled.
        const std::size_t manifest = script.find("\n1 24 ");
        ASSERT_NE(manifest, std::string::npos) << script;
        EXPECT_TRUE(
            std::regex_search(script.begin() + static_cast<std::ptrdiff_t>(manifest), script.end(),
                              std::regex(R"(<requestedExecutionLevel\s+level=""asInvoker"")")))
            << script;
        for (const char* os : {"35138b9a-5d96-4fbd-8e2d-a2440225f93a",    // Windows 7
                               "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"}) { // Windows 10 and 11
            EXPECT_NE(script.find(std::string("<supportedOS Id=\"\"{") + os + "}\"\"/>", manifest),
                      std::string::npos)
                << os;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, WindowsPrograms, ::testing::ValuesIn(builds), buildName);

} // namespace
