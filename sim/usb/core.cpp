// The adapter's UART and DTR line between the host's requests and the board.
#include "sim/usb/core.h"

#include "sim/device.h"
#include "sim/usb/sha1.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace usbboard {
namespace {

std::string hex(std::span<const std::uint8_t> bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * bytes.size());
    for (const std::uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0xF];
    }
    return out;
}

// "hex":"..", or "len":N,"sha1":".." for a long block.
std::string bytesField(std::span<const std::uint8_t> bytes) {
    if (bytes.size() <= logHexLimit) {
        return "\"hex\":\"" + hex(bytes) + "\"";
    }
    return "\"len\":" + std::to_string(bytes.size()) + ",\"sha1\":\"" + sha1Hex(bytes) + "\"";
}

const char* parityName(std::uint8_t parity) {
    static const char* const names[] = {"N", "O", "E", "M", "S"};
    return parity < 5 ? names[parity] : "?";
}

const char* stopName(std::uint8_t charFormat) {
    static const char* const names[] = {"1", "1.5", "2"};
    return charFormat < 3 ? names[charFormat] : "0";
}

// The board's UART is too fast for it (see sim::Board::faults.maxBaud): what
// it sends then is no frame at all.
bool boardTooFast(const sim::Board& board) {
    return board.faults.maxBaud != 0 && board.rate() > board.faults.maxBaud * 1.03;
}

} // namespace

std::optional<LineCoding> LineCoding::parse(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < 7) {
        return std::nullopt;
    }
    LineCoding c;
    c.rate = std::uint32_t{bytes[0]} | std::uint32_t{bytes[1]} << 8 |
             std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24;
    c.charFormat = bytes[4];
    c.parity = bytes[5];
    c.dataBits = bytes[6];
    return c;
}

std::array<std::uint8_t, 7> LineCoding::bytes() const {
    return {static_cast<std::uint8_t>(rate),
            static_cast<std::uint8_t>(rate >> 8),
            static_cast<std::uint8_t>(rate >> 16),
            static_cast<std::uint8_t>(rate >> 24),
            charFormat,
            parity,
            dataBits};
}

bool uartTakes(double sender, double receiver) {
    return receiver > 0 && std::fabs(sender - receiver) <= 0.02 * receiver;
}

Core::Core(Hooks hooks, Nanos busOffset)
    : hooks_(std::move(hooks)), busOffset_(busOffset), board_(1) {
    board_.onPacket = [this](const sim::Packet& packet) { replied(packet); };
}

std::int64_t Core::busMicros(Nanos t) const {
    const Nanos bus = t + busOffset_;
    return bus >= 0 ? bus / 1000 : -((-bus + 999) / 1000);
}

void Core::write(const std::string& line) {
    if (hooks_.log) {
        hooks_.log(line);
    }
}

void Core::note(Nanos t, const std::string& event, const std::string& fields) {
    write("{\"ev\":\"" + event + "\",\"t\":" + std::to_string(busMicros(t)) +
          (fields.empty() ? "" : "," + fields) + "}");
}

// ---------------------------------------------------------------------------
// Line state and coding

void Core::lineState(Nanos t, bool dtr, bool rts) {
    write("{\"ev\":\"line\",\"t\":" + std::to_string(busMicros(t)) +
          ",\"dtr\":" + (dtr ? "1" : "0") + ",\"rts\":" + (rts ? "1" : "0") + "}");
    rts_ = rts;
    if (capture_ != nullptr) {
        capture_->lines(t + busOffset_, dtr, rts);
    }
    if (dtr && !dtr_) {
        dtr_ = true;
        ++generation_;
        board_.dtrChanged(true);
    } else if (!dtr && dtr_) {
        release(t);
    }
}

void Core::release(Nanos t) {
    dtr_ = false;
    ++generation_;
    board_.dtrChanged(false);
    note(t, "reset");
}

void Core::lineCoding(Nanos t, const LineCoding& coding) {
    lineCoding(t, coding, coding.rate, {});
}

void Core::lineCoding(Nanos t, const LineCoding& coding, double rate, const std::string& fields) {
    coding_ = coding;
    coding_.rate = static_cast<std::uint32_t>(std::clamp(std::lround(rate), 0L, 0xFFFFFFFFL));
    rate_ = rate;
    write("{\"ev\":\"coding\",\"t\":" + std::to_string(busMicros(t)) +
          ",\"rate\":" + std::to_string(coding_.rate) +
          ",\"bits\":" + std::to_string(coding.dataBits) + ",\"parity\":\"" +
          parityName(coding.parity) + "\",\"stop\":" + stopName(coding.charFormat) +
          (fields.empty() ? "" : "," + fields) + "}");
}

