// The driver model under the POSIX port: see driver_model.h. It defines the
// functions of platform/posix/port_system.h and the clock of
// platform/platform.h.
#include "driver_model.h"

#include "platform/platform.h"
#include "platform/posix/port_system.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

namespace drivermodel {
namespace {

constexpr long long hostQueueSize = 4096; // the tty's or usb-serial's output buffer
constexpr long long chipBufferSize = 256;
constexpr int acmBuffers = 16;
constexpr long long acmBufferSize = 10240; // 512-byte packets x 20, high speed
constexpr long long maxBytes = 1 << 18;
constexpr int maxEvents = 4096;
constexpr int maxDue = 16;

struct Urb {
    long long bytes;
    Nanos completes;
};

struct Device {
    bool attached;
    bool closed;
    int fd;
    Setup setup;
    Nanos byteNs;
    // uart and chip: when each byte in the driver or the chip leaves the
    // line, in order; never for a byte the held chip keeps.
    Nanos departs[maxBytes];
    long long head, tail;
    Nanos lastDeparture;
    // acm: the busy transfer buffers, in order.
    Urb urbs[acmBuffers];
    int urbHead, urbTail;
    Nanos lastCompletion;
};

struct Due {
    Nanos t;
    int signal;
    bool done;
};

struct State {
    Nanos now;
    Device device;
    bool timerMade;
    Nanos timerAt;
    Nanos timerEvery;
    Due due[maxDue];
    int dueCount;
    int calls;
    int raiseCall;
    int raiseCallSignal;
    Outcome outcome;
    Event events[maxEvents];
    int eventCount;
};

// Shared with the forked children, made before the first fork.
State& st() {
    return forkedmodel::shared<State>();
}

Device* attached(int fd) {
    Device& d = st().device;
    return d.attached && !d.closed && d.fd == fd ? &d : nullptr;
}

bool gone(const Device& d) {
    return st().now >= d.setup.vanishesAt;
}

// What has left the line by now.
void settle(Device& d) {
    State& s = st();
    const Nanos until = std::min(s.now, d.setup.vanishesAt);
    while (d.head < d.tail && d.departs[d.head] <= until) {
        ++d.head;
        ++s.outcome.delivered;
    }
    while (d.urbHead < d.urbTail && d.urbs[d.urbHead % acmBuffers].completes <= until) {
        s.outcome.delivered += d.urbs[d.urbHead % acmBuffers].bytes;
        ++d.urbHead;
    }
    if (gone(d)) { // the rest is lost with the device
        d.head = d.tail;
        d.urbHead = d.urbTail;
    }
}

bool held(const Device& d) {
    return d.setup.driver == Driver::chip && st().now >= d.setup.stopsAt;
}

long long inDriver(const Device& d) {
    return d.tail - d.head;
}

long long hostQueued(const Device& d) {
    switch (d.setup.driver) {
    case Driver::uart:
        return inDriver(d);
    case Driver::chip:
        return held(d) ? 0 : std::max(0LL, inDriver(d) - chipBufferSize);
    case Driver::acm:
        return (d.urbTail - d.urbHead) * acmBufferSize;
    }
    return 0;
}

long long room(const Device& d) {
    switch (d.setup.driver) {
    case Driver::uart:
        return hostQueueSize - inDriver(d);
    case Driver::chip:
        return held(d) ? hostQueueSize : hostQueueSize + chipBufferSize - inDriver(d);
    case Driver::acm:
        return d.urbTail - d.urbHead < acmBuffers ? acmBufferSize : 0;
    }
    return 0;
}

// When room comes, or everything has left; never when it cannot.
Nanos roomAt(const Device& d) {
    if (d.setup.driver == Driver::acm) {
        return d.urbHead < d.urbTail ? d.urbs[d.urbHead % acmBuffers].completes : st().now;
    }
    return d.head < d.tail ? d.departs[d.head] : st().now;
}

Nanos drainedAt(const Device& d) {
    if (d.setup.driver == Driver::acm) {
        return d.urbHead < d.urbTail ? d.urbs[(d.urbTail - 1) % acmBuffers].completes : st().now;
    }
    return d.head < d.tail ? d.departs[d.tail - 1] : st().now;
}

void accept(Device& d, long long count) {
    const Nanos now = st().now;
    if (d.setup.driver == Driver::acm) {
        Nanos completes = std::max(d.lastCompletion, now) + count * d.byteNs;
        completes = completes > d.setup.stopsAt ? never : completes;
        if (completes != never) {
            d.lastCompletion = completes;
        }
        d.urbs[d.urbTail % acmBuffers] = {count, completes};
        ++d.urbTail;
        return;
    }
    for (long long i = 0; i < count && d.tail < maxBytes; ++i) {
        Nanos departs = std::max(d.lastDeparture, now) + d.byteNs;
        if (d.setup.driver == Driver::chip && departs > d.setup.stopsAt) {
            departs = never; // the chip keeps it
        } else {
            d.lastDeparture = departs;
        }
        d.departs[d.tail++] = departs;
    }
}

void flushOutput(Device& d) {
    State& s = st();
    long long taken = 0;
    if (d.setup.driver == Driver::uart) {
        taken = inDriver(d);
    } else if (d.setup.driver == Driver::chip) {
        taken = hostQueued(d); // the chip's own buffer stays
    }
    d.tail -= taken;
    s.outcome.thrownAway += taken;
    d.lastDeparture =
        d.head < d.tail && d.departs[d.tail - 1] != never ? d.departs[d.tail - 1] : s.now;
}

int logStart(const char* what, long long value = 0) {
    State& s = st();
    if (s.eventCount >= maxEvents) {
        return maxEvents - 1;
    }
    const int i = s.eventCount++;
    Event& e = s.events[i];
    e = Event{};
    e.start = e.end = s.now;
    std::strncpy(e.what, what, sizeof e.what - 1);
    e.value = value;
    s.outcome.now = s.now;
    return i;
}

[[noreturn]] void waitsForever() {
    st().outcome.waitedForever = true;
    (void)logStart("forever");
    _exit(waitsForeverStatus);
}

// Raises signal for real; true when a handler ran for it (the wait that it
// came in ends with EINTR). One that is blocked waits for the unblocking, and
// an ending one ends the process here.
bool deliver(int signal, bool fromTimer) {
    sigset_t blocked;
    (void)sigprocmask(SIG_BLOCK, nullptr, &blocked);
    struct sigaction action {};
    (void)sigaction(signal, nullptr, &action);
    const bool handled = sigismember(&blocked, signal) == 0 && action.sa_handler != SIG_IGN &&
                         action.sa_handler != SIG_DFL;
    (void)logStart(fromTimer ? "alarm" : "signal", signal);
    if (fromTimer) {
        siginfo_t info{};
        info.si_signo = signal;
        info.si_code = SI_TIMER;
        (void)syscall(SYS_rt_tgsigqueueinfo, getpid(), gettid(), signal, &info);
    } else {
        (void)raise(signal);
    }
    return handled;
}

void fireTimer() {
    State& s = st();
    s.timerAt = s.timerEvery > 0 ? s.timerAt + s.timerEvery : never;
}

// Runs the clock to until, delivering the signals that fall due; true when
// one of them interrupted the wait.
bool waitUntil(Nanos until) {
    State& s = st();
    for (;;) {
        Nanos next = s.timerAt;
        int dueIndex = -1;
        for (int i = 0; i < s.dueCount; ++i) {
            if (!s.due[i].done && s.due[i].t < next) {
                next = s.due[i].t;
                dueIndex = i;
            }
        }
        if (next > until) {
            if (until == never) {
                waitsForever();
            }
            s.now = std::max(s.now, until);
            s.outcome.now = s.now;
            return false;
        }
        s.now = std::max(s.now, next);
        s.outcome.now = s.now;
        bool interrupted;
        if (dueIndex >= 0) {
            s.due[dueIndex].done = true;
            interrupted = deliver(s.due[dueIndex].signal, false);
        } else {
            fireTimer();
            interrupted = deliver(SIGALRM, true);
        }
        if (interrupted) {
            return true;
        }
    }
}

// One call into the model: counted, logged, and the place where a signal
// due at this call comes.
class Call {
  public:
    explicit Call(const char* what) {
        State& s = st();
        if (++s.calls == s.raiseCall) {
            (void)deliver(s.raiseCallSignal, false);
        }
        index_ = logStart(what);
    }
    long long done(long long value) {
        Event& e = st().events[index_];
        e.end = st().now;
        e.value = value;
        return value;
    }
    int fail(int error) {
        Event& e = st().events[index_];
        e.end = st().now;
        e.value = -1;
        e.error = error;
        errno = error;
        return -1;
    }

