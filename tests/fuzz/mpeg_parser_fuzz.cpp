// Fuzz target: the MPEG-4 parser with the real header routine, fed arbitrary bytes cut in
// arbitrary places. Delivered pictures are at least 100 bytes; key frames carry a size; the
// pictures do not depend on how the bytes were cut.
#include <algorithm>
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
    // The first byte gives a number of cuts (up to 15), the next two bytes each cut's offset;
    // the rest is the stream, fed in the pieces between the cuts. A handful of cuts per run
    // reach every split the parser can meet (the fuzzer moves them) at a small cost per run:
    // feeding every run in blocks of a few bytes made it a thousand times slower.
    if (size == 0) {
        return 0;
    }
    const size_t cutCount = std::min<size_t>(data[0] % 16, (size - 1) / 2);
    std::vector<size_t> cuts;
    for (size_t i = 0; i < cutCount; ++i) {
        cuts.push_back(static_cast<size_t>(data[1 + 2 * i]) | (data[2 + 2 * i] << 8));
    }
    const size_t header = 1 + 2 * cutCount;
    data += header;
    size -= header;
    for (size_t& cut : cuts) {
        cut = size == 0 ? 0 : cut % size;
    }
    cuts.push_back(size);
    std::sort(cuts.begin(), cuts.end());
    // The buffer cap resets the parser at a point that depends on the pieces; below it the
    // cut of the stream must not matter.
    const size_t cap = 64 * 1024;
    Checker inPieces, whole;
    vostrel::CMpegParser parser(&inPieces, &ParseMpegHeader, cap);
    size_t start = 0;
    for (size_t cut : cuts) {
        parser.Parse(data + start, cut - start);
        start = cut;
    }
    if (size < cap) {
        vostrel::CMpegParser reference(&whole, &ParseMpegHeader, cap);
        reference.Parse(data, size);
        if (inPieces.pictures != whole.pictures) {
            std::abort();
        }
    }
    return 0;
}
