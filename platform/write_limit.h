// The write time-outs' rule, which the ports of both systems keep: count
// bytes get the multiplier per byte plus the constant, in milliseconds; both
// 0 means no limit.
#pragma once

#include <cstdint>

// The limit for count bytes in *ms, at most 2^40 ms (about 35 years, so that
// no sum with it overflows); false when there is none.
inline bool portWriteLimitMs(std::uint32_t multiplier, std::uint32_t constant, std::uint64_t count,
                             std::uint64_t* ms) {
    if (multiplier == 0 && constant == 0) {
        return false;
    }
    constexpr std::uint64_t longest = std::uint64_t{1} << 40;
    const std::uint64_t total = count < longest / (std::uint64_t{multiplier} + 1)
                                    ? std::uint64_t{multiplier} * count + constant
                                    : longest;
    *ms = total < longest ? total : longest;
    return true;
}
