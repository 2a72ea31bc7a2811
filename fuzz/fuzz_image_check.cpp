// The build-time image check on arbitrary bytes and names: it must never read
// outside the file, whatever the header claims.
#include "tools/embed/image_check.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first byte says how long the name is, the rest is the file.
    if (size == 0) {
        return 0;
    }
    const std::size_t nameLength = data[0] % 72;
    if (size < 1 + nameLength) {
        return 0;
    }
    const std::string name(reinterpret_cast<const char*>(data + 1), nameLength);
    const std::vector<unsigned char> bytes(data + 1 + nameLength, data + size);
    embed::findFault(name, bytes);
    return 0;
}
