// Fuzz target: the MPEG-4 parser with the real header routine, fed arbitrary bytes in
// arbitrary blocks. Delivered pictures are at least 100 bytes; key frames carry a size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "parse_mpeg_header.h"
#include "video/mpeg_parser.h"

namespace {
class Checker : public vostrel::IMpegReceiver {
  public:
    bool OnMpeg(const std::vector<uint8_t>& p, unsigned w, unsigned h, bool key) override {
        if (p.size() < 100 || (key && (w == 0 || h == 0))) {
            std::abort();
        }
        return true;
    }
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    Checker checker;
    vostrel::CMpegParser parser(&checker, &ParseMpegHeader, 64 * 1024);
    size_t block = 1 + data[0] % 200;
    for (size_t start = 1; start < size; start += block) {
        parser.Parse(data + start, std::min(block, size - start));
    }
    return 0;
}
