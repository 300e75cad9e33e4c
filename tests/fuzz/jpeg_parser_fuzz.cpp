// Fuzz target: the JPEG parser fed arbitrary bytes cut into arbitrary blocks. Every picture
// it delivers must start with a start-of-image and end with an end-of-image marker.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "video/jpeg_parser.h"

namespace {
class Checker : public vostrel::IJpegReceiver {
  public:
    void OnJpeg(const std::vector<uint8_t>& p, unsigned, unsigned) override {
        if (p.size() < 4 || p[0] != 0xFF || p[1] != 0xD8 || p[p.size() - 2] != 0xFF ||
            p[p.size() - 1] != 0xD9) {
            std::abort();
        }
    }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    Checker checker;
    vostrel::CJpegParser parser(&checker, 4096);
    // The first byte chooses the block size.
    size_t block = 1 + data[0] % 64;
    for (size_t start = 1; start < size; start += block) {
        parser.Parse(data + start, std::min(block, size - start));
    }
    return 0;
}
