// What the adapters have in common: descriptors, the base chip's defaults,
// the helpers of chip_parts.h, and the choice of chip. Each chip's requests,
// rate rule and bulk IN are in a file of its own (chip_*.cpp). What each
// host driver sends and expects is taken from the driver; where the chip's
// own behaviour matters (its clock, its rounding, its buffers), the comments
// there say what the model assumes.
#include "sim/usb/chip_parts.h"

#include <cstdio>

namespace usbboard {

// ---------------------------------------------------------------------------
// Shared by the chips

std::string detail::hexField(const char* name, unsigned value, int digits) {
    char text[64];
    (void)std::snprintf(text, sizeof text, "\"%s\":\"0x%0*x\"", name, digits, value);
    return text;
}

std::vector<std::uint8_t>
detail::vendorInterface(unsigned subclass, unsigned protocol, unsigned iInterface,
                        const std::vector<std::vector<std::uint8_t>>& endpoints) {
    Bytes i;
    i.u8(USB_DT_INTERFACE_SIZE).u8(USB_DT_INTERFACE).u8(0).u8(0).u8(endpoints.size());
    i.u8(USB_CLASS_VENDOR_SPEC).u8(subclass).u8(protocol).u8(iInterface);
    for (const std::vector<std::uint8_t>& e : endpoints) {
        i.append(e);
    }
    return i.get();
}

std::vector<std::uint8_t> detail::vendorConfiguration(const std::vector<std::uint8_t>& interface,
                                                      unsigned maxPower2mA) {
    std::vector<std::uint8_t> c = configurationDescriptor(interface, 1);
    c[7] = USB_CONFIG_ATT_ONE;
    c[8] = static_cast<std::uint8_t>(maxPower2mA);
    return c;
}

LineCoding detail::frame(std::uint8_t bits, std::uint8_t parity, std::uint8_t stop) {
    LineCoding c;
    c.dataBits = bits;
    c.parity = parity;
    c.charFormat = stop;
    return c;
}

// ---------------------------------------------------------------------------
// Descriptors

std::vector<std::uint8_t> endpointDescriptor(int address, int type, unsigned maxPacket,
                                             unsigned interval) {
    detail::Bytes d;
    d.u8(USB_DT_ENDPOINT_SIZE).u8(USB_DT_ENDPOINT).u8(address).u8(type).u16(maxPacket).u8(interval);
    return d.get();
}

std::vector<std::uint8_t> configurationDescriptor(const std::vector<std::uint8_t>& interfaces,
                                                  unsigned count) {
    detail::Bytes c;
    c.u8(USB_DT_CONFIG_SIZE).u8(USB_DT_CONFIG).u16(USB_DT_CONFIG_SIZE + interfaces.size());
    c.u8(count).u8(1).u8(0).u8(USB_CONFIG_ATT_ONE | USB_CONFIG_ATT_SELFPOWER).u8(50); // 100 mA
    return c.append(interfaces).get();
}

std::vector<std::uint8_t> deviceDescriptor(unsigned deviceClass, unsigned vid, unsigned pid,
                                           unsigned bcdDevice, std::array<unsigned, 3> strings) {
    detail::Bytes d;
    d.u8(USB_DT_DEVICE_SIZE).u8(USB_DT_DEVICE).u16(0x0200);
    d.u8(deviceClass).u8(0).u8(0).u8(64); // ep0's size, set by gadgetfs
    d.u16(vid).u16(pid).u16(bcdDevice);
    d.u8(strings[0]).u8(strings[1]).u8(strings[2]).u8(1); // one configuration
    return d.get();
}

std::vector<std::uint8_t> stringDescriptor(const std::string& text) {
    detail::Bytes d;
    d.u8(2 + 2 * text.size()).u8(USB_DT_STRING);
    for (const char c : text) {
        d.u16(static_cast<unsigned char>(c)); // UTF-16LE of ASCII
    }
    return d.get();
}

std::vector<std::uint8_t> languageDescriptor() {
    detail::Bytes d;
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

void Chip::powerUp(Nanos t) {
    toHost_.clear();
    init(t);
}

std::vector<std::uint8_t> Chip::device() const {
    return deviceDescriptor(identity_.deviceClass, vendorId(), productId(), bcdDevice(),
                            stringIndexes());
}

std::unique_ptr<Chip> makeChip(const std::string& name, Core& core, unsigned fixedLatencyMs) {
    std::unique_ptr<Chip> chip;
    if (name.empty() || name == "acm") {
        chip = detail::makeAcm(core);
    } else if (name == "ftdi") {
        chip = detail::makeFt232r(core, fixedLatencyMs);
    } else if (name == "ch340") {
        chip = detail::makeCh340(core);
    } else if (name == "cp2102") {
        chip = detail::makeCp2102(core);
    } else if (name == "pl2303") {
        chip = detail::makePl2303(core);
    }
    if (chip) {
        chip->powerUp(0);
    }
    return chip;
}

const char* chipNames() {
    return "ftdi|ch340|cp2102|pl2303";
}

bool reportsTransmitter(const std::string& name) {
    return name == "ftdi" || name == "cp2102";
}

} // namespace usbboard
