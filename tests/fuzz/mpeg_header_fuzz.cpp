// Fuzz target: the MPEG-4 header routine never reads past its input.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "parse_mpeg_header.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exactly sized copy, so a read past the end is caught.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[size ? size : 1]);
    if (size) {
        std::memcpy(copy.get(), data, size);
    }
    uint32_t w = 0, h = 0;
    ParseMpegHeader(copy.get(), static_cast<uint32_t>(size), &w, &h);
    return 0;
}
