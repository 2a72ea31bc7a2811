#include "tools/station/format.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace station {

std::string format(const char* f, ...) {
    va_list args;
    va_start(args, f);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, f, args);
    va_end(args);
    std::vector<char> text(length > 0 ? static_cast<std::size_t>(length) + 1 : 1, '\0');
    (void)std::vsnprintf(text.data(), text.size(), f, again);
    va_end(again);
    return text.data();
}

} // namespace station
