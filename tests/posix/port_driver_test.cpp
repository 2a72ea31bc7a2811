// The POSIX port's own files against a model of the driver under them
// (driver_model.h), on a virtual clock: what a drain, a write and a close
// wait for on a UART, on cdc-acm whose device stopped taking bytes, on a USB
// chip that holds bytes in its own transmitter, and on a device that
// vanishes; and how an ending signal, at any step, ends the program.
//
// Each scenario runs in a forked child, which opens COM1 for real (a
// pseudo-terminal linked as MODEL_DEVICE_DIR/ttyS0), puts the model under it
// and may die by a signal; the model's record of calls and times is shared.
#include "driver_model.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace dm = drivermodel;
using dm::Driver;
using dm::ms;
using dm::Nanos;

constexpr std::uint32_t block = 1030; // a block-write packet of 1 KiB
// 1 ms a byte plus 500 ms, the program's write time-outs.
constexpr Nanos blockDeadline = ms(1030 + 500);
constexpr Nanos byteNs38400 = 10'000'000'000LL / 38400;

// What a child did: its wait status, and the results it noted.
struct Child {
    int status = -1;
    bool endedBy(int signal) const { return WIFSIGNALED(status) && WTERMSIG(status) == signal; }
    bool exited() const { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
};

// A note of the child's in the model's record: the port's result of a step,
// at the model's time.
void note(const char* what, long long value) {
    dm::note((std::string("=") + what).c_str(), value);
}

class PortOnDriver : public ::testing::Test {
  protected:
    void SetUp() override {
        lock_ = open(MODEL_DEVICE_DIR ".lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_GE(lock_, 0);
        ASSERT_EQ(flock(lock_, LOCK_EX), 0);
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        unlink(MODEL_DEVICE_DIR "ttyS0");
        ASSERT_EQ(symlink(ptsname(master_), MODEL_DEVICE_DIR "ttyS0"), 0);
    }
    void TearDown() override {
        unlink(MODEL_DEVICE_DIR "ttyS0");
        close(master_);
        close(lock_);
    }

    // Opens COM1 in a child as the program does (38400 8N1, the link's
    // time-outs), puts the driver under it, and runs steps(port).
    template <typename Steps>
    Child run(const dm::Setup& setup, Steps steps,
              const std::vector<std::pair<Nanos, int>>& signals = {}, int signalOnCall = 0,
              int callSignal = 0) {
        dm::reset();
        const pid_t child = fork();
        if (child == 0) {
            const PortHandle port = platOpenPort(1);
            PortSettings settings{};
            if (port == platNoPort || platReadSettings(port, &settings) == 0) {
                _exit(90);
            }
            settings.BaudRate = setup.baud;
            settings.ByteSize = 8;
            settings.Parity = platNoParity;
            settings.StopBits = platOneStopBit;
            const PortTimeouts link = {50, 50, 10, 1, 500};
            if (platWriteSettings(port, &settings) == 0 || platWriteTimeouts(port, &link) == 0) {
                _exit(91);
            }
            dm::attach(static_cast<int>(port), setup);
            for (const auto& [t, signal] : signals) {
                dm::raiseAt(t, signal);
            }
            if (signalOnCall > 0) {
                dm::raiseOnCall(signalOnCall, callSignal);
            }
            steps(port);
            _exit(0);
        }
        Child result;
        EXPECT_EQ(waitpid(child, &result.status, 0), child);
        return result;
    }

    // The time of the child's note what, and its value.
    static std::pair<Nanos, long long> noted(const char* what) {
        const int i = dm::find((std::string("=") + what).c_str());
        EXPECT_GE(i, 0) << "no note " << what;
        return i < 0 ? std::pair<Nanos, long long>{-1, -1}
                     : std::pair<Nanos, long long>{dm::event(i).start, dm::event(i).value};
    }

    int lock_ = -1;
    int master_ = -1;
};

// A block and its drain, then the close.
void blockThenClose(PortHandle port) {
    const std::vector<unsigned char> bytes(block, 0x5A);
    std::uint32_t written = 0;
    note("write", platWrite(port, bytes.data(), block, &written));
    note("drain", platDrain(port));
    note("close", platClosePort(port)); // noted when the close has returned
}

dm::Setup driver(Driver kind, Nanos stopsAt = dm::never, Nanos vanishesAt = dm::never) {
    dm::Setup setup;
    setup.driver = kind;
    setup.stopsAt = stopsAt;
    setup.vanishesAt = vanishesAt;
    return setup;
}

// A drain ends when the driver has passed the bytes on, or fails at the
// bytes' deadline, whatever TIOCOUTQ reads: a held chip's host queue is
// empty, and it is the line that is stopped. The close that follows waits
// for nothing any more.
TEST_F(PortOnDriver, DrainAndCloseEndByTheirDeadlinesWhateverTheQueueCountSays) {
    struct Case {
        const char* name;
        dm::Setup setup;
        long long drained;
        Nanos drainEnds;
        Nanos closeTakesAtMost;
        long long delivered;
    };
    const Nanos lineTime = block * byteNs38400;
    dm::Setup hanging = driver(Driver::uart);
    hanging.closeHangs = true;
    const Case cases[] = {
        {"uart", driver(Driver::uart), 1, lineTime, 0, block},
        {"chip working", driver(Driver::chip), 1, lineTime, 0, block},
        {"acm stopped", driver(Driver::acm, 0), 0, blockDeadline, ms(10), 0},
        {"chip holding", driver(Driver::chip, 0), 0, blockDeadline, ms(10), 0},
        {"chip holding after 100 bytes", driver(Driver::chip, 100 * byteNs38400), 0, blockDeadline,
         ms(10), 100},
        {"vanished during the drain", driver(Driver::uart, dm::never, ms(100)), 0, ms(100), 0,
         ms(100) / byteNs38400},
        {"a close that hangs after a drain", hanging, 1, lineTime, ms(500 + 10), block},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Child child = run(c.setup, blockThenClose);
        ASSERT_TRUE(child.exited()) << child.status;
        EXPECT_EQ(noted("write").second, 1);
        EXPECT_EQ(noted("drain"), std::make_pair(c.drainEnds, c.drained));
        EXPECT_LE(noted("close").first - noted("drain").first, c.closeTakesAtMost);
        EXPECT_EQ(dm::outcome().delivered, c.delivered);
        EXPECT_EQ(dm::outcome().closes, 1);
    }
}

// A healthy line's close gives the board every byte written, drained by its
// deadline; only what a stopped line holds is thrown away, and then at once.
TEST_F(PortOnDriver, ACloseGivesAWorkingLineEveryByteAndThrowsAwayOnlyWhatAStoppedOneHolds) {
    auto nineThenClose = [](PortHandle port) {
        std::uint32_t written = 0;
        note("write", platWrite(port, "\x06\x04\x00\x00\x00\x06\x04\x00\x00", 9, &written));
        note("close", platClosePort(port));
    };
    const Nanos nineBytes = 9 * byteNs38400;
    for (Driver kind : {Driver::uart, Driver::acm, Driver::chip}) {
        SCOPED_TRACE(static_cast<int>(kind));
        ASSERT_TRUE(run(driver(kind), nineThenClose).exited());
        EXPECT_EQ(dm::outcome().delivered, 9);
        EXPECT_EQ(dm::outcome().thrownAway, 0);
        EXPECT_EQ(noted("close").first, nineBytes);
    }
    // Stopped: the drain before the close runs out (9 ms + 500 ms), and the
    // close takes the port down at once.
    ASSERT_TRUE(run(driver(Driver::acm, 0), nineThenClose).exited());
    EXPECT_EQ(dm::outcome().delivered, 0);
    EXPECT_LE(noted("close").first, ms(509 + 10));
    ASSERT_TRUE(run(driver(Driver::uart, dm::never, ms(1)), nineThenClose).exited());
    EXPECT_LE(noted("close").first, ms(1));
}

// The port takes SIGALRM for its waits only: a drain and a close leave the
// signal's handling and mask as they were, and a SIGALRM that somebody else
// sends during a wait reaches the program's own handling when it ends.
TEST_F(PortOnDriver, TheAlarmLeavesTheProcessAsItFoundIt) {
    for (bool blocked : {false, true}) {
        SCOPED_TRACE(blocked ? "blocked" : "unblocked");
        const Child child = run(driver(Driver::acm, 0), [blocked](PortHandle port) {
            sigset_t alarm;
            sigemptyset(&alarm);
            sigaddset(&alarm, SIGALRM);
            sigprocmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &alarm, nullptr);
            blockThenClose(port);
            struct sigaction after {};
            sigaction(SIGALRM, nullptr, &after);
            sigset_t mask;
            sigprocmask(SIG_BLOCK, nullptr, &mask);
            _exit(after.sa_handler == SIG_DFL && sigismember(&mask, SIGALRM) == (blocked ? 1 : 0)
                      ? 0
                      : 1);
        });
        EXPECT_TRUE(child.exited()) << child.status;
        EXPECT_GE(dm::outcome().timerSets, 4); // the drain's and the close's alarms were used
    }
    // A SIGALRM pending while blocked stays pending through the waits.
    const Child pending = run(driver(Driver::uart), [](PortHandle port) {
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        sigprocmask(SIG_BLOCK, &alarm, nullptr);
        raise(SIGALRM);
        blockThenClose(port);
        sigset_t waiting;
        sigpending(&waiting);
        _exit(sigismember(&waiting, SIGALRM) == 1 ? 0 : 1);
    });
    EXPECT_TRUE(pending.exited()) << pending.status;
    // timeout -s ALRM during a drain: the drain goes on to its end, then the
    // program ends by the signal as it would have without the port.
    const Child child = run(driver(Driver::uart), blockThenClose, {{ms(100), SIGALRM}});
    EXPECT_TRUE(child.endedBy(SIGALRM)) << child.status;
    const int cut = dm::find("drain"); // by the signal, and taken up again
    ASSERT_GE(cut, 0);
    EXPECT_EQ(dm::event(cut).error, EINTR);
    const int drain = dm::find("drain", cut + 1);
    ASSERT_GE(drain, 0);
    EXPECT_EQ(dm::event(drain).end, block * byteNs38400);
    EXPECT_EQ(dm::outcome().now, block * byteNs38400);
}

// Ctrl-C, SIGTERM or a closed terminal at any step of a transfer, on a
// working line and on stopped ones: the program gives the port back (one
// close) and ends by the signal within a second.
TEST_F(PortOnDriver, AnEndingSignalEndsTheProgramWithinASecondAtAnyStep) {
    auto transfer = [](PortHandle port) {
        const std::vector<unsigned char> bytes(block, 0x5A);
        std::uint32_t written = 0;
        note("write", platWrite(port, bytes.data(), block, &written));
        note("drain", platDrain(port));
        note("write", platWrite(port, bytes.data(), 9, &written));
        note("drain", platDrain(port));
        note("close", platClosePort(port));
    };
    const dm::Setup setups[] = {driver(Driver::uart), driver(Driver::acm, ms(50)),
                                driver(Driver::chip, ms(50)),
                                driver(Driver::uart, dm::never, ms(400))};
    // A close with a block still undrained on a stopped line: its drain runs
    // where a signal still reaches the release.
    const Child undrained = run(driver(Driver::acm, 0),
                                [](PortHandle port) {
                                    const std::vector<unsigned char> bytes(block, 0x5A);
                                    std::uint32_t written = 0;
                                    note("write", platWrite(port, bytes.data(), block, &written));
                                    note("close", platClosePort(port));
                                },
                                {{ms(100), SIGTERM}});
    EXPECT_TRUE(undrained.endedBy(SIGTERM)) << undrained.status;
    EXPECT_LE(dm::outcome().now, ms(100 + 1000));
    EXPECT_EQ(dm::outcome().closes, 1);
    for (const dm::Setup& setup : setups) {
        SCOPED_TRACE(static_cast<int>(setup.driver));
        ASSERT_TRUE(run(setup, transfer).exited());
        int calls = 0;
        for (int i = 0; i < dm::eventCount(); ++i) {
            calls += dm::event(i).what[0] != '=' && std::string(dm::event(i).what) != "alarm";
        }
        const Nanos span = dm::outcome().now;
        ASSERT_GT(calls, 4);
        auto endsInTime = [](const Child& child, int signal, const std::string& when) {
            EXPECT_TRUE(child.endedBy(signal)) << when << ": " << child.status;
            const int raised = dm::find("signal");
            ASSERT_GE(raised, 0) << when << ": the signal never came";
            EXPECT_LE(dm::outcome().now - dm::event(raised).start, ms(1000)) << when;
            EXPECT_EQ(dm::outcome().closes, 1) << when;
        };
        const int signals[] = {SIGTERM, SIGINT, SIGHUP};
        for (int n = 1; n <= calls; ++n) {
            const int signal = signals[n % 3];
            endsInTime(run(setup, transfer, {}, n, signal), signal, "at call " + std::to_string(n));
        }
        for (Nanos t = ms(5); t < span; t += ms(97)) {
            endsInTime(run(setup, transfer, {{t, SIGTERM}}), SIGTERM,
                       "at " + std::to_string(t / 1'000'000) + " ms");
        }
    }
}

} // namespace
