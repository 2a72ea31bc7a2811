// The UART decoder: see uart.h.
#include "tools/station/uart.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace station {
namespace {

// Idle this long ends a burst; a low this long is no frame. A frame of 8N1
// holds the line high for at most nine bits: 2 ms is more than that down to
// 4800 baud.
constexpr Time idleGap = 2 * millis;
// An edge further than this from a whole number of bits after its frame's
// start does not belong to that bit time.
constexpr double edgeTolerance = 0.3;
// Bits per second the decoder takes at most: 10 MBd.
constexpr double shortestBit = 100.0 * nanos;

// The toggles of a burst, [first, last): `first` is a start bit's falling
// edge, the line idles high after `last - 1`.
struct Burst {
    std::size_t first = 0;
    std::size_t last = 0;
};

// Least-squares fit of edge distances against whole bits, through the frame
// start: bitTime = sum(d * n) / sum(n * n).
struct Fit {
    double dn = 0;
    double nn = 0;
    void add(const Fit& o) {
        dn += o.dn;
        nn += o.nn;
    }
    double bitTime() const { return nn > 0 ? dn / nn : 0; }
};

struct Trial {
    std::size_t frames = 0;
    std::size_t errors = 0;
    double worst = 0;
    Fit fit;
    bool clean() const { return errors == 0 && worst <= edgeTolerance; }
};

class Decoder {
  public:
    explicit Decoder(const Signal& wire) : t_(wire.toggles), initial_(wire.initial) {}

    std::vector<Burst> bursts(std::vector<std::pair<Time, Time>>& lowSpans) const {
        std::vector<Burst> out;
        std::size_t k = 0;
        const std::size_t n = t_.size();
        if (!initial_ && n > 0) {
            if (t_[0] >= idleGap) {
                lowSpans.emplace_back(0, t_[0]);
            }
            k = 1; // the wire was low when the capture began: no frame to read
        }
        while (k < n) {
            std::size_t j = k;
            for (;;) {
                // j falls; j + 1 rises, j + 2 falls again
                if (j + 1 >= n) {
                    lowSpans.emplace_back(t_[j], std::numeric_limits<Time>::max());
                    if (j > k) {
                        out.push_back({k, j});
                    }
                    return out;
                }
                if (t_[j + 1] - t_[j] >= idleGap) {
                    lowSpans.emplace_back(t_[j], t_[j + 1]);
                    if (j > k) {
                        out.push_back({k, j});
                    }
                    j += 2;
                    break;
                }
                if (j + 2 >= n || t_[j + 2] - t_[j + 1] >= idleGap) {
                    out.push_back({k, j + 2});
                    j += 2;
                    break;
                }
                j += 2;
            }
            k = j;
        }
        return out;
    }

    // Decodes the burst at bitTime; frames go to `out` when given.
    Trial decode(const Burst& b, double bitTime, std::vector<Frame>* out = nullptr,
                 std::size_t stretch = 0) const {
        Trial trial;
        std::size_t i = b.first;
        while (i < b.last) {
            const Time t0 = t_[i];
            std::size_t j = i + 1;
            bool level = false;
            int value = 0;
            bool ok = true;
            for (int bit = 0; bit < 10; ++bit) {
                const double sample = static_cast<double>(t0) + (bit + 0.5) * bitTime;
                while (j < b.last && static_cast<double>(t_[j]) <= sample) {
                    const double bits = static_cast<double>(t_[j] - t0) / bitTime;
                    const double whole = std::round(bits);
                    trial.worst = std::max(trial.worst, std::fabs(bits - whole));
                    if (whole >= 1) {
                        trial.fit.dn += static_cast<double>(t_[j] - t0) * whole;
                        trial.fit.nn += whole * whole;
                    }
                    level = !level;
                    ++j;
                }
                if (bit == 0) {
                    ok = ok && !level;
                } else if (bit == 9) {
                    ok = ok && level;
                } else if (level) {
                    value |= 1 << (bit - 1);
                }
            }
            ++trial.frames;
            trial.errors += ok ? 0 : 1;
            if (out != nullptr) {
                out->push_back(Frame{t0, t0 + std::llround(10 * bitTime),
                                     static_cast<std::uint8_t>(value), ok, stretch});
            }
            // The next start bit falls after the line is high again.
            if ((j - b.first) % 2 == 1) {
                ++j;
            }
            i = j;
        }
        return trial;
    }

