// What a USB serial adapter's chip does with the bytes that its UART takes
// off the line before the PC's driver has them: the pieces they reach the
// driver in, and when. The virtual world (sim/world.cpp) and board-sim put
// one between the line and the PC's input; usb-board's FT232R
// (sim/usb/chips.h) frames its bulk IN with FtdiInPipe.
//
// Per chip, from its Linux driver (drivers/usb/serial/ of Linux 6.1):
//
//   ft232r  ftdi_sio reads 512-byte transfers and takes every 64-byte packet
//           apart (ftdi_process_read_urb): two status bytes, then at most 62
//           data bytes. The chip sends a packet when 62 bytes have come, and
//           what it has when its latency timer runs out (FtdiInPipe): 16 ms
//           as the chip starts and as the Windows driver leaves it, 1 ms once
//           a port asks ftdi_sio for low latency (write_latency_timer), as
//           the program does on Linux.
//   ch340   ch341 sets bit 7 of the prescaler register with every rate
//           (ch341_set_baudrate_lcr, chip versions above 0x27); without it
//           the chip keeps bytes until a full 32-byte packet has come. With
//           it, the chip sends what it has at the host's next poll; the
//           driver reads one 32-byte packet a transfer.
//   cp2102  cp210x reads 256-byte transfers of 64-byte packets and passes
//           them on as they are (cp210x_process_read_urb; event insertion
//           only with INPCK, which the program leaves off). No timer to set.
//   pl2303  pl2303 reads 256-byte transfers of 64-byte packets; the line
//           status comes on the interrupt endpoint, not among the data. No
//           timer to set.
//
// The host polls a bulk IN endpoint again and again within each 1 ms frame,
// so a chip without a timer sends each byte on the first poll after its stop
// bit: at the line's pace every byte is a piece of its own, and no piece
// comes near a transfer's size.
#pragma once

#include "sim/sim.h"

#include <array>
#include <cstdint>
#include <deque>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim {

// The FT232R's bulk IN: every 64-byte packet starts with the modem and line
// status bytes; received bytes that do not fill a packet wait until the
// latency timer runs out, and with nothing received a status-only packet
// still goes out each time it runs out. The timer starts again with every
// packet sent.
class FtdiInPipe {
  public:
    static constexpr std::size_t packetSize = 64;
    static constexpr std::size_t room = packetSize - 2; // data bytes a packet

    void start(Nanos now);
    void setLatency(Nanos latency) { latency_ = latency; }
    Nanos latency() const { return latency_; }
    void add(std::span<const std::uint8_t> bytes);
    void clear() { pending_.clear(); }
    std::size_t pending() const { return pending_.size(); }
    // The packets that go out at now, as one transfer: full packets, then the
    // short one when the timer ran out. Nothing while the host has not
    // taken the last transfer.
    std::vector<std::uint8_t> due(Nanos now, bool hostPolls, std::array<std::uint8_t, 2> status);
    Nanos wakeAt() const { return expired_ ? std::numeric_limits<Nanos>::max() : expiry_; }
    // The host polled all along while the chip had nothing: a status-only
    // packet went out at each expiry up to now (one due now included), each
    // starting the timer again. What due() at every expiry would have left.
    void idleUntil(Nanos now);

  private:
    std::deque<std::uint8_t> pending_;
    Nanos latency_ = ms(16);
    Nanos expiry_ = 0;
    bool expired_ = false;
};

// "ftdi", "ch340", "cp2102", "pl2303" (usb-board's --chip names); nullopt for
// any other.
std::optional<AdapterChip> adapterChipNamed(const std::string& name);

// A chip's receive side as its driver reads it while the port is open.
class ChipInput {
  public:
    // latency: the FT232R's latency timer (the others have none).
    ChipInput(AdapterChip chip, Nanos latency);

    // The driver's reads begin (the port opened; ftdi_sio's open resets the
    // chip's buffers): nothing held, the FT232R's timer from now.
    void start(Nanos now);
    // A byte that the chip's UART took off the line at now.
    void add(Nanos now, std::uint8_t byte);
    // The piece that reaches the driver at now; empty: none.
    std::vector<std::uint8_t> due(Nanos now);
    // When the next piece is due; never while the chip holds nothing.
    Nanos wakeAt() const;

  private:
    AdapterChip chip_;
    FtdiInPipe pipe_;
    std::vector<std::uint8_t> held_; // the chips that send at once
    Nanos lastAdded_ = 0;
};

} // namespace sim
