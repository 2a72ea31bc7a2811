// The seam between the updater and the operating system.
//
// Everything above this header is portable C++: the serial link, the debug
// port, the download driver and the dialogue call only these functions. One
// implementation per OS sits behind it (platform/posix, platform/win32), and
// the board simulator provides a virtual one for the tests. The build picks
// exactly one.
//
// The serial calls map one to one onto the Win32 communications API:
//   platOpenPort      CreateFileA("\\.\COMn", read/write, share mode 0, OPEN_EXISTING)
//   platReadSettings  GetCommState          platWriteSettings SetCommState
//   platReadTimeouts  GetCommTimeouts       platWriteTimeouts SetCommTimeouts
//   platSetDtr        EscapeCommFunction(SETDTR)
//   platClearDtr      EscapeCommFunction(CLRDTR)
//   platWrite         WriteFile             platDrain         FlushFileBuffers's aim:
//                                           ClearCommError until the queue is empty
//   platRead          ReadFile              platClosePort     CloseHandle
// Results follow the Win32 convention: nonzero for success, 0 for failure.
#pragma once

#include <cstdint>
#include <cstdio>

#if defined(__GNUC__) || defined(__clang__)
#define PLAT_PRINTF_FORMAT __attribute__((format(printf, 1, 2)))
#else
#define PLAT_PRINTF_FORMAT
#endif

// The port settings record. It mirrors the fields of the Win32 DCB, so that
// the serial module can change exactly the fields it names and write the
// rest back as the port reported them. Other platforms fill what they know
// (rate, data bits, parity, stop bits, flow control, DTR/RTS control) and
// carry the rest unchanged.
struct PortSettings {
    std::uint32_t DCBlength = 0;
    std::uint32_t BaudRate = 0;
    std::uint32_t fBinary : 1 = 0;
    std::uint32_t fParity : 1 = 0;
    std::uint32_t fOutxCtsFlow : 1 = 0;
    std::uint32_t fOutxDsrFlow : 1 = 0;
    std::uint32_t fDtrControl : 2 = 0;
    std::uint32_t fDsrSensitivity : 1 = 0;
    std::uint32_t fTXContinueOnXoff : 1 = 0;
    std::uint32_t fOutX : 1 = 0;
    std::uint32_t fInX : 1 = 0;
    std::uint32_t fErrorChar : 1 = 0;
    std::uint32_t fNull : 1 = 0;
    std::uint32_t fRtsControl : 2 = 0;
    std::uint32_t fAbortOnError : 1 = 0;
    std::uint32_t fDummy2 : 17 = 0;
    std::uint16_t wReserved = 0;
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    std::uint8_t ByteSize = 0;
    std::uint8_t Parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint8_t StopBits = 0; // 0 one, 1 one and a half, 2 two
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    std::uint16_t wReserved1 = 0;
};

constexpr std::uint32_t platDtrControlDisable = 0;
constexpr std::uint32_t platDtrControlEnable = 1;
constexpr std::uint32_t platRtsControlDisable = 0;
constexpr std::uint32_t platRtsControlEnable = 1;
constexpr std::uint8_t platNoParity = 0;
constexpr std::uint8_t platOneStopBit = 0;

// The port's time-out record, in milliseconds, as COMMTIMEOUTS. A read of n
// bytes ends when n bytes have arrived, when more than ReadIntervalTimeout
// passes between two bytes (counted from the first byte on), or when
// ReadTotalTimeoutMultiplier * n + ReadTotalTimeoutConstant has passed. A
// write of n bytes fails when WriteTotalTimeoutMultiplier * n +
// WriteTotalTimeoutConstant has passed before the port took them all.
struct PortTimeouts {
    std::uint32_t ReadIntervalTimeout = 0;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;
};

// An open port; platNoPort when there is none.
using PortHandle = std::intptr_t;
constexpr PortHandle platNoPort = -1;

