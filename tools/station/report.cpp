// The verdict as text: see report.h.
#include "tools/station/report.h"
#include "tools/station/format.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace station {
namespace {

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    for (std::uint8_t b : bytes) {
        out += format(out.empty() ? "%02X" : " %02X", b);
    }
    return out;
}

std::string unitText(Time unit) {
    const char* const names[] = {"ps", "ns", "us", "ms", "s"};
    int power = 0;
    for (Time u = unit; u >= 10; u /= 10) {
        ++power;
    }
    const int factor = power % 3 == 0 ? 1 : power % 3 == 1 ? 10 : 100;
    return std::to_string(factor) + " " + names[std::min(power / 3, 4)];
}

void rates(std::ostream& out, const char* wire, const Decoded& d) {
    for (const Stretch& s : d.stretches) {
        const double nominal = ladderRateNear(s.rate);
        out << format("  %s  %s to %s  %7zu bytes  %9.1f baud  %6.0f %+6.2f %%%s\n", wire,
                      at(s.first).c_str(), at(s.last).c_str(), s.frames, s.rate, nominal,
                      100 * (s.rate / nominal - 1),
                      s.errors > 0 ? format("  %zu framing errors", s.errors).c_str() : "");
    }
}

std::string phaseLine(const Session& s, const Phase& ph) {
    std::string role;
    switch (ph.role) {
    case Phase::Role::beforeReset:
        role = "before the first reset";
        break;
    case Phase::Role::scan:
        role = "scan";
        break;
    case Phase::Role::attempt:
        role = format("attempt %d", ph.attempt);
        break;
    case Phase::Role::ladderStep:
        role = format("attempt %d, next rung", ph.attempt);
        break;
    }
    std::string text = role + format(": %zu packets", ph.packets);
    const Packet* last = ph.packets > 0 ? &s.packets[ph.firstPacket + ph.packets - 1] : nullptr;
    bool baud = false;
    bool released = false;
    int polls = 0;
    for (std::size_t i = ph.firstPacket; i < ph.firstPacket + ph.packets; ++i) {
        baud = baud || s.packets[i].kind == Kind::baud;
        released = released || s.packets[i].released;
        polls += s.packets[i].poll ? 1 : 0;
    }
    if (ph.role == Phase::Role::scan && last != nullptr) {
        text += last->answered() ? ", identity " + hex(last->reply) : ", unanswered";
    } else if (baud) {
        text += ph.rate > 0 ? format(", %.0f confirmed", ph.rate) : ", new rate unanswered";
    }
    if (ph.blocks > 0) {
        text += format(", %zu blocks (%zu bytes)", ph.blocks, ph.blockBytes);
    }
    if (released) {
        text += format(", core started, %d halt polls", polls);
    }
    if (last != nullptr && ph.role != Phase::Role::scan) {
        text += "; last: " + describe(*last);
        if (last->answered()) {
            text += format(" (status %u)", last->status());
        } else if (last->expected > 0) {
            text += " (unanswered)";
        }
    }
    return text;
}

// Per kind of packet: how close the PC came to its pauses, and how late the
// board's replies ended against their windows.
void kinds(std::ostream& out, const Session& s) {
    static const char* const names[] = {"writes", "reads", "blocks", "baud"};
    for (int k = 0; k < 4; ++k) {
        std::size_t n = 0, answered = 0;
        Time closest = std::numeric_limits<Time>::max(), asked = 0, latest = -1, window = 0;
        for (const Packet& p : s.packets) {
            if (static_cast<int>(p.kind) != k || !p.complete) {
                continue;
            }
            ++n;
            if (p.next >= 0 && p.pause > 0 && p.next - p.end - p.pause < closest) {
                closest = p.next - p.end - p.pause;
                asked = p.pause;
            }
            if (p.answered()) {
                ++answered;
                if (p.replyEnd - p.end > latest) {
                    latest = p.replyEnd - p.end;
                    window = p.windowEnd() - p.end;
                }
            }
        }
        if (n == 0) {
            continue;
        }
        std::string text = format("  %-7s %6zu", names[k], n);
        if (closest != std::numeric_limits<Time>::max()) {
            text += format("  the shortest pause %.2f ms (%.0f asked);", toMs(asked + closest),
                           toMs(asked));
        }
        text += format("  %zu answered", answered);
        if (latest >= 0) {
            text += format(", the latest reply done %.2f ms after its packet (window %.0f ms)",
                           toMs(latest), toMs(window));
        }
        out << text << "\n";
    }
}

} // namespace

