// Console for POSIX systems: single keys read without echo and without
// Enter, with the terminal put back afterwards, also when the program is
// interrupted or stopped at a prompt.
#include "platform/guard.h"
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Shared with the signal handlers: the terminal settings to put back, the key
// mode, and whether the terminal is in key mode now. Changed under guardHold.
termios consoleSaved{};
termios consoleKeys{};
volatile std::sig_atomic_t consoleKeyMode = 0;

// Job control while a key is awaited: Ctrl-Z hands the shell its terminal in
// line mode, and "fg" brings key mode back.
struct sigaction consoleStopBefore {};
struct sigaction consoleContinueBefore {};

void consoleRelease() {
    if (consoleKeyMode != 0) {
        (void)tcsetattr(STDIN_FILENO, TCSANOW, &consoleSaved);
    }
}

void consoleOnStop(int signal) {
    const int savedErrno = errno;
    consoleRelease();
    // Stop as the default action would, by the same signal; execution goes
    // on here when the program is continued.
    struct sigaction stop {};
    struct sigaction self {};
    stop.sa_handler = SIG_DFL;
    (void)sigemptyset(&stop.sa_mask);
    (void)sigaction(signal, &stop, &self);
    sigset_t only;
    (void)sigemptyset(&only);
    (void)sigaddset(&only, signal);
    (void)sigprocmask(SIG_UNBLOCK, &only, nullptr);
    (void)raise(signal);
    (void)sigprocmask(SIG_BLOCK, &only, nullptr);
    (void)sigaction(signal, &self, nullptr);
    errno = savedErrno;
}

void consoleOnContinue(int) {
    const int savedErrno = errno;
    if (consoleKeyMode != 0) {
        (void)tcsetattr(STDIN_FILENO, TCSANOW, &consoleKeys);
    }
    errno = savedErrno;
}

void consoleInstallJobControl() {
    struct sigaction stop {};
    stop.sa_handler = consoleOnStop;
    (void)sigemptyset(&stop.sa_mask);
    // Stopped by the shell's rule for its jobs, so a stop that the program
    // was started to ignore stays ignored.
    if (sigaction(SIGTSTP, nullptr, &consoleStopBefore) == 0 &&
        consoleStopBefore.sa_handler != SIG_IGN) {
        (void)sigaction(SIGTSTP, &stop, nullptr);
    }
    struct sigaction resume {};
    resume.sa_handler = consoleOnContinue;
    resume.sa_flags = SA_RESTART;
    (void)sigemptyset(&resume.sa_mask);
    (void)sigaction(SIGCONT, &resume, &consoleContinueBefore);
}

void consoleRemoveJobControl() {
    (void)sigaction(SIGTSTP, &consoleStopBefore, nullptr);
    (void)sigaction(SIGCONT, &consoleContinueBefore, nullptr);
}

int consoleSetTerminal(const termios* attributes, int when = TCSANOW) {
    int result;
    do {
        result = tcsetattr(STDIN_FILENO, when, attributes);
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 1 : 0;
}

// The next byte of standard input; -1 at its end or on a read error.
int consoleReadByte() {
    for (;;) {
        unsigned char key = 0;
        ssize_t result = read(STDIN_FILENO, &key, 1);
        if (result == 1) {
            return key;
        }
        if (result == 0) {
            return -1;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // Standard input was left non-blocking by whoever started us.
            pollfd waiting{STDIN_FILENO, POLLIN, 0};
            if (poll(&waiting, 1, -1) < 0 && errno != EINTR) {
                return -1;
            }
        } else if (errno != EINTR) {
            return -1;
        }
    }
}

} // namespace

int platGetKey() {
    termios saved{};
    if (isatty(STDIN_FILENO) != 1 || tcgetattr(STDIN_FILENO, &saved) != 0) {
        return consoleReadByte();
    }
    // Keys typed before the prompt was shown are thrown away: a stray 'y'
    // typed during the long transfer must not answer a question the operator
    // has not seen yet. Piped input keeps every byte.
    termios keyMode = saved;
    keyMode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keyMode.c_cc[VMIN] = 1;
    keyMode.c_cc[VTIME] = 0;

    guardAdd(consoleRelease);
    guardHold();
    consoleSaved = saved;
    consoleKeys = keyMode;
    consoleKeyMode = 1;
    consoleInstallJobControl();
    guardLetGo();
    const int changed = consoleSetTerminal(&keyMode, TCSAFLUSH);
    const int key = consoleReadByte();
    guardHold();
    if (changed != 0) {
        (void)consoleSetTerminal(&saved);
    }
    consoleKeyMode = 0;
    consoleRemoveJobControl();
    guardLetGo();
    return key;
}

void platStart() {
    // A closed standard stream would be the lowest free descriptor, so the
    // first port or file opened would take its number and receive its text.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // The null device opens on the lowest free number, which is fd.
            int opened = open("/dev/null", O_RDWR);
            if (opened >= 0 && opened != fd) {
                (void)close(opened);
            }
        }
    }
}
