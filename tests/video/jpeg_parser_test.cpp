// The JPEG parser: whole pictures out of a multipart byte stream however it was cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <utility>

// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include "video/jpeg_parser.h"

using namespace vostrel;
using Bytes = std::vector<uint8_t>;

namespace {

// A small baseline JPEG as far as the parser looks: start of image, an application segment,
// a start-of-frame segment (marker `frame`) with the size, a start-of-scan segment, entropy
// bytes with stuffed 0xFF 0x00 pairs and restart markers, end of image.
Bytes MakePicture(unsigned width, unsigned height, size_t bodySize, uint8_t seed,
                  uint8_t frame = 0xC0) {
    Bytes p = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x06, 'J', 'F', 0xFF, 0xD9};
    Bytes sof = {0xFF,
                 frame,
                 0x00,
                 0x11,
                 0x08,
                 uint8_t(height >> 8),
                 uint8_t(height & 0xFF),
                 uint8_t(width >> 8),
                 uint8_t(width & 0xFF),
                 0x03,
                 1,
                 0x22,
                 0,
                 2,
                 0x11,
                 1,
                 3,
                 0x11,
                 1};
    Bytes sos = {0xFF, 0xDA, 0x00, 0x0C, 0x03, 1, 0x00, 2, 0x11, 3, 0x11, 0x00, 0x3F, 0x00};
    p.insert(p.end(), sof.begin(), sof.end());
    p.insert(p.end(), sos.begin(), sos.end());
    std::mt19937 rng(seed);
    for (size_t i = 0; i < bodySize; ++i) {
        uint8_t b = static_cast<uint8_t>(rng());
        p.push_back(b);
        if (b == 0xFF) {
            p.push_back(0x00);
        }
        if (i % 97 == 96) {
            p.push_back(0xFF);
            p.push_back(static_cast<uint8_t>(0xD0 + i / 97 % 8));
        }
    }
    p.push_back(0xFF);
    p.push_back(0xD9);
    return p;
}

struct EncodeOptions {
    bool progressive = false;
    bool jfif = true;
    unsigned restartInterval = 0;
    std::vector<std::pair<int, Bytes>> markers;  // written after the headers: (marker, payload)
};

