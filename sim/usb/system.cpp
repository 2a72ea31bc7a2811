// sysfs, configfs and the clocks.
#include "sim/usb/system.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace usbboard {
namespace {

std::string withErrno(const std::string& what) {
    return errno != 0 ? what + ": " + std::strerror(errno) : what;
}

} // namespace

SystemError::SystemError(const std::string& what) : std::runtime_error(withErrno(what)) {}

void writeFile(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        throw SystemError("open " + path);
    }
    // sysfs and configfs take an attribute in one write.
    const ssize_t n = write(fd, text.data(), text.size());
    const int error = errno;
    close(fd);
    if (n != static_cast<ssize_t>(text.size())) {
        errno = n < 0 ? error : 0;
        throw SystemError("write \"" + text + "\" to " + path);
    }
}

std::optional<std::string> readFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return text;
}

std::string readLine(const std::string& path) {
    const std::optional<std::string> text = readFile(path);
    if (!text) {
        throw SystemError("read " + path);
    }
    return text->substr(0, text->find('\n'));
}

std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        return names;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    closedir(dir);
    return names;
}

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

sim::Nanos clockOffset(int clock) {
    timespec ts{};
    const sim::Nanos before = sim::now();
    clock_gettime(clock, &ts);
    const sim::Nanos after = sim::now();
    const sim::Nanos at = ts.tv_sec * 1'000'000'000LL + ts.tv_nsec;
    return at - (before + (after - before) / 2);
}

int dummyIndex(const std::string& udc) {
    const std::string prefix = "dummy_udc.";
    if (udc.rfind(prefix, 0) != 0 || udc.size() == prefix.size()) {
        return -1;
    }
    int index = 0;
    for (const char c : udc.substr(prefix.size())) {
        if (c < '0' || c > '9') {
            return -1;
        }
        index = index * 10 + (c - '0');
    }
    return index;
}

namespace {

const char* const platformDevices = "/sys/bus/platform/devices/";

std::vector<std::string> dummyHcds(int index) {
    std::vector<std::string> hcds;
    if (index >= 0) {
        hcds.push_back(std::string(platformDevices) + "dummy_hcd." + std::to_string(index));
        return hcds;
    }
    for (const std::string& name : listDir(platformDevices)) {
        if (name.rfind("dummy_hcd.", 0) == 0) {
            hcds.push_back(platformDevices + name);
        }
    }
    return hcds;
}

// The root hubs under a host controller: usb1, usb2, ...
std::vector<std::string> rootHubs(const std::string& hcd) {
    std::vector<std::string> hubs;
    for (const std::string& name : listDir(hcd)) {
        if (name.rfind("usb", 0) == 0 && name.size() > 3 && name[3] >= '0' && name[3] <= '9') {
            std::string hub = hcd;
            hub += '/';
            hub += name;
            hubs.push_back(std::move(hub));
        }
    }
    return hubs;
}

} // namespace

std::vector<int> dummyBuses(int index) {
    std::vector<int> buses;
    for (const std::string& hcd : dummyHcds(index)) {
        for (const std::string& hub : rootHubs(hcd)) {
            if (const std::optional<std::string> number = readFile(hub + "/busnum")) {
                buses.push_back(static_cast<int>(std::strtol(number->c_str(), nullptr, 10)));
            }
        }
    }
    return buses;
}

std::optional<std::string> dummyHostTty(int index) {
    // <hub>/<device, e.g. 1-1>/<interface, e.g. 1-1:1.0>/tty/ttyACM0, or for
    // a USB serial chip's driver <interface>/ttyUSB0/tty/ttyUSB0
    for (const std::string& hcd : dummyHcds(index)) {
        for (const std::string& hub : rootHubs(hcd)) {
            for (const std::string& device : listDir(hub)) {
                if (device.find('-') == std::string::npos ||
                    device.find(':') != std::string::npos) {
                    continue;
                }
                std::string devicePath = hub;
                devicePath += '/';
                devicePath += device;
                for (const std::string& interface : listDir(devicePath)) {
                    if (interface.find(':') == std::string::npos) {
                        continue;
                    }
                    std::string interfacePath = devicePath;
                    interfacePath += '/';
                    interfacePath += interface;
                    std::vector<std::string> ttys{interfacePath + "/tty"};
                    for (const std::string& port : listDir(interfacePath)) {
                        if (port.rfind("ttyUSB", 0) == 0) {
                            ttys.push_back(interfacePath + "/" + port + "/tty");
                        }
                    }
                    for (const std::string& dir : ttys) {
                        for (const std::string& tty : listDir(dir)) {
                            if (exists("/dev/" + tty)) {
                                return "/dev/" + tty;
                            }
                        }
                    }
                }
            }
        }
    }
    return std::nullopt;
}

void warn(const std::string& text) {
    (void)std::fprintf(stderr, "usb-board: %s\n", text.c_str());
}

} // namespace usbboard
