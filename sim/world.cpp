// The virtual clock, the event queue, the thirty-two ports and the serial
// calls of the platform seam on top of them.
#include "sim/board.h"
#include "sim/capture.h"
#include "sim/chip_input.h"
#include "sim/device.h"
#include "sim/sim.h"

#include "platform/platform.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <queue>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace sim {
namespace {

constexpr int portCount = 32;
constexpr PortHandle handleBase = 0x5100;
constexpr Nanos never = std::numeric_limits<Nanos>::max();
constexpr std::uint32_t maxDword = 0xFFFFFFFF;
// The output queue of a serial driver, which a write fills before it waits.
constexpr std::uint64_t heldCapacity = 4096;

struct Event {
    Nanos at;
    std::uint64_t seq;
    std::function<void()> fn;
};

struct Later {
    bool operator()(const Event& a, const Event& b) const {
        return a.at != b.at ? a.at > b.at : a.seq > b.seq;
    }
};

// A device that sends every byte straight back at the rate it came in.
class Echo final : public detail::Device {
  public:
    explicit Echo(int port) : port_(port) {}
    void receive(LineByte byte) override {
        LineByte back = byte;
        back.delivered = false;
        back.start = std::max(byte.end, freeAt_);
        back.end = back.start + detail::lineTime(byte.rate, 1);
        freeAt_ = back.end;
        detail::schedule(back.end, [this, back] {
            if (!detached_) {
                detail::arriveAtPc(port_, back);
            }
        });
    }
    void detach() override { detached_ = true; }

