// The clock, the events and the line of sim/device.h on the real monotonic
// clock, and the PC side as the master of the pseudo-terminal sees it.
#include "sim/pty/realtime.h"

#include "sim/board.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <queue>
#include <utility>

namespace rt {
namespace {

struct Event {
    sim::Nanos at;
    std::uint64_t seq;
    std::function<void()> fn;
};

struct Later {
    bool operator()(const Event& a, const Event& b) const {
        return a.at != b.at ? a.at > b.at : a.seq > b.seq;
    }
};

struct Line {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::priority_queue<Event, std::vector<Event>, Later> events;
    std::uint64_t seq = 0;
    bool lineTime = false;
    sim::detail::Device* device = nullptr;
    std::function<void(std::uint8_t)> sink;
    double pcRate = 38400;
    sim::Nanos towardsDeviceFree = 0;
    sim::LineCapture* capture = nullptr;
};

Line& line() {
    static Line l;
    return l;
}

// The reply that follows each kind of packet, and the pause after it.
constexpr std::size_t readReply = 5;
constexpr std::size_t statusReply = 1;
constexpr sim::Nanos writePause = sim::ms(20);
constexpr sim::Nanos blockPause = sim::ms(10);
constexpr sim::Nanos baudPause = sim::ms(100);
constexpr sim::Nanos cachePause = sim::ms(10); // after an IC_IVIC write
constexpr sim::Nanos pollPause = sim::ms(500);
constexpr sim::Nanos resetPulse = sim::ms(50 + 200);
constexpr sim::Nanos afterScan = sim::ms(500);
constexpr std::uint32_t resetRate = 38400;
// Far below the program's shortest pause between two settings calls (the
// 250 ms of the reset pulse, the 100 ms after a baud packet).
constexpr sim::Nanos settingsBurst = sim::ms(20);

sim::Nanos readTimeout(std::size_t count) {
    return sim::ms(50 * static_cast<std::int64_t>(count) + 10);
}

bool isWrite(std::uint8_t c) {
    return c == sim::cmd::writeMem || c == sim::cmd::writeCore || c == sim::cmd::writeAux;
}
bool isRead(std::uint8_t c) {
    return c == sim::cmd::readMem || c == sim::cmd::readCore || c == sim::cmd::readAux;
}

std::size_t replySize(std::uint8_t command) {
    return isRead(command) ? readReply : statusReply;
}

std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

} // namespace

void runDue() {
    Line& l = line();
    while (!l.events.empty() && l.events.top().at <= sim::now()) {
        Event event = l.events.top();
        l.events.pop();
        event.fn();
    }
}

sim::Nanos nextEvent() {
    const Line& l = line();
    return l.events.empty() ? never : l.events.top().at;
}

void setLineTime(bool on) {
    line().lineTime = on;
}

bool lineTimeImposed() {
    return line().lineTime;
}

void setDevice(sim::detail::Device* device) {
    line().device = device;
}

void setPcSink(std::function<void(std::uint8_t)> sink) {
    line().sink = std::move(sink);
}

void setCapture(sim::LineCapture* capture) {
    line().capture = capture;
}

// ---------------------------------------------------------------------------
// The program's side

void Host::setRate(std::uint32_t rate) {
    rate_ = rate;
    line().pcRate = rate;
}

void Host::settingsRestored(std::uint32_t rate) {
    setRate(rate);
    ++settingsRestores_;
}

bool Host::settingsWritten(std::uint32_t rate) {
    settle();
    setRate(rate);
    ++settingsWrites_;
    const sim::Nanos t = sim::now();
    if (first_ < 0) {
        first_ = t;
    }
    last_ = t;
    // One settings call of the program may reach the terminal as several
    // writes in a row (Wine's SetCommState writes rate, framing, flow control
    // and characters one by one): writes with no data between them and close
    // together belong to the write before them and reset nothing more.
    const bool sameCall = lastSettings_ >= 0 && !dataSince_ && t - lastSettings_ < settingsBurst;
    lastSettings_ = t;
    if (sameCall) {
        return false;
    }
    // The reset pulse ends with the port set back to the board's rate after a
    // reset; a rate change after a baud packet only follows the board.
    const bool reset = !baudSeen_ && rate == resetRate;
    baudSeen_ = false;
    if (reset) {
        buffer_.clear();
        ++resets_;
        // The open writes the settings once and the reset pulse follows with
        // no data between: that first write paused for nothing.
        if (lastWasReset_ && !dataSince_) {
            floor_ -= resetPulse;
        }
        floor_ += resetPulse;
        if (identified_) {
            floor_ += afterScan; // the scan found the board; the download follows
        }
        released_ = false;
    }
    identified_ = false;
    lastWasReset_ = reset;
    dataSince_ = false;
    return reset;
}

void Host::fromPc(const std::uint8_t* bytes, std::size_t count) {
    Line& l = line();
    const sim::Nanos t = sim::now();
    if (count == 0) {
        return;
    }
    if (first_ < 0) {
        first_ = t;
    }
    last_ = t;
    dataSince_ = true;
    // The bytes of one read travel one after the other; the device takes them
    // all when the last has arrived (the program sends one packet and then
    // waits for its reply, so nothing in between needs an earlier answer).
    std::vector<sim::LineByte> batch(count);
    for (std::size_t i = 0; i < count; ++i) {
        sim::LineByte& b = batch[i];
        b.value = bytes[i];
        b.rate = l.pcRate;
        b.frameOk = true;
        b.start = std::max(t, l.towardsDeviceFree);
        b.end = b.start + sim::detail::lineTime(l.pcRate, 1);
        l.towardsDeviceFree = b.end;
        if (l.capture != nullptr) {
            l.capture->byte(sim::Wire::txd, b.start, b.value, b.rate);
        }
    }
    const sim::Nanos arrival = batch.back().end;
    auto deliver = [](const std::vector<sim::LineByte>& all) {
        for (const sim::LineByte& b : all) {
            if (line().device != nullptr) {
                line().device->receive(b);
            }
        }
    };
    // The program's side first: a reply is then counted for its packet.
    for (std::size_t i = 0; i < count; ++i) {
        parse(bytes[i]);
    }
    if (arrival <= t && (l.events.empty() || l.events.top().at > t)) {
        deliver(batch); // no line time and nothing due before: it arrives now
    } else {
        sim::detail::schedule(arrival, [batch, deliver] { deliver(batch); });
    }
}

void Host::parse(std::uint8_t byte) {
    buffer_.push_back(byte);
    while (!buffer_.empty()) {
        const std::uint8_t c = buffer_[0];
        std::size_t need = 1; // a byte that starts no packet
        if (isWrite(c)) {
            need = 9;
        } else if (isRead(c)) {
            need = 5;
        } else if (c == sim::cmd::writeBlock) {
            need = buffer_.size() < 6 ? 6 : 6 + 4 * (std::size_t{buffer_[5]} + 1);
        } else if ((c & 0x3F) == sim::cmd::setBaud) {
            need = 2;
        }
        if (buffer_.size() < need) {
            return;
        }
        std::vector<std::uint8_t> raw(buffer_.begin(),
                                      buffer_.begin() + static_cast<std::ptrdiff_t>(need));
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(need));
        packet(std::move(raw));
    }
}