  private:
    int index_ = 0;
};

} // namespace

void reset() {
    State& s = st();
    s.now = 0;
    s.device.attached = false;
    s.device.closed = false;
    s.timerMade = false;
    s.timerAt = never;
    s.timerEvery = 0;
    s.dueCount = 0;
    s.calls = 0;
    s.raiseCall = 0;
    s.outcome = Outcome{};
    s.eventCount = 0;
}

void attach(int fd, const Setup& setup) {
    Device& d = st().device;
    d.attached = true;
    d.closed = false;
    d.fd = fd;
    d.setup = setup;
    d.byteNs = 10'000'000'000LL / setup.baud;
    d.head = d.tail = 0;
    d.urbHead = d.urbTail = 0;
    d.lastDeparture = d.lastCompletion = st().now;
}

void raiseAt(Nanos t, int signal) {
    State& s = st();
    if (s.dueCount < maxDue) {
        s.due[s.dueCount++] = {t, signal, false};
    }
}

void raiseOnCall(int n, int signal) {
    st().raiseCall = n;
    st().raiseCallSignal = signal;
}

void note(const char* what, long long value) {
    (void)logStart(what, value);
}

const Outcome& outcome() {
    return st().outcome;
}

int eventCount() {
    return st().eventCount;
}

const Event& event(int i) {
    return st().events[i];
}

int find(const char* what, int from) {
    return forkedmodel::findRecord(st().events, st().eventCount, what, from);
}

} // namespace drivermodel

