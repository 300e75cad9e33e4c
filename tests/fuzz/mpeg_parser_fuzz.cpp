// Fuzz target: the MPEG-4 parser with the real header routine, fed arbitrary bytes in
// arbitrary blocks. Delivered pictures are at least 100 bytes; key frames carry a size; the
// pictures do not depend on how the bytes were cut.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "parse_mpeg_header.h"
#include "video/mpeg_parser.h"

namespace {
struct Picture {
    std::vector<uint8_t> data;
    unsigned width, height;
    bool key;
    bool operator==(const Picture&) const = default;
};

class Checker : public vostrel::IMpegReceiver {
  public:
    bool OnMpeg(const std::vector<uint8_t>& p, unsigned w, unsigned h, bool key) override {
        if (p.size() < 100 || (key && (w == 0 || h == 0))) {
            std::abort();
        }
        pictures.push_back({p, w, h, key});
        return true;
    }
    std::vector<Picture> pictures;
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const size_t block = 1 + data[0] % 200;
    ++data;
    --size;
    // The buffer cap resets the parser at a point that depends on the blocks; below it the
    // cut of the stream must not matter.
    const size_t cap = 64 * 1024;
    Checker inBlocks, whole;
    vostrel::CMpegParser parser(&inBlocks, &ParseMpegHeader, cap);
    for (size_t start = 0; start < size; start += block) {
        parser.Parse(data + start, std::min(block, size - start));
    }
    if (size < cap) {
        vostrel::CMpegParser reference(&whole, &ParseMpegHeader, cap);
        reference.Parse(data, size);
        if (inBlocks.pictures != whole.pictures) {
            std::abort();
        }
    }
    return 0;
}
