// The receiver board as the PC meets it through its UART debug port: a packet
// parser, the ARC core's registers and memory, the reset line and the baud
// divisor, with switches for the ways a real board has been seen to fail.
//
// Get one with sim::attachBoard(n). Set config and faults before the program
// under test runs; read the logs and the state afterwards.
#pragma once

#include "sim/device.h"
#include "sim/sim.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sim {

// Command codes as the board's debug port knows them (the first packet byte).
namespace cmd {
constexpr std::uint8_t writeMem = 0;
constexpr std::uint8_t writeCore = 1;
constexpr std::uint8_t writeAux = 2;
constexpr std::uint8_t setBaud = 3; // low 6 bits of the baud packet's first byte
constexpr std::uint8_t readMem = 4;
constexpr std::uint8_t readCore = 5;
constexpr std::uint8_t readAux = 6;
constexpr std::uint8_t writeBlock = 8;
} // namespace cmd

namespace reg {
constexpr std::uint32_t status = 0x0;
constexpr std::uint32_t lpStart = 0x2;
constexpr std::uint32_t lpEnd = 0x3;
constexpr std::uint32_t identity = 0x4;
constexpr std::uint32_t debug = 0x5;
constexpr std::uint32_t icIvic = 0x10;
constexpr std::uint32_t dcCtrl = 0x48;
constexpr std::uint32_t dcFlsh = 0x4B;
constexpr std::uint32_t r1 = 1;
constexpr std::uint32_t lpCount = 60;
constexpr std::uint32_t haltBit = 0x02000000;
} // namespace reg

// The board's UART clock: rate = uartClock / (4 * (divisor + 1)).
constexpr double uartClock = 130'500'000.0;
constexpr std::uint32_t resetDivisor = 849; // 38400 baud, the rate after reset

// One packet as the board took it, with what it did and answered.
struct Packet {
    Nanos time = 0;                  // its last byte arrived
    std::uint8_t command = 0;        // cmd::*; a baud packet shows cmd::setBaud
    std::uint32_t address = 0;       // address or register number (0 for baud)
    std::uint32_t value = 0;         // value written or read; divisor for baud
    std::vector<std::uint8_t> data;  // block-write data
    std::vector<std::uint8_t> raw;   // the packet's bytes
    std::uint8_t status = 0;         // the status the board gave
    std::vector<std::uint8_t> reply; // what the board put on the line
    Nanos replyStart = 0;
};

// The nth packet of a command (counted from 1 since the board was attached,
// only those at `address` when given) is refused with `status` and not
// carried out; with andAfter, every later matching packet too.
struct StatusFault {
    std::uint8_t command = 0;
    int nth = 1;
    std::uint8_t status = 1;
    bool andAfter = false;
    std::optional<std::uint32_t> address;
    int seen = 0; // kept by the board
};

// The reply to the nth packet of a command loses all but `keep` bytes (0: no
// reply at all). The packet itself is carried out.
struct ReplyFault {
    std::uint8_t command = 0;
    int nth = 1;
    std::size_t keep = 0;
    bool andAfter = false;
    std::optional<std::uint32_t> address;
    int seen = 0; // kept by the board
};

struct BoardConfig {
    std::uint32_t identity = 0x03020108;
    // After a STATUS write that clears H, the downloaded program runs this
    // long and then halts the core.
    Nanos runTime = ms(3000);
    // Status for a core register number outside the debug port's reach (128 up).
    std::uint8_t badRegisterStatus = 1;
    // Value bytes sent ahead of a nonzero status in a read reply.
    std::uint32_t failedReadValue = 0;
    // The byte that answers a baud packet.
    std::uint8_t baudReply = 0;
};

struct BoardFaults {
    // Highest rate the board's UART can run (0: no limit). Above it (with the
    // 3% tolerance of a UART) bytes are lost in both directions.
    std::uint32_t maxBaud = 0;
    std::vector<StatusFault> status;
    std::vector<ReplyFault> replies;
    bool r1NoReadback = false;    // reads of r1 return the complement
    bool pcNeverAdvances = false; // a step leaves STATUS as it was
    std::int32_t stepAdvance = 4; // bytes a step moves the program counter
    bool stepFlagOnly = false;    // a step toggles stepFlag, pc stays
    std::uint32_t stepFlag = 0x80000000;
    bool neverHalts = false; // the released program never halts the core
    Nanos replyDelay = 0;    // between a packet's last byte and its reply
};

