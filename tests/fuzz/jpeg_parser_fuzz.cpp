// Fuzz target: the JPEG parser fed arbitrary bytes cut into arbitrary blocks. Every picture
// it delivers must start with a start-of-image and end with an end-of-image marker; the
// pictures must not depend on how the bytes were cut (while below the size cap), and a
// delivered picture parsed on its own must come out unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "video/jpeg_parser.h"

namespace {
struct Picture {
    std::vector<uint8_t> data;
    unsigned width, height;
    bool operator==(const Picture&) const = default;
};

class Checker : public vostrel::IJpegReceiver {
  public:
    void OnJpeg(const std::vector<uint8_t>& p, unsigned w, unsigned h) override {
        if (p.size() < 4 || p[0] != 0xFF || p[1] != 0xD8 || p[p.size() - 2] != 0xFF ||
            p[p.size() - 1] != 0xD9) {
            std::abort();
        }
        pictures.push_back({p, w, h});
    }
    std::vector<Picture> pictures;
};

void Feed(vostrel::CJpegParser& parser, const uint8_t* data, size_t size, size_t block) {
    for (size_t start = 0; start < size; start += block) {
        parser.Parse(data + start, std::min(block, size - start));
    }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) {
        return 0;
    }
    // The first byte chooses the block size, the second where the capped parser is reset.
    const size_t block = 1 + data[0] % 64;
    const size_t resetAt = data[1] * 16u;
    data += 2;
    size -= 2;

    Checker capped;
    vostrel::CJpegParser small(&capped, 4096);
    for (size_t start = 0; start < size; start += block) {
        if (start <= resetAt && resetAt < start + block) {
            small.Reset();
        }
        small.Parse(data + start, std::min(block, size - start));
    }

    Checker inBlocks, whole;
    vostrel::CJpegParser a(&inBlocks), b(&whole);
    Feed(a, data, size, block);
    b.Parse(data, size);
    if (inBlocks.pictures != whole.pictures || a.PendingSize() != b.PendingSize()) {
        std::abort();
    }
    for (const Picture& p : whole.pictures) {
        Checker again;
        vostrel::CJpegParser c(&again);
        c.Parse(p.data);
        if (again.pictures.size() != 1 || again.pictures[0].data != p.data) {
            std::abort();
        }
    }
    return 0;
}
