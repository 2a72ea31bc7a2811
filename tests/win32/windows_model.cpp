// The Windows serial calls on a virtual clock: see windows_model.h.
#include "windows_model.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace winmodel {
namespace {

constexpr int maxCalls = 16384;
constexpr int maxHandles = 16;
constexpr std::uintptr_t firstHandle = 0x1000;

enum Owner { nobody = 0, program = 1, control = 2 };

struct Line {
    bool attached;
    int com;
    Device device;
    Nanos byteNs;
    long long queued; // in the driver's output queue
    Nanos nextLeaves; // when the first of them has left the line
    long long delivered;
    long long purged;
    long long inChip; // taken by a chip that holds them
    COMMTIMEOUTS limits;
    DCB dcb;
    bool writing; // a WriteFile is under way
    bool aborted; // ... and a purge aborted it
    bool reading;
    bool readAborted;
    int timeoutSets; // SetCommTimeouts calls so far
};

struct State {
    Nanos now;
    Line line;
    bool open[maxHandles];
    bool closed[maxHandles];
    PHANDLER_ROUTINE handler;
    Nanos ctrlCAt;
    int ctrlCCall;
    bool ctrlCDeferred;
    bool ctrlCDone;
    Nanos ctrlCCame;
    bool inHandler;
    bool ended;
    Nanos endedAt;
    bool forever;
    int calls;
    Call record[maxCalls];
    int recordCount;
    CRITICAL_SECTION* sections[4];
    int sectionCount;
};

State& st() {
    return forkedmodel::shared<State>();
}

int handleIndex(HANDLE handle) {
    const auto value = reinterpret_cast<std::uintptr_t>(handle);
    if (value < firstHandle || (value - firstHandle) % 16 != 0) {
        return -1;
    }
    const auto index = static_cast<int>((value - firstHandle) / 16);
    return index < maxHandles && st().open[index] ? index : -1;
}

bool anySectionHeldByProgram() {
    State& s = st();
    for (int i = 0; i < s.sectionCount; ++i) {
        if (s.sections[i]->owner == program) {
            return true;
        }
    }
    return false;
}

int logCall(const char* what) {
    State& s = st();
    if (s.recordCount >= maxCalls) {
        return maxCalls - 1;
    }
    const int i = s.recordCount++;
    Call& c = s.record[i];
    c = Call{};
    c.start = c.end = s.now;
    std::strncpy(c.what, what, sizeof c.what - 1);
    c.byRelease = s.inHandler;
    return i;
}

// The console's control thread: the handler, then the default handler's end
// of the process. While the program's thread holds the guard, the handler
// waits for it.
void runCtrlC() {
    State& s = st();
    if (s.ctrlCDone || s.inHandler) {
        return;
    }
    if (s.ctrlCCame == never) {
        s.ctrlCCame = s.now; // pressed now, whenever the handler gets to run
    }
    if (anySectionHeldByProgram()) {
        s.ctrlCDeferred = true;
        return;
    }
    s.ctrlCDone = true;
    s.ctrlCDeferred = false;
    (void)logCall("Ctrl-C");
    BOOL handled = FALSE;
    if (s.handler != nullptr) {
        s.inHandler = true;
        handled = s.handler(CTRL_C_EVENT);
        s.inHandler = false;
    }
    if (!handled) {
        s.ended = true;
        s.endedAt = s.now;
    }
}

void settle(Line& line) {
    State& s = st();
    if (s.now >= line.device.chipHoldsAt) {
        line.inChip += line.queued;
        line.queued = 0;
        return;
    }
    const Nanos until = std::min(s.now, line.device.stopsAt);
    while (line.queued > 0 && line.nextLeaves <= until) {
        --line.queued;
        ++line.delivered;
        line.nextLeaves += line.byteNs;
    }
}

void enqueue(Line& line, long long count) {
    if (line.queued == 0) {
        line.nextLeaves = st().now + line.byteNs;
    }
    line.queued += count;
    settle(line);
}

// When the queue has room again, or never.
Nanos roomAt(const Line& line) {
    return line.queued > 0 && line.nextLeaves <= line.device.stopsAt ? line.nextLeaves : never;
}

Nanos emptyAt(const Line& line) {
    if (st().now >= line.device.chipHoldsAt || line.queued == 0) {
        return st().now;
    }
    const Nanos last = line.nextLeaves + (line.queued - 1) * line.byteNs;
    return last <= line.device.stopsAt ? last : never;
}

// Runs the clock towards until. A Ctrl-C that falls due first runs its
// handler and returns early, so that the caller sees what the release did; a
// wait of the program's thread after the process ended does not return.
void waitUntil(Nanos until) {
    State& s = st();
    if (s.ended && !s.inHandler) {
        throw ProcessEnded{};
    }
    if (!s.ctrlCDone && !s.ctrlCDeferred && s.ctrlCAt <= until) {
        s.now = std::max(s.now, s.ctrlCAt);
        runCtrlC();
        return;
    }
    if (until == never) {
        s.forever = true;
        throw WaitsForever{};
    }
    s.now = std::max(s.now, until);
}

// Waits until the time has come, or stop() says so.
template <typename Stop> void waitFor(Nanos until, Stop stop) {
    while (st().now < until && !stop()) {
        waitUntil(until);
        if (st().ended && !st().inHandler && !stop()) {
            throw ProcessEnded{};
        }
    }
}

// Every call: counted, recorded, the place of a Ctrl-C due at this call, and
// checked for its handle.
class Entry {
  public:
    Entry(const char* what, HANDLE handle, bool needsHandle = true) {
        State& s = st();
        if (!s.inHandler && ++s.calls == s.ctrlCCall) {
            runCtrlC();
        }
        index_ = logCall(what);
        if (needsHandle && handleIndex(handle) < 0) {
            call().onClosed = true;
            ok_ = false;
        }
    }
    Call& call() { return st().record[index_]; }
    bool ok() const { return ok_; }
    BOOL done(BOOL result, long long value = 0) {
        call().end = st().now;
        call().value = value;
        return result;
    }