using namespace drivermodel;

// The clock: virtual, and every pause lets the signals due in it come.
std::uint64_t platClockNs() {
    return static_cast<std::uint64_t>(st().now);
}

void platSleepUntilNs(std::uint64_t ns) {
    const Nanos until = static_cast<Nanos>(ns);
    while (waitUntil(until)) {
    }
}

void platSleep(std::uint32_t ms) {
    platSleepUntilNs(platClockNs() + std::uint64_t{ms} * 1'000'000);
}

int portIoctl(int fd, unsigned long request, void* argument) {
    Device* d = attached(fd);
    if (d == nullptr || request != TIOCOUTQ) {
        if (d != nullptr && gone(*d)) {
            errno = EIO; // a hung-up terminal refuses
            return -1;
        }
        int result;
        do {
            result = ioctl(fd, request, argument);
        } while (result == -1 && errno == EINTR);
        return result;
    }
    Call call("TIOCOUTQ");
    settle(*d);
    if (gone(*d)) {
        return call.fail(EIO);
    }
    *static_cast<int*>(argument) = static_cast<int>(hostQueued(*d));
    return static_cast<int>(call.done(0));
}

int portSetLines(int fd, int lines) {
    return portIoctl(fd, TIOCMBIS, &lines) == 0 ? 1 : 0;
}

int portClearLines(int fd, int lines) {
    return portIoctl(fd, TIOCMBIC, &lines) == 0 ? 1 : 0;
}

ssize_t portSysWrite(int fd, const void* bytes, std::size_t count) {
    Device* d = attached(fd);
    if (d == nullptr) {
        return write(fd, bytes, count);
    }
    Call call("write");
    settle(*d);
    if (gone(*d)) {
        return call.fail(EIO);
    }
    const long long taken = std::min(static_cast<long long>(count), room(*d));
    if (taken <= 0) {
        return call.fail(EAGAIN);
    }
    accept(*d, taken);
    return call.done(taken);
}

