// board-sim: the board model served on a pseudo-terminal, in real time, so
// that the real Linux program can be run against it through its ordinary
// serial port code.
//
// What a pseudo-terminal does not carry, and how this program bridges it:
//
// - No DTR. TIOCMBIS and TIOCMBIC fail with ENOTTY, so the reset pulse itself
//   is invisible. What is visible is that the reset pulse ends with a settings
//   write of 38400 baud: in packet mode (TIOCPKT) with EXTPROC set on the
//   terminal, every settings write, even one that changes nothing, shows up on
//   the master as a TIOCPKT_IOCTL event. A settings write of 38400 baud that no
//   baud packet preceded (since the previous settings write) is taken as the
//   end of a reset pulse and resets the board. The write that follows a baud
//   packet is the program following the board to its new rate and resets
//   nothing. Writes that follow one another within 20 ms with no data between
//   are one settings call (Wine writes rate, framing, flow control and
//   characters separately) and count once. The open's
//   own settings write also counts as a reset, which a real port does as well
//   (opening a serial device raises DTR).
//   The program's raw mode clears EXTPROC with every write, so after each event
//   this program sets EXTPROC again. That write raises an event of its own,
//   which is discounted. Events coalesce: two writes of the program within a
//   few microseconds (the two halves of a rate that has no speed constant) may
//   give one event; the rate is therefore read again with every batch of data.
// - No baud rate on the line. The rate the program set is read through
//   TCGETS2 on the master (plain tcgetattr shows only BOTHER for 256000 and
//   128000). Bytes sent while the program's rate and the board's differ (by
//   more than a UART's 3 %) are lost, in both directions, as on a real line.
// - No line time, and tcdrain returns at once. With --line-time each byte takes
//   its 10 bits at the sender's rate on the way to the board and back, so a
//   transfer paces as on a cable. The program's own write still returns at
//   once, so its pause and reply time-out start while its bytes are still "on
//   the line": a full block of 1030 bytes takes 40 ms at 256000 and fits the
//   program's 70 ms reply window, but 80 ms at 128000 and more below do not.
//   Line time is faithful for transfers at 256000 only; runs about behaviour
//   go without it.
// - A cable, not a second user. This program holds only the master, as a
//   board at the far end of a cable holds nothing of the PC's port: a program
//   that looks for other holders of the terminal finds none. Terminal settings
//   are read and written through the master, which sets them for the pair and
//   keeps them between users. When the program closes the terminal the master
//   reports a hang-up (EIO) until the next open, which inotify announces
//   (IN_OPEN on the terminal); meanwhile the board keeps its state, and what
//   it sends is lost, as on a cable with nobody at the other end.
// - Settings put back. A program that closes the port with the settings it
//   found there writes the settings this program set at its start; that write
//   is counted apart (settings_restores) and resets nothing.
//
// - No USB. With --chip ftdi|ch340|cp2102|pl2303 the board's bytes reach the
//   terminal in the pieces that chip hands its driver, at its times
//   (sim/chip_input.h): the FT232R's at its latency timer (--latency-ms, 16
//   as the chip starts; a pseudo-terminal cannot take the program's request
//   for low latency, which makes Linux's driver set 1), 62 bytes a packet at
//   most; the others at once. The floor of --stats leaves the chip's wait
//   out.
//
// With --capture FILE the line is written at exit as a logic analyzer would
// record it (sim/capture.h), on the clock of --stats (from the start of the
// program); a pseudo-terminal carries no DTR or RTS, so those stay low.
//
// The memory of the board can be dumped (--dump FILE, --range ADDR:LEN ...)
// on SIGUSR1 and at exit, and a summary of what the board saw (--stats FILE),
// including the floor that the protocol imposes on the run, is written at the
// same moments. The program runs until SIGTERM, SIGINT or SIGHUP, or until its
// standard input reaches end of file (the parent closed the pipe or died).
#include "sim/pty/realtime.h"

#include "sim/board.h"
#include "sim/chip_input.h"

// The kernel's termios2 record (rates without a speed constant); it cannot
// share a translation unit with <termios.h>.
#include <algorithm>
#include <asm/termbits.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <optional>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <unistd.h>
#include <vector>

