// Release on interruption for Windows: a console control handler. Ctrl-C,
// Ctrl-Break and the closing of the console window run every release function
// on the console's control thread; the handler then passes the event on, and
// the system's default handler ends the program as it always does.
#include "platform/guard.h"

#include <windows.h>

namespace {

// The port, the console and the conversion file.
constexpr int guardMaxReleases = 4;

GuardRelease guardReleases[guardMaxReleases] = {};
int guardCount = 0;
bool guardInstalled = false;
// Taken by the handler for good: once it has given everything back, nothing
// may take a port or create a file again before the program ends.
CRITICAL_SECTION guardLock;

BOOL WINAPI guardOnControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    EnterCriticalSection(&guardLock);
    for (int i = 0; i < guardCount; ++i) {
        guardReleases[i]();
    }
    return FALSE; // on to the default handler, which ends the program
}

void guardInstall() {
    InitializeCriticalSection(&guardLock);
    guardInstalled = true;
    // Without a console (a service, a pipe from another program) there are
    // no console events, and the process ends the ordinary way.
    (void)SetConsoleCtrlHandler(guardOnControl, TRUE);
}

} // namespace

void guardAdd(GuardRelease release) {
    if (!guardInstalled) {
        guardInstall();
    }
    guardHold();
    bool known = false;
    for (int i = 0; i < guardCount; ++i) {
        known = known || guardReleases[i] == release;
    }
    if (!known && guardCount < guardMaxReleases) {
        guardReleases[guardCount++] = release;
    }
    guardLetGo();
}

void guardHold() {
    if (!guardInstalled) {
        guardInstall();
    }
    EnterCriticalSection(&guardLock);
}

void guardLetGo() {
    LeaveCriticalSection(&guardLock);
}