ssize_t portSysRead(int fd, void* buffer, std::size_t count) {
    Device* d = attached(fd);
    if (d == nullptr) {
        return read(fd, buffer, count);
    }
    Call call("read");
    if (gone(*d)) {
        return call.done(0); // the end: hung up
    }
    return call.fail(EAGAIN); // no board behind the model
}

int portSysPoll(pollfd* descriptor, int timeoutMs) {
    Device* d = attached(descriptor->fd);
    if (d == nullptr) {
        return poll(descriptor, 1, timeoutMs);
    }
    Call call("poll");
    const short wanted = descriptor->events;
    auto ready = [&] {
        settle(*d);
        descriptor->revents = 0;
        if (gone(*d)) {
            descriptor->revents =
                static_cast<short>(POLLHUP | POLLERR | (wanted & (POLLIN | POLLOUT)));
        } else if ((wanted & POLLOUT) != 0 && room(*d) > 0) {
            descriptor->revents = POLLOUT;
        }
        return descriptor->revents != 0;
    };
    if (ready()) {
        return static_cast<int>(call.done(1));
    }
    Nanos wake = (wanted & POLLOUT) != 0 ? roomAt(*d) : never;
    wake = std::min(wake, d->setup.vanishesAt);
    const Nanos end = timeoutMs < 0 ? wake : std::min(wake, st().now + ms(timeoutMs));
    if (waitUntil(end)) {
        return call.fail(EINTR);
    }
    return static_cast<int>(call.done(ready() ? 1 : 0));
}

int portSysDrain(int fd) {
    Device* d = attached(fd);
    if (d == nullptr) {
        return tcdrain(fd);
    }
    Call call("drain");
    settle(*d);
    if (gone(*d)) {
        return call.fail(EIO);
    }
    if (waitUntil(std::min(drainedAt(*d), d->setup.vanishesAt))) {
        return call.fail(EINTR);
    }
    settle(*d);
    return gone(*d) ? call.fail(EIO) : static_cast<int>(call.done(0));
}

int portSysFlush(int fd, int queue) {
    Device* d = attached(fd);
    if (d == nullptr) {
        return tcflush(fd, queue);
    }
    Call call(queue == TCIFLUSH ? "flushIn" : "flushOut");
    settle(*d);
    if (gone(*d)) {
        return call.fail(EIO);
    }
    if (queue != TCIFLUSH) {
        flushOutput(*d);
    }
    return static_cast<int>(call.done(0));
}

int portSysClose(int fd) {
    Device* d = attached(fd);
    if (d == nullptr) {
        return close(fd);
    }
    Call call("close");
    settle(*d);
    // The closing wait: until the output has gone, for at most its limit.
    const Nanos drained = d->setup.closeHangs ? never : drainedAt(*d);
    const Nanos end =
        gone(*d) ? st().now
                 : std::min({drained, st().now + d->setup.closingWait, d->setup.vanishesAt});
    const bool interrupted = waitUntil(end);
    settle(*d);
    d->closed = true;
    ++st().outcome.closes;
    (void)close(fd);
    return interrupted ? call.fail(EINTR) : static_cast<int>(call.done(0));
}

bool portSysTimerMake(int) {
    st().timerMade = true;
    return true;
}

bool portSysTimerSet(std::uint64_t atNs, std::uint64_t repeatNs) {
    Call call("timer");
    State& s = st();
    ++s.outcome.timerSets;
    s.timerAt = atNs == 0 ? never : static_cast<Nanos>(atNs);
    s.timerEvery = static_cast<Nanos>(repeatNs);
    call.done(static_cast<long long>(atNs));
    // A time that has passed fires as the call returns, as the kernel's does.
    if (s.timerAt <= s.now) {
        fireTimer();
        (void)deliver(SIGALRM, true);
    }
    return true;
}
