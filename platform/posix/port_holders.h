// Who else holds a serial device, and holding one ourselves: the program's
// own terminal, UUCP lock files, the other processes' open devices (/proc)
// and the terminal's exclusive mode. See port_holders.cpp.
#pragma once

#include <cstddef>
#include <sys/types.h>

enum class PortLock {
    free,     // no lock file, or a stale one that is gone now
    held,     // somebody's live lock, or one we cannot judge
    unusable, // a stale lock we may not remove: the port is free, but unlocked
};

enum class PortLockTaken { ours, held, none };

// Port n is asked for: a number not above the last one asked starts a scan.
void portStartsAsking(int n);

// The UUCP lock file of a device: LCK.. and the device file's name.
bool portLockPath(const char* device, char* path, std::size_t size);

// Whether device is behind standard input, output or error, or is the
// controlling terminal.
bool portIsOwnTerminal(dev_t device);

// One pass over /proc, afresh.
void portFindHolders();
// Whether a process other than this one has device open, as the last pass
// over /proc of this scan saw it (one is made when the scan has none yet).
bool portHeldByOthers(dev_t device);

// Judges a lock file; a stale one is removed.
PortLock portCheckLock(const char* lockFile);
// Creates our lock file; none when the lock folder is not ours to write (the
// port is then held by the advisory lock and exclusive mode only).
PortLockTaken portTakeLock(const char* lockFile);

// Opens the device, which must still be the one checked, and holds it
// (advisory lock, exclusive mode); -1 when it is not a terminal or somebody
// holds it.
int portOpenExclusive(const char* path, dev_t device);
