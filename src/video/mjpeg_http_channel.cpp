#include "video/mjpeg_http_channel.h"

#include <algorithm>
#include <array>
#include <map>

#include "core/log.h"
#include "http/param_protocol.h"
#include "http/text_utils.h"

namespace vostrel {

namespace {

// JPEG target sizes in kilobytes by picture width, ascending.
const std::map<unsigned, std::array<unsigned, 7>>& QualityTable() {
    static const auto table = [] {
        std::map<unsigned, std::array<unsigned, 7>> t = {
            {320, {5, 7, 8, 10, 13, 20, 27}},
            {640, {15, 20, 25, 30, 40, 60, 80}},
            {1280, {60, 80, 100, 120, 140, 160, 180}},
        };
        for (auto& [width, values] : t) {
            std::sort(values.begin(), values.end());
        }
        return t;
    }();
    return table;
}

}  // namespace

CMjpegHttpChannel::CMjpegHttpChannel(uint32_t channelNumber, IDriver* driver,
                                     ipcapture::IHostFrameSink* sink)
    : CCommonHttpChannel(channelNumber, driver, sink), m_parser(this) {}

CMjpegHttpChannel::~CMjpegHttpChannel() {
    Shutdown();
}

std::string CMjpegHttpChannel::QualityValue(unsigned width, unsigned quality) {
    auto row = QualityTable().find(width);
    if (row == QualityTable().end() || quality == 0) {
        return {};
    }
    unsigned index = std::min((quality - 1) * 7 / 99, 6u);
    return Utils::FormatString("%uk", row->second[index]);
}

std::string CMjpegHttpChannel::VideoRequestPath(unsigned intervalMs) {
    unsigned rate = intervalMs != 0 ? Utils::FrameIntervalMs(intervalMs) : 0;
    return Utils::FormatString("/api/video?encode=jpeg&framerate=%u&boundary=on", rate);
}

bool CMjpegHttpChannel::OpenStream() {
    // A picture cut off at the end of the last stream must not be completed with the first
    // bytes of the next one.
    m_parser.Reset();
    const ipcapture::ChannelSettings settings = GetSettings();
    const std::string_view where = JVC_HERE;
    return OpenConfigured([&] { return ConfigureEncoder(settings, where); },
                          VideoRequestPath(settings.interval));
}

bool CMjpegHttpChannel::ConfigureEncoder(const ipcapture::ChannelSettings& settings,
                                         std::string_view where) {
    if (!SetFrameSize(1) || !UpdateJvcParameter("vfs", "encode(1).cbr_mode")) {
        return false;
    }
    const std::string quality = QualityValue(settings.width, settings.quality);
    if (quality.empty()) {
        ReportUnusableSetting(
            where, settings.quality == 0
                       ? Utils::FormatString("JPEG quality 0 is outside 1..100 for JVC camera %s",
                                             m_driver->GetDeviceInfo()->m_address.c_str())
                       : Utils::FormatString(
                             "No JPEG quality for a picture width of %u on JVC camera "
                             "%s: the widths are 320, 640 and 1280",
                             settings.width, m_driver->GetDeviceInfo()->m_address.c_str()));
        return false;
    }
    return UpdateJvcParameter(quality, "encode(1).quality") && SaveEncoder(1);
}

void CMjpegHttpChannel::ProcessData(const uint8_t* data, size_t size) {
    m_parser.Parse(data, size);
}

void CMjpegHttpChannel::OnJpeg(const std::vector<uint8_t>& picture, unsigned width,
                               unsigned height) {
    DeliverPicture(picture, ipcapture::kFourCCJpeg, static_cast<unsigned>(picture.size()), width,
                   height);
}

}  // namespace vostrel
