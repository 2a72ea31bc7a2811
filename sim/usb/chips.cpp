// The adapters' device side: descriptors, control requests, rate rules and
// the FT232R's bulk IN framing. What each host driver sends and expects is
// taken from the driver; where the chip's own behaviour matters (its clock,
// its rounding, its buffers), the comments say what the model assumes.
#include "sim/usb/chips.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <linux/usb/ch9.h>

namespace usbboard {
namespace {

class Bytes {
  public:
    Bytes& u8(unsigned v) {
        b_.push_back(static_cast<std::uint8_t>(v));
        return *this;
    }
    Bytes& u16(unsigned v) { return u8(v & 0xFF).u8((v >> 8) & 0xFF); }
    Bytes& u32(std::uint32_t v) { return u16(v & 0xFFFF).u16(v >> 16); }
    Bytes& append(const std::vector<std::uint8_t>& more) {
        b_.insert(b_.end(), more.begin(), more.end());
        return *this;
    }
    std::vector<std::uint8_t>& get() { return b_; }

  private:
    std::vector<std::uint8_t> b_;
};

std::uint32_t le32(std::span<const std::uint8_t> b) {
    return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
           std::uint32_t{b[3]} << 24;
}

std::string hexField(const char* name, unsigned value, int digits) {
    char text[64];
    (void)std::snprintf(text, sizeof text, "\"%s\":\"0x%0*x\"", name, digits, value);
    return text;
}

// A vendor-class interface with its endpoints.
std::vector<std::uint8_t> vendorInterface(unsigned subclass, unsigned protocol, unsigned iInterface,
                                          const std::vector<std::vector<std::uint8_t>>& endpoints) {
    Bytes i;
    i.u8(USB_DT_INTERFACE_SIZE).u8(USB_DT_INTERFACE).u8(0).u8(0).u8(endpoints.size());
    i.u8(USB_CLASS_VENDOR_SPEC).u8(subclass).u8(protocol).u8(iInterface);
    for (const std::vector<std::uint8_t>& e : endpoints) {
        i.append(e);
    }
    return i.get();
}

// A full-speed configuration of one vendor-class interface, bus powered.
std::vector<std::uint8_t> vendorConfiguration(const std::vector<std::uint8_t>& interface,
                                              unsigned maxPower2mA) {
    std::vector<std::uint8_t> c = configurationDescriptor(interface, 1);
    c[7] = USB_CONFIG_ATT_ONE;
    c[8] = static_cast<std::uint8_t>(maxPower2mA);
    return c;
}

LineCoding frame(std::uint8_t bits, std::uint8_t parity, std::uint8_t stop) {
    LineCoding c;
    c.dataBits = bits;
    c.parity = parity;
    c.charFormat = stop;
    return c;
}

// ---------------------------------------------------------------------------
// The modem class: what the gadgetfs front always was.

constexpr std::uint8_t classOut = USB_TYPE_CLASS | USB_RECIP_INTERFACE;
constexpr std::uint8_t classIn = USB_DIR_IN | classOut;

class AcmChip final : public Chip {
  public:
    using Chip::Chip;
    const char* name() const override { return "acm"; }
    std::uint16_t vendorId() const override { return 0x1d6b; } // the kernel's id for tests
    std::uint16_t productId() const override { return 0x0104; }
    std::uint16_t bcdDevice() const override { return 0x0100; }
    bool highSpeed() const override { return true; }
    bool interruptIn() const override { return true; }

    std::vector<std::uint8_t> device() const override {
        return deviceDescriptor(USB_CLASS_COMM, vendorId(), productId(), bcdDevice(), {0, 0, 0});
    }

