// The board behind a USB modem-class serial adapter: what the host's requests
// and bytes do to the board model (sim/board.h), what comes back, and the
// event log of it all.
//
// The adapter is the simplest there is: a UART at the line coding that the
// host set last, and the DTR line that the host set last, wired to the
// board's reset. So:
//
// - DTR asserted holds the board in reset; from its release the board runs
//   as after power-on (debug port at 38400, core running, memory kept).
// - A byte reaches the board only while the coding is 8N1 and its rate lies
//   within 2 % of the board's UART rate; otherwise it is lost, as a UART loses
//   it. Likewise the board's replies reach the host only at a coding that
//   matches the rate they were sent at.
// - Bytes from the host cross the UART at 10 bits a byte at the coding's rate,
//   one after the other: a burst is taken by the board when its last byte has
//   crossed, and a reply goes to the host when its last byte has come out of
//   the board.
//
// The core knows nothing of USB or of the real clock: the front ends (the
// kernel's ACM function watched through usbmon, or gadgetfs) tell it what
// the host did and when, in the clock of sim/device.h (sim::now), and carry
// its replies. The same core runs on the virtual clock of sim/world.cpp in
// the unit tests and on the real one of sim/pty/realtime.cpp in usb-board.
#pragma once

#include "sim/board.h"
#include "sim/capture.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace usbboard {

using sim::Nanos;

constexpr Nanos never = std::numeric_limits<Nanos>::max();

// The seven bytes of SET_LINE_CODING and GET_LINE_CODING.
struct LineCoding {
    std::uint32_t rate = 9600;   // dwDTERate
    std::uint8_t charFormat = 0; // bCharFormat: 0 one stop bit, 1 one and a half, 2 two
    std::uint8_t parity = 0;     // bParityType: 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint8_t dataBits = 8;   // bDataBits

    static std::optional<LineCoding> parse(std::span<const std::uint8_t> bytes);
    std::array<std::uint8_t, 7> bytes() const;
    bool eightN1() const { return dataBits == 8 && parity == 0 && charFormat == 0; }
    bool operator==(const LineCoding&) const = default;
};

// A UART running at `receiver` baud takes bytes sent at `sender` baud.
bool uartTakes(double sender, double receiver);

// Blocks of more bytes than this are logged by length and SHA-1.
constexpr std::size_t logHexLimit = 64;

class Core {
  public:
    struct Hooks {
        // One line of the event log, a JSON object without the newline.
        std::function<void(const std::string&)> log;
        // Bytes for the host, in order (the adapter's bulk IN).
        std::function<void(const std::vector<std::uint8_t>&)> toHost;
        // The reply to the nth block-write packet (counted from 1) has gone to
        // the host (or was lost on the way).
        std::function<void(int)> blockAnswered;
    };

    // busOffset: what to add to sim::now() to get the bus time of the log, in
    // nanoseconds.
    Core(Hooks hooks, Nanos busOffset);
    Core(const Core&) = delete;
    Core& operator=(const Core&) = delete;

    sim::Board& board() { return board_; }
    // The coding, its rate rounded; rate() is the rate on the line.
    const LineCoding& coding() const { return coding_; }
    double rate() const { return rate_; }
    bool dtr() const { return dtr_; }
    bool rts() const { return rts_; }
    int blockWrites() const { return blocks_; }

    // What the host did at time t (sim::now()'s clock, not later than now).
    void lineState(Nanos t, bool dtr, bool rts);
    void lineCoding(Nanos t, const LineCoding& coding);
    // A coding set through a chip's own registers: `rate` is what the chip
    // really puts on the line, `fields` the JSON members that the log adds
    // (the chip and the raw values behind the rate).
    void lineCoding(Nanos t, const LineCoding& coding, double rate, const std::string& fields);
    // One bulk OUT transfer, or a piece of one, that came at t. While the
    // board stalls, the bytes wait for its resume.
    void fromHost(Nanos t, std::span<const std::uint8_t> bytes);

    // The adapter's transmit side: bytes taken from the host that have not
    // yet fully crossed the UART at time t (t not before the last fromHost),
    // those that a stall or a hold keeps back included; and when no more
    // than `count` of those on the line will be left.
    std::size_t outQueued(Nanos t) const;
    Nanos outQueuedAtMost(std::size_t count) const;
    // The adapter throws away what it has not started to send.
    void purgeOut(Nanos t);

    // The board stops reading bulk OUT (stall), or the adapter goes on
    // taking bulk OUT but its transmitter sends nothing (hold); resume ends
    // either: what came in between crosses the UART from then on.
    void stall(Nanos t);
    void hold(Nanos t);
    void resume(Nanos t);
    bool stalled() const { return stalled_; }
    bool holding() const { return holding_; }

    // The adapter went off the bus (its lines drop with it) and came back.
    void unplugged(Nanos t);
    void replugged(Nanos t);
    // Log lines about the front end's own faults and troubles.
    void note(Nanos t, const std::string& event, const std::string& fields = {});
    // The closing memory event: ranges given, or the ranges the PC wrote.
    void logMemory(std::vector<sim::Range> ranges);

    std::int64_t busMicros(Nanos t) const;
    Nanos busOffset() const { return busOffset_; }

    // Draws the line into capture from now on, on the log's bus clock: the
    // lines as the host sets them, the bytes as they cross the UART (those a
    // purge or a stall kept off it excepted) and the board's replies (those
    // a reset cancelled excepted), delivered or lost.
    void captureTo(sim::LineCapture* capture) { capture_ = capture; }

  private:
    struct Burst {
        std::uint64_t id = 0;
        Nanos t0 = 0;
        Nanos t1 = 0;
        std::vector<std::uint8_t> bytes;
        int pieces = 0; // still on the line
        int lost = 0;
    };
    // The bytes of one fromHost, on the line one after the other; the board
    // takes them at `due`.
    struct Piece {
        std::uint64_t id = 0;
        std::uint64_t burst = 0;
        Nanos start = 0;
        double rate = 0;
        sim::Framing framing;
        std::vector<sim::LineByte> bytes;
        std::size_t keep = 0; // the rest was thrown away before it started
        Nanos due = 0;
    };
    static std::size_t bytesDone(const Piece& piece, Nanos t);

    void schedule(const Piece& piece);
    void deliver(std::uint64_t piece, Nanos due);
    void replied(const sim::Packet& packet);
    void release(Nanos t);
    void write(const std::string& line);

    Hooks hooks_;
    Nanos busOffset_;
    sim::Board board_;
    LineCoding coding_;
    double rate_ = 9600;
    bool dtr_ = false;
    bool rts_ = false;
    bool connected_ = true;
    std::uint64_t generation_ = 0; // bumped by a reset or an unplug: cancels replies
    Nanos lineFree_ = 0;
    std::deque<Burst> bursts_;
    std::uint64_t nextBurst_ = 1;
    std::deque<Piece> pieces_; // on the line or waiting for it, in order
    std::uint64_t nextPiece_ = 1;
    bool stalled_ = false;
    bool holding_ = false;
    std::vector<std::uint8_t> held_; // came while stalled or holding
    int blocks_ = 0;
    sim::LineCapture* capture_ = nullptr;
};

} // namespace usbboard
