// Conversion file support on Windows. On failure errno tells the reason, so
// that the caller can name it the same way on every platform.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include "platform/guard.h"
#include "platform/platform.h"

namespace {

// The temporary file that Ctrl-C removes; empty when none. Changed under
// guardHold.
char filesTemp[MAX_PATH] = {};

int platErrnoOf(DWORD error) {
    switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    default:
        return EIO;
    }
}

void filesRelease() {
    // The file is open for writing on the program's thread; it was opened
    // with delete sharing, so it goes when the program's handle closes.
    if (filesTemp[0] != '\0') {
        (void)DeleteFileA(filesTemp);
    }
}

void filesForget(const char* name) {
    if (std::strcmp(filesTemp, name) == 0) {
        filesTemp[0] = '\0';
    }
}

} // namespace

std::FILE* platCreateTempFile(const char* name) {
    if (std::strlen(name) >= sizeof filesTemp) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    guardAdd(filesRelease);
    guardHold();
    // CREATE_NEW: a name that exists already fails, and nothing is opened.
    HANDLE handle = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    const DWORD error = GetLastError();
    if (handle != INVALID_HANDLE_VALUE) {
        std::memcpy(filesTemp, name, std::strlen(name) + 1);
    }
    guardLetGo();
    if (handle == INVALID_HANDLE_VALUE) {
        errno = platErrnoOf(error);
        return nullptr;
    }
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_WRONLY | _O_BINARY);
    std::FILE* file = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
    if (file == nullptr) {
        if (fd >= 0) {
            (void)_close(fd);
        } else {
            (void)CloseHandle(handle);
        }
        (void)platRemoveTempFile(name);
        errno = EIO;
    }
    return file;
}

int platRemoveTempFile(const char* name) {
    guardHold();
    const BOOL removed = DeleteFileA(name);
    const DWORD error = GetLastError();
    filesForget(name);
    guardLetGo();
    if (!removed) {
        errno = platErrnoOf(error);
        return 0;
    }
    return 1;
}

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
    guardHold();
    const BOOL moved = MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    const DWORD error = GetLastError();
    if (moved) {
        filesForget(from);
    }
    guardLetGo();
    if (!moved) {
        errno = platErrnoOf(error);
        return 0;
    }
    return 1;
}

int platFileIsReadOnly(const char* name) {
    const DWORD attributes = GetFileAttributesA(name);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
                   (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0
               ? 1
               : 0;
}
