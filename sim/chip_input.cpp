#include "sim/chip_input.h"

#include <algorithm>

namespace sim {

// ---------------------------------------------------------------------------
// FtdiInPipe

void FtdiInPipe::start(Nanos now) {
    pending_.clear();
    expiry_ = now + latency_;
    expired_ = false;
}

void FtdiInPipe::add(std::span<const std::uint8_t> bytes) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
}

std::vector<std::uint8_t> FtdiInPipe::due(Nanos now, bool hostPolls,
                                          std::array<std::uint8_t, 2> status) {
    if (now >= expiry_) {
        expired_ = true;
    }
    std::vector<std::uint8_t> out;
    if (!hostPolls || (!expired_ && pending_.size() < room)) {
        return out;
    }
    const auto packet = [&](std::size_t n) {
        out.insert(out.end(), status.begin(), status.end());
        out.insert(out.end(), pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
    };
    while (pending_.size() >= room) {
        packet(room);
    }
    if (expired_) {
        packet(pending_.size());
    }
    expiry_ = now + latency_;
    expired_ = false;
    return out;
}

void FtdiInPipe::idleUntil(Nanos now) {
    if (!pending_.empty() || expired_ || now < expiry_ || latency_ <= 0) {
        return;
    }
    expiry_ += ((now - expiry_) / latency_ + 1) * latency_;
}

// ---------------------------------------------------------------------------
// ChipInput

std::optional<AdapterChip> adapterChipNamed(const std::string& name) {
    if (name == "ftdi") {
        return AdapterChip::ft232r;
    }
    if (name == "ch340") {
        return AdapterChip::ch340;
    }
    if (name == "cp2102") {
        return AdapterChip::cp2102;
    }
    if (name == "pl2303") {
        return AdapterChip::pl2303;
    }
    return std::nullopt;
}

ChipInput::ChipInput(AdapterChip chip, Nanos latency) : chip_(chip) {
    pipe_.setLatency(latency);
}

void ChipInput::start(Nanos now) {
    held_.clear();
    pipe_.start(now);
}

void ChipInput::add(Nanos now, std::uint8_t byte) {
    lastAdded_ = now;
    if (chip_ != AdapterChip::ft232r) {
        held_.push_back(byte);
        return;
    }
    pipe_.idleUntil(now);
    pipe_.add({&byte, 1});
}

std::vector<std::uint8_t> ChipInput::due(Nanos now) {
    std::vector<std::uint8_t> piece;
    if (chip_ != AdapterChip::ft232r) {
        piece.swap(held_);
        return piece;
    }
    // The status bytes are the driver's to take off, whatever they say: the
    // idle line's (CTS, DSR, RI and DCD low; THRE and TEMT set).
    const std::vector<std::uint8_t> transfer = pipe_.due(now, true, {0x01, 0x60});
    for (std::size_t at = 0; at < transfer.size(); at += FtdiInPipe::packetSize) {
        const std::size_t end = std::min(at + FtdiInPipe::packetSize, transfer.size());
        piece.insert(piece.end(), transfer.begin() + static_cast<std::ptrdiff_t>(at + 2),
                     transfer.begin() + static_cast<std::ptrdiff_t>(end));
    }
    return piece;
}

Nanos ChipInput::wakeAt() const {
    constexpr Nanos never = std::numeric_limits<Nanos>::max();
    if (chip_ != AdapterChip::ft232r) {
        return held_.empty() ? never : lastAdded_;
    }
    if (pipe_.pending() == 0) {
        return never;
    }
    return pipe_.pending() >= FtdiInPipe::room ? lastAdded_ : pipe_.wakeAt();
}

} // namespace sim
