// Serial port and clock for POSIX systems.
//
// Port numbers name fixed device files under UPDATER_DEVICE_DIR (normally
// /dev/):
//
//   COM1  .. COM8    ttyS0   .. ttyS7     on-board and plug-in card ports
//   COM9  .. COM24   ttyUSB0 .. ttyUSB15  USB serial adapters
//   COM25 .. COM32   ttyACM0 .. ttyACM7   USB modem-class adapters
//
// The program is a guest on the operator's PC: a port that anybody else uses
// is skipped before a byte is sent or a line or setting is changed, as share
// mode 0 skips it on Windows. Before the device is even opened (opening a
// serial port raises its modem lines):
//   - the program's own terminal (behind standard input, output or error, or
//     the controlling terminal) is never a port;
//   - a UUCP lock file, UPDATER_LOCK_DIR/LCK..<name> in HDB format (the
//     holder's PID in ten ASCII digits and a newline), whose process lives
//     means held; one whose process is gone is stale and removed;
//   - a device that another process has open, as /proc/<pid>/fd shows it, is
//     held; devices are compared by number, so a holder that opened it under
//     another name (a /dev/serial/by-id link) counts too. /proc is read once
//     per scan (port numbers rise within a scan), not per port; of a process
//     whose descriptors the user may not see, its controlling terminal counts.
// Then the port is held: our own lock file, an advisory lock on the device
// (which binds root as well) and the terminal's exclusive mode (which refuses
// further opens to everyone but root). Exclusive mode found on a terminal that
// nobody else has open was left by a killed run, and is cleared.
//
// Closing puts back the terminal settings found at the open (every termios
// field, the rate included), leaves exclusive mode, and removes the lock file;
// so does an interruption of the program (platform/guard.h). The descriptor
// stays non-blocking; every wait is a poll() against a deadline on the
// monotonic clock.
//
// The handle is the file descriptor. Each open port has a record here with
// the last settings record written (for the fields a terminal has no notion
// of), its read time-outs and what closing gives back.
#include "platform/guard.h"
#include "platform/platform.h"
#include "platform/posix/baud_linux.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h> // NOLINT(modernize-deprecated-headers): clock_gettime is POSIX, from <time.h>
#include <unistd.h>
#include <vector>

#ifndef UPDATER_DEVICE_DIR
#define UPDATER_DEVICE_DIR "/dev/"
#endif
#ifndef UPDATER_LOCK_DIR
#define UPDATER_LOCK_DIR "/run/lock/"
#endif

