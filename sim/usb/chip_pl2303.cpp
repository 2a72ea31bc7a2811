// PL2303TA (pl2303: device class 0, bMaxPacketSize0 64, bcdUSB 0x0200 - which
// gadgetfs writes into every device descriptor -, bcdDevice 0x0300, and the
// status read 0x8080 answered: type TA, whose divisors are the "alt" form):
// its register and class requests, and its rate rule.
#include "sim/usb/chip_parts.h"

#include <algorithm>
#include <cmath>

namespace usbboard {
namespace {

using namespace detail;

class Pl2303Chip final : public Chip {
  public:
    explicit Pl2303Chip(Core& core) : Chip(core, {"pl2303", 0x067b, 0x2303, 0x0300}) {}
    bool interruptIn() const override { return true; }
    // Not documented where the model could take it from: 256 bytes assumed.
    std::size_t transmitBuffer() const override { return 256; }

    std::vector<std::uint8_t> configuration(const EndpointNumbers& e, bool) const override {
        return vendorConfiguration(
            vendorInterface(
                0, 0, 0,
                {endpointDescriptor(USB_DIR_IN | e.notify, USB_ENDPOINT_XFER_INT, 10, 1),
                 endpointDescriptor(e.out, USB_ENDPOINT_XFER_BULK, 64, 0),
                 endpointDescriptor(USB_DIR_IN | e.in, USB_ENDPOINT_XFER_BULK, 64, 0)}),
            50);
    }

    Answer control(Nanos t, const Setup& s, std::span<const std::uint8_t> data) override {
        // Vendor register reads and writes: a write names the register in
        // wValue and gives the value in wIndex; a read of register r asks
        // for r | 0x80 (the driver's start-up reads 0x8484 and 0x8383, and
        // 0x8080 to tell a TA from a G type).
        if (s.requestType == vendorIn && s.request == vendorRequest) {
            return Answer::reply({regs_[s.value & 0x7F]});
        }
        if (s.requestType == vendorOut && s.request == vendorRequest) {
            regs_[s.value & 0x7F] = static_cast<std::uint8_t>(s.index);
            return Answer::ack();
        }
        if (s.requestType == classIn && s.request == getLine) {
            return Answer::reply({line_.begin(), line_.end()});
        }
        if (s.requestType != classOut) {
            return Answer::stall();
        }
        switch (s.request) {
        case setLine:
            if (data.size() >= line_.size()) {
                std::copy_n(data.begin(), line_.size(), line_.begin());
                applyCoding(t);
            }
            return Answer::ack();
        case setControl:
            core_.lineState(t, (s.value & 1) != 0, (s.value & 2) != 0);
            return Answer::ack();
        case breakRequest:
            return Answer::ack();
        default:
            return Answer::stall();
        }
    }

    std::string outDataName(const Setup& s) const override {
        return s.requestType == classOut && s.request == setLine ? "SET_LINE_REQUEST" : "";
    }

  private:
    void init(Nanos) override {
        regs_.fill(0);
        line_ = {0x80, 0x25, 0x00, 0x00, 0, 0, 8}; // 9600 8N1
    }

    static constexpr std::uint8_t vendorRequest = 0x01;
    static constexpr std::uint8_t setLine = 0x20;
    static constexpr std::uint8_t getLine = 0x21;
    static constexpr std::uint8_t setControl = 0x22;
    static constexpr std::uint8_t breakRequest = 0x23;

    std::array<const char*, 3> strings() const override {
        return {"Prolific Technology Inc.", "USB-Serial Controller", nullptr};
    }

    void applyCoding(Nanos t) {
        const std::uint32_t baud = le32(line_);
        core_.lineCoding(t, frame(line_[6], line_[5], line_[4]), pl2303taRate(baud),
                         fields(hexField("baud", baud, 8)));
    }

    std::array<std::uint8_t, 128> regs_{};
    std::array<std::uint8_t, 7> line_{};
};

} // namespace

std::unique_ptr<Chip> detail::makePl2303(Core& core) {
    return std::make_unique<Pl2303Chip>(core);
}

double pl2303taRate(std::uint32_t baud) {
    if ((baud & 0x80000000u) != 0) {
        // Mantissa in bits 0-10, the exponent's high bits in 13-15 and its
        // low bit in bit 16.
        const unsigned mantissa = baud & 0x7FF;
        const unsigned exponent = ((baud >> 12) & 0xE) | ((baud >> 16) & 0x1);
        if (mantissa == 0) {
            return 9600;
        }
        return 12'000'000.0 * 32 / (mantissa * std::ldexp(1.0, static_cast<int>(exponent)));
    }
    static const std::uint32_t direct[] = {
        75,     150,    300,    600,     1200,    1800,    2400,    3600,   4800,
        7200,   9600,   14400,  19200,   28800,   38400,   57600,   115200, 230400,
        460800, 614400, 921600, 1228800, 2457600, 3000000, 6000000,
    };
    // A rate the chip does not know directly runs at 9600.
    return std::find(std::begin(direct), std::end(direct), baud) != std::end(direct) ? baud : 9600;
}

} // namespace usbboard
