// The rules of a station's verdict: see verdict.h.
#include "tools/station/verdict.h"
#include "tools/station/format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace station {
namespace {

class Findings {
  public:
    void fail(Time at, std::string text) { list.push_back({at, true, std::move(text)}); }
    void note(Time at, std::string text) { list.push_back({at, false, std::move(text)}); }
    std::vector<Finding> list;
};

void judgePulses(const Session& s, const Rules& rules, Findings& out) {
    bool any = false;
    for (const Pulse& p : s.pulses) {
        if (p.withRts) {
            out.note(p.rise, p.fall < 0 ? std::string("DTR and RTS raised together (an open) and "
                                                      "still up at the capture's end")
                                        : format("DTR and RTS raised together for %.1f ms: a "
                                                 "driver's open, not a reset pulse",
                                                 toMs(p.fall - p.rise)));
            continue;
        }
        any = true;
        if (p.fall < 0) {
            out.fail(p.rise, "DTR raised and still up at the capture's end");
            continue;
        }
        const Time width = p.fall - p.rise;
        if (width < rules.pulseMin || width > rules.pulseMax) {
            out.fail(p.rise, format("reset pulse of %.1f ms (%.0f to %.0f ms)", toMs(width),
                                    toMs(rules.pulseMin), toMs(rules.pulseMax)));
        }
        if (p.nextByte >= 0 && p.nextByte - p.fall < rules.quietAfterPulse) {
            out.fail(p.fall, format("the PC's first byte %.1f ms after the reset pulse's end "
                                    "(%.0f ms at least)",
                                    toMs(p.nextByte - p.fall), toMs(rules.quietAfterPulse)));
        }
    }
    if (!any) {
        out.fail(0, "no reset pulse on DTR");
    }
}

void judgeStretches(const char* wire, const Decoded& d, const Rules& rules, Findings& out) {
    for (const Stretch& s : d.stretches) {
        const double nominal = ladderRateNear(s.rate);
        const double error = s.rate / nominal - 1;
        if (std::fabs(error) > rules.rateTolerance) {
            out.fail(s.first, format("%s stretch of %zu bytes at %.0f baud: %+.1f %% against %.0f "
                                     "(%.0f %% allowed)",
                                     wire, s.frames, s.rate, 100 * error, nominal,
                                     100 * rules.rateTolerance));
        }
        if (s.errors > 0) {
            out.fail(s.first, format("%s: %zu framing errors in the stretch at %.0f baud", wire,
                                     s.errors, s.rate));
        }
    }
    for (const auto& [from, to] : d.lowSpans) {
        out.note(from, to < 0 || to == std::numeric_limits<Time>::max()
                           ? format("%s held low to the capture's end", wire)
                           : format("%s held low for %.1f ms", wire, toMs(to - from)));
    }
}

void judgePackets(const Session& s, Time end, const Rules& rules, Findings& out) {
    for (std::size_t i = 0; i < s.packets.size(); ++i) {
        const Packet& p = s.packets[i];
        const std::string what = describe(p);
        if (p.kind == Kind::stray) {
            out.fail(p.start, "the PC sent a " + what);
            continue;
        }
        if (!p.complete) {
            // Cut short by the capture's end, or by the PC.
            if (end - p.end < 20 * millis) {
                out.note(p.start, "the capture ends within the " + what);
            } else {
                out.fail(p.start, "the PC sent an " + what);
            }
            continue;
        }
        const Time window = p.windowEnd() - p.end;
        const bool waited = p.next < 0 || p.next >= p.windowEnd() - rules.pauseSlack;
        if (p.reply.empty() && p.newRate && p.kind == Kind::read && p.address == aux::identity) {
            out.note(p.start, format("no answer at %.0f baud to the identity read: the ladder "
                                     "steps down",
                                     ladderRateNear(p.rate)));
            if (!waited) {
                out.fail(p.next, format("the PC gave up %.1f ms after the unanswered %s, before "
                                        "its reply window of %.0f ms",
                                        toMs(p.next - p.end), what.c_str(), toMs(window)));
            }
        } else if (!p.answered() && p.next < 0 && end < p.windowEnd()) {
            out.note(p.start, "the capture ends before the reply to the " + what);
        } else if (p.reply.empty()) {
            out.fail(p.start,
                     format("no reply to the %s (%zu byte%s expected within %.0f ms)", what.c_str(),
                            p.expected, p.expected == 1 ? "" : "s", toMs(window)));
        } else if (!p.answered()) {
            out.fail(p.start, format("a reply of %zu of %zu bytes to the %s", p.reply.size(),
                                     p.expected, what.c_str()));
        }
        if (p.answered() && p.replyEnd > p.windowEnd()) {
            out.fail(p.replyStart, format("the reply to the %s ended %.1f ms after it, after its "
                                          "reply window of %.0f ms",
                                          what.c_str(), toMs(p.replyEnd - p.end), toMs(window)));
        }
        if (p.replyGap > 50 * millis) {
            out.fail(p.replyStart, format("%.1f ms between two bytes of the reply to the %s "
                                          "(the PC waits 50 ms)",
                                          toMs(p.replyGap), what.c_str()));
        }
        if (p.next >= 0 && p.next - p.end < p.pause - rules.pauseSlack) {
            out.fail(p.end, format("the PC's next act %.1f ms after the %s: the pause is %.0f ms",
                                   toMs(p.next - p.end), what.c_str(), toMs(p.pause)));
        }
        if (p.lead > 0 && i > 0) {
            const Packet& q = s.packets[i - 1];
            const Time settled = std::max(q.end + q.pause, q.replyEnd);
            if (p.start - settled < p.lead - rules.pauseSlack) {
                out.fail(p.start, format("a halt poll %.1f ms after the exchange before it: the "
                                         "polls wait %.0f ms",
                                         toMs(p.start - settled), toMs(p.lead)));
            }
        }
        if (p.answered() && p.status() != 0) {
            out.note(p.replyStart,
                     format("status %u to the %s: the board refused it", p.status(), what.c_str()));
        }
    }
}

void judgeStrays(const Session& s, Findings& out) {
    for (std::size_t i = 0; i < s.strays.size();) {
        std::size_t j = i + 1;
        while (j < s.strays.size() && s.strays[j].at - s.strays[j - 1].at < 50 * millis) {
            ++j;
        }
        out.fail(s.strays[i].at, format("%zu board byte%s that no packet asked for (0x%02X first)",
                                        j - i, j - i == 1 ? "" : "s", s.strays[i].value));
        i = j;
    }
    for (const Asserted& a : s.asserted) {
        out.fail(a.at, format("%zu byte%s on %s while %s was up", a.count, a.count == 1 ? "" : "s",
                              a.txd ? "TXD" : "RXD", a.dtr ? "DTR" : "RTS"));
    }
}

// Long silences: a line that stopped, or a PC that waited out a time-out.
void judgeSilences(const Judgement& j, Findings& out) {
    std::vector<Time> starts;
    for (const Decoded* d : {&j.txd, &j.rxd}) {
        for (const Frame& f : d->frames) {
            starts.push_back(f.start);
        }
    }
    std::sort(starts.begin(), starts.end());
    for (std::size_t k = 1; k < starts.size(); ++k) {
        if (starts[k] - starts[k - 1] >= seconds) {
            out.note(starts[k - 1], format("no byte on either wire for %.1f s",
                                           toSeconds(starts[k] - starts[k - 1])));
        }
    }
}

void judgeEnd(const Session& s, Findings& out) {
    if (s.halted >= 0) {
        const Packet& p = s.packets[static_cast<std::size_t>(s.halted)];
        int polls = 0;
        for (std::ptrdiff_t i = s.halted;
             i >= 0 && s.packets[static_cast<std::size_t>(i)].phase == p.phase; --i) {
            polls += s.packets[static_cast<std::size_t>(i)].poll ? 1 : 0;
        }
        out.note(p.start, format("the update ended: halt poll %d saw the core halted (STATUS "
                                 "0x%08X)",
                                 polls, p.replyValue()));
        return;
    }
    if (s.packets.empty()) {
        out.fail(0, "no packet on TXD: the update did not happen");
        return;
    }
    const Packet& last = s.packets.back();
    std::string seen = describe(last);
    if (last.answered() && !last.reply.empty()) {
        seen += format(", answered (status %u)", last.status());
    } else if (last.expected > 0) {
        seen += ", unanswered";
    }
    out.fail(last.start,
             "the update did not end with the core halted; the last thing seen: " + seen);
}

} // namespace

bool Judgement::pass() const {
    return failures() == 0;
}

std::size_t Judgement::failures() const {
    return static_cast<std::size_t>(
        std::count_if(findings.begin(), findings.end(), [](const Finding& f) { return f.fail; }));
}

Judgement judge(const Wires& wires, const Rules& rules) {
    Judgement j;
    j.end = wires.end;
    j.txd = decodeUart(wires.txd);
    j.rxd = decodeUart(wires.rxd);
    j.session = analyse(j.txd, j.rxd, wires.dtr, wires.rts);
    Findings out;
    judgePulses(j.session, rules, out);
    judgeStretches("TXD", j.txd, rules, out);
    judgeStretches("RXD", j.rxd, rules, out);
    judgePackets(j.session, wires.end, rules, out);
    judgeStrays(j.session, out);
    judgeSilences(j, out);
    judgeEnd(j.session, out);
    if (!wires.rtsRecorded) {
        out.note(0, "RTS not recorded: bytes while RTS was up not judged");
    }
    j.findings = std::move(out.list);
    std::stable_sort(j.findings.begin(), j.findings.end(),
                     [](const Finding& a, const Finding& b) { return a.at < b.at; });
    return j;
}

} // namespace station
