// Loading a capture: see capture_file.h.
#include "tools/station/capture_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace station {
namespace {

bool readFile(const std::string& path, std::string& text, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

} // namespace

bool sigrokToVcd(const std::string& path, std::string& vcd, std::string& error) {
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0) {
        error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
    std::string program = "sigrok-cli", in = "-i", out = "-O", vcdName = "vcd";
    std::string file = path;
    char* argv[] = {program.data(), in.data(), file.data(), out.data(), vcdName.data(), nullptr};
    pid_t child = 0;
    const int spawned = posix_spawnp(&child, "sigrok-cli", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    if (spawned != 0) {
        close(pipeEnds[0]);
        error = "a sigrok session file needs sigrok-cli to read it: " +
                std::string(std::strerror(spawned));
        return false;
    }
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = read(pipeEnds[0], buffer, sizeof buffer);
        if (n > 0) {
            vcd.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    close(pipeEnds[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = path + ": sigrok-cli could not read it" +
                (WIFEXITED(status) && WEXITSTATUS(status) == 127 ? " (sigrok-cli not found)" : "");
        return false;
    }
    return true;
}

bool loadCapture(const std::string& path, const Channels& channels, Wires& wires, Source& source,
                 std::string& error) {
    std::string text;
    if (!readFile(path, text, error)) {
        return false;
    }
    source.path = path;
    source.format = "VCD";
    // A sigrok session file is a zip archive.
    if (text.compare(0, 4, "PK\x03\x04") == 0) {
        text.clear();
        if (!sigrokToVcd(path, text, error)) {
            return false;
        }
        source.format = "sigrok session";
    }
    const bool rts = channels.rts != "none";
    std::vector<std::string> names = {channels.txd, channels.rxd, channels.dtr};
    if (rts) {
        names.push_back(channels.rts);
    }
    std::string why;
    auto file = readVcd(text, names, why);
    if (!file) {
        error = path + ": " + why;
        return false;
    }
    std::string missing;
    for (const Signal& s : file->signals) {
        if (!s.found) {
            missing += (missing.empty() ? "" : ", ") + s.name;
        }
    }
    if (!missing.empty()) {
        std::string have;
        for (const std::string& w : file->wires) {
            have += (have.empty() ? "" : ", ") + w;
        }
        error = path + ": no wire named " + missing +
                " (it has: " + (have.empty() ? "none" : have) +
                "); --txd, --rxd, --dtr and --rts name them";
        return false;
    }
    const char* const roles[] = {"TXD", "RXD", "DTR", "RTS"};
    source.unit = file->unit;
    source.channels.clear();
    for (std::size_t i = 0; i < names.size(); ++i) {
        source.channels += std::string(i == 0 ? "" : " ") + roles[i] + "=" + names[i];
    }
    if (!rts) {
        source.channels += " RTS=none";
    }
    if (channels.dtrActiveLow || channels.rtsActiveLow) {
        source.channels += std::string(" (active low:") + (channels.dtrActiveLow ? " DTR" : "") +
                           (channels.rtsActiveLow ? " RTS" : "") + ")";
    }
    wires.end = file->end;
    wires.txd = std::move(file->signals[0]);
    wires.rxd = std::move(file->signals[1]);
    wires.dtr = std::move(file->signals[2]);
    wires.dtr.initial = wires.dtr.initial != channels.dtrActiveLow;
    wires.rtsRecorded = rts;
    if (rts) {
        wires.rts = std::move(file->signals[3]);
        wires.rts.initial = wires.rts.initial != channels.rtsActiveLow;
    } else {
        wires.rts = Signal{"RTS", false, false, {}};
    }
    return true;
}

} // namespace station
