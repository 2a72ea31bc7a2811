// Who else holds a serial device, decided before the device is even opened
// (opening a serial port raises its modem lines), and holding it ourselves.
//
// The program is a guest on the operator's PC: a port that anybody else uses
// is skipped before a byte is sent or a line or setting is changed, as share
// mode 0 skips it on Windows.
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
#include "platform/posix/port_holders.h"

#include "platform/posix/port_system.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#ifndef UPDATER_LOCK_DIR
#define UPDATER_LOCK_DIR "/run/lock/"
#endif

namespace {

// Character devices that other processes have open, from one pass over /proc,
// sorted; valid for the scan in which it was taken.
std::vector<dev_t> portHolders;
bool portHoldersKnown = false;
int portLastAsked = 0;

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

} // namespace

void portStartsAsking(int n) {
    // A scan asks for rising numbers; a number not above the last starts the
    // next scan, which looks at /proc afresh.
    if (n <= portLastAsked) {
        portHoldersKnown = false;
    }
    portLastAsked = n;
}

bool portLockPath(const char* device, char* path, std::size_t size) {
    const char* slash = std::strrchr(device, '/');
    const char* name = slash != nullptr ? slash + 1 : device;
    const std::size_t dirLength = std::strlen(UPDATER_LOCK_DIR);
    const char* separator = dirLength > 0 && UPDATER_LOCK_DIR[dirLength - 1] != '/' ? "/" : "";
    int length = std::snprintf(path, size, "%s%sLCK..%s", UPDATER_LOCK_DIR, separator, name);
    return length > 0 && static_cast<std::size_t>(length) < size;
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
    if (!portHoldersKnown) {
        portFindHolders();
    }
    return std::binary_search(portHolders.begin(), portHolders.end(), device);
}

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
        (void)portSysClose(fd);
        return -1;
    }
    if (portExclusive(fd)) {
        // Somebody set exclusive mode. If nobody has the terminal open now
        // (looked at afresh), a run that was killed left it behind.
        portFindHolders();
        if (portHeldByOthers(device) || portIoctl(fd, TIOCNXCL, nullptr) != 0) {
            (void)portSysClose(fd);
            return -1;
        }
    }
    if (portIoctl(fd, TIOCEXCL, nullptr) != 0) {
        (void)portSysClose(fd);
        return -1;
    }
    return fd;
}
