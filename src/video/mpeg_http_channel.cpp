#include "video/mpeg_http_channel.h"

#include <algorithm>

#include "core/codes.h"
#include "http/param_protocol.h"
#include "http/text_utils.h"

namespace vostrel {

CMpegHttpChannel::CMpegHttpChannel(uint32_t channelNumber, IDriver* driver,
                                   ipcapture::IHostFrameSink* sink)
    : CCommonHttpChannel(channelNumber, driver, sink), m_parser(this) {}

CMpegHttpChannel::~CMpegHttpChannel() {
    Shutdown();
}

std::string CMpegHttpChannel::BitRateValue(unsigned quality) {
    // Quality 1..100 maps onto 64..8000 kbit/s. The product is taken as an unsigned 32-bit
    // number, so quality 0 wraps around to a rate far above any encoder's range, and qualities
    // above 100 go past it too: the encoder refuses such a rate and the stream would never
    // open, so the rate is held to what the encoder takes.
    uint32_t steps = static_cast<uint32_t>(quality - 1u) * 7936u;
    unsigned kbits = static_cast<unsigned>(static_cast<double>(steps) / 99.0 + 64.0);
    kbits = std::clamp(kbits, kMinBitRateKbits, kMaxBitRateKbits);
    return Utils::FormatString("%u000", kbits);
}

std::string CMpegHttpChannel::FrameRateValue(unsigned intervalMs) {
    if (intervalMs == 0) {
        return "1";
    }
    unsigned rate = Utils::FrameIntervalMs(intervalMs);
    if (rate > 8) {
        return Utils::FormatString("%u", rate);
    }
    return rate >= 4 ? "7.5" : "1";
}

std::string CMpegHttpChannel::IFrameIntervalValue(unsigned intervalMs, int cameraFamily) {
    unsigned rate = intervalMs != 0 ? Utils::FrameIntervalMs(intervalMs) : 0;
    unsigned step = cameraFamily == kFamilyVnV ? 30 : cameraFamily == kFamilyVnX ? 15 : 0;
    unsigned value;
    if (step != 0) {
        value = step;
        while (value < rate) {
            value += step;
        }
    } else {
        value = rate > 9 ? rate : 10;
    }
    return Utils::FormatString("%u", value);
}

unsigned CMpegHttpChannel::FrameCapacity(size_t pictureSize) {
    for (unsigned capacity : {4096u, 16384u, 32768u, 131072u}) {
        if (pictureSize <= capacity) {
            return capacity;
        }
    }
    return static_cast<unsigned>(pictureSize);
}

bool CMpegHttpChannel::OpenStream() {
    const ipcapture::ChannelSettings settings = GetSettings();
    m_parser.Reset();
    return OpenConfigured([&] { return ConfigureEncoder(settings); }, "/api/video?encode=mpeg4");
}

bool CMpegHttpChannel::ConfigureEncoder(const ipcapture::ChannelSettings& settings) {
    return SetFrameSize(2) &&
           UpdateJvcParameter(BitRateValue(settings.quality), "encode(2).bitrate") &&
           UpdateJvcParameter(FrameRateValue(settings.interval), "encode(2).framerate") &&
           UpdateJvcParameter(IFrameIntervalValue(settings.interval, m_cameraFamily),
                              "encode(2).iframeinterval") &&
           SaveEncoder(2);
}

void CMpegHttpChannel::ProcessData(const uint8_t* data, size_t size) {
    m_parser.Parse(data, size);
}

bool CMpegHttpChannel::OnMpeg(const std::vector<uint8_t>& picture, unsigned width, unsigned height,
                              bool keyFrame) {
    uint32_t fourcc = keyFrame ? ipcapture::kFourCCDivx : ipcapture::kFourCCDivi;
    return DeliverPicture(picture, fourcc, FrameCapacity(picture.size()), width, height);
}

void CMpegHttpChannel::OnPictureSkipped() {
    NoteVideoArriving();
}

}  // namespace vostrel
