// The Windows port's own files, compiled for the build machine, against the
// model of the serial calls and of Ctrl-C in windows_model.h, on a virtual
// clock: what a drain, a write and a close wait for on a working line, a line
// that stopped, a USB chip that holds its bytes under Wine and an adapter
// whose status call fails; and what the release on Ctrl-C does at any step.
#include "platform/platform.h"
#include "windows_model.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace wm = winmodel;
using wm::ms;
using wm::Nanos;

constexpr std::uint32_t block = 1030;
constexpr Nanos byteNs38400 = 10'000'000'000LL / 38400;

void note(const char* what, long long value) {
    wm::note((std::string("=") + what).c_str(), value);
}

// Runs steps(port) in a child on COM1, opened and set up as the program does
// (38400 8N1, the link's time-outs), with the device and the Ctrl-C given.
template <typename Steps>
void run(const wm::Device& device, Steps steps, Nanos ctrlCAt = wm::never, int ctrlCCall = 0) {
    wm::reset();
    wm::attach(1, device);
    wm::ctrlCAt(ctrlCAt);
    wm::ctrlCOnCall(ctrlCCall);
    const pid_t child = fork();
    if (child == 0) {
        try {
            const PortHandle port = platOpenPort(1);
            PortSettings settings{};
            if (port == platNoPort || platReadSettings(port, &settings) == 0) {
                _exit(90);
            }
            settings.BaudRate = 38400;
            settings.ByteSize = 8;
            const PortTimeouts link = {50, 50, 10, 1, 500};
            (void)platWriteSettings(port, &settings);
            (void)platWriteTimeouts(port, &link);
            steps(port);
        } catch (const wm::ProcessEnded&) {
            note("process ended", 0);
        } catch (const wm::WaitsForever&) {
            wm::setWaitedForever();
        }
        _exit(0);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

std::pair<Nanos, long long> noted(const char* what) {
    const int i = wm::find((std::string("=") + what).c_str());
    EXPECT_GE(i, 0) << "no note " << what;
    return i < 0 ? std::pair<Nanos, long long>{-1, -1}
                 : std::pair<Nanos, long long>{wm::call(i).start, wm::call(i).value};
}

// No call on a closed handle, and what the release closed held no bytes.
void expectNoCallOnAClosedHandle() {
    for (int i = 0; i < wm::callCount(); ++i) {
        const wm::Call& c = wm::call(i);
        EXPECT_FALSE(c.onClosed) << c.what << " on a closed handle at " << c.start;
    }
}

wm::Device line(Nanos stopsAt = wm::never) {
    wm::Device device;
    device.stopsAt = stopsAt;
    return device;
}

void blockThenClose(PortHandle port) {
    const std::vector<unsigned char> bytes(block, 0x5A);
    std::uint32_t written = 0;
    note("write", platWrite(port, bytes.data(), block, &written));
    note("drain", platDrain(port));
    note("close", platClosePort(port));
}

// The drain watches the queue until it is empty or the bytes' deadline has
// passed, and never waits on FlushFileBuffers: under Wine a chip that holds
// the bytes would keep it for ever. A queue that cannot be read is no empty
// one: the drain fails, and the close purges.
TEST(PortWin32, DrainEndsByItsDeadlineAndNeverWaitsOnAFlush) {
    struct Case {
        const char* name;
        wm::Device device;
        long long drained;
        Nanos drainEndsBy;
        long long delivered;
    };
    wm::Device chip = line();
    chip.chipHoldsAt = 0;
    wm::Device unplugged = line();
    unplugged.statusFailsAt = ms(100);
    const Case cases[] = {
        {"working", line(), 1, block * byteNs38400 + ms(1), block},
        {"stopped", line(0), 0, ms(1030 + 500 + 1), 0},
        {"chip holding, under Wine", chip, 1, ms(1), 0},
        {"status call fails", unplugged, 0, ms(100), ms(100) / byteNs38400},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        run(c.device, blockThenClose);
        EXPECT_FALSE(wm::waitedForever());
        EXPECT_EQ(wm::find("FlushFileBuffers"), -1);
        EXPECT_EQ(noted("drain").second, c.drained);
        EXPECT_LE(noted("drain").first, c.drainEndsBy);
        EXPECT_EQ(wm::delivered(), c.delivered);
        const int close = wm::find("CloseHandle");
        ASSERT_GE(close, 0);
        // A line that held bytes back is purged before the close.
        const int purge = wm::find("PurgeComm");
        EXPECT_EQ(purge >= 0 && purge < close, c.drained == 0);
        expectNoCallOnAClosedHandle();
    }
}

// A working line's close gives the board every byte written; only what a
// stopped line holds is purged.
TEST(PortWin32, CloseGivesAWorkingLineEveryByteAndPurgesOnlyWhatAStoppedOneHolds) {
    auto nineThenClose = [](PortHandle port) {
        std::uint32_t written = 0;
        note("write", platWrite(port, "\x06\x04\x00\x00\x00\x06\x04\x00\x00", 9, &written));
        note("close", platClosePort(port));
    };
    run(line(), nineThenClose);
    EXPECT_EQ(wm::delivered(), 9);
    EXPECT_EQ(wm::purged(), 0);
    EXPECT_LE(noted("close").first, 9 * byteNs38400 + ms(1));
    run(line(0), nineThenClose);
    EXPECT_EQ(wm::purged(), 9);
    EXPECT_LE(noted("close").first, ms(9 + 500 + 1));
}

// A continuation's shortened time-outs that could not be put back are put
// back before the next write relies on them.
TEST(PortWin32, AFailedRestoreOfTheTimeOutsIsMendedBeforeTheNextWrite) {
    wm::Device slow = line();
    slow.queueSize = 1024;
    slow.shortWrites = true;
    // The link's time-outs (1), a continuation's (2), and their restore (3).
    slow.failSetTimeouts = 3;
    run(slow, [](PortHandle port) {
        const std::vector<unsigned char> bytes(1025, 0x5A);
        std::uint32_t written = 0;
        note("write", platWrite(port, bytes.data(), 1025, &written));
        note("taken", written);
        note("drain", platDrain(port));
        note("next", platWrite(port, bytes.data(), 9, &written));
    });
    EXPECT_EQ(noted("taken").second, 1025);
    EXPECT_EQ(noted("drain").second, 1);
    const int next = wm::find("WriteFile", wm::find("=drain"));
    ASSERT_GE(next, 0);
    EXPECT_EQ(wm::call(next).value, 9);
    EXPECT_EQ(wm::call(next).limits.WriteTotalTimeoutMultiplier, 1u);
    EXPECT_EQ(wm::call(next).limits.WriteTotalTimeoutConstant, 500u);
}

// Ctrl-C at any step of a transfer, on a working line, a stopped one and a
// held chip: the release purges what is under way before it closes, no call
// reaches a closed handle, and the process ends within a second.
TEST(PortWin32, CtrlCAtAnyStepPurgesBeforeTheCloseAndNoCallReachesAClosedHandle) {
    auto transfer = [](PortHandle port) {
        const std::vector<unsigned char> bytes(block, 0x5A);
        std::uint32_t written = 0;
        note("write", platWrite(port, bytes.data(), block, &written));
        note("drain", platDrain(port));
        note("write", platWrite(port, bytes.data(), 9, &written));
        note("drain", platDrain(port));
        note("close", platClosePort(port));
    };
    wm::Device chip = line();
    chip.chipHoldsAt = ms(50);
    wm::Device slow = line();
    slow.queueSize = 64;
    slow.shortWrites = true;
    const wm::Device devices[] = {line(), line(ms(50)), chip, slow};
    for (const wm::Device& device : devices) {
        run(device, transfer);
        const int calls = wm::callCount();
        const Nanos span = wm::now();
        auto check = [](const std::string& when) {
            SCOPED_TRACE(when);
            ASSERT_TRUE(wm::ended());
            EXPECT_LE(wm::endedAt() - wm::ctrlCAtTime(), ms(1000));
            expectNoCallOnAClosedHandle();
            for (int i = wm::find("CloseHandle"); i >= 0; i = wm::find("CloseHandle", i + 1)) {
                EXPECT_FALSE(wm::call(i).byRelease && wm::call(i).value > 0)
                    << "the release closed a port with bytes queued";
            }
        };
        // Every step, but in the long waits of a stopped line, whose steps
        // repeat (look at the queue, sleep, take the guard), every 11th.
        for (int n = 1; n <= calls; n += n < 400 || n > calls - 200 ? 1 : 11) {
            run(device, transfer, wm::never, n);
            if (wm::find("Ctrl-C") >= 0) {
                check("at call " + std::to_string(n));
            }
        }
        for (Nanos t = ms(3); t < span; t += ms(37)) {
            run(device, transfer, t);
            check("at " + std::to_string(t / 1'000'000) + " ms");
        }
    }
}

} // namespace
