// Release on interruption for POSIX systems: one handler for the signals that
// end the program. It runs every release function, then lets the signal take
// its default course, so that the parent sees the program die by it (a shell
// prints nothing for SIGINT, and stops a pipeline on it).
#include "platform/guard.h"

#include <cerrno>
#include <csignal>
#include <iterator>

namespace {

constexpr int guardSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

// The port, the console and the conversion file.
constexpr int guardMaxReleases = 4;

GuardRelease guardReleases[guardMaxReleases] = {};
volatile std::sig_atomic_t guardCount = 0;
bool guardInstalled = false;

sigset_t guardHeldMask;
sigset_t guardMaskBefore;

void guardOnSignal(int signal) {
    for (int i = 0; i < guardCount; ++i) {
        guardReleases[i]();
    }
    // The default action, unblocked: the program ends here, by this signal.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    (void)sigemptyset(&fallback.sa_mask);
    (void)sigaction(signal, &fallback, nullptr);
    sigset_t only;
    (void)sigemptyset(&only);
    (void)sigaddset(&only, signal);
    (void)sigprocmask(SIG_UNBLOCK, &only, nullptr);
    (void)raise(signal);
}

void guardInstall() {
    (void)sigemptyset(&guardHeldMask);
    for (const int signal : guardSignals) {
        (void)sigaddset(&guardHeldMask, signal);
    }
    struct sigaction handler {};
    handler.sa_handler = guardOnSignal;
    // A second ending signal waits until the first has done its work.
    handler.sa_mask = guardHeldMask;
    for (const int signal : guardSignals) {
        struct sigaction before {};
        if (sigaction(signal, nullptr, &before) != 0 || before.sa_handler == SIG_IGN) {
            continue; // nohup and the like: ignored it stays
        }
        (void)sigaction(signal, &handler, nullptr);
    }
    guardInstalled = true;
}

} // namespace

void guardAdd(GuardRelease release) {
    // Every time: whatever changed the handlers since (a child of a test that
    // put a default back), the program holds something from here on.
    guardInstall();
    for (int i = 0; i < guardCount; ++i) {
        if (guardReleases[i] == release) {
            return;
        }
    }
    if (guardCount < guardMaxReleases) {
        guardHold();
        guardReleases[guardCount] = release;
        guardCount = guardCount + 1;
        guardLetGo();
    }
}

void guardHold() {
    const int savedErrno = errno;
    if (!guardInstalled) {
        guardInstall();
    }
    (void)sigprocmask(SIG_BLOCK, &guardHeldMask, &guardMaskBefore);
    errno = savedErrno;
}

void guardLetGo() {
    // A signal that came meanwhile is delivered here, with the state whole.
    const int savedErrno = errno;
    (void)sigprocmask(SIG_SETMASK, &guardMaskBefore, nullptr);
    errno = savedErrno;
}
