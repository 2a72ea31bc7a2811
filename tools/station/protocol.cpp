// The debug port's protocol from the decoded wires: see protocol.h.
#include "tools/station/protocol.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace station {
namespace {

// Bytes of one packet follow each other at the line's pace, but for a block,
// whose header and data the PC writes with a drain between them: through a
// USB chip whose driver waits for the chip's transmitter that drain can take
// tens of milliseconds. A wait longer than the drain's deadline for the header
// (1 ms a byte plus 500 ms) means the rest never came.
constexpr Time packetGap = 600 * millis;

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
    return std::uint32_t{b[at]} | std::uint32_t{b[at + 1]} << 8 | std::uint32_t{b[at + 2]} << 16 |
           std::uint32_t{b[at + 3]} << 24;
}

bool isWrite(std::uint8_t c) {
    return c == cmd::writeMem || c == cmd::writeCore || c == cmd::writeAux;
}
bool isRead(std::uint8_t c) {
    return c == cmd::readMem || c == cmd::readCore || c == cmd::readAux;
}
bool isBaud(std::uint8_t c) {
    return (c & 0x3F) == cmd::setBaud;
}

// How many bytes the packet that begins with `bytes` has, as the board
// counts them.
std::size_t sizeOf(const std::vector<std::uint8_t>& bytes) {
    const std::uint8_t c = bytes[0];
    if (isWrite(c)) {
        return 9;
    }
    if (isRead(c)) {
        return 5;
    }
    if (c == cmd::writeBlock) {
        return bytes.size() < 6 ? 6 : 6 + 4 * (std::size_t{bytes[5]} + 1);
    }
    return isBaud(c) ? 2 : 1;
}

// The spans in which a wire is high, up to `end`.
std::vector<std::pair<Time, Time>> highSpans(const Signal& s) {
    std::vector<std::pair<Time, Time>> spans;
    bool level = s.initial;
    Time from = 0;
    for (Time t : s.toggles) {
        if (level) {
            spans.emplace_back(from, t);
        }
        from = t;
        level = !level;
    }
    if (level) {
        spans.emplace_back(from, -1);
    }
    return spans;
}

std::size_t firstFrom(const std::vector<Frame>& frames, Time t) {
    return static_cast<std::size_t>(
        std::lower_bound(frames.begin(), frames.end(), t,
                         [](const Frame& f, Time at) { return f.start < at; }) -
        frames.begin());
}

Packet packetOf(const std::vector<Frame>& frames, const std::vector<std::size_t>& at,
                const Decoded& txd, bool complete) {
    std::vector<std::uint8_t> b;
    for (std::size_t k : at) {
        b.push_back(frames[k].value);
    }
    Packet p;
    p.command = b[0];
    p.size = b.size();
    p.complete = complete;
    p.start = frames[at.front()].start;
    p.end = frames[at.back()].end;
    p.rate = txd.stretches[frames[at.front()].stretch].rate;
    const std::uint8_t c = b[0];
    if (b.size() == 1 && !isBaud(c) && !isWrite(c) && !isRead(c) && c != cmd::writeBlock) {
        return p; // a stray byte
    }
    if (isWrite(c)) {
        p.kind = Kind::write;
        p.pause = 20 * millis;
        p.expected = 1;
    } else if (isRead(c)) {
        p.kind = Kind::read;
        p.expected = 5;
    } else if (c == cmd::writeBlock) {
        p.kind = Kind::block;
        p.pause = 10 * millis;
        p.expected = 1;
        p.words = b.size() >= 6 ? std::size_t{b[5]} + 1 : 0;
    } else {
        p.kind = Kind::baud;
        p.pause = 100 * millis;
        p.expected = 1;
        p.divisor = b.size() >= 2 ? (std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8) >> 6 : 0;
    }
    if (p.kind != Kind::baud && b.size() >= 5) {
        p.address = le32(b, 1);
    }
    if (p.kind == Kind::write && b.size() >= 9) {
        p.value = le32(b, 5);
        if (c == cmd::writeAux && p.address == aux::icIvic) {
            p.pause += 10 * millis; // the instruction cache settles
        }
    }
    if (!complete) {
        p.expected = 0; // the board still waits for the rest
    }
    return p;
}

} // namespace

double ladderRateNear(double rate) {
    double best = ladder[0];
    for (double r : ladder) {
        if (std::fabs(std::log(rate / r)) < std::fabs(std::log(rate / best))) {
            best = r;
        }
    }
    return best;
}

std::uint32_t Packet::replyValue() const {
    return reply.size() >= 4 ? le32(reply, 0) : 0;
}

