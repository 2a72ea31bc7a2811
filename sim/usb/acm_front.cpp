// --front acm: the kernel's own ACM function (usb_f_acm, made through
// configfs) on dummy_hcd's device controller, so that the host's cdc-acm
// driver on the same machine drives a real USB serial line.
//
// The function's terminal, /dev/ttyGSn, carries the bytes both ways but none
// of the line state: the function answers SET_LINE_CODING and
// SET_CONTROL_LINE_STATE inside the kernel and tells its terminal nothing.
// Those requests are read instead from usbmon on the host side of the same
// bus (the binary interface, /dev/usbmonN), with the bulk OUT transfers in
// the order the bus carried them and the kernel's time stamps (CLOCK_REALTIME,
// microseconds), which are the bus time of the event log. Before the bytes of
// a transfer are handed to the board, every request that came before it has
// been: the capture is read up to the transfer that carried them, and the
// bytes wait for their transfer to show up in it.
#include "sim/usb/front.h"
#include "sim/usb/system.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace usbboard {
namespace {

const std::string gadgetRoot = "/sys/kernel/config/usb_gadget/";
const std::string gadgetPrefix = "usb-board.";
const std::string function = "acm.board";

// How long bytes on the terminal and transfers in the capture may wait for
// each other before they are taken apart (a slow guest is slow).
constexpr Nanos pairingWait = sim::ms(2000);
// How long an unplug waits for the host to take the last reply.
constexpr Nanos flushWait = sim::ms(1000);
constexpr Nanos readyPoll = sim::ms(50);

// usbmon's binary interface: one event per MON_IOCX_GET, with the 48-byte
// header of the first version of the interface.
struct MonGet {
    void* hdr;
    void* data;
    std::size_t alloc;
};
struct MonStats {
    std::uint32_t queued;
    std::uint32_t dropped;
};
constexpr unsigned long monGet = _IOW(0x92, 6, MonGet);
constexpr unsigned long monRingSize = _IO(0x92, 4);
constexpr unsigned long monStats = _IOR(0x92, 3, MonStats);
constexpr std::size_t monHeaderSize = 48;
constexpr std::uint8_t monControl = 2; // xfer_type, as the host's pipe types
constexpr std::uint8_t monBulk = 3;

struct MonEvent {
    std::uint64_t id = 0;
    char type = 0; // 'S'ubmit, 'C'omplete, 'E'rror
    std::uint8_t xfer = 0;
    std::uint8_t endpoint = 0; // with USB_DIR_IN
    std::uint8_t device = 0;
    std::uint16_t bus = 0;
    bool hasSetup = false;
    std::array<std::uint8_t, 8> setup{};
    std::int64_t micros = 0;
    std::int32_t status = 0;
    std::uint32_t length = 0; // submitted (S) or actual (C)
    std::vector<std::uint8_t> data;
};

template <typename T> T field(const std::uint8_t* header, std::size_t at) {
    T value;
    std::memcpy(&value, header + at, sizeof value);
    return value;
}

MonEvent parseMon(const std::uint8_t* header, const std::uint8_t* data) {
    MonEvent e;
    e.id = field<std::uint64_t>(header, 0);
    e.type = static_cast<char>(header[8]);
    e.xfer = header[9];
    e.endpoint = header[10];
    e.device = header[11];
    e.bus = field<std::uint16_t>(header, 12);
    e.hasSetup = header[14] == 0;
    e.micros = field<std::int64_t>(header, 16) * 1'000'000 + field<std::int32_t>(header, 24);
    e.status = field<std::int32_t>(header, 28);
    e.length = field<std::uint32_t>(header, 32);
    const std::uint32_t captured = field<std::uint32_t>(header, 36);
    std::memcpy(e.setup.data(), header + 40, 8);
    e.data.assign(data, data + captured);
    return e;
}

// The class requests of a modem-class device that the adapter acts on.
constexpr std::uint8_t classOut = 0x21; // class request to an interface, host to device
constexpr std::uint8_t setLineCoding = 0x20;
constexpr std::uint8_t setControlLineState = 0x22;

void mkdirOrThrow(const std::string& path) {
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        throw SystemError("mkdir " + path);
    }
}

