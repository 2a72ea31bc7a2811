// A front end: the USB device side that carries the host's requests and bytes
// to the core and the board's replies back, served from usb-board's loop.
#pragma once

#include "sim/usb/core.h"

#include <cstdint>
#include <memory>
#include <poll.h>
#include <string>
#include <vector>

namespace usbboard {

struct FrontOptions {
    std::string udc;      // the device controller to bind (default: the first dummy_udc)
    std::string gadgetfs; // where gadgetfs is mounted or is to be mounted
    std::string chip;     // front gadgetfs: the adapter chip (sim/usb/chips.h); empty: modem class
    unsigned fixedLatencyMs = 0; // FT232R: a latency timer that the host cannot set
};

class Front {
  public:
    virtual ~Front() = default;

    // Creates the device and connects it to the host.
    virtual void start() = 0;
    // Takes the device off the bus and removes what start() made. Must be
    // safe after a failed start() and when called twice.
    virtual void stop() = 0;

    // The descriptors the loop is to wait on, and what came on them (the same
    // descriptors in the same order), as pollfd records.
    virtual void watch(std::vector<pollfd>& fds) = 0;
    virtual void serve(const pollfd* fds) = 0;
    // Work that is due by the clock (sim::now()); when it is next due.
    virtual void tick() {}
    virtual Nanos wakeAt() const { return never; }
    // A signal for the front end came (SIGIO).
    virtual void signalled() {}

    // The host's side can open the port.
    virtual bool ready() const = 0;
    // Bytes from the board for the host, in order.
    virtual void send(const std::vector<std::uint8_t>& bytes) = 0;

    // Faults. The board stops reading its bulk OUT, and reads it again.
    virtual void stallOut() = 0;
    virtual void resumeOut() = 0;
    // Off the bus once the board's last reply has reached the host (or a
    // while later if the host does not take it), and back replugAfter later.
    virtual void unplug(Nanos replugAfter) = 0;
};

std::unique_ptr<Front> makeAcmFront(Core& core, const FrontOptions& options);
std::unique_ptr<Front> makeGadgetfsFront(Core& core, const FrontOptions& options);

} // namespace usbboard