Session analyse(const Decoded& txd, const Decoded& rxd, const Signal& dtr, const Signal& rts) {
    Session s;
    const std::vector<Frame>& tx = txd.frames;
    const std::vector<Frame>& rx = rxd.frames;

    // DTR: reset pulses and opens.
    std::vector<Time> rises;
    for (const auto& [rise, fall] : highSpans(dtr)) {
        Pulse p;
        p.rise = rise;
        p.fall = fall;
        p.withRts = rts.levelAt(rise) || rts.levelAt(rise + millis);
        if (fall >= 0) {
            const std::size_t k = firstFrom(tx, fall);
            p.nextByte = k < tx.size() ? tx[k].start : -1;
        }
        s.pulses.push_back(p);
        rises.push_back(rise);
    }
    // The first byte after a pulse that another pulse follows first is that
    // one's.
    for (std::size_t k = 0; k + 1 < s.pulses.size(); ++k) {
        if (s.pulses[k].nextByte > s.pulses[k + 1].rise) {
            s.pulses[k].nextByte = -1;
        }
    }
    std::vector<Time> resets;
    for (const Pulse& p : s.pulses) {
        if (!p.withRts) {
            resets.push_back(p.rise);
        }
    }
    auto risesBetween = [&rises](Time a, Time b) {
        const auto it = std::upper_bound(rises.begin(), rises.end(), a);
        return it != rises.end() && *it <= b;
    };

    // TXD into packets; a DTR rise or a long wait ends a packet that is not
    // yet whole.
    std::vector<std::size_t> buffer;
    std::vector<std::uint8_t> bytes;
    for (std::size_t k = 0; k < tx.size(); ++k) {
        if (!buffer.empty()) {
            const Frame& last = tx[buffer.back()];
            if (risesBetween(last.start, tx[k].start) || tx[k].start - last.end > packetGap ||
                tx[k].stretch != tx[buffer.front()].stretch) {
                s.packets.push_back(packetOf(tx, buffer, txd, false));
                buffer.clear();
                bytes.clear();
            }
        }
        buffer.push_back(k);
        bytes.push_back(tx[k].value);
        if (bytes.size() >= sizeOf(bytes)) {
            s.packets.push_back(packetOf(tx, buffer, txd, true));
            buffer.clear();
            bytes.clear();
        }
    }
    if (!buffer.empty()) {
        s.packets.push_back(packetOf(tx, buffer, txd, false));
    }

    // Each packet's phase, the PC's next act after it, and its role.
    bool released = false;
    bool afterBaud = false;
    std::size_t phase = 0;
    for (std::size_t i = 0; i < s.packets.size(); ++i) {
        Packet& p = s.packets[i];
        p.phase = static_cast<std::size_t>(std::upper_bound(resets.begin(), resets.end(), p.start) -
                                           resets.begin());
        if (p.phase != phase) {
            phase = p.phase;
            released = false;
            afterBaud = false;
        }
        const auto rise = std::upper_bound(rises.begin(), rises.end(), p.end);
        p.next = i + 1 < s.packets.size() ? s.packets[i + 1].start : -1;
        if (rise != rises.end() && (p.next < 0 || *rise < p.next)) {
            p.next = *rise;
        }
        p.newRate = afterBaud;
        afterBaud = p.kind == Kind::baud;
        if (p.kind == Kind::read && p.command == cmd::readAux && p.address == aux::status &&
            released) {
            p.poll = true;
            p.lead = 500 * millis;
        }
        if (p.kind == Kind::write && p.command == cmd::writeAux && p.address == aux::status &&
            (p.value & aux::haltBit) == 0) {
            p.released = released = true;
        }
    }

    // RXD: each packet's reply between its end and the PC's next act.
    std::size_t r = 0;
    for (Packet& p : s.packets) {
        const Time from = p.end - std::llround(0.5e12 / p.rate);
        for (; r < rx.size() && rx[r].start < from; ++r) {
            s.strays.push_back({rx[r].start, rx[r].value});
        }
        for (; r < rx.size() && (p.next < 0 || rx[r].start < p.next); ++r) {
            if (p.reply.size() >= p.expected) {
                s.strays.push_back({rx[r].start, rx[r].value});
                continue;
            }
            if (p.reply.empty()) {
                p.replyStart = rx[r].start;
            } else {
                p.replyGap = std::max(p.replyGap, rx[r].start - p.replyEnd);
            }
            p.reply.push_back(rx[r].value);
            p.replyEnd = rx[r].end;
        }
    }
    for (; r < rx.size(); ++r) {
        s.strays.push_back({rx[r].start, rx[r].value});
    }

    // Bytes while DTR or RTS was up.
    auto overlapping = [&s](const Signal& line, bool isDtr, const std::vector<Frame>& frames,
                            bool isTxd) {
        for (const auto& [rise, fall] : highSpans(line)) {
            Asserted a{0, 0, isTxd, isDtr};
            std::size_t k = firstFrom(frames, rise);
            if (k > 0 && frames[k - 1].end > rise) {
                --k;
            }
            for (; k < frames.size() && (fall < 0 || frames[k].start < fall); ++k) {
                a.at = a.count == 0 ? std::max(frames[k].start, rise) : a.at;
                ++a.count;
            }
            if (a.count > 0) {
                s.asserted.push_back(a);
            }
        }
    };
    overlapping(dtr, true, tx, true);
    overlapping(dtr, true, rx, false);
    overlapping(rts, false, tx, true);
    overlapping(rts, false, rx, false);
    std::sort(s.asserted.begin(), s.asserted.end(),
              [](const Asserted& a, const Asserted& b) { return a.at < b.at; });

    // Phases: the scan, the attempts and the ladder's steps.
    const std::size_t phases = resets.size() + 1;
    int attempt = 0;
    for (std::size_t k = 0; k < phases; ++k) {
        Phase ph;
        ph.start = k == 0 ? 0 : resets[k - 1];
        ph.firstPacket =
            static_cast<std::size_t>(std::find_if(s.packets.begin(), s.packets.end(),
                                                  [k](const Packet& p) { return p.phase >= k; }) -
                                     s.packets.begin());
        std::size_t end = ph.firstPacket;
        while (end < s.packets.size() && s.packets[end].phase == k) {
            ++end;
        }
        ph.packets = end - ph.firstPacket;
        if (k == 0 && ph.packets == 0) {
            continue;
        }
        bool onlyIdentity = ph.packets > 0;
        bool confirmed = true;
        for (std::size_t i = ph.firstPacket; i < end; ++i) {
            const Packet& p = s.packets[i];
            onlyIdentity = onlyIdentity && p.kind == Kind::read && p.command == cmd::readAux &&
                           p.address == aux::identity;
            if (p.kind == Kind::block) {
                ++ph.blocks;
                ph.blockBytes += 4 * p.words;
            }
            if (p.kind == Kind::baud) {
                confirmed = false;
            }
            if (p.newRate && i > ph.firstPacket && s.packets[i - 1].kind == Kind::baud) {
                const bool identity = p.kind == Kind::read && p.address == aux::identity &&
                                      p.answered() && p.replyValue() == 0x03020108;
                confirmed = identity;
                ph.rate = ladderRateNear(baudClock / (s.packets[i - 1].divisor + 1.0));
            }
        }
        if (!confirmed) {
            ph.rate = 0;
        }
        const Phase* before = s.phases.empty() ? nullptr : &s.phases.back();
        if (k == 0) {
            ph.role = Phase::Role::beforeReset;
        } else if (onlyIdentity) {
            ph.role = Phase::Role::scan;
        } else if (before != nullptr && before->rate == 0 &&
                   (before->role == Phase::Role::attempt ||
                    before->role == Phase::Role::ladderStep) &&
                   before->packets >= 2 &&
                   s.packets[before->firstPacket + before->packets - 2].kind == Kind::baud) {
            ph.role = Phase::Role::ladderStep;
        } else {
            ph.role = Phase::Role::attempt;
            ++attempt;
        }
        ph.attempt = attempt;
        s.phases.push_back(ph);
    }

    for (std::size_t i = 0; i < s.packets.size(); ++i) {
        const Packet& p = s.packets[i];
        if (p.poll && p.answered() && p.status() == 0 && (p.replyValue() & aux::haltBit) != 0) {
            s.halted = static_cast<std::ptrdiff_t>(i);
            break;
        }
    }
    return s;
}

