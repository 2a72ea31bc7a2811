// The virtual world behind the platform seam: a clock, thirty-two serial
// ports, the devices attached to them and the console.
//
// Linking updater_sim provides every serial port call and platSleep of
// platform/platform.h; linking updater_sim_console adds platOut, platErr and
// platGetKey, captured in memory. Nothing here touches the real machine,
// except the optional real-time pacing, which makes every advance of the
// virtual clock also pass in real time.
//
// Time is counted in nanoseconds of virtual time from the last resetWorld();
// platClockNs reads it. The clock moves only when the program under test
// waits: platSleep, platSleepUntilNs, platDrain and platRead. Writes hand
// their bytes to the line and return at once.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

class Board;
class LineCapture;

using Nanos = std::int64_t;
constexpr Nanos nanosPerMs = 1'000'000;
constexpr Nanos ms(std::int64_t n) {
    return n * nanosPerMs;
}
constexpr Nanos us(std::int64_t n) {
    return n * 1'000;
}
constexpr double toMs(Nanos t) {
    return static_cast<double>(t) / nanosPerMs;
}

// ---------------------------------------------------------------------------
// World and clock

// Everything back to the start: clock 0, every port absent and closed, no
// boards, no keys, empty console, empty logs, pacing off.
void resetWorld();

Nanos now();

// Advances the virtual clock, running whatever happens on the lines and in the
// boards meanwhile (what platSleep does, without the platform call).
void advance(Nanos duration);

// When on, every advance of the virtual clock also waits the same real time
// (a demo then runs at the real line speed).
void setRealTimePacing(bool on);

// Things the program under test did that a real port would not survive or
// would hang on: a read that could never end, a call on a handle that is not
// open, and the like. Empty in a sound run.
const std::vector<std::string>& anomalies();

// ---------------------------------------------------------------------------
// Ports COM1..COM32

enum class PortKind {
    Absent,          // the open fails: no such port
    Busy,            // the open fails: another program holds the port
    RefusesSettings, // opens, but reading and writing the settings fail
    Silent,          // opens and works, nothing attached
    Echo,            // another device, which sends every byte straight back
    Board,           // the receiver board (see sim/board.h)
};

// The chip of a USB serial adapter between the line and the PC's driver
// (sim/chip_input.h); none: a UART, whose driver has each byte as it arrives.
enum class AdapterChip { none, ft232r, ch340, cp2102, pl2303 };

// Line bytes as the simulator saw them.
struct LineByte {
    std::uint8_t value = 0;
    Nanos start = 0;        // first bit on the line
    Nanos end = 0;          // last bit on the line: the byte arrives now
    double rate = 0;        // the sender's rate, bits per second
    bool frameOk = false;   // the sender ran 8 data bits, no parity, 1 stop bit
    bool delivered = false; // the receiver took it intact
};

struct WriteRecord {
    Nanos time = 0;  // when platWrite was called
    Nanos start = 0; // first byte on the line
    Nanos end = 0;   // last byte has left
    std::uint32_t rate = 0;
    std::uint8_t byteSize = 8; // the framing the PC sent them with
    std::uint8_t parity = 0;
    std::uint8_t stopBits = 0;
    std::vector<std::uint8_t> bytes;
};

// Bytes that reached the PC's input together.
struct PieceRecord {
    Nanos time = 0;
    std::vector<std::uint8_t> bytes;
};

struct ReadRecord {
    Nanos start = 0;
    Nanos end = 0;
    std::uint32_t requested = 0;
    std::vector<std::uint8_t> bytes; // what the read returned
};

struct DtrRecord {
    Nanos time = 0;
    bool high = false;
};

struct SettingsRecord {
    Nanos time = 0;
    PortSettings settings;
    bool accepted = false;
};

struct TimeoutsRecord {
    Nanos time = 0;
    PortTimeouts timeouts;
};

