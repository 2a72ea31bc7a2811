// The conversion file for the progstand: the carried image, unchanged, under
// the name "qpsk_<elfFileName>" in the current folder.
//
// The bytes go to a temporary file beside it first, which is flushed, forced
// to the disk and closed; only then does it replace the final name. A failed
// or interrupted conversion therefore never leaves a truncated file under the
// final name, and an earlier conversion file stays as it was.
#include "image/outfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "image/firmware_image.h"
#include "platform/platform.h"

namespace {

// "qpsk_", the name field (64 characters at most) and the terminating zero.
constexpr int outfileNameSize = 5 + 64 + 1;
// The final name and ".tmp".
constexpr int outfileTempSize = outfileNameSize + 4;

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
    (void)std::remove(temp);
    return outfileFail(name, what, reason);
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
    (void)std::snprintf(temp, sizeof temp, "%s.tmp", name);

    platOut("Convert to progstand format...\n");

    errno = 0;
    std::FILE* file = std::fopen(temp, "wb");
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
        (void)std::remove(temp); // the failure reported is the replacement
        return outfileFail(name, "cannot replace the file", reason);
    }
    return 1;
}
