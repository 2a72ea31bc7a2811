// FT232R (ftdi_sio: bcdDevice 0x0600 is "FT232R", channel 0, 48 MHz / 2
// base): its vendor requests, its rate rule, and its bulk IN, where every
// packet carries the chip's status and short ones wait for the latency timer.
#include "sim/usb/chip_parts.h"

#include <algorithm>

namespace usbboard {
namespace {

using namespace detail;

class FtdiChip final : public Chip {
  public:
    FtdiChip(Core& core, unsigned fixedLatencyMs)
        : Chip(core, {"ftdi", 0x0403, 0x6001, 0x0600}), fixedLatency_(fixedLatencyMs) {}
    // 128 bytes of transmit buffer (FT232R datasheet).
    std::size_t transmitBuffer() const override { return 128; }
    bool framedIn() const override { return true; }

    std::vector<std::uint8_t> configuration(const EndpointNumbers& e, bool) const override {
        return vendorConfiguration(
            vendorInterface(0xFF, 0xFF, 2,
                            {endpointDescriptor(USB_DIR_IN | e.in, USB_ENDPOINT_XFER_BULK, 64, 0),
                             endpointDescriptor(e.out, USB_ENDPOINT_XFER_BULK, 64, 0)}),
            45);
    }

    Answer control(Nanos t, const Setup& s, std::span<const std::uint8_t>) override {
        if (s.requestType == vendorOut) {
            switch (s.request) {
            case reset:
                // 0 resets the port and empties both buffers, 1 the receive
                // buffer, 2 the transmit buffer.
                if (s.value == 0 || s.value == 1) {
                    pipe_.clear();
                }
                if (s.value == 0 || s.value == 2) {
                    core_.purgeOut(t);
                }
                return Answer::ack();
            case modemCtrl:
                lines_.set(s.value);
                core_.lineState(t, lines_.dtr, lines_.rts);
                return Answer::ack();
            case setBaudRate:
                divisorValue_ = s.value;
                divisorIndex_ = s.index;
                applyCoding(t);
                return Answer::ack();
            case setData:
                data_ = s.value;
                applyCoding(t);
                return Answer::ack();
            case setLatency:
                // 1 to 255 ms; the driver writes 1 for a low-latency port.
                latency_ =
                    fixedLatency_ != 0 ? fixedLatency_ : std::max<unsigned>(s.value & 0xFF, 1);
                pipe_.setLatency(sim::ms(latency_));
                return Answer::ack();
            case setFlowCtrl: // no handshake lines between adapter and board
            case setEventChar:
            case setErrorChar:
            case setBitmode:
                return Answer::ack();
            default:
                return Answer::stall();
            }
        }
        if (s.requestType == vendorIn) {
            switch (s.request) {
            case getModemStatus: {
                const std::array<std::uint8_t, 2> st = status(t);
                return Answer::reply({st.begin(), st.end()});
            }
            case getLatency:
                return Answer::reply({static_cast<std::uint8_t>(latency_)});
            case readPins:
                return Answer::reply({0xFF});
            case readEeprom: {
                // Words 0x0A and 0x0B hold the CBUS functions; the driver's
                // GPIO set-up reads them. The factory setting: CBUS0 TXLED#,
                // CBUS1 RXLED#, CBUS2 TXDEN, CBUS3 PWREN#, CBUS4 SLEEP#.
                const unsigned word = s.index == 0x0A ? 0x1023 : s.index == 0x0B ? 0x0005 : 0;
                return Answer::reply(
                    {static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8)});
            }
            default:
                return Answer::stall();
            }
        }
        return Answer::stall();
    }

    std::string outDataName(const Setup&) const override { return {}; }

    void fromBoard(Nanos, const std::vector<std::uint8_t>& bytes) override { pipe_.add(bytes); }
    std::vector<std::uint8_t> inDue(Nanos now, bool hostPolls) override {
        return pipe_.due(now, hostPolls, status(now));
    }
    Nanos inWakeAt() const override { return pipe_.wakeAt(); }
    bool holdsIn() const override { return pipe_.pending() > 0; }

