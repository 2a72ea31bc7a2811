// The UART decoder: the bytes on one wire, 8 data bits, no parity, one stop
// bit, and the rate each run of them was sent at, measured from the wire.
//
// The wire idles high. A frame begins with a falling edge after idle (the
// start bit); every later edge of the frame falls a whole number of bit
// times after that edge. The decoder splits the wire into bursts where it
// idles for 2 ms or more, finds each burst's bit time from its edges (its
// shortest low is one, two or a few bit times), joins bursts that decode at
// one bit time into a stretch, and then measures each stretch's bit time
// from all of its edges: a least-squares fit of each edge's distance from
// its frame's start edge against the whole number of bits it spans.
#pragma once

#include "tools/station/vcd.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace station {

struct Frame {
    Time start = 0; // the start bit's falling edge
    Time end = 0;   // the end of the stop bit: ten bit times later
    std::uint8_t value = 0;
    bool ok = true; // start bit low and stop bit high where sampled
    std::size_t stretch = 0;
};

// A run of frames at one rate.
struct Stretch {
    Time first = 0;     // the first frame's start
    Time last = 0;      // the last frame's end
    double bitTime = 0; // picoseconds
    double rate = 0;    // 1 / bitTime, bits per second
    std::size_t frames = 0;
    std::size_t errors = 0; // framing errors
    double worstEdge = 0;   // the largest distance of an edge from its bit boundary, in bits
};

struct Decoded {
    std::vector<Frame> frames;
    std::vector<Stretch> stretches;
    // Lows of 2 ms or more: a break, a wire held low, no UART's frame.
    std::vector<std::pair<Time, Time>> lowSpans;
};

Decoded decodeUart(const Signal& wire);

} // namespace station