  private:
    int index_ = 0;
    bool ok_ = true;
};

} // namespace

void reset() {
    State& s = st();
    s.now = 0;
    s.line = Line{};
    std::fill(std::begin(s.open), std::end(s.open), false);
    std::fill(std::begin(s.closed), std::end(s.closed), false);
    s.handler = nullptr;
    s.ctrlCAt = never;
    s.ctrlCCall = 0;
    s.ctrlCDeferred = s.ctrlCDone = s.inHandler = s.ended = s.forever = false;
    s.ctrlCCame = never;
    s.endedAt = never;
    s.calls = 0;
    s.recordCount = 0;
    s.sectionCount = 0;
}

void attach(int com, const Device& device) {
    Line& line = st().line;
    line = Line{};
    line.attached = true;
    line.com = com;
    line.device = device;
    line.byteNs = 10'000'000'000LL / device.baud;
}

void ctrlCAt(Nanos t) {
    st().ctrlCAt = t;
}

void ctrlCOnCall(int n) {
    st().ctrlCCall = n;
}

void note(const char* what, long long value) {
    const int i = logCall(what);
    st().record[i].value = value;
    st().record[i].byRelease = false;
}

Nanos now() {
    return st().now;
}
bool ended() {
    return st().ended;
}
Nanos endedAt() {
    return st().endedAt;
}
Nanos ctrlCAtTime() {
    return st().ctrlCCame;
}
long long delivered() {
    return st().line.delivered;
}
long long purged() {
    return st().line.purged;
}
int callCount() {
    return st().recordCount;
}
const Call& call(int i) {
    return st().record[i];
}
int find(const char* what, int from) {
    return forkedmodel::findRecord(st().record, st().recordCount, what, from);
}
bool waitedForever() {
    return st().forever;
}
void setWaitedForever() {
    st().forever = true;
}

} // namespace winmodel

using namespace winmodel;

