// The JPEG parser: whole pictures out of a multipart byte stream however it was cut.
#include <gtest/gtest.h>

#include <random>

#include "video/jpeg_parser.h"

using namespace vostrel;
using Bytes = std::vector<uint8_t>;

namespace {

// A minimal baseline JPEG: start of image, a start-of-frame header with the size, entropy
// bytes with stuffed 0xFF 0x00 pairs, end of image.
Bytes MakePicture(unsigned width, unsigned height, size_t bodySize, uint8_t seed) {
    Bytes p = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 'J', 'F'};
    Bytes sof = {0xFF,
                 0xC0,
                 0x00,
                 0x11,
                 0x08,
                 uint8_t(height >> 8),
                 uint8_t(height & 0xFF),
                 uint8_t(width >> 8),
                 uint8_t(width & 0xFF),
                 0x03};
    p.insert(p.end(), sof.begin(), sof.end());
    std::mt19937 rng(seed);
    for (size_t i = 0; i < bodySize; ++i) {
        uint8_t b = static_cast<uint8_t>(rng());
        p.push_back(b);
        if (b == 0xFF) {
            p.push_back(0x00);
        }
    }
    p.push_back(0xFF);
    p.push_back(0xD9);
    return p;
}

Bytes PartHeader(size_t length) {
    std::string h = "\r\n--myboundary\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                    std::to_string(length) + "\r\n\r\n";
    return Bytes(h.begin(), h.end());
}

struct Received {
    Bytes data;
    unsigned width, height;
};

class Collector : public IJpegReceiver {
  public:
    void OnJpeg(const Bytes& picture, unsigned width, unsigned height) override {
        pictures.push_back({picture, width, height});
    }
    std::vector<Received> pictures;
};

void Feed(CJpegParser& parser, const Bytes& stream, const std::vector<size_t>& cuts) {
    size_t start = 0;
    for (size_t cut : cuts) {
        parser.Parse(stream.data() + start, cut - start);
        start = cut;
    }
    parser.Parse(stream.data() + start, stream.size() - start);
}

}  // namespace

TEST(JpegParserTest, PicturesArriveWholeInOrderWithoutPartHeaders) {
    Bytes a = MakePicture(640, 480, 3000, 1);
    Bytes b = MakePicture(1280, 960, 5000, 2);
    Bytes stream = PartHeader(a.size());
    stream.insert(stream.end(), a.begin(), a.end());
    Bytes h = PartHeader(b.size());
    stream.insert(stream.end(), h.begin(), h.end());
    stream.insert(stream.end(), b.begin(), b.end());

    // Both in one block.
    Collector one;
    CJpegParser parser(&one);
    parser.Parse(stream);
    ASSERT_EQ(one.pictures.size(), 2u);
    EXPECT_EQ(one.pictures[0].data, a);
    EXPECT_EQ(one.pictures[0].width, 640u);
    EXPECT_EQ(one.pictures[0].height, 480u);
    EXPECT_EQ(one.pictures[1].data, b);
    EXPECT_EQ(one.pictures[1].width, 1280u);
    EXPECT_EQ(one.pictures[1].height, 960u);
    EXPECT_EQ(parser.PendingSize(), 0u);
}

TEST(JpegParserTest, EveryCutOfTheStreamGivesTheSamePictures) {
    Bytes a = MakePicture(704, 240, 400, 3);
    Bytes b = MakePicture(352, 288, 300, 4);
    Bytes stream = PartHeader(a.size());
    stream.insert(stream.end(), a.begin(), a.end());
    Bytes h = PartHeader(b.size());
    stream.insert(stream.end(), h.begin(), h.end());
    stream.insert(stream.end(), b.begin(), b.end());
    // Two cuts anywhere: covers markers and start-of-frame headers split between blocks,
    // a picture over three blocks, and blocks of a single byte.
    for (size_t first = 1; first < stream.size(); first += 7) {
        for (size_t second = first + 1; second < stream.size(); second += 13) {
            Collector c;
            CJpegParser parser(&c);
            Feed(parser, stream, {first, second});
            ASSERT_EQ(c.pictures.size(), 2u) << first << "," << second;
            ASSERT_EQ(c.pictures[0].data, a) << first << "," << second;
            ASSERT_EQ(c.pictures[0].width, 704u) << first << "," << second;
            ASSERT_EQ(c.pictures[1].data, b) << first << "," << second;
            ASSERT_EQ(c.pictures[1].height, 288u) << first << "," << second;
        }
    }
    // Byte by byte.
    Collector c;
    CJpegParser parser(&c);
    for (uint8_t byte : stream) {
        parser.Parse(&byte, 1);
    }
    ASSERT_EQ(c.pictures.size(), 2u);
    EXPECT_EQ(c.pictures[1].data, b);
}

TEST(JpegParserTest, JoiningMidPictureDeliversNothingUntilTheNextStart) {
    Bytes a = MakePicture(320, 240, 500, 5);
    Bytes b = MakePicture(320, 240, 500, 6);
    Bytes stream(a.begin() + 40, a.end());  // the tail of a picture, with its end marker
    Bytes h = PartHeader(b.size());
    stream.insert(stream.end(), h.begin(), h.end());
    stream.insert(stream.end(), b.begin(), b.end());
    Collector c;
    CJpegParser parser(&c);
    parser.Parse(stream);
    ASSERT_EQ(c.pictures.size(), 1u);
    EXPECT_EQ(c.pictures[0].data, b);
}

TEST(JpegParserTest, GarbageAndStrayEndMarkersBetweenPicturesAreIgnored) {
    Bytes a = MakePicture(640, 480, 800, 7);
    Bytes stream = {0xFF, 0xD9, 'x', 0xFF, 0xFF, 0x00, 0xFF};
    stream.insert(stream.end(), a.begin(), a.end());
    stream.insert(stream.end(), {0xFF, 0xD9, 0x12, 0xFF, 0xD9});
    Collector c;
    CJpegParser parser(&c);
    parser.Parse(stream);
    ASSERT_EQ(c.pictures.size(), 1u);
    EXPECT_EQ(c.pictures[0].data, a);
}

TEST(JpegParserTest, PictureWithoutEndIsDroppedAtTheCap) {
    Collector c;
    CJpegParser parser(&c, 10000);
    Bytes start = {0xFF, 0xD8};
    parser.Parse(start);
    Bytes filler(4000, 0x11);
    for (int i = 0; i < 3; ++i) {
        parser.Parse(filler);
    }
    EXPECT_EQ(parser.PendingSize(), 0u);  // dropped once it passed the cap
    EXPECT_EQ(parser.DroppedPictures(), 1u);
    parser.Parse(filler);
    EXPECT_EQ(parser.PendingSize(), 0u);  // nothing collected until a new start
    Bytes a = MakePicture(320, 240, 100, 8);
    parser.Parse(a);
    ASSERT_EQ(c.pictures.size(), 1u);
    EXPECT_EQ(c.pictures[0].data, a);
}

TEST(JpegParserTest, SizeIsKeptForPicturesWithoutAFrameHeader) {
    Bytes a = MakePicture(640, 480, 100, 9);
    Bytes bare = {0xFF, 0xD8, 0x01, 0x02, 0xFF, 0xD9};
    Collector c;
    CJpegParser parser(&c);
    parser.Parse(a);
    parser.Parse(bare);
    ASSERT_EQ(c.pictures.size(), 2u);
    EXPECT_EQ(c.pictures[1].width, 640u);
    EXPECT_EQ(c.pictures[1].height, 480u);
}
