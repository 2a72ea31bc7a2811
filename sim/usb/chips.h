// The USB serial adapters that usb-board's gadgetfs front can be: the
// modem-class device (the default), and four vendor chips that the host binds
// with their own drivers as /dev/ttyUSBn:
//
//   ftdi    FT232R    0403:6001 bcdDevice 0x0600  ftdi_sio
//   ch340   CH340     1a86:7523 bcdDevice 0x0254  ch341
//   cp2102  CP2102    10c4:ea60 bcdDevice 0x0100  cp210x
//   pl2303  PL2303TA  067b:2303 bcdDevice 0x0300  pl2303
//
// Each chip answers the vendor and class requests that its host driver sends
// at probe, open, settings, line changes and close, and turns them into what
// the adapter does on its UART (core.h): DTR and RTS, the data format, and
// the rate that the chip's clock and divisors really put on the line, which
// differs from the rate the host asked for. What the chip does to timing is
// modelled where the host feels it: the transmit buffer that paces bulk OUT,
// the transmit queue that the drivers' drain waits on, and the FT232R's
// status bytes and latency timer on bulk IN.
//
// Nothing here does I/O: the gadgetfs front carries the requests and bytes,
// and the unit tests drive the chips on the virtual clock.
#pragma once

#include "sim/chip_input.h"
#include "sim/usb/core.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace usbboard {

// The setup stage of a control request.
struct Setup {
    std::uint8_t requestType = 0;
    std::uint8_t request = 0;
    std::uint16_t value = 0;
    std::uint16_t index = 0;
    std::uint16_t length = 0;
    bool in() const { return (requestType & 0x80) != 0; }
};

// What the device does with a control request.
struct Answer {
    enum class Kind { ack, reply, stall };
    Kind kind = Kind::stall;
    std::vector<std::uint8_t> data; // reply: the IN data stage

    static Answer ack() { return {Kind::ack, {}}; }
    static Answer stall() { return {Kind::stall, {}}; }
    static Answer reply(std::vector<std::uint8_t> bytes) { return {Kind::reply, std::move(bytes)}; }
};

// The endpoint numbers that the device controller offers. They differ from
// the real parts' addresses; the host drivers find endpoints by their type.
struct EndpointNumbers {
    int in = 1;
    int out = 2;
    int notify = 5;
};

// Descriptor building blocks.
std::vector<std::uint8_t> endpointDescriptor(int address, int type, unsigned maxPacket,
                                             unsigned interval);
std::vector<std::uint8_t> configurationDescriptor(const std::vector<std::uint8_t>& interfaces,
                                                  unsigned count);
// Strings: the indexes of maker, product and serial number (0: none).
std::vector<std::uint8_t> deviceDescriptor(unsigned deviceClass, unsigned vid, unsigned pid,
                                           unsigned bcdDevice, std::array<unsigned, 3> strings);
// String descriptor 0 (the language list) or a text.
std::vector<std::uint8_t> stringDescriptor(const std::string& text);
std::vector<std::uint8_t> languageDescriptor();

// What the host matches its driver by, and the name usb-board knows the chip
// by.
struct Identity {
    const char* name = ""; // the --chip name, also the log's "chip"; "acm" for the modem class
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t bcdDevice = 0;
    unsigned deviceClass = 0; // 0: each interface names its own
};

class Chip {
  public:
    Chip(Core& core, const Identity& identity) : core_(core), identity_(identity) {}
    virtual ~Chip() = default;
    Chip(const Chip&) = delete;
    Chip& operator=(const Chip&) = delete;

    const char* name() const { return identity_.name; }
    std::uint16_t vendorId() const { return identity_.vendorId; }
    std::uint16_t productId() const { return identity_.productId; }
    std::uint16_t bcdDevice() const { return identity_.bcdDevice; }

