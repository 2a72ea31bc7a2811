// Console for POSIX systems: single keys read without echo and without
// Enter, with the terminal put back afterwards.
#include "platform/platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iterator>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Signals that end the program while it waits for a key; the terminal gets
// its settings back before the program goes.
constexpr int consoleSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr std::size_t consoleSignalCount = std::size(consoleSignals);

// Shared with the signal handler: the terminal settings to put back, and
// whether the terminal is in key mode now.
termios consoleSaved{};
volatile std::sig_atomic_t consoleKeyMode = 0;

struct sigaction consolePrevious[consoleSignalCount] = {};
bool consoleHandled[consoleSignalCount] = {};

void consoleOnSignal(int signal) {
    const int savedErrno = errno;
    if (consoleKeyMode != 0) {
        (void)tcsetattr(STDIN_FILENO, TCSANOW, &consoleSaved);
    }
    // Re-raised with the default action; it arrives as soon as this handler
    // returns and the signal is unblocked again.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    (void)sigemptyset(&fallback.sa_mask);
    (void)sigaction(signal, &fallback, nullptr);
    (void)raise(signal);
    errno = savedErrno;
}

void consoleInstallHandlers() {
    struct sigaction handler {};
    handler.sa_handler = consoleOnSignal;
    (void)sigemptyset(&handler.sa_mask);
    for (std::size_t i = 0; i < consoleSignalCount; ++i) {
        consoleHandled[i] = false;
        // A signal the program was started to ignore stays ignored.
        if (sigaction(consoleSignals[i], nullptr, &consolePrevious[i]) != 0 ||
            consolePrevious[i].sa_handler == SIG_IGN) {
            continue;
        }
        consoleHandled[i] = sigaction(consoleSignals[i], &handler, nullptr) == 0;
    }
}

void consoleRemoveHandlers() {
    for (std::size_t i = 0; i < consoleSignalCount; ++i) {
        if (consoleHandled[i]) {
            (void)sigaction(consoleSignals[i], &consolePrevious[i], nullptr);
            consoleHandled[i] = false;
        }
    }
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

    consoleSaved = saved;
    consoleInstallHandlers();
    consoleKeyMode = 1;
    const int changed = consoleSetTerminal(&keyMode, TCSAFLUSH);
    const int key = consoleReadByte();
    if (changed != 0) {
        (void)consoleSetTerminal(&saved);
    }
    consoleKeyMode = 0;
    consoleRemoveHandlers();
    return key;
}
