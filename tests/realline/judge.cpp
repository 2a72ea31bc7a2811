// realline-judge: judges one run of a program through the real serial driver
// from the USB board's event log and the program's console, and prints the
// run's row of the table.
//
//   realline-judge --ranges IMAGE
//       prints the board's --range arguments for the loadable bytes of IMAGE
//   realline-judge --stamp TXT [--term-ms MS] -- PROGRAM [ARG]...
//       runs PROGRAM with its standard output and error going to TXT as they
//       come, and the monotonic time of each piece (microseconds, the clock
//       of the gadgetfs board's log) with the length of TXT after it to
//       TXT.stamps; last the time the program ended and "eof". Exits with
//       the program's status (128 + the signal that ended it). (Wine's own
//       processes, which a program may start, can hold its output open after
//       it has ended.) --term-ms: sends the program SIGTERM that long after
//       its start and notes the time ("term").
//   realline-judge --run NAME --kind update|stall|passing|unplug|term --log LOG
//                  --console TXT --status N --wall SECONDS --image IMAGE
//                  [--bound SECONDS] [--close-ms MS]
//       exit status 0 when the run passes
//
// What a run must show, bus times from the log:
//   - every reset pulse (DTR raised alone, then dropped) lasts 50 ms; the
//     guest runs on an emulated processor, whose timers fire late when the
//     host is busy: a pulse may last up to 250 ms (measured: 50.5 to 52 ms
//     natively and up to 64 ms under Wine on an idle host, 104 ms once with
//     the sanitizer build and its tests beside the guest), never less than
//     49 ms (the bus stamps both edges within a millisecond of the
//     program's calls);
//   - the board's first byte after a pulse comes at least 198 ms after its
//     end (200 ms, less the same millisecond at either edge);
//   - no byte reaches the board while DTR or RTS is asserted;
//   - the rates that carry bytes are 38400 (after each reset) and the rates
//     the console shows, each within 2 % (what a UART takes; a USB serial
//     chip puts its divisor's rate on the line, e.g. 255319 for 256000); the
//     rate that the console shows " OK" for carries the transfer, unless
//     Wine cannot set it on this driver (256000 and 128000, which it sets
//     through a custom divisor that cdc-acm ignores);
//   - an update leaves the image's bytes in board memory, and every run ends
//     with "exit now..." and exit status 0;
//   - a stall ("stall": the board stops reading bulk OUT for good, or its
//     chip holds its transmitter for good, the log's "hold") ends with the
//     retry prompt and "exit now..." within --bound seconds of the stall,
//     and the program's end (its close) within --close-ms of that text; a
//     stall that passes ("passing") costs attempts, and a later one updates
//     the board; a program ended by SIGTERM during a stall ("term") dies by
//     it within --close-ms, having given back the port (DTR down).
#include "sim/usb/sha1.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <poll.h>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Segment {
    std::uint32_t offset = 0;
    std::uint32_t vaddr = 0;
    std::uint32_t filesz = 0;
};

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t le(const std::string& b, std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        v = v << 8 | static_cast<unsigned char>(b.at(at + static_cast<std::size_t>(i)));
    }
    return v;
}

// The loadable segments of a 32-bit little-endian ELF image; none when the
// file is not one or a segment lies outside it.
std::vector<Segment> segmentsOf(const std::string& elf) {
    std::vector<Segment> out;
    if (elf.size() < 0x34 || elf.compare(0, 4, "\177ELF") != 0) {
        return out;
    }
    const std::uint32_t phoff = le(elf, 0x1C, 4);
    const std::uint32_t phentsize = le(elf, 0x2A, 2);
    const std::uint32_t phnum = le(elf, 0x2C, 2);
    for (std::uint32_t i = 0; i < phnum; ++i) {
        const std::size_t at = phoff + std::size_t{i} * phentsize;
        if (at + 20 > elf.size()) {
            return {};
        }
        Segment s{le(elf, at + 4, 4), le(elf, at + 8, 4), le(elf, at + 16, 4)};
        if (std::size_t{s.offset} + s.filesz > elf.size()) {
            return {};
        }
        if (s.filesz > 0) {
            out.push_back(s);
        }
    }
    std::sort(out.begin(), out.end(),
              [](const Segment& a, const Segment& b) { return a.vaddr < b.vaddr; });
    return out;
}

