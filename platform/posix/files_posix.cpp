// Conversion file support on POSIX systems. On failure errno tells the reason.
#include <cstdio>
#include <unistd.h>

#include "platform/platform.h"

int platSyncFile(std::FILE* file) {
    if (std::fflush(file) != 0)
        return 0;
    return fsync(fileno(file)) == 0 ? 1 : 0;
}

// rename() replaces the target in one step: readers see the old file or the
// new one, never a mix.
int platReplaceFile(const char* from, const char* to) {
    return std::rename(from, to) == 0 ? 1 : 0;
}