namespace {

using Clock = std::chrono::steady_clock;

struct PortFamily {
    const char* device;
    int firstPort;
    int count;
};

constexpr PortFamily portFamilies[] = {
    {"ttyS", 1, 8},
    {"ttyUSB", 9, 16},
    {"ttyACM", 25, 8},
};

constexpr int portCount = 32;

constexpr std::size_t portPathSize = PATH_MAX;

struct PortRecord {
    // What closing gives back: the terminal as found, and our lock file.
    BaudFound found;
    char lockFile[portPathSize]; // empty when the program holds none
    PortSettings settings;
    PortTimeouts timeouts;
    int fd;
    bool inUse;
    bool foundSaved;
};

// Read by the release on interruption; changed only under guardHold.
PortRecord portRecords[portCount] = {};

// Character devices that other processes have open, from one pass over /proc,
// sorted; valid for the scan in which it was taken.
std::vector<dev_t> portHolders;
bool portHoldersKnown = false;
int portLastAsked = 0;

// Rates that have a speed constant everywhere; all others go through
// baudWriteRate.
struct PortSpeed {
    std::uint32_t rate;
    speed_t code;
};

constexpr PortSpeed portSpeeds[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};

constexpr tcflag_t portSizeFlags[] = {CS5, CS6, CS7, CS8}; // for 5 to 8 data bits

// Mark and space parity, and a separate input rate, exist on Linux only.
#ifdef CMSPAR
constexpr tcflag_t portStickParity = CMSPAR;
#else
constexpr tcflag_t portStickParity = 0;
#endif
#ifdef CIBAUD
constexpr tcflag_t portInputSpeedBits = CIBAUD;
#else
constexpr tcflag_t portInputSpeedBits = 0;
#endif

constexpr std::uint8_t portOddParity = 1;
constexpr std::uint8_t portEvenParity = 2;
constexpr std::uint8_t portMarkParity = 3;
constexpr std::uint8_t portSpaceParity = 4;
constexpr std::uint8_t portTwoStopBits = 2;

// A driver may round the rate it reports back; a UART copes with a few
// percent of difference, so a rate within this many parts per thousand of
// the request counts as taken.
constexpr std::uint32_t portRateTolerancePermille = 30;

// The longest single deadline kept, so that the arithmetic cannot overflow.
constexpr std::uint64_t portLongestWaitMs = std::uint64_t{1} << 40;
// The largest time-out value, which the read rule treats specially.
constexpr std::uint32_t portMaxTimeout = 0xFFFFFFFF;

PortRecord* portFind(PortHandle port) {
    for (PortRecord& record : portRecords) {
        if (record.inUse && record.fd == port) {
            return &record;
        }
    }
    return nullptr;
}

int portIoctl(int fd, unsigned long request, void* argument) {
    int result;
    do {
        result = ioctl(fd, request, argument);
    } while (result == -1 && errno == EINTR);
    return result;
}

int portSetLines(int fd, int lines) {
    return portIoctl(fd, TIOCMBIS, &lines) == 0 ? 1 : 0;
}

int portClearLines(int fd, int lines) {
    return portIoctl(fd, TIOCMBIC, &lines) == 0 ? 1 : 0;
}

// True when the terminal is in exclusive mode: somebody set it, and only
// root's open got through.
#ifdef TIOCGEXCL
bool portExclusive(int fd) {
    int exclusive = 0;
    return portIoctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}
#else
bool portExclusive(int) {
    return false;
}
#endif

bool portDevicePath(int n, char* path, std::size_t size) {
    for (const PortFamily& family : portFamilies) {
        if (n >= family.firstPort && n < family.firstPort + family.count) {
            int length = std::snprintf(path, size, "%s%s%d", UPDATER_DEVICE_DIR, family.device,
                                       n - family.firstPort);
            return length > 0 && static_cast<std::size_t>(length) < size;
        }
    }
    return false;
}

// The UUCP lock file of a device: LCK.. and the device file's name.
bool portLockPath(const char* device, char* path, std::size_t size) {
    const char* slash = std::strrchr(device, '/');
    const char* name = slash != nullptr ? slash + 1 : device;
    const std::size_t dirLength = std::strlen(UPDATER_LOCK_DIR);
    const char* separator = dirLength > 0 && UPDATER_LOCK_DIR[dirLength - 1] != '/' ? "/" : "";
    int length = std::snprintf(path, size, "%s%sLCK..%s", UPDATER_LOCK_DIR, separator, name);
    return length > 0 && static_cast<std::size_t>(length) < size;
}

// The device of a process's controlling terminal, from its stat file in
// /proc (readable by everybody); 0 for none.
dev_t portControllingTerminal(const char* statFile) {
    int fd = open(statFile, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    char text[1024];
    ssize_t length = read(fd, text, sizeof text - 1);
    (void)close(fd);
    if (length <= 0) {
        return 0;
    }
    text[length] = '\0';
    // pid (comm) state ppid pgrp session tty_nr ...; comm may hold anything.
    const char* field = std::strrchr(text, ')');
    if (field == nullptr) {
        return 0;
    }
    for (int skip = 0; skip < 5 && field != nullptr; ++skip) {
        field = std::strchr(field + 1, ' ');
    }
    if (field == nullptr) {
        return 0;
    }
    const long tty = std::strtol(field + 1, nullptr, 10);
    const auto code = static_cast<unsigned long>(tty);
    return tty == 0 ? 0 : makedev((code >> 8) & 0xFFFU, (code & 0xFFU) | ((code >> 12) & 0xFFF00U));
}

bool portIsOwnTerminal(dev_t device) {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        struct stat stream {};
        if (fstat(fd, &stream) == 0 && S_ISCHR(stream.st_mode) && stream.st_rdev == device) {
            return true;
        }
    }
    return portControllingTerminal("/proc/self/stat") == device;
}

// One pass over /proc: every character device that a process other than this
// one has open. The descriptors of other users' processes are hidden from a
// user who is not root; such a process still shows its controlling terminal
// (a getty or a login shell on a serial console).
void portFindHolders() {
    portHolders.clear();
    portHoldersKnown = true;
    DIR* processes = opendir("/proc");
    if (processes == nullptr) {
        return;
    }
    char self[16];
    (void)std::snprintf(self, sizeof self, "%d", static_cast<int>(getpid()));
    while (const dirent* process = readdir(processes)) {
        const char* name = process->d_name;
        if (name[0] < '1' || name[0] > '9' || std::strcmp(name, self) == 0 ||
            std::strspn(name, "0123456789") != std::strlen(name)) {
            continue;
        }
        char path[300];
        (void)std::snprintf(path, sizeof path, "/proc/%s/fd", name);
        // Refused for other users' processes, gone for ended ones.
        int folder = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder < 0) {
            (void)std::snprintf(path, sizeof path, "/proc/%s/stat", name);
            if (const dev_t terminal = portControllingTerminal(path)) {
                portHolders.push_back(terminal);
            }
            continue;
        }
        DIR* descriptors = fdopendir(folder);
        if (descriptors == nullptr) {
            (void)close(folder);
            continue;
        }
        while (const dirent* entry = readdir(descriptors)) {
            struct stat opened {};
            if (entry->d_name[0] != '.' && fstatat(folder, entry->d_name, &opened, 0) == 0 &&
                S_ISCHR(opened.st_mode)) {
                portHolders.push_back(opened.st_rdev);
            }
        }
        (void)closedir(descriptors);
    }
    (void)closedir(processes);
    std::sort(portHolders.begin(), portHolders.end());
    portHolders.erase(std::unique(portHolders.begin(), portHolders.end()), portHolders.end());
}

