#pragma once
// CJpegParser cuts a received byte stream into whole JPEG pictures. It looks only at JPEG
// markers: start of image opens a picture, end of image closes and delivers it, and a baseline
// start-of-frame header gives the picture size. Whatever lies between pictures (multipart
// boundaries, part headers, garbage) is skipped. Markers and headers split between two blocks
// are found: the parser carries its marker state from one block to the next.
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

    unsigned Width() const { return m_width; }
    unsigned Height() const { return m_height; }
    // Bytes of the picture being collected (for tests and memory checks).
    size_t PendingSize() const { return m_picture.size(); }
    size_t DroppedPictures() const { return m_dropped; }

  private:
    // Acts on the marker byte that follows a 0xFF at position ff of the block (-1: the 0xFF was
    // the last byte of the previous block).
    void OnMarker(const uint8_t* data, size_t size, ptrdiff_t ff, size_t& pictureStart);
    void TakeFrameHeaderBytes(const uint8_t* data, size_t count);

    std::vector<uint8_t> m_picture;
    IJpegReceiver* m_receiver;
    unsigned m_width = 0;
    unsigned m_height = 0;
    size_t m_maxPictureSize;
    bool m_open = false;     // a start-of-image marker was seen and its picture not yet closed
    bool m_afterFF = false;  // the previous block ended with an unexamined 0xFF
    // Bytes 2..8 after a start-of-frame 0xFF still to come from the next block.
    uint8_t m_header[7] = {};
    size_t m_headerHave = 0;
    bool m_headerPending = false;
    size_t m_dropped = 0;
};

}  // namespace vostrel
