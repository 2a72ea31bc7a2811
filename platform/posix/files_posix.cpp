// Conversion file support on POSIX systems. On failure errno tells the reason.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/guard.h"
#include "platform/platform.h"

namespace {

// The temporary file that an interruption removes; empty when none. Changed
// under guardHold.
constexpr std::size_t filesTempSize = 4096;
char filesTemp[filesTempSize] = {};

void filesRelease() {
    if (filesTemp[0] != '\0') {
        (void)unlink(filesTemp);
    }
}

void filesForget(const char* name) {
    if (std::strcmp(filesTemp, name) == 0) {
        filesTemp[0] = '\0';
    }
}

// Makes a rename in the folder of path durable. The file is in place already,
// so a folder that cannot be synced changes nothing about the result.
void filesSyncFolder(const char* path) {
    char folder[filesTempSize] = ".";
    if (const char* slash = std::strrchr(path, '/')) {
        const std::size_t length = slash == path ? 1 : static_cast<std::size_t>(slash - path);
        if (length >= sizeof folder) {
            return;
        }
        std::memcpy(folder, path, length);
        folder[length] = '\0';
    }
    int fd = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        (void)fsync(fd);
        (void)close(fd);
    }
}

} // namespace

std::FILE* platCreateTempFile(const char* name) {
    if (std::strlen(name) >= filesTempSize) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    guardAdd(filesRelease);
    guardHold();
    // O_EXCL: a name that exists already, as a dangling link too, fails with
    // EEXIST, and nothing is opened; 0666 less the umask, as for any new file.
    const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0) {
        std::memcpy(filesTemp, name, std::strlen(name) + 1);
    }
    guardLetGo();
    if (fd < 0) {
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "wb");
    if (file == nullptr) {
        const int reason = errno;
        (void)close(fd);
        (void)platRemoveTempFile(name);
        errno = reason;
    }
    return file;
}

int platRemoveTempFile(const char* name) {
    guardHold();
    const int removed = unlink(name);
    filesForget(name);
    guardLetGo();
    return removed == 0 ? 1 : 0;
}

int platSyncFile(std::FILE* file) {
    if (std::fflush(file) != 0)
        return 0;
    return fsync(fileno(file)) == 0 ? 1 : 0;
}

// rename() replaces the target in one step: readers see the old file or the
// new one, never a mix. A link under the final name is replaced, not
// followed.
int platReplaceFile(const char* from, const char* to) {
    guardHold();
    const int moved = std::rename(from, to);
    if (moved == 0) {
        filesForget(from);
    }
    guardLetGo();
    if (moved != 0) {
        return 0;
    }
    filesSyncFolder(to);
    return 1;
}

int platFileIsReadOnly(const char* name) {
    struct stat found {};
    // A link is replaced, never written through, whatever its target.
    if (lstat(name, &found) != 0 || !S_ISREG(found.st_mode)) {
        return 0;
    }
    return (found.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ? 1 : 0;
}
