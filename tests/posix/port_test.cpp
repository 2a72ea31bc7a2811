// The POSIX serial port against real pseudo-terminals: the port code under
// test looks for its device files in TEST_DEVICE_DIR, where each test links
// the names it needs (ttyS0, ttyUSB3, ...) to the slave side of a fresh
// pseudo-terminal and plays the board on the master side.
#include "platform/platform.h"
#include "pty_probe.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

long msSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<milliseconds>(Clock::now() - start).count());
}

std::string devicePath(const char* name) {
    return std::string(TEST_DEVICE_DIR) + name;
}

// A pseudo-terminal whose slave is linked under a device name.
struct Pty {
    int master = -1;
    std::string link;

    explicit Pty(const char* name) : link(devicePath(name)) {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master, 0);
        EXPECT_EQ(grantpt(master), 0);
        EXPECT_EQ(unlockpt(master), 0);
        unlink(link.c_str());
        EXPECT_EQ(symlink(ptsname(master), link.c_str()), 0);
    }
    ~Pty() {
        unlink(link.c_str());
        if (master >= 0) {
            close(master);
        }
    }

    // All of count bytes from the board's side, or fewer after 5 s.
    std::vector<unsigned char> take(std::size_t count) const {
        std::vector<unsigned char> bytes(count);
        std::size_t got = 0;
        pollfd waiting{master, POLLIN, 0};
        while (got < count && poll(&waiting, 1, 5000) == 1) {
            ssize_t n = read(master, bytes.data() + got, count - got);
            if (n <= 0) {
                break;
            }
            got += static_cast<std::size_t>(n);
        }
        bytes.resize(got);
        return bytes;
    }
    void give(const void* bytes, std::size_t count) const {
        ASSERT_EQ(write(master, bytes, count), static_cast<ssize_t>(count));
    }
};