// What a port is and how it behaves. References stay valid until resetWorld().
struct PortSetup {
    PortKind kind = PortKind::Absent;
    // The port's settings record: what it reports and runs at. It starts at
    // 9600 baud 8N1 with nothing else set, each accepted write replaces it,
    // and it persists across close and open, as a driver keeps it.
    PortSettings settings = defaultSettings();
    // Likewise the time-outs; all zero at the start: a read waits for every
    // byte.
    PortTimeouts timeouts{};
    bool refuseTimeouts = false;
    bool refuseDtr = false;
    // A USB serial adapter: its driver ends a drain as soon as the adapter has
    // taken the bytes, while they still cross the line at its rate. (A UART's
    // drain, the default, ends when the last byte has left the line.)
    bool drainEndsBeforeLine = false;
    // The adapter's chip: the device's bytes reach the PC's input in the
    // pieces that chip hands its driver, at its times (sim/chip_input.h).
    // Taken at each open.
    AdapterChip chip = AdapterChip::none;
    // The FT232R's latency timer: 16 ms as the chip starts and as the Windows
    // driver leaves it; 1 ms once a port asks Linux's ftdi_sio for low
    // latency, as the program does on Linux. It runs from the open.
    Nanos latencyTimer = ms(16);
    // Decides whether the port takes a settings record (default: any record
    // with a nonzero rate).
    std::function<bool(const PortSettings&)> acceptSettings;
    // Sees every byte as it arrives at either end, before the receiver: may
    // change the value; returning false loses the byte (line noise).
    std::function<bool(LineByte& byte, bool towardsPc)> lineFilter;

    static PortSettings defaultSettings();
};

// Everything recorded about a port since the world was reset.
struct PortLog {
    int opens = 0;
    bool open = false;
    bool dtr = false;
    std::vector<DtrRecord> dtrChanges; // every change of the line, whatever the cause
    std::vector<SettingsRecord> settingsWritten;
    std::vector<TimeoutsRecord> timeoutsWritten;
    std::vector<WriteRecord> writes;
    std::vector<ReadRecord> reads;
    std::vector<LineByte> arrivals;  // bytes from the device, intact or lost
    std::vector<PieceRecord> pieces; // the intact ones as they reached the PC's input
    std::size_t discarded = 0;       // received bytes thrown away unread
    std::uint64_t stalls = 0;        // times the line stopped taking bytes for a while
    std::uint64_t thrownAway = 0;    // written bytes a failed drain or the close threw away

    std::vector<std::uint8_t> sentBytes() const;     // all writes, in order
    std::vector<std::uint8_t> receivedBytes() const; // all reads, in order
};

// Sets up port n (1..32) as the given kind. For PortKind::Board use
// attachBoard, which returns the board.
PortSetup& setPort(int n, PortKind kind);
PortSetup& portSetup(int n);
const PortLog& portLog(int n);
// The rate and settings the PC side runs at now.
const PortSettings& pcSettings(int n);

// The line of port n since the world was reset, as a logic analyzer records
// it: what the PC wrote on TXD, what the device sent on RXD, DTR (sim/capture.h;
// RTS stays low, as the program never raises it).
LineCapture captureLine(int n);

// Puts a fresh board on port n and returns it; it lives until resetWorld().
Board& attachBoard(int n);
Board& board(int n);

// The cable comes out: from now on platRead and platWrite on the port fail,
// and nothing more reaches either end. The port can still be closed.
void unplug(int n);

// The line stops taking bytes, as a USB adapter whose far end hangs: from now
// on nothing more leaves the PC's end. Writes fill the driver's output queue
// and then wait, drains wait for the queue, each until its write time-out
// (counted as the port counts it: the bytes written since the last drain
// ended, from the first of them), and fail; a drain that fails throws the
// queue away, and so does closing the port. What the board sends still
// arrives. It lasts until the world is reset, or for `duration`: then the
// line takes bytes again, the queue first, at the line's rate.
void stopTakingBytes(int n, Nanos duration = -1);

// ---------------------------------------------------------------------------
// Console (updater_sim_console)

// All console text in order; each stretch written to standard error is
// enclosed in "<<" and ">>", e.g. "<<check COM1>> OK\n".
std::string transcript();
std::string stdoutText();
std::string stderrText();
void clearConsole();
// Also copy the text to the real console (to watch a test or a demo).
void setConsoleEcho(bool on);

// Keys for platGetKey, taken in order; platGetKey returns -1 once none is left.
void pushKeys(std::string_view keys);
void pushKey(int code);
std::size_t keysLeft();

namespace detail {
// Registers a function that resetWorld() calls (used by the console piece).
void onReset(std::function<void()> hook);
} // namespace detail

} // namespace sim