// The value of key in a flat JSON object: a number, or a string unquoted.
std::optional<std::string> field(const std::string& line, const std::string& key) {
    const std::string tag = "\"" + key + "\":";
    const std::size_t at = line.find(tag);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    std::size_t v = at + tag.size();
    if (v < line.size() && line[v] == '"') {
        const std::size_t end = line.find('"', v + 1);
        return line.substr(v + 1, end - v - 1);
    }
    const std::size_t end = line.find_first_of(",}", v);
    return line.substr(v, end - v);
}

double number(const std::string& line, const std::string& key, double fallback = 0) {
    const auto v = field(line, key);
    return v ? std::strtod(v->c_str(), nullptr) : fallback;
}

struct Args {
    std::string run, kind = "update", log, console, image;
    int status = -1;
    double wall = 0;
    double bound = 0;   // seconds from the stall to "exit now...", 0: none
    double closeMs = 0; // from "exit now..." to the program's end, 0: none
};

// A UART takes bytes within 2 % of its rate; so does the judge.
bool sameRate(double a, double b) {
    return b > 0 && std::fabs(a - b) <= 0.02 * b;
}

std::int64_t monotonicMicros() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

// --stamp: the program's console as it comes, and when each piece came.
int stamp(const std::string& path, std::int64_t termMs, std::vector<char*> argv) {
    std::FILE* text = std::fopen(path.c_str(), "wb");
    std::FILE* stamps = std::fopen((path + ".stamps").c_str(), "w");
    int output[2];
    if (text == nullptr || stamps == nullptr || pipe(output) != 0) {
        std::perror(path.c_str());
        return 2;
    }
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        close(output[0]);
        if (dup2(output[1], STDOUT_FILENO) < 0 || dup2(output[1], STDERR_FILENO) < 0) {
            _exit(126);
        }
        close(output[1]);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(output[1]);
    if (child < 0) {
        std::perror("fork");
        return 2;
    }
    char buffer[4096];
    long long length = 0;
    int status = 0;
    bool ended = false;
    std::int64_t endedAt = 0;
    const std::int64_t termAt = termMs > 0 ? monotonicMicros() + termMs * 1000 : -1;
    bool termed = false;
    for (;;) {
        if (!termed && termAt >= 0 && !ended && monotonicMicros() >= termAt) {
            termed = true;
            std::fprintf(stamps, "%lld term\n", static_cast<long long>(monotonicMicros()));
            (void)kill(child, SIGTERM);
        }
        pollfd ready{output[0], POLLIN, 0};
        // Once the program has ended, what it wrote is in the pipe already.
        const int got = poll(&ready, 1, ended ? 0 : 50);
        if (got > 0) {
            const ssize_t n = read(output[0], buffer, sizeof buffer);
            if (n > 0) {
                const std::int64_t at = monotonicMicros();
                std::fwrite(buffer, 1, static_cast<std::size_t>(n), text);
                std::fflush(text);
                length += n;
                std::fprintf(stamps, "%lld %lld\n", static_cast<long long>(at), length);
                continue;
            }
            if (ended || n == 0) {
                break;
            }
        } else if (ended) {
            break;
        }
        if (!ended && waitpid(child, &status, WNOHANG) == child) {
            ended = true;
            endedAt = monotonicMicros();
        }
    }
    if (!ended) {
        (void)waitpid(child, &status, 0);
        endedAt = monotonicMicros();
    }
    std::fprintf(stamps, "%lld eof\n", static_cast<long long>(endedAt));
    std::fclose(stamps);
    std::fclose(text);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// When the console's text up to and including the end of `what` had come,
// and when the program's output ended; -1 where unknown.
struct Stamps {
    double reached = -1;
    double eof = -1;
    double term = -1;
};
Stamps stampsOf(const std::string& console, const std::string& rawConsole,
                const std::string& what) {
    Stamps result;
    std::ifstream in(console + ".stamps");
    const std::size_t at = rawConsole.find(what);
    std::string when, length;
    while (in >> when >> length) {
        if (length == "eof") {
            result.eof = std::strtod(when.c_str(), nullptr);
        } else if (length == "term") {
            result.term = std::strtod(when.c_str(), nullptr);
        } else if (at != std::string::npos && result.reached < 0 &&
                   std::strtoull(length.c_str(), nullptr, 10) >= at + what.size()) {
            result.reached = std::strtod(when.c_str(), nullptr);
        }
    }
    return result;
}

struct Verdict {
    std::vector<std::string> faults;
    void fail(const std::string& why) { faults.push_back(why); }
};

std::string fmt(const char* format, double a, double b = 0) {
    char text[160]; // room for the longest message and its two numbers
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

int judge(const Args& a) {
    Verdict v;
    // Wine's console text ends its lines with CR LF.
    const std::string rawConsole = readAll(a.console);
    const std::string console =
        std::regex_replace(rawConsole, std::regex("\r\n"), std::string("\n"));
    const std::string elf = readAll(a.image);
    if (segmentsOf(elf).empty()) {
        std::fprintf(stderr, "realline-judge: %s: not an ELF image with loadable bytes\n",
                     a.image.c_str());
        return 2;
    }
    // In the order of their bus times: the board writes an event when it has
    // handled it, and reads the bus's capture only before the bytes after it.
    std::vector<std::pair<double, std::string>> events;
    {
        std::istringstream in(readAll(a.log));
        std::string line;
        while (std::getline(in, line)) {
            const double t = field(line, "t") ? number(line, "t") : number(line, "t0", 1e300);
            events.emplace_back(t, line);
        }
        std::stable_sort(events.begin(), events.end(),
                         [](const auto& x, const auto& y) { return x.first < y.first; });
    }

    // What the console says about the ladder.
    std::set<double> consoleRates{38400};
    std::optional<double> okRate;
    const std::regex speed(" set speed to ([0-9]+), 8N1( OK| failed)?");
    for (auto it = std::sregex_iterator(console.begin(), console.end(), speed);
         it != std::sregex_iterator(); ++it) {
        const double rate = std::strtod((*it)[1].str().c_str(), nullptr);
        consoleRates.insert(rate);
        if ((*it)[2] == " OK") {
            okRate = rate;
        }
    }

    bool dtr = false, rts = false;
    double rate = 0;
    double dtrUp = -1;
    bool rtsWithDtr = false;
    double pulseEnd = -1; // a reset pulse whose first byte is awaited, or -1
    std::vector<double> pulses, gaps, openWidths;
    int bytesWhileAsserted = 0;
    std::vector<double> ratesWithBytes;
    std::map<double, std::uint64_t> bytesAt;
    double firstRx = -1, lastRx = -1, floorUs = 0;
    std::string memorySha;
    int resets = 0;
    double stallAt = -1;
    bool resumed = false;
    std::vector<double> linesDown; // times of line events with DTR and RTS down
    for (const auto& [when, line] : events) {
        const std::string ev = field(line, "ev").value_or("");
        if (ev == "line") {
            const double t = number(line, "t");
            const bool d = number(line, "dtr") != 0, r = number(line, "rts") != 0;
            if (d && !dtr) {
                dtrUp = t;
                rtsWithDtr = r;
            }
            if (!d && dtr && dtrUp >= 0) {
                const double width = (t - dtrUp) / 1000.0;
                // Raised together with RTS: the driver's open, which the
                // program undoes; raised alone: the program's reset pulse.
                if (rtsWithDtr) {
                    openWidths.push_back(width);
                } else {
                    pulses.push_back(width);
                    pulseEnd = t;
                }
            }
            dtr = d;
            rts = r;
            if (!d && !r) {
                linesDown.push_back(t);
            }
        } else if (ev == "coding") {
            rate = number(line, "rate");
        } else if (ev == "reset") {
            ++resets;
        } else if (ev == "rx") {
            const double t0 = number(line, "t0");
            const double t1 = number(line, "t1", t0);
            const auto hex = field(line, "hex");
            const double count = hex ? static_cast<double>(hex->size() / 2) : number(line, "len");
            if (dtr || rts) {
                bytesWhileAsserted += static_cast<int>(count);
            }
            if (pulseEnd >= 0) {
                gaps.push_back((t0 - pulseEnd) / 1000.0);
                pulseEnd = -1;
            }
            if (ratesWithBytes.empty() || ratesWithBytes.back() != rate) {
                ratesWithBytes.push_back(rate);
            }
            bytesAt[rate] += static_cast<std::uint64_t>(count);
            if (firstRx < 0) {
                firstRx = t0;
            }
            lastRx = std::max(lastRx, t1);
            if (rate > 0) {
                floorUs += count * 10.0 / rate * 1e6;
            }
        } else if (ev == "memory") {
            memorySha = field(line, "sha1").value_or("");
        } else if ((ev == "stall" || ev == "hold") && stallAt < 0) {
            stallAt = number(line, "t");
        } else if (ev == "resume") {
            resumed = true;
        }
    }

    // The checks.
    const std::string exitNow = "exit now...\n";
    double termToEnd = -1;
    if (a.kind == "term") {
        // Ended by SIGTERM, as its parent expects: dead by the signal.
        if (a.status != 128 + 15) {
            v.fail("exit status " + std::to_string(a.status) + ", not death by SIGTERM");
        }
        const Stamps end = stampsOf(a.console, rawConsole, exitNow);
        if (end.term < 0 || end.eof < 0) {
            v.fail("no SIGTERM in the run");
        } else if (stallAt < 0 || stallAt > end.term || resumed) {
            v.fail("the SIGTERM did not come while the line was stopped");
        } else {
            termToEnd = (end.eof - end.term) / 1000;
            if (a.closeMs > 0 && termToEnd > a.closeMs) {
                v.fail(fmt("the program ended %.0f ms after SIGTERM, more than %.0f ms", termToEnd,
                           a.closeMs));
            }
            if (std::none_of(linesDown.begin(), linesDown.end(),
                             [&end](double t) { return t >= end.term; })) {
                v.fail("DTR and RTS did not go down after SIGTERM: the port was not closed");
            }
        }
    } else {
        if (a.status != 0) {
            v.fail("exit status " + std::to_string(a.status));
        }
        if (console.size() < exitNow.size() ||
            console.compare(console.size() - exitNow.size(), exitNow.size(), exitNow) != 0) {
            v.fail("the console does not end with \"exit now...\"");
        }
    }
    const bool updated = console.find(" done\nexit now...\n") != std::string::npos &&
                         console.find(" update:   ") != std::string::npos;
    if ((a.kind == "update" || a.kind == "passing") && !updated) {
        v.fail("no finished update on the console");
    }
    if (a.kind == "stall" && updated) {
        v.fail("a board that stopped taking bytes was reported as updated");
    }
    const std::string prompt = "Press 'y' to retry or any other key to exit:";
    if (a.kind == "stall" && console.find(prompt) == std::string::npos) {
        v.fail("no retry prompt after the stall");
    }
    if (a.kind == "passing" &&
        (console.find("retry... (1 of 5)") == std::string::npos || !resumed)) {
        v.fail("the stall that passed did not cost an attempt");
    }
    double stallToExit = -1, closeMs = -1;
    if (a.kind == "stall" || a.kind == "passing") {
        const Stamps exit = stampsOf(a.console, rawConsole, "exit now...");
        if (stallAt < 0) {
            v.fail("no stall in the board's log");
        } else if (exit.reached >= 0) {
            stallToExit = (exit.reached - stallAt) / 1e6;
        }
        if (exit.reached >= 0 && exit.eof >= 0) {
            closeMs = (exit.eof - exit.reached) / 1000;
        }
    }
    if (a.bound > 0 && !(stallToExit >= 0 && stallToExit <= a.bound)) {
        v.fail(fmt("%.1f s from the stall to \"exit now...\", more than %.0f s", stallToExit,
                   a.bound));
    }
    if (a.kind != "term" && a.closeMs > 0 && !(closeMs >= 0 && closeMs <= a.closeMs)) {
        v.fail(fmt("the program ended %.0f ms after \"exit now...\", more than %.0f ms", closeMs,
                   a.closeMs));
    }
    if (a.kind == "unplug" && console.find("retry... (1 of 5)") == std::string::npos) {
        v.fail("the unplugged attempt was not retried");
    }
    if (pulses.empty()) {
        v.fail("no reset pulse on the line");
    }
    for (double w : pulses) {
        if (w < 49 || w > 250) {
            v.fail(fmt("a reset pulse of %.1f ms", w));
        }
    }
    for (double g : gaps) {
        if (g < 198) {
            v.fail(fmt("a byte %.1f ms after a reset pulse", g));
        }
    }
    if (bytesWhileAsserted > 0) {
        v.fail(std::to_string(bytesWhileAsserted) + " bytes while DTR or RTS was asserted");
    }
    for (double r : ratesWithBytes) {
        if (std::none_of(consoleRates.begin(), consoleRates.end(),
                         [r](double c) { return sameRate(r, c); })) {
            v.fail(fmt("bytes at %.0f baud, a rate the console does not show", r));
        }
    }
    std::uint64_t bytesAtOk = 0;
    for (const auto& [r, count] : bytesAt) {
        bytesAtOk += okRate && sameRate(r, *okRate) ? count : 0;
    }
    const bool wineCannot = a.run.rfind("wine", 0) == 0 && okRate && *okRate > 115200;
    if (updated && okRate && !wineCannot && bytesAtOk == 0) {
        v.fail(fmt("the console shows %.0f OK, but no byte crossed at that rate", *okRate));
    }
    if (updated) {
        usbboard::Sha1 digest;
        for (const Segment& s : segmentsOf(elf)) {
            digest.add({reinterpret_cast<const std::uint8_t*>(elf.data()) + s.offset, s.filesz});
        }
        if (memorySha != digest.hex()) {
            v.fail("board memory does not hold the image");
        }
    }

    // The row.
    auto range = [](const std::vector<double>& xs) {
        if (xs.empty()) {
            return std::string("-");
        }
        const auto [lo, hi] = std::minmax_element(xs.begin(), xs.end());
        return fmt("%.1f-%.1f", *lo, *hi);
    };
    std::string rates;
    for (double r : ratesWithBytes) {
        rates += (rates.empty() ? "" : ">") + fmt("%.0f", r);
    }
    const double span = firstRx >= 0 ? (lastRx - firstRx) / 1e6 : 0;
    std::printf("| %s | %s | %zu: %s | %s | %s | %s | %s | %.1f | %.1f | %.1f |\n", a.run.c_str(),
                v.faults.empty() ? "pass" : "FAIL", pulses.size(), range(pulses).c_str(),
                range(gaps).c_str(), range(openWidths).c_str(),
                bytesWhileAsserted == 0 ? "never" : "ASSERTED", rates.c_str(), a.wall, span,
                floorUs / 1e6);
    if (termToEnd >= 0) {
        std::printf("    %s: ended %.0f ms after SIGTERM\n", a.run.c_str(), termToEnd);
    }
    if (stallToExit >= 0) {
        std::printf(
            "    %s: %.1f s from the stall to \"exit now...\"%s, the end %.0f ms after it\n",
            a.run.c_str(), stallToExit, a.bound > 0 ? fmt(" (bound %.0f s)", a.bound).c_str() : "",
            closeMs);
    }
    for (const std::string& f : v.faults) {
        std::printf("    %s: %s\n", a.run.c_str(), f.c_str());
    }
    return v.faults.empty() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "--ranges") {
        const std::vector<Segment> segments = segmentsOf(readAll(args[1]));
        if (segments.empty()) {
            std::fprintf(stderr, "realline-judge: %s: not an ELF image with loadable bytes\n",
                         args[1].c_str());
            return 2;
        }
        for (const Segment& s : segments) {
            std::printf(" --range 0x%X:%u", s.vaddr, s.filesz);
        }
        std::printf("\n");
        return 0;
    }
    if (args.size() >= 4 && args[0] == "--stamp" && args[2] == "--") {
        return stamp(args[1], 0, std::vector<char*>(argv + 4, argv + argc));
    }
    if (args.size() >= 6 && args[0] == "--stamp" && args[2] == "--term-ms" && args[4] == "--") {
        return stamp(args[1], std::strtoll(args[3].c_str(), nullptr, 10),
                     std::vector<char*>(argv + 6, argv + argc));
    }
    Args a;
    for (std::size_t i = 0; i + 1 < args.size(); i += 2) {
        const std::string& k = args[i];
        const std::string& value = args[i + 1];
        if (k == "--run") {
            a.run = value;
        } else if (k == "--kind") {
            a.kind = value;
        } else if (k == "--log") {
            a.log = value;
        } else if (k == "--console") {
            a.console = value;
        } else if (k == "--image") {
            a.image = value;
        } else if (k == "--status") {
            a.status = std::atoi(value.c_str());
        } else if (k == "--wall") {
            a.wall = std::strtod(value.c_str(), nullptr);
        } else if (k == "--bound") {
            a.bound = std::strtod(value.c_str(), nullptr);
        } else if (k == "--close-ms") {
            a.closeMs = std::strtod(value.c_str(), nullptr);
        } else {
            std::fprintf(stderr, "realline-judge: unknown argument %s\n", k.c_str());
            return 2;
        }
    }
    if (a.run.empty() || a.log.empty() || a.console.empty() || a.image.empty()) {
        std::fprintf(stderr, "usage: realline-judge --run NAME --kind update|stall|passing|unplug "
                             "--log LOG --console TXT --status N --wall S --image IMAGE "
                             "[--bound S] [--close-ms MS]\n");
        return 2;
    }
    return judge(a);
}