// Tests run as separate processes and share the device folder, so they take
// turns.
class PosixPort : public ::testing::Test {
  protected:
    void SetUp() override {
        lock = open(devicePath(".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(lock, 0);
        ASSERT_EQ(flock(lock, LOCK_EX), 0);
    }
    void TearDown() override {
        if (port != platNoPort) {
            platClosePort(port);
        }
        close(lock);
    }

    // Opens COM1 at 38400 8N1 raw with the given read time-outs.
    void openBoardPort(std::uint32_t interval, std::uint32_t multiplier, std::uint32_t constant) {
        port = platOpenPort(1);
        ASSERT_NE(port, platNoPort);
        PortSettings settings{};
        ASSERT_NE(platReadSettings(port, &settings), 0);
        settings.BaudRate = 38400;
        settings.ByteSize = 8;
        settings.Parity = platNoParity;
        settings.StopBits = platOneStopBit;
        settings.fOutxCtsFlow = settings.fOutX = settings.fInX = 0;
        ASSERT_NE(platWriteSettings(port, &settings), 0);
        setReadTimeouts(interval, multiplier, constant);
    }
    // With the write limits that the program sets: a line that takes its
    // bytes is never cut short by them.
    void setReadTimeouts(std::uint32_t interval, std::uint32_t multiplier, std::uint32_t constant) {
        PortTimeouts timeouts{interval, multiplier, constant, 1, 500};
        ASSERT_NE(platWriteTimeouts(port, &timeouts), 0);
    }

    int lock = -1;
    PortHandle port = platNoPort;
};

struct TimedRead {
    int result;
    std::uint32_t received;
    Clock::duration total;
    Clock::duration afterLast; // since the board sent its last piece
};

// Reads count bytes while the board sends each piece a pause (ms) after the
// one before.
TimedRead readWhileBoardSends(const Pty& pty, PortHandle port, void* buffer, std::uint32_t count,
                              std::vector<std::pair<int, std::string>> pieces) {
    auto start = Clock::now();
    Clock::time_point lastSent = start;
    std::thread board([&] {
        for (const auto& [pause, bytes] : pieces) {
            std::this_thread::sleep_for(milliseconds(pause));
            lastSent = Clock::now();
            pty.give(bytes.data(), bytes.size());
        }
    });
    TimedRead read{};
    read.result = platRead(port, buffer, count, &read.received);
    auto end = Clock::now();
    board.join();
    read.total = end - start;
    read.afterLast = end - lastSent;
    return read;
}

// The record has no padding, so equal bytes mean equal fields.
static_assert(sizeof(PortSettings) == 28);
void expectSameSettings(const PortSettings& a, const PortSettings& b) {
    EXPECT_EQ(std::memcmp(&a, &b, sizeof a), 0);
}

TEST_F(PosixPort, OpensOnlyTerminalsThatTheTableNames) {
    Pty com1("ttyS0"), com8("ttyS7"), com9("ttyUSB0"), com24("ttyUSB15"), com25("ttyACM0"),
        com32("ttyACM7");
    for (int n : {1, 8, 9, 24, 25, 32}) {
        PortHandle handle = platOpenPort(n);
        EXPECT_NE(handle, platNoPort) << "COM" << n;
        EXPECT_NE(platClosePort(handle), 0);
    }
    // Missing device, numbers outside the table, a plain file, a device that
    // is not a terminal.
    unlink(devicePath("ttyS1").c_str());
    std::FILE* plain = std::fopen(devicePath("ttyS2").c_str(), "w");
    ASSERT_NE(plain, nullptr);
    std::fclose(plain);
    unlink(devicePath("ttyS3").c_str());
    ASSERT_EQ(symlink("/dev/null", devicePath("ttyS3").c_str()), 0);
    for (int n : {0, 2, 3, 4, 33, -1}) {
        EXPECT_EQ(platOpenPort(n), platNoPort) << "COM" << n;
    }
    unlink(devicePath("ttyS2").c_str());
    unlink(devicePath("ttyS3").c_str());
}

TEST_F(PosixPort, HoldsThePortExclusively) {
    Pty com1("ttyS0");
    port = platOpenPort(1);
    ASSERT_NE(port, platNoPort);
    EXPECT_EQ(platOpenPort(1), platNoPort);

    // Another opener (root here) gets no lock and finds the exclusive mode.
    int other = open(com1.link.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    int exclusive = 0;
    EXPECT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_NE(exclusive, 0);
    close(other);

    // Closing releases both, so the port opens again.
    EXPECT_NE(platClosePort(port), 0);
    port = platOpenPort(1);
    EXPECT_NE(port, platNoPort);
}

TEST_F(PosixPort, RefusesAPortThatAnotherProcessHolds) {
    // The other process holds the port either by lock or by exclusive mode.
    for (bool byLock : {true, false}) {
        Pty com1("ttyS0");
        int ready[2], release[2];
        ASSERT_EQ(pipe(ready), 0);
        ASSERT_EQ(pipe(release), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            int fd = open(com1.link.c_str(), O_RDWR | O_NOCTTY);
            bool held = fd >= 0 && (byLock ? flock(fd, LOCK_EX) : ioctl(fd, TIOCEXCL)) == 0;
            char done = held ? 1 : 0;
            close(release[1]);
            if (write(ready[1], &done, 1) == 1) {
                (void)read(release[0], &done, 1);
            }
            _exit(0);
        }
        close(release[0]);
        char held = 0;
        ASSERT_EQ(read(ready[0], &held, 1), 1);
        ASSERT_EQ(held, 1);
        EXPECT_EQ(platOpenPort(1), platNoPort) << (byLock ? "lock" : "exclusive mode");
        close(release[1]);
        close(ready[0]);
        close(ready[1]);
        int status = 0;
        EXPECT_EQ(waitpid(child, &status, 0), child);
    }
}

std::string lockPath(const char* device) {
    return std::string(TEST_LOCK_DIR) + "LCK.." + device;
}

std::string fileText(const std::string& name) {
    std::string text;
    if (std::FILE* f = std::fopen(name.c_str(), "r")) {
        char buffer[64];
        text.append(buffer, std::fread(buffer, 1, sizeof buffer, f));
        std::fclose(f);
    }
    return text;
}

// Runs holding() in a child process that has opened the terminal, and then
// body() while the child keeps it open (or after it has ended, with lingers
// false).
template <typename Holding, typename Body>
void whileHeldBy(const std::string& terminal, Holding holding, bool lingers, Body body) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(ready[0]);
        int fd = open(terminal.c_str(), O_RDWR | O_NOCTTY);
        char done = fd >= 0 && holding(fd) ? 1 : 0;
        (void)!write(ready[1], &done, 1);
        if (lingers) {
            pause(); // until killed
        }
        _exit(0);
    }
    close(ready[1]);
    char held = 0;
    EXPECT_EQ(read(ready[0], &held, 1), 1);
    close(ready[0]);
    EXPECT_EQ(held, 1);
    if (!lingers) {
        EXPECT_EQ(waitpid(child, nullptr, 0), child);
    }
    body();
    if (lingers) {
        kill(child, SIGKILL);
        EXPECT_EQ(waitpid(child, nullptr, 0), child);
    }
}

// Beyond what the end-to-end runs show (a live and a stale lock, another
// process, the own standard input): the lock file while the port is held, the
// controlling terminal, another user's session, stale exclusive mode.
TEST_F(PosixPort, TakesOnlyWhatNobodyElseHolds) {
    Pty com1("ttyS0");

    // A stale lock is taken over: our PID while we hold the port, gone after.
    pid_t gone = fork();
    if (gone == 0) {
        _exit(0);
    }
    ASSERT_EQ(waitpid(gone, nullptr, 0), gone);
    const std::string lock = lockPath("ttyS0");
    std::FILE* f = std::fopen(lock.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fprintf(f, "%10d\n", static_cast<int>(gone));
    std::fclose(f);
    port = platOpenPort(1);
    ASSERT_NE(port, platNoPort);
    char own[16];
    std::snprintf(own, sizeof own, "%10d\n", static_cast<int>(getpid()));
    EXPECT_EQ(fileText(lock), own);
    EXPECT_NE(platClosePort(port), 0);
    port = platNoPort;
    EXPECT_NE(access(lock.c_str(), F_OK), 0);

    // The controlling terminal, with no descriptor open on it any more.
    pid_t session = fork();
    ASSERT_GE(session, 0);
    if (session == 0) {
        int terminal = setsid() < 0 ? -1 : open(ptsname(com1.master), O_RDWR);
        if (terminal < 0 || close(terminal) != 0) {
            _exit(2);
        }
        _exit(platOpenPort(1) == platNoPort ? 0 : 1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(session, &status, 0), session);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    if (geteuid() == 0) {
        // A login session on the terminal, seen by a user who may not look at
        // the session's descriptors, but may read its controlling terminal.
        ASSERT_EQ(chmod(ptsname(com1.master), 0666), 0);
        whileHeldBy(
            com1.link, [](int fd) { return setsid() >= 0 && ioctl(fd, TIOCSCTTY, 0) == 0; }, true,
            [] {
                pid_t user = fork();
                ASSERT_GE(user, 0);
                if (user == 0) {
                    if (setgid(65534) != 0 || setuid(65534) != 0) {
                        _exit(2);
                    }
                    _exit(platOpenPort(1) == platNoPort ? 0 : 1);
                }
                int status = -1;
                ASSERT_EQ(waitpid(user, &status, 0), user);
                EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
            });

        // Exclusive mode left behind by a process that ended: stale, cleared
        // (only root's open gets through exclusive mode at all).
        whileHeldBy(
            com1.link, [](int fd) { return ioctl(fd, TIOCEXCL) == 0; }, false,
            [this] {
                port = platOpenPort(1);
                EXPECT_NE(port, platNoPort);
            });
    }
}

TEST_F(PosixPort, ClosingPutsBackTheSettingsItFound) {
    Pty com1("ttyS0");
    termios found{};
    ASSERT_EQ(tcgetattr(com1.master, &found), 0);
    cfsetspeed(&found, B9600);
    found.c_lflag |= ICANON | ECHO;
    found.c_cflag |= HUPCL;
    ASSERT_EQ(tcsetattr(com1.master, TCSANOW, &found), 0);
    ASSERT_EQ(tcgetattr(com1.master, &found), 0);

    openBoardPort(50, 50, 10);
    PortSettings settings{};
    ASSERT_NE(platReadSettings(port, &settings), 0);
    settings.BaudRate = 256000;
    ASSERT_NE(platWriteSettings(port, &settings), 0);
    EXPECT_NE(platClosePort(port), 0);
    port = platNoPort;

    termios after{};
    ASSERT_EQ(tcgetattr(com1.master, &after), 0);
    EXPECT_EQ(after.c_iflag, found.c_iflag);
    EXPECT_EQ(after.c_oflag, found.c_oflag);
    EXPECT_EQ(after.c_cflag, found.c_cflag);
    EXPECT_EQ(after.c_lflag, found.c_lflag);
    std::uint32_t output = 0, input = 0;
    ASSERT_TRUE(probeRates(com1.master, &output, &input));
    EXPECT_EQ(output, 9600u);
    EXPECT_EQ(input, 9600u);
}

TEST_F(PosixPort, AppliesSettingsAndCarriesTheRest) {
    Pty com1("ttyS0");
    port = platOpenPort(1);
    ASSERT_NE(port, platNoPort);
    PortSettings written{};
    ASSERT_NE(platReadSettings(port, &written), 0);
    written.BaudRate = 38400;
    written.ByteSize = 8;
    written.fOutX = written.fInX = written.fOutxCtsFlow = 0;
    written.fAbortOnError = 1; // fields a terminal has no notion of
    written.fDummy2 = 0x1ABCD;
    written.XonLim = 2048;
    written.EvtChar = 'e';
    written.wReserved1 = 0xBEEF;
    ASSERT_NE(platWriteSettings(port, &written), 0);
    PortSettings read{};
    ASSERT_NE(platReadSettings(port, &read), 0);
    expectSameSettings(read, written);

    termios raw{}; // the slave's settings, seen through the master
    ASSERT_EQ(tcgetattr(com1.master, &raw), 0);
    EXPECT_EQ(raw.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(raw.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | INPCK), 0u);
    EXPECT_EQ(raw.c_oflag & OPOST, 0u);
    EXPECT_EQ(raw.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL | CLOCAL | CREAD),
              CS8 | CLOCAL | CREAD);
    EXPECT_EQ(cfgetospeed(&raw), static_cast<speed_t>(B38400));

    // Rates without a speed constant, and a standard rate after one: both
    // directions follow.
    for (std::uint32_t rate : {256000u, 128000u, 115200u, 38400u, 256000u}) {
        written.BaudRate = rate;
        ASSERT_NE(platWriteSettings(port, &written), 0) << rate;
        std::uint32_t output = 0, input = 0;
        ASSERT_TRUE(probeRates(com1.master, &output, &input));
        EXPECT_EQ(output, rate);
        EXPECT_EQ(input, rate);
        ASSERT_NE(platReadSettings(port, &read), 0);
        EXPECT_EQ(read.BaudRate, rate);
    }

    // Two stop bits and flow control.
    written.StopBits = 2;
    written.fOutxCtsFlow = written.fOutX = written.fInX = 1;
    ASSERT_NE(platWriteSettings(port, &written), 0);
    ASSERT_NE(platReadSettings(port, &read), 0);
    expectSameSettings(read, written);
    ASSERT_EQ(tcgetattr(com1.master, &raw), 0);
    EXPECT_EQ(raw.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), CS8 | CSTOPB | CRTSCTS);
    EXPECT_EQ(raw.c_iflag & (IXON | IXOFF), IXON | IXOFF);

    // Seven data bits with even parity: newer kernels keep pseudo-terminals
    // at 8N, and then the write must fail and leave the settings as they were.
    PortSettings parity = written;
    parity.ByteSize = 7;
    parity.Parity = 2;
    if (platWriteSettings(port, &parity) != 0) {
        ASSERT_EQ(tcgetattr(com1.master, &raw), 0);
        EXPECT_EQ(raw.c_cflag & (CSIZE | PARENB | PARODD), CS7 | PARENB);
        written = parity;
    }
    ASSERT_NE(platReadSettings(port, &read), 0);
    expectSameSettings(read, written);

    // Refused settings change nothing.
    const PortSettings good = written;
    for (int field = 0; field < 5; ++field) {
        PortSettings bad = good;
        bad.BaudRate = field == 0 ? 0 : bad.BaudRate;
        bad.ByteSize = field == 1 ? 9 : field == 2 ? 4 : bad.ByteSize;
        bad.StopBits = field == 3 ? 1 : bad.StopBits;
        bad.Parity = field == 4 ? 5 : bad.Parity;
        EXPECT_EQ(platWriteSettings(port, &bad), 0) << field;
    }
    ASSERT_NE(platReadSettings(port, &read), 0);
    expectSameSettings(read, good);
}

TEST_F(PosixPort, ReadEndsByCountIntervalOrTotalLimit) {
    Pty com1("ttyS0");
    openBoardPort(50, 50, 10);
    unsigned char buffer[5] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA};

