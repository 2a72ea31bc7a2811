// Conversion file support on Windows. On failure errno tells the reason, so
// that the caller can name it the same way on every platform.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <io.h>
#include <windows.h>

#include "platform/platform.h"

namespace {

int platErrnoOf(DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    default:
        return EIO;
    }
}

} // namespace

int platSyncFile(std::FILE* file) {
    if (std::fflush(file) != 0)
        return 0;
    const std::intptr_t crtHandle = _get_osfhandle(_fileno(file));
    if (crtHandle == -1) {
        errno = EBADF;
        return 0;
    }
    if (!FlushFileBuffers(reinterpret_cast<HANDLE>(crtHandle))) {
        errno = platErrnoOf(GetLastError());
        return 0;
    }
    return 1;
}

int platReplaceFile(const char* from, const char* to) {
    if (!MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        errno = platErrnoOf(GetLastError());
        return 0;
    }
    return 1;
}
