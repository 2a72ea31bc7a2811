// How the port's settings record maps onto a terminal's termios and modem
// lines. See port_termios.cpp.
#pragma once

#include "platform/platform.h"

// Fills the fields that a terminal knows (rate, data bits, parity, stop bits,
// flow control, XON and XOFF characters, DTR and RTS as they stand) from
// terminal fd into *settings; the other fields keep what *settings holds.
// 1 on success.
int portReadTerminalSettings(int fd, PortSettings* settings);

// Puts terminal fd into raw mode with the rate, framing, flow control and
// modem lines of wanted, at once. 1 when the driver took all of it; 0 when
// it refused any part, and the terminal is as before.
int portWriteTerminalSettings(int fd, const PortSettings& wanted);