    // No reply: 50 * 5 + 10 ms, and the buffer keeps what it held.
    TimedRead read = readWhileBoardSends(com1, port, buffer, 5, {});
    EXPECT_NE(read.result, 0);
    EXPECT_EQ(read.received, 0u);
    EXPECT_GE(read.total, milliseconds(260));
    EXPECT_LT(read.total, milliseconds(1000));
    EXPECT_EQ(std::count(buffer, buffer + 5, 0xAA), 5);

    // A reply that stops half-way: 50 ms after its last byte.
    setReadTimeouts(50, 200, 0);
    read = readWhileBoardSends(com1, port, buffer, 5, {{20, "A"}, {30, "B"}});
    EXPECT_NE(read.result, 0);
    EXPECT_EQ(read.received, 2u);
    EXPECT_EQ(std::string(buffer, buffer + 2), "AB");
    EXPECT_GE(read.afterLast, milliseconds(50));
    EXPECT_LT(read.total, milliseconds(600));

    // The interval limit runs only from the first byte on.
    setReadTimeouts(50, 0, 1000);
    read = readWhileBoardSends(com1, port, buffer, 2, {{150, "C"}});
    EXPECT_EQ(read.received, 1u);
    EXPECT_GE(read.afterLast, milliseconds(50));
    EXPECT_LT(read.total, milliseconds(700));