bool portHeldByOthers(dev_t device) {
    return std::binary_search(portHolders.begin(), portHolders.end(), device);
}

// The PID in a lock file: ten ASCII digits (HDB), or the four binary bytes of
// the oldest programs; 0 when the content is neither.
pid_t portLockOwner(const char* content, std::size_t length) {
    const std::size_t blanks = std::strspn(content, " ");
    const std::size_t digits = std::strspn(content + blanks, "0123456789");
    if (digits > 0 && digits <= 10) {
        const char* after = content + blanks + digits;
        if (*after == '\0' || *after == '\n') {
            const long long pid = std::strtoll(content + blanks, nullptr, 10);
            return pid > 0 && pid <= INT_MAX ? static_cast<pid_t>(pid) : 0;
        }
    }
    if (length == sizeof(int)) {
        int binary = 0;
        std::memcpy(&binary, content, sizeof binary);
        return binary > 0 ? static_cast<pid_t>(binary) : 0;
    }
    return 0;
}

enum class PortLock {
    free,     // no lock file, or a stale one that is gone now
    held,     // somebody's live lock, or one we cannot judge
    unusable, // a stale lock we may not remove: the port is free, but unlocked
};

PortLock portCheckLock(const char* lockFile) {
    int fd = open(lockFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // No lock folder, or no lock. Anything else (a link planted under the
        // name, a lock we may not read) cannot be judged.
        return errno == ENOENT ? PortLock::free : PortLock::held;
    }
    char content[32] = {};
    ssize_t length = read(fd, content, sizeof content - 1);
    (void)close(fd);
    // Empty: its owner is writing it right now.
    const pid_t owner = length > 0 ? portLockOwner(content, static_cast<std::size_t>(length)) : 0;
    if (owner == 0) {
        return PortLock::held;
    }
    if (owner != getpid() && (kill(owner, 0) == 0 || errno == EPERM)) {
        return PortLock::held;
    }
    return unlink(lockFile) == 0 || errno == ENOENT ? PortLock::free : PortLock::unusable;
}