// Unbinds and removes a gadget of ours, whatever state it is in.
void removeGadget(const std::string& g) {
    if (!exists(g)) {
        return;
    }
    try {
        writeFile(g + "/UDC", "\n");
    } catch (const SystemError&) {
        // not bound
    }
    (void)unlink((g + "/configs/c.1/" + function).c_str());
    (void)rmdir((g + "/configs/c.1/strings/0x409").c_str());
    (void)rmdir((g + "/configs/c.1").c_str());
    (void)rmdir((g + "/functions/" + function).c_str());
    (void)rmdir((g + "/strings/0x409").c_str());
    if (rmdir(g.c_str()) != 0) {
        warn("cannot remove " + g + ": " + std::strerror(errno));
    }
}

class AcmFront final : public Front {
  public:
    AcmFront(Core& core, FrontOptions options) : core_(core), options_(std::move(options)) {}
    ~AcmFront() override { stop(); }

    void start() override;
    void stop() override;
    void watch(std::vector<pollfd>& fds) override;
    void serve(const pollfd* fds) override;
    void tick() override;
    Nanos wakeAt() const override;
    bool ready() const override { return ready_; }
    void send(const std::vector<std::uint8_t>& bytes) override;
    void stallOut() override;
    void resumeOut() override;
    void unplug(Nanos replugAfter) override;

  private:
    enum class Kind { LineState, Coding, BulkOut };
    struct Effect {
        Kind kind = Kind::LineState;
        Nanos t = 0;
        std::uint16_t value = 0;
        LineCoding coding;
        std::uint32_t length = 0;
    };

    void openUsbmon();
    void createGadget();
    void openTerminal();
    void closeTerminal();
    void bind();
    void readUsbmon();
    void onEvent(const MonEvent& e);
    void readTerminal();
    void writeTerminal();
    void pump();
    void takeOffBus();
    Nanos local(std::int64_t micros) const { return micros * 1000 - core_.busOffset(); }

    Core& core_;
    FrontOptions options_;
    std::string udc_;
    int index_ = -1;
    std::set<int> buses_;
    std::string gadget_;
    std::string monNode_; // made by us when /dev had none
    int mon_ = -1;
    int tty_ = -1;
    std::string ttyPath_;
    bool bound_ = false;

    std::map<std::uint64_t, MonEvent> controls_; // submitted, not yet complete
    std::deque<Effect> effects_;
    std::deque<Effect> heldOut_; // bulk OUT that came while the board stalled
    std::vector<std::uint8_t> ttyIn_;
    std::vector<std::uint8_t> ttyOut_;
    Nanos pairingSince_ = never;
    bool warnedDrops_ = false;

    bool ready_ = false;
    Nanos nextCheck_ = 0;
    bool stalled_ = false;
    bool offBus_ = false;
    bool unplugPending_ = false;
    Nanos unplugBy_ = never;
    Nanos replugAfter_ = 0;
    Nanos replugAt_ = never;
    std::uint64_t written_ = 0;   // bytes written to the terminal since the bind
    std::uint64_t delivered_ = 0; // bytes the host's bulk IN took since the bind
};

// ---------------------------------------------------------------------------
// Making the device

void AcmFront::start() {
    udc_ = options_.udc;
    if (udc_.empty()) {
        for (const std::string& name : listDir("/sys/class/udc")) {
            if (dummyIndex(name) >= 0 && (udc_.empty() || name < udc_)) {
                udc_ = name;
            }
        }
    }
    index_ = dummyIndex(udc_);
    if (index_ < 0) {
        errno = 0;
        throw SystemError("--front acm needs dummy_hcd's controller (modprobe dummy_hcd), "
                          "found " +
                          (udc_.empty() ? std::string("none") : udc_));
    }
    for (const int bus : dummyBuses(index_)) {
        buses_.insert(bus);
    }
    if (buses_.empty()) {
        errno = 0;
        throw SystemError("no host bus behind " + udc_);
    }
    openUsbmon();
    createGadget();
    openTerminal();
    bind();
}

