// Pictures of a capture: see svg.h.
#include "tools/station/svg.h"
#include "tools/station/format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace station {
namespace {

constexpr double width = 1000;
constexpr double left = 70; // room for the lanes' names
constexpr double right = 20;
constexpr const char* txdColour = "#1f5fbf";
constexpr const char* rxdColour = "#c8641e";
constexpr const char* lineColour = "#333";

std::string escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        out += c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : std::string(1, c);
    }
    return out;
}

class Svg {
  public:
    Svg(double height, const std::string& title) : height_(height) {
        text_ = format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" "
                       "viewBox=\"0 0 %.0f %.0f\" font-family=\"sans-serif\" font-size=\"11\">\n",
                       width, height, width, height);
        text_ += "<title>" + escape(title) + "</title>\n";
        text_ += format("<rect width=\"%.0f\" height=\"%.0f\" fill=\"white\"/>\n", width, height);
        label(left, 18, title, "start", "font-size=\"14\" font-weight=\"bold\"");
    }
    void raw(const std::string& s) { text_ += s; }
    void label(double x, double y, const std::string& s, const char* anchor = "start",
               const std::string& extra = "") {
        text_ += format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"%s\" %s>", x, y, anchor,
                        extra.c_str()) +
                 escape(s) + "</text>\n";
    }
    void line(double x1, double y1, double x2, double y2, const char* colour,
              const std::string& extra = "") {
        text_ +=
            format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" %s/>\n", x1,
                   y1, x2, y2, colour, extra.c_str());
    }
    void rect(double x, double y, double w, double h, const char* fill,
              const std::string& extra = "") {
        text_ += format("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.2f\" height=\"%.1f\" fill=\"%s\" "
                        "%s/>\n",
                        x, y, std::max(w, 0.5), h, fill, extra.c_str());
    }
    std::string done() { return text_ + "</svg>\n"; }
    double height() const { return height_; }

  private:
    double height_;
    std::string text_;
};

// Time [from, to] onto [left, width - right].
struct Axis {
    Time from, to;
    double x(Time t) const {
        const double span = static_cast<double>(std::max<Time>(to - from, 1));
        return left + (width - left - right) * static_cast<double>(t - from) / span;
    }
};

// Ticks and their labels along the time axis at y.
void timeAxis(Svg& svg, const Axis& axis, double top, double y) {
    const double span = toSeconds(axis.to - axis.from);
    double step = std::pow(10.0, std::floor(std::log10(std::max(span, 1e-9) / 8)));
    for (double m : {2.0, 5.0, 10.0}) {
        if (span / step > 10) {
            step = step / (m == 2.0 ? 1.0 : m == 5.0 ? 2.0 : 5.0) * m;
        }
    }
    svg.line(left, y, width - right, y, lineColour);
    const double first = std::ceil(toSeconds(axis.from) / step) * step;
    for (double s = first; s <= toSeconds(axis.to) + step * 1e-6; s += step) {
        s = std::fabs(s) < step * 1e-6 ? 0 : s;
        const double x = axis.x(static_cast<Time>(std::llround(s * 1e12)));
        svg.line(x, top, x, y, "#ddd");
        // As many decimals as the step needs.
        const int decimals = std::max(0, static_cast<int>(std::ceil(-std::log10(step) - 1e-9)));
        svg.label(x, y + 14, format("%.*f s", decimals, s), "middle");
    }
}

// One wire's levels as a polyline between lowY (0) and highY (1).
void wire(Svg& svg, const Signal& s, const Axis& axis, double highY, double lowY,
          const char* colour, const std::string& id) {
    const auto begin = std::upper_bound(s.toggles.begin(), s.toggles.end(), axis.from);
    const auto end = std::upper_bound(s.toggles.begin(), s.toggles.end(), axis.to);
    bool level = s.levelAt(axis.from);
    std::string points = format("%.1f,%.1f", axis.x(axis.from), level ? highY : lowY);
    for (auto it = begin; it != end; ++it) {
        const double x = axis.x(*it);
        points += format(" %.2f,%.1f", x, level ? highY : lowY);
        level = !level;
        points += format(" %.2f,%.1f", x, level ? highY : lowY);
    }
    points += format(" %.1f,%.1f", axis.x(axis.to), level ? highY : lowY);
    svg.raw(format("<polyline id=\"%s\" fill=\"none\" stroke=\"%s\" stroke-width=\"1.2\" "
                   "points=\"",
                   id.c_str(), colour) +
            points + "\"/>\n");
}

