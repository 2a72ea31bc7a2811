// What the world offers to the devices at the far end of a port, and what a
// device must offer to the world. Not for tests.
#pragma once

#include "sim/sim.h"

#include <functional>

namespace sim::detail {

class Device {
  public:
    virtual ~Device() = default;
    // A byte from the PC has reached the device's end of the cable, at
    // byte.end. The device decides whether it can take it.
    virtual void receive(LineByte byte) = 0;
    // The PC changed its DTR line.
    virtual void dtrChanged(bool high) { (void)high; }
    // The device has been taken off its port: it must send nothing more.
    virtual void detach() {}
};

// Runs fn when the virtual clock reaches at (never earlier than now).
void schedule(Nanos at, std::function<void()> fn);

// Hands a byte that the device sent to the PC's end of the cable. Called when
// the byte has fully arrived (at byte.end).
void arriveAtPc(int port, LineByte byte);

// Line time of count bytes of 10 bits at the given rate.
Nanos lineTime(double rate, std::uint64_t count);

// Whether a receiver at rate `receiver` takes bytes sent at rate `sender`.
bool ratesMatch(double sender, double receiver);

} // namespace sim::detail