HANDLE CreateFileA(const char* name, DWORD, DWORD share, SECURITY_ATTRIBUTES*, DWORD, DWORD,
                   HANDLE) {
    Entry entry("CreateFileA", nullptr, false);
    State& s = st();
    int com = 0;
    if (share != 0 || std::sscanf(name, "\\\\.\\COM%d", &com) != 1 || !s.line.attached ||
        com != s.line.com) {
        return INVALID_HANDLE_VALUE;
    }
    for (int i = 0; i < maxHandles; ++i) {
        if (!s.open[i] && !s.closed[i]) {
            s.open[i] = true;
            s.line.limits = COMMTIMEOUTS{};
            return reinterpret_cast<HANDLE>(firstHandle + 16 * static_cast<std::uintptr_t>(i));
        }
    }
    return INVALID_HANDLE_VALUE;
}

BOOL GetCommState(HANDLE handle, DCB* dcb) {
    Entry entry("GetCommState", handle);
    if (entry.ok()) {
        *dcb = st().line.dcb;
    }
    return entry.done(entry.ok());
}

BOOL SetCommState(HANDLE handle, DCB* dcb) {
    Entry entry("SetCommState", handle);
    if (entry.ok()) {
        st().line.dcb = *dcb;
    }
    return entry.done(entry.ok());
}

BOOL GetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
    Entry entry("GetCommTimeouts", handle);
    if (entry.ok()) {
        *timeouts = st().line.limits;
    }
    return entry.done(entry.ok());
}

BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
    Entry entry("SetCommTimeouts", handle);
    Line& line = st().line;
    if (!entry.ok() || ++line.timeoutSets == line.device.failSetTimeouts) {
        return entry.done(FALSE);
    }
    line.limits = *timeouts;
    return entry.done(TRUE);
}

BOOL EscapeCommFunction(HANDLE handle, DWORD) {
    Entry entry("EscapeComm", handle);
    return entry.done(entry.ok());
}

BOOL WriteFile(HANDLE handle, const void*, DWORD count, DWORD* written, OVERLAPPED*) {
    Entry entry("WriteFile", handle);
    State& s = st();
    Line& line = s.line;
    *written = 0;
    if (!entry.ok()) {
        return entry.done(FALSE);
    }
    entry.call().limits = line.limits;
    const std::uint64_t total = std::uint64_t{line.limits.WriteTotalTimeoutMultiplier} * count +
                                line.limits.WriteTotalTimeoutConstant;
    const bool limited = total != 0;
    const Nanos deadline = s.now + static_cast<Nanos>(total) * 1'000'000;
    line.writing = true;
    line.aborted = false;
    long long took = 0;
    for (;;) {
        settle(line);
        const long long room = static_cast<long long>(line.device.queueSize) - line.queued;
        const long long take = std::min(static_cast<long long>(count) - took, room);
        if (take > 0) {
            enqueue(line, take);
            took += take;
        }
        if (took == count || (line.device.shortWrites && took > 0) ||
            (limited && s.now >= deadline)) {
            break;
        }
        waitUntil(std::min(roomAt(line), limited ? deadline : never));
        if (line.aborted) {
            break;
        }
    }
    line.writing = false;
    *written = static_cast<DWORD>(took);
    if (line.aborted || (s.ended && !s.inHandler)) {
        // Aborted by a purge; or the process ended while it waited, and
        // nothing aborted it: it never returns.
        if (!line.aborted) {
            throw ProcessEnded{};
        }
        return entry.done(FALSE, took);
    }
    return entry.done(TRUE, took);
}

BOOL ReadFile(HANDLE handle, void*, DWORD count, DWORD* read, OVERLAPPED*) {
    Entry entry("ReadFile", handle);
    State& s = st();
    Line& line = s.line;
    *read = 0;
    if (!entry.ok()) {
        return entry.done(FALSE);
    }
    // No board behind the model: the read ends by its total time-out.
    const std::uint64_t total = std::uint64_t{line.limits.ReadTotalTimeoutMultiplier} * count +
                                line.limits.ReadTotalTimeoutConstant;
    line.reading = true;
    line.readAborted = false;
    if (total == 0) {
        waitUntil(never);
    }
    waitFor(s.now + static_cast<Nanos>(total) * 1'000'000, [&] { return line.readAborted; });
    line.reading = false;
    return entry.done(line.readAborted ? FALSE : TRUE);
}