    // Two interfaces: the communication interface (abstract control model,
    // with the header, call management, ACM and union functional descriptors
    // and the notification endpoint) and the data interface with the bulk
    // pair. 10 bytes of SERIAL_STATE every 32 ms at most.
    std::vector<std::uint8_t> configuration(const EndpointNumbers& e, bool high) const override {
        Bytes i;
        i.u8(USB_DT_INTERFACE_SIZE).u8(USB_DT_INTERFACE).u8(0).u8(0).u8(1);
        i.u8(USB_CLASS_COMM).u8(2).u8(0).u8(0);   // ACM, no AT command protocol: nobody probes it
        i.u8(5).u8(0x24).u8(0x00).u16(0x0110);    // header, CDC 1.10
        i.u8(5).u8(0x24).u8(0x01).u8(0x00).u8(1); // call management: none; data on interface 1
        i.u8(4).u8(0x24).u8(0x02).u8(0x02);       // ACM: line coding and line state requests
        i.u8(5).u8(0x24).u8(0x06).u8(0).u8(1);    // union: interface 0 controls interface 1
        i.append(
            endpointDescriptor(USB_DIR_IN | e.notify, USB_ENDPOINT_XFER_INT, 10, high ? 9 : 32));
        i.u8(USB_DT_INTERFACE_SIZE).u8(USB_DT_INTERFACE).u8(1).u8(0).u8(2);
        i.u8(USB_CLASS_CDC_DATA).u8(0).u8(0).u8(0);
        const unsigned packet = static_cast<unsigned>(bulkPacket(high));
        i.append(endpointDescriptor(USB_DIR_IN | e.in, USB_ENDPOINT_XFER_BULK, packet, 0));
        i.append(endpointDescriptor(e.out, USB_ENDPOINT_XFER_BULK, packet, 0));
        std::vector<std::uint8_t> c = configurationDescriptor(i.get(), 2);
        c[7] = USB_CONFIG_ATT_ONE | USB_CONFIG_ATT_SELFPOWER;
        return c;
    }

    Answer control(Nanos t, const Setup& s, std::span<const std::uint8_t> data) override {
        if (s.requestType == classOut && s.request == setControlLineState) {
            core_.lineState(t, (s.value & 1) != 0, (s.value & 2) != 0);
            return Answer::ack();
        }
        if (s.requestType == classOut && s.request == setLineCoding && s.length > 0) {
            if (const std::optional<LineCoding> c = LineCoding::parse(data)) {
                core_.lineCoding(t, *c);
            }
            return Answer::ack();
        }
        if (s.requestType == classIn && s.request == getLineCoding) {
            const std::array<std::uint8_t, 7> coding = core_.coding().bytes();
            return Answer::reply({coding.begin(), coding.end()});
        }
        if ((s.requestType == classOut && s.request == sendBreak) || (!s.in() && s.length > 0)) {
            return Answer::ack(); // no break on this line; an OUT data stage cannot be refused
        }
        return Answer::stall();
    }

    std::string outDataName(const Setup& s) const override {
        return s.requestType == classOut && s.request == setLineCoding ? "SET_LINE_CODING" : "";
    }

  private:
    static constexpr std::uint8_t setLineCoding = 0x20;
    static constexpr std::uint8_t getLineCoding = 0x21;
    static constexpr std::uint8_t setControlLineState = 0x22;
    static constexpr std::uint8_t sendBreak = 0x23;
};

// ---------------------------------------------------------------------------
// FT232R (ftdi_sio: bcdDevice 0x0600 is "FT232R", channel 0, 48 MHz / 2 base)

constexpr std::uint8_t vendorOut = USB_TYPE_VENDOR | USB_RECIP_DEVICE;
constexpr std::uint8_t vendorIn = USB_DIR_IN | vendorOut;

class FtdiChip final : public Chip {
  public:
    FtdiChip(Core& core, unsigned fixedLatencyMs) : Chip(core), fixedLatency_(fixedLatencyMs) {
        init(0);
    }
    const char* name() const override { return "ftdi"; }
    std::uint16_t vendorId() const override { return 0x0403; }
    std::uint16_t productId() const override { return 0x6001; }
    std::uint16_t bcdDevice() const override { return 0x0600; }
    // 128 bytes of transmit buffer (FT232R datasheet).
    std::size_t transmitBuffer() const override { return 128; }
    bool framedIn() const override { return true; }

    std::vector<std::uint8_t> device() const override {
        return deviceDescriptor(0, vendorId(), productId(), bcdDevice(), stringIndexes());
    }
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
                // The high byte says which of the lines the low byte sets.
                if ((s.value & 0x100) != 0) {
                    dtr_ = (s.value & 1) != 0;
                }
                if ((s.value & 0x200) != 0) {
                    rts_ = (s.value & 2) != 0;
                }
                core_.lineState(t, dtr_, rts_);
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

    void powerUp(Nanos t) override {
        Chip::powerUp(t);
        init(t);
    }