    // Bytes that are there already come at once.
    setReadTimeouts(1000, 1000, 1000);
    com1.give("12345", 5);
    read = readWhileBoardSends(com1, port, buffer, 5, {});
    EXPECT_EQ(read.received, 5u);
    EXPECT_LT(read.total, milliseconds(500));

    // With no limits at all the read waits for its bytes.
    setReadTimeouts(0, 0, 0);
    read = readWhileBoardSends(com1, port, buffer, 3, {{100, "xyz"}});
    EXPECT_EQ(read.received, 3u);
}

TEST_F(PosixPort, ReadAndWriteFailWhenTheLineHangsUp) {
    Pty com1("ttyS0");
    openBoardPort(1000, 1000, 5000);
    close(com1.master);
    com1.master = -1;
    char buffer[4];
    std::uint32_t count = 99;
    auto start = Clock::now();
    EXPECT_EQ(platRead(port, buffer, 4, &count), 0);
    EXPECT_LT(msSince(start), 1000);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(platWrite(port, "x", 1, &count), 0);
}

TEST_F(PosixPort, WriteEndsByItsTimeOutWhenTheLineStopsTakingBytes) {
    Pty com1("ttyS0");
    openBoardPort(50, 50, 10);
    // Nobody reads the far end: the terminal's buffers fill, and then the
    // write waits for room that never comes.
    PortTimeouts limits{50, 50, 10, 0, 300};
    ASSERT_NE(platWriteTimeouts(port, &limits), 0);
    std::vector<unsigned char> bytes(1 << 20, 0x55);
    std::uint32_t count = 0;
    auto start = Clock::now();
    EXPECT_EQ(platWrite(port, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &count), 0);
    const long took = msSince(start);
    EXPECT_GE(took, 300);
    EXPECT_LT(took, 3000);
    EXPECT_GT(count, 0u); // what the buffers took before they were full
    EXPECT_LT(count, bytes.size());

    // The line still takes nothing: the next write runs out of its own time,
    // and the drain after it of the bytes' deadline, which has passed.
    start = Clock::now();
    EXPECT_EQ(platWrite(port, bytes.data(), 1, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_GE(msSince(start), 300);
    (void)platDrain(port); // a pseudo-terminal's drain returns at once, but
    EXPECT_LT(msSince(start), 3000);

    // Once the far end reads again, the port carries an exchange as before.
    std::vector<unsigned char> arrived;
    std::thread board([&] {
        arrived = com1.take(1); // what the buffers still held comes first
        while (!arrived.empty() && arrived.back() == 0x55) {
            arrived = com1.take(1);
        }
    });
    const unsigned char packet[] = {0x06, 0x04, 0x00, 0x00, 0x00};
    start = Clock::now();
    EXPECT_NE(platWrite(port, packet, sizeof packet, &count), 0);
    EXPECT_NE(platDrain(port), 0);
    EXPECT_LT(msSince(start), 3000);
    board.join();
    EXPECT_EQ(arrived, std::vector<unsigned char>{0x06});

    // Stuck again, with bytes queued: the close ends at once. (A
    // pseudo-terminal's close does not wait for its output anyway; the close
    // of a stopped USB line, which would wait the driver's closing wait, is
    // judged in the real-driver runs, tests/realline.)
    EXPECT_EQ(platWrite(port, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &count), 0);
    start = Clock::now();
    EXPECT_NE(platClosePort(port), 0);
    port = platNoPort;
    EXPECT_LT(msSince(start), 1000);
}

TEST_F(PosixPort, EveryByteValuePassesUnchangedBothWays) {
    Pty com1("ttyS0");
    openBoardPort(100, 10, 1000);
    // 64 KiB with every byte value, read by the board while it is written.
    std::vector<unsigned char> sent(64 * 1024);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        sent[i] = static_cast<unsigned char>(i * 7 + (i >> 8));
    }
    PortSettings fast{};
    ASSERT_NE(platReadSettings(port, &fast), 0);
    fast.BaudRate = 230400;
    ASSERT_NE(platWriteSettings(port, &fast), 0);
    std::vector<unsigned char> arrived;
    std::thread board([&] { arrived = com1.take(sent.size()); });
    std::uint32_t count = 0;
    const auto start = Clock::now();
    EXPECT_NE(platWrite(port, sent.data(), static_cast<std::uint32_t>(sent.size()), &count), 0);
    EXPECT_NE(platDrain(port), 0);
    EXPECT_LT(msSince(start), 20000);
    board.join();
    EXPECT_EQ(count, sent.size());
    EXPECT_TRUE(arrived == sent);

    unsigned char all[256], back[256] = {};
    for (int i = 0; i < 256; ++i) {
        all[i] = static_cast<unsigned char>(i);
    }
    com1.give(all, 256);
    ASSERT_NE(platRead(port, back, 256, &count), 0);
    EXPECT_EQ(count, 256u);
    EXPECT_TRUE(std::equal(all, all + 256, back));
}

void onAlarm(int) {}

TEST(PosixSleep, LastsItsTimeAlsoWhenSignalsInterrupt) {
    struct sigaction alarm {};
    alarm.sa_handler = onAlarm; // without SA_RESTART, so the pause is interrupted
    ASSERT_EQ(sigaction(SIGALRM, &alarm, nullptr), 0);
    itimerval every10ms{{0, 10000}, {0, 10000}};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every10ms, nullptr), 0);
    auto start = Clock::now();
    platSleep(120);
    long elapsed = msSince(start);
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    EXPECT_GE(elapsed, 120);
    EXPECT_LT(elapsed, 1000);
}

} // namespace
