// The MPEG-4 header routine against hand-made layer headers and against streams that ffmpeg
// makes, compared with what ffprobe reports for the same files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>

#include "mpeg_stream.h"
#include "parse_mpeg_header.h"
#include "support/run_command.h"

using namespace mpeg_test;
using testing_support::RunCommand;

namespace {

// Calls the routine on an exactly sized heap copy, so a read past the end is caught by the
// address sanitizer.
int Parse(const Bytes& bytes, uint32_t& width, uint32_t& height) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.size() ? bytes.size() : 1]);
    std::copy(bytes.begin(), bytes.end(), copy.get());
    return ParseMpegHeader(copy.get(), static_cast<uint32_t>(bytes.size()), &width, &height);
}

bool HaveFfmpeg() {
    return system("ffmpeg -version >/dev/null 2>&1") == 0 &&
           system("ffprobe -version >/dev/null 2>&1") == 0;
}

}  // namespace

TEST(MpegHeaderTest, HandMadeLayerHeaders) {
    struct Case {
        LayerOptions options;
        bool understood;
    };
    std::vector<Case> cases;
    LayerOptions o;
    cases.push_back({o, true});
    o.layerIdentifier = true;
    o.aspectRatio = 0xF;
    o.vbv = true;
    o.fixedRate = true;
    o.resolution = 30000;
    o.width = 1280;
    o.height = 960;
    cases.push_back({o, true});
    o.shape = 1;  // binary shape: no picture size
    cases.push_back({o, false});
    LayerOptions forbidden;
    forbidden.aspectRatio = 0;
    cases.push_back({forbidden, false});
    for (const Case& c : cases) {
        Bytes header = SequenceHeader(c.options);
        Bytes frame = header;
        Bytes pic = Picture(200, 0, 1);
        frame.insert(frame.end(), pic.begin(), pic.end());
        uint32_t w = 7, h = 7;
        int result = Parse(frame, w, h);
        EXPECT_EQ(result > 0, c.understood);
        if (c.understood) {
            EXPECT_EQ(w, c.options.width);
            EXPECT_EQ(h, c.options.height);
        } else {
            EXPECT_EQ(w, 7u);  // nothing written
        }
        // Every truncation of the header: never a read past the end, never a wrong size.
        for (size_t n = 0; n < header.size(); ++n) {
            Bytes cut(header.begin(), header.begin() + static_cast<long>(n));
            uint32_t cw = 0, ch = 0;
            if (Parse(cut, cw, ch) > 0) {
                EXPECT_EQ(cw, c.options.width) << n;
                EXPECT_EQ(ch, c.options.height) << n;
            }
        }
    }
}

TEST(MpegHeaderTest, NoLayerHeaderOrRandomBytesAreNotUnderstood) {
    uint32_t w = 0, h = 0;
    EXPECT_EQ(Parse(Picture(300, 0, 1), w, h), 0);
    EXPECT_EQ(Parse({}, w, h), 0);
    EXPECT_EQ(ParseMpegHeader(nullptr, 10, &w, &h), 0);
    std::mt19937 rng(7);
    for (int round = 0; round < 200; ++round) {
        Bytes random(static_cast<size_t>(rng() % 64));
        for (auto& b : random) {
            b = static_cast<uint8_t>(rng());
        }
        // A layer start code followed by random bits.
        Bytes bytes = {0, 0, 1, 0x20};
        bytes.insert(bytes.end(), random.begin(), random.end());
        uint32_t rw = 0, rh = 0;
        if (Parse(bytes, rw, rh) > 0) {
            EXPECT_GT(rw, 0u);
            EXPECT_GT(rh, 0u);
        }
    }
}

TEST(MpegHeaderTest, SizesAgreeWithFfprobeOnFfmpegStreams) {
    if (!HaveFfmpeg()) {
        GTEST_SKIP() << "ffmpeg/ffprobe not installed";
    }
    char dirTemplate[] = "/tmp/mpeg_header_test_XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    std::string dir = dirTemplate;
    struct Size {
        int w, h;
        const char* extra;
    };
    const Size sizes[] = {{320, 240, ""},
                          {640, 480, ""},
                          {704, 576, ""},
                          {1280, 960, ""},
                          {720, 576, "-aspect 16:9"}};  // non-square pixels
    for (const Size& s : sizes) {
        std::string file = dir + "/" + std::to_string(s.w) + "x" + std::to_string(s.h) + ".m4v";
        std::string make =
            "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=size=" + std::to_string(s.w) +
            "x" + std::to_string(s.h) + ":rate=25 -frames:v 3 -c:v mpeg4 " + s.extra + " -f m4v " +
            file;
        ASSERT_EQ(system(make.c_str()), 0) << make;
        std::string probed = RunCommand(
            "ffprobe -v error -select_streams v:0 -show_entries stream=width,height "
            "-of csv=p=0:s=x " +
            file);
        std::ifstream in(file, std::ios::binary);
        Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        uint32_t w = 0, h = 0;
        ASSERT_GT(Parse(bytes, w, h), 0) << file;
        EXPECT_EQ(std::to_string(w) + "x" + std::to_string(h) + "\n", probed) << file;
        EXPECT_EQ(static_cast<int>(w), s.w);
        std::remove(file.c_str());
    }
    rmdir(dir.c_str());
}
