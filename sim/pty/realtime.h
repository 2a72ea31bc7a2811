// The board model's surroundings in real time: the clock, the event queue and
// the line that the board model (sim/board.h) expects from its world, for one
// port whose PC end is a pseudo-terminal. Linked instead of sim/world.cpp.
//
// The clock counts nanoseconds on the monotonic clock from the start of the
// program. Events run when the serving loop calls runDue(); the loop sleeps
// until nextEvent() or until the terminal has something.
#pragma once

#include "sim/capture.h"
#include "sim/device.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

namespace rt {

constexpr sim::Nanos never = std::numeric_limits<sim::Nanos>::max();

// Runs every event that is due.
void runDue();
sim::Nanos nextEvent();

// With line time, every byte takes 10 bits at its sender's rate on the line;
// without, bytes cross at once (the rates must still agree).
void setLineTime(bool on);
bool lineTimeImposed();

// The device at the far end of the cable.
void setDevice(sim::detail::Device* device);
// Where intact bytes for the PC go.
void setPcSink(std::function<void(std::uint8_t)> sink);
// Draws the bytes both ways into capture from now on, on this clock: those
// from the program as they set out towards the device, those of the device
// as it sent them, delivered or not. A pseudo-terminal has no modem lines:
// DTR and RTS stay low.
void setCapture(sim::LineCapture* capture);

// What the PC side does, as far as it can be seen from the master, and what it
// must wait for. It follows the program's packets to know which settings
// write is a reset, and adds up the floor of the run: the fixed pauses, the
// read time-outs that run out, the reset pulse and the pause after the scan,
// and the line time where it is imposed.
class Host {
  public:
    // The rate the program's port runs at.
    void setRate(std::uint32_t rate);
    // A settings write; returns true when it ends a reset pulse.
    bool settingsWritten(std::uint32_t rate);
    // The program put back the settings it found at its open, as it closes.
    void settingsRestored(std::uint32_t rate);
    // Bytes from the program, as one read of the master brought them: on to
    // the device, and into the packet parser.
    void fromPc(const std::uint8_t* bytes, std::size_t count);
    // A byte that reached the program intact.
    void toPc(std::uint8_t byte);
    // "key value" lines.
    std::string report() const;

  private:
    struct Exchange {
        bool active = false;
        std::uint8_t command = 0;
        std::uint32_t address = 0;
        std::uint32_t value = 0;
        std::size_t size = 0;
        bool poll = false;
        double rate = 0;
        std::vector<std::uint8_t> reply;
    };

    void parse(std::uint8_t byte);
    void packet(std::vector<std::uint8_t> raw);
    sim::Nanos cost(const Exchange& e) const;
    static bool unanswered(const Exchange& e);
    void settle();

    std::uint32_t rate_ = 38400;
    std::vector<std::uint8_t> buffer_;
    Exchange pending_;
    bool baudSeen_ = false;
    bool released_ = false;
    bool identified_ = false; // the last exchange read the right identity
    bool lastWasReset_ = false;
    bool dataSince_ = false;
    sim::Nanos floor_ = 0;
    sim::Nanos line_ = 0;
    sim::Nanos first_ = -1;
    sim::Nanos last_ = 0;
    sim::Nanos lastSettings_ = -1;
    std::uint64_t packets_ = 0;
    std::uint64_t resets_ = 0;
    std::uint64_t polls_ = 0;
    std::uint64_t timeouts_ = 0;
    std::uint64_t settingsWrites_ = 0;
    std::uint64_t settingsRestores_ = 0;
    // From one block's last byte to the next block's last byte, when blocks
    // follow each other: the pause, the reply and the program's own time.
    sim::Nanos lastBlock_ = -1;
    sim::Nanos blockGaps_ = 0;
    std::uint64_t blockGapCount_ = 0;
};

} // namespace rt