  private:
    int port_;
    Nanos freeAt_ = 0;
    bool detached_ = false;
};

struct Port {
    PortSetup setup;
    PortLog log;
    bool unplugged = false;
    // The line takes no more bytes: what the PC writes stays in the driver's
    // output queue (up to heldCapacity bytes) until the line takes bytes
    // again (stallEnds), or for ever.
    bool stalled = false;
    Nanos stallEnds = never;
    std::uint64_t stallGeneration = 0; // which stall a scheduled end belongs to
    std::vector<std::uint8_t> held;
    // The bytes written since the last drain ended, and when the first of
    // them was written: what a drain's deadline counts.
    std::uint64_t pending = 0;
    Nanos pendingSince = 0;
    Nanos txFreeAt = 0;
    std::deque<LineByte> outgoing; // on the line towards the device
    bool outgoingScheduled = false;
    std::deque<std::pair<std::uint8_t, Nanos>> input; // arrived, not yet read
    // An adapter's chip between the line and input while the port is open,
    // the open it belongs to, and its next hand-over already scheduled
    // (never: none).
    std::unique_ptr<ChipInput> chip;
    std::uint64_t chipOpen = 0;
    Nanos chipWake = never;
    std::unique_ptr<detail::Device> device;
    Board* board = nullptr;
};

struct World {
    Nanos now = 0;
    std::uint64_t seq = 0;
    std::priority_queue<Event, std::vector<Event>, Later> events;
    std::array<Port, portCount + 1> ports; // index 0 unused
    bool pacing = false;
    std::chrono::steady_clock::time_point anchorReal;
    Nanos anchorVirtual = 0;
    std::vector<std::string> anomalies;
    // Devices taken off a port stay alive until the reset: events may still
    // point at them.
    std::vector<std::unique_ptr<detail::Device>> detached;
};

std::unique_ptr<World>& worldSlot() {
    static std::unique_ptr<World> w = std::make_unique<World>();
    return w;
}

World& world() {
    return *worldSlot();
}

std::vector<std::function<void()>>& resetHooks() {
    static std::vector<std::function<void()>> hooks;
    return hooks;
}

void anomaly(std::string text) {
    world().anomalies.push_back(std::move(text));
}

bool validNumber(int n) {
    return n >= 1 && n <= portCount;
}

Port& portAt(int n) {
    if (!validNumber(n)) {
        anomaly("port number out of range: " + std::to_string(n));
        n = 1;
    }
    return world().ports[static_cast<std::size_t>(n)];
}

// The open port behind a handle, or null (recorded as an anomaly).
Port* openPort(PortHandle handle, const char* call) {
    const PortHandle n = handle - handleBase;
    if (n >= 1 && n <= portCount) {
        Port& port = world().ports[static_cast<std::size_t>(n)];
        if (port.log.open) {
            return &port;
        }
    }
    anomaly(std::string(call) + " on a handle that is not open");
    return nullptr;
}

int numberOf(const Port& port) {
    return static_cast<int>(&port - world().ports.data());
}

// Keeps the virtual clock from running ahead of the real one. Bytes on the
// line are events some 40 us apart at 256000 baud; sleeping for each would
// cost more than it shows, so the clock may run up to a millisecond ahead
// (nothing on the screen changes faster than that).
void pace(Nanos to) {
    World& w = world();
    if (!w.pacing) {
        return;
    }
    const auto due = w.anchorReal + std::chrono::nanoseconds(to - w.anchorVirtual);
    if (due - std::chrono::steady_clock::now() > std::chrono::milliseconds(1)) {
        std::this_thread::sleep_until(due);
    }
}

// Moves the clock to t, running every event due on the way.
void advanceTo(Nanos t) {
    World& w = world();
    while (!w.events.empty() && w.events.top().at <= t) {
        Event event = w.events.top();
        w.events.pop();
        if (event.at > w.now) {
            pace(event.at);
            w.now = event.at;
        }
        event.fn();
    }
    if (t > w.now) {
        pace(t);
        w.now = t;
    }
}

Nanos nextEvent() {
    const World& w = world();
    return w.events.empty() ? never : w.events.top().at;
}

bool frameOk(const PortSettings& s) {
    return s.ByteSize == 8 && s.Parity == platNoParity && s.StopBits == platOneStopBit;
}

void setDtr(Port& port, bool high) {
    if (port.log.dtr == high) {
        return;
    }
    port.log.dtr = high;
    port.log.dtrChanges.push_back({world().now, high});
    if (port.device && !port.unplugged) {
        port.device->dtrChanged(high);
    }
}

// The bytes towards the device arrive one after the other: one event at a
// time stands for the first byte still on the line.
void arriveAtDevice(int n) {
    Port& port = world().ports[static_cast<std::size_t>(n)];
    port.outgoingScheduled = false;
    if (port.outgoing.empty()) {
        return;
    }
    LineByte byte = port.outgoing.front();
    port.outgoing.pop_front();
    if (!port.outgoing.empty()) {
        port.outgoingScheduled = true;
        detail::schedule(port.outgoing.front().end, [n] { arriveAtDevice(n); });
    }
    if (port.unplugged || !port.device) {
        return;
    }
    if (port.setup.lineFilter && !port.setup.lineFilter(byte, false)) {
        return;
    }
    port.device->receive(byte);
}

// The device's bytes reach the PC's input, together, now.
void toInput(Port& port, const std::vector<std::uint8_t>& bytes) {
    const Nanos now = world().now;
    for (const std::uint8_t b : bytes) {
        port.input.emplace_back(b, now);
    }
    port.log.pieces.push_back({now, bytes});
}

// Hands over the piece that the adapter's chip has due, and schedules the
// next. A hand-over that comes to nothing (one scheduled for a timer that
// a full packet has started again since) changes nothing.
void handOver(int n) {
    Port& port = world().ports[static_cast<std::size_t>(n)];
    if (!port.chip) {
        return;
    }
    const Nanos now = world().now;
    if (port.chip->wakeAt() <= now) {
        const std::vector<std::uint8_t> piece = port.chip->due(now);
        if (!piece.empty() && !port.unplugged) {
            toInput(port, piece);
        }
    }
    const Nanos next = port.chip->wakeAt();
    if (next == never || next == port.chipWake) {
        return;
    }
    port.chipWake = next;
    const std::uint64_t open = port.chipOpen;
    detail::schedule(next, [n, open, next] {
        Port& p = world().ports[static_cast<std::size_t>(n)];
        if (!p.chip || p.chipOpen != open) {
            return; // the port closed meanwhile
        }
        if (p.chipWake == next) {
            p.chipWake = never;
        }
        handOver(n);
    });
}

} // namespace

// ---------------------------------------------------------------------------

