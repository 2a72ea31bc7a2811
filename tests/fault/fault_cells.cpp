#include "fault_cells.h"

#include "app/dialogue.h"
#include "image/firmware_image.h"
#include "sim/board.h"
#include "tests/support/carried_image.h"

#include <algorithm>
#include <array>
#include <memory>
#include <random>
#include <string_view>

namespace faulttest {
namespace {

using sim::ms;
using sim::Nanos;

constexpr std::array<const char*, phaseCount> phaseNames = {
    "scan",    "256000",   "128000",    "115200",    "57600", "38400",
    "prepare", "watchdog", "segment 0", "segment 1", "start", "halt poll",
};

constexpr std::array<const char*, faultCount> faultNames = {
    "refused once",      "refused in phase", "refused from phase", "no reply once",
    "silent from phase", "short replies",    "late replies",       "late from phase",
    "garbage replies",   "noise 1% on",      "noise 0.01% on",     "unplugged",
    "line stops taking", "r1 no read-back",  "wrong identity",     "step stuck",
    "step flag only",    "step by 8",        "never halts from",
};

Window windowOf(Fault f) {
    switch (f) {
    case Fault::refuseOnce:
    case Fault::noReplyOnce:
    case Fault::unplug:
    case Fault::stall:
        return Window::once;
    case Fault::refuseRest:
    case Fault::silentRest:
    case Fault::lateRest:
    case Fault::noise:
    case Fault::lightNoise:
    case Fault::neverHalts:
        return Window::rest;
    default:
        return Window::phase;
    }
}

// The protocol's worst case, every reply waited out to its time-out at the
// slowest rate of the ladder.
constexpr double slowestRate = 38400;
Nanos line(std::uint64_t bytes) {
    return static_cast<Nanos>(static_cast<double>(bytes) * 10.0 / slowestRate * 1e9) + 1;
}
Nanos readTimeout(std::uint64_t bytes) {
    return ms(static_cast<std::int64_t>(50 * bytes + 10));
}
const Nanos writeX = line(9) + ms(20) + readTimeout(1);
const Nanos readX = line(5) + readTimeout(5);
Nanos blockX(std::uint64_t bytes) {
    return line(6 + bytes) + ms(10) + readTimeout(1);
}
const Nanos baudX = line(2) + ms(100) + readTimeout(1);
const Nanos resetX = ms(50 + 200);

std::vector<std::uint32_t> segmentSizes() {
    std::vector<std::uint32_t> sizes;
    for (const carried::Segment& s : carried::segments()) {
        sizes.push_back(s.filesz);
    }
    return sizes;
}

bool holdsImage(const sim::Board& board) {
    for (const carried::Segment& s : carried::segments()) {
        const std::vector<std::uint8_t> memory = board.readMemory(s.vaddr, s.filesz);
        if (!std::equal(memory.begin(), memory.end(), firmwareImage.elfFile + s.offset)) {
            return false;
        }
    }
    return true;
}

Nanos attemptBound() {
    const Nanos connectRate = resetX + 3 * writeX + 2 * readX + baudX + readX;
    const Nanos connect = 5 * connectRate + ms(2000);
    // Phase 1; 16 passes of a read, a write and at most 16 steps; phase 3.
    const Nanos prepare = 5 * writeX + blockX(64) + writeX + ms(10) +
                          16 * (readX + writeX + 16 * (writeX + readX)) + 2 * writeX + ms(10) +
                          32 * writeX + 3 * writeX;
    const Nanos watchdog = 3 * writeX;
    Nanos transfer = 0;
    for (const std::uint32_t size : segmentSizes()) {
        transfer += static_cast<Nanos>(size / 1024) * blockX(1024);
        if (size % 1024 != 0) {
            transfer += blockX(size % 1024);
        }
    }
    const Nanos start = 2 * writeX + ms(10) + readX + 4 * (writeX + readX) + writeX;
    return connect + prepare + watchdog + transfer + start;
}

// ---------------------------------------------------------------------------
// Which phase a packet belongs to, told from what the program has printed
// before it sent the packet and from the board's state.

struct Tracker {
    sim::Board* board = nullptr;
    int firstSegmentStars = 0;
    std::size_t attemptAt = std::string::npos; // where the last "reset device" began
    long releasesAtUpdate = -1;

