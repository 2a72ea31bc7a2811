// realline-wirecheck: the line of a run as sigrok decodes it, held against
// the board model's event log (wire.h).
//
//   realline-wirecheck --capture VCD --log LOG [--run NAME] [--sigrok-cli PROGRAM]
//
// Prints per wire the bytes compared and the worst start difference, and
// exits 0 when every byte sigrok decodes is the log's, where the log puts it,
// and no logged byte is missing; 1 with the reasons otherwise; 2 when the
// capture cannot be decoded at all.
//
// Bytes that their receiver lost (the log's "lost") were on the wire all the
// same, and are compared like any other; only bytes that a purge threw away
// in the adapter never reached it: the rx burst's end (t1) says which.
#include "tests/realline/wire.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A folder of its own for the slices, removed with them.
class WorkDir {
  public:
    WorkDir() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                              "/realline-wirecheck.XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~WorkDir() {
        if (!path_.empty()) {
            rmdir(path_.c_str());
        }
    }
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

} // namespace

int main(int argc, char** argv) {
    std::string capture, log, run, sigrok = "sigrok-cli";
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i + 1 < args.size(); i += 2) {
        if (args[i] == "--capture") {
            capture = args[i + 1];
        } else if (args[i] == "--log") {
            log = args[i + 1];
        } else if (args[i] == "--run") {
            run = args[i + 1];
        } else if (args[i] == "--sigrok-cli") {
            sigrok = args[i + 1];
        } else {
            std::fprintf(stderr, "realline-wirecheck: unknown argument %s\n", args[i].c_str());
            return 2;
        }
    }
    if (capture.empty() || log.empty() || args.size() % 2 != 0) {
        std::fprintf(stderr, "usage: realline-wirecheck --capture VCD --log LOG [--run NAME] "
                             "[--sigrok-cli PROGRAM]\n");
        return 2;
    }
    if (run.empty()) {
        run = capture;
    }
    const std::string logText = readAll(log);
    if (logText.empty()) {
        std::fprintf(stderr, "realline-wirecheck: %s: no log\n", log.c_str());
        return 2;
    }
    WorkDir work;
    if (work.path().empty()) {
        std::perror("realline-wirecheck: mkdtemp");
        return 2;
    }
    realline::CaptureHeader header;
    realline::Decoded decoded;
    std::string error;
    if (!realline::decode(capture, work.path(), sigrok, header, decoded, error)) {
        std::printf("wire check %s: FAIL: %s\n", run.c_str(), error.c_str());
        return 2;
    }
    const realline::Report report = realline::compare(logText, header, decoded);
    std::printf("wire check %s: %s (%d stretches decoded by sigrok in %.1f s)\n", run.c_str(),
                report.faultCount == 0 ? "pass" : "FAIL", decoded.slices, decoded.seconds);
    for (int w = 0; w < 2; ++w) {
        std::string rates;
        double last = -1;
        for (const realline::Stretch& s : header.stretches) {
            if (s.wire == w && s.rate != last) {
                rates += (rates.empty() ? "" : ">") + std::to_string(std::lround(s.rate));
                last = s.rate;
            }
        }
        std::printf("    %s (%s): %llu bytes compared", realline::wireName(w),
                    w == realline::txd ? "PC to board" : "board to PC",
                    static_cast<unsigned long long>(report.compared[w]));
        if (report.lost[w] > 0) {
            std::printf(" (%llu of them in bursts that the %s lost)",
                        static_cast<unsigned long long>(report.lost[w]),
                        w == realline::txd ? "board" : "host");
        }
        if (report.positionOnly[w] > 0) {
            std::printf(", %llu more where the log has a digest of more than the wire carried "
                        "(their starts only)",
                        static_cast<unsigned long long>(report.positionOnly[w]));
        }
        std::printf("; worst start, sigrok less log, %+.2f us (%+.3f bits); rates %s\n",
                    static_cast<double>(report.worstNs[w]) / 1000.0, report.worstBits[w],
                    rates.empty() ? "none" : rates.c_str());
    }
    for (const std::string& f : report.faults) {
        std::printf("    %s\n", f.c_str());
    }
    if (report.faultCount > report.faults.size()) {
        std::printf("    ... %llu faults in all\n",
                    static_cast<unsigned long long>(report.faultCount));
    }
    return report.faultCount == 0 ? 0 : 1;
}
