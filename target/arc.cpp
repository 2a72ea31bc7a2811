// The board's UART debug port and the procedures built on it.
//
// The protocol is driven by the host alone: one packet out, a fixed pause
// that depends on the packet kind, one reply of fixed length in. There is no
// framing, checksum or retransmission, and this module retries nothing.
//
// Every reply is read into the buffer that held the request, from its first
// byte on. A reply byte that never arrives therefore leaves the request byte
// in its place; the results against a silent board follow from that rule.
#include "target/arc.h"

#include "platform/platform.h"
#include "serial/uart.h"

namespace {

// Pauses after a packet, counted from the moment its bytes have left the port:
// the board needs them to carry the packet out before it answers.
constexpr std::uint32_t writePauseMs = 20;
constexpr std::uint32_t blockPauseMs = 10;
constexpr std::uint32_t baudPauseMs = 100;
constexpr std::uint32_t haltPollPauseMs = 500;
// After an instruction-cache invalidation the core needs a moment before the
// next debug access.
constexpr std::uint32_t icacheSettleMs = 10;

constexpr std::uint32_t blockMaxBytes = 1024; // 256 words, all the count byte can announce
// Progress is reported at most 60 times per transfer, one star per report.
constexpr std::uint32_t progressSpan = 60 * blockMaxBytes;

// The UART clock the board derives its baud divisor from, in Hz / 4.
constexpr std::uint32_t baudClock = 130'500'000;

constexpr std::uint32_t identityValue = 0x03020108;

// Auxiliary registers.
constexpr std::uint32_t auxStatus = 0x0;
constexpr std::uint32_t auxLpStart = 0x2;
constexpr std::uint32_t auxLpEnd = 0x3;
constexpr std::uint32_t auxIdentity = 0x4;
constexpr std::uint32_t auxDebug = 0x5;
constexpr std::uint32_t auxIcIvic = 0x10;
constexpr std::uint32_t auxDcCtrl = 0x48;
constexpr std::uint32_t auxDcFlsh = 0x4B;
// Core registers.
constexpr std::uint32_t coreR1 = 1;
constexpr std::uint32_t coreLpCount = 60;

constexpr std::uint32_t statusHalt = 0x02000000;   // H, bit 25
constexpr std::uint32_t statusPcMask = 0x00FFFFFF; // pc as a word address
constexpr std::uint32_t debugForceHalt = 2;
constexpr std::uint32_t debugSingleStep = 0x801;

constexpr std::uint32_t nopWord = 0x7FFFFFFF;
constexpr std::uint32_t SomeNopCode[16] = {
    nopWord, nopWord, nopWord, nopWord, nopWord, nopWord, nopWord, nopWord,
    nopWord, nopWord, nopWord, nopWord, nopWord, nopWord, nopWord, nopWord,
};
constexpr std::uint32_t loopbackPattern = 0x12345678;
constexpr std::uint32_t nopPassLimit = 16;
// A core that keeps its pc on one no-operation word is broken; this many
// steps at one address end the stepping instead of looping for ever.
constexpr std::uint32_t stepRepeatLimit = 16;
constexpr std::uint32_t startStepLimit = 4;
// The clearing pass walks a counter 0, 4, ... 124 and writes the core
// register of that number.
constexpr std::uint32_t clearCounterEnd = 128;
constexpr std::uint32_t clearCounterStep = 4;

void put32(unsigned char* at, std::uint32_t value) {
    at[0] = static_cast<unsigned char>(value);
    at[1] = static_cast<unsigned char>(value >> 8);
    at[2] = static_cast<unsigned char>(value >> 16);
    at[3] = static_cast<unsigned char>(value >> 24);
}

std::uint32_t get32(const unsigned char* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

std::uint32_t pcAddress(std::uint32_t status) {
    return (status & statusPcMask) << 2;
}

std::uint32_t haltedAt(std::uint32_t address) {
    return (address >> 2) | statusHalt;
}

} // namespace

std::int32_t arcWrite(std::uint32_t command, std::uint32_t address, std::uint32_t value) {
    // 0: command  1..4: address  5..8: value
    unsigned char packet[9];
    packet[0] = static_cast<unsigned char>(command);
    put32(packet + 1, address);
    put32(packet + 5, value);
    uartTxBytes(sizeof packet, packet);
    platSleep(writePauseMs);
    uartRxBytes(1, packet); // reply: status
    return packet[0];
}

std::int32_t arcRead(std::uint32_t command, std::uint32_t address, std::uint32_t* value) {
    // 0: command  1..4: address
    unsigned char packet[5];
    packet[0] = static_cast<unsigned char>(command);
    put32(packet + 1, address);
    uartTxBytes(sizeof packet, packet);
    uartRxBytes(sizeof packet, packet); // reply 0..3: value  4: status
    if (packet[4] == 0) {
        *value = get32(packet);
    }
    return packet[4];
}

std::int32_t arcWriteToMem(std::uint32_t size, std::uint32_t address, const void* source,
                           ArcCallback progress) {
    const std::uint32_t k = size / progressSpan;
    // The count byte announces whole words only: a stray byte would be taken
    // by the board for the start of the next packet.
    if (address % 4 != 0 || size % 4 != 0) {
        return -2;
    }
    if (size == 0) {
        return 0;
    }
    const auto* bytes = static_cast<const unsigned char*>(source);
    std::uint32_t offset = 0;
    std::uint32_t remaining = size;
    std::uint32_t countdown = 0;
    for (;;) {
        const std::uint32_t piece = remaining <= blockMaxBytes ? remaining : blockMaxBytes;
        // 0: 8  1..4: address of the first word  5: words - 1  then the data
        unsigned char header[6];
        header[0] = ARC_WRITE_BLOCK;
        put32(header + 1, address);
        header[5] = static_cast<unsigned char>(piece / 4 - 1);
        uartTxBytes(sizeof header, header);
        uartTxBytes(piece, bytes + offset);
        platSleep(blockPauseMs);
        uartRxBytes(1, header); // reply: status
        if (header[0] != 0) {
            return header[0];
        }
        offset += piece;
        address += piece;
        remaining -= piece;
        if (progress != nullptr) {
            if (countdown == 0) {
                progress(offset);
                countdown = k;
            } else {
                --countdown;
            }
        }
        if (remaining == 0) {
            return 0;
        }
    }
}

std::int32_t arcSetBaudrate(std::uint32_t baud, ArcCallback baudWasSet) {
    // The rate arithmetic wraps in 32 bits on purpose, as the board's boot
    // code does; a rate whose divisor would divide by zero is not sent.
    const std::uint32_t denominator = 4 * baud;
    if (denominator == 0) {
        return 0;
    }
    const std::uint32_t divisor = (2 * baud + baudClock) / denominator - 1;
    // One 16-bit word: bits 0..5 the command, bits 6..15 the divisor.
    const std::uint32_t word = divisor * 64 + ARC_SET_BAUD;
    unsigned char packet[2];
    packet[0] = static_cast<unsigned char>(word);
    packet[1] = static_cast<unsigned char>(word >> 8);
    uartTxBytes(sizeof packet, packet);
    platSleep(baudPauseMs);
    // The board answers at the old rate, so the PC must not switch before.
    uartRxBytes(1, packet);
    if (baudWasSet != nullptr) {
        baudWasSet(baud);
    }
    return 0;
}

std::int32_t arcReadIdentity() {
    std::uint32_t value = 0;
    return arcRead(ARC_READ_AUX, auxIdentity, &value) == 0 && value == identityValue ? 1 : 0;
}

std::int32_t arcReadHaltFlag() {
    platSleep(haltPollPauseMs);
    std::uint32_t status = 0;
    if (arcRead(ARC_READ_AUX, auxStatus, &status) != 0) {
        return -1;
    }
    platOut(".");
    return (status & statusHalt) != 0 ? 0 : -1;
}

std::int32_t arcInit() {
    std::int32_t result = arcWrite(ARC_WRITE_AUX, auxDebug, debugForceHalt);
    if (result != 0) {
        return result;
    }
    std::uint32_t savedR1 = 0;
    result = arcRead(ARC_READ_CORE, coreR1, &savedR1);
    if (result != 0) {
        return result;
    }
    result = arcWrite(ARC_WRITE_CORE, coreR1, loopbackPattern);
    if (result != 0) {
        return result;
    }
    std::uint32_t readBack = 0;
    result = arcRead(ARC_READ_CORE, coreR1, &readBack);
    if (result != 0) {
        return result;
    }
    if (readBack != loopbackPattern) {
        return -2;
    }
    return arcWrite(ARC_WRITE_CORE, coreR1, savedR1);
}

std::int32_t arcPrepareForDownload(std::uint32_t entry) {
    // Phase 1: data cache flushed, core halted at pc 0, no-operation words
    // planted at the entry. The board's answers are not consulted here.
    arcWrite(ARC_WRITE_AUX, auxDcCtrl, 0x20);
    arcWrite(ARC_WRITE_AUX, auxDcFlsh, 1);
    arcWrite(ARC_WRITE_AUX, auxDcCtrl, 3);
    arcWrite(ARC_WRITE_AUX, auxDebug, debugForceHalt);
    arcWrite(ARC_WRITE_AUX, auxStatus, statusHalt);
    if (entry % 4 == 0) {
        unsigned char nops[sizeof SomeNopCode];
        for (std::size_t i = 0; i < 16; ++i) {
            put32(nops + 4 * i, SomeNopCode[i]);
        }
        arcWriteToMem(sizeof nops, entry, nops, nullptr);
    }
    arcWrite(ARC_WRITE_AUX, auxIcIvic, 1);
    platSleep(icacheSettleMs);

    // Phase 2: step through the no-operation words until one step advances
    // the pc by exactly one word, which proves the core executes.
    std::uint32_t address = entry;
    for (std::uint32_t pass = 0;; ++pass) {
        std::uint32_t word = 0;
        if (arcRead(ARC_READ_MEM, address, &word) != 0 || word != nopWord) {
            platOut("{NoNop}");
            return -2;
        }
        if (arcWrite(ARC_WRITE_AUX, auxStatus, haltedAt(address)) != 0) {
            platOut("{StepErr3}");
            return -3;
        }
        std::uint32_t pc = address;
        for (std::uint32_t steps = 0; pc == address; ++steps) {
            if (steps == stepRepeatLimit) {
                platOut("{StepStuck}");
                return -4;
            }
            if (arcWrite(ARC_WRITE_AUX, auxDebug, debugSingleStep) != 0) {
                platOut("{StepErr4}");
                return -4;
            }
            std::uint32_t status = 0;
            if (arcRead(ARC_READ_AUX, auxStatus, &status) != 0) {
                platOut("{StepErr5}");
                return -5;
            }
            pc = pcAddress(status);
        }
        if (pc == address + 4 || pass == nopPassLimit - 1) {
            break;
        }
        address += 4;
    }

    // Phase 3: instruction cache invalidated after the stepping, core halted,
    // registers cleared.
    const std::int32_t s1 = arcWrite(ARC_WRITE_AUX, auxIcIvic, 1);
    platSleep(icacheSettleMs);
    const std::int32_t s2 = arcWrite(ARC_WRITE_AUX, auxDebug, debugForceHalt);
    if (s1 != 0 || s2 != 0) {
        platOut("{StepErr6}");
        return -6;
    }
    for (std::uint32_t reg = 0; reg < clearCounterEnd; reg += clearCounterStep) {
        if (arcWrite(ARC_WRITE_CORE, reg, 0) != 0) {
            platOut("{InitErr\n}");
            return -6;
        }
    }
    const std::int32_t sa = arcWrite(ARC_WRITE_CORE, coreLpCount, 0);
    const std::int32_t sb = arcWrite(ARC_WRITE_AUX, auxLpStart, 0);
    const std::int32_t sc = arcWrite(ARC_WRITE_AUX, auxLpEnd, 0);
    return sa | sb | sc;
}

std::int32_t arcStopProgram() {
    const std::int32_t s1 = arcWrite(ARC_WRITE_AUX, auxDebug, debugForceHalt);
    const std::int32_t s2 = arcWrite(ARC_WRITE_AUX, auxStatus, statusHalt);
    return s1 | s2;
}

std::int32_t arcStartProgramAt(std::uint32_t entry) {
    arcWrite(ARC_WRITE_AUX, auxStatus, haltedAt(entry));
    std::int32_t result = arcWrite(ARC_WRITE_AUX, auxIcIvic, 1);
    if (result != 0) {
        return result;
    }
    platSleep(icacheSettleMs);
    std::uint32_t before = 0;
    result = arcRead(ARC_READ_AUX, auxStatus, &before);
    if (result != 0) {
        return result;
    }
    // Step until STATUS changes in any bit: the core then runs on from where
    // that step left it, and the stepped instruction is not executed again.
    std::uint32_t release = before;
    std::int32_t readStatus = 0;
    bool moved = false;
    for (std::uint32_t pass = 0; pass < startStepLimit && !moved; ++pass) {
        arcWrite(ARC_WRITE_AUX, auxDebug, debugSingleStep);
        std::uint32_t now = 0;
        readStatus = arcRead(ARC_READ_AUX, auxStatus, &now);
        if (readStatus != 0) {
            break;
        }
        if (now != before) {
            release = now;
            moved = true;
        }
    }
    if (!moved) {
        platOut(" error\n");
        release = before;
    }
    return arcWrite(ARC_WRITE_AUX, auxStatus, release & ~statusHalt) | readStatus;
}
