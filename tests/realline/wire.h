// The line as sigrok reads it, against the board model's event log: a
// capture of usb-board (--capture, a VCD of 100 ns ticks whose header names
// its clock and each wire's stretches of one rate) is cut into one VCD per
// stretch, each decoded by sigrok-cli's UART decoder at the stretch's rate,
// and every decoded byte is held against the log's rx and tx events: the
// same value, its start within one bit of where the log puts it, and no
// logged byte left undecoded.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace realline {

// TXD: the PC's bytes to the board (the log's rx); RXD: the board's replies
// (tx).
enum Wire : int { txd = 0, rxd = 1 };
const char* wireName(int wire);

struct Stretch {
    int wire = txd;
    std::int64_t first = 0; // ticks: the first byte's start bit
    std::int64_t last = 0;  // ticks: the end of the last byte's stop bit
    double rate = 0;
};

struct CaptureHeader {
    std::int64_t originNs = 0; // tick 0 on the log's clock
    std::vector<Stretch> stretches;
};

// Reads the header up to $enddefinitions; false with the reason in `error`.
bool readHeader(std::istream& in, CaptureHeader& header, std::string& error);

// A byte on a wire: where its start bit begins, in nanoseconds on the log's
// clock.
struct WireByte {
    std::int64_t start = 0;
    std::uint8_t value = 0;
};

struct Decoded {
    std::vector<WireByte> bytes[2];
    std::vector<std::string> faults; // framing errors, edges outside the stretches
    double seconds = 0;              // sigrok's time, all slices
    int slices = 0;
};

// Cuts the capture into a VCD per stretch in `workDir` and decodes each with
// `sigrok` (the sigrok-cli program); false when the capture cannot be read or
// sigrok fails, the reason in `error`.
bool decode(const std::string& vcdPath, const std::string& workDir, const std::string& sigrok,
            CaptureHeader& header, Decoded& decoded, std::string& error);

struct Report {
    std::uint64_t compared[2] = {0, 0};     // bytes whose value and start were checked
    std::uint64_t lost[2] = {0, 0};         // of them, lost at their receiver
    std::uint64_t positionOnly[2] = {0, 0}; // start checked, value not logged
    std::int64_t worstNs[2] = {0, 0};       // decoded start less logged start, largest |.|
    double worstBits[2] = {0, 0};
    std::vector<std::string> faults; // the first few, each with its reason
    std::uint64_t faultCount = 0;
};

// Holds the decoded bytes against the log (its text, JSON lines).
Report compare(const std::string& logText, const CaptureHeader& header, const Decoded& decoded);

} // namespace realline
