// What usb-board needs of the machine: sysfs and configfs files, the clocks,
// and the host's end of a dummy_hcd bus (for runs where host and device are
// the same machine).
#pragma once

#include "sim/sim.h"

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace usbboard {

// A failure of the machine, with errno's text when there is one.
class SystemError : public std::runtime_error {
  public:
    explicit SystemError(const std::string& what);
};

void writeFile(const std::string& path, const std::string& text);
std::optional<std::string> readFile(const std::string& path);
std::string readLine(const std::string& path); // first line, throws when missing
std::vector<std::string> listDir(const std::string& path);
bool exists(const std::string& path);

// What to add to sim::now() to get the time of CLOCK_REALTIME or
// CLOCK_MONOTONIC, in nanoseconds.
sim::Nanos clockOffset(int clock);

// The host's side of dummy_hcd: the bus numbers behind dummy_udc.N, and the
// ACM terminal that the host made for the device on it (/dev/ttyACMn), if
// any. With index < 0, any dummy_hcd bus.
std::vector<int> dummyBuses(int index);
std::optional<std::string> dummyHostTty(int index);
// The N of "dummy_udc.N", or -1.
int dummyIndex(const std::string& udc);

// Writes one line of text to standard error, prefixed "usb-board: ".
void warn(const std::string& text);

} // namespace usbboard
