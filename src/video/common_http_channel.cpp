#include "video/common_http_channel.h"

#include <algorithm>
#include <cstring>

#include "core/codes.h"
#include "core/log.h"
#include "http/param_protocol.h"
#include "http/text_utils.h"

namespace vostrel {

namespace {
const char* const kCreator = "Brennick";
// Status of an answer line that refuses a parameter to the account ("name&401 Unauthorized").
constexpr unsigned kLineUnauthorized = 401;
}  // namespace

int SizeClassOf(unsigned width, unsigned height) {
    int sizeClass = width > 400 ? 4 : 2;
    if (width < 1024 && width > 2 * height) {
        sizeClass = 3;
    }
    return sizeClass;
}

CCommonHttpChannel::CCommonHttpChannel(uint32_t channelNumber, IDriver* driver,
                                       ipcapture::IHostFrameSink* sink)
    : CBaseCameraChannel(channelNumber, driver, sink),
      m_cameraFamily(driver->GetParameterInt(kParamCameraFamily)),
      m_http(*driver->GetDeviceInfo(), Web::CHttpClient::kUserAgent) {}

CCommonHttpChannel::~CCommonHttpChannel() {
    Shutdown();
}

void CCommonHttpChannel::OnThreadStopping() {
    m_http.Cancel();
}

void CCommonHttpChannel::OnThreadStarting() {
    m_http.ResetCancel();
}

int CCommonHttpChannel::ThreadMain() {
    SetState(kChannelConnecting);
    m_settingReported = false;
    m_writesRefusedReported = false;
    while (WaitBeforeAttempt()) {
        if (OpenStream()) {
            m_refused = false;
            // An open stream is no picture: after a reported loss the camera stays lost
            // until one comes.
            SetState(m_signalLossReported ? kChannelLost : kChannelReceiving);
            SetState(ReceiveStream() ? kChannelStopped : kChannelLost);
        }
        m_http.CloseRequest();
        // Whatever ended the pass (a broken stream, a failed open), the host hears of a camera
        // that has delivered nothing for too long.
        CheckSignalLoss();
    }
    SetCameraState(false);
    return 0;
}

uint64_t CCommonHttpChannel::MsUntilSignalLoss() const {
    if (m_signalLossReported) {
        return 0;
    }
    const uint64_t threshold =
        static_cast<uint64_t>(std::max(0, m_driver->GetDeviceInfo()->m_streamTimeout));
    const uint64_t elapsed = m_lastFrameTime.ElapsedMs();
    return elapsed >= threshold ? 0 : threshold - elapsed;
}

void CCommonHttpChannel::CheckSignalLoss() {
    // A stop is no loss of signal, and the next run of the thread must still be able to
    // report one.
    if (!m_signalLossReported && !StopRequested() && MsUntilSignalLoss() == 0) {
        m_signalLossReported = true;
        ReportSignalLost();
    }
}

bool CCommonHttpChannel::WaitBeforeAttempt() {
    const CSteadyTime start;
    for (;;) {
        const uint64_t waited = start.ElapsedMs();
        if (waited >= kRetryDelayMs) {
            return true;
        }
        uint64_t wait = kRetryDelayMs - waited;
        if (!m_signalLossReported) {
            wait = std::min(wait, MsUntilSignalLoss());
        }
        if (m_stopEvent.Wait(static_cast<uint32_t>(wait))) {
            return false;
        }
        CheckSignalLoss();
    }
}

bool CCommonHttpChannel::ReceiveStream() {
    for (;;) {
        if (StopRequested() || m_refused) {
            return true;
        }
        if (m_http.ReadStream(m_block) != Web::CHttpClient::StreamRead::kData) {
            // A read interrupted by a stop is a stream ended on request.
            return StopRequested();
        }
        ProcessData(m_block.data(), m_block.size());
        // A stream that stays open but yields no picture (bytes that are no JPEG, an MPEG-4
        // stream whose key frames cannot be checked) is a lost signal too.
        CheckSignalLoss();
    }
}

bool CCommonHttpChannel::DeliverFrame(ipcapture::IHostFrame* frame) {
    bool accepted = false;
    // Once a stop is under way nothing more reaches the host: a host that stopped the channel
    // from inside its frame callback may have let its sink go when the stop returned, while
    // the rest of the block is still being parsed.
    if (StopRequested()) {
        return false;
    }
    if (m_sink != nullptr) {
        try {
            accepted = m_sink->OnFrame(frame);
        } catch (...) {
            accepted = false;
        }
    }
    if (accepted) {
        ReportFrameAccepted();
    } else {
        m_refused = true;
    }
    return accepted;
}

bool CCommonHttpChannel::DeliverPicture(const std::vector<uint8_t>& picture, uint32_t fourcc,
                                        unsigned capacity, unsigned width, unsigned height) {
    if (picture.empty() || StopRequested()) {
        return false;
    }
    // The camera delivers: whatever the host makes of the picture, the signal is there.
    m_lastFrameTime.Touch();
    if (m_signalLossReported) {
        m_signalLossReported = false;
        SetState(kChannelReceiving);
    }
    ipcapture::IHostFrameFactory* factory = m_driver->GetFrameFactory();
    if (factory == nullptr) {
        return false;
    }
    ipcapture::IHostFrame* frame = nullptr;
    try {
        frame = factory->CreateFrame(fourcc, capacity, kCreator);
    } catch (...) {
        frame = nullptr;
    }
    if (frame == nullptr) {
        return false;
    }
    bool delivered = false;
    try {
        const unsigned size = static_cast<unsigned>(picture.size());
        frame->SetWidth(width);
        frame->SetHeight(height);
        frame->SetSizeClass(SizeClassOf(width, height));
        frame->SetDataSize(size);
        frame->SetFormat(fourcc);
        frame->Prepare();
        if (uint8_t* target = frame->GetBuffer()) {
            std::memcpy(target, picture.data(), std::min(size, capacity));
            delivered = DeliverFrame(frame);
        }
    } catch (...) {
        delivered = false;
    }
    try {
        factory->ReleaseFrame(frame);
    } catch (...) {
    }
    return delivered;
}

bool CCommonHttpChannel::UpdateJvcParameter(const std::string& value, const std::string& name) {
    if (name.empty() || value.empty() || StopRequested()) {
        return false;
    }
    const Utils::ParamAnswer answer =
        Utils::UpdateParam(m_http, m_driver, name, value, [this] { return StopRequested(); });
    if (answer.Accepted()) {
        return true;
    }
    if (answer.Refused() && answer.lineStatus == kLineUnauthorized) {
        ReportWritesRefused(name, answer.errorText);
        return false;
    }
    if (answer.Refused() && !answer.errorText.empty()) {
        CResultDef result(
            kResultNotSet,
            WithContext(JVC_HERE, Utils::FormatString(
                                      "Cannot set parameter %s to JVC camera %s. ", name.c_str(),
                                      m_driver->GetDeviceInfo()->m_address.c_str()) +
                                      answer.errorText),
            kLogFailure);
        Utils::LogResult(result, m_driver);
    }
    return false;
}

void CCommonHttpChannel::ReportWritesRefused(const std::string& name, const std::string& reason) {
    m_writesRefused = true;
    if (m_writesRefusedReported) {
        return;
    }
    m_writesRefusedReported = true;
    CResultDef result(
        kResultNotSet,
        WithContext(JVC_HERE, Utils::FormatString(
                                  "JVC camera %s refuses parameter %s to this account; the "
                                  "video is opened with the camera's current settings. ",
                                  m_driver->GetDeviceInfo()->m_address.c_str(), name.c_str()) +
                                  reason),
        kLogFailure);
    Utils::LogResult(result, m_driver);
}

bool CCommonHttpChannel::SaveEncoder(unsigned encoder) {
    return !StopRequested() &&
           Utils::SendForStream(
               m_http, Utils::ParamPath(Utils::FormatString("encode(%u).status=save", encoder)),
               m_driver, 0);
}

bool CCommonHttpChannel::OpenConfigured(const std::function<bool()>& configure,
                                        const std::string& videoPath) {
    m_writesRefused = false;
    // Video needs no rights: an account that may not change the encoder still watches.
    if (!configure() && !m_writesRefused) {
        return false;
    }
    return !StopRequested() && Utils::SendForStream(m_http, videoPath, m_driver, 200);
}

void CCommonHttpChannel::ReportUnusableSetting(std::string_view where, const std::string& text) {
    if (!m_settingReported) {
        m_settingReported = true;
        Log(m_driver, kLogFailure, where, "%s", text.c_str());
    }
}

bool CCommonHttpChannel::SetFrameSize(unsigned encoder) {
    const ipcapture::ChannelSettings settings = GetSettings();
    unsigned width = settings.width;
    unsigned height = settings.height;
    if (encoder == 2 && width > 1000) {
        width /= 2;
        height /= 2;
    }
    std::string name = Utils::FrameSizeName(width, height);
    if (m_cameraFamily == kFamilyVnV) {
        if (name.empty()) {
            ReportUnusableSetting(
                JVC_HERE, Utils::FormatString("Picture size %ux%u cannot be set on JVC camera %s: "
                                              "it takes 320x240, 640x480 and 1280x960",
                                              settings.width, settings.height,
                                              m_driver->GetDeviceInfo()->m_address.c_str()));
            return false;
        }
        return UpdateJvcParameter(name, Utils::FormatString("encode(%u).framesize", encoder));
    }
    if (m_cameraFamily == kFamilyVnX) {
        std::string mode = name == "vga" ? "pattern3" : name == "qvga" ? "pattern4" : "pattern1";
        return UpdateJvcParameter(mode, "system.mode");
    }
    ReportUnusableSetting(
        JVC_HERE,
        Utils::FormatString("JVC Camera Family %d is not supported (1 or 2): the picture size of "
                            "JVC camera %s cannot be set",
                            m_cameraFamily, m_driver->GetDeviceInfo()->m_address.c_str()));
    return false;
}

}  // namespace vostrel
