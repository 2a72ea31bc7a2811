// A test station: board simulators on pseudo-terminals and runs of the real
// program against them, as child processes. For the end-to-end tests and the
// benchmark.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace station {

struct SimOptions {
    std::string device = "board"; // board, silent or echo
    std::string link;             // symbolic link to the terminal, if any
    bool lineTime = false;
    std::uint32_t maxBaud = 0;
    bool neverHalts = false;
    int runTimeMs = -1; // -1: the simulator's default
    std::string dump;   // memory of `ranges`, written when the simulator ends
    std::vector<std::pair<std::uint32_t, std::uint32_t>> ranges; // address, length
    std::string stats;                                           // summary file
    std::vector<std::string> faults; // further board-sim options, e.g. "--r1-no-readback"
};

// One running board-sim. The constructor returns once the terminal (and its
// link) exists; stop() or the destructor ends it and waits for its reports.
class Simulator {
  public:
    explicit Simulator(SimOptions options);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    const std::string& terminal() const { return terminal_; }
    // Sends a signal to the simulator (SIGUSR1: write the reports now).
    void signal(int number);
    // Ends the simulator; true when it wrote its reports and exited with 0.
    bool stop();
    // The summary ("key value" lines) after stop(); empty without --stats.
    std::map<std::string, double> stats() const;
    // The dumped memory after stop().
    std::vector<std::uint8_t> dump() const;

  private:
    SimOptions options_;
    pid_t pid_ = -1;
    int control_ = -1; // its standard input: closing it ends the simulator
    int output_ = -1;
    std::string terminal_;
    bool stoppedOk_ = false;
};

struct RunResult {
    bool exited = false; // ended by itself (not killed at the time limit)
    int exitStatus = -1;
    int signal = 0;      // the signal that ended it, if one did
    std::string console; // standard output and standard error, in order
    double wallMs = 0;
    double cpuMs = 0; // user + system
    long maxRssKb = 0;
};

// How a run's standard streams are set up, where not as usual.
struct RunStreams {
    int input = -1;            // this descriptor instead of the keys' pipe
    bool closedOutput = false; // started with standard output closed
};

// One run of a program: keys are its standard input, which then ends;
// standard output and standard error share one pipe.
class Run {
  public:
    Run(const std::string& program, const std::string& keys, const std::string& directory,
        RunStreams streams = {});
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    pid_t pid() const { return pid_; }
    // The console text so far, waiting up to limitSeconds for text that ends
    // with `until` (nothing more is waited for with an empty `until`).
    const std::string& consoleUntil(const std::string& until, double limitSeconds);
    // Waits for the end, killing the program after limitSeconds.
    RunResult wait(double limitSeconds);

  private:
    pid_t pid_ = -1;
    int output_ = -1;
    double startMs_ = 0;
    std::string console_;
};

// Monotonic milliseconds.
double nowMs();

std::vector<std::uint8_t> readFile(const std::string& name);

} // namespace station
