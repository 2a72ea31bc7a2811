// --front gadgetfs: the whole USB serial adapter in user space through
// gadgetfs, for a small Linux computer whose USB device port is plugged into
// a real station PC. No host bus can be watched there: the requests are the
// device's own, timed by the monotonic clock when they are read. What the
// adapter is - the modem-class device, or one of the vendor chips - is
// sim/usb/chips.h; this file carries its requests and bytes.
//
// gadgetfs takes the descriptors from us, enumerates by itself and passes the
// class and vendor requests up. It keeps one request at a time, and it
// completes the data stage of an OUT request (the seven bytes of
// SET_LINE_CODING, a CP2102's four of SET_BAUDRATE, a PL2303's seven of its
// line request) in the kernel, so the host goes on at once. When the next
// request comes before we have read that one, gadgetfs drops it: its event
// is replaced, or reading its data fails with EIDRM. The setting is then
// lost (the host's driver does not send it again), as if the adapter had
// missed it. The EIDRM case is logged ("dropped"); the other cannot be seen
// from here. To keep the window small, ep0 is read as soon as it has
// something (poll, and SIGIO for the data stage, which poll does not
// report). Requests without a data stage wait for our answer and are never
// lost.
//
// gadgetfs endpoint files have no poll. Bulk OUT is read by native AIO with
// an eventfd, one packet (512 bytes at high speed, the chip's packet size at
// full speed) at a time: the host's driver ends no transfer with a
// zero-length packet, so a longer read of a transfer that fills whole packets
// would wait for the next one. A chip with a transmit buffer takes the next
// packet only when the buffer has room for it. Bulk IN is written by a thread
// of its own with plain blocking writes: an AIO write that the controller
// completes at once (dummy_hcd does so for up to 64 bytes) takes a lock that
// gadgetfs holds while it queues the request, and the CPU hangs. For the
// same reason no request is ever cancelled (io_cancel completes it inside the
// cancel): a read queued on bulk OUT ends when the controller gives it back,
// which a disconnect or an unbind does at once.
#include "sim/usb/chips.h"
#include "sim/usb/front.h"
#include "sim/usb/system.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <linux/aio_abi.h>
#include <linux/usb/ch9.h>
#include <linux/usb/gadgetfs.h>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace usbboard {
namespace {

constexpr long gadgetfsMagic = 0xaee71ee7;
constexpr std::size_t largestPacket = 512; // high speed
constexpr Nanos flushWait = sim::ms(1000);
constexpr Nanos readyPoll = sim::ms(50);

// ---------------------------------------------------------------------------
// Endpoints: the controller names them, e.g. ep1in-bulk, ep2out-bulk,
// ep5in-int on dummy_hcd, ep1in/ep1out or ep1 elsewhere.

struct EndpointFile {
    std::string name;
    int number = -1;
    int direction = 0; // USB_DIR_IN, USB_DIR_OUT, or -1 for either
    int type = -1;     // USB_ENDPOINT_XFER_*, or -1 for any
};

std::optional<EndpointFile> parseEndpoint(const std::string& name) {
    if (name.rfind("ep", 0) != 0) {
        return std::nullopt;
    }
    std::size_t i = 2;
    EndpointFile e;
    e.name = name;
    int number = 0;
    while (i < name.size() && name[i] >= '0' && name[i] <= '9') {
        number = number * 10 + (name[i++] - '0');
    }
    if (i == 2 || number == 0 || number > 15) {
        return std::nullopt;
    }
    e.number = number;
    std::string rest = name.substr(i);
    e.direction = -1;
    if (rest.rfind("in", 0) == 0) {
        e.direction = USB_DIR_IN;
        rest = rest.substr(2);
    } else if (rest.rfind("out", 0) == 0) {
        e.direction = USB_DIR_OUT;
        rest = rest.substr(3);
    }
    if (rest == "-bulk") {
        e.type = USB_ENDPOINT_XFER_BULK;
    } else if (rest == "-int") {
        e.type = USB_ENDPOINT_XFER_INT;
    } else if (rest == "-iso") {
        e.type = USB_ENDPOINT_XFER_ISOC;
    } else if (!rest.empty()) {
        return std::nullopt;
    }
    return e;
}

struct Endpoints {
    EndpointFile notify; // interrupt IN
    EndpointFile in;     // bulk IN
    EndpointFile out;    // bulk OUT
};

// The best file for an endpoint of this direction and type: one named for
// both, then one named for the direction, then one for anything.
std::optional<EndpointFile> choose(const std::vector<EndpointFile>& files, int direction, int type,
                                   const std::vector<std::string>& taken) {
    std::optional<EndpointFile> best;
    int bestScore = -1;
    for (const EndpointFile& f : files) {
        if (std::find(taken.begin(), taken.end(), f.name) != taken.end()) {
            continue;
        }
        if ((f.direction != -1 && f.direction != direction) || (f.type != -1 && f.type != type)) {
            continue;
        }
        const int score = (f.type == type ? 2 : 0) + (f.direction == direction ? 1 : 0);
        if (score > bestScore) {
            best = f;
            bestScore = score;
        }
    }
    return best;
}

// ---------------------------------------------------------------------------
// The messages that gadgetfs takes

// What is written to the controller's file: a zero tag, the full-speed and
// the high-speed configurations, the device descriptor.
// A part without a high-speed configuration runs at full speed.
std::vector<std::uint8_t> deviceConfig(const std::vector<std::uint8_t>& full,
                                       const std::vector<std::uint8_t>& high,
                                       const std::vector<std::uint8_t>& device) {
    std::vector<std::uint8_t> m(4, 0);
    m.insert(m.end(), full.begin(), full.end());
    m.insert(m.end(), high.begin(), high.end());
    m.insert(m.end(), device.begin(), device.end());
    return m;
}

// An endpoint file's configuration: tag 1, the full-speed descriptor, then
// the high-speed one if the part runs at high speed.
std::vector<std::uint8_t> endpointConfig(const std::vector<std::uint8_t>& full,
                                         const std::vector<std::uint8_t>& high) {
    std::vector<std::uint8_t> m{1, 0, 0, 0};
    m.insert(m.end(), full.begin(), full.end());
    m.insert(m.end(), high.begin(), high.end());
    return m;
}

// The descriptor of one endpoint within a configuration.
std::vector<std::uint8_t> findEndpoint(const std::vector<std::uint8_t>& configuration,
                                       int address) {
    for (std::size_t i = 0; i + 1 < configuration.size() && configuration[i] > 0;
         i += configuration[i]) {
        if (configuration[i + 1] == USB_DT_ENDPOINT &&
            i + USB_DT_ENDPOINT_SIZE <= configuration.size() && configuration[i + 2] == address) {
            return {configuration.begin() + static_cast<std::ptrdiff_t>(i),
                    configuration.begin() + static_cast<std::ptrdiff_t>(i + USB_DT_ENDPOINT_SIZE)};
        }
    }
    return {};
}

// ---------------------------------------------------------------------------
// Native AIO, without libaio.

long ioSetup(unsigned n, aio_context_t* ctx) {
    return syscall(SYS_io_setup, n, ctx);
}
long ioSubmit(aio_context_t ctx, iocb* cb) {
    iocb* list[1] = {cb};
    return syscall(SYS_io_submit, ctx, 1, list);
}
long ioGetEvents(aio_context_t ctx, long min, long max, io_event* events, timespec* timeout) {
    return syscall(SYS_io_getevents, ctx, min, max, events, timeout);
}

// The bulk IN writer: blocking writes of what the board sends, on a thread
// of its own. SIGUSR1 (with a handler, so that it ends the write with EINTR)
// frees a write that the host does not take. Each time it has written all it
// was given it says so on an eventfd, for the chips that send only while
// the host takes their packets. Framed transfers are written one by one;
// others are joined.
class InWriter {
  public:
    ~InWriter() { stop(); }