namespace detail {

void schedule(Nanos at, std::function<void()> fn) {
    World& w = world();
    w.events.push({std::max(at, w.now), w.seq++, std::move(fn)});
}

void arriveAtPc(int n, LineByte byte) {
    Port& port = world().ports[static_cast<std::size_t>(n)];
    if (port.unplugged) {
        return;
    }
    byte.delivered = false;
    bool intact = !port.setup.lineFilter || port.setup.lineFilter(byte, true);
    intact = intact && port.log.open && byte.frameOk && frameOk(port.setup.settings) &&
             ratesMatch(byte.rate, port.setup.settings.BaudRate);
    if (intact) {
        byte.delivered = true;
    }
    port.log.arrivals.push_back(byte);
    if (intact && port.chip) {
        port.chip->add(world().now, byte.value);
        handOver(n);
    } else if (intact) {
        port.input.emplace_back(byte.value, byte.end);
        port.log.pieces.push_back({byte.end, {byte.value}});
    }
}

Nanos lineTime(double rate, std::uint64_t count) {
    if (rate <= 0) {
        return never / 4;
    }
    return std::llround(static_cast<double>(count) * 1e10 / rate);
}

bool ratesMatch(double sender, double receiver) {
    return receiver > 0 && std::fabs(sender - receiver) <= 0.03 * receiver;
}

void onReset(std::function<void()> hook) {
    resetHooks().push_back(std::move(hook));
}

} // namespace detail

PortSettings PortSetup::defaultSettings() {
    PortSettings s;
    s.DCBlength = sizeof(PortSettings);
    s.BaudRate = 9600;
    s.fBinary = 1;
    s.ByteSize = 8;
    s.Parity = platNoParity;
    s.StopBits = platOneStopBit;
    return s;
}

std::vector<std::uint8_t> PortLog::sentBytes() const {
    std::vector<std::uint8_t> all;
    for (const WriteRecord& w : writes) {
        all.insert(all.end(), w.bytes.begin(), w.bytes.end());
    }
    return all;
}

std::vector<std::uint8_t> PortLog::receivedBytes() const {
    std::vector<std::uint8_t> all;
    for (const ReadRecord& r : reads) {
        all.insert(all.end(), r.bytes.begin(), r.bytes.end());
    }
    return all;
}

void resetWorld() {
    // Events hold pointers into the devices: drop them first.
    worldSlot()->events = {};
    worldSlot() = std::make_unique<World>();
    for (const auto& hook : resetHooks()) {
        hook();
    }
}

Nanos now() {
    return world().now;
}

void advance(Nanos duration) {
    advanceTo(world().now + std::max<Nanos>(duration, 0));
}

void setRealTimePacing(bool on) {
    World& w = world();
    w.pacing = on;
    w.anchorReal = std::chrono::steady_clock::now();
    w.anchorVirtual = w.now;
}

const std::vector<std::string>& anomalies() {
    return world().anomalies;
}

PortSetup& setPort(int n, PortKind kind) {
    Port& port = portAt(n);
    port.setup.kind = kind;
    port.board = nullptr;
    if (port.device) {
        port.device->detach();
        world().detached.push_back(std::move(port.device));
    }
    if (kind == PortKind::Echo) {
        port.device = std::make_unique<Echo>(n);
    } else if (kind == PortKind::Board) {
        auto board = std::make_unique<Board>(n);
        port.board = board.get();
        port.device = std::move(board);
    }
    return port.setup;
}

PortSetup& portSetup(int n) {
    return portAt(n).setup;
}
const PortLog& portLog(int n) {
    return portAt(n).log;
}
const PortSettings& pcSettings(int n) {
    return portAt(n).setup.settings;
}

LineCapture captureLine(int n) {
    const PortLog& log = portAt(n).log;
    LineCapture capture(0, "the simulator's virtual clock, COM" + std::to_string(n));
    for (const DtrRecord& d : log.dtrChanges) {
        capture.lines(d.time, d.high, false);
    }
    for (const WriteRecord& w : log.writes) {
        const Framing framing{w.byteSize, w.parity, static_cast<std::uint8_t>(2 + w.stopBits)};
        for (std::size_t i = 0; i < w.bytes.size(); ++i) {
            capture.byte(Wire::txd, w.start + detail::lineTime(w.rate, i), w.bytes[i], w.rate,
                         framing);
        }
    }
    for (const LineByte& b : log.arrivals) {
        capture.byte(Wire::rxd, b.start, b.value, b.rate);
    }
    return capture;
}

Board& attachBoard(int n) {
    setPort(n, PortKind::Board);
    return *portAt(n).board;
}

Board& board(int n) {
    Port& port = portAt(n);
    if (!port.board) {
        anomaly("no board on port " + std::to_string(n));
        return attachBoard(n);
    }
    return *port.board;
}

