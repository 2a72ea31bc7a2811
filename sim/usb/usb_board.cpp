// usb-board: the board model (sim/board.h) behind a real USB serial line, in
// real time, so that the real programs can be run through the kernel's
// cdc-acm driver (a host port /dev/ttyACMn, COM25 and up), through a USB
// serial chip's own driver (/dev/ttyUSBn, COM9 and up), or through a real
// station PC's USB port.
//
//   usb-board --front acm|gadgetfs --log FILE [--chip ftdi|ch340|cp2102|pl2303]
//             [--fixed-latency-ms N]
//             [--stall-after N [--stall-ms M]] [--hold-after N [--hold-ms M]]
//             [--unplug-after N [--replug-ms M]] [--max-baud RATE]
//             [--range ADDR:LEN]... [--gadgetfs DIR] [--udc NAME] [--capture FILE]
//
// It expects the modules loaded and configfs and debugfs mounted (see
// setup-device.sh), prints "ready" on standard output once the host can open
// the port, serves until SIGTERM, SIGINT or SIGHUP, then writes the memory
// event, takes the device off the bus and removes it, and exits 0 (1 when the
// device could not be made or failed).
//
// --chip (front gadgetfs): the adapter is that chip (sim/usb/chips.h), not
// the modem-class device. --fixed-latency-ms N (ftdi): the chip's latency
// timer stays at N ms whatever the host writes, to measure what the host's
// own setting saves.
//
// Faults, counted in block-write packets: --stall-after N stops reading bulk
// OUT after the reply to the Nth, for good or for --stall-ms M, so that the
// host's queue fills; --hold-after N (ftdi, cp2102) holds the chip's
// transmitter from then on, for good or for --hold-ms M: the chip goes on
// taking bulk OUT and sends none of it to the board, and says so where its
// driver asks (ftdi: THRE and TEMT clear; cp2102: the transmit queue's
// count). A real chip would take no more than its buffer; this one takes
// every packet, so that the host's queue is empty whatever the program
// writes and only the chip's word tells that the bytes are not out.
// --unplug-after N takes the device off the bus once that reply has reached
// the host, and brings it back --replug-ms later (2000 by default).
// --max-baud RATE is the fastest the board's UART runs.
#include "sim/device.h"
#include "sim/pty/realtime.h"
#include "sim/usb/chips.h"
#include "sim/usb/core.h"
#include "sim/usb/front.h"
#include "sim/usb/system.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <unistd.h>
#include <vector>

namespace {

using sim::Nanos;
using usbboard::Front;

struct Options {
    std::string front;
    std::string log;
    std::string capture;
    int stallAfter = 0;
    Nanos stallFor = -1; // -1: for good
    int holdAfter = 0;
    Nanos holdFor = -1;
    int unplugAfter = 0;
    Nanos replugAfter = sim::ms(2000);
    std::uint32_t maxBaud = 0;
    std::vector<sim::Range> ranges;
    usbboard::FrontOptions frontOptions;
};

[[noreturn]] void usage(const char* why) {
    (void)std::fprintf(stderr,
                       "usb-board: %s\n"
                       "usage: usb-board --front acm|gadgetfs --log FILE [--chip %s]\n"
                       "                 [--fixed-latency-ms N] [--stall-after N [--stall-ms M]]\n"
                       "                 [--hold-after N [--hold-ms M]] (--chip ftdi|cp2102)\n"
                       "                 [--unplug-after N [--replug-ms M]] [--max-baud RATE]\n"
                       "                 [--range ADDR:LEN]... [--gadgetfs DIR] [--udc NAME]\n"
                       "                 [--capture FILE]\n",
                       why, usbboard::chipNames());
    std::exit(2);
}

std::uint64_t number(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0') {
        usage("not a number");
    }
    return value;
}

