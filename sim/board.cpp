// The board's debug port and ARC core.
#include "sim/board.h"

#include <algorithm>

namespace sim {
namespace {

std::uint32_t le32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

void putLe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}

bool isWrite(std::uint8_t c) {
    return c == cmd::writeMem || c == cmd::writeCore || c == cmd::writeAux;
}
bool isRead(std::uint8_t c) {
    return c == cmd::readMem || c == cmd::readCore || c == cmd::readAux;
}
bool isBaud(std::uint8_t first) {
    return (first & 0x3F) == cmd::setBaud;
}

// The debug port reaches 128 core register numbers: the 64 core registers
// and the extension space above them, which takes writes and reads as plain
// storage.
constexpr std::uint32_t coreRegisters = 128;
constexpr std::uint32_t pageBits = 12;
constexpr std::uint32_t pageMask = (1u << pageBits) - 1;
constexpr std::uint32_t pcMask = 0x00FFFFFF;

template <typename Fault> bool hits(Fault& fault, const Packet& packet) {
    if (fault.command != packet.command || (fault.address && *fault.address != packet.address)) {
        return false;
    }
    ++fault.seen;
    return fault.seen == fault.nth || (fault.andAfter && fault.seen > fault.nth);
}

} // namespace

Board::Board(int port) : port_(port) {}

void Board::failNth(std::uint8_t command, int nth, std::uint8_t status, bool andAfter) {
    StatusFault fault;
    fault.command = command;
    fault.nth = nth;
    fault.status = status;
    fault.andAfter = andAfter;
    faults.status.push_back(fault);
}

void Board::dropReply(std::uint8_t command, int nth, bool andAfter) {
    truncateReply(command, nth, 0, andAfter);
}

void Board::truncateReply(std::uint8_t command, int nth, std::size_t keep, bool andAfter) {
    ReplyFault fault;
    fault.command = command;
    fault.nth = nth;
    fault.keep = keep;
    fault.andAfter = andAfter;
    faults.replies.push_back(fault);
}

std::vector<Packet> Board::packetsOf(std::uint8_t command) const {
    std::vector<Packet> out;
    std::copy_if(packets_.begin(), packets_.end(), std::back_inserter(out),
                 [command](const Packet& p) { return p.command == command; });
    return out;
}

double Board::rate() const {
    return uartClock / (4.0 * (divisor_ + 1.0));
}

bool Board::tooFast() const {
    return faults.maxBaud != 0 && rate() > faults.maxBaud * 1.03;
}

// ---------------------------------------------------------------------------
// The line and the reset

void Board::receive(LineByte byte) {
    if (dtrHigh_) {
        return; // held in reset
    }
    if (!byte.frameOk || tooFast() || !detail::ratesMatch(byte.rate, rate())) {
        ++lost_;
        return;
    }
    rx_.push_back(byte.value);
    parse();
}

void Board::dtrChanged(bool high) {
    if (high) {
        // The reset line holds the board: the core stops, the port is deaf.
        dtrHigh_ = true;
        ++generation_;
        ++runToken_;
        rx_.clear();
    } else if (dtrHigh_) {
        dtrHigh_ = false;
        reset();
    }
}

void Board::detach() {
    ++generation_;
    ++runToken_;
}

// What a reset leaves: the debug port at 38400 baud with an empty packet
// buffer, the boot code running from pc 0. Registers and memory keep their
// contents.
void Board::reset() {
    divisor_ = resetDivisor;
    rx_.clear();
    ++generation_;
    ++runToken_;
    txFreeAt_ = now();
    status_ = 0;
    aux_[reg::debug] = 0;
    ++resets_;
}

void Board::parse() {
    while (!rx_.empty()) {
        const std::uint8_t first = rx_[0];
        std::size_t need = 0;
        if (isWrite(first)) {
            need = 9;
        } else if (isRead(first)) {
            need = 5;
        } else if (first == cmd::writeBlock) {
            if (rx_.size() < 6) {
                return;
            }
            need = 6 + 4 * (std::size_t{rx_[5]} + 1);
        } else if (isBaud(first)) {
            need = 2;
        } else {
            stray_.push_back(first);
            rx_.erase(rx_.begin());
            continue;
        }
        if (rx_.size() < need) {
            return;
        }
        std::vector<std::uint8_t> raw(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(need));
        rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(need));
        execute(std::move(raw));
    }
}

