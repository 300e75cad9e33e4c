#pragma once
// CMpegParser cuts an MPEG-4 visual elementary stream into pictures at the picture (video
// object plane) start codes. I-pictures are key frames and carry the latest sequence header
// in front; each key frame is checked by the run-time loaded header routine, which also
// reports the picture size; nothing is delivered until the first good key frame. A sequence
// header runs from a visual object sequence start code, or, for encoders that never send one,
// from a video object layer start code (with the visual object and video object start codes
// right in front of it), up to the next picture start code. Pictures before the first key
// frame are not delivered; the receiver hears of each one (OnPictureSkipped).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace platform {
class DynamicLibrary;
}

namespace vostrel {

class IMpegReceiver {
  public:
    // True when the host accepted the picture.
    virtual bool OnMpeg(const std::vector<uint8_t>& picture, unsigned width, unsigned height,
                        bool keyFrame) = 0;
    // A whole picture that is not delivered because no key frame has come since the start (a
    // camera's stream begins wherever its encoder is, often on predicted pictures): the
    // camera is sending video all the same.
    virtual void OnPictureSkipped() {}

  protected:
    ~IMpegReceiver() = default;
};

class CMpegParser {
  public:
    // The header routine: (bytes of a key frame with its header, length, &width, &height);
    // a result above 0 means it understood the header and wrote the size.
    using ParseHeaderFn = int (*)(const uint8_t*, uint32_t, uint32_t*, uint32_t*);

    // Received bytes that never reach a start code are dropped past this (the parser resets).
    static constexpr size_t kMaxBufferedBytes = 8u * 1024 * 1024;
    // Pictures shorter than this are never delivered.
    static constexpr size_t kMinPictureSize = 100;

    // Loads the header routine from its library.
    explicit CMpegParser(IMpegReceiver* receiver);
    // Uses the given routine (null: none) instead of loading one.
    CMpegParser(IMpegReceiver* receiver, ParseHeaderFn routine,
                size_t maxBuffered = kMaxBufferedBytes);
    virtual ~CMpegParser();

    void Parse(const uint8_t* data, size_t size);
    void Parse(const std::vector<uint8_t>& block) { Parse(block.data(), block.size()); }
    // Forgets all received bytes and waits for a key frame again; the size is kept.
    void Reset();

    bool HasHeaderRoutine() const { return m_parseHeader != nullptr; }
    unsigned Width() const { return m_width; }
    unsigned Height() const { return m_height; }
    size_t BufferedSize() const { return m_data.size(); }
    bool WaitingForKeyFrame() const { return m_waitForKey; }

  private:
    void Scan();
    // Looks for the picture start code after a sequence header that begins at headerStart,
    // from searchFrom on. Found: the header is taken and the picture becomes pending. Not
    // found: false, and the next search for this header goes on where this one stopped.
    bool TakeHeader(size_t headerStart, size_t searchFrom, size_t limit);
    void EmitPending();
    // Position of the next start code prefix 00 00 01 at or after from whose code byte lies
    // before limit; npos when none.
    size_t FindStartCode(size_t from, size_t limit) const;

    std::vector<uint8_t> m_data;
    std::vector<uint8_t> m_header;
    IMpegReceiver* m_receiver;
    std::unique_ptr<platform::DynamicLibrary> m_library;
    ParseHeaderFn m_parseHeader = nullptr;
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    bool m_keyFrame = false;
    bool m_waitForKey = true;
    // A key frame has been cut out since the start or the last Reset (whether or not it
    // passed the header check).
    bool m_keySeen = false;
    size_t m_pendingStart = 0;
    size_t m_scanPos = 0;
    // Bytes after a sequence start code already searched for its picture start code, so a
    // header waiting for its picture is not searched again from the start on every block.
    size_t m_headerSearched = 0;
    // Where a run of visual object and video object start codes began, which a video object
    // layer start code right behind makes the start of a sequence header; npos when none.
    size_t m_objectStart = static_cast<size_t>(-1);
    size_t m_maxBuffered = kMaxBufferedBytes;
};

}  // namespace vostrel