// The four lanes of wires over [from, to], from y on, 44 px each; the bytes
// labelled when `labels`.
double lanes(Svg& svg, const Wires& w, const Judgement& j, const Axis& axis, double y, bool labels,
             const std::string& prefix) {
    const Signal* const signals[] = {&w.txd, &w.rxd, &w.dtr, &w.rts};
    const char* const names[] = {"TXD", "RXD", "DTR", "RTS"};
    const char* const colours[] = {txdColour, rxdColour, lineColour, lineColour};
    for (int k = 0; k < 4; ++k) {
        const double top = y + 44 * k + 8;
        svg.label(left - 8, top + 20, names[k], "end", "font-weight=\"bold\"");
        if (k == 3 && !w.rtsRecorded) {
            svg.label(left + 4, top + 20, "not recorded");
            continue;
        }
        wire(svg, *signals[k], axis, top + 4, top + 28, colours[k], prefix + names[k]);
        if (!labels || k > 1) {
            continue;
        }
        for (const Frame& f : (k == 0 ? j.txd : j.rxd).frames) {
            if (f.start >= axis.from && f.end <= axis.to) {
                const double mid = (axis.x(f.start) + axis.x(f.end)) / 2;
                svg.label(mid, top + 40, format("%02X", f.value), "middle",
                          format("class=\"byte\" fill=\"%s\"", colours[k]));
            }
        }
    }
    return y + 44 * 4 + 8;
}

} // namespace

std::string drawReset(const Wires& w, const Judgement& j, int nth) {
    const Pulse* pulse = nullptr;
    int seen = 0;
    for (const Pulse& p : j.session.pulses) {
        if (!p.withRts && p.fall >= 0 && ++seen == nth) {
            pulse = &p;
            break;
        }
    }
    Svg svg(490, format("Reset pulse %d and the first exchange after it", nth));
    if (pulse == nullptr) {
        svg.label(left, 60, format("no reset pulse %d in the capture", nth));
        return svg.done();
    }
    // The first packet after the pulse and its reply.
    const Packet* first = nullptr;
    // Before the next pulse, if there is one.
    const Time limit = pulse + 1 < j.session.pulses.data() + j.session.pulses.size()
                           ? (pulse + 1)->rise
                           : std::numeric_limits<Time>::max();
    for (const Packet& p : j.session.packets) {
        if (p.start >= pulse->fall) {
            first = p.start < limit ? &p : nullptr;
            break;
        }
    }
    Time end = pulse->fall + 250 * millis;
    Time zoomFrom = pulse->fall, zoomTo = end;
    if (first != nullptr) {
        const Time done = std::max(first->end, first->replyEnd);
        const Time margin = std::max<Time>((done - first->start) / 10, 50 * micros);
        zoomFrom = first->start - margin;
        zoomTo = done + margin;
        end = zoomTo + 5 * millis;
    }
    const Axis whole{pulse->rise - 10 * millis, end};
    double y = lanes(svg, w, j, whole, 30, false, "overview-");
    // Dimensions of the pulse and of the quiet after it.
    const double dimY = y - 4;
    svg.line(whole.x(pulse->rise), dimY, whole.x(pulse->fall), dimY, "#090",
             "marker-start=\"none\" stroke-width=\"2\"");
    svg.label((whole.x(pulse->rise) + whole.x(pulse->fall)) / 2, dimY - 4,
              format("pulse %.1f ms", toMs(pulse->fall - pulse->rise)), "middle",
              "id=\"pulse-width\" fill=\"#090\"");
    if (pulse->nextByte >= 0) {
        svg.line(whole.x(pulse->fall), dimY, whole.x(pulse->nextByte), dimY, "#909",
                 "stroke-dasharray=\"4 3\" stroke-width=\"2\"");
        svg.label((whole.x(pulse->fall) + whole.x(pulse->nextByte)) / 2, dimY - 4,
                  format("quiet %.1f ms", toMs(pulse->nextByte - pulse->fall)), "middle",
                  "id=\"quiet\" fill=\"#909\"");
    }
    timeAxis(svg, whole, 30, y + 6);
    y += 40;
    const Axis zoom{zoomFrom, zoomTo};
    svg.label(left, y,
              first != nullptr
                  ? "The first exchange: " + describe(*first) + format(" at %.0f baud", first->rate)
                  : std::string("no packet before the next reset"));
    y = lanes(svg, w, j, zoom, y + 6, true, "exchange-");
    timeAxis(svg, zoom, y - 4 * 44, y + 6);
    return svg.done();
}