    void start(int fd, bool framed, int idleFd) {
        stop();
        static const bool handled = [] {
            struct sigaction action {};
            action.sa_handler = [](int) {};
            sigemptyset(&action.sa_mask);
            return sigaction(SIGUSR1, &action, nullptr) == 0; // no SA_RESTART
        }();
        (void)handled;
        fd_ = fd;
        framed_ = framed;
        idleFd_ = idleFd;
        stopping_ = false;
        finished_ = false;
        thread_ = std::thread([this] { run(); });
    }

    void push(std::vector<std::uint8_t> bytes) {
        const std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(bytes));
        wake_.notify_one();
    }

    bool idle() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return queue_.empty() && !busy_;
    }

    // Ends the thread and closes the endpoint's file.
    void stop() {
        if (!thread_.joinable()) {
            return;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        stopping_ = true;
        wake_.notify_one();
        for (int i = 0; i < 200 && !finished_; ++i) {
            pthread_kill(thread_.native_handle(), SIGUSR1);
            done_.wait_for(lock, std::chrono::milliseconds(10), [this] { return finished_; });
        }
        const bool finished = finished_;
        lock.unlock();
        if (finished) {
            thread_.join();
        } else {
            warn("the bulk IN writer does not end");
            thread_.detach();
        }
        queue_.clear();
        busy_ = false;
    }

  private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_) {
                break;
            }
            std::vector<std::uint8_t> bytes = std::move(queue_.front());
            queue_.pop_front();
            while (!framed_ && !queue_.empty()) {
                bytes.insert(bytes.end(), queue_.front().begin(), queue_.front().end());
                queue_.pop_front();
            }
            busy_ = true;
            lock.unlock();
            std::size_t done = 0;
            while (done < bytes.size()) {
                const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
                if (n > 0) {
                    done += static_cast<std::size_t>(n);
                } else if (n < 0 && errno == EINTR) {
                    const std::lock_guard<std::mutex> check(mutex_);
                    if (stopping_) {
                        break;
                    }
                } else {
                    break; // the host is gone: ESHUTDOWN and the like
                }
            }
            lock.lock();
            busy_ = false;
            if (queue_.empty() && idleFd_ >= 0) {
                const std::uint64_t one = 1;
                (void)::write(idleFd_, &one, sizeof one);
            }
        }
        close(fd_);
        fd_ = -1;
        finished_ = true;
        done_.notify_all();
    }

    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::deque<std::vector<std::uint8_t>> queue_;
    bool busy_ = false;
    bool stopping_ = false;
    bool finished_ = false;
    bool framed_ = false;
    int fd_ = -1;
    int idleFd_ = -1;
};