std::string describe(const Packet& p) {
    static const char* const spaces[] = {"mem", "core", "aux"};
    char text[120];
    switch (p.kind) {
    case Kind::write:
        std::snprintf(text, sizeof text, "write %s 0x%X = 0x%08X", spaces[p.command % 4], p.address,
                      p.value);
        break;
    case Kind::read:
        std::snprintf(text, sizeof text, "read %s 0x%X%s", spaces[(p.command - 4) % 4], p.address,
                      p.command != cmd::readAux    ? ""
                      : p.address == aux::identity ? " (identity)"
                      : p.address == aux::status   ? " (STATUS)"
                                                   : "");
        break;
    case Kind::block:
        std::snprintf(text, sizeof text, "block 0x%08X, %zu words", p.address, p.words);
        break;
    case Kind::baud:
        std::snprintf(text, sizeof text, "baud packet, divisor %u (%.0f)", p.divisor,
                      ladderRateNear(baudClock / (p.divisor + 1.0)));
        break;
    case Kind::stray:
        std::snprintf(text, sizeof text, "byte 0x%02X that starts no packet", p.command);
        break;
    }
    std::string out = text;
    if (!p.complete) {
        out = "incomplete " + out + " (" + std::to_string(p.size) + " bytes)";
    }
    return out;
}

} // namespace station
