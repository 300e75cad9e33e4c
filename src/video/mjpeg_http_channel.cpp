#include "video/mjpeg_http_channel.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
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

std::string CMjpegHttpChannel::FrameRateValue(unsigned intervalMs) {
    // The rates the camera takes, as it writes them; a negative n is one picture every |n|
    // seconds. Another value is not documented, and 0 makes the camera send one picture and
    // close, so a stream always asks for one of these.
    static const char* const kRates[] = {"30", "25", "15", "10", "7.5", "6",   "5",   "3",   "2",
                                         "1",  "-2", "-3", "-5", "-10", "-15", "-20", "-30", "-60"};
    if (intervalMs == 0) {
        // No interval given: the camera's full rate (the region models run at 30 a second).
        return kRates[0];
    }
    const double wanted = 1000.0 / intervalMs;
    const char* best = kRates[0];
    double bestDistance = 0;
    for (const char* rate : kRates) {
        const double value = std::atof(rate);
        const double perSecond = value < 0 ? -1.0 / value : value;
        // Nearest by ratio, so that slow rates are compared as fairly as fast ones.
        const double distance = std::fabs(std::log(perSecond / wanted));
        if (rate == kRates[0] || distance < bestDistance) {
            best = rate;
            bestDistance = distance;
        }
    }
    return best;
}

std::string CMjpegHttpChannel::VideoRequestPath(unsigned intervalMs) {
    return "/api/video?encode=jpeg&framerate=" + FrameRateValue(intervalMs) + "&boundary=on";
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
