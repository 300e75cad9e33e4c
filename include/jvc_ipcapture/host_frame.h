#pragma once
// The host's video objects: frame factory and frames, frame sink and video settings.
#include <cstdint>

namespace vostrel::ipcapture {

// Four ASCII characters stored little-endian in 32 bits.
constexpr uint32_t MakeFourCC(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
           (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8) |
           (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24);
}
constexpr uint32_t kFourCCJpeg = MakeFourCC('J', 'P', 'E', 'G');
constexpr uint32_t kFourCCDivx = MakeFourCC('D', 'I', 'V', 'X');  // MPEG-4 key frame
constexpr uint32_t kFourCCDivi = MakeFourCC('D', 'I', 'V', 'I');  // other MPEG-4 picture

class IHostFrame {
  public:
    virtual ~IHostFrame() = default;
    virtual void Reserved1() {}
    // At least as many writable bytes as the capacity the frame was created with.
    virtual uint8_t* GetBuffer() = 0;
    virtual void Reserved3() {}
    virtual void SetDataSize(unsigned size) = 0;
    // Called after the descriptive fields are set and before the data are copied.
    virtual int Prepare() = 0;
    virtual void Reserved6() {}
    virtual void Reserved7() {}
    virtual void Reserved8() {}
    virtual void Reserved9() {}
    virtual void SetFormat(uint32_t fourcc) = 0;
    virtual void Reserved11() {}
    virtual void SetHeight(unsigned height) = 0;
    virtual void Reserved13() {}
    virtual void SetWidth(unsigned width) = 0;
    virtual void Reserved15() {}
    virtual void SetSizeClass(int sizeClass) = 0;
};

class IHostFrameFactory {
  public:
    virtual ~IHostFrameFactory() = default;
    virtual void Reserved1() {}
    virtual IHostFrame* CreateFrame(uint32_t fourcc, unsigned capacity, const char* creator) = 0;
    virtual void Reserved3() {}
    virtual void Reserved4() {}
    virtual void Reserved5() {}
    virtual void ReleaseFrame(IHostFrame* frame) = 0;
};

// Where a channel delivers its frames; called on the channel's thread.
class IHostFrameSink {
  public:
    virtual ~IHostFrameSink() = default;
    // True when the host accepted the frame.
    virtual bool OnFrame(IHostFrame* frame) = 0;
    virtual void Reserved2() {}
    virtual void OnSignalLost() = 0;
};

class IHostSize {
  public:
    virtual ~IHostSize() = default;
    virtual uint16_t GetWidth() = 0;
    virtual uint16_t GetHeight() = 0;
};

class IHostPicture {
  public:
    virtual ~IHostPicture() = default;
    virtual void Reserved1() {}
    virtual void Reserved2() {}
    virtual IHostSize* GetSize() = 0;
};

class IHostEncoding {
  public:
    virtual ~IHostEncoding() = default;
    // Frame interval in milliseconds (0: none given).
    virtual uint16_t GetFrameInterval() = 0;
    virtual void Reserved2() {}
    // Picture quality 1 to 100.
    virtual uint16_t GetQuality() = 0;
    // Nonzero when a companion object is to be created with the channel.
    virtual int WantsCompanion() = 0;
};

class IHostVideoSettings {
  public:
    virtual ~IHostVideoSettings() = default;
    virtual IHostPicture* GetPicture() = 0;
    virtual IHostEncoding* GetEncoding() = 0;
};

}  // namespace vostrel::ipcapture
