// CH340 (ch341: chip version 0x31, so the divisor write carries bit 7 and
// the line control register is written too): its vendor requests and
// registers, and its rate rule.
#include "sim/usb/chip_parts.h"

namespace usbboard {
namespace {

using namespace detail;

class Ch340Chip final : public Chip {
  public:
    explicit Ch340Chip(Core& core)
        : Chip(core, {"ch340", 0x1a86, 0x7523, 0x0254, USB_CLASS_VENDOR_SPEC}) {}
    std::size_t bulkPacket(bool) const override { return 32; }
    bool interruptIn() const override { return true; }
    // The buffer size is not documented where the model could take it from:
    // two bulk packets, as a double-buffered endpoint holds.
    std::size_t transmitBuffer() const override { return 64; }

    std::vector<std::uint8_t> configuration(const EndpointNumbers& e, bool) const override {
        return vendorConfiguration(
            vendorInterface(
                0x01, 0x02, 0,
                {endpointDescriptor(USB_DIR_IN | e.in, USB_ENDPOINT_XFER_BULK, 32, 0),
                 endpointDescriptor(e.out, USB_ENDPOINT_XFER_BULK, 32, 0),
                 endpointDescriptor(USB_DIR_IN | e.notify, USB_ENDPOINT_XFER_INT, 8, 1)}),
            49);
    }

    Answer control(Nanos t, const Setup& s, std::span<const std::uint8_t>) override {
        if (s.requestType == vendorIn && s.request == readVersion) {
            return Answer::reply({version, 0x00});
        }
        if (s.requestType == vendorIn && s.request == readReg) {
            return Answer::reply({regs_[s.value & 0xFF], regs_[s.value >> 8]});
        }
        if (s.requestType != vendorOut) {
            return Answer::stall();
        }
        switch (s.request) {
        case serialInit:
            return Answer::ack();
        case writeReg: {
            // Two registers at once: wValue names them, wIndex holds the values.
            const unsigned first = s.value & 0xFF;
            const unsigned second = s.value >> 8;
            regs_[first] = static_cast<std::uint8_t>(s.index);
            regs_[second] = static_cast<std::uint8_t>(s.index >> 8);
            const auto coding = [](unsigned r) {
                return r == prescalerReg || r == divisorReg || r == lcrReg;
            };
            if (coding(first) || coding(second)) {
                applyCoding(t);
            }
            return Answer::ack();
        }
        case modemCtrl:
            // The lines' bits are sent inverted: DTR bit 5, RTS bit 6.
            core_.lineState(t, (s.value & 0x20) == 0, (s.value & 0x40) == 0);
            return Answer::ack();
        default:
            return Answer::stall();
        }
    }

    std::string outDataName(const Setup&) const override { return {}; }

  private:
    void init(Nanos) override {
        regs_.fill(0);
        regs_[breakReg] = 0x01; // not breaking
        regs_[prescalerReg] = 0x02;
        regs_[divisorReg] = 0xB2; // 9615 baud
        regs_[lcrReg] = 0xC3;     // receiver and transmitter on, 8N1
        regs_[0x06] = 0xFF;       // modem status, inverted: no CTS, DSR, RI, DCD
        regs_[0x07] = 0xEE;
    }

    static constexpr std::uint8_t version = 0x31;
    static constexpr std::uint8_t readVersion = 0x5F;
    static constexpr std::uint8_t writeReg = 0x9A;
    static constexpr std::uint8_t readReg = 0x95;
    static constexpr std::uint8_t serialInit = 0xA1;
    static constexpr std::uint8_t modemCtrl = 0xA4;
    static constexpr unsigned breakReg = 0x05;
    static constexpr unsigned prescalerReg = 0x12;
    static constexpr unsigned divisorReg = 0x13;
    static constexpr unsigned lcrReg = 0x18;

    std::array<const char*, 3> strings() const override { return {nullptr, "USB Serial", nullptr}; }

    void applyCoding(Nanos t) {
        const std::uint8_t lcr = regs_[lcrReg];
        const std::uint8_t bits = 5 + (lcr & 0x03);
        std::uint8_t parity = 0;
        if ((lcr & 0x08) != 0) {
            // Odd, even (0x10), mark (0x20) or space (0x30) on top.
            static const std::uint8_t kinds[4] = {1, 2, 3, 4};
            parity = kinds[(lcr >> 4) & 0x3];
        }
        const std::uint8_t stop = (lcr & 0x04) != 0 ? 2 : 0;
        const double rate = ch340Rate(regs_[prescalerReg], regs_[divisorReg]);
        core_.lineCoding(
            t, frame(bits, parity, stop), rate,
            fields(hexField("divisor", regs_[divisorReg] << 8 | regs_[prescalerReg], 4) + "," +
                   hexField("lcr", lcr, 2)));
    }

    std::array<std::uint8_t, 256> regs_{};
};

} // namespace

std::unique_ptr<Chip> detail::makeCh340(Core& core) {
    return std::make_unique<Ch340Chip>(core);
}

double ch340Rate(std::uint8_t prescaler, std::uint8_t divisor) {
    const unsigned ps = prescaler & 0x3;
    const unsigned fact = (prescaler >> 2) & 0x1;
    const unsigned div = 256 - divisor; // register 0: 256
    const double clockDivider = static_cast<double>(1u << (12 - 3 * ps - fact));
    return 48'000'000 / (clockDivider * div);
}

} // namespace usbboard