void Board::execute(std::vector<std::uint8_t> raw) {
    Packet packet;
    packet.time = now();
    const std::uint8_t first = raw[0];
    if (isBaud(first)) {
        packet.command = cmd::setBaud;
        packet.value = (std::uint32_t{raw[0]} | std::uint32_t{raw[1]} << 8) >> 6;
    } else {
        packet.command = first;
        packet.address = le32(&raw[1]);
        if (isWrite(first)) {
            packet.value = le32(&raw[5]);
        } else if (first == cmd::writeBlock) {
            packet.data.assign(raw.begin() + 6, raw.end());
        }
    }
    packet.raw = std::move(raw);
    if (beforePacket) {
        beforePacket(packet);
    }

    std::uint8_t status = 0;
    for (StatusFault& fault : faults.status) {
        if (hits(fault, packet) && status == 0) {
            status = fault.status;
        }
    }
    if (status == 0) {
        status = carryOut(packet);
    }
    packet.status = status;

    std::vector<std::uint8_t> reply;
    if (isRead(packet.command)) {
        if (status != 0) {
            packet.value = config.failedReadValue;
        }
        putLe32(reply, packet.value);
        reply.push_back(status);
    } else if (packet.command == cmd::setBaud) {
        reply.push_back(status == 0 ? config.baudReply : status);
    } else {
        reply.push_back(status);
    }
    for (ReplyFault& fault : faults.replies) {
        if (hits(fault, packet)) {
            reply.resize(std::min(reply.size(), fault.keep));
        }
    }
    const bool switchRate = packet.command == cmd::setBaud && status == 0;
    sendReply(packet, std::move(reply), switchRate, packet.value);

    packets_.push_back(std::move(packet));
    if (onPacket) {
        const Packet copy = packets_.back();
        onPacket(copy);
    }
}

std::uint8_t Board::carryOut(Packet& packet) {
    const std::uint32_t a = packet.address;
    switch (packet.command) {
    case cmd::writeMem:
        for (std::uint32_t i = 0; i < 4; ++i) {
            storeByte(a + i, static_cast<std::uint8_t>(packet.value >> (8 * i)), true);
        }
        return 0;
    case cmd::writeCore:
        if (a >= coreRegisters) {
            return config.badRegisterStatus;
        }
        core_[a] = packet.value;
        return 0;
    case cmd::writeAux:
        writeAuxRegister(a, packet.value);
        return 0;
    case cmd::readMem:
        packet.value = readWord(a);
        return 0;
    case cmd::readCore:
        if (a >= coreRegisters) {
            return config.badRegisterStatus;
        }
        packet.value = core_[a];
        if (a == reg::r1 && faults.r1NoReadback) {
            packet.value = ~packet.value;
        }
        return 0;
    case cmd::readAux:
        packet.value = readAuxRegister(a);
        return 0;
    case cmd::writeBlock:
        for (std::size_t i = 0; i < packet.data.size(); ++i) {
            storeByte(a + static_cast<std::uint32_t>(i), packet.data[i], true);
        }
        return 0;
    default: // the baud packet: the switch follows its reply
        return 0;
    }
}

// The reply leaves at the board's present rate as soon as the line is free;
// a baud change takes effect once the reply's last bit has gone.
void Board::sendReply(Packet& packet, std::vector<std::uint8_t> reply, bool switchAfter,
                      std::uint32_t newDivisor) {
    const Nanos ready = now() + std::max<Nanos>(faults.replyDelay, 0);
    const Nanos start = std::max(ready, txFreeAt_);
    const double r = rate();
    const bool frameOk = !tooFast();
    const std::uint64_t generation = generation_;
    for (std::size_t i = 0; i < reply.size(); ++i) {
        LineByte byte;
        byte.value = reply[i];
        byte.start = start + detail::lineTime(r, i);
        byte.end = start + detail::lineTime(r, i + 1);
        byte.rate = r;
        byte.frameOk = frameOk;
        detail::schedule(byte.end, [this, generation, byte] {
            if (generation == generation_) {
                detail::arriveAtPc(port_, byte);
            }
        });
    }
    const Nanos end = start + detail::lineTime(r, reply.size());
    if (!reply.empty()) {
        txFreeAt_ = end;
    }
    if (switchAfter) {
        detail::schedule(reply.empty() ? ready : end, [this, generation, newDivisor] {
            if (generation == generation_) {
                divisor_ = newDivisor;
            }
        });
    }
    packet.replyStart = start;
    packet.reply = std::move(reply);
}

// ---------------------------------------------------------------------------
// The core

std::uint32_t Board::readAuxRegister(std::uint32_t n) const {
    if (n == reg::status) {
        return status_;
    }
    if (n == reg::identity) {
        return config.identity;
    }
    const auto it = aux_.find(n);
    return it == aux_.end() ? 0 : it->second;
}

void Board::writeAuxRegister(std::uint32_t n, std::uint32_t value) {
    switch (n) {
    case reg::status:
        writeStatus(value);
        break;
    case reg::identity: // read-only
        break;
    case reg::debug:
        aux_[n] = value;
        if (value & 0x2) {
            halt();
        }
        if ((value & 0x1) && halted()) {
            step();
        }
        break;
    default:
        aux_[n] = value;
        break;
    }
}