enum class PortLockTaken { ours, held, none };

// Creates our lock file; none when the lock folder is not ours to write (the
// port is then held by the advisory lock and exclusive mode only).
PortLockTaken portTakeLock(const char* lockFile) {
    int fd = open(lockFile, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return errno == EEXIST ? PortLockTaken::held : PortLockTaken::none;
    }
    char content[16];
    const int length = std::snprintf(content, sizeof content, "%10d\n", static_cast<int>(getpid()));
    const bool written = write(fd, content, static_cast<std::size_t>(length)) == length;
    if (close(fd) != 0 || !written) {
        (void)unlink(lockFile);
        return PortLockTaken::none;
    }
    return PortLockTaken::ours;
}

void portCloseFd(int fd) {
    // Linux releases the descriptor even when close reports an error, so
    // it is not retried.
    (void)close(fd);
}

// Opens the device, which must still be the one checked, and holds it; -1
// when it is not a terminal or somebody holds it.
int portOpenExclusive(const char* path, dev_t device) {
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return -1;
    }
    struct stat opened {};
    int locked;
    do {
        locked = flock(fd, LOCK_EX | LOCK_NB);
    } while (locked == -1 && errno == EINTR);
    if (fstat(fd, &opened) != 0 || opened.st_rdev != device || isatty(fd) != 1 || locked != 0) {
        portCloseFd(fd);
        return -1;
    }
    if (portExclusive(fd)) {
        // Somebody set exclusive mode. If nobody has the terminal open now
        // (looked at afresh), a run that was killed left it behind.
        portFindHolders();
        if (portHeldByOthers(device) || portIoctl(fd, TIOCNXCL, nullptr) != 0) {
            portCloseFd(fd);
            return -1;
        }
    }
    if (portIoctl(fd, TIOCEXCL, nullptr) != 0) {
        portCloseFd(fd);
        return -1;
    }
    return fd;
}

// Gives back what the record holds: the terminal's settings, its exclusive
// mode, the device and the lock file. Plain system calls only: this runs in
// the release on interruption as well. Returns close's result.
int portLetGo(PortRecord& record) {
    record.inUse = false;
    if (record.foundSaved) {
        (void)baudRestoreTerminal(record.fd, &record.found);
    }
    // Closing releases the advisory lock; a terminal that was hung up refuses
    // the ioctl.
    (void)portIoctl(record.fd, TIOCNXCL, nullptr);
    const int closed = close(record.fd);
    if (record.lockFile[0] != '\0') {
        (void)unlink(record.lockFile);
        record.lockFile[0] = '\0';
    }
    return closed;
}

void portReleaseAll() {
    for (PortRecord& record : portRecords) {
        if (record.inUse) {
            (void)portLetGo(record);
        }
    }
}

// Holds the checked device for record: lock file, device, exclusive mode,
// and what the terminal looked like. False when somebody else was quicker.
bool portTake(PortRecord& record, const char* path, dev_t device, PortLock lock,
              const char* lockFile) {
    record.lockFile[0] = '\0';
    if (lock == PortLock::free) {
        switch (portTakeLock(lockFile)) {
        case PortLockTaken::held:
            return false;
        case PortLockTaken::ours:
            (void)std::snprintf(record.lockFile, sizeof record.lockFile, "%s", lockFile);
            break;
        case PortLockTaken::none:
            break;
        }
    }
    record.fd = portOpenExclusive(path, device);
    if (record.fd < 0) {
        if (record.lockFile[0] != '\0') {
            (void)unlink(record.lockFile);
        }
        return false;
    }
    // The open raises DTR and RTS; DTR resets the board, so both go back
    // down at once. Pseudo-terminals have no modem lines and refuse.
    (void)portClearLines(record.fd, TIOCM_DTR | TIOCM_RTS);
    record.foundSaved = baudSaveTerminal(record.fd, &record.found) != 0;
    (void)baudRequestLowLatency(record.fd, &record.found);
    record.inUse = true;
    return true;
}

