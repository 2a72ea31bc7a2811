// CP2102 (cp210x: part number 0x02, a single interface, the rate sent as a
// number that the driver has already quantised to the chip's table): its
// interface requests, its event insertion on bulk IN, and its rate rule.
#include "sim/usb/chip_parts.h"

#include <algorithm>

namespace usbboard {
namespace {

using namespace detail;

class Cp2102Chip final : public Chip {
  public:
    explicit Cp2102Chip(Core& core) : Chip(core, {"cp2102", 0x10c4, 0xea60, 0x0100}) {}
    // 640 bytes of transmit buffer (CP2102 datasheet).
    std::size_t transmitBuffer() const override { return 640; }

    std::vector<std::uint8_t> configuration(const EndpointNumbers& e, bool) const override {
        return vendorConfiguration(
            vendorInterface(0, 0, 2,
                            {endpointDescriptor(USB_DIR_IN | e.in, USB_ENDPOINT_XFER_BULK, 64, 0),
                             endpointDescriptor(e.out, USB_ENDPOINT_XFER_BULK, 64, 0)}),
            50);
    }

    Answer control(Nanos t, const Setup& s, std::span<const std::uint8_t> data) override {
        if (s.requestType == vendorIn && s.request == vendorSpecific) {
            // Asked for two bytes, a genuine part gives two (the driver takes
            // one byte as the mark of a part without event insertion).
            return s.value == getPartNumber ? Answer::reply({partNumber, 0x00}) : Answer::stall();
        }
        if (s.requestType == interfaceOut) {
            return set(t, s, data);
        }
        if (s.requestType == interfaceIn) {
            return get(t, s);
        }
        return Answer::stall();
    }

    std::string outDataName(const Setup& s) const override {
        if (s.requestType != interfaceOut) {
            return {};
        }
        return s.request == setBaudRate ? "SET_BAUDRATE"
               : s.request == setFlow   ? "SET_FLOW"
               : s.request == setChars  ? "SET_CHARS"
                                        : "";
    }

    void fromBoard(Nanos, const std::vector<std::uint8_t>& bytes) override {
        if (!enabled_) {
            return; // the UART is off between the host's close and open
        }
        for (const std::uint8_t b : bytes) {
            toHost_.push_back(b);
            if (escape_ != 0 && b == escape_) {
                toHost_.push_back(0x00); // a data byte equal to the escape character
            }
        }
    }

  private:
    void init(Nanos) override {
        enabled_ = false;
        requested_ = 9600;
        lineCtl_ = 0x0800; // 8N1
        lines_ = {};
        flow_ = {0, 0, 0x80, 0x80};
        chars_.fill(0);
        eventMask_ = 0;
        escape_ = 0;
    }

    static constexpr std::uint8_t interfaceOut = USB_TYPE_VENDOR | USB_RECIP_INTERFACE;
    static constexpr std::uint8_t interfaceIn = USB_DIR_IN | interfaceOut;
    static constexpr std::uint8_t ifcEnable = 0x00;
    static constexpr std::uint8_t setBaudDiv = 0x01;
    static constexpr std::uint8_t getBaudDiv = 0x02;
    static constexpr std::uint8_t setLineCtl = 0x03;
    static constexpr std::uint8_t getLineCtl = 0x04;
    static constexpr std::uint8_t setBreak = 0x05;
    static constexpr std::uint8_t immChar = 0x06;
    static constexpr std::uint8_t setMhs = 0x07;
    static constexpr std::uint8_t getMdmsts = 0x08;
    static constexpr std::uint8_t setXon = 0x09;
    static constexpr std::uint8_t setXoff = 0x0A;
    static constexpr std::uint8_t setEventMask = 0x0B;
    static constexpr std::uint8_t getEventMask = 0x0C;
    static constexpr std::uint8_t setChar = 0x0D;
    static constexpr std::uint8_t getChars = 0x0E;
    static constexpr std::uint8_t getCommStatus = 0x10;
    static constexpr std::uint8_t resetReq = 0x11;
    static constexpr std::uint8_t purge = 0x12;
    static constexpr std::uint8_t setFlow = 0x13;
    static constexpr std::uint8_t getFlow = 0x14;
    static constexpr std::uint8_t embedEvents = 0x15;
    static constexpr std::uint8_t getEventState = 0x16;
    static constexpr std::uint8_t setChars = 0x19;
    static constexpr std::uint8_t getBaudRate = 0x1D;
    static constexpr std::uint8_t setBaudRate = 0x1E;
    static constexpr std::uint8_t vendorSpecific = 0xFF;
    static constexpr std::uint16_t getPartNumber = 0x370B;
    static constexpr std::uint8_t partNumber = 0x02;
    // The old rate interface: a divisor of this clock.
    static constexpr std::uint32_t baudDivClock = 3686400;

    std::array<const char*, 3> strings() const override {
        return {"Silicon Labs", "CP2102 USB to UART Bridge Controller", "0001"};
    }

