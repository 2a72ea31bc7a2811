// The download driver: up to five attempts of reset, baud-rate ladder,
// preparation, watchdog stop, segment transfer and program start.
// Results: 1 for success, 0 for failure (stopArcWDT: the AND of statuses).
#pragma once

#include <cstdint>

int loadBootingArc();
int resetTargetSystem();
int uploadProgram(const unsigned char* image);
int stopArcWDT();
void printStatus(int flag);
int CbfArcTargetBaudWasSet(std::uint32_t baud);
int progressInfoCbf(std::uint32_t bytesSent);
