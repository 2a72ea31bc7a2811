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

// The end of count bytes' write time-outs from startNs, in nanoseconds on the
// same clock; false when there is no limit. Limits is PortTimeouts or the
// Win32 COMMTIMEOUTS, which share the field names.
template <typename Limits>
bool portWriteDeadline(const Limits& limits, std::uint64_t count, std::uint64_t startNs,
                       std::uint64_t* deadlineNs) {
    std::uint64_t ms = 0;
    if (!portWriteLimitMs(limits.WriteTotalTimeoutMultiplier, limits.WriteTotalTimeoutConstant,
                          count, &ms)) {
        return false;
    }
    *deadlineNs = startNs + ms * 1'000'000;
    return true;
}