    Answer set(Nanos t, const Setup& s, std::span<const std::uint8_t> data) {
        switch (s.request) {
        case ifcEnable:
            enabled_ = (s.value & 1) != 0;
            return Answer::ack();
        case setBaudDiv:
            if (s.value != 0) {
                requested_ = baudDivClock / s.value;
                applyCoding(t);
            }
            return Answer::ack();
        case setBaudRate:
            if (data.size() >= 4) {
                requested_ = le32(data);
                applyCoding(t);
            }
            return Answer::ack();
        case setLineCtl:
            lineCtl_ = s.value;
            applyCoding(t);
            return Answer::ack();
        case setMhs:
            lines_.set(s.value);
            core_.lineState(t, lines_.dtr, lines_.rts);
            return Answer::ack();
        case setFlow:
            if (data.size() >= 16) {
                for (std::size_t i = 0; i < flow_.size(); ++i) {
                    flow_[i] = le32(data.subspan(4 * i, 4));
                }
                // The handshake words drive DTR (bits 0-1) and RTS (bits
                // 6-7) too: active, or under flow control, which asserts it
                // while the chip can take bytes.
                const bool dtr = (flow_[0] & 0x3) != 0;
                const bool rts = ((flow_[1] >> 6) & 0x3) != 0;
                if (dtr != lines_.dtr || rts != lines_.rts) {
                    lines_ = {dtr, rts};
                    core_.lineState(t, dtr, rts);
                }
            }
            return Answer::ack();
        case setChars:
            std::copy_n(data.begin(), std::min(data.size(), chars_.size()), chars_.begin());
            return Answer::ack();
        case purge:
            // Bits 0 and 2 empty the transmit queue, 1 and 3 the receive queue.
            if ((s.value & 0x5) != 0) {
                core_.purgeOut(t);
            }
            if ((s.value & 0xA) != 0) {
                toHost_.clear();
            }
            return Answer::ack();
        case embedEvents:
            escape_ = static_cast<std::uint8_t>(s.value);
            return Answer::ack();
        case setEventMask:
            eventMask_ = s.value;
            return Answer::ack();
        case setBreak:
        case immChar:
        case setXon:
        case setXoff:
        case setChar:
        case resetReq:
            return Answer::ack();
        default:
            return Answer::stall();
        }
    }

    Answer get(Nanos t, const Setup& s) const {
        Bytes b;
        switch (s.request) {
        case getBaudDiv:
            b.u16(baudDivClock / std::max<std::uint32_t>(requested_, 1));
            break;
        case getBaudRate:
            b.u32(requested_);
            break;
        case getLineCtl:
            b.u16(lineCtl_);
            break;
        case getMdmsts:
            b.u8((lines_.dtr ? 0x01 : 0) | (lines_.rts ? 0x02 : 0)); // no CTS, DSR, RI, DCD
            break;
        case getEventMask:
            b.u16(eventMask_);
            break;
        case getEventState:
            b.u16(0);
            break;
        case getChars:
            for (const std::uint8_t c : chars_) {
                b.u8(c);
            }
            break;
        case getFlow:
            for (const std::uint32_t w : flow_) {
                b.u32(w);
            }
            break;
        case getCommStatus:
            // Errors, hold reasons, bytes in the receive queue, bytes in the
            // transmit queue (not yet across the UART, those that a held
            // transmitter keeps included), end of file, waiting for an
            // immediate character, reserved.
            b.u32(0).u32(0).u32(static_cast<std::uint32_t>(toHost_.size()));
            b.u32(static_cast<std::uint32_t>(core_.outQueued(t)));
            b.u8(0).u8(0).u8(0);
            break;
        default:
            return Answer::stall();
        }
        return Answer::reply(std::move(b.get()));
    }

    void applyCoding(Nanos t) {
        const std::uint8_t bits = (lineCtl_ >> 8) & 0xF;
        const std::uint8_t parity = (lineCtl_ >> 4) & 0xF;
        const std::uint8_t stop = lineCtl_ & 0xF;
        core_.lineCoding(t, frame(bits, parity, stop), cp2102Rate(requested_),
                         fields("\"requested\":" + std::to_string(requested_)));
    }

    bool enabled_ = false;
    std::uint32_t requested_ = 9600;
    std::uint16_t lineCtl_ = 0x0800;
    ModemLines lines_;
    std::array<std::uint32_t, 4> flow_{};
    std::array<std::uint8_t, 6> chars_{};
    std::uint16_t eventMask_ = 0;
    std::uint8_t escape_ = 0;
};

} // namespace

std::unique_ptr<Chip> detail::makeCp2102(Core& core) {
    return std::make_unique<Cp2102Chip>(core);
}

double cp2102Rate(std::uint32_t requested) {
    // The rate table of the CP2102 (as the cp210x driver quotes it): each
    // rate serves the requests up to `high`. The chip makes the rate from its
    // 24 MHz clock with a whole divisor, the nearest one (half up): 128000
    // becomes 24 MHz / 188 = 127660, 115200 24 MHz / 208 = 115385.
    struct Band {
        std::uint32_t rate;
        std::uint32_t high;
    };
    static const Band table[] = {
        {300, 300},           {600, 600},       {1200, 1200},     {1800, 1800},
        {2400, 2400},         {4000, 4000},     {4800, 4803},     {7200, 7207},
        {9600, 9612},         {14400, 14428},   {16000, 16062},   {19200, 19250},
        {28800, 28912},       {38400, 38601},   {51200, 51558},   {56000, 56280},
        {57600, 58053},       {64000, 64111},   {76800, 77608},   {115200, 117028},
        {128000, 129347},     {153600, 156868}, {230400, 237832}, {250000, 254234},
        {256000, 273066},     {460800, 491520}, {500000, 567138}, {576000, 670254},
        {921600, 0xFFFFFFFF},
    };
    std::uint32_t rate = table[std::size(table) - 1].rate;
    for (const Band& b : table) {
        if (requested <= b.high) {
            rate = b.rate;
            break;
        }
    }
    constexpr std::uint32_t clock = 24'000'000;
    const std::uint32_t divisor = (clock + rate / 2) / rate;
    return static_cast<double>(clock) / divisor;
}

} // namespace usbboard