    // Decodes at bitTime, then again at the bit time its edges fit best.
    Trial tryAt(const Burst& b, double bitTime) const {
        const Trial first = decode(b, bitTime);
        const double fitted = first.fit.bitTime();
        if (fitted < shortestBit || first.errors > 0) {
            return first;
        }
        return decode(b, fitted);
    }

    // The burst's shortest interval between two of its edges: one bit time
    // or a few.
    double shortest(const Burst& b) const {
        Time least = std::numeric_limits<Time>::max();
        for (std::size_t k = b.first + 1; k < b.last; ++k) {
            least = std::min(least, t_[k] - t_[k - 1]);
        }
        return static_cast<double>(least);
    }

    // The bit time the burst decodes at on its own: the longest that gives
    // clean frames, from its shortest interval divided by 1 to 6.
    Trial own(const Burst& b) const {
        const double least = shortest(b);
        Trial best;
        bool any = false;
        for (int k = 1; k <= 6; ++k) {
            const double bitTime = least / k;
            if (bitTime < shortestBit) {
                break;
            }
            Trial trial = tryAt(b, bitTime);
            if (trial.clean()) {
                return trial;
            }
            if (!any || trial.errors < best.errors) {
                best = trial;
                any = true;
            }
        }
        if (!any) {
            best.fit = Fit{least, 1};
            best.errors = 1;
        }
        return best;
    }

  private:
    const std::vector<Time>& t_;
    bool initial_;
};

struct Group {
    std::vector<Burst> bursts;
    Fit fit;
};

} // namespace

Decoded decodeUart(const Signal& wire) {
    Decoded result;
    const Decoder decoder(wire);
    const std::vector<Burst> bursts = decoder.bursts(result.lowSpans);

    // Bursts into stretches. A burst of one low only (a lone 0x00, 0xF0...)
    // says little of its rate: it joins the stretch before it or the one
    // after it, whichever it decodes cleanly in.
    std::vector<Group> groups;
    std::vector<Burst> pending;
    std::size_t current = 0;
    auto take = [&](std::size_t into, const Burst& b) {
        const Trial trial = decoder.decode(b, groups[into].fit.bitTime());
        if (!trial.clean()) {
            return false;
        }
        groups[into].bursts.push_back(b);
        groups[into].fit.add(trial.fit);
        return true;
    };
    auto flush = [&](std::size_t into) {
        for (const Burst& p : pending) {
            if (into >= groups.size() || !take(into, p)) {
                groups.push_back(Group{{p}, decoder.own(p).fit});
            }
        }
        pending.clear();
    };
    for (const Burst& b : bursts) {
        if (!groups.empty() && take(current, b)) {
            flush(current);
            continue;
        }
        if (b.last - b.first <= 2) {
            pending.push_back(b);
            continue;
        }
        groups.push_back(Group{{b}, decoder.own(b).fit});
        current = groups.size() - 1;
        flush(current);
    }
    flush(current);

    // Each stretch measured from all its edges, then its frames.
    for (Group& g : groups) {
        std::sort(g.bursts.begin(), g.bursts.end(),
                  [](const Burst& a, const Burst& b) { return a.first < b.first; });
        Fit fit;
        for (const Burst& b : g.bursts) {
            fit.add(decoder.decode(b, g.fit.bitTime()).fit);
        }
        if (fit.bitTime() >= shortestBit) {
            g.fit = fit;
        }
    }
    std::sort(groups.begin(), groups.end(), [](const Group& a, const Group& b) {
        return a.bursts.front().first < b.bursts.front().first;
    });
    for (const Group& g : groups) {
        Stretch s;
        s.bitTime = g.fit.bitTime();
        s.rate = 1e12 / s.bitTime;
        const std::size_t before = result.frames.size();
        for (const Burst& b : g.bursts) {
            const Trial trial =
                decoder.decode(b, s.bitTime, &result.frames, result.stretches.size());
            s.errors += trial.errors;
            s.worstEdge = std::max(s.worstEdge, trial.worst);
        }
        s.frames = result.frames.size() - before;
        s.first = result.frames[before].start;
        s.last = result.frames.back().end;
        result.stretches.push_back(s);
    }
    std::sort(result.frames.begin(), result.frames.end(),
              [](const Frame& a, const Frame& b) { return a.start < b.start; });
    return result;
}

} // namespace station
