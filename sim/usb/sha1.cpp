// SHA-1 as FIPS 180-4 defines it.
#include "sim/usb/sha1.h"

#include <bit>
#include <cstdio>

namespace usbboard {

Sha1::Sha1() : h_{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0} {}

void Sha1::block(const std::uint8_t* p) {
    std::array<std::uint32_t, 80> w{};
    for (std::size_t i = 0; i < 16; ++i) {
        w[i] = std::uint32_t{p[4 * i]} << 24 | std::uint32_t{p[4 * i + 1]} << 16 |
               std::uint32_t{p[4 * i + 2]} << 8 | std::uint32_t{p[4 * i + 3]};
    }
    for (std::size_t i = 16; i < 80; ++i) {
        w[i] = std::rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    }
    std::uint32_t a = h_[0];
    std::uint32_t b = h_[1];
    std::uint32_t c = h_[2];
    std::uint32_t d = h_[3];
    std::uint32_t e = h_[4];
    for (std::size_t i = 0; i < 80; ++i) {
        std::uint32_t f = 0;
        std::uint32_t k = 0;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const std::uint32_t next = std::rotl(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = std::rotl(b, 30);
        b = a;
        a = next;
    }
    h_[0] += a;
    h_[1] += b;
    h_[2] += c;
    h_[3] += d;
    h_[4] += e;
}

void Sha1::add(std::span<const std::uint8_t> bytes) {
    length_ += bytes.size();
    for (const std::uint8_t byte : bytes) {
        buffer_[used_++] = byte;
        if (used_ == buffer_.size()) {
            block(buffer_.data());
            used_ = 0;
        }
    }
}

std::string Sha1::hex() {
    const std::uint64_t bits = length_ * 8;
    const std::uint8_t one = 0x80;
    add({&one, 1});
    const std::uint8_t zero = 0;
    while (used_ != 56) {
        add({&zero, 1});
    }
    std::array<std::uint8_t, 8> tail{};
    for (std::size_t i = 0; i < 8; ++i) {
        tail[i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    }
    add(tail);
    std::string out;
    for (const std::uint32_t word : h_) {
        char digits[9];
        (void)std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(word));
        out += digits;
    }
    return out;
}

std::string sha1Hex(std::span<const std::uint8_t> bytes) {
    Sha1 digest;
    digest.add(bytes);
    return digest.hex();
}

} // namespace usbboard
