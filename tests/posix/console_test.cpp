// The POSIX console: output order, and keys from a pipe and from a terminal
// (a pseudo-terminal standing in for the operator's).
#include "platform/platform.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

// Puts fd in place of standard stream target for the life of the object.
struct Redirect {
    int target;
    int saved;
    Redirect(int fd, int stream) : target(stream), saved(dup(stream)) {
        EXPECT_GE(saved, 0);
        EXPECT_EQ(dup2(fd, stream), stream);
    }
    ~Redirect() {
        dup2(saved, target);
        close(saved);
    }
};

struct Pty {
    int master = -1;
    int slave = -1;
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master, 0);
        EXPECT_EQ(grantpt(master), 0);
        EXPECT_EQ(unlockpt(master), 0);
        slave = open(ptsname(master), O_RDWR | O_NOCTTY);
        EXPECT_GE(slave, 0);
    }
    ~Pty() {
        close(slave);
        close(master);
    }
    // What the terminal shows (its echo), within wait ms.
    std::string shown(int wait) const {
        std::string text;
        pollfd waiting{master, POLLIN, 0};
        char chunk[64];
        while (poll(&waiting, 1, wait) == 1) {
            ssize_t n = read(master, chunk, sizeof chunk);
            if (n <= 0) {
                break;
            }
            text.append(chunk, static_cast<std::size_t>(n));
        }
        return text;
    }
};

TEST(PosixConsole, OutputAndErrorAppearInCallOrder) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    {
        std::fflush(stdout);
        Redirect out(fileno(file), STDOUT_FILENO);
        Redirect err(fileno(file), STDERR_FILENO);
        platErr("check COM%d", 3);
        platOut(" OK\n%s", "reset device");
        platErr("%c", '!');
        platOut("%s", ".");
    }
    std::rewind(file);
    char text[64] = {};
    std::size_t length = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    EXPECT_EQ(std::string(text, length), "check COM3 OK\nreset device!.");
}

TEST(PosixConsole, KeysFromAPipeEndWithMinusOne) {
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    ASSERT_EQ(write(pipeEnds[1], "y\xff", 2), 2);
    close(pipeEnds[1]);
    Redirect in(pipeEnds[0], STDIN_FILENO);
    close(pipeEnds[0]);
    EXPECT_EQ(platGetKey(), 'y');
    EXPECT_EQ(platGetKey(), 0xff);
    EXPECT_EQ(platGetKey(), -1);
    EXPECT_EQ(platGetKey(), -1);
}

TEST(PosixConsole, TerminalKeyNeedsNoEnterAndIsNotEchoed) {
    Pty pty;
    termios before{};
    ASSERT_EQ(tcgetattr(pty.slave, &before), 0);
    ASSERT_NE(before.c_lflag & ICANON, 0u);
    // Typed before the prompt: thrown away, so it cannot answer a question
    // that was not shown yet.
    ASSERT_EQ(write(pty.master, "yy", 2), 2);
    EXPECT_EQ(pty.shown(100), "yy"); // the terminal's own echo while cooked
    Redirect in(pty.slave, STDIN_FILENO);
    for (const char typed : {'n', 'a'}) {
        std::thread operatorKey([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            EXPECT_EQ(write(pty.master, &typed, 1), 1);
        });
        EXPECT_EQ(platGetKey(), typed);
        operatorKey.join();
    }
    EXPECT_EQ(pty.shown(50), "");

    termios after{};
    ASSERT_EQ(tcgetattr(pty.slave, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_cc[VMIN], before.c_cc[VMIN]);
}

TEST(PosixConsole, TerminalIsRestoredWhenTerminatedWhileWaiting) {
    Pty pty;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGTERM, SIG_DFL);
        dup2(pty.slave, STDIN_FILENO);
        platGetKey();
        _exit(0);
    }
    // Wait until the child has the terminal in key mode.
    termios seen{};
    for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(tcgetattr(pty.master, &seen), 0);
        if ((seen.c_lflag & ICANON) == 0) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(seen.c_lflag & ICANON, 0u);
    ASSERT_EQ(kill(child, SIGTERM), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(WTERMSIG(status), SIGTERM);
    ASSERT_EQ(tcgetattr(pty.master, &seen), 0);
    EXPECT_EQ(seen.c_lflag & (ICANON | ECHO), tcflag_t{ICANON | ECHO});
}

// Ctrl-Z at a prompt: the shell gets its terminal back in line mode, and "fg"
// brings key mode back for the key that is still awaited.
TEST(PosixConsole, StoppedAtAPromptTheTerminalIsInLineModeUntilContinued) {
    Pty pty;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setpgid(0, 0); // a job of its own, whose stop the kernel carries out
        dup2(pty.slave, STDIN_FILENO);
        _exit(platGetKey());
    }
    const auto awaitLineMode = [&](bool line) {
        termios seen{};
        for (int i = 0; i < 500; ++i) {
            EXPECT_EQ(tcgetattr(pty.master, &seen), 0);
            if (((seen.c_lflag & ICANON) != 0) == line) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return seen.c_lflag & (ICANON | ECHO);
    };
    ASSERT_EQ(awaitLineMode(false), 0u);
    ASSERT_EQ(kill(child, SIGTSTP), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, WUNTRACED), child);
    EXPECT_TRUE(WIFSTOPPED(status));
    EXPECT_EQ(awaitLineMode(true), tcflag_t{ICANON | ECHO});

    ASSERT_EQ(kill(child, SIGCONT), 0);
    EXPECT_EQ(awaitLineMode(false), 0u);
    ASSERT_EQ(write(pty.master, "k", 1), 1);
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 'k');
    EXPECT_EQ(awaitLineMode(true), tcflag_t{ICANON | ECHO});
}

} // namespace