Options parseOptions(int argc, char** argv) {
    Options o;
    bool replugGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                usage("option needs a value");
            }
            return argv[++i];
        };
        if (arg == "--front") {
            o.front = value();
            if (o.front != "acm" && o.front != "gadgetfs") {
                usage("the front is acm or gadgetfs");
            }
        } else if (arg == "--capture") {
            o.capture = value();
        } else if (arg == "--log") {
            o.log = value();
        } else if (arg == "--chip") {
            o.frontOptions.chip = value();
            if (o.frontOptions.chip == "acm" ||
                ("|" + std::string(usbboard::chipNames()) + "|")
                        .find("|" + o.frontOptions.chip + "|") == std::string::npos) {
                usage("no such chip");
            }
        } else if (arg == "--fixed-latency-ms") {
            o.frontOptions.fixedLatencyMs = static_cast<unsigned>(number(value()));
        } else if (arg == "--stall-after") {
            o.stallAfter = static_cast<int>(number(value()));
        } else if (arg == "--stall-ms") {
            o.stallFor = sim::ms(static_cast<std::int64_t>(number(value())));
        } else if (arg == "--hold-after") {
            o.holdAfter = static_cast<int>(number(value()));
        } else if (arg == "--hold-ms") {
            o.holdFor = sim::ms(static_cast<std::int64_t>(number(value())));
        } else if (arg == "--unplug-after") {
            o.unplugAfter = static_cast<int>(number(value()));
        } else if (arg == "--replug-ms") {
            o.replugAfter = sim::ms(static_cast<std::int64_t>(number(value())));
            replugGiven = true;
        } else if (arg == "--max-baud") {
            o.maxBaud = static_cast<std::uint32_t>(number(value()));
        } else if (arg == "--range") {
            const std::string range = value();
            const std::size_t colon = range.find(':');
            if (colon == std::string::npos) {
                usage("range is ADDR:LEN");
            }
            const std::uint64_t first = number(range.substr(0, colon));
            o.ranges.emplace_back(first, first + number(range.substr(colon + 1)));
        } else if (arg == "--gadgetfs") {
            o.frontOptions.gadgetfs = value();
        } else if (arg == "--udc") {
            o.frontOptions.udc = value();
        } else {
            usage("unknown option");
        }
    }
    if (o.front.empty() || o.log.empty()) {
        usage("--front and --log are needed");
    }
    if (replugGiven && o.unplugAfter == 0) {
        usage("--replug-ms goes with --unplug-after");
    }
    if (o.stallFor >= 0 && o.stallAfter == 0) {
        usage("--stall-ms goes with --stall-after");
    }
    if (o.holdFor >= 0 && o.holdAfter == 0) {
        usage("--hold-ms goes with --hold-after");
    }
    if (o.holdAfter != 0 && !usbboard::reportsTransmitter(o.frontOptions.chip)) {
        usage("--hold-after needs --chip ftdi or cp2102: no other driver asks the chip whether "
              "it has sent");
    }
    if (o.holdAfter != 0 && o.stallAfter != 0) {
        usage("--hold-after and --stall-after are two faults; one a run");
    }
    if (!o.frontOptions.chip.empty() && o.front != "gadgetfs") {
        usage("--chip needs --front gadgetfs (the kernel's ACM function is a modem-class device)");
    }
    return o;
}

int signalFd() {
    sigset_t set;
    sigemptyset(&set);
    for (const int n : {SIGTERM, SIGINT, SIGHUP, SIGIO, SIGPIPE}) {
        sigaddset(&set, n);
    }
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) {
        throw usbboard::SystemError("sigprocmask");
    }
    sigdelset(&set, SIGPIPE);
    const int fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd < 0) {
        throw usbboard::SystemError("signalfd");
    }
    return fd;
}