class GadgetfsFront final : public Front {
  public:
    GadgetfsFront(Core& core, FrontOptions options, std::unique_ptr<Chip> chip)
        : core_(core), options_(std::move(options)), device_(std::move(chip)) {}
    ~GadgetfsFront() override { stop(); }

    void start() override;
    void stop() override;
    void watch(std::vector<pollfd>& fds) override;
    void serve(const pollfd* fds) override;
    void tick() override;
    Nanos wakeAt() const override;
    void signalled() override { serviceEp0(); }
    bool ready() const override { return ready_; }
    void send(const std::vector<std::uint8_t>& bytes) override;
    void stallOut() override;
    void resumeOut() override;
    void unplug(Nanos replugAfter) override;

  private:
    void mountGadgetfs();
    void probeEndpoints();
    void bind();
    void unbind();
    void serviceEp0();
    void setup(const usb_ctrlrequest& request);
    void answer(const Setup& setup, const Answer& answer);
    void readData();
    void ack();
    void reply(const std::uint8_t* bytes, std::size_t count);
    void stall(bool in);
    void openEndpoints();
    void closeEndpoints();
    int openEndpoint(const EndpointFile& file, int address);
    void submitRead();
    void reap();
    void complete(const io_event& event);
    void pumpIn();

    Core& core_;
    FrontOptions options_;
    std::unique_ptr<Chip> device_; // what the adapter is
    std::string dir_;
    bool mounted_ = false; // by us
    bool madeDir_ = false; // by us
    std::string udcFile_;  // the controller's file
    Endpoints endpoints_;
    int ep0_ = -1;
    int notify_ = -1;
    int out_ = -1;
    InWriter writer_;     // owns the bulk IN file while configured
    int writerIdle_ = -1; // eventfd: the writer has written all it had
    aio_context_t aio_ = 0;
    int aioDone_ = -1; // eventfd
    iocb readCb_{};
    bool reading_ = false;
    std::array<std::uint8_t, largestPacket> readBuffer_{};
    bool highSpeed_ = false; // as connected
    Nanos readAt_ = never;   // the chip's transmit buffer has room again

