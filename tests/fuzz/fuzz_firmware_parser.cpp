// Feeds arbitrary bytes to the firmware header parser. The input is copied to
// a buffer of exactly its size so any read past the end trips the sanitizer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "firmware/firmware_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size ? size : 1]);
    if (size) std::memcpy(copy.get(), data, size);
    const firmware::HeaderInfo h = firmware::parseImage(size ? copy.get() : nullptr, size);
    if (h.mode == 2) {
        // What the upload will send must lie inside the bytes that were read.
        const uint64_t need = 37 + uint64_t(h.packetCount) * (uint64_t(h.packetPayloadSize) + 37);
        if (need > size || h.packetCount < 0 || h.packetPayloadSize < 0) std::abort();
    }
    if (h.mode != 0 && h.versionText.size() != 5) std::abort();
    return 0;
}