BOOL ClearCommError(HANDLE handle, DWORD* errors, COMSTAT* status) {
    Entry entry("ClearCommError", handle);
    Line& line = st().line;
    if (!entry.ok() || st().now >= line.device.statusFailsAt) {
        return entry.done(FALSE);
    }
    settle(line);
    *errors = 0;
    *status = COMSTAT{};
    status->cbOutQue = static_cast<DWORD>(line.queued);
    return entry.done(TRUE, line.queued);
}

BOOL PurgeComm(HANDLE handle, DWORD flags) {
    Entry entry("PurgeComm", handle);
    entry.call().flags = flags;
    Line& line = st().line;
    if (!entry.ok()) {
        return entry.done(FALSE);
    }
    settle(line);
    if ((flags & PURGE_TXABORT) != 0 && line.writing) {
        line.aborted = true;
    }
    if ((flags & PURGE_RXABORT) != 0 && line.reading) {
        line.readAborted = true;
    }
    if ((flags & PURGE_TXCLEAR) != 0) {
        line.purged += line.queued;
        line.queued = 0;
    }
    return entry.done(TRUE);
}

BOOL FlushFileBuffers(HANDLE handle) {
    Entry entry("FlushFileBuffers", handle);
    if (!entry.ok()) {
        return entry.done(FALSE);
    }
    Line& line = st().line;
    settle(line);
    // Under Wine the terminal's drain, which a held chip never ends.
    for (;;) {
        settle(line);
        const Nanos until =
            st().now >= line.device.chipHoldsAt && line.inChip > 0 ? never : emptyAt(line);
        if (until <= st().now) {
            break;
        }
        waitUntil(until);
        if (st().ended && !st().inHandler) {
            throw ProcessEnded{};
        }
    }
    return entry.done(TRUE);
}

BOOL CloseHandle(HANDLE handle) {
    Entry entry("CloseHandle", handle);
    const int i = handleIndex(handle);
    if (i < 0) {
        return entry.done(FALSE);
    }
    State& s = st();
    s.open[i] = false;
    s.closed[i] = true;
    settle(s.line);
    return entry.done(TRUE, s.line.queued); // what the close left in the queue
}

void Sleep(DWORD ms) {
    Entry entry("Sleep", nullptr, false);
    waitFor(st().now + static_cast<Nanos>(ms) * 1'000'000, [] { return false; });
    entry.done(TRUE, ms);
}

DWORD timeGetTime() {
    return static_cast<DWORD>(st().now / 1'000'000);
}

UINT timeBeginPeriod(UINT) {
    return TIMERR_NOERROR;
}

UINT timeEndPeriod(UINT) {
    return TIMERR_NOERROR;
}

void InitializeCriticalSection(CRITICAL_SECTION* section) {
    State& s = st();
    *section = CRITICAL_SECTION{};
    if (s.sectionCount < 4) {
        s.sections[s.sectionCount++] = section;
    }
}

void EnterCriticalSection(CRITICAL_SECTION* section) {
    State& s = st();
    if (!s.inHandler) {
        // A step of its own: the moment before the program's thread takes the
        // guard, after whatever it did last outside it.
        Entry entry("EnterGuard", nullptr, false);
    }
    if (s.inHandler) {
        section->owner = control;
        ++section->depth;
        return;
    }
    if (section->owner == control) {
        throw ProcessEnded{}; // the release keeps it until the process has ended
    }
    section->owner = program;
    ++section->depth;
}

void LeaveCriticalSection(CRITICAL_SECTION* section) {
    State& s = st();
    if (--section->depth <= 0) {
        section->depth = 0;
        section->owner = nobody;
    }
    if (!s.inHandler && s.ctrlCDeferred) {
        runCtrlC();
    }
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    if (add) {
        st().handler = handler;
    }
    return TRUE;
}