    Phase phaseOf(const sim::Packet& packet) {
        const std::string out = sim::stdoutText();
        const std::size_t at = out.rfind("reset device\n");
        if (at == std::string::npos) {
            return Phase::scan;
        }
        if (at != attemptAt) {
            attemptAt = at;
            releasesAtUpdate = -1;
        }
        const std::string_view tail = std::string_view(out).substr(at);
        if (tail.find("\nRetry update?") != std::string_view::npos) {
            return Phase::scan; // a new scan after a retry
        }
        if (tail.find(" update:   ") != std::string_view::npos) {
            const long releases = static_cast<long>(board->releases().size());
            if (releasesAtUpdate < 0) {
                releasesAtUpdate = releases;
            }
            return releases > releasesAtUpdate ? Phase::haltPoll : Phase::start;
        }
        if (tail.find("\n transfer: ") != std::string_view::npos) {
            const auto stars = std::count(tail.begin(), tail.end(), '*');
            return stars >= firstSegmentStars ? Phase::segment1 : Phase::segment0;
        }
        if (tail.find(" OK") != std::string_view::npos) {
            return packet.command == sim::cmd::writeMem ? Phase::watchdog : Phase::prepare;
        }
        std::size_t failed = 0;
        for (std::size_t p = tail.find(" failed\n"); p != std::string_view::npos;
             p = tail.find(" failed\n", p + 1)) {
            ++failed;
        }
        return static_cast<Phase>(static_cast<int>(Phase::connect256000) +
                                  static_cast<int>(std::min<std::size_t>(failed, 4)));
    }
};

struct Injection {
    Cell cell;
    Tracker tracker;
    bool entered = false; // the phase has begun
    bool left = false;    // and its first stretch is over
    bool first = false;   // this packet is the phase's first
    std::size_t attemptAtEntry = std::string::npos;
    bool garbage = false;
    bool noise = false;
    std::mt19937 rng;

    bool active() const {
        switch (windowOf(cell.fault)) {
        case Window::once:
            return first;
        case Window::phase:
            return entered && !left;
        case Window::rest:
            return entered;
        }
        return false;
    }

    void before(sim::Board& b, const sim::Packet& packet) {
        const Phase now = tracker.phaseOf(packet);
        first = false;
        // A phase met again in a later attempt is a new stretch of it.
        if (!entered && now == cell.phase) {
            entered = first = true;
            attemptAtEntry = tracker.attemptAt;
        } else if (entered && (now != cell.phase || tracker.attemptAt != attemptAtEntry)) {
            left = true;
        }
        const bool on = active();
        b.faults.status.clear();
        b.faults.replies.clear();
        garbage = false;
        switch (cell.fault) {
        case Fault::refuseOnce:
        case Fault::refusePhase:
        case Fault::refuseRest:
            if (on) {
                sim::StatusFault f;
                f.command = packet.command;
                f.status = 0x5A;
                b.faults.status.push_back(f);
            }
            break;
        case Fault::noReplyOnce:
        case Fault::silentRest:
        case Fault::shortReplies:
            if (on) {
                sim::ReplyFault f;
                f.command = packet.command;
                f.keep = cell.fault == Fault::shortReplies ? 2 : 0;
                b.faults.replies.push_back(f);
            }
            break;
        case Fault::lateReplies:
        case Fault::lateRest:
            // Beyond the longest read time-out (260 ms for five bytes).
            b.faults.replyDelay = on ? ms(400) : 0;
            break;
        case Fault::garbageReplies:
            garbage = on;
            break;
        case Fault::noise:
        case Fault::lightNoise:
            noise = on;
            break;
        case Fault::unplug:
        case Fault::stall:
            break; // after the packet
        case Fault::r1NoReadback:
            b.faults.r1NoReadback = on;
            break;
        case Fault::wrongIdentity:
            b.config.identity = on ? 0x03020109 : 0x03020108;
            break;
        case Fault::stepStuck:
            b.faults.pcNeverAdvances = on;
            break;
        case Fault::stepFlagOnly:
            b.faults.stepFlagOnly = on;
            break;
        case Fault::stepByEight:
            b.faults.stepAdvance = on ? 8 : 4;
            break;
        case Fault::neverHalts:
            b.faults.neverHalts = on;
            if (first && !b.halted()) {
                b.setAux(sim::reg::status, b.status()); // the firmware hangs
            }
            break;
        case Fault::count:
            break;
        }
    }

    double rate() const { return cell.fault == Fault::lightNoise ? 0.0001 : cell.noiseRate; }