void Core::unplugged(Nanos t) {
    note(t, "unplug");
    connected_ = false;
    ++generation_;
    held_.clear(); // the adapter lost its supply with them
    if (dtr_) {
        release(t); // the adapter's DTR output falls with its supply
    }
}

void Core::replugged(Nanos t) {
    note(t, "replug");
    connected_ = true;
    coding_ = LineCoding{}; // a fresh adapter, until the host sets its coding
    rate_ = coding_.rate;
}

// ---------------------------------------------------------------------------
// Bytes towards the board

void Core::fromHost(Nanos t, std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) {
        return;
    }
    if (stalled_ || holding_) {
        held_.insert(held_.end(), bytes.begin(), bytes.end());
        return;
    }
    // A piece that comes while the line still carries the one before joins
    // its burst.
    const bool joins = !bursts_.empty() && bursts_.back().pieces > 0 && t <= lineFree_;
    const Nanos start = std::max(t, lineFree_);
    if (!joins) {
        Burst burst;
        burst.id = nextBurst_++;
        burst.t0 = start;
        bursts_.push_back(std::move(burst));
    }
    Burst& burst = bursts_.back();
    Piece piece;
    piece.id = nextPiece_++;
    piece.burst = burst.id;
    piece.start = start;
    piece.rate = rate_;
    piece.framing = {coding_.dataBits, coding_.parity,
                     static_cast<std::uint8_t>(2 + coding_.charFormat)};
    const bool frameOk = coding_.eightN1();
    piece.bytes.resize(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        sim::LineByte& b = piece.bytes[i];
        b.value = bytes[i];
        b.rate = piece.rate;
        b.frameOk = frameOk;
        b.start = start + sim::detail::lineTime(piece.rate, i);
        b.end = start + sim::detail::lineTime(piece.rate, i + 1);
    }
    piece.keep = bytes.size();
    piece.due = piece.bytes.back().end;
    lineFree_ = piece.due;
    burst.t1 = lineFree_;
    burst.bytes.insert(burst.bytes.end(), bytes.begin(), bytes.end());
    ++burst.pieces;
    schedule(piece);
    pieces_.push_back(std::move(piece));
}

void Core::schedule(const Piece& piece) {
    sim::detail::schedule(piece.due, [this, id = piece.id, due = piece.due] { deliver(id, due); });
}

void Core::deliver(std::uint64_t id, Nanos due) {
    const auto p =
        std::find_if(pieces_.begin(), pieces_.end(), [id](const Piece& q) { return q.id == id; });
    if (p == pieces_.end() || p->due != due) {
        return; // a purge moved it
    }
    Piece piece = std::move(*p);
    pieces_.erase(p);
    const auto it = std::find_if(bursts_.begin(), bursts_.end(),
                                 [&piece](const Burst& b) { return b.id == piece.burst; });
    if (it == bursts_.end()) {
        return;
    }
    for (std::size_t i = 0; i < piece.bytes.size(); ++i) {
        sim::LineByte& b = piece.bytes[i];
        if (i >= piece.keep) {
            ++it->lost; // thrown away in the adapter before it reached the line
            continue;
        }
        if (capture_ != nullptr) {
            capture_->byte(sim::Wire::txd, b.start + busOffset_, b.value, b.rate, piece.framing);
        }
        if (board_.heldInReset()) {
            ++it->lost; // the port is deaf while the board is held
            continue;
        }
        // The board's UART judges the frame at its own rate.
        b.frameOk = b.frameOk && uartTakes(b.rate, board_.rate());
        const int before = board_.lostBytes();
        board_.receive(b);
        it->lost += board_.lostBytes() - before;
    }
    if (--it->pieces > 0) {
        return;
    }
    std::string line = "{\"ev\":\"rx\",\"t0\":" + std::to_string(busMicros(it->t0)) +
                       ",\"t1\":" + std::to_string(busMicros(it->t1)) + "," + bytesField(it->bytes);
    if (it->lost > 0) {
        line += ",\"lost\":" + std::to_string(it->lost);
    }
    write(line + "}");
    bursts_.erase(it);
}

// How many of the piece's bytes have fully crossed by t.
std::size_t Core::bytesDone(const Piece& piece, Nanos t) {
    const auto ended = std::partition_point(
        piece.bytes.begin(), piece.bytes.begin() + static_cast<std::ptrdiff_t>(piece.keep),
        [t](const sim::LineByte& b) { return b.end <= t; });
    return static_cast<std::size_t>(ended - piece.bytes.begin());
}