namespace {

using sim::Nanos;

enum class DeviceKind { Board, Silent, Echo };

struct Options {
    DeviceKind device = DeviceKind::Board;
    std::string link;
    std::string dump;
    std::string stats;
    std::string capture;
    std::vector<sim::Range> ranges;
    std::uint32_t maxBaud = 0;
    bool neverHalts = false;
    Nanos runTime = sim::ms(3000);
    bool lineTime = false;
    bool r1NoReadback = false;
    bool stepStuck = false;
    std::int32_t stepAdvance = 4;
    Nanos replyDelay = 0;
    std::uint32_t identity = 0x03020108;
    sim::AdapterChip chip = sim::AdapterChip::none;
    Nanos latency = sim::ms(16);
};

[[noreturn]] void usage(const char* why) {
    std::fprintf(stderr,
                 "board-sim: %s\n"
                 "usage: board-sim [--device board|silent|echo] [--link PATH] [--line-time]\n"
                 "                 [--max-baud RATE] [--never-halts] [--run-time MS]\n"
                 "                 [--r1-no-readback] [--step-stuck] [--step-advance BYTES]\n"
                 "                 [--reply-delay MS] [--identity VALUE]\n"
                 "                 [--dump FILE] [--range ADDR:LEN]... [--stats FILE]\n"
                 "                 [--capture FILE] [--chip ftdi|ch340|cp2102|pl2303]\n"
                 "                 [--latency-ms MS]\n",
                 why);
    std::exit(2);
}

std::uint64_t number(const char* text) {
    char* end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0') {
        usage("not a number");
    }
    return value;
}

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                usage("option needs a value");
            }
            return argv[++i];
        };
        if (arg == "--device") {
            const std::string kind = value();
            if (kind == "board") {
                o.device = DeviceKind::Board;
            } else if (kind == "silent") {
                o.device = DeviceKind::Silent;
            } else if (kind == "echo") {
                o.device = DeviceKind::Echo;
            } else {
                usage("unknown device");
            }
        } else if (arg == "--link") {
            o.link = value();
        } else if (arg == "--dump") {
            o.dump = value();
        } else if (arg == "--stats") {
            o.stats = value();
        } else if (arg == "--capture") {
            o.capture = value();
        } else if (arg == "--range") {
            const std::string range = value();
            const std::size_t colon = range.find(':');
            if (colon == std::string::npos) {
                usage("range is ADDR:LEN");
            }
            const std::uint64_t first = number(range.substr(0, colon).c_str());
            o.ranges.emplace_back(first, first + number(range.substr(colon + 1).c_str()));
        } else if (arg == "--max-baud") {
            o.maxBaud = static_cast<std::uint32_t>(number(value()));
        } else if (arg == "--never-halts") {
            o.neverHalts = true;
        } else if (arg == "--run-time") {
            o.runTime = sim::ms(static_cast<std::int64_t>(number(value())));
        } else if (arg == "--line-time") {
            o.lineTime = true;
        } else if (arg == "--r1-no-readback") {
            o.r1NoReadback = true;
        } else if (arg == "--step-stuck") {
            o.stepStuck = true;
        } else if (arg == "--step-advance") {
            o.stepAdvance = static_cast<std::int32_t>(number(value()));
        } else if (arg == "--reply-delay") {
            o.replyDelay = sim::ms(static_cast<std::int64_t>(number(value())));
        } else if (arg == "--identity") {
            o.identity = static_cast<std::uint32_t>(number(value()));
        } else if (arg == "--chip") {
            const std::optional<sim::AdapterChip> chip = sim::adapterChipNamed(value());
            if (!chip) {
                usage("unknown chip");
            }
            o.chip = *chip;
        } else if (arg == "--latency-ms") {
            o.latency = sim::ms(static_cast<std::int64_t>(number(value())));
            if (o.latency < sim::ms(1) || o.latency > sim::ms(255)) {
                usage("the latency timer runs 1 to 255 ms");
            }
        } else {
            usage("unknown option");
        }
    }
    return o;
}

