// What the driver models under the ports share (tests/posix/driver_model,
// tests/win32/windows_model): a virtual clock in nanoseconds, and a record
// kept in memory that the scenarios' forked children write and the parent
// reads after they ended.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <sys/mman.h>

namespace forkedmodel {

using Nanos = std::int64_t;
constexpr Nanos never = std::numeric_limits<Nanos>::max();
constexpr Nanos ms(std::int64_t n) {
    return n * 1'000'000;
}

// The one State of a model, in memory shared with every child forked after
// its first use (make it before the first fork).
template <typename State> State& shared() {
    static State* state = [] {
        void* memory =
            mmap(nullptr, sizeof(State), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) {
            std::abort();
        }
        return new (memory) State();
    }();
    return *state;
}

// The first of count records from index `from` on whose `what` is name; -1
// for none.
template <typename Record>
int findRecord(const Record* records, int count, const char* name, int from) {
    for (int i = from; i < count; ++i) {
        if (std::strcmp(records[i].what, name) == 0) {
            return i;
        }
    }
    return -1;
}

} // namespace forkedmodel