// Memory byte range [first, end).
using Range = std::pair<std::uint64_t, std::uint64_t>;

struct Release {
    Nanos time = 0;
    std::uint32_t status = 0; // the STATUS value written (H clear)
};

class Board final : public detail::Device {
  public:
    explicit Board(int port);

    BoardConfig config;
    BoardFaults faults;
    // Called after every packet the board carried out or refused; a test can
    // pull the cable here (sim::unplug) or change faults mid-run.
    std::function<void(const Packet&)> onPacket;
    // Called with each packet as parsed, before the faults are looked up and
    // before it is carried out; a test can switch faults for this very packet.
    std::function<void(const Packet&)> beforePacket;

    // Fault shorthands.
    void failNth(std::uint8_t command, int nth, std::uint8_t status = 1, bool andAfter = false);
    void dropReply(std::uint8_t command, int nth, bool andAfter = false);
    void truncateReply(std::uint8_t command, int nth, std::size_t keep, bool andAfter = false);

    // Logs.
    const std::vector<Packet>& packets() const { return packets_; }
    std::vector<Packet> packetsOf(std::uint8_t command) const;
    // Bytes that started no known packet and were skipped.
    const std::vector<std::uint8_t>& strayBytes() const { return stray_; }
    // Bytes lost on the way in: wrong rate, bad frame, too fast.
    int lostBytes() const { return lost_; }
    const std::vector<Release>& releases() const { return releases_; }
    int steps() const { return steps_; }
    int resets() const { return resets_; }

    // State.
    double rate() const;
    std::uint32_t divisor() const { return divisor_; }
    bool heldInReset() const { return dtrHigh_; }
    std::uint32_t status() const { return status_; }
    std::uint32_t pc() const { return (status_ & 0x00FFFFFF) << 2; } // byte address
    bool halted() const { return (status_ & reg::haltBit) != 0; }
    std::uint32_t aux(std::uint32_t n) const;
    std::uint32_t core(std::uint32_t n) const;
    void setAux(std::uint32_t n, std::uint32_t value);
    void setCore(std::uint32_t n, std::uint32_t value);

    // Memory: bytes never written read as 0.
    std::vector<std::uint8_t> readMemory(std::uint32_t address, std::size_t count) const;
    std::uint32_t readWord(std::uint32_t address) const;
    // Seeds memory without marking it as written by the PC.
    void loadMemory(std::uint32_t address, const std::vector<std::uint8_t>& bytes);
    // The byte ranges that packets have written, merged, ascending.
    std::vector<Range> writtenRanges() const;
    // How many bytes packets have written outside the given ranges.
    std::uint64_t writtenOutside(std::vector<Range> allowed) const;

    // From the world.
    void receive(LineByte byte) override;
    void dtrChanged(bool high) override;
    void detach() override;

  private:
    struct Page {
        std::array<std::uint8_t, 4096> bytes{};
        std::array<std::uint64_t, 64> written{};
    };

    void reset();
    void parse();
    void execute(std::vector<std::uint8_t> raw);
    std::uint8_t carryOut(Packet& packet);
    void sendReply(Packet& packet, std::vector<std::uint8_t> reply, bool switchAfter,
                   std::uint32_t newDivisor);
    bool tooFast() const;
    void writeAuxRegister(std::uint32_t n, std::uint32_t value);
    std::uint32_t readAuxRegister(std::uint32_t n) const;
    void writeStatus(std::uint32_t value);
    void step();
    void halt();
    void storeByte(std::uint32_t address, std::uint8_t value, bool byPc);
    std::uint8_t loadByte(std::uint32_t address) const;

    int port_;
    std::uint32_t divisor_ = resetDivisor;
    bool dtrHigh_ = false;
    std::vector<std::uint8_t> rx_;
    Nanos txFreeAt_ = 0;
    std::uint64_t generation_ = 0; // bumped by a reset: cancels pending output
    std::uint64_t runToken_ = 0;   // bumped by a halt: cancels the program's end
    std::uint32_t status_ = 0;     // after reset: running, pc 0
    std::map<std::uint32_t, std::uint32_t> aux_;
    std::array<std::uint32_t, 128> core_{};
    std::unordered_map<std::uint32_t, std::unique_ptr<Page>> memory_;
    std::vector<Packet> packets_;
    std::vector<std::uint8_t> stray_;
    std::vector<Release> releases_;
    int lost_ = 0;
    int steps_ = 0;
    int resets_ = 0;
};

} // namespace sim
