#pragma once
// CJpegParser cuts a received byte stream into whole JPEG pictures. A picture opens at a
// start-of-image marker; from there the parser walks the marker segments by their length fields
// (so bytes inside application data, comments or an embedded thumbnail are never taken for
// markers) up to a start-of-scan segment, and looks for markers only inside the entropy-coded
// data that follows it, where stuffed FF 00 pairs and restart markers belong to the data. After a
// scan, any other marker but end of image opens a further segment (the tables and scans of a
// progressive picture); end of image closes the picture and delivers it. The picture size comes
// from the start-of-frame segment of whatever coding process. Whatever lies between pictures
// (multipart boundaries, part headers, garbage) is skipped. A camera may cut a picture short
// inside its tables and go on with the next part; the declared length of the cut segment would
// then swallow the next picture's start, so bytes FF D8 FF that begin inside any segment but
// application data and comments (which may legally hold a thumbnail) start a new picture, as a
// start of image found where a marker or entropy-coded data is due does. Every state is
// carried from one block to the next, so markers and segment headers may be split between
// blocks at any byte.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vostrel {

class IJpegReceiver {
  public:
    virtual void OnJpeg(const std::vector<uint8_t>& picture, unsigned width, unsigned height) = 0;

  protected:
    ~IJpegReceiver() = default;
};

class CJpegParser {
  public:
    // A picture that grows past this without an end-of-image marker is dropped.
    static constexpr size_t kMaxPictureSize = 32u * 1024 * 1024;

    explicit CJpegParser(IJpegReceiver* receiver, size_t maxPictureSize = kMaxPictureSize)
        : m_receiver(receiver), m_maxPictureSize(maxPictureSize) {}
    virtual ~CJpegParser() = default;

    // Consumes one block; calls the receiver for each picture completed in it.
    void Parse(const uint8_t* data, size_t size);
    void Parse(const std::vector<uint8_t>& block) { Parse(block.data(), block.size()); }
    // Forgets the picture being collected and any marker state carried from the last block, so
    // a new stream is read from its first start-of-image marker. The last size is kept.
    void Reset();

    unsigned Width() const { return m_width; }
    unsigned Height() const { return m_height; }
    // Bytes of the picture being collected (for tests and memory checks).
    size_t PendingSize() const { return m_picture.size(); }
    // Pictures given up: grown past the cap, or with a segment length below 2.
    size_t DroppedPictures() const { return m_dropped; }

  private:
    enum class State : uint8_t {
        kSeek,         // between pictures: looking for 0xFF
        kSeekCode,     // between pictures, after 0xFF: start of image?
        kMarker,       // in a picture, where a marker is due (other bytes are skipped)
        kMarkerCode,   // the byte after a 0xFF where a marker is due
        kLengthHigh,   // the first byte of a segment's length
        kLengthLow,    // its second byte
        kSegment,      // the rest of a segment
        kSegmentTail,  // after a table or header segment that ended in FF or FF D8
        kEntropy,      // entropy-coded data after a start-of-scan segment
        kEntropyCode,  // the byte after a 0xFF in entropy-coded data
    };

    // Each handles the bytes of the block from pos on in its state and returns where it
    // stopped.
    size_t SeekStart(const uint8_t* data, size_t size, size_t pos);
    size_t SkipSegment(const uint8_t* data, size_t size, size_t pos);
    // Looks for FF D8 FF in data[pos, end) of a segment, continuing m_startMatch; returns the
    // position of the last FF, or end when the sequence is not complete there.
    size_t FindStartInSegment(const uint8_t* data, size_t pos, size_t end);
    // Abandons the open picture for one whose FF D8 lie just before the 0xFF at ffPos.
    void RestartPicture(size_t ffPos);
    size_t ScanEntropy(const uint8_t* data, size_t size, size_t pos);
    // Acts on a marker byte at pos of a picture (after its 0xFF); inScan: it came in
    // entropy-coded data.
    void OnMarker(const uint8_t* data, size_t pos, bool inScan);
    // Starts a picture at the start-of-image marker byte at codePos.
    void OpenPicture(size_t codePos);
    void ClosePicture(const uint8_t* data, size_t endPos);
    void DropPicture();

    std::vector<uint8_t> m_picture;
    IJpegReceiver* m_receiver;
    unsigned m_width = 0;
    unsigned m_height = 0;
    size_t m_maxPictureSize;
    State m_state = State::kSeek;
    bool m_open = false;  // a start-of-image marker was seen and its picture not yet closed
    // Where the open picture's bytes in the current block begin.
    size_t m_pictureStart = 0;
    // Position in the current block of the 0xFF in front of the marker byte being examined;
    // -1 when that 0xFF came with an earlier block.
    ptrdiff_t m_lastFF = -1;
    uint8_t m_segmentMarker = 0;
    size_t m_segmentLeft = 0;  // bytes of the segment still to come
    // How many bytes of FF D8 FF end what has been read of the segment (its length included).
    uint8_t m_startMatch = 0;
    // The first bytes of a start-of-frame segment: precision, height, width.
    uint8_t m_frame[5] = {};
    size_t m_frameHave = 0;
    size_t m_dropped = 0;
};

}  // namespace vostrel