std::uint8_t portReadParity(tcflag_t cflag) {
    if ((cflag & PARENB) == 0) {
        return platNoParity;
    }
    bool odd = (cflag & PARODD) != 0;
    if (portStickParity != 0 && (cflag & portStickParity) != 0) {
        return odd ? portMarkParity : portSpaceParity;
    }
    return odd ? portOddParity : portEvenParity;
}

// The control-flag bits for a parity code; false when the code cannot be
// set here.
bool portParityFlags(std::uint8_t parity, tcflag_t* flags) {
    switch (parity) {
    case platNoParity:
        *flags = 0;
        return true;
    case portOddParity:
        *flags = PARENB | PARODD;
        return true;
    case portEvenParity:
        *flags = PARENB;
        return true;
    case portMarkParity:
        *flags = PARENB | PARODD | portStickParity;
        return portStickParity != 0;
    case portSpaceParity:
        *flags = PARENB | portStickParity;
        return portStickParity != 0;
    default:
        return false;
    }
}

const PortSpeed* portFindSpeed(std::uint32_t rate) {
    for (const PortSpeed& speed : portSpeeds) {
        if (speed.rate == rate) {
            return &speed;
        }
    }
    return nullptr;
}

bool portRateMatches(std::uint32_t wanted, std::uint32_t actual) {
    std::uint64_t difference = wanted > actual ? wanted - actual : actual - wanted;
    return difference * 1000 <= std::uint64_t{wanted} * portRateTolerancePermille;
}

// Raw mode: no echo, no line editing, no signals, no translation in either
// direction, so that every byte value passes unchanged.
void portMakeRaw(termios* attributes) {
    attributes->c_iflag = 0;
    attributes->c_oflag = 0;
    attributes->c_lflag = 0;
    // With VMIN 0 a read with nothing waiting would look like end of file.
    attributes->c_cc[VMIN] = 1;
    attributes->c_cc[VTIME] = 0;
}

int portApplyRate(int fd, termios* attributes, std::uint32_t rate) {
    const PortSpeed* speed = portFindSpeed(rate);
    if (speed != nullptr) {
        attributes->c_cflag &= ~portInputSpeedBits;
        if (cfsetospeed(attributes, speed->code) != 0 ||
            cfsetispeed(attributes, speed->code) != 0) {
            return 0;
        }
    }
    if (tcsetattr(fd, TCSANOW, attributes) != 0) {
        return 0;
    }
    if (speed == nullptr && baudWriteRate(fd, rate) == 0) {
        return 0;
    }
    std::uint32_t actual = 0;
    return baudReadRate(fd, &actual) != 0 && portRateMatches(rate, actual) ? 1 : 0;
}

// Whether the driver kept the framing and flow control it was given
// (tcsetattr succeeds when any part of the request was taken).
bool portFramingTaken(int fd, tcflag_t wanted) {
    constexpr tcflag_t checked = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | portStickParity;
    termios actual{};
    return tcgetattr(fd, &actual) == 0 && (actual.c_cflag & checked) == (wanted & checked);
}

// Milliseconds for poll() until deadline, rounded up; -1 for no deadline.
int portPollWait(Clock::time_point deadline, bool hasDeadline) {
    if (!hasDeadline) {
        return -1;
    }
    auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    constexpr decltype(ms) longestPoll = decltype(ms){3600} * 1000;
    return static_cast<int>(ms < longestPoll ? ms : longestPoll);
}

} // namespace

