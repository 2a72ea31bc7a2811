// station-judge: judges a station from a logic analyzer's capture of the
// board's debug port, and draws the capture.
#include "tools/station/capture_file.h"
#include "tools/station/report.h"
#include "tools/station/svg.h"
#include "tools/station/verdict.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

const char* const usage =
    "usage: station-judge [options] CAPTURE\n"
    "Judges a station from a logic analyzer's capture of the board's debug port:\n"
    "TXD (PC to board), RXD (board to PC), DTR and RTS. CAPTURE is a VCD from any\n"
    "analyzer or a sigrok session file (.sr, read through sigrok-cli).\n"
    "\n"
    "  --txd NAME --rxd NAME --dtr NAME --rts NAME\n"
    "                      the capture's names for the wires (TXD, RXD, DTR, RTS\n"
    "                      unless given); --rts none when RTS was not recorded\n"
    "  --active-low LINES  DTR and/or RTS recorded on an active-low pin, as on a\n"
    "                      TTL adapter's DTR#: dtr, rts or dtr,rts\n"
    "  --packets           list every packet with its reply and the PC's next act\n"
    "  --svg-reset FILE    draw the first reset pulse and the exchange after it\n"
    "                      (--reset N: the Nth reset pulse instead)\n"
    "  --svg-rates FILE    draw each stretch's rate over the capture, blocks marked\n"
    "  --svg-activity FILE draw the attempts, the resets and the wires' activity\n"
    "                      (--from S --to S: that part of the capture, in seconds)\n"
    "\n"
    "Exit status: 0 the station passes, 1 it fails, 2 unusable input or usage.\n";

int bad(const std::string& why) {
    std::fprintf(stderr, "station-judge: %s\n%s", why.c_str(), usage);
    return 2;
}

bool writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        std::fprintf(stderr, "station-judge: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

bool number(const std::string& text, double& n) {
    char* end = nullptr;
    n = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0';
}

} // namespace

int main(int argc, char** argv) {
    using namespace station;
    Channels channels;
    std::string path, resetSvg, ratesSvg, activitySvg;
    bool packets = false;
    int resetIndex = 1;
    double from = -1, to = -1;
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= args.size()) {
                return false;
            }
            into = args[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            std::fputs(usage, stdout);
            return 0;
        }
        if (a == "--packets") {
            packets = true;
        } else if (a == "--txd" || a == "--rxd" || a == "--dtr" || a == "--rts") {
            std::string& into = a == "--txd"   ? channels.txd
                                : a == "--rxd" ? channels.rxd
                                : a == "--dtr" ? channels.dtr
                                               : channels.rts;
            if (!value(into)) {
                return bad(a + " needs a wire's name");
            }
        } else if (a == "--active-low") {
            if (!value(v) || (v != "dtr" && v != "rts" && v != "dtr,rts" && v != "rts,dtr")) {
                return bad("--active-low takes dtr, rts or dtr,rts");
            }
            channels.dtrActiveLow = v.find("dtr") != std::string::npos;
            channels.rtsActiveLow = v.find("rts") != std::string::npos;
        } else if (a == "--svg-reset" || a == "--svg-rates" || a == "--svg-activity") {
            std::string& into = a == "--svg-reset"   ? resetSvg
                                : a == "--svg-rates" ? ratesSvg
                                                     : activitySvg;
            if (!value(into)) {
                return bad(a + " needs a file");
            }
        } else if (a == "--reset" || a == "--from" || a == "--to") {
            double n = 0;
            if (!value(v) || !number(v, n) || n < 0) {
                return bad(a + " needs a number");
            }
            if (a == "--reset") {
                resetIndex = static_cast<int>(n);
            } else {
                (a == "--from" ? from : to) = n;
            }
        } else if (!a.empty() && a[0] == '-') {
            return bad("unknown option " + a);
        } else if (path.empty()) {
            path = a;
        } else {
            return bad("one capture at a time");
        }
    }
    if (path.empty()) {
        return bad("no capture given");
    }
    if (channels.dtr == "none") {
        return bad("the verdict needs DTR: the reset pulses are on it");
    }
    Wires wires;
    Source source;
    std::string error;
    if (!loadCapture(path, channels, wires, source, error)) {
        std::fprintf(stderr, "station-judge: %s\n", error.c_str());
        return 2;
    }
    const Judgement j = judge(wires);
    writeReport(std::cout, source, j, packets);
    std::cout.flush();
    bool written = true;
    if (!resetSvg.empty()) {
        written = writeText(resetSvg, drawReset(wires, j, resetIndex)) && written;
    }
    if (!ratesSvg.empty()) {
        written = writeText(ratesSvg, drawRates(j)) && written;
    }
    if (!activitySvg.empty()) {
        const Time a = from < 0 ? 0 : static_cast<Time>(from * seconds);
        const Time b = to < 0 ? wires.end : static_cast<Time>(to * seconds);
        written = writeText(activitySvg, drawActivity(wires, j, a, b)) && written;
    }
    if (!written) {
        return 2;
    }
    return j.pass() ? 0 : 1;
}
