// The conversion file for the progstand: the carried image, unchanged, under
// the name "qpsk_<elfFileName>" in the current folder.
//
// The bytes go to a new temporary file beside it first, under a name of its
// own that nobody can have prepared (no link, FIFO or file planted there is
// followed or opened), which is flushed, forced to the disk and closed; only
// then does it replace the final name. A failed or interrupted conversion
// therefore never leaves a truncated file under the final name, and an
// earlier conversion file stays as it was. A final file that the operator
// made read-only is left alone.
#include "image/outfile.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "image/firmware_image.h"
#include "platform/platform.h"

namespace {

// "qpsk_", the name field (64 characters at most) and the terminating zero.
constexpr int outfileNameSize = 5 + 64 + 1;
// The final name, "." and eight hexadecimal digits, ".tmp".
constexpr int outfileTempSize = outfileNameSize + 1 + 8 + 4;
// Names tried before the conversion gives up on the folder.
constexpr int outfileTempTries = 100;

// Prints the one failure line. reason is the errno of the failed call; 0 when
// the call did not set one.
int outfileFail(const char* name, const char* what, int reason) {
    platOut("Cannot write %s: %s: %s\n", name, what,
            reason != 0 ? std::strerror(reason) : "unknown error");
    return 0;
}

// Closes and removes the temporary file after a failure.
int outfileDiscard(std::FILE* file, const char* temp, const char* name, const char* what,
                   int reason) {
    // Already a failure, and the one reported: what the clean-up returns
    // changes nothing.
    if (file != nullptr)
        (void)std::fclose(file);
    (void)platRemoveTempFile(temp);
    return outfileFail(name, what, reason);
}

// A suffix that differs between tries, runs and programs: the time, the
// processor time used so far, where this run's stack lies, and the try, mixed
// (splitmix64). Guessing it is not needed for safety, only for speed: a name
// that exists is never opened.
std::uint32_t outfileSuffix(int attempt) {
    const int onStack = attempt;
    std::uint64_t x = static_cast<std::uint64_t>(std::time(nullptr)) ^
                      (static_cast<std::uint64_t>(std::clock()) << 20) ^
                      static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&onStack)) ^
                      (static_cast<std::uint64_t>(attempt) << 56);
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return static_cast<std::uint32_t>(x ^ (x >> 31));
}

// Creates the temporary file beside name; its name goes to temp.
std::FILE* outfileCreateTemp(const char* name, char* temp, std::size_t size) {
    for (int attempt = 0; attempt < outfileTempTries; ++attempt) {
        (void)std::snprintf(temp, size, "%s.%08x.tmp", name,
                            static_cast<unsigned>(outfileSuffix(attempt)));
        errno = 0;
        std::FILE* file = platCreateTempFile(temp);
        if (file != nullptr || errno != EEXIST)
            return file;
    }
    return nullptr;
}

} // namespace

int writeOutfile() {
    char name[outfileNameSize];
    char temp[outfileTempSize];
    const char* nameEnd = static_cast<const char*>(
        std::memchr(firmwareImage.elfFileName, 0, sizeof firmwareImage.elfFileName));
    const int nameLength = nameEnd != nullptr
                               ? static_cast<int>(nameEnd - firmwareImage.elfFileName)
                               : static_cast<int>(sizeof firmwareImage.elfFileName);
    // Both buffers hold the longest name the 64-byte field allows.
    (void)std::snprintf(name, sizeof name, "qpsk_%.*s", nameLength, firmwareImage.elfFileName);

    platOut("Convert to progstand format...\n");

    if (platFileIsReadOnly(name) != 0)
        return outfileFail(name, "the file is read-only", EACCES);

    std::FILE* file = outfileCreateTemp(name, temp, sizeof temp);
    if (file == nullptr)
        return outfileFail(name, "cannot create the temporary file", errno);

    errno = 0;
    if (std::fwrite(firmwareImage.elfFile, 1, firmwareImage.elfFileSize, file) !=
            firmwareImage.elfFileSize ||
        std::fflush(file) != 0)
        return outfileDiscard(file, temp, name, "writing failed", errno);

    errno = 0;
    if (platSyncFile(file) == 0)
        return outfileDiscard(file, temp, name, "cannot force the file to the disk", errno);

    errno = 0;
    if (std::fclose(file) != 0)
        return outfileDiscard(nullptr, temp, name, "closing failed", errno);

    errno = 0;
    if (platReplaceFile(temp, name) == 0) {
        const int reason = errno;
        (void)platRemoveTempFile(temp); // the failure reported is the replacement
        return outfileFail(name, "cannot replace the file", reason);
    }
    return 1;
}