PortHandle platOpenPort(int n) {
    char path[portPathSize];
    char lockFile[portPathSize];
    if (!portDevicePath(n, path, sizeof path) || !portLockPath(path, lockFile, sizeof lockFile)) {
        return platNoPort;
    }
    // A scan asks for rising numbers; a number not above the last starts the
    // next scan, which looks at /proc afresh.
    if (n <= portLastAsked) {
        portHoldersKnown = false;
    }
    portLastAsked = n;

    PortRecord* record = nullptr;
    for (PortRecord& candidate : portRecords) {
        if (!candidate.inUse) {
            record = &candidate;
            break;
        }
    }
    struct stat device {};
    if (record == nullptr || stat(path, &device) != 0 || !S_ISCHR(device.st_mode) ||
        portIsOwnTerminal(device.st_rdev)) {
        return platNoPort;
    }
    const PortLock lock = portCheckLock(lockFile);
    if (lock == PortLock::held) {
        return platNoPort;
    }
    if (!portHoldersKnown) {
        portFindHolders();
    }
    if (portHeldByOthers(device.st_rdev)) {
        return platNoPort;
    }

    guardAdd(portReleaseAll);
    guardHold();
    const bool taken = portTake(*record, path, device.st_rdev, lock, lockFile);
    guardLetGo();
    if (!taken) {
        return platNoPort;
    }
    record->settings = PortSettings{};
    record->settings.DCBlength = sizeof(PortSettings);
    record->settings.fBinary = 1;
    record->timeouts = PortTimeouts{};
    return record->fd;
}

int platReadSettings(PortHandle port, PortSettings* settings) {
    PortRecord* record = portFind(port);
    termios attributes{};
    std::uint32_t rate = 0;
    if (record == nullptr || settings == nullptr || tcgetattr(record->fd, &attributes) != 0 ||
        baudReadRate(record->fd, &rate) == 0) {
        return 0;
    }
    PortSettings result = record->settings;
    const tcflag_t cflag = attributes.c_cflag;
    result.BaudRate = rate;
    for (std::size_t i = 0; i < std::size(portSizeFlags); ++i) {
        if ((cflag & CSIZE) == portSizeFlags[i]) {
            result.ByteSize = static_cast<std::uint8_t>(5 + i);
        }
    }
    result.Parity = portReadParity(cflag);
    result.StopBits = (cflag & CSTOPB) != 0 ? portTwoStopBits : platOneStopBit;
    result.fOutxCtsFlow = (cflag & CRTSCTS) != 0 ? 1 : 0;
    result.fOutX = (attributes.c_iflag & IXON) != 0 ? 1 : 0;
    result.fInX = (attributes.c_iflag & IXOFF) != 0 ? 1 : 0;
    result.XonChar = static_cast<char>(attributes.c_cc[VSTART]);
    result.XoffChar = static_cast<char>(attributes.c_cc[VSTOP]);
    // The modem lines as they stand; without them (pseudo-terminals) the
    // control fields keep what was last written.
    int lines = 0;
    if (portIoctl(record->fd, TIOCMGET, &lines) == 0) {
        result.fDtrControl =
            (lines & TIOCM_DTR) != 0 ? platDtrControlEnable : platDtrControlDisable;
        result.fRtsControl =
            (lines & TIOCM_RTS) != 0 ? platRtsControlEnable : platRtsControlDisable;
    }
    *settings = result;
    return 1;
}

