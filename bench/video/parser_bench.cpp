// Throughput of the stream parsers over realistic streams, each against a memchr scan of the
// same bytes in the same run (the least any parser that looks at markers must do).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "camera_simulator.h"
#include "video/jpeg_parser.h"
#include "video/mpeg_parser.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A multipart MJPEG stream as the simulator sends it: part headers and its ring pictures.
const Bytes& MjpegStream() {
    static const Bytes stream = [] {
        camsim::CameraSimulator cam;
        cam.Start();  // encodes the picture rings
        Bytes s;
        for (const auto& picture : cam.JpegRing(640, 480)) {
            std::string header = "--jpegboundary\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                                 std::to_string(picture.bytes.size()) + "\r\n\r\n";
            s.insert(s.end(), header.begin(), header.end());
            s.insert(s.end(), picture.bytes.begin(), picture.bytes.end());
            s.push_back('\r');
            s.push_back('\n');
        }
        return s;
    }();
    return stream;
}

const Bytes& MpegStream() {
    static const Bytes stream = [] {
        camsim::CameraSimulator cam;
        cam.Start();  // loads the fixtures
        return cam.Mpeg4Fixture(640, 480);
    }();
    return stream;
}

class NullJpeg : public vostrel::IJpegReceiver {
  public:
    void OnJpeg(const Bytes& picture, unsigned, unsigned) override { bytes += picture.size(); }
    size_t bytes = 0;
};

class NullMpeg : public vostrel::IMpegReceiver {
  public:
    bool OnMpeg(const Bytes& picture, unsigned, unsigned, bool) override {
        bytes += picture.size();
        return true;
    }
    size_t bytes = 0;
};

int AcceptHeader(const uint8_t*, uint32_t, uint32_t* w, uint32_t* h) {
    *w = 640;
    *h = 480;
    return 1;
}

// Counts the positions of a byte in blocks of the given size: the baseline.
void MemchrScan(benchmark::State& state, const Bytes& stream, uint8_t byte) {
    const size_t block = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        size_t hits = 0;
        for (size_t start = 0; start < stream.size(); start += block) {
            size_t size = std::min(block, stream.size() - start);
            const uint8_t* p = stream.data() + start;
            const uint8_t* end = p + size;
            while (p < end) {
                const void* hit = std::memchr(p, byte, static_cast<size_t>(end - p));
                if (!hit) {
                    break;
                }
                ++hits;
                p = static_cast<const uint8_t*>(hit) + 1;
            }
        }
        benchmark::DoNotOptimize(hits);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

void BM_MemchrBaselineJpeg(benchmark::State& state) {
    MemchrScan(state, MjpegStream(), 0xFF);
}

void BM_JpegParser(benchmark::State& state) {
    const Bytes& stream = MjpegStream();
    const size_t block = static_cast<size_t>(state.range(0));
    NullJpeg sink;
    vostrel::CJpegParser parser(&sink);
    for (auto _ : state) {
        for (size_t start = 0; start < stream.size(); start += block) {
            parser.Parse(stream.data() + start, std::min(block, stream.size() - start));
        }
    }
    benchmark::DoNotOptimize(sink.bytes);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

void BM_MemchrBaselineMpeg(benchmark::State& state) {
    MemchrScan(state, MpegStream(), 0x01);
}

void BM_MpegParser(benchmark::State& state) {
    const Bytes& stream = MpegStream();
    const size_t block = static_cast<size_t>(state.range(0));
    NullMpeg sink;
    vostrel::CMpegParser parser(&sink, &AcceptHeader);
    for (auto _ : state) {
        for (size_t start = 0; start < stream.size(); start += block) {
            parser.Parse(stream.data() + start, std::min(block, stream.size() - start));
        }
    }
    benchmark::DoNotOptimize(sink.bytes);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

// Block sizes as reads from the network deliver them.
BENCHMARK(BM_MemchrBaselineJpeg)->Arg(1460)->Arg(16384)->Arg(65536);
BENCHMARK(BM_JpegParser)->Arg(1460)->Arg(16384)->Arg(65536);
BENCHMARK(BM_MemchrBaselineMpeg)->Arg(1460)->Arg(16384)->Arg(65536);
BENCHMARK(BM_MpegParser)->Arg(1460)->Arg(16384)->Arg(65536);

}  // namespace

BENCHMARK_MAIN();
