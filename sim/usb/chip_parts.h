// What the chips' files share and nothing outside them needs: building
// little-endian descriptors and replies, the log's raw fields, the
// vendor-class interface and configuration, the request types, and the
// factory that each chip's file defines for makeChip.
#pragma once

#include "sim/usb/chips.h"

#include <cstdint>
#include <linux/usb/ch9.h>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace usbboard::detail {

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

inline std::uint32_t le32(std::span<const std::uint8_t> b) {
    return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
           std::uint32_t{b[3]} << 24;
}

// "name":"0x..." with the given number of hex digits.
std::string hexField(const char* name, unsigned value, int digits);

// A vendor-class interface with its endpoints.
std::vector<std::uint8_t> vendorInterface(unsigned subclass, unsigned protocol, unsigned iInterface,
                                          const std::vector<std::vector<std::uint8_t>>& endpoints);
// A full-speed configuration of one vendor-class interface, bus powered.
std::vector<std::uint8_t> vendorConfiguration(const std::vector<std::uint8_t>& interface,
                                              unsigned maxPower2mA);

LineCoding frame(std::uint8_t bits, std::uint8_t parity, std::uint8_t stop);

constexpr std::uint8_t classOut = USB_TYPE_CLASS | USB_RECIP_INTERFACE;
constexpr std::uint8_t classIn = USB_DIR_IN | classOut;
constexpr std::uint8_t vendorOut = USB_TYPE_VENDOR | USB_RECIP_DEVICE;
constexpr std::uint8_t vendorIn = USB_DIR_IN | vendorOut;

// DTR and RTS as a chip keeps them between the requests that set either.
// The FT232R's MODEM_CTRL and the CP2102's SET_MHS code them alike: bits 8
// and 9 say which of DTR (bit 0) and RTS (bit 1) the low byte sets.
struct ModemLines {
    bool dtr = false;
    bool rts = false;

    void set(std::uint16_t value) {
        if ((value & 0x100) != 0) {
            dtr = (value & 1) != 0;
        }
        if ((value & 0x200) != 0) {
            rts = (value & 2) != 0;
        }
    }
};

// One a file: chip_acm.cpp, chip_ft232r.cpp, chip_ch340.cpp, chip_cp2102.cpp,
// chip_pl2303.cpp.
std::unique_ptr<Chip> makeAcm(Core& core);
std::unique_ptr<Chip> makeFt232r(Core& core, unsigned fixedLatencyMs);
std::unique_ptr<Chip> makeCh340(Core& core);
std::unique_ptr<Chip> makeCp2102(Core& core);
std::unique_ptr<Chip> makePl2303(Core& core);

} // namespace usbboard::detail
