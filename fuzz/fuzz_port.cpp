#include "fuzz_port.h"

#include "platform/platform.h"

#include <cstdarg>
#include <cstdio>

namespace fuzzport {
namespace {

constexpr PortHandle handle = 7;
constexpr std::uint64_t lineNsPerByte = 10'000'000'000ull / 38400; // slowest rate

std::vector<std::uint8_t> stream;
std::size_t at = 0;
std::uint64_t clockNs = 0;
std::uint64_t limitNs = 0;
bool open = false;
int keys = 0;
PortSettings settings;
PortTimeouts timeouts;
volatile std::uint8_t sink = 0;

void pass(std::uint64_t ns) {
    clockNs += ns;
    if (clockNs > limitNs) {
        std::fprintf(stderr, "fuzz port: run exceeded its bound of virtual time (%llu ms)\n",
                     static_cast<unsigned long long>(limitNs / 1'000'000));
        __builtin_trap();
    }
}

bool valid(PortHandle port) {
    if (port != handle || !open) {
        std::fprintf(stderr, "fuzz port: call on a handle that is not open\n");
        __builtin_trap();
    }
    return true;
}

} // namespace

void begin(std::vector<std::uint8_t> replies, std::uint64_t limitMs) {
    stream = std::move(replies);
    at = 0;
    clockNs = 0;
    limitNs = limitMs * 1'000'000;
    keys = 0;
    settings = PortSettings{};
    timeouts = PortTimeouts{};
}

std::uint64_t nowMs() {
    return clockNs / 1'000'000;
}

int keysTaken() {
    return keys;
}

void extendLimit(std::uint64_t ms) {
    limitNs += ms * 1'000'000;
}

} // namespace fuzzport

using namespace fuzzport;

PortHandle platOpenPort(int n) {
    if (n != 1 || open) {
        return platNoPort;
    }
    open = true;
    return handle;
}

int platReadSettings(PortHandle port, PortSettings* s) {
    valid(port);
    *s = settings;
    return 1;
}

int platWriteSettings(PortHandle port, const PortSettings* s) {
    valid(port);
    settings = *s;
    return 1;
}

int platReadTimeouts(PortHandle port, PortTimeouts* t) {
    valid(port);
    *t = timeouts;
    return 1;
}

int platWriteTimeouts(PortHandle port, const PortTimeouts* t) {
    valid(port);
    timeouts = *t;
    return 1;
}

int platSetDtr(PortHandle port) {
    return valid(port) ? 1 : 0;
}

int platClearDtr(PortHandle port) {
    return valid(port) ? 1 : 0;
}

int platWrite(PortHandle port, const void* bytes, std::uint32_t count, std::uint32_t* written) {
    valid(port);
    // Every byte is read, as a port would, so that a source that runs past its
    // buffer shows.
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    std::uint8_t sum = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        sum = static_cast<std::uint8_t>(sum + p[i]);
    }
    sink = sum;
    *written = count;
    pass(count * lineNsPerByte);
    return 1;
}

int platDrain(PortHandle port) {
    return valid(port) ? 1 : 0;
}

int platDiscardInput(PortHandle port) {
    return valid(port) ? 1 : 0;
}

int platRead(PortHandle port, void* buffer, std::uint32_t count, std::uint32_t* received) {
    valid(port);
    std::uint32_t got = 0;
    if (at < stream.size()) {
        got = stream[at++] % (count + 1);
    }
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::uint32_t i = 0;
    for (; i < got && at < stream.size(); ++i) {
        out[i] = stream[at++];
    }
    *received = i;
    const std::uint64_t timeoutNs = (std::uint64_t{timeouts.ReadTotalTimeoutMultiplier} * count +
                                     timeouts.ReadTotalTimeoutConstant) *
                                    1'000'000;
    pass(i == count ? i * lineNsPerByte : timeoutNs);
    return 1;
}

int platClosePort(PortHandle port) {
    valid(port);
    open = false;
    return 1;
}

void platSleep(std::uint32_t ms) {
    pass(std::uint64_t{ms} * 1'000'000);
}

std::uint64_t platClockNs() {
    return clockNs;
}

void platSleepUntilNs(std::uint64_t ns) {
    if (ns > clockNs) {
        pass(ns - clockNs);
    }
}

int platGetKey() {
    if (at >= stream.size()) {
        return -1;
    }
    ++keys;
    return stream[at++];
}

namespace {
void format(const char* f, std::va_list args) {
    char text[256];
    std::vsnprintf(text, sizeof text, f, args);
}
} // namespace

void platOut(const char* f, ...) {
    std::va_list args;
    va_start(args, f);
    format(f, args);
    va_end(args);
}

void platErr(const char* f, ...) {
    std::va_list args;
    va_start(args, f);
    format(f, args);
    va_end(args);
}

int platSyncFile(std::FILE*) {
    return 1;
}

int platReplaceFile(const char*, const char*) {
    return 1;
}