std::size_t Core::outQueued(Nanos t) const {
    std::size_t queued = held_.size();
    for (const Piece& p : pieces_) {
        queued += p.keep - bytesDone(p, t);
    }
    return queued;
}

Nanos Core::outQueuedAtMost(std::size_t count) const {
    std::size_t total = 0;
    for (const Piece& p : pieces_) {
        total += p.keep;
    }
    if (total <= count) {
        return 0;
    }
    // The queue drains in order: it holds `count` once the byte before the
    // last `count` has ended.
    std::size_t index = total - count - 1;
    for (const Piece& p : pieces_) {
        if (index < p.keep) {
            return p.bytes[index].end;
        }
        index -= p.keep;
    }
    return 0;
}

void Core::purgeOut(Nanos t) {
    held_.clear(); // none of them has started
    Nanos free = 0;
    for (Piece& p : pieces_) {
        // A byte already on the line goes out whole.
        std::size_t started = bytesDone(p, t);
        if (started < p.keep && p.bytes[started].start < t) {
            ++started;
        }
        if (started < p.keep) {
            p.keep = started;
            p.due = std::max(p.keep > 0 ? p.bytes[p.keep - 1].end : t, t);
            schedule(p);
        }
        if (p.keep > 0) {
            free = std::max(free, p.bytes[p.keep - 1].end);
        }
    }
    lineFree_ = std::min(lineFree_, std::max(free, t));
    for (Burst& b : bursts_) {
        b.t1 = std::min(b.t1, std::max(lineFree_, b.t0));
    }
}

void Core::stall(Nanos t) {
    stalled_ = true;
    note(t, "stall");
}

void Core::hold(Nanos t) {
    holding_ = true;
    note(t, "hold");
}

void Core::resume(Nanos t) {
    if (!stalled_ && !holding_) {
        return;
    }
    stalled_ = holding_ = false;
    note(t, "resume");
    std::vector<std::uint8_t> held;
    held.swap(held_);
    fromHost(t, held);
}

// ---------------------------------------------------------------------------
// Replies towards the host

void Core::replied(const sim::Packet& packet) {
    const int block = packet.command == sim::cmd::writeBlock ? ++blocks_ : 0;
    const double rate = board_.rate(); // a baud switch follows the reply
    const bool frameOk = !boardTooFast(board_);
    const Nanos end = packet.replyStart + sim::detail::lineTime(rate, packet.reply.size());
    const std::uint64_t generation = generation_;
    sim::detail::schedule(end, [this, generation, block, rate, frameOk, reply = packet.reply] {
        if (generation != generation_) {
            return; // reset or unplugged before the reply was out
        }
        // One instant for the capture and the log: on the real clock two
        // readings lie apart by whatever the processor did between them,
        // tens of bits at 256000 on a busy emulated one.
        const Nanos left = sim::now();
        if (capture_ != nullptr) {
            const Nanos first = left - sim::detail::lineTime(rate, reply.size());
            for (std::size_t i = 0; i < reply.size(); ++i) {
                capture_->byte(sim::Wire::rxd, first + sim::detail::lineTime(rate, i) + busOffset_,
                               reply[i], rate);
            }
        }
        if (!reply.empty()) {
            const bool taken = connected_ && frameOk && coding_.eightN1() && uartTakes(rate, rate_);
            std::string line =
                "{\"ev\":\"tx\",\"t\":" + std::to_string(busMicros(left)) + "," + bytesField(reply);
            if (!taken) {
                line += ",\"lost\":" + std::to_string(reply.size());
            }
            write(line + "}");
            if (taken && hooks_.toHost) {
                hooks_.toHost(reply);
            }
        }
        if (block > 0 && hooks_.blockAnswered) {
            hooks_.blockAnswered(block);
        }
    });
}

// ---------------------------------------------------------------------------

void Core::logMemory(std::vector<sim::Range> ranges) {
    if (ranges.empty()) {
        ranges = board_.writtenRanges();
    }
    Sha1 digest;
    std::string list;
    for (const sim::Range& r : ranges) {
        const std::vector<std::uint8_t> bytes = board_.readMemory(
            static_cast<std::uint32_t>(r.first), static_cast<std::size_t>(r.second - r.first));
        digest.add(bytes);
        list += (list.empty() ? "[" : ",[") + std::to_string(r.first) + "," +
                std::to_string(r.second - r.first) + "]";
    }
    write("{\"ev\":\"memory\",\"sha1\":\"" + digest.hex() + "\",\"ranges\":[" + list + "]}");
}

} // namespace usbboard