    bool configured_ = false;
    bool awaitingData_ = false; // an OUT request's data stage
    Setup dataSetup_;
    Nanos setupTime_ = 0;
    int dropped_ = 0;

    bool ready_ = false;
    Nanos nextCheck_ = 0;
    bool stalled_ = false;
    bool offBus_ = false;
    bool unplugPending_ = false;
    Nanos unplugBy_ = never;
    Nanos replugAfter_ = 0;
    Nanos replugAt_ = never;
};

// ---------------------------------------------------------------------------
// Making the device

void GadgetfsFront::start() {
    // The sooner an event is read, the smaller the window in which gadgetfs
    // drops it (see above): run ahead of ordinary processes where allowed.
    sched_param priority{};
    priority.sched_priority = 10;
    if (sched_setscheduler(0, SCHED_FIFO, &priority) != 0) {
        warn(std::string("no real-time priority: ") + std::strerror(errno));
    }
    // The bulk IN writer on the same CPU: a reply handed to it then goes out
    // as soon as the loop waits, with no wake-up of another CPU in between.
    const int cpu = sched_getcpu();
    if (cpu >= 0) {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        (void)sched_setaffinity(0, sizeof one, &one);
    }
    mountGadgetfs();
    for (const std::string& name : listDir(dir_)) {
        if (name.rfind("ep", 0) != 0) {
            udcFile_ = name;
        }
    }
    if (udcFile_.empty()) {
        errno = 0;
        throw SystemError("no controller file in " + dir_);
    }
    probeEndpoints();
    if (ioSetup(8, &aio_) != 0) {
        throw SystemError("io_setup");
    }
    aioDone_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    writerIdle_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (aioDone_ < 0 || writerIdle_ < 0) {
        throw SystemError("eventfd");
    }
    char id[96];
    (void)std::snprintf(id, sizeof id,
                        "\"chip\":\"%s\",\"vid\":\"0x%04x\",\"pid\":\"0x%04x\",\"bcdDevice\":"
                        "\"0x%04x\"",
                        device_->name(), device_->vendorId(), device_->productId(),
                        device_->bcdDevice());
    core_.note(sim::now(), "device", id);
    device_->powerUp(sim::now());
    bind();
}

void GadgetfsFront::mountGadgetfs() {
    dir_ = options_.gadgetfs;
    if (dir_.empty()) {
        char name[] = "/tmp/usb-board.XXXXXX";
        if (mkdtemp(name) == nullptr) {
            throw SystemError("mkdtemp");
        }
        dir_ = name;
        madeDir_ = true;
    }
    struct statfs fs {};
    if (statfs(dir_.c_str(), &fs) == 0 && static_cast<long>(fs.f_type) == gadgetfsMagic) {
        return; // mounted already
    }
    if (mount("gadgetfs", dir_.c_str(), "gadgetfs", 0, nullptr) != 0) {
        throw SystemError("mount gadgetfs on " + dir_ + " (modprobe gadgetfs)");
    }
    mounted_ = true;
}

