// The line capture's VCD: see capture.h.
#include "sim/capture.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <limits>

namespace sim {
namespace {

constexpr std::int64_t noTick = std::numeric_limits<std::int64_t>::max();

// The level changes of one wire, in time order: each byte's bits, the line
// idle high between them.
class WireEdges {
  public:
    WireEdges(std::vector<std::pair<Nanos, bool>> levels, bool idle)
        : levels_(std::move(levels)), last_(idle) {
        skipSame();
    }
    Nanos next() const { return at_ < levels_.size() ? levels_[at_].first : never(); }
    bool level() const { return levels_[at_].second; }
    void pop() {
        last_ = levels_[at_].second;
        ++at_;
        skipSame();
    }
    static Nanos never() { return std::numeric_limits<Nanos>::max(); }

  private:
    void skipSame() {
        while (at_ < levels_.size() && levels_[at_].second == last_) {
            ++at_;
        }
    }
    std::vector<std::pair<Nanos, bool>> levels_;
    std::size_t at_ = 0;
    bool last_;
};

} // namespace

LineCapture::LineCapture(Nanos origin, std::string what)
    : origin_(origin), what_(std::move(what)) {}

void LineCapture::lines(Nanos t, bool dtr, bool rts) {
    if (lines_.empty() || lines_.back().dtr != dtr || lines_.back().rts != rts) {
        lines_.push_back({t, dtr, rts});
    }
}

void LineCapture::byte(Wire wire, Nanos start, std::uint8_t value, double rate, Framing framing) {
    if (rate > 0) {
        wires_[static_cast<int>(wire)].push_back({start, rate, value, framing});
    }
}

std::size_t LineCapture::bytes(Wire wire) const {
    return wires_[static_cast<int>(wire)].size();
}

void LineCapture::write(std::ostream& out, Nanos until) const {
    auto tickOf = [this](Nanos t) {
        return std::max<std::int64_t>(0, std::llround(static_cast<double>(t - origin_) / tickNs));
    };
    static const char* const names[] = {"TXD", "RXD", "DTR", "RTS"};
    static const char ids[] = {'!', '"', '#', '$'};

    // Each wire's levels, bit by bit, in time order.
    std::vector<WireEdges> edges;
    std::vector<std::string> stretches;
    for (int w = 0; w < 2; ++w) {
        std::vector<Byte> sorted(wires_[w].begin(), wires_[w].end());
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const Byte& a, const Byte& b) { return a.start < b.start; });
        std::vector<std::pair<Nanos, bool>> levels;
        std::size_t first = 0;
        Nanos free = std::numeric_limits<Nanos>::min();
        for (std::size_t i = 0; i < sorted.size(); ++i) {
            Byte& b = sorted[i];
            // A model without line time hands over bytes of one write at one
            // instant; a UART sends them one after the other.
            b.start = std::max(b.start, free);
            const double bitNs = 1e9 / b.rate;
            auto at = [&](double bits) { return b.start + std::llround(bits * bitNs); };
            const int parityBits = b.framing.parity != 0 ? 1 : 0;
            levels.emplace_back(b.start, false);
            int ones = 0;
            for (int k = 0; k < b.framing.dataBits; ++k) {
                const bool bit = ((b.value >> k) & 1) != 0;
                ones += bit ? 1 : 0;
                levels.emplace_back(at(1 + k), bit);
            }
            if (parityBits != 0) {
                const bool odd = (ones & 1) != 0;
                const bool bit = b.framing.parity == 1   ? !odd
                                 : b.framing.parity == 2 ? odd
                                                         : b.framing.parity == 3;
                levels.emplace_back(at(1 + b.framing.dataBits), bit);
            }
            levels.emplace_back(at(1 + b.framing.dataBits + parityBits), true);
            free = at(1 + b.framing.dataBits + parityBits + b.framing.stopHalfBits / 2.0);
            const bool last = i + 1 == sorted.size() || sorted[i + 1].rate != b.rate;
            if (last) {
                const Byte& f = sorted[first];
                const double bits =
                    1 + b.framing.dataBits + parityBits + b.framing.stopHalfBits / 2.0;
                stretches.push_back("$comment stretch " + std::string(names[w]) + " " +
                                    std::to_string(tickOf(f.start)) + " " +
                                    std::to_string(tickOf(at(bits))) + " " +
                                    std::to_string(std::llround(b.rate)) + " $end");
                first = i + 1;
            }
        }
        edges.emplace_back(std::move(levels), true);
    }
    for (int line = 0; line < 2; ++line) {
        std::vector<std::pair<Nanos, bool>> levels;
        for (const Lines& l : lines_) {
            levels.emplace_back(l.t, line == 0 ? l.dtr : l.rts);
        }
        edges.emplace_back(std::move(levels), false);
    }

    out << "$comment " << what_ << "; tick 0 is " << origin_ << " ns on that clock $end\n";
    for (const std::string& s : stretches) {
        out << s << '\n';
    }
    out << "$timescale 100 ns $end\n$scope module uart $end\n";
    for (int i = 0; i < 4; ++i) {
        out << "$var wire 1 " << ids[i] << ' ' << names[i] << " $end\n";
    }
    out << "$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n1!\n1\"\n0#\n0$\n$end\n";

    std::int64_t current = 0;
    for (;;) {
        int pick = -1;
        for (int i = 0; i < 4; ++i) {
            if (edges[i].next() != WireEdges::never() &&
                (pick < 0 || edges[i].next() < edges[pick].next())) {
                pick = i;
            }
        }
        if (pick < 0) {
            break;
        }
        const std::int64_t tick = std::max(current, tickOf(edges[pick].next()));
        if (tick != current) {
            out << '#' << tick << '\n';
            current = tick;
        }
        out << (edges[pick].level() ? '1' : '0') << ids[pick] << '\n';
        edges[pick].pop();
    }
    const std::int64_t end = std::max(current + 1, until > 0 ? tickOf(until) : 0);
    out << '#' << end << '\n';
}

bool LineCapture::writeFile(const std::string& path, Nanos until) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    write(out, until);
    out.flush();
    return static_cast<bool>(out);
}

} // namespace sim