void Host::packet(std::vector<std::uint8_t> raw) {
    const bool afterBlock = pending_.active && pending_.command == sim::cmd::writeBlock;
    settle();
    const std::uint8_t c = raw[0];
    Exchange e;
    e.active = true;
    e.size = raw.size();
    e.rate = rate_;
    if ((c & 0x3F) == sim::cmd::setBaud && raw.size() == 2) {
        e.command = sim::cmd::setBaud;
        baudSeen_ = true;
    } else if (raw.size() == 1) {
        return; // stray
    } else {
        e.command = c;
        e.address = le32(&raw[1]);
        if (isWrite(c)) {
            e.value = le32(&raw[5]);
        }
    }
    if (e.command == sim::cmd::writeBlock) {
        const sim::Nanos t = sim::now();
        if (afterBlock) {
            blockGaps_ += t - lastBlock_;
            ++blockGapCount_;
        }
        lastBlock_ = t;
    }
    if (e.command == sim::cmd::writeAux && e.address == sim::reg::status) {
        released_ = (e.value & sim::reg::haltBit) == 0;
    }
    e.poll = released_ && e.command == sim::cmd::readAux && e.address == sim::reg::status;
    polls_ += e.poll ? 1 : 0;
    ++packets_;
    pending_ = std::move(e);
}

void Host::toPc(std::uint8_t byte) {
    last_ = sim::now();
    if (pending_.active) {
        pending_.reply.push_back(byte);
    }
}