// The endpoint files appear only while the device is bound: bind once with
// a configuration of no endpoints (that no host driver claims) to see them.
// The host sees nothing of it; a connection is debounced for 100 ms.
void GadgetfsFront::probeEndpoints() {
    const std::string path = dir_ + "/" + udcFile_;
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        throw SystemError("open " + path);
    }
    const std::vector<std::uint8_t> interface {
        USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 0, USB_CLASS_VENDOR_SPEC, 0, 0, 0
    };
    const std::vector<std::uint8_t> config = configurationDescriptor(interface, 1);
    const std::vector<std::uint8_t> message = deviceConfig(
        config, config, deviceDescriptor(USB_CLASS_VENDOR_SPEC, 0x1d6b, 0x0104, 0x0100, {0, 0, 0}));
    if (write(fd, message.data(), message.size()) != static_cast<ssize_t>(message.size())) {
        const int error = errno;
        close(fd);
        errno = error;
        throw SystemError("bind gadgetfs to " + udcFile_);
    }
    std::vector<EndpointFile> files;
    for (const std::string& name : listDir(dir_)) {
        if (const std::optional<EndpointFile> f = parseEndpoint(name)) {
            files.push_back(*f);
        }
    }
    close(fd);
    std::vector<std::string> taken;
    const auto pick = [&](int direction, int type, const char* what) {
        const std::optional<EndpointFile> f = choose(files, direction, type, taken);
        if (!f) {
            errno = 0;
            throw SystemError(std::string("the controller ") + udcFile_ + " has no endpoint for " +
                              what);
        }
        taken.push_back(f->name);
        return *f;
    };
    endpoints_.in = pick(USB_DIR_IN, USB_ENDPOINT_XFER_BULK, "bulk IN");
    endpoints_.out = pick(USB_DIR_OUT, USB_ENDPOINT_XFER_BULK, "bulk OUT");
    endpoints_.notify = pick(USB_DIR_IN, USB_ENDPOINT_XFER_INT, "interrupt IN");
    warn("gadgetfs on " + udcFile_ + ": " + endpoints_.in.name + ", " + endpoints_.out.name + ", " +
         endpoints_.notify.name);
}

void GadgetfsFront::bind() {
    const std::string path = dir_ + "/" + udcFile_;
    ep0_ = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (ep0_ < 0) {
        throw SystemError("open " + path);
    }
    // Events come by poll; the data stage of a request by SIGIO only.
    if (fcntl(ep0_, F_SETOWN, getpid()) != 0 || fcntl(ep0_, F_SETFL, O_NONBLOCK | O_ASYNC) != 0) {
        throw SystemError("fcntl " + path);
    }
    const EndpointNumbers numbers{endpoints_.in.number, endpoints_.out.number,
                                  endpoints_.notify.number};
    const std::vector<std::uint8_t> message = deviceConfig(
        device_->configuration(numbers, false),
        device_->highSpeed() ? device_->configuration(numbers, true) : std::vector<std::uint8_t>{},
        device_->device());
    if (write(ep0_, message.data(), message.size()) != static_cast<ssize_t>(message.size())) {
        throw SystemError("write the descriptors to " + path);
    }
    configured_ = false;
    awaitingData_ = false;
    serviceEp0(); // the first read lets gadgetfs pass requests to us
}

void GadgetfsFront::unbind() {
    closeEndpoints();
    if (ep0_ >= 0) {
        close(ep0_); // gadgetfs unbinds when its controller file closes
        ep0_ = -1;
    }
    configured_ = false;
    awaitingData_ = false;
}

void GadgetfsFront::stop() {
    unbind();
    // The unbind gave the queued read back; io_destroy would cancel one that
    // is still queued, which hangs as io_cancel does.
    const Nanos deadline = sim::now() + sim::ms(1000);
    while (reading_ && aio_ != 0 && sim::now() < deadline) {
        io_event event{};
        timespec wait{0, 10'000'000};
        if (ioGetEvents(aio_, 1, 1, &event, &wait) == 1) {
            reading_ = false;
        }
    }
    if (reading_) {
        warn("a bulk OUT read is still queued; leaving its AIO context");
        aio_ = 0;
    }
    for (int* fd : {&aioDone_, &writerIdle_}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
    if (aio_ != 0) {
        (void)syscall(SYS_io_destroy, aio_);
        aio_ = 0;
    }
    if (mounted_) {
        if (umount(dir_.c_str()) != 0) {
            warn("cannot unmount " + dir_ + ": " + std::strerror(errno));
        }
        mounted_ = false;
    }
    if (madeDir_) {
        (void)rmdir(dir_.c_str());
        madeDir_ = false;
    }
}

// ---------------------------------------------------------------------------
// ep0

void GadgetfsFront::serviceEp0() {
    while (ep0_ >= 0) {
        if (awaitingData_) {
            readData();
            if (awaitingData_) {
                return; // SIGIO comes with the data
            }
            continue;
        }
        usb_gadgetfs_event events[4];
        const ssize_t n = read(ep0_, events, sizeof events);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EIDRM) {
                return;
            }
            throw SystemError("read gadgetfs events");
        }
        for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof events[0]; ++i) {
            switch (events[i].type) {
            case GADGETFS_CONNECT:
                highSpeed_ = events[i].u.speed == USB_SPEED_HIGH;
                break;
            case GADGETFS_DISCONNECT: // also a bus reset
                closeEndpoints();
                configured_ = false;
                break;
            case GADGETFS_SETUP: // always the last one read
                setup(events[i].u.setup);
                break;
            default: // suspend, nothing
                break;
            }
        }
    }
}

