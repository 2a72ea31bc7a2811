// Console output, the same on every system: each piece reaches the screen at
// once, partial lines included, so that the stars and dots appear one by one.
#include "platform/platform.h"

#include <cstdarg>
#include <cstdio>

namespace {

void consoleWrite(std::FILE* stream, std::FILE* other, const char* format, va_list arguments) {
    // The other stream goes first, so that both appear in call order.
    (void)std::fflush(other);
    (void)std::vfprintf(stream, format, arguments);
    (void)std::fflush(stream);
}

} // namespace

void platOut(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    consoleWrite(stdout, stderr, format, arguments);
    va_end(arguments);
}

void platErr(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    consoleWrite(stderr, stdout, format, arguments);
    va_end(arguments);
}