void AcmFront::openUsbmon() {
    const int bus = buses_.size() == 1 ? *buses_.begin() : 0;
    std::string node = "/dev/usbmon" + std::to_string(bus);
    if (!exists(node)) {
        // No devtmpfs node: make one from the class device's numbers.
        const std::string dev = readLine("/sys/class/usbmon/usbmon" + std::to_string(bus) + "/dev");
        const unsigned major = static_cast<unsigned>(std::stoul(dev));
        const unsigned minor = static_cast<unsigned>(std::stoul(dev.substr(dev.find(':') + 1)));
        monNode_ = "/run/usb-board-usbmon." + std::to_string(getpid());
        if (mknod(monNode_.c_str(), S_IFCHR | 0600, makedev(major, minor)) != 0) {
            throw SystemError("mknod " + monNode_);
        }
        node = monNode_;
    }
    mon_ = open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (mon_ < 0) {
        throw SystemError("open " + node + " (modprobe usbmon)");
    }
    (void)ioctl(mon_, monRingSize, 1024 * 1024);
}

void AcmFront::createGadget() {
    if (!exists(gadgetRoot) && exists("/sys/kernel/config")) {
        // configfs is a module: a boot that mounts it before it is loaded
        // leaves the folder empty.
        (void)mount("configfs", "/sys/kernel/config", "configfs", 0, nullptr);
    }
    if (!exists(gadgetRoot)) {
        errno = 0;
        throw SystemError(gadgetRoot + " missing (modprobe libcomposite; mount configfs)");
    }
    // Gadgets that a killed run left behind hold the controller.
    for (const std::string& name : listDir(gadgetRoot)) {
        if (name.rfind(gadgetPrefix, 0) == 0) {
            const long pid = std::strtol(name.c_str() + gadgetPrefix.size(), nullptr, 10);
            if (pid > 0 && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
                removeGadget(gadgetRoot + name);
            }
        }
    }
    gadget_ = gadgetRoot + gadgetPrefix + std::to_string(getpid());
    mkdirOrThrow(gadget_);
    const std::string& g = gadget_;
    // The id the kernel's own gadgets use for tests; cdc-acm binds by class.
    writeFile(g + "/idVendor", "0x1d6b");
    writeFile(g + "/idProduct", "0x0104");
    writeFile(g + "/bcdDevice", "0x0100");
    writeFile(g + "/bcdUSB", "0x0200");
    mkdirOrThrow(g + "/strings/0x409");
    writeFile(g + "/strings/0x409/manufacturer", "usb-board");
    writeFile(g + "/strings/0x409/product", "receiver board on a serial adapter");
    writeFile(g + "/strings/0x409/serialnumber", std::to_string(getpid()));
    mkdirOrThrow(g + "/configs/c.1");
    mkdirOrThrow(g + "/configs/c.1/strings/0x409");
    writeFile(g + "/configs/c.1/strings/0x409/configuration", "ACM");
    writeFile(g + "/configs/c.1/MaxPower", "100");
    mkdirOrThrow(g + "/functions/" + function);
    if (symlink((g + "/functions/" + function).c_str(), (g + "/configs/c.1/" + function).c_str()) !=
        0) {
        throw SystemError("link the function into the configuration (modprobe usb_f_acm)");
    }
    ttyPath_ = "/dev/ttyGS" + readLine(g + "/functions/" + function + "/port_num");
}

void AcmFront::openTerminal() {
    tty_ = open(ttyPath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (tty_ < 0) {
        throw SystemError("open " + ttyPath_);
    }
    termios t{};
    if (tcgetattr(tty_, &t) != 0) {
        throw SystemError("tcgetattr " + ttyPath_);
    }
    cfmakeraw(&t); // no echo, no line editing: the bytes as they are
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(tty_, TCSANOW, &t) != 0) {
        throw SystemError("tcsetattr " + ttyPath_);
    }
    (void)tcflush(tty_, TCIOFLUSH);
}

void AcmFront::closeTerminal() {
    if (tty_ >= 0) {
        close(tty_);
        tty_ = -1;
    }
}

void AcmFront::bind() {
    written_ = 0;
    delivered_ = 0;
    writeFile(gadget_ + "/UDC", udc_);
    bound_ = true;
}

void AcmFront::stop() {
    closeTerminal();
    if (!gadget_.empty()) {
        removeGadget(gadget_);
        gadget_.clear();
        bound_ = false;
    }
    if (mon_ >= 0) {
        close(mon_);
        mon_ = -1;
    }
    if (!monNode_.empty()) {
        (void)unlink(monNode_.c_str());
        monNode_.clear();
    }
}

// ---------------------------------------------------------------------------
// The loop