void GadgetfsFront::setup(const usb_ctrlrequest& r) {
    const Nanos now = sim::now();
    Setup q; // little-endian machines only
    q.requestType = r.bRequestType;
    q.request = r.bRequest;
    q.value = r.wValue;
    q.index = r.wIndex;
    q.length = r.wLength;
    if (q.requestType == USB_DIR_OUT && q.request == USB_REQ_SET_CONFIGURATION) {
        // The same configuration again keeps the endpoints as they are: a
        // read still queued would keep the old ones from opening.
        if ((q.value & 0xFF) != 1) {
            closeEndpoints();
        } else if (!configured_) {
            openEndpoints();
        }
        ack(); // only now: the host's first transfers must find the endpoints
    } else if (q.requestType == (USB_DIR_OUT | USB_RECIP_INTERFACE) &&
               q.request == USB_REQ_SET_INTERFACE) {
        ack(); // one interface setting
    } else if (q.requestType == (USB_DIR_IN | USB_RECIP_INTERFACE) &&
               q.request == USB_REQ_GET_INTERFACE) {
        const std::uint8_t alternate = 0;
        reply(&alternate, std::min<std::size_t>(1, q.length));
    } else if (q.requestType == USB_DIR_IN && q.request == USB_REQ_GET_DESCRIPTOR &&
               (q.value >> 8) == USB_DT_STRING) {
        if (const std::optional<std::vector<std::uint8_t>> text = device_->string(q.value & 0xFF)) {
            reply(text->data(), std::min<std::size_t>(text->size(), q.length));
        } else {
            stall(true);
        }
    } else if (!q.in() && q.length > 0) {
        // An OUT data stage cannot be refused: gadgetfs has taken it already.
        awaitingData_ = true;
        dataSetup_ = q;
        setupTime_ = now;
        readData();
    } else {
        answer(q, device_->control(now, q, {}));
    }
}

void GadgetfsFront::answer(const Setup& q, const Answer& a) {
    switch (a.kind) {
    case Answer::Kind::ack:
        ack();
        break;
    case Answer::Kind::reply:
        reply(a.data.data(), std::min<std::size_t>(a.data.size(), q.length));
        break;
    case Answer::Kind::stall:
        stall(q.in());
        break;
    }
}

void GadgetfsFront::readData() {
    std::vector<std::uint8_t> data(dataSetup_.length);
    const ssize_t n = read(ep0_, data.data(), data.size());
    if (n >= 0) {
        awaitingData_ = false;
        data.resize(static_cast<std::size_t>(n));
        (void)device_->control(setupTime_, dataSetup_, data);
        return;
    }
    if (errno == EAGAIN || errno == EINTR) {
        return; // not yet
    }
    awaitingData_ = false;
    if (errno == EIDRM) {
        // The next request came first and took its place; that one is in
        // gadgetfs's hands now, and its event follows once we let it go.
        const std::string name = device_->outDataName(dataSetup_);
        if (!name.empty()) {
            ++dropped_;
            core_.note(setupTime_, "dropped", "\"request\":\"" + name + "\"");
        }
        ack();
    }
}

void GadgetfsFront::ack() {
    std::uint8_t none = 0;
    // EINVAL: the request went with a disconnect; nothing to answer.
    if (read(ep0_, &none, 0) < 0 && errno != EL2HLT && errno != EINVAL) {
        warn(std::string("ep0 status stage: ") + std::strerror(errno));
    }
}

void GadgetfsFront::reply(const std::uint8_t* bytes, std::size_t count) {
    if (write(ep0_, bytes, count) < 0) {
        warn(std::string("ep0 data stage: ") + std::strerror(errno));
    }
}