std::string drawRates(const Judgement& j) {
    Svg svg(560, "Rates over the capture: each stretch measured from its bit widths");
    const Axis axis{0, std::max<Time>(j.end, 1)};
    // Rate panel: linear, 0 to 280000, the ladder as guides.
    const double top = 40, bottom = 300;
    auto rateY = [&](double r) { return bottom - (bottom - top) * r / 280000.0; };
    for (double r : ladder) {
        svg.line(left, rateY(r), width - right, rateY(r), "#bbb", "stroke-dasharray=\"3 3\"");
        svg.label(left - 6, rateY(r) + 4, format("%.0f", r), "end", "class=\"ladder\"");
    }
    // Error panel: per cent against the ladder, the 2 % allowed shaded.
    const double eTop = 340, eBottom = 460;
    auto errorY = [&](double e) {
        return (eTop + eBottom) / 2 - (eBottom - eTop) / 2 * std::clamp(e, -4.0, 4.0) / 4.0;
    };
    svg.rect(left, errorY(2), width - right - left, errorY(-2) - errorY(2), "#eef7ee");
    for (double e : {-4.0, -2.0, 0.0, 2.0, 4.0}) {
        svg.line(left, errorY(e), width - right, errorY(e), "#ccc");
        svg.label(left - 6, errorY(e) + 4, e == 0 ? std::string("0 %") : format("%+.0f %%", e),
                  "end");
    }
    svg.label(left, eTop - 8, "error against the ladder's rate (2 % allowed)");
    const Decoded* const wires[] = {&j.txd, &j.rxd};
    const char* const colours[] = {txdColour, rxdColour};
    const char* const names[] = {"TXD", "RXD"};
    for (int k = 0; k < 2; ++k) {
        for (const Stretch& s : wires[k]->stretches) {
            const double x1 = axis.x(s.first), x2 = std::max(axis.x(s.last), x1 + 2);
            const double nominal = ladderRateNear(s.rate);
            const double e = 100 * (s.rate / nominal - 1);
            const double dy = k == 0 ? -2 : 2; // TXD above RXD where they overlap
            svg.raw(format("<line class=\"stretch %s\" x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" "
                           "y2=\"%.1f\" stroke=\"%s\" stroke-width=\"4\"><title>%s %.1f baud, "
                           "%+.2f %% against %.0f, %zu bytes</title></line>\n",
                           names[k], x1, rateY(s.rate) + dy, x2, rateY(s.rate) + dy, colours[k],
                           names[k], s.rate, e, nominal, s.frames));
            const char* mark = std::fabs(e) > 2 ? "#d00" : colours[k];
            svg.line(x1, errorY(e) + dy, x2, errorY(e) + dy, mark, "stroke-width=\"4\"");
            if (x2 - x1 > 80) {
                svg.label(x1 + 4, errorY(e) + (k == 0 ? -8 : 16),
                          format("%s %+.2f %%", names[k], e), "start",
                          format("fill=\"%s\"", colours[k]));
            }
            if (x2 - x1 < 6) { // a short stretch still shows
                svg.raw(format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"3\" fill=\"%s\"/>\n",
                               (x1 + x2) / 2, errorY(e) + dy, mark));
                svg.raw(format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"3\" fill=\"%s\"/>\n",
                               (x1 + x2) / 2, rateY(s.rate) + dy, colours[k]));
            }
        }
        svg.rect(width - right - 160, bottom - 36 + 16.0 * k, 12, 4, colours[k]);
        svg.label(width - right - 142, bottom - 30 + 16.0 * k,
                  names[k] + std::string(" stretches"));
    }
    // Blocks and resets along the time axis.
    const double marks = 480;
    svg.label(left - 8, marks + 10, "blocks", "end");
    for (const Packet& p : j.session.packets) {
        if (p.kind == Kind::block) {
            const double x = axis.x(p.start);
            svg.line(x, marks, x, marks + 12, "#555", "class=\"block\"");
        }
    }
    for (const Pulse& p : j.session.pulses) {
        if (!p.withRts) {
            svg.line(axis.x(p.rise), top, axis.x(p.rise), eBottom, "#090",
                     "class=\"reset\" stroke-dasharray=\"2 4\"");
        }
    }
    timeAxis(svg, axis, top, marks + 24);
    return svg.done();
}