  private:
    void init(Nanos t) override {
        lines_ = {};
        data_ = 8;              // 8N1
        divisorValue_ = 0x4138; // 9600: 312.5
        divisorIndex_ = 0;
        latency_ = fixedLatency_ != 0 ? fixedLatency_ : 16;
        pipe_.setLatency(sim::ms(latency_));
        pipe_.start(t);
    }

    static constexpr std::uint8_t reset = 0;
    static constexpr std::uint8_t modemCtrl = 1;
    static constexpr std::uint8_t setFlowCtrl = 2;
    static constexpr std::uint8_t setBaudRate = 3;
    static constexpr std::uint8_t setData = 4;
    static constexpr std::uint8_t getModemStatus = 5;
    static constexpr std::uint8_t setEventChar = 6;
    static constexpr std::uint8_t setErrorChar = 7;
    static constexpr std::uint8_t setLatency = 9;
    static constexpr std::uint8_t getLatency = 0x0A;
    static constexpr std::uint8_t setBitmode = 0x0B;
    static constexpr std::uint8_t readPins = 0x0C;
    static constexpr std::uint8_t readEeprom = 0x90;

    std::array<const char*, 3> strings() const override {
        return {"FTDI", "FT232R USB UART", "UB0A17C3"};
    }

    // Modem status (bit 0 always set; no CTS, DSR, RI or DCD from the board's
    // side), then line status: THRE once the transmit buffer is empty, TEMT
    // once the last byte has left the shift register too. Bytes that a held
    // transmitter keeps count as not sent: both stay clear while it holds
    // any, in the control reply and in every bulk IN packet's header.
    std::array<std::uint8_t, 2> status(Nanos t) const {
        const std::size_t queued = core_.outQueued(t);
        const std::uint8_t line = queued == 0 ? 0x60 : queued == 1 ? 0x20 : 0x00;
        return {0x01, line};
    }

    void applyCoding(Nanos t) {
        // Seven or eight data bits; anything else falls back to eight.
        const std::uint8_t bits = (data_ & 0xFF) == 7 ? 7 : 8;
        const std::uint8_t parity = (data_ >> 8) & 0x7;
        const std::uint8_t stop = (data_ >> 11) & 0x3;
        const double rate = ft232rRate(divisorValue_, divisorIndex_);
        const unsigned divisor = (unsigned{divisorIndex_} & 1) << 16 | divisorValue_;
        core_.lineCoding(t, frame(bits, parity <= 4 ? parity : 0, stop <= 2 ? stop : 0), rate,
                         fields(hexField("divisor", divisor, 4)));
    }

    ModemLines lines_;
    std::uint16_t data_ = 8;
    std::uint16_t divisorValue_ = 0;
    std::uint16_t divisorIndex_ = 0;
    unsigned latency_ = 16;
    unsigned fixedLatency_ = 0;
    FtdiInPipe pipe_;
};

} // namespace

std::unique_ptr<Chip> detail::makeFt232r(Core& core, unsigned fixedLatencyMs) {
    return std::make_unique<FtdiChip>(core, fixedLatencyMs);
}

double ft232rRate(std::uint16_t value, std::uint16_t index) {
    // The eighths' code, bits 16-14 of the divisor: .0 .5 .25 .125 .375
    // .625 .75 .875.
    static const double eighths[8] = {0.0, 0.5, 0.25, 0.125, 0.375, 0.625, 0.75, 0.875};
    const unsigned code = (value >> 14) | (index & 1u) << 2;
    const unsigned whole = value & 0x3FFF;
    if (code == 0 && whole == 0) {
        return 3'000'000;
    }
    if (code == 0 && whole == 1) {
        return 2'000'000;
    }
    return 3'000'000 / (whole + eighths[code]);
}

} // namespace usbboard