    bool filter(sim::LineByte& byte, bool towardsPc) {
        if (garbage && towardsPc) {
            byte.value = static_cast<std::uint8_t>(rng());
        } else if (noise && std::uniform_real_distribution<double>(0, 1)(rng) < rate()) {
            byte.value ^= static_cast<std::uint8_t>(1u << (rng() % 8));
        }
        return true;
    }
};

std::string checkRun(const Cell& cell, const CellResult& r, int result) {
    if (result != 0) {
        return "exit status " + std::to_string(result);
    }
    if (!sim::anomalies().empty()) {
        return "simulator anomaly: " + sim::anomalies().front();
    }
    if (!r.verdict.ok) {
        return "transcript: " + r.verdict.error;
    }
    if (r.took > r.bound) {
        return "took " + std::to_string(sim::toMs(r.took)) + " ms, more than the bound";
    }
    if (!r.reached) {
        return "the run never reached the phase";
    }
    const std::size_t used = cell.keys.size() - sim::keysLeft();
    if (used != std::min(r.verdict.keysUsed, cell.keys.size())) {
        return "the prompts took " + std::to_string(used) + " keys, the transcript shows " +
               std::to_string(r.verdict.keysUsed);
    }
    // Outcomes that follow from the fault: a single lost exchange costs at
    // most one attempt; a reply that comes too late is thrown away by the
    // next reset and costs no more; a board that stops answering is never
    // reported as updated; a scan that fails finds no board.
    const Outcome first = r.verdict.sessions.front();
    const bool scan = cell.phase == Phase::scan;
    switch (cell.fault) {
    case Fault::refuseOnce:
    case Fault::noReplyOnce:
    case Fault::lateReplies:
    case Fault::r1NoReadback:
    case Fault::stepStuck:
    case Fault::stepFlagOnly:
    case Fault::stepByEight:
    case Fault::wrongIdentity: {
        const bool lostScan = scan && cell.fault != Fault::r1NoReadback &&
                              cell.fault != Fault::stepStuck && cell.fault != Fault::stepFlagOnly &&
                              cell.fault != Fault::stepByEight;
        const Outcome want = lostScan ? Outcome::noDevice : Outcome::done;
        if (first != want) {
            return std::string("outcome ") + outcomeName(first) + ", expected " + outcomeName(want);
        }
        break;
    }
    case Fault::refuseRest:
    case Fault::silentRest:
    case Fault::unplug:
    case Fault::stall:
    case Fault::neverHalts:
        if (first == Outcome::done) {
            return "a board that stopped answering was reported as updated";
        }
        break;
    default:
        break;
    }
    return {};
}

} // namespace

const char* phaseName(Phase phase) {
    return phaseNames.at(static_cast<std::size_t>(phase));
}

const char* faultName(Fault fault) {
    return faultNames.at(static_cast<std::size_t>(fault));
}

sim::Nanos runBound(std::size_t keys) {
    const Nanos scan = 32 * (resetX + readX);
    const Nanos session = scan + ms(500) + 5 * attemptBound() + 59 * (ms(500) + readX);
    return static_cast<Nanos>(keys + 1) * session;
}

Image carriedImage() {
    Image image;
    for (const std::uint32_t size : segmentSizes()) {
        // One star after the first block and then after every (k + 1)-th.
        const std::uint32_t blocks = (size + 1023) / 1024;
        const std::uint32_t k = size / (60 * 1024);
        image.starsPerSegment.push_back(static_cast<int>((blocks + k) / (k + 1)));
    }
    return image;
}

CellResult runCell(const Cell& cell) {
    sim::resetWorld();
    sim::Board& board = sim::attachBoard(1);
    board.config.runTime = ms(3000);
    switch (cell.phase) {
    case Phase::connect128000:
        board.faults.maxBaud = 128000;
        break;
    case Phase::connect115200:
        board.faults.maxBaud = 115200;
        break;
    case Phase::connect57600:
        board.faults.maxBaud = 57600;
        break;
    case Phase::connect38400:
        board.faults.maxBaud = 38400;
        break;
    default:
        break;
    }
    const Image image = carriedImage();
    auto injection = std::make_shared<Injection>();
    injection->cell = cell;
    injection->rng.seed(cell.seed);
    injection->tracker.board = &board;
    injection->tracker.firstSegmentStars = image.starsPerSegment.front();
    board.beforePacket = [injection, &board](const sim::Packet& p) { injection->before(board, p); };
    board.onPacket = [injection](const sim::Packet&) {
        if (injection->cell.fault == Fault::unplug && injection->first) {
            sim::unplug(1);
        }
        if (injection->cell.fault == Fault::stall && injection->first) {
            sim::stopTakingBytes(1);
        }
    };
    sim::portSetup(1).lineFilter = [injection](sim::LineByte& byte, bool towardsPc) {
        return injection->filter(byte, towardsPc);
    };
    sim::pushKeys(cell.keys);

    const int result = updaterMain();

    CellResult r;
    r.took = sim::now();
    r.bound = runBound(cell.keys.size());
    r.reached = injection->entered;
    std::vector<int> keys(cell.keys.begin(), cell.keys.end());
    r.verdict = checkTranscript(sim::transcript(), image, keys);
    r.why = checkRun(cell, r, result);
    if (r.verdict.ok && r.verdict.sessions.front() == Outcome::done) {
        r.corrupted = !holdsImage(board);
    }
    r.pass = r.why.empty();
    // The world keeps the hooks until the next reset; they hold the board.
    board.beforePacket = nullptr;
    board.onPacket = nullptr;
    sim::portSetup(1).lineFilter = nullptr;
    return r;
}

} // namespace faulttest