void GadgetfsFront::stall(bool in) {
    std::uint8_t none = 0;
    // A read stalls an IN request, a write an OUT one; both report EL2HLT.
    const ssize_t n = in ? read(ep0_, &none, 0) : write(ep0_, &none, 0);
    (void)n;
}

// ---------------------------------------------------------------------------
// The endpoints

int GadgetfsFront::openEndpoint(const EndpointFile& file, int address) {
    const std::string path = dir_ + "/" + file.name;
    const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        throw SystemError("open " + path);
    }
    const EndpointNumbers numbers{endpoints_.in.number, endpoints_.out.number,
                                  endpoints_.notify.number};
    const std::vector<std::uint8_t> full =
        findEndpoint(device_->configuration(numbers, false), address);
    const std::vector<std::uint8_t> high =
        device_->highSpeed() ? findEndpoint(device_->configuration(numbers, true), address)
                             : std::vector<std::uint8_t>{};
    const std::vector<std::uint8_t> message = endpointConfig(full, high);
    if (full.empty() ||
        write(fd, message.data(), message.size()) != static_cast<ssize_t>(message.size())) {
        const int error = errno;
        close(fd);
        errno = full.empty() ? 0 : error;
        throw SystemError("configure " + path);
    }
    return fd;
}

void GadgetfsFront::openEndpoints() {
    const Endpoints& e = endpoints_;
    // The interrupt endpoint is enabled and never written: the host's
    // interrupt transfer waits on it.
    if (device_->interruptIn()) {
        notify_ = openEndpoint(e.notify, USB_DIR_IN | e.notify.number);
    }
    writer_.start(openEndpoint(e.in, USB_DIR_IN | e.in.number), device_->framedIn(), writerIdle_);
    out_ = openEndpoint(e.out, e.out.number);
    configured_ = true;
    readAt_ = never;
    submitRead();
}

