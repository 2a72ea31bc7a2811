// port-probe.exe: the Windows port calls one at a time, for the Wine tests of
// the write and drain deadlines on a line that stops taking bytes.
//
//   port-probe.exe N COUNT MULTIPLIER CONSTANT [drain]
//
// Opens COMN, writes the write time-outs (the read ones as the link sets
// them), writes COUNT bytes and prints "write R W T": the result, the bytes
// the port took and the milliseconds it took; with "drain" also
// "drain R T" for a drain after it.
#include "platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

unsigned long number(const char* text) {
    return std::strtoul(text, nullptr, 10);
}

double msSince(std::uint64_t startNs) {
    return static_cast<double>(platClockNs() - startNs) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: port-probe N COUNT MULTIPLIER CONSTANT [drain]\n");
        return 2;
    }
    const PortHandle port = platOpenPort(static_cast<int>(number(argv[1])));
    if (port == platNoPort) {
        std::printf("open failed\n");
        return 1;
    }
    PortSettings settings{};
    if (platReadSettings(port, &settings) != 0) {
        settings.BaudRate = 38400;
        settings.ByteSize = 8;
        settings.Parity = platNoParity;
        settings.StopBits = platOneStopBit;
        settings.fBinary = 1;
        (void)platWriteSettings(port, &settings);
    }
    const PortTimeouts limits = {50, 50, 10, static_cast<std::uint32_t>(number(argv[3])),
                                 static_cast<std::uint32_t>(number(argv[4]))};
    (void)platWriteTimeouts(port, &limits);
    const std::vector<unsigned char> bytes(number(argv[2]), 0x55);
    std::uint32_t written = 0;
    std::uint64_t start = platClockNs();
    const int wrote =
        platWrite(port, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &written);
    std::printf("write %d %lu %.0f\n", wrote, static_cast<unsigned long>(written), msSince(start));
    if (argc > 5) {
        start = platClockNs();
        const int drained = platDrain(port);
        std::printf("drain %d %.0f\n", drained, msSince(start));
    }
    std::fflush(stdout);
    (void)platClosePort(port);
    return 0;
}
