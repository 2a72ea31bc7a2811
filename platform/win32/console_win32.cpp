// Console on Windows: single keys read without echo and without Enter.
#include "platform/platform.h"

#include <conio.h>
#include <cstdio>
#include <windows.h>

namespace {

// True when the handle is a console (and not a pipe or a file).
bool consoleIsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

// The next byte of redirected standard input; -1 at its end or on an error
// (a pipe whose writer has gone reports ERROR_BROKEN_PIPE).
int consoleReadByte(HANDLE input) {
    if (input == nullptr || input == INVALID_HANDLE_VALUE) {
        return -1;
    }
    unsigned char key = 0;
    DWORD got = 0;
    if (!ReadFile(input, &key, 1, &got, nullptr) || got != 1) {
        return -1;
    }
    return key;
}

} // namespace

int platGetKey() {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (!consoleIsConsole(input)) {
        // A pipe or a file: every byte counts, in order.
        return consoleReadByte(input);
    }
    // Keys typed before the prompt was shown are thrown away: a stray 'y'
    // typed during the long transfer must not answer a question the operator
    // has not seen yet. A function or arrow key leaves its second code
    // waiting; the next prompt discards it here.
    while (_kbhit()) {
        (void)_getch();
    }
    return _getch();
}

void platStart() {
    // Nothing to do here. Windows keeps the standard handles apart from every
    // other handle: a port or file opened later never becomes standard output,
    // whatever the program was started with. The C runtime marks descriptors
    // 0 to 2 as taken even when their handle is missing, so the conversion
    // file cannot get one of those numbers either; text written to a missing
    // stream goes nowhere.
}
