// updater-bench PROGRAM IMAGE_BYTES [PROGRAM IMAGE_BYTES ...] [--line-time | --no-line-time]
//
// Runs each program once against a board on COM1 served by board-sim on a
// pseudo-terminal (first-try success at 256000 baud), with and without the
// line time imposed, and prints one table row per run:
//   wall   from the start of the program to its end
//   span   what board-sim saw of it: from the first settings write to the
//          last reply (wall minus span: start, scan of absent ports, exit)
//   floor  what the protocol imposes on the same run: the fixed pauses, the
//          read time-outs that ran out, the reset pulses, the pause after the
//          scan and the halt polls, plus line time where it is imposed
//          (board-sim adds it up from the packets it saw)
//   cpu    user + system time of the program (wait4)
//   rss    its peak resident memory (ru_maxrss)
// Targets: wall within 2 % of the floor, CPU under 2 % of wall, peak RSS under
// the image size plus 8 MiB. A run that misses one is marked with "!".
#include "sim/pty/station.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Job {
    std::string program;
    double imageBytes = 0;
};

struct Row {
    std::string name;
    bool lineTime = false;
    bool ok = false;
    double wallMs = 0, floorMs = 0, spanMs = 0, cpuMs = 0;
    double rssMiB = 0, limitMiB = 0;
};

constexpr double mib = 1024.0 * 1024.0;

Row measure(const Job& job, bool lineTime) {
    Row row;
    row.name = fs::path(job.program).filename().string();
    row.lineTime = lineTime;
    const std::string folder = BENCH_DEVICE_DIR;
    fs::create_directories(folder);
    const std::string work = folder + "/../work";
    fs::create_directories(work);

    station::SimOptions options;
    options.link = folder + "/ttyS0"; // COM1
    options.lineTime = lineTime;
    options.stats = work + "/board.stats";
    station::Simulator sim(options);
    station::Run run(job.program, "", work);
    const station::RunResult r = run.wait(600);
    sim.stop();

    const auto stats = sim.stats();
    row.ok = r.exited && r.console.ends_with(" done\nexit now...\n") &&
             stats.count("board_releases") != 0 && stats.at("board_releases") == 1;
    row.wallMs = r.wallMs;
    row.floorMs = stats.count("floor_ms") != 0 ? stats.at("floor_ms") : 0;
    row.spanMs = stats.count("span_ms") != 0 ? stats.at("span_ms") : 0;
    row.cpuMs = r.cpuMs;
    row.rssMiB = static_cast<double>(r.maxRssKb) / 1024.0;
    row.limitMiB = job.imageBytes / mib + 8;
    if (!row.ok) {
        std::fprintf(stderr, "%s: the update did not succeed:\n%s\n", row.name.c_str(),
                     r.console.c_str());
    }
    return row;
}

void print(const Row& r) {
    const double ratio = r.floorMs > 0 ? r.wallMs / r.floorMs : 0;
    const double cpuShare = r.wallMs > 0 ? r.cpuMs / r.wallMs * 100 : 0;
    std::printf("%-30s %-4s %8.3f %8.3f %8.3f %7.4f%s %7.1f %5.2f%%%s %7.2f%s %6.2f %s\n",
                r.name.c_str(), r.lineTime ? "yes" : "no", r.wallMs / 1000, r.spanMs / 1000,
                r.floorMs / 1000, ratio, ratio > 1.02 ? "!" : " ", r.cpuMs, cpuShare,
                cpuShare > 2 ? "!" : " ", r.rssMiB, r.rssMiB > r.limitMiB ? "!" : " ", r.limitMiB,
                r.ok ? "" : "UPDATE FAILED");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    std::vector<Job> jobs;
    std::vector<bool> modes = {false, true};
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--line-time") {
            modes = {true};
        } else if (arg == "--no-line-time") {
            modes = {false};
        } else if (i + 1 < argc) {
            jobs.push_back({arg, std::atof(argv[++i])});
        } else {
            std::fprintf(stderr, "usage: updater-bench PROGRAM IMAGE_BYTES ... "
                                 "[--line-time | --no-line-time]\n");
            return 2;
        }
    }
    std::printf("%-30s %-4s %8s %8s %8s %8s %7s %6s %8s %6s\n", "program", "line", "wall s",
                "span s", "floor s", "ratio", "cpu ms", "cpu%", "rss MiB", "limit");
    bool allOk = true;
    try {
        for (const bool lineTime : modes) {
            for (const Job& job : jobs) {
                const Row row = measure(job, lineTime);
                print(row);
                allOk = allOk && row.ok;
            }
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "updater-bench: %s\n", e.what());
        return 1;
    }
    std::printf("targets: ratio <= 1.02, cpu < 2%% of wall, rss < image + 8 MiB; "
                "\"!\" marks a miss\n");
    return allOk ? 0 : 1;
}
