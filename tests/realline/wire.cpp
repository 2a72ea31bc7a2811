// The line as sigrok reads it, against the board model's event log: see
// wire.h.
#include "tests/realline/wire.h"

#include "sim/usb/sha1.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <limits>
#include <optional>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace realline {
namespace {

constexpr std::int64_t tickNs = 100;
// Faults spelt out; the rest are counted.
constexpr std::size_t faultsShown = 12;

// Nanoseconds of `count` bytes of 10 bits at `rate`, as the models count
// line time.
std::int64_t lineNs(double rate, std::uint64_t count) {
    return std::llround(static_cast<double>(count) * 1e10 / rate);
}

std::int64_t bitNs(double rate) {
    return std::llround(1e9 / rate);
}

std::string fmt(const char* format, auto... values) {
    char text[512];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

// A time on the log's clock as the log writes it: microseconds.
std::string micros(std::int64_t ns) {
    return fmt("%.1f", static_cast<double>(ns) / 1000.0);
}

// The value of key in a flat JSON object: a number, or a string unquoted.
std::optional<std::string> field(const std::string& line, const std::string& key) {
    const std::string tag = "\"" + key + "\":";
    std::size_t at = line.find(tag);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    at += tag.size();
    while (at < line.size() && line[at] == ' ') {
        ++at;
    }
    if (at < line.size() && line[at] == '"') {
        const std::size_t end = line.find('"', at + 1);
        return line.substr(at + 1, end - at - 1);
    }
    const std::size_t end = line.find_first_of(",}", at);
    return line.substr(at, end - at);
}

std::int64_t integer(const std::string& line, const std::string& key, std::int64_t fallback) {
    const auto v = field(line, key);
    return v ? std::strtoll(v->c_str(), nullptr, 10) : fallback;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<std::vector<std::uint8_t>> unhex(const std::string& text) {
    if (text.size() % 2 != 0) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int hi = hexDigit(text[i]), lo = hexDigit(text[i + 1]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    return out;
}

// ---------------------------------------------------------------------------
// The capture, cut into one VCD per stretch

// sigrok's VCD input makes every sample of the dump, idle or not, and its
// decoder looks at each: a stretch of an update is 30 s of 100 ns samples,
// nearly all of them idle between the replies. A slice keeps each idle gap
// only as long as the decoder needs it, and the ticks it left out, so that a
// decoded time maps back to the capture's tick exactly.
struct Slice {
    int wire;
    std::size_t stretch;
    std::int64_t base; // the capture's tick at the slice's tick 0
    std::string path;
    // From the slice's tick `first` on, `dropped` ticks are left out before it.
    struct Cut {
        std::int64_t first;
        std::int64_t dropped;
    };
    std::vector<Cut> cuts{{0, 0}};
    std::int64_t lastEdge = 0; // the capture's tick

    std::int64_t captureTick(std::int64_t sliceTick) const {
        const auto c = std::upper_bound(cuts.begin(), cuts.end(), sliceTick,
                                        [](std::int64_t v, const Cut& x) { return v < x.first; }) -
                       1;
        return base + sliceTick + c->dropped;
    }
};

// What sigrok's decoder needs in front of a stretch: the line idle for two
// bits, so that the first start bit is an edge.
std::int64_t leadTicks(double rate) {
    return static_cast<std::int64_t>(std::ceil(2e9 / rate / tickNs)) + 1;
}

// An idle gap kept in a slice: two frames' time, past the stop bit of the
// byte before and the decoder's look at it. The line is low for at most nine
// bits of a frame, so that a longer gap is the idle line.
std::int64_t keptGapTicks(double rate) {
    return static_cast<std::int64_t>(std::ceil(20e9 / rate / tickNs));
}

class Slicer {
  public:
    Slicer(const CaptureHeader& header, std::string workDir, Decoded& decoded)
        : header_(header), workDir_(std::move(workDir)), decoded_(decoded) {
        for (std::size_t i = 0; i < header.stretches.size(); ++i) {
            byWire_[header.stretches[i].wire].push_back(i);
        }
        for (auto& list : byWire_) {
            std::sort(list.begin(), list.end(), [&header](std::size_t a, std::size_t b) {
                return header.stretches[a].first < header.stretches[b].first;
            });
        }
    }

    bool edge(int wire, std::int64_t tick, bool level, std::string& error) {
        std::vector<std::size_t>& list = byWire_[wire];
        std::size_t& k = at_[wire];
        while (k < list.size() && tick >= header_.stretches[list[k]].last) {
            if (!passed(wire, list[k], error)) {
                return false;
            }
            ++k;
        }
        if (k < list.size() && tick >= header_.stretches[list[k]].first) {
            if (!open_[wire].is_open() && !open(wire, list[k], error)) {
                return false;
            }
            Slice& slice = slices_[current_[wire]];
            const double rate = header_.stretches[slice.stretch].rate;
            const std::int64_t gap = tick - slice.lastEdge;
            if (!level && gap > keptGapTicks(rate)) {
                const std::int64_t dropped = slice.cuts.back().dropped + gap - keptGapTicks(rate);
                slice.cuts.push_back({tick - slice.base - dropped, dropped});
            }
            slice.lastEdge = tick;
            open_[wire] << '#' << tick - slice.base - slice.cuts.back().dropped << '\n'
                        << (level ? '1' : '0') << "!\n";
            return true;
        }
        ++outside_[wire];
        if (outside_[wire] <= 3) {
            decoded_.faults.push_back(fmt("%s: an edge at %s us lies in no stretch of the header",
                                          wireName(wire),
                                          micros(header_.originNs + tick * tickNs).c_str()));
        }
        return true;
    }

    // At the end of the dump: every stretch written.
    bool finish(std::string& error) {
        for (int w = 0; w < 2; ++w) {
            std::size_t& k = at_[w];
            for (; k < byWire_[w].size(); ++k) {
                if (!passed(w, byWire_[w][k], error)) {
                    return false;
                }
            }
            if (outside_[w] > 3) {
                decoded_.faults.push_back(fmt("%s: %llu more edges in no stretch", wireName(w),
                                              static_cast<unsigned long long>(outside_[w] - 3)));
            }
        }
        return true;
    }

    const std::vector<Slice>& slices() const { return slices_; }

  private:
    // The dump is past the stretch: its slice is whole.
    bool passed(int wire, std::size_t stretch, std::string& error) {
        if (!open_[wire].is_open()) {
            const Stretch& s = header_.stretches[stretch];
            decoded_.faults.push_back(fmt("%s: the stretch from %s us has no edge in the capture",
                                          wireName(wire),
                                          micros(header_.originNs + s.first * tickNs).c_str()));
            return true;
        }
        return close(wire, error);
    }

    bool open(int wire, std::size_t stretch, std::string& error) {
        const Stretch& s = header_.stretches[stretch];
        Slice slice{wire, stretch, s.first - leadTicks(s.rate),
                    workDir_ + fmt("/%s-%03zu.vcd", wireName(wire), stretch)};
        slice.lastEdge = slice.base;
        open_[wire].open(slice.path, std::ios::binary | std::ios::trunc);
        if (!open_[wire]) {
            error = "cannot write " + slice.path;
            return false;
        }
        open_[wire] << "$timescale 100 ns $end\n$scope module uart $end\n$var wire 1 ! "
                    << wireName(wire)
                    << " $end\n$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n1!\n$end\n";
        current_[wire] = slices_.size();
        slices_.push_back(std::move(slice));
        return true;
    }

    bool close(int wire, std::string& error) {
        if (!open_[wire].is_open()) {
            return true;
        }
        const Slice& slice = slices_[current_[wire]];
        const Stretch& s = header_.stretches[slice.stretch];
        // Past the last stop bit by the lead, so that the decoder sees it whole.
        open_[wire] << '#'
                    << std::max(s.last, slice.lastEdge) - slice.base - slice.cuts.back().dropped +
                           leadTicks(s.rate)
                    << '\n';
        open_[wire].close();
        if (!open_[wire]) {
            error = "cannot write " + slice.path;
            return false;
        }
        open_[wire].clear();
        return true;
    }

    const CaptureHeader& header_;
    std::string workDir_;
    Decoded& decoded_;
    std::vector<std::size_t> byWire_[2];
    std::size_t at_[2] = {0, 0};
    std::ofstream open_[2];
    std::size_t current_[2] = {0, 0};
    std::uint64_t outside_[2] = {0, 0};
    std::vector<Slice> slices_;
};

// Runs sigrok's UART decoder over one slice; its data bytes and warnings
// into `decoded`.
bool decodeSlice(const Slice& slice, const CaptureHeader& header, const std::string& sigrok,
                 const std::string& workDir, Decoded& decoded, std::string& error) {
    const Stretch& s = header.stretches[slice.stretch];
    const std::string decoder = fmt("uart:rx=%s:baudrate=%.0f", wireName(slice.wire), s.rate);
    const std::string errPath = workDir + "/sigrok.err";
    std::vector<std::string> args = {sigrok,
                                     "-I",
                                     "vcd",
                                     "-i",
                                     slice.path,
                                     "-P",
                                     decoder,
                                     "-A",
                                     "uart=rx-data:rx-warnings",
                                     "--protocol-decoder-jsontrace"};
    int out[2];
    if (pipe(out) != 0) {
        error = "pipe failed";
        return false;
    }
    const pid_t child = fork();
    if (child == 0) {
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err < 0 || dup2(out[1], STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) {
            _exit(126);
        }
        close(out[0]);
        close(out[1]);
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    if (child < 0) {
        close(out[0]);
        error = "fork failed";
        return false;
    }
    std::FILE* in = fdopen(out[0], "r");
    const std::int64_t bit = bitNs(s.rate);
    // sigrok's microseconds on the slice's ticks, back on the log's clock.
    const auto onClock = [&](const std::string& ts) {
        const std::int64_t ns = std::llround(std::strtod(ts.c_str(), nullptr) * 1000.0);
        return header.originNs + slice.captureTick(ns / tickNs) * tickNs + ns % tickNs;
    };
    char buffer[512];
    while (in != nullptr && std::fgets(buffer, sizeof buffer, in) != nullptr) {
        const std::string line = buffer;
        if (field(line, "ph").value_or("") != "B") {
            continue;
        }
        const std::string tid = field(line, "tid").value_or("");
        const std::string name = field(line, "name").value_or("");
        const std::int64_t at = onClock(field(line, "ts").value_or("0"));
        if (tid == "RX") {
            const auto value = unhex(name);
            if (!value || value->size() != 1) {
                decoded.faults.push_back(fmt("%s: sigrok's data annotation \"%s\" at %s us",
                                             wireName(slice.wire), name.c_str(),
                                             micros(at).c_str()));
                continue;
            }
            // The annotation begins with the first data bit, one bit after
            // the start bit.
            decoded.bytes[slice.wire].push_back({at - bit, value->front()});
        } else if (tid == "RX warnings") {
            decoded.faults.push_back(fmt("%s: sigrok: %s at %s us (%.0f baud)",
                                         wireName(slice.wire), name.c_str(), micros(at).c_str(),
                                         s.rate));
        }
    }
    if (in != nullptr) {
        std::fclose(in);
    } else {
        close(out[0]);
    }
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::ifstream err(errPath);
        std::string first;
        std::getline(err, first);
        error =
            fmt("%s failed on %s (status %d): %s", sigrok.c_str(), slice.path.c_str(),
                WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), first.c_str());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// The log's bytes on the wire

struct Burst {
    int wire = txd;
    std::string name;        // "the rx at t0 ..." for the faults
    std::int64_t at = 0;     // ns: rx its first byte's start, tx its last byte's end
    std::vector<int> values; // -1 where the log has only a digest
    std::string sha1;        // the log's digest of a long burst
    std::uint64_t lost = 0;  // bytes its receiver did not take
    std::size_t onWire = 0;  // bytes that reached the wire
    double rate = 0;
    std::vector<int> got; // what sigrok decoded, -1 where none was paired
};

struct Expected {
    std::int64_t start;
    std::size_t burst;
    std::size_t index;
};

struct Coding {
    std::int64_t t; // microseconds
    double rate;
    std::string framing;
};

class Faults {
  public:
    explicit Faults(Report& report) : report_(report) {}
    void add(const std::string& why) {
        ++report_.faultCount;
        if (report_.faults.size() < faultsShown) {
            report_.faults.push_back(why);
        }
    }

  private:
    Report& report_;
};

// The RXD stretch that a reply ending at `endNs` lies in.
const Stretch* stretchOf(const CaptureHeader& header, int wire, std::int64_t endNs) {
    const std::int64_t tick = (endNs - header.originNs) / tickNs;
    const Stretch* best = nullptr;
    for (const Stretch& s : header.stretches) {
        // The log's microsecond and the capture's ticks: 2 us either way.
        if (s.wire == wire && tick >= s.first - 20 && tick <= s.last + 20) {
            if (best == nullptr || (tick >= s.first && tick <= s.last)) {
                best = &s;
            }
        }
    }
    return best;
}

std::vector<Burst> burstsOf(const std::string& logText, const CaptureHeader& header,
                            Faults& faults) {
    // The rate of the bytes towards the board: the coding in force at their
    // start. An adapter that nobody set, fresh or plugged in again, runs
    // 9600 8N1.
    std::vector<Coding> codings{{std::numeric_limits<std::int64_t>::min(), 9600, "8N1"}};
    std::vector<std::string> lines;
    {
        std::istringstream in(logText);
        std::string line;
        while (std::getline(in, line)) {
            const std::string ev = field(line, "ev").value_or("");
            if (ev == "coding") {
                codings.push_back({integer(line, "t", 0),
                                   std::strtod(field(line, "rate").value_or("0").c_str(), nullptr),
                                   field(line, "bits").value_or("?") +
                                       field(line, "parity").value_or("?") +
                                       field(line, "stop").value_or("?")});
            } else if (ev == "replug") {
                codings.push_back({integer(line, "t", 0), 9600, "8N1"});
            } else if (ev == "rx" || ev == "tx") {
                lines.push_back(line);
            }
        }
    }
    std::stable_sort(codings.begin(), codings.end(),
                     [](const Coding& a, const Coding& b) { return a.t < b.t; });

    std::vector<Burst> bursts;
    for (const std::string& line : lines) {
        Burst b;
        const bool rx = field(line, "ev") == "rx";
        b.wire = rx ? txd : rxd;
        const std::int64_t t = integer(line, rx ? "t0" : "t", -1);
        b.name = fmt(rx ? "the rx at t0 %lld" : "the tx at t %lld", static_cast<long long>(t));
        b.lost = static_cast<std::uint64_t>(integer(line, "lost", 0));
        if (const auto hex = field(line, "hex")) {
            const auto bytes = unhex(*hex);
            if (!bytes) {
                faults.add(b.name + ": its hex is no byte string");
                continue;
            }
            b.values.assign(bytes->begin(), bytes->end());
        } else {
            const std::int64_t len = integer(line, "len", -1);
            b.sha1 = field(line, "sha1").value_or("");
            if (len <= 0 || b.sha1.size() != 40) {
                faults.add(b.name + ": neither hex nor len and sha1");
                continue;
            }
            b.values.assign(static_cast<std::size_t>(len), -1);
        }
        const std::size_t n = b.values.size();
        // The log's microsecond, at its middle: the model's nanosecond lies
        // in it.
        b.at = t * 1000 + 500;
        if (rx) {
            // The coding in force when the bytes came; one set in the same
            // microsecond may be before or after them, and the burst's span
            // tells which.
            const auto byTime = [](std::int64_t v, const Coding& x) { return v < x.t; };
            const auto at = std::upper_bound(codings.begin(), codings.end(), t, byTime) - 1;
            const auto before = std::upper_bound(codings.begin(), codings.end(), t - 1, byTime) - 1;
            const std::int64_t span = (integer(line, "t1", t) - t) * 1000;
            const auto fitAt = [span](const Coding& c) {
                return static_cast<std::size_t>(std::max<std::int64_t>(
                    0, std::llround(static_cast<double>(span) /
                                    static_cast<double>(lineNs(c.rate, 1)))));
            };
            const Coding& c = fitAt(*at) != n && fitAt(*before) == n ? *before : *at;
            if (c.framing != "8N1") {
                faults.add(fmt("%s: at %s, which the check decodes not (8N1 only)", b.name.c_str(),
                               c.framing.c_str()));
                continue;
            }
            b.rate = c.rate;
            // A purge throws away bytes that had not reached the line: the
            // burst ends with its last byte on the wire.
            const std::size_t fit = fitAt(c);
            if (fit > n || (fit < n && n - fit > b.lost)) {
                faults.add(fmt("%s: %zu bytes at %.0f baud, but it spans %s us, the time of %zu",
                               b.name.c_str(), n, b.rate, micros(span).c_str(), fit));
                continue;
            }
            b.onWire = fit;
        } else {
            const Stretch* s = stretchOf(header, rxd, b.at);
            if (s == nullptr) {
                faults.add(b.name + ": no RXD stretch of the capture holds it");
                continue;
            }
            b.rate = s->rate;
            b.onWire = n;
        }
        b.got.assign(n, -1);
        bursts.push_back(std::move(b));
    }
    return bursts;
}

} // namespace

const char* wireName(int wire) {
    return wire == txd ? "TXD" : "RXD";
}

bool readHeader(std::istream& in, CaptureHeader& header, std::string& error) {
    std::string line;
    bool origin = false;
    bool vars[2] = {false, false};
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string a, b;
        words >> a >> b;
        if (a == "$comment" && b == "stretch") {
            std::string wire;
            Stretch s;
            words >> wire >> s.first >> s.last >> s.rate;
            if (!words || (wire != "TXD" && wire != "RXD") || s.last < s.first || s.rate <= 0) {
                error = "a stretch the header does not say right: " + line;
                return false;
            }
            s.wire = wire == "TXD" ? txd : rxd;
            header.stretches.push_back(s);
        } else if (a == "$comment") {
            const std::size_t at = line.find("; tick 0 is ");
            if (at != std::string::npos) {
                header.originNs = std::strtoll(line.c_str() + at + 12, nullptr, 10);
                origin = true;
            }
        } else if (a == "$timescale" && line.find("100 ns") == std::string::npos) {
            error = "a timescale other than 100 ns: " + line;
            return false;
        } else if (a == "$var") {
            // $var wire 1 ! TXD $end: the ids are the capture's own.
            std::string width, id, name;
            words >> width >> id >> name;
            vars[0] = vars[0] || (id == "!" && name == "TXD");
            vars[1] = vars[1] || (id == "\"" && name == "RXD");
        } else if (a == "$enddefinitions") {
            if (!origin) {
                error = "no \"tick 0 is ... ns\" in the header: not a capture of the models";
                return false;
            }
            if (!vars[0] || !vars[1]) {
                error = "no TXD (!) and RXD (\") in the header";
                return false;
            }
            return true;
        }
    }
    error = "no $enddefinitions: not a VCD";
    return false;
}

bool decode(const std::string& vcdPath, const std::string& workDir, const std::string& sigrok,
            CaptureHeader& header, Decoded& decoded, std::string& error) {
    std::ifstream in(vcdPath, std::ios::binary);
    if (!in) {
        error = "cannot read " + vcdPath;
        return false;
    }
    if (!readHeader(in, header, error)) {
        error = vcdPath + ": " + error;
        return false;
    }
    Slicer slicer(header, workDir, decoded);
    // The slices go, whatever the outcome.
    struct CleanUp {
        const Slicer& slicer;
        std::string err;
        ~CleanUp() {
            for (const Slice& slice : slicer.slices()) {
                std::remove(slice.path.c_str());
            }
            std::remove(err.c_str());
        }
    } cleanUp{slicer, workDir + "/sigrok.err"};
    std::string line;
    std::int64_t tick = 0;
    bool level[2] = {true, true};
    bool dumping = false;
    bool ended = false;
    while (std::getline(in, line)) {
        if (line.empty()) {
            continue;
        }
        ended = line[0] == '#';
        if (ended) {
            tick = std::strtoll(line.c_str() + 1, nullptr, 10);
            continue;
        }
        if (line == "$dumpvars") {
            dumping = true;
            continue;
        }
        if (line == "$end") {
            dumping = false;
            continue;
        }
        const int wire = line.size() == 2 && line[1] == '!'   ? txd
                         : line.size() == 2 && line[1] == '"' ? rxd
                                                              : -1;
        if (wire < 0) {
            continue; // DTR, RTS
        }
        const bool value = line[0] == '1';
        if (dumping) {
            if (!value) {
                error = fmt("%s does not begin idle (high)", wireName(wire));
                return false;
            }
            level[wire] = value;
            continue;
        }
        if (value != level[wire]) {
            level[wire] = value;
            if (!slicer.edge(wire, tick, value, error)) {
                return false;
            }
        }
    }
    // The writer ends the dump with a time stamp: a capture without one was
    // cut short, and its last stretch is missing bytes.
    if (!ended) {
        decoded.faults.push_back("the capture does not end with a time stamp: cut short");
    }
    if (!slicer.finish(error)) {
        error = vcdPath + ": " + error;
        return false;
    }
    const auto started = std::chrono::steady_clock::now();
    for (const Slice& slice : slicer.slices()) {
        if (!decodeSlice(slice, header, sigrok, workDir, decoded, error)) {
            return false;
        }
        std::remove(slice.path.c_str());
        ++decoded.slices;
    }
    decoded.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return true;
}

Report compare(const std::string& logText, const CaptureHeader& header, const Decoded& decoded) {
    Report report;
    Faults faults(report);
    for (const std::string& f : decoded.faults) {
        faults.add(f);
    }
    std::vector<Burst> bursts = burstsOf(logText, header, faults);

    for (int w = 0; w < 2; ++w) {
        std::vector<Expected> expected;
        for (std::size_t b = 0; b < bursts.size(); ++b) {
            const Burst& burst = bursts[b];
            if (burst.wire != w) {
                continue;
            }
            // rx: from the first byte's start; tx: back from the last one's
            // end.
            const std::int64_t first =
                w == txd ? burst.at : burst.at - lineNs(burst.rate, burst.values.size());
            for (std::size_t i = 0; i < burst.onWire; ++i) {
                expected.push_back({first + lineNs(burst.rate, i), b, i});
            }
        }
        std::stable_sort(expected.begin(), expected.end(),
                         [](const Expected& a, const Expected& b) { return a.start < b.start; });
        std::vector<WireByte> got = decoded.bytes[w];
        std::stable_sort(got.begin(), got.end(),
                         [](const WireByte& a, const WireByte& b) { return a.start < b.start; });

        auto describe = [&bursts](const Expected& e) {
            const Burst& b = bursts[e.burst];
            const int v = b.values[e.index];
            return fmt("byte %zu%s of %s", e.index, v >= 0 ? fmt(" (%02x)", v).c_str() : "",
                       b.name.c_str());
        };
        std::size_t i = 0, j = 0;
        while (i < expected.size() || j < got.size()) {
            if (i < expected.size() && j < got.size()) {
                const Expected& e = expected[i];
                const std::int64_t diff = got[j].start - e.start;
                const double rate = bursts[e.burst].rate;
                if (std::llabs(diff) <= bitNs(rate)) {
                    Burst& b = bursts[e.burst];
                    b.got[e.index] = got[j].value;
                    if (b.values[e.index] >= 0 && b.values[e.index] != got[j].value) {
                        faults.add(fmt("%s: sigrok decoded %02x for %s", wireName(w), got[j].value,
                                       describe(e).c_str()));
                    }
                    if (std::llabs(diff) > std::llabs(report.worstNs[w])) {
                        report.worstNs[w] = diff;
                        report.worstBits[w] = static_cast<double>(diff) * rate / 1e9;
                    }
                    ++i;
                    ++j;
                    continue;
                }
            }
            if (j >= got.size() || (i < expected.size() && expected[i].start < got[j].start)) {
                // A logged byte that sigrok did not decode where the log
                // puts it; the nearest decoded one says how far off.
                const Expected& e = expected[i];
                std::optional<std::int64_t> nearest;
                const auto n =
                    std::lower_bound(got.begin(), got.end(), e.start,
                                     [](const WireByte& x, std::int64_t v) { return x.start < v; });
                for (const auto k : {n, n == got.begin() ? n : n - 1}) {
                    const std::int64_t d = k != got.end() ? k->start - e.start : 0;
                    if (k != got.end() && (!nearest || std::llabs(d) < std::llabs(*nearest))) {
                        nearest = d;
                    }
                }
                const double rate = bursts[e.burst].rate;
                faults.add(fmt("%s: sigrok decoded no byte within one bit of %s (at %s us)%s",
                               wireName(w), describe(e).c_str(), micros(e.start).c_str(),
                               nearest
                                   ? fmt("; the nearest decoded one is %+.1f us (%+.2f bits) off",
                                         static_cast<double>(*nearest) / 1000.0,
                                         static_cast<double>(*nearest) * rate / 1e9)
                                         .c_str()
                                   : ""));
                ++i;
            } else {
                faults.add(fmt("%s: sigrok decoded %02x at %s us, where the log has no byte "
                               "within one bit",
                               wireName(w), got[j].value, micros(got[j].start).c_str()));
                ++j;
            }
        }
    }

    for (const Burst& b : bursts) {
        std::uint64_t paired = 0;
        for (const int g : b.got) {
            paired += g >= 0 ? 1 : 0;
        }
        if (b.sha1.empty() || b.onWire < b.values.size()) {
            // A digest of more bytes than reached the wire: their starts only.
            (b.sha1.empty() ? report.compared : report.positionOnly)[b.wire] += paired;
            report.lost[b.wire] += b.lost > 0 && b.sha1.empty() ? paired : 0;
            continue;
        }
        if (paired < b.values.size()) {
            continue; // the missing bytes are faults already
        }
        std::vector<std::uint8_t> bytes(b.got.begin(), b.got.end());
        const std::string digest = usbboard::sha1Hex(bytes);
        if (digest != b.sha1) {
            faults.add(fmt("%s: the %zu bytes sigrok decoded for %s have SHA-1 %s, the log %s",
                           wireName(b.wire), bytes.size(), b.name.c_str(), digest.c_str(),
                           b.sha1.c_str()));
        }
        report.compared[b.wire] += paired;
        report.lost[b.wire] += b.lost > 0 ? paired : 0;
    }
    return report;
}

} // namespace realline