void fail(const char* what) {
    std::fprintf(stderr, "board-sim: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

// A device that sends every byte straight back at the rate it came in.
class Echo final : public sim::detail::Device {
  public:
    void receive(sim::LineByte byte) override {
        sim::LineByte back = byte;
        back.start = std::max(byte.end, freeAt_);
        back.end = back.start + sim::detail::lineTime(byte.rate, 1);
        freeAt_ = back.end;
        sim::detail::schedule(back.end, [back] { sim::detail::arriveAtPc(1, back); });
    }

  private:
    Nanos freeAt_ = 0;
};

class Silent final : public sim::detail::Device {
  public:
    void receive(sim::LineByte) override {}
};

// The serving loop and its state.
struct Server {
    Options options;
    int master = -1;
    int opens = -1; // inotify: the terminal's far end was opened
    bool hungUp = false;
    struct termios2 initial {}; // the settings set at the start
    int signals = -1;
    std::string path;
    std::unique_ptr<sim::detail::Device> device;
    sim::Board* board = nullptr;
    rt::Host host;
    int ownEvents = 0;
    std::vector<std::uint8_t> toPc; // waiting for room in the terminal
    // The adapter's chip between the board and the terminal, and its next
    // hand-over already scheduled.
    std::unique_ptr<sim::ChipInput> chip;
    Nanos chipWake = rt::never;
};

std::uint32_t pcRate(const Server& s) {
    struct termios2 t {};
    if (ioctl(s.master, TCGETS2, &t) != 0) {
        return 0;
    }
    return t.c_ospeed;
}

struct termios2 terminalSettings(const Server& s) {
    struct termios2 t {};
    if (ioctl(s.master, TCGETS2, &t) != 0) {
        fail("TCGETS2");
    }
    return t;
}

// Sets EXTPROC again after the program's raw mode cleared it, so that its next
// settings write raises an event too.
void armSettingsEvents(Server& s) {
    struct termios2 t = terminalSettings(s);
    if ((t.c_lflag & EXTPROC) != 0) {
        return;
    }
    t.c_lflag |= EXTPROC;
    if (ioctl(s.master, TCSETS2, &t) != 0) {
        fail("TCSETS2");
    }
    ++s.ownEvents;
}

bool sameSettings(const struct termios2& a, const struct termios2& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && a.c_line == b.c_line &&
           std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 && a.c_ispeed == b.c_ispeed &&
           a.c_ospeed == b.c_ospeed;
}

void openTerminal(Server& s) {
    s.master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (s.master < 0 || grantpt(s.master) != 0 || unlockpt(s.master) != 0) {
        fail("pseudo-terminal");
    }
    const char* name = ptsname(s.master);
    if (name == nullptr) {
        fail("ptsname");
    }
    s.path = name;
    s.opens = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (s.opens < 0 || inotify_add_watch(s.opens, name, IN_OPEN) < 0) {
        fail("inotify");
    }
    // Raw, 38400 baud, EXTPROC: the state of a port nobody has configured yet.
    struct termios2 t = terminalSettings(s);
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = EXTPROC;
    // The speed constant, not BOTHER: a program that knows only the standard
    // rates (Wine's GetCommState) refuses a terminal it cannot name the rate of.
    t.c_cflag = (t.c_cflag & ~(CBAUD | CIBAUD | CSIZE | PARENB)) | CS8 | CREAD | CLOCAL | B38400;
    t.c_ispeed = 38400;
    t.c_ospeed = 38400;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (ioctl(s.master, TCSETS2, &t) != 0) {
        fail("TCSETS2");
    }
    s.initial = terminalSettings(s);
    int on = 1;
    if (ioctl(s.master, TIOCPKT, &on) != 0) {
        fail("TIOCPKT");
    }
}

void makeLink(const Server& s) {
    if (s.options.link.empty()) {
        return;
    }
    if (unlink(s.options.link.c_str()) != 0 && errno != ENOENT) {
        fail("remove old link");
    }
    if (symlink(s.path.c_str(), s.options.link.c_str()) != 0) {
        fail("symlink");
    }
}

void removeLink(const Server& s) {
    if (!s.options.link.empty()) {
        (void)unlink(s.options.link.c_str());
    }
}

bool writeFile(const std::string& name, const std::string& content) {
    const std::string temporary = name + ".part";
    std::FILE* f = std::fopen(temporary.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    const bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    if (std::fclose(f) != 0 || !ok) {
        return false;
    }
    return std::rename(temporary.c_str(), name.c_str()) == 0;
}

void writeReports(Server& s) {
    if (!s.options.dump.empty()) {
        std::string bytes;
        for (const sim::Range& r : s.options.ranges) {
            std::vector<std::uint8_t> part;
            if (s.board != nullptr) {
                part = s.board->readMemory(static_cast<std::uint32_t>(r.first),
                                           static_cast<std::size_t>(r.second - r.first));
            } else {
                part.assign(static_cast<std::size_t>(r.second - r.first), 0);
            }
            bytes.append(part.begin(), part.end());
        }
        if (!writeFile(s.options.dump, bytes)) {
            std::fprintf(stderr, "board-sim: cannot write %s\n", s.options.dump.c_str());
        }
    }
    if (!s.options.stats.empty()) {
        std::string text = s.host.report();
        if (s.board != nullptr) {
            const sim::Board& b = *s.board;
            std::uint64_t blockBytes = 0;
            for (const sim::Packet& p : b.packetsOf(sim::cmd::writeBlock)) {
                blockBytes += p.data.size();
            }
            text += "board_packets " + std::to_string(b.packets().size()) + "\n";
            text +=
                "board_blocks " + std::to_string(b.packetsOf(sim::cmd::writeBlock).size()) + "\n";
            text += "board_block_bytes " + std::to_string(blockBytes) + "\n";
            text += "board_releases " + std::to_string(b.releases().size()) + "\n";
            text += "board_resets " + std::to_string(b.resets()) + "\n";
            text += "board_lost " + std::to_string(b.lostBytes()) + "\n";
            text += "board_stray " + std::to_string(b.strayBytes().size()) + "\n";
            text += "board_halted " + std::to_string(b.halted() ? 1 : 0) + "\n";
        }
        if (!writeFile(s.options.stats, text)) {
            std::fprintf(stderr, "board-sim: cannot write %s\n", s.options.stats.c_str());
        }
    }
}

// A byte that reached the program's side intact.
void toProgram(Server& s, std::uint8_t byte) {
    s.host.toPc(byte);
    s.toPc.push_back(byte);
}

// Hands over the piece that the chip has due, and schedules the next.
void handOver(Server& s) {
    const Nanos now = sim::now();
    if (s.chip->wakeAt() <= now) {
        for (const std::uint8_t byte : s.chip->due(now)) {
            toProgram(s, byte);
        }
    }
    const Nanos next = s.chip->wakeAt();
    if (next == rt::never || next == s.chipWake) {
        return;
    }
    s.chipWake = next;
    sim::detail::schedule(next, [&s, next] {
        if (s.chipWake == next) {
            s.chipWake = rt::never;
        }
        handOver(s);
    });
}

void sendToPc(Server& s) {
    if (s.hungUp) {
        s.toPc.clear(); // nobody at the other end
    }
    while (!s.toPc.empty()) {
        const ssize_t n = write(s.master, s.toPc.data(), s.toPc.size());
        if (n > 0) {
            s.toPc.erase(s.toPc.begin(), s.toPc.begin() + n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return; // the terminal's input is full: wait for room
        } else if (n < 0 && errno == EIO) {
            s.toPc.clear(); // closed just now
            return;
        } else {
            fail("write to terminal");
        }
    }
}

void settingsWritten(Server& s) {
    if (sameSettings(terminalSettings(s), s.initial)) {
        s.host.settingsRestored(pcRate(s));
        return;
    }
    armSettingsEvents(s);
    const std::uint32_t rate = pcRate(s);
    const bool reset = s.host.settingsWritten(rate);
    if (reset) {
        s.device->dtrChanged(true);
        s.device->dtrChanged(false);
    }
}

void fromPc(Server& s, const std::uint8_t* bytes, std::size_t count) {
    // The program writes data only after its settings writes have returned, so
    // the rate read now is the one these bytes were sent at.
    s.host.setRate(pcRate(s));
    s.host.fromPc(bytes, count);
}

// One read from the master in packet mode: a status byte, then data when the
// status byte is TIOCPKT_DATA.
void readMaster(Server& s) {
    std::uint8_t buffer[4097];
    for (;;) {
        const ssize_t n = read(s.master, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        if (n < 0 && errno == EIO) {
            s.hungUp = true; // the program closed the terminal
            s.toPc.clear();
            return;
        }
        if (n <= 0) {
            fail("read terminal");
        }
        if (buffer[0] == TIOCPKT_DATA) {
            fromPc(s, buffer + 1, static_cast<std::size_t>(n - 1));
        } else if ((buffer[0] & TIOCPKT_IOCTL) != 0) {
            if (s.ownEvents > 0) {
                --s.ownEvents;
            } else {
                settingsWritten(s);
            }
        }
    }
}

int signalFd() {
    sigset_t set;
    sigemptyset(&set);
    for (const int n : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGPIPE}) {
        sigaddset(&set, n);
    }
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0) {
        fail("sigprocmask");
    }
    sigdelset(&set, SIGPIPE);
    const int fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd < 0) {
        fail("signalfd");
    }
    return fd;
}

// True when the program is to end.
bool handleSignals(Server& s) {
    signalfd_siginfo info{};
    bool end = false;
    while (read(s.signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGUSR1) {
            writeReports(s);
        } else {
            end = true;
        }
    }
    return end;
}

// Drains the open events; true when there was one.
bool terminalOpened(const Server& s) {
    alignas(inotify_event) char events[4096];
    bool opened = false;
    for (;;) {
        const ssize_t n = read(s.opens, events, sizeof events);
        if (n > 0) {
            opened = true;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return opened;
        }
    }
}

bool parentGone() {
    char scratch[256];
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, scratch, sizeof scratch);
        if (n > 0) {
            continue; // anything written to us is ignored
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return !(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
    }
}

void serve(Server& s) {
    const int inFlags = fcntl(STDIN_FILENO, F_GETFL);
    const bool watchParent = inFlags >= 0;
    if (watchParent && fcntl(STDIN_FILENO, F_SETFL, inFlags | O_NONBLOCK) != 0) {
        fail("stdin");
    }
    for (;;) {
        rt::runDue();
        sendToPc(s);
        timespec wait{};
        timespec* timeout = nullptr;
        const Nanos next = rt::nextEvent();
        if (next != rt::never) {
            const Nanos left = std::max<Nanos>(next - sim::now(), 0);
            wait.tv_sec = static_cast<time_t>(left / 1'000'000'000);
            wait.tv_nsec = static_cast<long>(left % 1'000'000'000);
            timeout = &wait;
        }
        // While hung up the master reports it without end: wait for an open.
        pollfd fds[4] = {
            {s.hungUp ? -1 : s.master, static_cast<short>(POLLIN | (s.toPc.empty() ? 0 : POLLOUT)),
             0},
            {s.signals, POLLIN, 0},
            {watchParent ? STDIN_FILENO : -1, POLLIN, 0},
            {s.opens, POLLIN, 0},
        };
        if (ppoll(fds, 4, timeout, nullptr) < 0) {
            if (errno == EINTR) {
                continue;
            }
            fail("ppoll");
        }
        if ((fds[1].revents & POLLIN) != 0 && handleSignals(s)) {
            return;
        }
        if (fds[2].revents != 0 && parentGone()) {
            return;
        }
        if ((fds[3].revents & POLLIN) != 0 && terminalOpened(s)) {
            s.hungUp = false;
            if (s.chip) {
                s.chip->start(sim::now()); // the driver's open resets the chip's buffers
            }
        }
        if ((fds[0].revents & (POLLIN | POLLHUP)) != 0) {
            readMaster(s);
        }
        if ((fds[0].revents & (POLLERR | POLLNVAL)) != 0) {
            fail("terminal");
        }
    }
}

} // namespace

// A board answers on time whatever the PC does: on a busy machine (a build,
// a QEMU guest and other tests beside), an ordinary process can wait tens of
// milliseconds for the processor and miss the program's 60 ms reply window,
// which the program rightly takes for a failed exchange. Where allowed
// (root), the simulator runs ahead of ordinary processes; it uses little
// time of its own.
namespace {
void runAheadWhereAllowed() {
    sched_param priority{};
    priority.sched_priority = 5;
    (void)sched_setscheduler(0, SCHED_FIFO, &priority);
}
} // namespace

int main(int argc, char** argv) {
    Server s;
    s.options = parseOptions(argc, argv);
    runAheadWhereAllowed();
    s.signals = signalFd();
    rt::setLineTime(s.options.lineTime);
    switch (s.options.device) {
    case DeviceKind::Board: {
        auto board = std::make_unique<sim::Board>(1);
        board->faults.maxBaud = s.options.maxBaud;
        board->faults.neverHalts = s.options.neverHalts;
        board->faults.r1NoReadback = s.options.r1NoReadback;
        board->faults.pcNeverAdvances = s.options.stepStuck;
        board->faults.stepAdvance = s.options.stepAdvance;
        board->faults.replyDelay = s.options.replyDelay;
        board->config.identity = s.options.identity;
        board->config.runTime = s.options.runTime;
        s.board = board.get();
        s.device = std::move(board);
        break;
    }
    case DeviceKind::Silent:
        s.device = std::make_unique<Silent>();
        break;
    case DeviceKind::Echo:
        s.device = std::make_unique<Echo>();
        break;
    }
    openTerminal(s);
    sim::LineCapture capture(0, "board-sim, monotonic clock from its start");
    if (!s.options.capture.empty()) {
        rt::setCapture(&capture);
    }
    rt::setDevice(s.device.get());
    if (s.options.chip != sim::AdapterChip::none) {
        s.chip = std::make_unique<sim::ChipInput>(s.options.chip, s.options.latency);
        s.chip->start(sim::now());
    }
    rt::setPcSink([&s](std::uint8_t byte) {
        if (!s.chip) {
            toProgram(s, byte);
            return;
        }
        s.chip->add(sim::now(), byte);
        handOver(s);
    });
    s.host.setRate(38400);
    makeLink(s);
    std::printf("%s\n", s.path.c_str());
    std::fflush(stdout);

    serve(s);

    writeReports(s);
    if (!s.options.capture.empty() && !capture.writeFile(s.options.capture, sim::now())) {
        std::fprintf(stderr, "board-sim: cannot write %s\n", s.options.capture.c_str());
    }
    removeLink(s);
    return 0;
}
