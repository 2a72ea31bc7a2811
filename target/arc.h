// The board's UART debug port: packet commands and the procedures that halt,
// prepare and start the ARC core. Results: 0 for success, the board's status
// byte (1 to 255, or an OR of several) for a failure the board reports, -2 to
// -6 for failures found on this side.
#pragma once

#include <cstdint>

enum ArcCommand : std::uint8_t {
    ARC_WRITE_MEM = 0,
    ARC_WRITE_CORE = 1,
    ARC_WRITE_AUX = 2,
    ARC_SET_BAUD = 3,
    ARC_READ_MEM = 4,
    ARC_READ_CORE = 5,
    ARC_READ_AUX = 6,
    ARC_WRITE_BLOCK = 8,
};

// Progress and baud callbacks; their results are ignored.
using ArcCallback = int (*)(std::uint32_t);

std::int32_t arcWrite(std::uint32_t command, std::uint32_t address, std::uint32_t value);
std::int32_t arcRead(std::uint32_t command, std::uint32_t address, std::uint32_t* value);
std::int32_t arcWriteToMem(std::uint32_t size, std::uint32_t address, const void* source,
                           ArcCallback progress);
std::int32_t arcSetBaudrate(std::uint32_t baud, ArcCallback baudWasSet);
std::int32_t arcReadIdentity();
std::int32_t arcReadHaltFlag();

std::int32_t arcInit();
std::int32_t arcPrepareForDownload(std::uint32_t entry);
std::int32_t arcStopProgram();
std::int32_t arcStartProgramAt(std::uint32_t entry);
