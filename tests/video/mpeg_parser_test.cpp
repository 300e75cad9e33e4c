// The MPEG-4 parser: pictures cut at start codes, key frames with their header in front,
// waiting for a good key frame, and bounded memory.
#include <gtest/gtest.h>

#include <algorithm>

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
    std::vector<Received> pictures;
    bool accept = true;
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
        parser.Parse(stream);
        EXPECT_TRUE(c.pictures.empty());
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