// What an exchange costs at the least. The program's drain waits until its
// bytes can have left the line at the port's rate, on a pseudo-terminal too;
// its pause starts then and runs while the reply is on the line: the reply
// can be read after the pause or after its line time, whichever ends later.
// A reply that does not come costs the pause and the read time-out.
sim::Nanos Host::cost(const Exchange& e) const {
    const std::size_t expected = replySize(e.command);
    sim::Nanos pause = 0;
    if (isWrite(e.command)) {
        pause = writePause;
    } else if (e.command == sim::cmd::writeBlock) {
        pause = blockPause;
    } else if (e.command == sim::cmd::setBaud) {
        pause = baudPause;
    }
    sim::Nanos t = e.poll ? pollPause : 0;
    if (e.command == sim::cmd::writeAux && e.address == sim::reg::icIvic) {
        t += cachePause;
    }
    if (e.rate > 0) {
        t += std::llround(static_cast<double>(e.size) * 1e10 / e.rate);
    }
    if (!unanswered(e)) {
        t += std::max(pause, sim::detail::lineTime(e.rate, expected));
    } else {
        t += pause + readTimeout(expected);
    }
    return t;
}

bool Host::unanswered(const Exchange& e) {
    return e.reply.size() < replySize(e.command);
}

void Host::settle() {
    if (!pending_.active) {
        return;
    }
    const Exchange& e = pending_;
    floor_ += cost(e);
    timeouts_ += unanswered(e) ? 1 : 0;
    line_ += sim::detail::lineTime(e.rate, e.size + e.reply.size());
    static const std::vector<std::uint8_t> identity = {0x08, 0x01, 0x02, 0x03, 0x00};
    identified_ = e.command == sim::cmd::readAux && e.address == sim::reg::identity &&
                  e.reply.size() >= identity.size() &&
                  std::equal(identity.begin(), identity.end(), e.reply.begin());
    pending_ = Exchange{};
}

std::string Host::report() const {
    sim::Nanos floor = floor_;
    std::uint64_t timeouts = timeouts_;
    if (pending_.active) {
        floor += cost(pending_);
        timeouts += unanswered(pending_) ? 1 : 0;
    }
    auto ms = [](sim::Nanos t) { return std::to_string(sim::toMs(t)); };
    std::string text;
    text += "floor_ms " + ms(floor) + "\n";
    text += "line_ms " + ms(line_) + "\n";
    text += "span_ms " + ms(first_ < 0 ? 0 : last_ - first_) + "\n";
    text += "line_time " + std::to_string(line().lineTime ? 1 : 0) + "\n";
    text += "host_packets " + std::to_string(packets_) + "\n";
    text += "host_resets " + std::to_string(resets_) + "\n";
    text += "host_polls " + std::to_string(polls_) + "\n";
    text += "host_timeouts " + std::to_string(timeouts) + "\n";
    text += "settings_writes " + std::to_string(settingsWrites_) + "\n";
    text += "settings_restores " + std::to_string(settingsRestores_) + "\n";
    text += "block_gaps " + std::to_string(blockGapCount_) + "\n";
    text += "block_gap_ms " +
            ms(blockGapCount_ == 0 ? 0 : blockGaps_ / static_cast<sim::Nanos>(blockGapCount_)) +
            "\n";
    return text;
}

} // namespace rt

// ---------------------------------------------------------------------------
// What sim/board.cpp needs of its world

namespace sim {

Nanos now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() -
                                                                rt::line().start)
        .count();
}

namespace detail {

void schedule(Nanos at, std::function<void()> fn) {
    rt::Line& l = rt::line();
    l.events.push({std::max(at, now()), l.seq++, std::move(fn)});
}

void arriveAtPc(int, LineByte byte) {
    rt::Line& l = rt::line();
    if (l.capture != nullptr) {
        l.capture->byte(Wire::rxd, byte.start, byte.value, byte.rate);
    }
    if (byte.frameOk && ratesMatch(byte.rate, l.pcRate) && l.sink) {
        l.sink(byte.value);
    }
}

Nanos lineTime(double rate, std::uint64_t count) {
    if (!rt::line().lineTime) {
        return 0;
    }
    if (rate <= 0) {
        return std::numeric_limits<Nanos>::max() / 4;
    }
    return std::llround(static_cast<double>(count) * 1e10 / rate);
}

bool ratesMatch(double sender, double receiver) {
    return receiver > 0 && std::fabs(sender - receiver) <= 0.03 * receiver;
}

} // namespace detail
} // namespace sim
