// Child processes of the test station, started with posix_spawn. Every pipe
// end that the station keeps is close-on-exec, so no child inherits another
// child's control pipe and each simulator ends when its own pipe closes.
#include "sim/pty/station.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace station {
namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void makePipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0) {
        fail("pipe2");
    }
}

void closeFd(int& fd) {
    if (fd >= 0) {
        (void)close(fd);
        fd = -1;
    }
}

// out -1: standard output closed.
pid_t spawn(const std::vector<std::string>& argv, int in, int out, int err,
            const std::string& directory) {
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        fail("posix_spawn_file_actions_init");
    }
    posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
    if (out >= 0) {
        posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
    }
    posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
    if (!directory.empty()) {
        posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
    }
    std::vector<char*> args;
    for (const std::string& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    const int result = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (result != 0) {
        errno = result;
        fail("posix_spawn " + argv[0]);
    }
    return pid;
}

// Reads fd until end of file, until the deadline, or, with a non-empty
// `until`, until what was read ends with it. True unless the deadline came.
bool readAll(int fd, std::string& into, double deadlineMs, const std::string& until = "") {
    char buffer[4096];
    while (until.empty() || !into.ends_with(until)) {
        const double left = deadlineMs - nowMs();
        if (left <= 0) {
            return false;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left) + 1);
        if (ready < 0 && errno != EINTR) {
            fail("poll");
        }
        if (ready <= 0) {
            continue;
        }
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            return true;
        } else if (errno != EINTR) {
            fail("read");
        }
    }
    return true;
}

// Reads one line (the terminal's path) within the deadline.
std::string readLine(int fd, double deadlineMs) {
    std::string line;
    char c = 0;
    while (nowMs() < deadlineMs) {
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(deadlineMs - nowMs()) + 1);
        if (ready < 0 && errno != EINTR) {
            fail("poll");
        }
        if (ready <= 0) {
            continue;
        }
        const ssize_t n = read(fd, &c, 1);
        if (n == 1 && c == '\n') {
            return line;
        }
        if (n == 1) {
            line += c;
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            fail("read");
        }
    }
    throw std::runtime_error("board-sim did not name its terminal");
}

int waitFor(pid_t pid, rusage* usage) {
    int status = 0;
    pid_t done;
    do {
        done = wait4(pid, &status, 0, usage);
    } while (done < 0 && errno == EINTR);
    if (done != pid) {
        fail("wait4");
    }
    return status;
}

} // namespace

double nowMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::vector<std::uint8_t> readFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// ---------------------------------------------------------------------------

Simulator::Simulator(SimOptions options) : options_(std::move(options)) {
    std::vector<std::string> argv = {BOARD_SIM_PROGRAM, "--device", options_.device};
    if (!options_.link.empty()) {
        argv.insert(argv.end(), {"--link", options_.link});
    }
    if (options_.lineTime) {
        argv.push_back("--line-time");
    }
    if (options_.maxBaud != 0) {
        argv.insert(argv.end(), {"--max-baud", std::to_string(options_.maxBaud)});
    }
    if (options_.neverHalts) {
        argv.push_back("--never-halts");
    }
    argv.insert(argv.end(), options_.faults.begin(), options_.faults.end());
    if (options_.runTimeMs >= 0) {
        argv.insert(argv.end(), {"--run-time", std::to_string(options_.runTimeMs)});
    }
    if (!options_.dump.empty()) {
        argv.insert(argv.end(), {"--dump", options_.dump});
        for (const auto& [address, length] : options_.ranges) {
            argv.insert(argv.end(),
                        {"--range", std::to_string(address) + ":" + std::to_string(length)});
        }
    }
    if (!options_.stats.empty()) {
        argv.insert(argv.end(), {"--stats", options_.stats});
    }
    int in[2];
    int out[2];
    makePipe(in);
    makePipe(out);
    pid_ = spawn(argv, in[0], out[1], STDERR_FILENO, "");
    close(in[0]);
    close(out[1]);
    control_ = in[1];
    output_ = out[0];
    terminal_ = readLine(output_, nowMs() + 10'000);
}

Simulator::~Simulator() {
    if (pid_ > 0) {
        (void)stop();
    }
}

void Simulator::signal(int number) {
    if (pid_ > 0 && kill(pid_, number) != 0) {
        fail("kill");
    }
}

bool Simulator::stop() {
    if (pid_ <= 0) {
        return stoppedOk_;
    }
    closeFd(control_);
    std::string rest;
    if (!readAll(output_, rest, nowMs() + 10'000)) {
        (void)kill(pid_, SIGKILL);
    }
    closeFd(output_);
    const int status = waitFor(pid_, nullptr);
    pid_ = -1;
    stoppedOk_ = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return stoppedOk_;
}

std::map<std::string, double> Simulator::stats() const {
    std::map<std::string, double> values;
    if (options_.stats.empty()) {
        return values;
    }
    std::ifstream in(options_.stats);
    std::string key;
    double value = 0;
    while (in >> key >> value) {
        values[key] = value;
    }
    return values;
}

std::vector<std::uint8_t> Simulator::dump() const {
    return readFile(options_.dump);
}

// ---------------------------------------------------------------------------

Run::Run(const std::string& program, const std::string& keys, const std::string& directory,
         RunStreams streams) {
    int in[2];
    int out[2];
    makePipe(in);
    makePipe(out);
    startMs_ = nowMs();
    const int input = streams.input >= 0 ? streams.input : in[0];
    pid_ = spawn({program}, input, streams.closedOutput ? -1 : out[1], out[1], directory);
    close(in[0]);
    close(out[1]);
    output_ = out[0];
    // A few keys fit the pipe; then the input ends, which declines any
    // further prompt.
    const ssize_t written = write(in[1], keys.data(), keys.size());
    close(in[1]);
    if (written != static_cast<ssize_t>(keys.size())) {
        fail("keys");
    }
}

Run::~Run() {
    if (pid_ > 0) {
        (void)kill(pid_, SIGKILL);
        (void)waitFor(pid_, nullptr);
    }
    closeFd(output_);
}

const std::string& Run::consoleUntil(const std::string& until, double limitSeconds) {
    if (output_ >= 0 && !until.empty()) {
        (void)readAll(output_, console_, nowMs() + limitSeconds * 1000, until);
    }
    return console_;
}

RunResult Run::wait(double limitSeconds) {
    RunResult result;
    result.console = console_;
    result.exited = readAll(output_, result.console, startMs_ + limitSeconds * 1000);
    if (!result.exited) {
        (void)kill(pid_, SIGKILL);
    }
    closeFd(output_);
    rusage usage{};
    const int status = waitFor(pid_, &usage);
    result.wallMs = nowMs() - startMs_;
    pid_ = -1;
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    result.cpuMs = ms(usage.ru_utime) + ms(usage.ru_stime);
    result.maxRssKb = usage.ru_maxrss;
    return result;
}

} // namespace station