void unplug(int n) {
    Port& port = portAt(n);
    port.unplugged = true;
    port.input.clear();
}

namespace {

// Puts bytes on the line towards the device, after whatever is on it, at the
// PC's settings; returns the record of the write.
WriteRecord sendOnLine(Port& port, const std::uint8_t* bytes, std::uint32_t count) {
    const Nanos now = world().now;
    const PortSettings& s = port.setup.settings;
    const double rate = s.BaudRate;
    WriteRecord record;
    record.time = now;
    record.start = std::max(now, port.txFreeAt);
    record.rate = s.BaudRate;
    record.byteSize = s.ByteSize;
    record.parity = s.Parity;
    record.stopBits = s.StopBits;
    record.bytes.assign(bytes, bytes + count);
    const int n = numberOf(port);
    for (std::uint32_t i = 0; i < count; ++i) {
        LineByte byte;
        byte.value = record.bytes[i];
        byte.start = record.start + detail::lineTime(rate, i);
        byte.end = record.start + detail::lineTime(rate, i + 1ULL);
        byte.rate = rate;
        byte.frameOk = frameOk(s);
        port.outgoing.push_back(byte);
    }
    if (!port.outgoingScheduled && !port.outgoing.empty()) {
        port.outgoingScheduled = true;
        detail::schedule(port.outgoing.front().end, [n] { arriveAtDevice(n); });
    }
    record.end = record.start + detail::lineTime(rate, count);
    port.txFreeAt = record.end;
    return record;
}

// The line takes bytes again: the queue goes first.
void endStall(int n) {
    Port& port = world().ports[static_cast<std::size_t>(n)];
    port.stalled = false;
    port.stallEnds = never;
    if (!port.held.empty() && port.log.open && !port.unplugged) {
        port.log.writes.push_back(
            sendOnLine(port, port.held.data(), static_cast<std::uint32_t>(port.held.size())));
    }
    port.held.clear();
}

// The deadline of count bytes from start under the port's write time-outs;
// never when both are 0 (no limit).
Nanos writeDeadline(const Port& port, std::uint64_t count, Nanos start) {
    const PortTimeouts& t = port.setup.timeouts;
    if (t.WriteTotalTimeoutMultiplier == 0 && t.WriteTotalTimeoutConstant == 0) {
        return never;
    }
    const std::uint64_t total = t.WriteTotalTimeoutMultiplier * count + t.WriteTotalTimeoutConstant;
    return start + ms(static_cast<std::int64_t>(total));
}

// Waits on a stalled line until its deadline or until the line takes bytes
// again, whichever comes first; true when the line takes bytes again.
bool waitOutStall(Port& port, Nanos deadline, const char* call) {
    if (deadline == never && port.stallEnds == never) {
        anomaly(std::string(call) + " on a line that takes no bytes would wait for ever on COM" +
                std::to_string(numberOf(port)));
        return false;
    }
    if (port.stallEnds <= deadline) {
        advanceTo(port.stallEnds); // the stall's end runs as an event
        return true;
    }
    advanceTo(deadline);
    return false;
}

} // namespace

void stopTakingBytes(int n, Nanos duration) {
    Port& port = portAt(n);
    port.stalled = true;
    port.stallEnds = never;
    const std::uint64_t stall = ++port.stallGeneration;
    if (duration >= 0) {
        port.stallEnds = world().now + duration;
        ++port.log.stalls;
        detail::schedule(port.stallEnds, [n, stall] {
            Port& p = world().ports[static_cast<std::size_t>(n)];
            if (p.stalled && p.stallGeneration == stall) {
                endStall(n);
            }
        });
    }
}

} // namespace sim

// ---------------------------------------------------------------------------
// The platform seam

using sim::Nanos;

PortHandle platOpenPort(int n) {
    if (!sim::validNumber(n)) {
        return platNoPort;
    }
    sim::Port& port = sim::world().ports[static_cast<std::size_t>(n)];
    const sim::PortKind kind = port.setup.kind;
    if (kind == sim::PortKind::Absent || kind == sim::PortKind::Busy || port.log.open ||
        port.unplugged) {
        return platNoPort;
    }
    port.log.open = true;
    ++port.log.opens;
    port.input.clear();
    port.chip.reset();
    port.chipWake = sim::never;
    ++port.chipOpen;
    if (port.setup.chip != sim::AdapterChip::none) {
        port.chip = std::make_unique<sim::ChipInput>(port.setup.chip, port.setup.latencyTimer);
        port.chip->start(sim::now());
    }
    return sim::handleBase + n;
}