void AcmFront::watch(std::vector<pollfd>& fds) {
    fds.push_back({mon_, POLLIN, 0});
    short events = 0;
    if (!stalled_ && !offBus_) {
        events |= POLLIN;
    }
    if (!ttyOut_.empty()) {
        events |= POLLOUT;
    }
    fds.push_back({events != 0 ? tty_ : -1, events, 0});
}

void AcmFront::serve(const pollfd* fds) {
    if ((fds[0].revents & POLLIN) != 0) {
        readUsbmon();
    }
    if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        readTerminal();
    }
    if ((fds[1].revents & POLLOUT) != 0) {
        writeTerminal();
    }
    pump();
}

void AcmFront::tick() {
    const Nanos now = sim::now();
    if (!ready_ && now >= nextCheck_) {
        if (const std::optional<std::string> tty = dummyHostTty(index_)) {
            ready_ = true;
            warn("the host's port is " + *tty + ", the board's " + ttyPath_);
        } else {
            nextCheck_ = now + readyPoll;
        }
    }
    if (unplugPending_ && ((ttyOut_.empty() && delivered_ >= written_) || now >= unplugBy_)) {
        takeOffBus();
    }
    if (offBus_ && now >= replugAt_) {
        openTerminal();
        bind();
        offBus_ = false;
        replugAt_ = never;
        core_.replugged(sim::now());
    }
    pump();
}

Nanos AcmFront::wakeAt() const {
    Nanos at = never;
    if (!ready_) {
        at = std::min(at, nextCheck_);
    }
    if (pairingSince_ != never) {
        at = std::min(at, pairingSince_ + pairingWait);
    }
    if (unplugPending_) {
        at = std::min(at, unplugBy_);
    }
    return std::min(at, replugAt_);
}

// ---------------------------------------------------------------------------
// The capture

void AcmFront::readUsbmon() {
    std::array<std::uint8_t, monHeaderSize> header{};
    static std::vector<std::uint8_t> data(std::size_t{256} * 1024);
    for (;;) {
        MonGet get{header.data(), data.data(), data.size()};
        if (ioctl(mon_, monGet, &get) != 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN) {
                break;
            }
            throw SystemError("read usbmon");
        }
        onEvent(parseMon(header.data(), data.data()));
    }
    MonStats stats{};
    if (!warnedDrops_ && ioctl(mon_, monStats, &stats) == 0 && stats.dropped > 0) {
        warnedDrops_ = true;
        warn("usbmon dropped " + std::to_string(stats.dropped) +
             " events: requests and bytes may be out of order");
    }
}

void AcmFront::onEvent(const MonEvent& e) {
    if (buses_.count(e.bus) == 0 || e.device <= 1) {
        return; // another bus, or the root hub
    }
    if (e.xfer == monControl) {
        if (e.type == 'S') {
            if (e.hasSetup && e.setup[0] == classOut &&
                (e.setup[1] == setLineCoding || e.setup[1] == setControlLineState)) {
                controls_[e.id] = e;
            }
            return;
        }
        const auto it = controls_.find(e.id);
        if (it == controls_.end()) {
            return;
        }
        const MonEvent request = std::move(it->second);
        controls_.erase(it);
        if (e.type != 'C' || e.status != 0) {
            return; // the device refused it or the host gave up
        }
        // Effective when the device has taken it: at its completion.
        Effect f;
        f.t = local(e.micros);
        if (request.setup[1] == setControlLineState) {
            f.value = static_cast<std::uint16_t>(request.setup[2] | request.setup[3] << 8);
        } else if (const std::optional<LineCoding> c = LineCoding::parse(request.data)) {
            f.kind = Kind::Coding;
            f.coding = *c;
        } else {
            return;
        }
        effects_.push_back(f);
    } else if (e.xfer == monBulk && e.type == 'C') {
        if ((e.endpoint & 0x80) != 0) {
            delivered_ += e.length;
        } else if (e.length > 0) {
            Effect f;
            f.kind = Kind::BulkOut;
            f.t = local(e.micros);
            f.length = e.length;
            effects_.push_back(f);
        }
    }
}