// A real JPEG of a noisy pattern, encoded by libjpeg.
Bytes Encode(unsigned width, unsigned height, const EncodeOptions& o = {}) {
    jpeg_compress_struct cinfo;
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long outSize = 0;
    jpeg_mem_dest(&cinfo, &out, &outSize);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 90, TRUE);
    cinfo.write_JFIF_header = o.jfif ? TRUE : FALSE;
    cinfo.restart_interval = o.restartInterval;
    if (o.progressive) {
        jpeg_simple_progression(&cinfo);
    }
    jpeg_start_compress(&cinfo, TRUE);
    for (const auto& [marker, payload] : o.markers) {
        jpeg_write_marker(&cinfo, marker, payload.data(), static_cast<unsigned>(payload.size()));
    }
    std::mt19937 rng(width * 7 + height);
    Bytes row(width * 3);
    while (cinfo.next_scanline < cinfo.image_height) {
        for (unsigned x = 0; x < width; ++x) {
            uint8_t noise = static_cast<uint8_t>(rng() & 0x3F);
            row[x * 3] = static_cast<uint8_t>(x * 4 + noise);
            row[x * 3 + 1] = static_cast<uint8_t>(cinfo.next_scanline * 3 + noise);
            row[x * 3 + 2] = static_cast<uint8_t>((x ^ cinfo.next_scanline) + noise);
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    Bytes jpeg(out, out + outSize);
    jpeg_destroy_compress(&cinfo);
    std::free(out);
    return jpeg;
}

void Put16(Bytes& b, unsigned v) {
    b.push_back(static_cast<uint8_t>(v & 0xFF));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(Bytes& b, uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

// The payload of an EXIF APP1 segment (little-endian TIFF) whose second image file directory
// points at the given thumbnail JPEG, placed at the end of the payload.
Bytes ExifWithThumbnail(const Bytes& thumbnail) {
    Bytes tiff = {'I', 'I', 42, 0};
    Put32(tiff, 8);   // first directory
    Put16(tiff, 0);   // no entries
    Put32(tiff, 14);  // next directory: the thumbnail's
    Put16(tiff, 2);
    const uint32_t thumbnailOffset = 14 + 2 + 2 * 12 + 4;
    Put16(tiff, 0x0201);  // JPEGInterchangeFormat
    Put16(tiff, 4);       // LONG
    Put32(tiff, 1);
    Put32(tiff, thumbnailOffset);
    Put16(tiff, 0x0202);  // JPEGInterchangeFormatLength
    Put16(tiff, 4);
    Put32(tiff, 1);
    Put32(tiff, static_cast<uint32_t>(thumbnail.size()));
    Put32(tiff, 0);  // no further directory
    tiff.insert(tiff.end(), thumbnail.begin(), thumbnail.end());
    Bytes payload = {'E', 'x', 'i', 'f', 0, 0};
    payload.insert(payload.end(), tiff.begin(), tiff.end());
    return payload;
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

TEST(JpegParserTest, EveryStartOfFrameMarkerGivesTheSize) {
    Collector c;
    CJpegParser parser(&c);
    for (unsigned code = 0xC0; code <= 0xCF; ++code) {
        parser.Parse(MakePicture(100, 50, 60, 1));
        parser.Parse(MakePicture(code, 2 * code, 60, 2, static_cast<uint8_t>(code)));
        ASSERT_EQ(c.pictures.size(), 2u * (code - 0xBF));
        const Received& r = c.pictures.back();
        // C4 (Huffman tables), C8 and CC (arithmetic coding conditions) are no frame headers.
        const bool frame = code != 0xC4 && code != 0xC8 && code != 0xCC;
        EXPECT_EQ(r.width, frame ? code : 100u) << std::hex << code;
        EXPECT_EQ(r.height, frame ? 2 * code : 50u) << std::hex << code;
    }
}

namespace {

struct RealPicture {
    Bytes data;
    unsigned width, height;
};

bool Contains(const Bytes& b, std::initializer_list<uint8_t> pattern) {
    return std::search(b.begin(), b.end(), pattern.begin(), pattern.end()) != b.end();
}

// Pictures that a scan for markers alone gets wrong: an EXIF segment carrying a whole
// thumbnail JPEG, a comment with end-of-image and start-of-image bytes, a progressive picture
// (tables and scans after the first scan), and one with restart markers.
std::vector<RealPicture> RealPictures(unsigned w, unsigned h) {
    std::vector<RealPicture> pictures;
    EncodeOptions exif;
    exif.jfif = false;
    exif.markers = {{JPEG_APP0 + 1, ExifWithThumbnail(Encode(w / 4, h / 4))}};
    pictures.push_back({Encode(w, h, exif), w, h});
    EncodeOptions comment;
    comment.markers = {{JPEG_COM, Bytes{'a', 0xFF, 0xD9, 'b', 0xFF, 0xD8, 0xFF}}};
    pictures.push_back({Encode(w / 2, h / 2, comment), w / 2, h / 2});
    EncodeOptions progressive;
    progressive.progressive = true;
    pictures.push_back({Encode(w + 16, h + 8, progressive), w + 16, h + 8});
    EncodeOptions restart;
    restart.restartInterval = 1;
    pictures.push_back({Encode(w / 2 + 8, h, restart), w / 2 + 8, h});
    // What makes each of them hard is really there.
    EXPECT_TRUE(Contains(pictures[0].data, {0xFF, 0xE1}));
    EXPECT_TRUE(Contains(pictures[1].data, {0xFF, 0xFE, 0x00, 0x09, 'a', 0xFF, 0xD9}));
    EXPECT_TRUE(Contains(pictures[2].data, {0xFF, 0xC2}));
    EXPECT_TRUE(Contains(pictures[3].data, {0xFF, 0xD1}));
    return pictures;
}

Bytes MultipartStream(const std::vector<RealPicture>& pictures) {
    Bytes stream;
    for (const RealPicture& p : pictures) {
        Bytes h = PartHeader(p.data.size());
        stream.insert(stream.end(), h.begin(), h.end());
        stream.insert(stream.end(), p.data.begin(), p.data.end());
    }
    return stream;
}

void ExpectPictures(const Collector& c, const std::vector<RealPicture>& expected,
                    const std::string& how) {
    ASSERT_EQ(c.pictures.size(), expected.size()) << how;
    for (size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(c.pictures[i].width, expected[i].width) << how << " picture " << i;
        ASSERT_EQ(c.pictures[i].height, expected[i].height) << how << " picture " << i;
        ASSERT_EQ(c.pictures[i].data, expected[i].data) << how << " picture " << i;
    }
}

}  // namespace

TEST(JpegParserTest, EncodedPicturesWithThumbnailCommentAndProgressiveScansArriveWhole) {
    const std::vector<RealPicture> pictures = RealPictures(640, 480);
    const Bytes stream = MultipartStream(pictures);
    {
        Collector c;
        CJpegParser parser(&c);
        parser.Parse(stream);
        ExpectPictures(c, pictures, "one block");
        EXPECT_EQ(parser.PendingSize(), 0u);
    }
    for (size_t block : {1u, 2u, 3u, 1460u}) {
        Collector c;
        CJpegParser parser(&c);
        for (size_t start = 0; start < stream.size(); start += block) {
            parser.Parse(stream.data() + start, std::min(block, stream.size() - start));
        }
        ExpectPictures(c, pictures, "blocks of " + std::to_string(block));
    }
}

TEST(JpegParserTest, EveryCutOfEncodedPicturesGivesTheSamePictures) {
    const std::vector<RealPicture> pictures = RealPictures(48, 32);
    const Bytes stream = MultipartStream(pictures);
    for (size_t cut = 1; cut < stream.size(); ++cut) {
        Collector c;
        CJpegParser parser(&c);
        Feed(parser, stream, {cut});
        ExpectPictures(c, pictures, "cut at " + std::to_string(cut));
    }
    for (size_t first = 1; first < stream.size(); first += 31) {
        for (size_t second = first + 1; second < stream.size(); second += 17) {
            Collector c;
            CJpegParser parser(&c);
            Feed(parser, stream, {first, second});
            ExpectPictures(c, pictures, std::to_string(first) + "," + std::to_string(second));
        }
    }
}

TEST(JpegParserTest, FillBytesBadSegmentsAndLostEndsAreSurvived) {
    Bytes a = MakePicture(320, 240, 300, 10);
    Bytes b = MakePicture(640, 480, 300, 11);
    // Fill bytes in front of the start-of-scan and the end-of-image markers.
    Bytes filled = a;
    const uint8_t startOfScan[] = {0xFF, 0xDA};
    auto sos =
        std::search(filled.begin(), filled.end(), std::begin(startOfScan), std::end(startOfScan));
    ASSERT_NE(sos, filled.end());
    filled.insert(sos, {0xFF, 0xFF, 0xFF});
    filled.insert(filled.end() - 2, {0xFF, 0xFF});
    // A segment length of 1: the picture cannot be walked and is given up.
    Bytes badLength = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x01, 0xFF, 0xD9};
    // A picture that loses its end in the entropy data and runs into the next picture.
    Bytes cutOff(a.begin(), a.end() - 100);
    Bytes stream = filled;
    for (const Bytes* part : {&badLength, &cutOff, &b}) {
        stream.insert(stream.end(), part->begin(), part->end());
    }
    Collector c;
    CJpegParser parser(&c);
    parser.Parse(stream);
    ASSERT_EQ(c.pictures.size(), 2u);
    EXPECT_EQ(c.pictures[0].data, filled);
    EXPECT_EQ(c.pictures[1].data, b);
    EXPECT_EQ(c.pictures[1].width, 640u);
    EXPECT_EQ(parser.DroppedPictures(), 1u);
}

TEST(JpegParserTest, ResetForgetsThePartialPictureAndTheCarriedMarker) {
    Bytes a = MakePicture(320, 240, 500, 12);
    Bytes b = MakePicture(640, 480, 500, 13);
    Collector c;
    CJpegParser parser(&c);
    // Stopped inside the length of a segment: without the reset, the first bytes of b would be
    // taken as the rest of a's segment.
    parser.Parse(a.data(), 13);
    parser.Reset();
    EXPECT_EQ(parser.PendingSize(), 0u);
    parser.Parse(b);
    // A 0xFF at the end of the old stream does not make a start of image with a D8 that begins
    // the new one.
    parser.Parse(Bytes{'-', 0xFF});
    parser.Reset();
    parser.Parse(Bytes{0xD8, 0x01, 0x02, 0xFF, 0xD9});
    parser.Parse(a);
    ASSERT_EQ(c.pictures.size(), 2u);
    EXPECT_EQ(c.pictures[0].data, b);
    EXPECT_EQ(c.pictures[1].data, a);
    EXPECT_EQ(c.pictures[1].width, 320u);
}

namespace {

// End of the start-of-scan segment of an encoded picture: the end of its headers.
size_t HeadersEnd(const Bytes& jpeg) {
    size_t pos = 2;
    while (pos + 4 <= jpeg.size() && jpeg[pos] == 0xFF) {
        const size_t end = pos + 2 + (size_t(jpeg[pos + 2]) << 8 | jpeg[pos + 3]);
        if (jpeg[pos + 1] == 0xDA) {
            return end;
        }
        pos = end;
    }
    ADD_FAILURE() << "no start of scan";
    return 0;
}

}  // namespace

TEST(JpegParserTest, APictureCutInsideItsTablesGivesWayToTheNextPicture) {
    // No application segment: every byte of the headers belongs to tables, the frame header
    // or the scan header, or is a marker or a length field.
    EncodeOptions bare;
    bare.jfif = false;
    const Bytes cutFrom = Encode(48, 32, bare);
    const RealPicture b{Encode(64, 40), 64, 40};
    const RealPicture c{Encode(32, 24, bare), 32, 24};
    const std::vector<RealPicture> expected = {b, c};
    const size_t headers = HeadersEnd(cutFrom);
    ASSERT_GT(headers, 300u);  // quantisation and Huffman tables, frame and scan headers

    auto streamCutAt = [&](size_t cut, bool partHeaders) {
        Bytes stream;
        if (partHeaders) {
            stream = PartHeader(cutFrom.size());
        }
        stream.insert(stream.end(), cutFrom.begin(), cutFrom.begin() + cut);
        for (const RealPicture* p : {&b, &c}) {
            if (partHeaders) {
                Bytes h = PartHeader(p->data.size());
                stream.insert(stream.end(), h.begin(), h.end());
            }
            stream.insert(stream.end(), p->data.begin(), p->data.end());
        }
        return stream;
    };

    // Cut after every byte of the headers, the next part following with or without its part
    // headers (without them, the next start of image may land in a segment's length field).
    for (size_t cut = 2; cut <= headers; ++cut) {
        for (bool partHeaders : {true, false}) {
            const Bytes stream = streamCutAt(cut, partHeaders);
            const std::string how = "cut at " + std::to_string(cut) +
                                    (partHeaders ? " with" : " without") + " part headers";
            {
                Collector got;
                CJpegParser parser(&got);
                parser.Parse(stream);
                ExpectPictures(got, expected, how + ", one block");
                EXPECT_EQ(parser.PendingSize(), 0u) << how;
            }
            Collector got;
            CJpegParser parser(&got);
            for (uint8_t byte : stream) {
                parser.Parse(&byte, 1);
            }
            ExpectPictures(got, expected, how + ", byte by byte");
        }
    }

    // A cut in the quantisation tables, in the Huffman tables and in the frame header, each
    // stream split into two blocks at every byte.
    const uint8_t quantisation[] = {0xFF, 0xDB}, huffman[] = {0xFF, 0xC4}, frame[] = {0xFF, 0xC0};
    for (const uint8_t* marker : {quantisation, huffman, frame}) {
        const auto at = std::search(cutFrom.begin(), cutFrom.end(), marker, marker + 2);
        ASSERT_NE(at, cutFrom.end());
        const size_t cut = static_cast<size_t>(at - cutFrom.begin()) + 9;
        const Bytes stream = streamCutAt(cut, true);
        for (size_t split = 1; split < stream.size(); ++split) {
            Collector got;
            CJpegParser parser(&got);
            Feed(parser, stream, {split});
            ExpectPictures(got, expected,
                           "cut at " + std::to_string(cut) + ", split at " + std::to_string(split));
        }
    }
}