void GadgetfsFront::closeEndpoints() {
    writer_.stop();
    // A read still queued keeps its file (and the endpoint) until the
    // controller gives it back; reap() sees it end.
    for (int* fd : {&notify_, &out_}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
    configured_ = false;
    readAt_ = never;
}

void GadgetfsFront::submitRead() {
    if (reading_ || stalled_ || !configured_) {
        return;
    }
    const std::size_t packet = device_->bulkPacket(highSpeed_);
    // A chip takes a packet only when its transmit buffer has room for it:
    // until then the controller answers the host with NAK. A held
    // transmitter takes every packet, however many: the host's queue stays
    // empty, and only the chip's own report tells that its bytes are not out.
    if (const std::size_t buffer = device_->transmitBuffer(); buffer > packet && !core_.holding()) {
        const Nanos now = sim::now();
        if (core_.outQueued(now) > buffer - packet) {
            readAt_ = std::max(core_.outQueuedAtMost(buffer - packet), now);
            return;
        }
    }
    readAt_ = never;
    readCb_ = iocb{};
    readCb_.aio_lio_opcode = IOCB_CMD_PREAD;
    readCb_.aio_fildes = static_cast<std::uint32_t>(out_);
    readCb_.aio_buf = reinterpret_cast<std::uint64_t>(readBuffer_.data());
    readCb_.aio_nbytes = std::min(packet, readBuffer_.size());
    readCb_.aio_flags = IOCB_FLAG_RESFD;
    readCb_.aio_resfd = static_cast<std::uint32_t>(aioDone_);
    if (ioSubmit(aio_, &readCb_) != 1) {
        throw SystemError("submit a bulk OUT read");
    }
    reading_ = true;
}

void GadgetfsFront::reap() {
    std::uint64_t count = 0;
    (void)read(aioDone_, &count, sizeof count);
    for (;;) {
        io_event events[4];
        timespec now{0, 0};
        const long n = ioGetEvents(aio_, 0, 4, events, &now);
        if (n <= 0) {
            return;
        }
        for (long i = 0; i < n; ++i) {
            complete(events[i]);
        }
    }
}

void GadgetfsFront::complete(const io_event& event) {
    reading_ = false; // the only request
    // The read that was queued when the board stalled still takes its packet;
    // the core holds it until the board reads again.
    if (event.res > 0 && configured_) {
        core_.fromHost(sim::now(), {readBuffer_.data(), static_cast<std::size_t>(event.res)});
    }
    submitRead();
}

void GadgetfsFront::send(const std::vector<std::uint8_t>& bytes) {
    if (offBus_ || unplugPending_ || !configured_) {
        return;
    }
    device_->fromBoard(sim::now(), bytes);
    pumpIn();
}

void GadgetfsFront::pumpIn() {
    if (offBus_ || !configured_) {
        return;
    }
    std::vector<std::uint8_t> transfer = device_->inDue(sim::now(), writer_.idle());
    if (!transfer.empty()) {
        writer_.push(std::move(transfer));
    }
}

// ---------------------------------------------------------------------------
// The loop and the faults

void GadgetfsFront::watch(std::vector<pollfd>& fds) {
    // While an OUT data stage is awaited, poll would report (and clear) the
    // abort that reading it must see as EIDRM: SIGIO only.
    fds.push_back({ep0_ >= 0 && !awaitingData_ ? ep0_ : -1, POLLIN, 0});
    fds.push_back({aioDone_, POLLIN, 0});
    fds.push_back({writerIdle_, POLLIN, 0});
}

void GadgetfsFront::serve(const pollfd* fds) {
    if ((fds[0].revents & (POLLIN | POLLHUP)) != 0) {
        serviceEp0();
    }
    if ((fds[1].revents & POLLIN) != 0) {
        reap();
    }
    if ((fds[2].revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        (void)read(writerIdle_, &count, sizeof count);
        pumpIn();
    }
}

void GadgetfsFront::tick() {
    const Nanos now = sim::now();
    if (!ready_ && configured_ && now >= nextCheck_) {
        // On dummy_hcd the host is this machine: wait for its port.
        if (udcFile_.rfind("dummy_udc", 0) != 0) {
            ready_ = true;
        } else if (const std::optional<std::string> tty = dummyHostTty(-1)) {
            ready_ = true;
            warn("the host's port is " + *tty);
        } else {
            nextCheck_ = now + readyPoll;
        }
    }
    if (configured_ && now >= readAt_) {
        submitRead();
    }
    pumpIn();
    if (unplugPending_ && ((writer_.idle() && !device_->holdsIn()) || now >= unplugBy_)) {
        unplugPending_ = false;
        unbind();
        core_.unplugged(sim::now());
        offBus_ = true;
        replugAt_ = sim::now() + replugAfter_;
    }
    if (offBus_ && now >= replugAt_) {
        offBus_ = false;
        replugAt_ = never;
        device_->powerUp(sim::now());
        bind();
        core_.replugged(sim::now());
    }
}

Nanos GadgetfsFront::wakeAt() const {
    Nanos at = replugAt_;
    if (!ready_ && configured_) {
        at = std::min(at, nextCheck_);
    }
    if (unplugPending_) {
        at = std::min(at, unplugBy_);
    }
    if (configured_) {
        at = std::min({at, readAt_, device_->inWakeAt()});
    }
    return at;
}

void GadgetfsFront::stallOut() {
    // With no read queued the controller answers the host's bulk OUT with
    // NAK. The read queued now still takes one packet (it cannot be called
    // back, see above).
    stalled_ = true;
    readAt_ = never;
}

void GadgetfsFront::resumeOut() {
    stalled_ = false;
    submitRead();
}

void GadgetfsFront::unplug(Nanos replugAfter) {
    unplugPending_ = true;
    unplugBy_ = sim::now() + flushWait;
    replugAfter_ = replugAfter;
}

} // namespace

std::unique_ptr<Front> makeGadgetfsFront(Core& core, const FrontOptions& options) {
    std::unique_ptr<Chip> chip = makeChip(options.chip, core, options.fixedLatencyMs);
    if (!chip) {
        errno = 0;
        throw SystemError("no chip " + options.chip + " (" + chipNames() + ")");
    }
    return std::make_unique<GadgetfsFront>(core, options, std::move(chip));
}

} // namespace usbboard