int platWriteSettings(PortHandle port, const PortSettings* settings) {
    PortRecord* record = portFind(port);
    if (record == nullptr || settings == nullptr) {
        return 0;
    }
    const PortSettings wanted = *settings;
    tcflag_t parity = 0;
    if (wanted.BaudRate == 0 || wanted.ByteSize < 5 || wanted.ByteSize > 8 ||
        !portParityFlags(wanted.Parity, &parity) ||
        (wanted.StopBits != platOneStopBit && wanted.StopBits != portTwoStopBits)) {
        return 0;
    }
    termios before{};
    std::uint32_t rateBefore = 0;
    if (tcgetattr(record->fd, &before) != 0 || baudReadRate(record->fd, &rateBefore) == 0) {
        return 0;
    }
    termios attributes = before;
    portMakeRaw(&attributes);
    attributes.c_iflag |= (wanted.fOutX != 0 ? IXON : 0) | (wanted.fInX != 0 ? IXOFF : 0);
    attributes.c_cc[VSTART] = static_cast<cc_t>(wanted.XonChar);
    attributes.c_cc[VSTOP] = static_cast<cc_t>(wanted.XoffChar);
    attributes.c_cflag &= ~(CSIZE | PARENB | PARODD | portStickParity | CSTOPB | CRTSCTS | HUPCL);
    attributes.c_cflag |= CLOCAL | CREAD | portSizeFlags[wanted.ByteSize - 5] | parity;
    attributes.c_cflag |= (wanted.StopBits == portTwoStopBits ? CSTOPB : 0) |
                          (wanted.fOutxCtsFlow != 0 ? CRTSCTS : 0);

    // The new settings take effect at once, like a change on the board's
    // side: bytes still in the output queue may leave at the new rate.
    if (portApplyRate(record->fd, &attributes, wanted.BaudRate) == 0 ||
        !portFramingTaken(record->fd, attributes.c_cflag)) {
        // Refused: back to the settings from before, rate included.
        (void)tcsetattr(record->fd, TCSANOW, &before);
        if (portFindSpeed(rateBefore) == nullptr) {
            (void)baudWriteRate(record->fd, rateBefore);
        }
        return 0;
    }
    // Modem lines: refused on pseudo-terminals, which have none.
    if (wanted.fDtrControl == platDtrControlDisable) {
        (void)portClearLines(record->fd, TIOCM_DTR);
    } else {
        (void)portSetLines(record->fd, TIOCM_DTR);
    }
    if (wanted.fRtsControl == platRtsControlDisable) {
        (void)portClearLines(record->fd, TIOCM_RTS);
    } else {
        (void)portSetLines(record->fd, TIOCM_RTS);
    }
    record->settings = wanted;
    return 1;
}

int platReadTimeouts(PortHandle port, PortTimeouts* timeouts) {
    PortRecord* record = portFind(port);
    if (record == nullptr || timeouts == nullptr) {
        return 0;
    }
    *timeouts = record->timeouts;
    return 1;
}

int platWriteTimeouts(PortHandle port, const PortTimeouts* timeouts) {
    PortRecord* record = portFind(port);
    if (record == nullptr || timeouts == nullptr) {
        return 0;
    }
    record->timeouts = *timeouts;
    return 1;
}

int platSetDtr(PortHandle port) {
    PortRecord* record = portFind(port);
    return record != nullptr ? portSetLines(record->fd, TIOCM_DTR) : 0;
}

int platClearDtr(PortHandle port) {
    PortRecord* record = portFind(port);
    return record != nullptr ? portClearLines(record->fd, TIOCM_DTR) : 0;
}

int platWrite(PortHandle port, const void* bytes, std::uint32_t count, std::uint32_t* written) {
    PortRecord* record = portFind(port);
    if (written != nullptr) {
        *written = 0;
    }
    if (record == nullptr || (bytes == nullptr && count != 0)) {
        return 0;
    }
    const auto* next = static_cast<const unsigned char*>(bytes);
    std::uint32_t done = 0;
    while (done < count) {
        ssize_t result = write(record->fd, next + done, count - done);
        if (result > 0) {
            done += static_cast<std::uint32_t>(result);
            if (written != nullptr) {
                *written = done;
            }
            continue;
        }
        if (result < 0 && errno == EINTR) {
            continue;
        }
        if (result == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            return 0;
        }
        // The output queue is full: wait until it takes more.
        pollfd waiting{record->fd, POLLOUT, 0};
        int ready = poll(&waiting, 1, -1);
        if (ready < 0 && errno != EINTR) {
            return 0;
        }
        if (ready > 0 && (waiting.revents & POLLOUT) == 0) {
            return 0; // POLLERR, POLLHUP or POLLNVAL: the port is gone
        }
    }
    return 1;
}