// Hands the capture's requests and the terminal's bytes to the core, in the
// order of the bus.
void AcmFront::pump() {
    const Nanos now = sim::now();
    while (!effects_.empty()) {
        const Effect f = effects_.front();
        if (f.kind == Kind::LineState) {
            core_.lineState(f.t, (f.value & 1) != 0, (f.value & 2) != 0);
        } else if (f.kind == Kind::Coding) {
            core_.lineCoding(f.t, f.coding);
        } else if (stalled_) {
            // The board no longer reads: the bytes stay in the gadget's
            // terminal until it reads again.
            heldOut_.push_back(f);
        } else if (ttyIn_.size() >= f.length) {
            core_.fromHost(f.t, {ttyIn_.data(), f.length});
            ttyIn_.erase(ttyIn_.begin(), ttyIn_.begin() + f.length);
            pairingSince_ = never;
        } else {
            if (pairingSince_ == never) {
                pairingSince_ = now;
            }
            if (now - pairingSince_ < pairingWait) {
                return; // the bytes are still on their way through the terminal
            }
            warn("a transfer of " + std::to_string(f.length) + " bytes brought only " +
                 std::to_string(ttyIn_.size()) + " to " + ttyPath_);
            core_.fromHost(f.t, ttyIn_);
            ttyIn_.clear();
            pairingSince_ = never;
        }
        effects_.pop_front();
    }
    if (ttyIn_.empty() || stalled_) {
        pairingSince_ = never;
        return;
    }
    // Bytes whose transfer the capture has not shown yet.
    if (pairingSince_ == never) {
        pairingSince_ = now;
    } else if (now - pairingSince_ >= pairingWait) {
        warn(std::to_string(ttyIn_.size()) + " bytes came with no transfer in the capture");
        core_.fromHost(now, ttyIn_);
        ttyIn_.clear();
        pairingSince_ = never;
    }
}

// ---------------------------------------------------------------------------
// The terminal

void AcmFront::readTerminal() {
    std::uint8_t buffer[4096];
    for (;;) {
        const ssize_t n = read(tty_, buffer, sizeof buffer);
        if (n > 0) {
            ttyIn_.insert(ttyIn_.end(), buffer, buffer + n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            return;
        }
        // Hung up: the gadget was disconnected (a bus reset after the host
        // configured it does that too). The function's terminal stays; a new
        // open is a working one.
        closeTerminal();
        if (!offBus_) {
            openTerminal();
        }
        return;
    }
}

void AcmFront::send(const std::vector<std::uint8_t>& bytes) {
    if (offBus_ || unplugPending_) {
        return;
    }
    ttyOut_.insert(ttyOut_.end(), bytes.begin(), bytes.end());
    writeTerminal();
}

void AcmFront::writeTerminal() {
    while (!ttyOut_.empty() && tty_ >= 0) {
        const ssize_t n = write(tty_, ttyOut_.data(), ttyOut_.size());
        if (n > 0) {
            written_ += static_cast<std::uint64_t>(n);
            ttyOut_.erase(ttyOut_.begin(), ttyOut_.begin() + n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            return; // the function's buffer is full: POLLOUT
        } else {
            ttyOut_.clear(); // hung up: nobody to take them
        }
    }
}

// ---------------------------------------------------------------------------
// Faults

void AcmFront::stallOut() {
    stalled_ = true;
}

void AcmFront::resumeOut() {
    // The transfers the gadget took meanwhile cross the UART from now on,
    // before anything that comes later.
    stalled_ = false;
    const Nanos now = sim::now();
    for (auto it = heldOut_.rbegin(); it != heldOut_.rend(); ++it) {
        it->t = std::max(it->t, now);
        effects_.push_front(*it);
    }
    heldOut_.clear();
    pump();
}

void AcmFront::unplug(Nanos replugAfter) {
    unplugPending_ = true;
    unplugBy_ = sim::now() + flushWait;
    replugAfter_ = replugAfter;
}

void AcmFront::takeOffBus() {
    unplugPending_ = false;
    writeFile(gadget_ + "/UDC", "\n"); // the host sees the device go
    bound_ = false;
    closeTerminal();
    core_.unplugged(sim::now());
    effects_.clear();
    heldOut_.clear();
    controls_.clear();
    ttyIn_.clear();
    ttyOut_.clear();
    pairingSince_ = never;
    offBus_ = true;
    replugAt_ = sim::now() + replugAfter_;
}

} // namespace

std::unique_ptr<Front> makeAcmFront(Core& core, const FrontOptions& options) {
    return std::make_unique<AcmFront>(core, options);
}

} // namespace usbboard
