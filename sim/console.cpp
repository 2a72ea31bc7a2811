// The console of the virtual world: text kept in memory in the order it was
// written, keys taken from a queue that the test fills.
#include "platform/platform.h"
#include "sim/sim.h"

#include <cstdarg>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

namespace sim {
namespace {

struct Piece {
    bool toStderr = false;
    std::string text;
};

struct Console {
    std::vector<Piece> pieces; // consecutive writes to one stream are joined
    std::deque<int> keys;
    bool echo = false;
};

Console& console() {
    static Console c;
    return c;
}

[[maybe_unused]] const bool registered = [] {
    detail::onReset([] { console() = Console{}; });
    return true;
}();

void append(bool toStderr, const char* format, std::va_list args) {
    std::va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    std::string text;
    if (length > 0) {
        std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, again);
        text.assign(buffer.data(), static_cast<std::size_t>(length));
    }
    va_end(again);
    if (text.empty()) {
        return;
    }
    Console& c = console();
    if (c.echo) {
        std::FILE* stream = toStderr ? stderr : stdout;
        std::fputs(text.c_str(), stream);
        std::fflush(stream);
    }
    if (!c.pieces.empty() && c.pieces.back().toStderr == toStderr) {
        c.pieces.back().text += text;
    } else {
        c.pieces.push_back({toStderr, std::move(text)});
    }
}

std::string join(bool wantStdout, bool wantStderr, bool markStderr) {
    std::string all;
    for (const Piece& piece : console().pieces) {
        if (piece.toStderr ? !wantStderr : !wantStdout) {
            continue;
        }
        if (piece.toStderr && markStderr) {
            all += "<<" + piece.text + ">>";
        } else {
            all += piece.text;
        }
    }
    return all;
}

} // namespace

std::string transcript() {
    return join(true, true, true);
}
std::string stdoutText() {
    return join(true, false, false);
}
std::string stderrText() {
    return join(false, true, false);
}
void clearConsole() {
    console().pieces.clear();
}
void setConsoleEcho(bool on) {
    console().echo = on;
}

void pushKeys(std::string_view keys) {
    for (const char key : keys) {
        console().keys.push_back(static_cast<unsigned char>(key));
    }
}

void pushKey(int code) {
    console().keys.push_back(code & 0xFF);
}

std::size_t keysLeft() {
    return console().keys.size();
}

} // namespace sim

void platOut(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    sim::append(false, format, args);
    va_end(args);
}

void platErr(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    sim::append(true, format, args);
    va_end(args);
}

int platGetKey() {
    std::deque<int>& keys = sim::console().keys;
    if (keys.empty()) {
        return -1;
    }
    const int key = keys.front();
    keys.pop_front();
    return key;
}