int platReadSettings(PortHandle handle, PortSettings* settings) {
    sim::Port* port = sim::openPort(handle, "platReadSettings");
    if (!port || !settings || port->unplugged ||
        port->setup.kind == sim::PortKind::RefusesSettings) {
        return 0;
    }
    *settings = port->setup.settings;
    return 1;
}

int platWriteSettings(PortHandle handle, const PortSettings* settings) {
    sim::Port* port = sim::openPort(handle, "platWriteSettings");
    if (!port || !settings || port->unplugged ||
        port->setup.kind == sim::PortKind::RefusesSettings) {
        return 0;
    }
    const bool accepted = port->setup.acceptSettings ? port->setup.acceptSettings(*settings)
                                                     : settings->BaudRate != 0;
    port->log.settingsWritten.push_back({sim::now(), *settings, accepted});
    if (!accepted) {
        return 0;
    }
    port->setup.settings = *settings;
    if (settings->fDtrControl == platDtrControlDisable) {
        sim::setDtr(*port, false);
    } else if (settings->fDtrControl == platDtrControlEnable) {
        sim::setDtr(*port, true);
    }
    return 1;
}

int platReadTimeouts(PortHandle handle, PortTimeouts* timeouts) {
    sim::Port* port = sim::openPort(handle, "platReadTimeouts");
    if (!port || !timeouts || port->unplugged || port->setup.refuseTimeouts) {
        return 0;
    }
    *timeouts = port->setup.timeouts;
    return 1;
}

int platWriteTimeouts(PortHandle handle, const PortTimeouts* timeouts) {
    sim::Port* port = sim::openPort(handle, "platWriteTimeouts");
    if (!port || !timeouts || port->unplugged || port->setup.refuseTimeouts) {
        return 0;
    }
    port->setup.timeouts = *timeouts;
    port->log.timeoutsWritten.push_back({sim::now(), *timeouts});
    return 1;
}

static int changeDtr(PortHandle handle, bool high, const char* call) {
    sim::Port* port = sim::openPort(handle, call);
    if (!port || port->unplugged || port->setup.refuseDtr) {
        return 0;
    }
    sim::setDtr(*port, high);
    return 1;
}

int platSetDtr(PortHandle handle) {
    return changeDtr(handle, true, "platSetDtr");
}
int platClearDtr(PortHandle handle) {
    return changeDtr(handle, false, "platClearDtr");
}

int platWrite(PortHandle handle, const void* bytes, std::uint32_t count, std::uint32_t* written) {
    sim::Port* port = sim::openPort(handle, "platWrite");
    if (written) {
        *written = 0;
    }
    if (!port || port->unplugged || (count > 0 && !bytes)) {
        return 0;
    }
    const Nanos start = sim::now();
    if (port->pending == 0) {
        port->pendingSince = start;
    }
    const auto* from = static_cast<const std::uint8_t*>(bytes);
    std::uint32_t took = 0;
    if (port->stalled) {
        // The driver's queue takes what fits; the rest waits for room, which
        // comes only when the line takes bytes again.
        const std::uint64_t room =
            sim::heldCapacity - std::min<std::uint64_t>(port->held.size(), sim::heldCapacity);
        took = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, room));
        port->held.insert(port->held.end(), from, from + took);
        port->pending += took;
        if (written) {
            *written = took;
        }
        if (took == count) {
            return 1;
        }
        if (!sim::waitOutStall(*port, sim::writeDeadline(*port, count, start), "platWrite") ||
            port->unplugged || !port->log.open) {
            return 0;
        }
    }
    const std::uint32_t rest = count - took;
    port->log.writes.push_back(sim::sendOnLine(*port, from + took, rest));
    port->pending += rest;
    if (written) {
        *written = count;
    }
    return 1;
}

int platDrain(PortHandle handle) {
    sim::Port* port = sim::openPort(handle, "platDrain");
    if (!port || port->unplugged) {
        return 0;
    }
    const Nanos deadline = sim::writeDeadline(*port, port->pending,
                                              port->pending > 0 ? port->pendingSince : sim::now());
    port->pending = 0;
    if (port->stalled && !port->held.empty() && !sim::waitOutStall(*port, deadline, "platDrain")) {
        // Out of time: the queue is thrown away.
        port->log.thrownAway += port->held.size();
        port->held.clear();
        return 0;
    }
    if (!port->setup.drainEndsBeforeLine) {
        sim::advanceTo(std::max(sim::now(), port->txFreeAt));
    }
    return 1;
}

