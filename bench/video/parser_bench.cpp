// Throughput of the stream parsers over realistic streams, each against a memchr scan of the
// same bytes in the same run (the least any parser that looks at markers must do) and, where
// libavcodec is there, against its mjpeg and mpeg4video parsers fed the same blocks.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#if JVC_BENCH_LIBAVCODEC
extern "C" {
#include <libavcodec/avcodec.h>
}
#endif

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

#if JVC_BENCH_LIBAVCODEC
// libavcodec's parser for the codec, fed the stream in blocks; counts the pictures it cuts.
void AvParse(benchmark::State& state, const Bytes& stream, AVCodecID codec) {
    const size_t block = static_cast<size_t>(state.range(0));
    AVCodecParserContext* parser = av_parser_init(codec);
    AVCodecContext* context = avcodec_alloc_context3(avcodec_find_decoder(codec));
    if (parser == nullptr || context == nullptr) {
        state.SkipWithError("libavcodec has no parser for the codec");
        return;
    }
    size_t pictures = 0;
    for (auto _ : state) {
        for (size_t start = 0; start < stream.size(); start += block) {
            const uint8_t* p = stream.data() + start;
            int left = static_cast<int>(std::min(block, stream.size() - start));
            while (left > 0) {
                uint8_t* out = nullptr;
                int outSize = 0;
                const int used = av_parser_parse2(parser, context, &out, &outSize, p, left,
                                                  AV_NOPTS_VALUE, AV_NOPTS_VALUE, 0);
                if (used <= 0 && outSize == 0) {
                    break;
                }
                pictures += outSize > 0 ? 1 : 0;
                p += used;
                left -= used;
            }
        }
    }
    benchmark::DoNotOptimize(pictures);
    state.counters["pictures"] = static_cast<double>(pictures);
    av_parser_close(parser);
    avcodec_free_context(&context);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

void BM_AvParserMjpeg(benchmark::State& state) {
    AvParse(state, MjpegStream(), AV_CODEC_ID_MJPEG);
}

void BM_AvParserMpeg4(benchmark::State& state) {
    AvParse(state, MpegStream(), AV_CODEC_ID_MPEG4);
}

BENCHMARK(BM_AvParserMjpeg)->Arg(1460)->Arg(16384)->Arg(65536);
BENCHMARK(BM_AvParserMpeg4)->Arg(1460)->Arg(16384)->Arg(65536);
#endif

// Block sizes as reads from the network deliver them.
BENCHMARK(BM_MemchrBaselineJpeg)->Arg(1460)->Arg(16384)->Arg(65536);
BENCHMARK(BM_JpegParser)->Arg(1460)->Arg(16384)->Arg(65536);
BENCHMARK(BM_MemchrBaselineMpeg)->Arg(1460)->Arg(16384)->Arg(65536);
BENCHMARK(BM_MpegParser)->Arg(1460)->Arg(16384)->Arg(65536);

}  // namespace

BENCHMARK_MAIN();