    // Descriptors. A part without a high-speed configuration connects at
    // full speed (gadgetfs then offers the controller full speed only).
    std::vector<std::uint8_t> device() const;
    virtual std::vector<std::uint8_t> configuration(const EndpointNumbers& e, bool high) const = 0;
    virtual bool highSpeed() const { return false; }
    virtual bool interruptIn() const { return false; }
    // String descriptors 1, 2, 3: maker, product, serial number.
    std::optional<std::vector<std::uint8_t>> string(unsigned index) const;
    // The bulk endpoints' packet size.
    virtual std::size_t bulkPacket(bool high) const { return high ? 512 : 64; }

    // A class or vendor request; for an OUT request with a data stage, its
    // data. t: when the request came.
    virtual Answer control(Nanos t, const Setup& setup, std::span<const std::uint8_t> data) = 0;
    // The name of an OUT request whose data stage the transport may lose
    // before the chip sees it, for the log; empty for those not worth a line.
    virtual std::string outDataName(const Setup& setup) const = 0;

    // How many bytes the chip's transmit buffer holds before it answers bulk
    // OUT with NAK; 0: no limit (the modem class takes whole packets).
    virtual std::size_t transmitBuffer() const { return 0; }

    // The board's bytes for the host, and the bulk IN transfer that is due
    // at now (empty: none); hostPolls: the host has taken everything sent
    // so far. The default: everything at once.
    virtual void fromBoard(Nanos t, const std::vector<std::uint8_t>& bytes);
    virtual std::vector<std::uint8_t> inDue(Nanos now, bool hostPolls);
    virtual Nanos inWakeAt() const { return never; }
    // Bytes for the host that the chip still holds.
    virtual bool holdsIn() const { return !toHost_.empty(); }
    // Whether transfers must keep their boundaries (each packet's status
    // bytes), or may be joined.
    virtual bool framedIn() const { return false; }
    // The bus connected the chip anew (power-up, replug): registers back to
    // their reset values. makeChip's chips come as at power-up.
    void powerUp(Nanos t);

  protected:
    // The chip's own registers at power-up.
    virtual void init(Nanos t) { (void)t; }
    virtual std::array<const char*, 3> strings() const { return {nullptr, nullptr, nullptr}; }
    // The string indexes for the device descriptor.
    std::array<unsigned, 3> stringIndexes() const;
    // A coding event's fields: the chip and the raw values.
    std::string fields(const std::string& raw) const;

    Core& core_;
    std::vector<std::uint8_t> toHost_;

  private:
    Identity identity_;
};

// nullptr for a name that is no chip. fixedLatencyMs (FT232R): the latency
// timer stays at that many milliseconds whatever the host writes, as on a
// chip whose timer the driver cannot set (0: the host sets it).
std::unique_ptr<Chip> makeChip(const std::string& name, Core& core, unsigned fixedLatencyMs = 0);
const char* chipNames(); // "ftdi|ch340|cp2102|pl2303"
// Whether the chip's driver asks the chip if its transmitter is empty before
// a drain or a close ends (ftdi_sio the line status's TEMT, cp210x the comm
// status's transmit queue): only there does a held transmitter show.
bool reportsTransmitter(const std::string& name);

// ---------------------------------------------------------------------------
// The rate rules: what each chip puts on the line for the register values its
// driver sends.

// FT232R: 3 MHz / (14-bit integer + eighths), the eighths coded in wValue
// bits 14-15 and wIndex bit 0; 0 means 3 MBd and 1 means 2 MBd.
double ft232rRate(std::uint16_t value, std::uint16_t index);
// CH340: 48 MHz / (2^(12 - 3 ps - fact) * (256 - divisor register)),
// ps and fact in the prescaler register (bits 0-1 and 2).
double ch340Rate(std::uint8_t prescaler, std::uint8_t divisor);
// CP2102: the requested rate falls in a band of its rate table, whose rate
// the chip makes as 24 MHz / N, N the nearest whole divisor.
double cp2102Rate(std::uint32_t requested);
// PL2303TA: the standard rates as sent; the divisor form (bit 31 set)
// 12 MHz * 32 / (mantissa * 2^exponent); other direct values run 9600.
double pl2303taRate(std::uint32_t baud);

// The FT232R's bulk IN, shared with the line models that put the chip's
// pieces between the line and the PC's driver.
using sim::FtdiInPipe;

} // namespace usbboard