  private:
    void init([[maybe_unused]] Nanos t) {
        dtr_ = rts_ = false;
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

    bool dtr_ = false;
    bool rts_ = false;
    std::uint16_t data_ = 8;
    std::uint16_t divisorValue_ = 0;
    std::uint16_t divisorIndex_ = 0;
    unsigned latency_ = 16;
    unsigned fixedLatency_ = 0;
    FtdiInPipe pipe_;
};

// ---------------------------------------------------------------------------
// CH340 (ch341: chip version 0x31, so the divisor write carries bit 7 and
// the line control register is written too)

class Ch340Chip final : public Chip {
  public:
    explicit Ch340Chip(Core& core) : Chip(core) { init(0); }
    const char* name() const override { return "ch340"; }
    std::uint16_t vendorId() const override { return 0x1a86; }
    std::uint16_t productId() const override { return 0x7523; }
    std::uint16_t bcdDevice() const override { return 0x0254; }
    std::size_t bulkPacket(bool) const override { return 32; }
    bool interruptIn() const override { return true; }
    // The buffer size is not documented where the model could take it from:
    // two bulk packets, as a double-buffered endpoint holds.
    std::size_t transmitBuffer() const override { return 64; }

    std::vector<std::uint8_t> device() const override {
        return deviceDescriptor(USB_CLASS_VENDOR_SPEC, vendorId(), productId(), bcdDevice(),
                                stringIndexes());
    }
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

    void powerUp(Nanos t) override {
        Chip::powerUp(t);
        init(t);
    }