// Serves until a signal to end comes.
void serve(Front& front, int signals) {
    bool readySaid = false;
    std::vector<pollfd> fds;
    for (;;) {
        rt::runDue();
        front.tick();
        rt::runDue();
        if (!readySaid && front.ready()) {
            (void)std::printf("ready\n");
            (void)std::fflush(stdout);
            readySaid = true;
        }
        const Nanos next = std::min(rt::nextEvent(), front.wakeAt());
        timespec wait{};
        timespec* timeout = nullptr;
        if (next != usbboard::never) {
            const Nanos left = std::max<Nanos>(next - sim::now(), 0);
            wait.tv_sec = static_cast<time_t>(left / 1'000'000'000);
            wait.tv_nsec = static_cast<long>(left % 1'000'000'000);
            timeout = &wait;
        }
        fds.assign(1, pollfd{signals, POLLIN, 0});
        front.watch(fds);
        if (ppoll(fds.data(), fds.size(), timeout, nullptr) < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw usbboard::SystemError("ppoll");
        }
        if ((fds[0].revents & POLLIN) != 0) {
            signalfd_siginfo info{};
            bool end = false;
            while (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                if (info.ssi_signo == SIGIO) {
                    front.signalled();
                } else {
                    end = true;
                }
            }
            if (end) {
                return;
            }
        }
        front.serve(fds.data() + 1);
    }
}

} // namespace

int main(int argc, char** argv) {
    const Options options = parseOptions(argc, argv);
    std::FILE* log = std::fopen(options.log.c_str(), "w");
    if (log == nullptr) {
        (void)std::fprintf(stderr, "usb-board: cannot write %s: %s\n", options.log.c_str(),
                           std::strerror(errno));
        return 1;
    }
    int status = 0;
    rt::setLineTime(true); // the adapter's UART takes its time
    // Bus time: usbmon's clock, or the monotonic clock where no bus is seen.
    const Nanos offset =
        usbboard::clockOffset(options.front == "acm" ? CLOCK_REALTIME : CLOCK_MONOTONIC);
    std::unique_ptr<Front> front;
    usbboard::Core core({[log](const std::string& line) {
                             (void)std::fputs(line.c_str(), log);
                             (void)std::fputc('\n', log);
                             (void)std::fflush(log);
                         },
                         [&front](const std::vector<std::uint8_t>& bytes) {
                             if (front) {
                                 front->send(bytes);
                             }
                         },
                         [&](int n) {
                             if (n == options.stallAfter) {
                                 core.stall(sim::now());
                                 front->stallOut();
                                 if (options.stallFor >= 0) {
                                     sim::detail::schedule(sim::now() + options.stallFor, [&] {
                                         core.resume(sim::now());
                                         front->resumeOut();
                                     });
                                 }
                             }
                             if (n == options.holdAfter) {
                                 core.hold(sim::now());
                                 if (options.holdFor >= 0) {
                                     sim::detail::schedule(sim::now() + options.holdFor,
                                                           [&] { core.resume(sim::now()); });
                                 }
                             }
                             if (n == options.unplugAfter) {
                                 front->unplug(options.replugAfter);
                             }
                         }},
                        offset);
    core.board().faults.maxBaud = options.maxBaud;
    // The line as an analyzer would record it, on the log's bus clock.
    sim::LineCapture capture(offset + sim::now(), options.front == "acm"
                                                      ? "usb-board, bus time (CLOCK_REALTIME)"
                                                      : "usb-board, bus time (CLOCK_MONOTONIC)");
    if (!options.capture.empty()) {
        core.captureTo(&capture);
    }
    front = options.front == "acm" ? usbboard::makeAcmFront(core, options.frontOptions)
                                   : usbboard::makeGadgetfsFront(core, options.frontOptions);
    try {
        const int signals = signalFd();
        front->start();
        serve(*front, signals);
    } catch (const std::exception& e) {
        usbboard::warn(e.what());
        status = 1;
    }
    core.logMemory(options.ranges);
    if (!options.capture.empty() && !capture.writeFile(options.capture, offset + sim::now())) {
        usbboard::warn("cannot write the capture " + options.capture);
        status = 1;
    }
    try {
        front->stop();
    } catch (const std::exception& e) {
        usbboard::warn(e.what());
    }
    if (std::fclose(log) != 0) {
        usbboard::warn("cannot finish the log " + options.log);
        status = 1;
    }
    return status;
}
