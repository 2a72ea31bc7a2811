// The program-header walk of the download over images that the build-time
// check accepted: for such an image the header test passes, every program
// header lies inside the file and every segment's bytes do too, so the walk
// and the transfer never read outside the image.
#include "image/elf.h"
#include "tools/embed/image_check.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

volatile unsigned sink = 0;

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "elf walk: %s\n", what);
    __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An allocation of exactly the image's size, so that a read past its end
    // is seen.
    const std::vector<unsigned char> image(data, data + size);
    if (!embed::findFault("fuzz.fl.out", image).empty()) {
        return 0;
    }
    const unsigned char* eh = elfReadHeader(image.data());
    if (eh == nullptr) {
        broken("an accepted image fails the header test");
    }
    const std::uint16_t count = elfPhnum(eh);
    unsigned sum = 0;
    for (std::uint16_t i = 0; i < count; ++i) {
        const unsigned char* ph = elfGetProghead(i);
        if (ph == nullptr) {
            broken("no program header for an index below e_phnum");
        }
        const std::uint32_t offset = elfSegmentOffset(ph);
        const std::uint32_t filesz = elfSegmentFilesz(ph);
        if (elfSegmentVaddr(ph) % 4 != 0 || filesz % 4 != 0) {
            broken("an accepted segment that the board cannot take");
        }
        // What the transfer sends: filesz bytes from image + p_offset.
        const unsigned char* bytes = image.data() + offset;
        for (std::uint32_t b = 0; b < filesz; ++b) {
            sum += bytes[b];
        }
    }
    sink = sum;
    return 0;
}