std::string drawActivity(const Wires& w, const Judgement& j, Time from, Time to) {
    Svg svg(340, "Attempts, resets and the wires' activity");
    const Axis axis{from, std::max(to, from + 1)};
    const Session& s = j.session;
    // The phases as bands: the scan, each attempt, the ladder's rungs.
    const double bandY = 36;
    svg.label(left - 8, bandY + 16, "session", "end", "font-weight=\"bold\"");
    for (std::size_t k = 0; k < s.phases.size(); ++k) {
        const Phase& ph = s.phases[k];
        const Time end = k + 1 < s.phases.size() ? s.phases[k + 1].start : j.end;
        if (end < from || ph.start > to) {
            continue;
        }
        const double x1 = axis.x(std::max(ph.start, from)), x2 = axis.x(std::min(end, to));
        const char* fill = ph.role == Phase::Role::scan         ? "#e8e8e8"
                           : ph.role == Phase::Role::ladderStep ? "#fdebd0"
                           : ph.attempt % 2 != 0                ? "#d6eaf8"
                                                                : "#d5f5e3";
        svg.rect(x1, bandY, x2 - x1, 24, fill, "class=\"phase\" stroke=\"#888\"");
        std::string name = ph.role == Phase::Role::scan          ? "scan"
                           : ph.role == Phase::Role::beforeReset ? "before reset"
                                                                 : format("attempt %d", ph.attempt);
        if (ph.rate > 0 && ph.role != Phase::Role::scan) {
            name += format(" at %.0f", ph.rate);
        }
        if (x2 - x1 > 6.5 * static_cast<double>(name.size())) {
            svg.label((x1 + x2) / 2, bandY + 16, name, "middle");
        }
    }
    // Modem lines as levels; each wire's bytes per pixel column as bars.
    double y = 80;
    const Signal* const lines[] = {&w.dtr, &w.rts};
    const char* const lineNames[] = {"DTR", "RTS"};
    for (int k = 0; k < 2; ++k) {
        svg.label(left - 8, y + 18, lineNames[k], "end", "font-weight=\"bold\"");
        wire(svg, *lines[k], axis, y + 4, y + 26, lineColour,
             std::string("activity-") + lineNames[k]);
        y += 40;
    }
    const Decoded* const wires[] = {&j.txd, &j.rxd};
    const char* const names[] = {"TXD", "RXD"};
    const char* const colours[] = {txdColour, rxdColour};
    const int columns = static_cast<int>(width - left - right);
    for (int k = 0; k < 2; ++k) {
        std::vector<std::size_t> count(static_cast<std::size_t>(columns), 0);
        for (const Frame& f : wires[k]->frames) {
            if (f.start >= from && f.start < to) {
                const auto c = static_cast<std::size_t>(axis.x(f.start) - left);
                ++count[std::min(c, count.size() - 1)];
            }
        }
        const std::size_t most =
            std::max<std::size_t>(1, *std::max_element(count.begin(), count.end()));
        svg.label(left - 8, y + 24, names[k], "end", "font-weight=\"bold\"");
        std::string bars;
        for (int c = 0; c < columns; ++c) {
            const std::size_t n = count[static_cast<std::size_t>(c)];
            if (n > 0) {
                // Square root: a lone status byte still shows beside a block.
                const double h =
                    4 + 34 * std::sqrt(static_cast<double>(n) / static_cast<double>(most));
                bars += format("M%.0f %.1fv%.1f", left + c + 0.5, y + 40, -h);
            }
        }
        svg.raw(format("<path class=\"activity %s\" stroke=\"%s\" d=\"", names[k], colours[k]) +
                bars + "\"/>\n");
        y += 50;
    }
    // The resets across all lanes; silences of a second or more marked.
    for (const Pulse& p : s.pulses) {
        if (!p.withRts && p.rise >= from && p.rise <= to) {
            svg.line(axis.x(p.rise), bandY, axis.x(p.rise), y, "#090",
                     "class=\"reset\" stroke-dasharray=\"2 3\"");
        }
    }
    std::vector<Time> starts;
    for (const Frame& f : j.txd.frames) {
        starts.push_back(f.start);
    }
    for (const Frame& f : j.rxd.frames) {
        starts.push_back(f.start);
    }
    std::sort(starts.begin(), starts.end());
    for (std::size_t k = 1; k < starts.size(); ++k) {
        const Time a = std::max(starts[k - 1], from), b = std::min(starts[k], to);
        if (b - a >= seconds) {
            svg.rect(axis.x(a), y + 2, axis.x(b) - axis.x(a), 14, "#f5b7b1", "class=\"silence\"");
            svg.label((axis.x(a) + axis.x(b)) / 2, y + 13,
                      format("silent %.1f s", toSeconds(b - a)), "middle");
        }
    }
    timeAxis(svg, axis, bandY, y + 40);
    return svg.done();
}

} // namespace station