std::string at(Time t) {
    return format("%11.6f s", toSeconds(t));
}

void writeReport(std::ostream& out, const Source& source, const Judgement& j, bool packets) {
    const Session& s = j.session;
    out << "station-judge: " << source.path << ": " << source.format << ", "
        << format("%.6f s", toSeconds(j.end)) << " in steps of " << unitText(source.unit)
        << "\n  wires: " << source.channels << "\n";

    out << "\nRates (measured from the bit widths; against the ladder's rate)\n";
    rates(out, "TXD", j.txd);
    rates(out, "RXD", j.rxd);

    out << "\nDTR\n";
    for (const Pulse& p : s.pulses) {
        if (p.fall < 0) {
            out << "  " << at(p.rise) << "  raised" << (p.withRts ? " with RTS" : "")
                << ", up to the end\n";
            continue;
        }
        out << "  " << at(p.rise)
            << format("  %s %.1f ms", p.withRts ? "raised with RTS (open)" : "reset pulse",
                      toMs(p.fall - p.rise));
        if (!p.withRts && p.nextByte >= 0) {
            out << format(", the next byte %.1f ms after it", toMs(p.nextByte - p.fall));
        }
        out << "\n";
    }

    out << "\nSession\n";
    for (const Phase& ph : s.phases) {
        out << "  " << at(ph.start) << "  " << phaseLine(s, ph) << "\n";
    }
    std::size_t counts[5] = {};
    std::size_t blocks = 0, refused = 0, bytes = 0;
    std::uint32_t low = 0xFFFFFFFF, high = 0;
    for (const Packet& p : s.packets) {
        ++counts[static_cast<int>(p.kind)];
        if (p.kind == Kind::block) {
            ++blocks;
            bytes += 4 * p.words;
            refused += p.answered() && p.status() != 0 ? 1 : 0;
            low = std::min(low, p.address);
            high = std::max(high, static_cast<std::uint32_t>(p.address + 4 * p.words));
        }
    }
    out << format("  packets: %zu writes, %zu reads, %zu blocks, %zu baud packets, %zu stray\n",
                  counts[0], counts[1], counts[2], counts[3], counts[4]);
    kinds(out, s);
    if (blocks > 0) {
        out << format("  blocks: %zu (%zu bytes, 0x%08X to 0x%08X), %zu refused\n", blocks, bytes,
                      low, high, refused);
    }
    if (s.halted >= 0) {
        out << "  end:" << at(s.packets[static_cast<std::size_t>(s.halted)].start)
            << "  a halt poll saw the core halted\n";
    } else if (!s.packets.empty()) {
        out << "  end:" << at(s.packets.back().start)
            << "  no halt poll saw the core halted; last: " << describe(s.packets.back()) << "\n";
    }

    if (packets) {
        out << "\nPackets\n";
        for (const Packet& p : s.packets) {
            out << "  " << at(p.start) << "  " << describe(p);
            if (!p.reply.empty()) {
                // A reply that starts within a tick of the stop bit's end.
                out << format("  -> %s after %.3f ms", hex(p.reply).c_str(),
                              std::max(0.0, toMs(p.replyStart - p.end)));
            } else if (p.expected > 0) {
                out << "  -> no reply";
            }
            if (p.next >= 0) {
                out << format("; next %.3f ms", toMs(p.next - p.end));
            }
            out << "\n";
        }
    }

    out << "\nFindings\n";
    for (const Finding& f : j.findings) {
        out << "  " << at(f.at) << (f.fail ? "  FAIL  " : "  note  ") << f.text << "\n";
    }
    out << "\nVerdict: "
        << (j.pass() ? std::string("PASS")
                     : format("FAIL (%zu finding%s)", j.failures(), j.failures() == 1 ? "" : "s"))
        << "\n";
}

} // namespace station
