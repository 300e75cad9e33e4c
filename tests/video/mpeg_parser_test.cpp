// The MPEG-4 parser: pictures cut at start codes, key frames with their header in front,
// waiting for a good key frame, and bounded memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>

#include "mpeg_stream.h"
#include "parse_mpeg_header.h"
#include "video/mpeg_parser.h"

using namespace vostrel;
using namespace mpeg_test;

namespace {

struct Received {
    Bytes data;
    unsigned width, height;
    bool key;
};

class Collector : public IMpegReceiver {
  public:
    bool OnMpeg(const Bytes& picture, unsigned width, unsigned height, bool keyFrame) override {
        pictures.push_back({picture, width, height, keyFrame});
        return accept;
    }
    void OnPictureSkipped() override { ++skipped; }
    std::vector<Received> pictures;
    bool accept = true;
    int skipped = 0;
};

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

// A group of pictures: sequence header, an I-picture, then P-pictures.
Bytes Gop(const Bytes& header, size_t pictureSize, int pCount, uint8_t fill) {
    Bytes g = Concat({header, Picture(pictureSize, 0, fill)});
    for (int i = 0; i < pCount; ++i) {
        Bytes p = Picture(pictureSize / 2, 1, static_cast<uint8_t>(fill + i + 1));
        g.insert(g.end(), p.begin(), p.end());
    }
    return g;
}

}  // namespace

TEST(MpegParserTest, MidGopStartWaitsForTheFirstKeyFrameWithItsHeader) {
    LayerOptions o;
    o.width = 640;
    o.height = 480;
    Bytes header = SequenceHeader(o);
    Bytes stream = Concat({Picture(300, 1, 1), Picture(300, 1, 2), Gop(header, 1000, 2, 10),
                           Gop(header, 1200, 1, 20), Picture(120, 1, 30)});
    Collector c;
    CMpegParser parser(&c, &ParseMpegHeader);
    parser.Parse(stream);
    // The last picture is still pending: its end is not known until the next start code.
    ASSERT_EQ(c.pictures.size(), 5u);
    EXPECT_TRUE(c.pictures[0].key);
    EXPECT_EQ(c.pictures[0].data, Concat({header, Picture(1000, 0, 10)}));
    EXPECT_EQ(c.pictures[0].width, 640u);
    EXPECT_EQ(c.pictures[0].height, 480u);
    EXPECT_FALSE(c.pictures[1].key);
    EXPECT_EQ(c.pictures[1].data, Picture(500, 1, 11));
    EXPECT_EQ(c.pictures[1].width, 640u);  // the size of the last key frame
    EXPECT_FALSE(c.pictures[2].key);
    EXPECT_TRUE(c.pictures[3].key);
    EXPECT_EQ(c.pictures[4].data, Picture(600, 1, 21));
    // The two predicted pictures in front of the first key frame were heard of, not delivered.
    EXPECT_EQ(c.skipped, 2);
    // After a reset the lead-in of the next stream counts again.
    parser.Reset();
    parser.Parse(Concat({Picture(300, 1, 40), Picture(50, 1, 41), Picture(300, 1, 42)}));
    EXPECT_EQ(c.skipped, 3);  // a short picture never counts; the last is still pending
}

TEST(MpegParserTest, EveryCutOfTheStreamGivesTheSamePictures) {
    Bytes header = SequenceHeader({});
    Bytes stream = Concat({Gop(header, 400, 2, 1), Gop(header, 300, 1, 9), header});
    Collector whole;
    CMpegParser reference(&whole, &ParseMpegHeader);
    reference.Parse(stream);
    ASSERT_EQ(whole.pictures.size(), 5u);
    for (size_t cut = 1; cut < stream.size(); cut += 3) {
        Collector c;
        CMpegParser parser(&c, &ParseMpegHeader);
        parser.Parse(stream.data(), cut);
        parser.Parse(stream.data() + cut, stream.size() - cut);
        ASSERT_EQ(c.pictures.size(), whole.pictures.size()) << cut;
        for (size_t i = 0; i < c.pictures.size(); ++i) {
            ASSERT_EQ(c.pictures[i].data, whole.pictures[i].data) << cut << " picture " << i;
            ASSERT_EQ(c.pictures[i].key, whole.pictures[i].key);
        }
    }
}

TEST(MpegParserTest, ShortPicturesAreNeverDeliveredAndAShortKeyFrameSuppressesItsGroup) {
    Bytes header = SequenceHeader({});
    Bytes stream = Concat({header, Picture(400, 0, 1), Picture(99, 1, 2), Picture(100, 1, 3),
                           header, Picture(99, 0, 4), Picture(300, 1, 5), Picture(300, 1, 6),
                           header, Picture(400, 0, 7), Picture(300, 1, 8), header});
    Collector c;
    CMpegParser parser(&c, &ParseMpegHeader);
    parser.Parse(stream);
    ASSERT_EQ(c.pictures.size(), 4u);
    EXPECT_EQ(c.pictures[0].data, Concat({header, Picture(400, 0, 1)}));
    EXPECT_EQ(c.pictures[1].data, Picture(100, 1, 3));  // exactly 100 bytes passes
    EXPECT_EQ(c.pictures[2].data, Concat({header, Picture(400, 0, 7)}));
    EXPECT_EQ(c.pictures[3].data, Picture(300, 1, 8));
}