int platDiscardInput(PortHandle handle) {
    sim::Port* port = sim::openPort(handle, "platDiscardInput");
    if (!port || port->unplugged) {
        return 0;
    }
    // Only what has arrived: bytes still on the line or in an adapter's chip
    // come in afterwards.
    port->log.discarded += port->input.size();
    port->input.clear();
    return 1;
}

int platRead(PortHandle handle, void* buffer, std::uint32_t count, std::uint32_t* received) {
    sim::Port* port = sim::openPort(handle, "platRead");
    if (received) {
        *received = 0;
    }
    if (!port || port->unplugged || !received || (count > 0 && !buffer)) {
        return 0;
    }
    const PortTimeouts t = port->setup.timeouts;
    const Nanos start = sim::now();
    auto* out = static_cast<std::uint8_t*>(buffer);
    sim::ReadRecord record;
    record.start = start;
    record.requested = count;

    // The two forms of "return what is there" that COMMTIMEOUTS knows.
    const bool returnAtOnce = t.ReadIntervalTimeout == sim::maxDword &&
                              t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
    const bool waitForFirst =
        t.ReadIntervalTimeout == sim::maxDword && t.ReadTotalTimeoutMultiplier == sim::maxDword &&
        t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < sim::maxDword;
    Nanos totalLimit = sim::never;
    if (waitForFirst) {
        totalLimit = start + sim::ms(t.ReadTotalTimeoutConstant);
    } else if (!returnAtOnce) {
        const std::uint64_t total =
            std::uint64_t{t.ReadTotalTimeoutMultiplier} * count + t.ReadTotalTimeoutConstant;
        if (total > 0) {
            totalLimit = start + sim::ms(static_cast<std::int64_t>(total));
        }
    }
    const bool intervalRuns = !returnAtOnce && !waitForFirst && t.ReadIntervalTimeout > 0;

    int result = 1;
    std::uint32_t got = 0;
    Nanos lastByte = start;
    for (;;) {
        while (got < count && !port->input.empty()) {
            out[got++] = port->input.front().first;
            lastByte = std::max(port->input.front().second, start);
            port->input.pop_front();
        }
        if (got == count || returnAtOnce || (waitForFirst && got > 0)) {
            break;
        }
        Nanos deadline = totalLimit;
        if (intervalRuns && got > 0) {
            deadline = std::min(deadline, lastByte + sim::ms(t.ReadIntervalTimeout));
        }
        const Nanos next = sim::nextEvent();
        if (next == sim::never && deadline == sim::never) {
            sim::anomaly("platRead of " + std::to_string(count) +
                         " bytes would wait for ever on COM" +
                         std::to_string(sim::numberOf(*port)));
            result = 0;
            break;
        }
        if (next <= deadline) {
            sim::advanceTo(next);
        } else {
            sim::advanceTo(deadline);
            break;
        }
        if (port->unplugged) {
            result = 0;
            break;
        }
    }
    *received = got;
    record.end = sim::now();
    record.bytes.assign(out, out + got);
    port->log.reads.push_back(std::move(record));
    return result;
}

int platClosePort(PortHandle handle) {
    sim::Port* port = sim::openPort(handle, "platClosePort");
    if (!port) {
        return 0;
    }
    // The driver drops DTR when the last handle goes; output that a stalled
    // line held back is thrown away.
    sim::setDtr(*port, false);
    port->log.open = false;
    port->input.clear();
    port->chip.reset();
    port->chipWake = sim::never;
    port->log.thrownAway += port->held.size();
    port->held.clear();
    port->pending = 0;
    return 1;
}

void platSleep(std::uint32_t ms) {
    sim::advanceTo(sim::now() + sim::ms(ms));
}

std::uint64_t platClockNs() {
    return static_cast<std::uint64_t>(sim::now());
}

void platSleepUntilNs(std::uint64_t ns) {
    const auto until = static_cast<Nanos>(std::min<std::uint64_t>(ns, sim::never / 2));
    sim::advanceTo(std::max(sim::now(), until));
}