  private:
    void init([[maybe_unused]] Nanos t) {
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

// ---------------------------------------------------------------------------
// CP2102 (cp210x: part number 0x02, a single interface, the rate sent as a
// number that the driver has already quantised to the chip's table)

class Cp2102Chip final : public Chip {
  public:
    explicit Cp2102Chip(Core& core) : Chip(core) { init(0); }
    const char* name() const override { return "cp2102"; }
    std::uint16_t vendorId() const override { return 0x10c4; }
    std::uint16_t productId() const override { return 0xea60; }
    std::uint16_t bcdDevice() const override { return 0x0100; }
    // 640 bytes of transmit buffer (CP2102 datasheet).
    std::size_t transmitBuffer() const override { return 640; }

    std::vector<std::uint8_t> device() const override {
        return deviceDescriptor(0, vendorId(), productId(), bcdDevice(), stringIndexes());
    }
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

    void powerUp(Nanos t) override {
        Chip::powerUp(t);
        init(t);
    }

  private:
    void init([[maybe_unused]] Nanos t) {
        enabled_ = false;
        requested_ = 9600;
        lineCtl_ = 0x0800; // 8N1
        dtr_ = rts_ = false;
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
            // Bits 8 and 9 say which of DTR (bit 0) and RTS (bit 1) to set.
            if ((s.value & 0x100) != 0) {
                dtr_ = (s.value & 1) != 0;
            }
            if ((s.value & 0x200) != 0) {
                rts_ = (s.value & 2) != 0;
            }
            core_.lineState(t, dtr_, rts_);
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
                if (dtr != dtr_ || rts != rts_) {
                    dtr_ = dtr;
                    rts_ = rts;
                    core_.lineState(t, dtr_, rts_);
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
            b.u8((dtr_ ? 0x01 : 0) | (rts_ ? 0x02 : 0)); // no CTS, DSR, RI, DCD
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
    bool dtr_ = false;
    bool rts_ = false;
    std::array<std::uint32_t, 4> flow_{};
    std::array<std::uint8_t, 6> chars_{};
    std::uint16_t eventMask_ = 0;
    std::uint8_t escape_ = 0;
};

// ---------------------------------------------------------------------------
// PL2303TA (pl2303: device class 0, bMaxPacketSize0 64, bcdUSB 0x0200 - which
// gadgetfs writes into every device descriptor -, bcdDevice 0x0300, and the
// status read 0x8080 answered: type TA, whose divisors are the "alt" form)

class Pl2303Chip final : public Chip {
  public:
    explicit Pl2303Chip(Core& core) : Chip(core) { init(0); }
    const char* name() const override { return "pl2303"; }
    std::uint16_t vendorId() const override { return 0x067b; }
    std::uint16_t productId() const override { return 0x2303; }
    std::uint16_t bcdDevice() const override { return 0x0300; }
    bool interruptIn() const override { return true; }
    // Not documented where the model could take it from: 256 bytes assumed.
    std::size_t transmitBuffer() const override { return 256; }

    std::vector<std::uint8_t> device() const override {
        return deviceDescriptor(0, vendorId(), productId(), bcdDevice(), stringIndexes());
    }
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

    void powerUp(Nanos t) override {
        Chip::powerUp(t);
        init(t);
    }

  private:
    void init([[maybe_unused]] Nanos t) {
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

// ---------------------------------------------------------------------------
// Descriptors

std::vector<std::uint8_t> endpointDescriptor(int address, int type, unsigned maxPacket,
                                             unsigned interval) {
    Bytes d;
    d.u8(USB_DT_ENDPOINT_SIZE).u8(USB_DT_ENDPOINT).u8(address).u8(type).u16(maxPacket).u8(interval);
    return d.get();
}

std::vector<std::uint8_t> configurationDescriptor(const std::vector<std::uint8_t>& interfaces,
                                                  unsigned count) {
    Bytes c;
    c.u8(USB_DT_CONFIG_SIZE).u8(USB_DT_CONFIG).u16(USB_DT_CONFIG_SIZE + interfaces.size());
    c.u8(count).u8(1).u8(0).u8(USB_CONFIG_ATT_ONE | USB_CONFIG_ATT_SELFPOWER).u8(50); // 100 mA
    return c.append(interfaces).get();
}

std::vector<std::uint8_t> deviceDescriptor(unsigned deviceClass, unsigned vid, unsigned pid,
                                           unsigned bcdDevice, std::array<unsigned, 3> strings) {
    Bytes d;
    d.u8(USB_DT_DEVICE_SIZE).u8(USB_DT_DEVICE).u16(0x0200);
    d.u8(deviceClass).u8(0).u8(0).u8(64); // ep0's size, set by gadgetfs
    d.u16(vid).u16(pid).u16(bcdDevice);
    d.u8(strings[0]).u8(strings[1]).u8(strings[2]).u8(1); // one configuration
    return d.get();
}

std::vector<std::uint8_t> stringDescriptor(const std::string& text) {
    Bytes d;
    d.u8(2 + 2 * text.size()).u8(USB_DT_STRING);
    for (const char c : text) {
        d.u16(static_cast<unsigned char>(c)); // UTF-16LE of ASCII
    }
    return d.get();
}

std::vector<std::uint8_t> languageDescriptor() {
    Bytes d;
    d.u8(4).u8(USB_DT_STRING).u16(0x0409); // English (United States)
    return d.get();
}

// ---------------------------------------------------------------------------
// Chip

std::array<unsigned, 3> Chip::stringIndexes() const {
    const std::array<const char*, 3> s = strings();
    return {s[0] != nullptr ? 1u : 0u, s[1] != nullptr ? 2u : 0u, s[2] != nullptr ? 3u : 0u};
}

std::optional<std::vector<std::uint8_t>> Chip::string(unsigned index) const {
    const std::array<const char*, 3> s = strings();
    if (index == 0 && (s[0] != nullptr || s[1] != nullptr || s[2] != nullptr)) {
        return languageDescriptor();
    }
    if (index >= 1 && index <= 3 && s[index - 1] != nullptr) {
        return stringDescriptor(s[index - 1]);
    }
    return std::nullopt;
}

std::string Chip::fields(const std::string& raw) const {
    return std::string("\"chip\":\"") + name() + "\"" + (raw.empty() ? "" : "," + raw);
}

void Chip::fromBoard(Nanos, const std::vector<std::uint8_t>& bytes) {
    toHost_.insert(toHost_.end(), bytes.begin(), bytes.end());
}

std::vector<std::uint8_t> Chip::inDue(Nanos, bool) {
    std::vector<std::uint8_t> out;
    out.swap(toHost_);
    return out;
}

void Chip::powerUp(Nanos) {
    toHost_.clear();
}

std::unique_ptr<Chip> makeChip(const std::string& name, Core& core, unsigned fixedLatencyMs) {
    if (name.empty() || name == "acm") {
        return std::make_unique<AcmChip>(core);
    }
    if (name == "ftdi") {
        return std::make_unique<FtdiChip>(core, fixedLatencyMs);
    }
    if (name == "ch340") {
        return std::make_unique<Ch340Chip>(core);
    }
    if (name == "cp2102") {
        return std::make_unique<Cp2102Chip>(core);
    }
    if (name == "pl2303") {
        return std::make_unique<Pl2303Chip>(core);
    }
    return nullptr;
}

const char* chipNames() {
    return "ftdi|ch340|cp2102|pl2303";
}

bool reportsTransmitter(const std::string& name) {
    return name == "ftdi" || name == "cp2102";
}

// ---------------------------------------------------------------------------
// Rates

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

double ch340Rate(std::uint8_t prescaler, std::uint8_t divisor) {
    const unsigned ps = prescaler & 0x3;
    const unsigned fact = (prescaler >> 2) & 0x1;
    const unsigned div = 256 - divisor; // register 0: 256
    const double clockDivider = static_cast<double>(1u << (12 - 3 * ps - fact));
    return 48'000'000 / (clockDivider * div);
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
    constexpr std::size_t room = packetSize - 2;
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

} // namespace usbboard
