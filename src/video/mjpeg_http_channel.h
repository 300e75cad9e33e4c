#pragma once
// CMjpegHttpChannel: the channel of a multipart JPEG stream. Before each stream it sets the
// picture size, constant-bit-rate mode and quality of encoder 1, saves them and opens the
// video request; each complete picture becomes a "JPEG" frame for the host.
#include <string>
#include <string_view>
#include <vector>

#include "video/common_http_channel.h"
#include "video/jpeg_parser.h"

namespace vostrel {

class CMjpegHttpChannel : public CCommonHttpChannel, public IJpegReceiver {
  public:
    CMjpegHttpChannel(uint32_t channelNumber, IDriver* driver, ipcapture::IHostFrameSink* sink);
    ~CMjpegHttpChannel() override;

    bool OpenStream() override;
    void ProcessData(const uint8_t* data, size_t size) override;
    void OnJpeg(const std::vector<uint8_t>& picture, unsigned width, unsigned height) override;

    // The encoder quality value for a picture width and host quality 1..100 ("80k");
    // empty when the width has no quality row or the quality is 0.
    static std::string QualityValue(unsigned width, unsigned quality);
    // The frame rate the camera is asked for, for a frame interval in milliseconds: the
    // nearest rate the camera takes, as it writes it ("7.5", "-5"); "30", the full rate, for 0
    // (no interval given).
    static std::string FrameRateValue(unsigned intervalMs);
    // The video request path for a frame interval in milliseconds.
    static std::string VideoRequestPath(unsigned intervalMs);

    const CJpegParser& Parser() const { return m_parser; }

  private:
    // The encoder writes before the video request; false when one failed. An unusable
    // quality is reported under where (the open's context).
    bool ConfigureEncoder(const ipcapture::ChannelSettings& settings, std::string_view where);
    CJpegParser m_parser;
};

}  // namespace vostrel