int platDrain(PortHandle port) {
    PortRecord* record = portFind(port);
    if (record == nullptr) {
        return 0;
    }
    int result;
    do {
        result = tcdrain(record->fd);
    } while (result == -1 && errno == EINTR);
    return result == 0 ? 1 : 0;
}

int platDiscardInput(PortHandle port) {
    PortRecord* record = portFind(port);
    if (record == nullptr) {
        return 0;
    }
    return tcflush(record->fd, TCIFLUSH) == 0 ? 1 : 0;
}

int platRead(PortHandle port, void* buffer, std::uint32_t count, std::uint32_t* received) {
    PortRecord* record = portFind(port);
    if (received != nullptr) {
        *received = 0;
    }
    if (record == nullptr || (buffer == nullptr && count != 0)) {
        return 0;
    }
    const PortTimeouts limits = record->timeouts;
    const auto start = Clock::now();
    // As on the Win32 side: a total limit of zero and an interval of zero
    // mean no limit; the largest interval with no total limit means "take
    // what has arrived and return at once".
    std::uint64_t totalMs =
        std::uint64_t{limits.ReadTotalTimeoutMultiplier} * count + limits.ReadTotalTimeoutConstant;
    const bool immediate = limits.ReadIntervalTimeout == portMaxTimeout && totalMs == 0;
    const bool hasTotal = totalMs != 0 || immediate;
    totalMs = totalMs < portLongestWaitMs ? totalMs : portLongestWaitMs;
    const auto totalDeadline = start + std::chrono::milliseconds(totalMs);
    const bool hasInterval = limits.ReadIntervalTimeout != 0 && !immediate;
    const auto interval = std::chrono::milliseconds(limits.ReadIntervalTimeout);

    auto* into = static_cast<unsigned char*>(buffer);
    std::uint32_t got = 0;
    Clock::time_point lastByte{};
    while (got < count) {
        // The interval limit runs only from the first received byte on.
        bool hasDeadline = hasTotal;
        auto deadline = totalDeadline;
        if (hasInterval && got > 0) {
            auto intervalDeadline = lastByte + interval;
            deadline =
                hasDeadline && totalDeadline < intervalDeadline ? totalDeadline : intervalDeadline;
            hasDeadline = true;
        }
        pollfd waiting{record->fd, POLLIN, 0};
        int ready = poll(&waiting, 1, portPollWait(deadline, hasDeadline));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return 0;
        }
        if (ready == 0) {
            if (Clock::now() >= deadline) {
                break; // a time-out: success with the bytes so far
            }
            continue;
        }
        if ((waiting.revents & POLLIN) == 0) {
            return 0; // POLLERR, POLLHUP or POLLNVAL with nothing to read
        }
        ssize_t result = read(record->fd, into + got, count - got);
        if (result > 0) {
            got += static_cast<std::uint32_t>(result);
            lastByte = Clock::now();
            if (received != nullptr) {
                *received = got;
            }
        } else if (result == 0) { // NOLINT(bugprone-branch-clone): two causes, told apart
            return 0;             // end of file: the line was hung up
        } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            return 0;
        }
    }
    return 1;
}

int platClosePort(PortHandle port) {
    PortRecord* record = portFind(port);
    if (record == nullptr) {
        return 0;
    }
    guardHold();
    const int closed = portLetGo(*record);
    guardLetGo();
    return closed == 0 ? 1 : 0;
}

void platSleep(std::uint32_t ms) {
    timespec deadline{};
    if (clock_gettime(CLOCK_MONOTONIC, &deadline) != 0) {
        // No monotonic clock: a relative pause, continued after signals.
        timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
        while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
        return;
    }
    deadline.tv_sec += static_cast<time_t>(ms / 1000);
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    // The deadline is absolute, so a signal does not lengthen the pause.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}