TEST(MpegParserTest, RefusedOrBadKeyFramesMakeItWaitForTheNextGoodOne) {
    Bytes good = SequenceHeader({});
    LayerOptions binary;
    binary.shape = 1;  // not rectangular: the routine does not understand it
    Bytes bad = SequenceHeader(binary);
    Bytes stream = Concat({Gop(bad, 400, 2, 1), Gop(good, 400, 2, 10), good});
    {
        Collector c;
        CMpegParser parser(&c, &ParseMpegHeader);
        parser.Parse(stream);
        ASSERT_EQ(c.pictures.size(), 3u);
        EXPECT_TRUE(c.pictures[0].key);
        EXPECT_EQ(c.pictures[0].data, Concat({good, Picture(400, 0, 10)}));
        // Pictures that depend on a key frame that failed its check are no sign of video.
        EXPECT_EQ(c.skipped, 0);
    }
    {
        Collector c;
        c.accept = false;  // the host refuses the key frame: its P-pictures are withheld
        CMpegParser parser(&c, &ParseMpegHeader);
        parser.Parse(Concat({Gop(good, 400, 2, 1), good}));
        ASSERT_EQ(c.pictures.size(), 1u);
        EXPECT_TRUE(parser.WaitingForKeyFrame());
    }
    {
        Collector c;
        CMpegParser parser(&c, nullptr);  // no header routine: nothing can pass
        parser.Parse(Concat({Picture(300, 1, 1), stream}));
        EXPECT_TRUE(c.pictures.empty());
        EXPECT_EQ(c.skipped, 1);  // only the lead-in in front of the first key frame
    }
}

TEST(MpegParserTest, BytesWithoutStartCodesAreBoundedAndResetKeepsTheSize) {
    Collector c;
    CMpegParser parser(&c, &ParseMpegHeader, 64 * 1024);
    LayerOptions o;
    o.width = 320;
    o.height = 240;
    Bytes header = SequenceHeader(o);
    parser.Parse(Concat({Gop(header, 400, 0, 1), header}));
    ASSERT_EQ(c.pictures.size(), 1u);
    Bytes junk(10000, 0x77);
    for (int i = 0; i < 20; ++i) {
        parser.Parse(junk);
        ASSERT_LE(parser.BufferedSize(), 64u * 1024);
    }
    EXPECT_EQ(parser.Width(), 320u);
    // After the reset a new stream is picked up at its first key frame.
    parser.Parse(Concat({Picture(300, 1, 3), Gop(header, 400, 1, 5), header}));
    ASSERT_EQ(c.pictures.size(), 3u);
    EXPECT_TRUE(c.pictures[1].key);
}

TEST(MpegParserTest, TheHeaderRoutineIsLoadedByItsModuleName) {
    // The library lies beside the module; the test finds it through LD_LIBRARY_PATH.
    Collector c;
    CMpegParser parser(&c);
    ASSERT_TRUE(parser.HasHeaderRoutine());
    parser.Parse(Concat({Gop(SequenceHeader({}), 400, 1, 1), SequenceHeader({})}));
    EXPECT_EQ(c.pictures.size(), 2u);
    EXPECT_EQ(c.pictures[0].width, 352u);
}

TEST(MpegParserTest, HeaderWaitingForItsPictureAcrossManyBlocks) {
    // A sequence header whose picture start comes only after many blocks of header bytes
    // (user data): the search goes on where it stopped and finds it.
    Bytes header = SequenceHeader({});
    Bytes userData = {0, 0, 1, 0xB2};
    userData.resize(20000, 0x41);
    Bytes stream = Concat({header, userData, Picture(400, 0, 1), Picture(300, 1, 2), header});
    for (size_t block : {7u, 333u, 4096u}) {
        Collector c;
        CMpegParser parser(&c, &ParseMpegHeader);
        for (size_t start = 0; start < stream.size(); start += block) {
            parser.Parse(stream.data() + start, std::min(block, stream.size() - start));
        }
        ASSERT_EQ(c.pictures.size(), 2u) << block;
        EXPECT_EQ(c.pictures[0].data, Concat({header, userData, Picture(400, 0, 1)}));
        EXPECT_TRUE(c.pictures[0].key);
        EXPECT_EQ(c.pictures[1].data, Picture(300, 1, 2));
    }
}

