// The PC's serial port: finding the board on COM1..COM32, line settings, the
// DTR reset pulse, baud-rate changes and the byte transport under fixed
// read time-outs. Results: nonzero for success, 0 for failure.
#pragma once

#include "platform/platform.h"

#include <cstdint>

int uartInit();
int uartClose();
int uartSetBaudrate(std::uint32_t baud, int quiet);
int uartTxBytes(std::uint32_t count, const void* bytes);
int uartRxBytes(std::uint32_t count, void* buffer);
int uartFlushReceiveBuffer();
int resetArc();
int probePort(int n);
int probeArc();
void printCommState(PortSettings settings);
