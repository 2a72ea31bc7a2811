// updater-bench-scan [SCANS]
//
// What looking for the board costs the program before a byte is sent: one
// scan of COM1..COM32 through the port calls (open, and close again where the
// port opened, as the scan does for a port that is not the board), repeated
// SCANS times (default 20), first with no device files at all, then with 32
// pseudo-terminals whose far ends nobody holds. The held-port checks (own
// terminal, UUCP lock file, one pass over /proc per scan) are part of every
// open; the size of the /proc it walked is printed alongside.
#include "platform/platform.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

// COMn's device name, as the port code maps it.
std::string deviceName(int n) {
    if (n <= 8) {
        return "ttyS" + std::to_string(n - 1);
    }
    if (n <= 24) {
        return "ttyUSB" + std::to_string(n - 9);
    }
    return "ttyACM" + std::to_string(n - 25);
}

// Processes and open descriptors in /proc, as the scan sees them.
void countProc(int* processes, int* descriptors) {
    *processes = 0;
    *descriptors = 0;
    for (const auto& process : fs::directory_iterator("/proc")) {
        const std::string name = process.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        ++*processes;
        std::error_code error;
        for (auto it = fs::directory_iterator(process.path() / "fd", error);
             !error && it != fs::directory_iterator(); it.increment(error)) {
            ++*descriptors;
        }
    }
}

// Milliseconds per scan, and how many ports opened in each.
double timeScans(int scans, int* opened) {
    const auto start = std::chrono::steady_clock::now();
    for (int s = 0; s < scans; ++s) {
        *opened = 0;
        for (int n = 1; n <= 32; ++n) {
            const PortHandle port = platOpenPort(n);
            if (port != platNoPort) {
                ++*opened;
                platClosePort(port);
            }
        }
    }
    const std::chrono::duration<double, std::milli> spent =
        std::chrono::steady_clock::now() - start;
    return spent.count() / scans;
}

} // namespace

int main(int argc, char** argv) {
    const int scans = argc > 1 ? std::atoi(argv[1]) : 20;
    const fs::path folder = BENCH_SCAN_DIR;
    fs::remove_all(folder);
    fs::create_directories(folder);

    int opened = 0;
    const double absent = timeScans(scans, &opened);
    std::printf("32 absent ports:  %8.3f ms per scan (%d opened)\n", absent, opened);

    std::vector<int> masters;
    for (int n = 1; n <= 32; ++n) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            std::perror("posix_openpt");
            return 1;
        }
        masters.push_back(master);
        fs::create_symlink(ptsname(master), folder / deviceName(n));
    }
    const double present = timeScans(scans, &opened);
    int processes = 0;
    int descriptors = 0;
    countProc(&processes, &descriptors);
    std::printf("32 present ports: %8.3f ms per scan (%d opened), /proc: %d processes, "
                "%d descriptors\n",
                present, opened, processes, descriptors);
    for (const int master : masters) {
        close(master);
    }
    fs::remove_all(folder);
    return opened == 32 ? 0 : 1;
}
