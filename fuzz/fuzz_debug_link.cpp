// The debug-port commands and the target procedures against a board that
// answers with bytes chosen by the fuzzer: short replies, no replies, any
// status and any register value. Each input runs a few procedures in a row;
// the virtual clock of the port bounds every one of them.
#include "fuzz_port.h"
#include "serial/uart.h"
#include "target/arc.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

// The longest procedure is the preparation: 16 passes of at most 16 steps,
// each a write and a five-byte read waiting out their time-outs.
constexpr std::uint64_t procedureLimitMs = 200'000;

int progressCalls = 0;
int baudCalls = 0;

int countProgress(std::uint32_t) {
    ++progressCalls;
    return 0;
}

int countBaud(std::uint32_t) {
    ++baudCalls;
    return 0;
}

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "debug link: %s\n", what);
    __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const int procedures = in.ConsumeIntegralInRange(1, 4);
    struct Call {
        int op;
        std::uint32_t a, b;
    };
    std::vector<Call> calls;
    for (int i = 0; i < procedures; ++i) {
        calls.push_back({in.ConsumeIntegralInRange(0, 9), in.ConsumeIntegral<std::uint32_t>(),
                         in.ConsumeIntegral<std::uint32_t>()});
    }
    fuzzport::begin(in.ConsumeRemainingBytes<std::uint8_t>(), procedureLimitMs * procedures);
    if (!probePort(1)) {
        broken("the port did not open");
    }
    for (const Call& c : calls) {
        switch (c.op) {
        case 0:
            arcInit();
            break;
        case 1:
            arcPrepareForDownload(c.a);
            break;
        case 2:
            arcStartProgramAt(c.a);
            break;
        case 3: {
            const std::int32_t r = arcReadIdentity();
            if (r != 0 && r != 1) {
                broken("identity neither 0 nor 1");
            }
            break;
        }
        case 4: {
            const std::int32_t r = arcReadHaltFlag();
            if (r != 0 && r != -1) {
                broken("halt flag neither 0 nor -1");
            }
            break;
        }
        case 5: {
            // A source of exactly the size asked for.
            const std::uint32_t length = c.b % (70 * 1024);
            const std::vector<unsigned char> source(length, 0xA5);
            progressCalls = 0;
            const std::int32_t r = arcWriteToMem(length, c.a, source.data(), countProgress);
            if (progressCalls > 60) {
                broken("more than 60 progress reports for one transfer");
            }
            if (r == 0 && length % 4 == 0 && c.a % 4 == 0 && length > 0 && progressCalls == 0) {
                broken("a completed transfer without a progress report");
            }
            break;
        }
        case 6:
            baudCalls = 0;
            arcSetBaudrate(c.a, countBaud);
            // A rate whose 4 x rate wraps to 0 in 32 bits is not sent at all.
            if (4 * c.a != 0 && baudCalls != 1) {
                broken("the baud callback was not called once");
            }
            break;
        case 7:
            arcStopProgram();
            break;
        case 8: {
            std::uint32_t value = c.b;
            arcRead(c.a & 0xFF, c.b, &value);
            break;
        }
        case 9:
            arcWrite(c.a & 0xFF, c.b, c.a);
            break;
        }
    }
    uartClose();
    return 0;
}