// Opens serial port number n (1 to 32) for exclusive use: the open fails while
// anyone else holds the port, and nobody else can open it while we hold it.
// Returns platNoPort on failure. DTR and RTS are left inactive. A port is
// closed with the settings it had when it was opened, also when the program
// is interrupted.
PortHandle platOpenPort(int n);
int platReadSettings(PortHandle port, PortSettings* settings);
int platWriteSettings(PortHandle port, const PortSettings* settings);
int platReadTimeouts(PortHandle port, PortTimeouts* timeouts);
int platWriteTimeouts(PortHandle port, const PortTimeouts* timeouts);
int platSetDtr(PortHandle port);
int platClearDtr(PortHandle port);
// Writes all count bytes, blocking, under the write time-outs: when the port
// has not taken them all within WriteTotalTimeoutMultiplier * count +
// WriteTotalTimeoutConstant milliseconds of the call (no limit when both are
// 0), the write fails; a write that the port takes in pieces has that one
// deadline for all of them. *written receives the number of bytes the port
// took.
int platWrite(PortHandle port, const void* bytes, std::uint32_t count, std::uint32_t* written);
// Returns once every byte written before has been passed on by the port's
// driver. The bytes written since the last drain ended have the write
// time-outs counted for them, from the start of the first of those writes
// (the constant alone from now, when none was written), whatever the driver
// says about its queue; no limit when both write time-outs are 0. A drain
// that runs out of time fails, throws away the output that the driver still
// holds (it is of no use to the board any more), and leaves the port usable:
// the next drain counts only the bytes written after it.
int platDrain(PortHandle port);
// Throws away the bytes received and not yet read.
int platDiscardInput(PortHandle port);
// Reads up to count bytes under the port's read time-outs. A read that ends by
// time-out with fewer bytes is a success; *received tells how many arrived.
int platRead(PortHandle port, void* buffer, std::uint32_t count, std::uint32_t* received);
// Closes the port. Output that a line which stopped taking bytes still holds
// is thrown away, and the close does not wait for it.
int platClosePort(PortHandle port);

// Pauses the calling thread for ms milliseconds.
void platSleep(std::uint32_t ms);

// The monotonic clock, in nanoseconds from an arbitrary start: it never goes
// back, whatever happens to the wall clock. The rules of the link above this
// seam (when bytes can have left the line) count on it.
std::uint64_t platClockNs();
// Pauses the calling thread until platClockNs() has reached `ns`; returns at
// once when it has.
void platSleepUntilNs(std::uint64_t ns);

// One key from the console, without echo and without waiting for Enter.
// Returns the character code (0 to 255), or -1 when the input has ended.
// Keys typed at a console before the call are discarded; input from a pipe
// or a file is taken byte by byte as it stands.
int platGetKey();

// Console output that reaches the screen at once, partial lines included.
// platOut writes to standard output, platErr to standard error.
void platOut(const char* format, ...) PLAT_PRINTF_FORMAT;
void platErr(const char* format, ...) PLAT_PRINTF_FORMAT;

// Conversion file support. On failure errno tells the reason.
//
// platCreateTempFile creates the file name, which must not exist yet: a link,
// FIFO or file already under that name is neither followed, nor opened, nor
// truncated (errno EEXIST). The file gets the permissions that a new file of
// the user normally gets. Until platReplaceFile moves it over its final name
// or platRemoveTempFile removes it, an interruption of the program removes it.
std::FILE* platCreateTempFile(const char* name);
int platRemoveTempFile(const char* name);
// Forces a written file to the disk.
int platSyncFile(std::FILE* file);
// Moves a finished file over its final name, replacing any file of that name,
// and makes the move itself durable.
int platReplaceFile(const char* from, const char* to);
// 1 when name exists and is marked read-only (no write permission at all on
// POSIX systems, the read-only attribute on Windows): the operator protected
// it, and the conversion leaves it alone, also when run by an administrator.
int platFileIsReadOnly(const char* name);

// Called first thing in main. Standard input, output and error that the
// program was started without are opened on the null device, so that no port
// or file opened later can take their place and receive console text.
void platStart();