namespace {

Bytes ReadFixture(const std::string& name) {
    std::ifstream in(std::string(JVC_TEST_DATA_DIR) + "/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The stream without the segments (a start code and the bytes up to the next start code) of
// the given start code values.
Bytes Strip(const Bytes& stream, const Bytes& codes) {
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 < stream.size(); ++i) {
        if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
            starts.push_back(i);
        }
    }
    starts.push_back(stream.size());
    Bytes out(stream.begin(), stream.begin() + static_cast<ptrdiff_t>(starts[0]));
    for (size_t k = 0; k + 1 < starts.size(); ++k) {
        if (std::find(codes.begin(), codes.end(), stream[starts[k] + 3]) == codes.end()) {
            out.insert(out.end(), stream.begin() + static_cast<ptrdiff_t>(starts[k]),
                       stream.begin() + static_cast<ptrdiff_t>(starts[k + 1]));
        }
    }
    return out;
}

std::vector<Received> ParseInBlocks(const Bytes& stream, size_t block) {
    Collector c;
    CMpegParser parser(&c, &ParseMpegHeader);
    for (size_t start = 0; start < stream.size(); start += block) {
        parser.Parse(stream.data() + start, std::min(block, stream.size() - start));
    }
    return c.pictures;
}

}  // namespace

TEST(MpegParserTest, LayerHeaderWithoutSequenceStartIsTheSequenceHeader) {
    // Encoded streams whose key frames carry the video object layer header (and maybe the
    // visual object and video object headers) but no visual object sequence start code.
    struct Fixture {
        const char* name;
        unsigned width, height;
    };
    for (const Fixture& f :
         {Fixture{"camsim_320x240.m4v", 320, 240}, Fixture{"camsim_640x480.m4v", 640, 480},
          Fixture{"camsim_704x576.m4v", 704, 576}}) {
        const Bytes original = ReadFixture(f.name);
        ASSERT_GT(original.size(), 10000u) << f.name;
        const std::vector<Received> reference = ParseInBlocks(original, original.size());
        ASSERT_GE(reference.size(), 60u) << f.name;
        const std::vector<Bytes> cuts = {{0xB0}, {0xB0, 0xB5}, {0xB0, 0xB5, 0x00}};
        for (const Bytes& cut : cuts) {
            const Bytes stream = Strip(original, cut);
            ASSERT_LT(stream.size(), original.size());
            for (size_t block : {stream.size(), size_t{1460}, size_t{5}}) {
                const std::vector<Received> got = ParseInBlocks(stream, block);
                const std::string how = std::string(f.name) + " without " +
                                        std::to_string(cut.size()) + " header(s), blocks of " +
                                        std::to_string(block);
                ASSERT_EQ(got.size(), reference.size()) << how;
                size_t keys = 0;
                for (size_t i = 0; i < got.size(); ++i) {
                    ASSERT_EQ(got[i].key, reference[i].key) << how << " picture " << i;
                    ASSERT_EQ(got[i].data, Strip(reference[i].data, cut)) << how << " " << i;
                    ASSERT_EQ(got[i].width, f.width) << how;
                    ASSERT_EQ(got[i].height, f.height) << how;
                    keys += got[i].key;
                }
                EXPECT_GE(keys, 2u) << how;
            }
        }
    }
}

TEST(MpegParserTest, HeadersInsideASequenceHeaderAndLoneLayerHeadersAreSplitCorrectly) {
    // A synthetic stream with every kind of header in front of key frames, cut at every byte.
    LayerOptions o;
    o.width = 176;
    o.height = 144;
    const Bytes full = SequenceHeader(o);          // B0, B5, video object, layer
    const Bytes noSequence = Strip(full, {0xB0});  // B5, video object, layer
    const Bytes layerOnly = Strip(full, {0xB0, 0xB5, 0x00});
    const Bytes stream =
        Concat({Picture(200, 1, 1), Gop(noSequence, 300, 1, 2), Gop(full, 300, 1, 3),
                Gop(layerOnly, 300, 1, 4), Gop(noSequence, 300, 1, 5), layerOnly});
    const std::vector<Received> whole = ParseInBlocks(stream, stream.size());
    ASSERT_EQ(whole.size(), 8u);
    EXPECT_EQ(whole[0].data, Concat({noSequence, Picture(300, 0, 2)}));
    EXPECT_EQ(whole[1].data, Picture(150, 1, 3));  // without the next group's headers
    EXPECT_EQ(whole[2].data, Concat({full, Picture(300, 0, 3)}));
    EXPECT_EQ(whole[4].data, Concat({layerOnly, Picture(300, 0, 4)}));
    EXPECT_EQ(whole[6].data, Concat({noSequence, Picture(300, 0, 5)}));
    EXPECT_EQ(whole[6].width, 176u);
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        Collector c;
        CMpegParser parser(&c, &ParseMpegHeader);
        parser.Parse(stream.data(), cut);
        parser.Parse(stream.data() + cut, stream.size() - cut);
        ASSERT_EQ(c.pictures.size(), whole.size()) << cut;
        for (size_t i = 0; i < whole.size(); ++i) {
            ASSERT_EQ(c.pictures[i].data, whole[i].data) << cut << " picture " << i;
        }
    }
}
