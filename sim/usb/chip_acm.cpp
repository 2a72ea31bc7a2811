// The modem class: what the gadgetfs front always was, and the chip it is
// without --chip. The kernel's cdc-acm driver binds it as /dev/ttyACMn.
#include "sim/usb/chip_parts.h"

namespace usbboard {
namespace {

using namespace detail;

class AcmChip final : public Chip {
  public:
    // 1d6b:0104, the kernel's id for tests.
    explicit AcmChip(Core& core) : Chip(core, {"acm", 0x1d6b, 0x0104, 0x0100, USB_CLASS_COMM}) {}
    bool highSpeed() const override { return true; }
    bool interruptIn() const override { return true; }

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

} // namespace

std::unique_ptr<Chip> detail::makeAcm(Core& core) {
    return std::make_unique<AcmChip>(core);
}

} // namespace usbboard
