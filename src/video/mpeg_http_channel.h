#pragma once
// CMpegHttpChannel: the channel of an MPEG-4 elementary stream. Before each stream it sets
// the picture size, bit rate, frame rate and I-frame interval of encoder 2, saves them and
// opens the video request; key frames become "DIVX" frames and other pictures "DIVI" frames.
#include <string>
#include <vector>

#include "video/common_http_channel.h"
#include "video/mpeg_parser.h"

namespace vostrel {

class CMpegHttpChannel : public CCommonHttpChannel, public IMpegReceiver {
  public:
    CMpegHttpChannel(uint32_t channelNumber, IDriver* driver, ipcapture::IHostFrameSink* sink);
    ~CMpegHttpChannel() override;

    bool OpenStream() override;
    void ProcessData(const uint8_t* data, size_t size) override;
    bool OnMpeg(const std::vector<uint8_t>& picture, unsigned width, unsigned height,
                bool keyFrame) override;
    void OnPictureSkipped() override;

    // The bit rates encoder 2 takes, in kbit/s.
    static constexpr unsigned kMinBitRateKbits = 64;
    static constexpr unsigned kMaxBitRateKbits = 8000;

    // Encoder 2 values for the host's quality and frame interval.
    static std::string BitRateValue(unsigned quality);
    static std::string FrameRateValue(unsigned intervalMs);
    static std::string IFrameIntervalValue(unsigned intervalMs, int cameraFamily);
    // Host frame capacity for a picture: 4, 16, 32 or 128 KiB, or the exact size above that.
    static unsigned FrameCapacity(size_t pictureSize);

    const CMpegParser& Parser() const { return m_parser; }

  private:
    // The encoder writes before the video request; false when one failed.
    bool ConfigureEncoder(const ipcapture::ChannelSettings& settings);
    CMpegParser m_parser;
};

}  // namespace vostrel
