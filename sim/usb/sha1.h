// SHA-1 of byte strings, for the event log's digests of long blocks and of
// the board's memory. Not for security.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace usbboard {

class Sha1 {
  public:
    Sha1();
    void add(std::span<const std::uint8_t> bytes);
    // The digest as 40 lower-case hex digits; the object is spent afterwards.
    std::string hex();

  private:
    void block(const std::uint8_t* p);

    std::array<std::uint32_t, 5> h_;
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t used_ = 0;
    std::uint64_t length_ = 0;
};

std::string sha1Hex(std::span<const std::uint8_t> bytes);

} // namespace usbboard