void Board::writeStatus(std::uint32_t value) {
    status_ = value;
    ++runToken_;
    if (value & reg::haltBit) {
        return;
    }
    releases_.push_back({now(), value});
    if (faults.neverHalts) {
        return;
    }
    // The downloaded program runs, then halts the core to say it is done.
    const std::uint64_t token = runToken_;
    detail::schedule(now() + config.runTime, [this, token] {
        if (token == runToken_) {
            status_ |= reg::haltBit;
        }
    });
}

void Board::halt() {
    status_ |= reg::haltBit;
    ++runToken_;
}

void Board::step() {
    ++steps_;
    if (faults.stepFlagOnly) {
        status_ ^= faults.stepFlag;
        return;
    }
    if (faults.pcNeverAdvances) {
        return;
    }
    const std::uint32_t words = static_cast<std::uint32_t>(faults.stepAdvance / 4);
    status_ = (status_ & ~pcMask) | ((status_ + words) & pcMask);
}

std::uint32_t Board::aux(std::uint32_t n) const {
    return readAuxRegister(n);
}

std::uint32_t Board::core(std::uint32_t n) const {
    return n < coreRegisters ? core_[n] : 0;
}

void Board::setAux(std::uint32_t n, std::uint32_t value) {
    if (n == reg::status) {
        status_ = value;
        ++runToken_;
    } else if (n == reg::identity) {
        config.identity = value;
    } else {
        aux_[n] = value;
    }
}

void Board::setCore(std::uint32_t n, std::uint32_t value) {
    if (n < coreRegisters) {
        core_[n] = value;
    }
}

// ---------------------------------------------------------------------------
// Memory

void Board::storeByte(std::uint32_t address, std::uint8_t value, bool byPc) {
    std::unique_ptr<Page>& page = memory_[address >> pageBits];
    if (!page) {
        page = std::make_unique<Page>();
    }
    const std::uint32_t offset = address & pageMask;
    page->bytes[offset] = value;
    if (byPc) {
        page->written[offset / 64] |= std::uint64_t{1} << (offset % 64);
    }
}

std::uint8_t Board::loadByte(std::uint32_t address) const {
    const auto it = memory_.find(address >> pageBits);
    return it == memory_.end() ? 0 : it->second->bytes[address & pageMask];
}

std::vector<std::uint8_t> Board::readMemory(std::uint32_t address, std::size_t count) const {
    std::vector<std::uint8_t> out(count);
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = loadByte(address + static_cast<std::uint32_t>(i));
    }
    return out;
}

std::uint32_t Board::readWord(std::uint32_t address) const {
    const std::uint8_t b[4] = {loadByte(address), loadByte(address + 1), loadByte(address + 2),
                               loadByte(address + 3)};
    return le32(b);
}

void Board::loadMemory(std::uint32_t address, const std::vector<std::uint8_t>& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        storeByte(address + static_cast<std::uint32_t>(i), bytes[i], false);
    }
}

std::vector<Range> Board::writtenRanges() const {
    std::vector<std::uint32_t> pages;
    for (const auto& entry : memory_) {
        pages.push_back(entry.first);
    }
    std::sort(pages.begin(), pages.end());
    std::vector<Range> ranges;
    for (const std::uint32_t number : pages) {
        const Page& page = *memory_.at(number);
        for (std::uint32_t offset = 0; offset <= pageMask; ++offset) {
            if (!(page.written[offset / 64] >> (offset % 64) & 1)) {
                continue;
            }
            const std::uint64_t address = (std::uint64_t{number} << pageBits) + offset;
            if (!ranges.empty() && ranges.back().second == address) {
                ++ranges.back().second;
            } else {
                ranges.emplace_back(address, address + 1);
            }
        }
    }
    return ranges;
}

std::uint64_t Board::writtenOutside(std::vector<Range> allowed) const {
    std::sort(allowed.begin(), allowed.end());
    std::vector<Range> merged;
    for (const Range& r : allowed) {
        if (!merged.empty() && r.first <= merged.back().second) {
            merged.back().second = std::max(merged.back().second, r.second);
        } else if (r.first < r.second) {
            merged.push_back(r);
        }
    }
    std::uint64_t outside = 0;
    for (const Range& w : writtenRanges()) {
        std::uint64_t covered = 0;
        for (const Range& a : merged) {
            const std::uint64_t lo = std::max(w.first, a.first);
            const std::uint64_t hi = std::min(w.second, a.second);
            covered += hi > lo ? hi - lo : 0;
        }
        outside += (w.second - w.first) - covered;
    }
    return outside;
}

} // namespace sim
