#include "driver/ip_capture_driver.h"

#include <cstdarg>
#include <cstring>

#include "core/codes.h"
#include "driver/debug_info.h"
#include "http/text_utils.h"
#include "io/jvc_digital_io.h"
#include "ptz/jvc_ptz_handler.h"
#include "video/ip_video_capture.h"
#include "video/mjpeg_http_channel.h"
#include "video/mpeg_http_channel.h"

namespace vostrel {

namespace {

const char* OrEmpty(const char* text) {
    return text ? text : "";
}

}  // namespace

CDebugInfo::CDebugInfo(char level, const std::string& text) : m_level(level) {
    if (!text.empty()) {
        m_text = std::make_unique<char[]>(text.size() + 1);
        std::memcpy(m_text.get(), text.c_str(), text.size() + 1);
    }
}

CIPCaptureDriver::CIPCaptureDriver() = default;

CIPCaptureDriver::~CIPCaptureDriver() {
    CloseWorkObjects();
    m_parameters.clear();
}

bool CIPCaptureDriver::Open(IDebugMessageSink* hostLog, ipcapture::IHostFrameFactory* frameFactory,
                            ipcapture::IIPDeviceConfig* config) {
    // Nothing thrown here reaches the host: a host settings object that throws, or memory
    // exhausted while copying its settings, makes the open fail.
    try {
        return OpenSteps(hostLog, frameFactory, config);
    } catch (...) {
        return false;
    }
}

bool CIPCaptureDriver::OpenSteps(IDebugMessageSink* hostLog,
                                 ipcapture::IHostFrameFactory* frameFactory,
                                 ipcapture::IIPDeviceConfig* config) {
    m_hostLog = hostLog;
    m_frameFactory = frameFactory;
    if (config == nullptr) {
        return false;
    }
    ipcapture::IIPConnectionSettings* connection = config->GetConnectionSettings();
    ipcapture::IIPCameraSettings* camera = config->GetCameraSettings();
    if (connection == nullptr || camera == nullptr) {
        return false;
    }

    m_streamType = connection->GetStreamType();
    m_inputCount = camera->GetInputCount();
    m_outputCount = camera->GetOutputCount();
    m_cameraCount = camera->GetCameraCount();

    m_deviceInfo.m_address = OrEmpty(connection->GetAddress());
    m_deviceInfo.m_port = connection->GetPort();
    m_deviceInfo.m_userName = OrEmpty(connection->GetUserName());
    m_deviceInfo.m_password = OrEmpty(connection->GetPassword());
    m_deviceInfo.m_model = OrEmpty(camera->GetModelName());

    for (int index = 1;; ++index) {
        const char* value = config->GetDriverParameter(index);
        if (value == nullptr) {
            break;
        }
        m_parameters[static_cast<uint32_t>(index)] = value;
    }

    if (!ReadProductVersion("dvrcore.dll", m_coreVersion)) {
        m_coreVersion = ProductVersion{5, 12, 0, 0};
    }

    if (!CreateDigitalIO() || !CreatePTZHandler()) {
        return false;
    }
    const int cameraCount = camera->GetCameraCount();
    try {
        m_videoCapture = std::make_unique<CIPVideoCapture>(this, cameraCount);
    } catch (...) {
        // Without memory for it the driver has no video capture; the open still succeeds.
        m_videoCapture.reset();
    }
    return true;
}

void CIPCaptureDriver::CloseWorkObjects() {
    // The PTZ command threads read channel records from the video capture: they end before it
    // goes. The handler itself is deleted last, as before.
    if (m_ptzHandler) {
        m_ptzHandler->CloseControls();
    }
    m_videoCapture.reset();
    m_digitalIO.reset();
    m_ptzHandler.reset();
}

void CIPCaptureDriver::Close() {
    CloseWorkObjects();
}

ipcapture::IIPVideoCapture* CIPCaptureDriver::GetVideoCapture() {
    return m_videoCapture.get();
}

ipcapture::IIPVideoCaptureEx* CIPCaptureDriver::GetVideoCaptureEx() {
    return m_videoCapture.get();
}

ipcapture::ICaptureIOApi* CIPCaptureDriver::GetCaptureIO() {
    return m_digitalIO.get();
}

ipcapture::IIPPTZDriver* CIPCaptureDriver::GetPTZDriver() {
    return m_ptzHandler.get();
}

ipcapture::IIPPTZDriverEx* CIPCaptureDriver::GetPTZDriverEx() {
    return m_ptzHandler.get();
}

void CIPCaptureDriver::LogOpened(ipcapture::IIPDeviceConfig* config, const std::string& firmware) {
    // The line is a report only: a host settings object that throws, or exhausted memory,
    // costs the line and nothing else.
    try {
        WriteOpenedLine(config, firmware);
    } catch (...) {
    }
}

void CIPCaptureDriver::WriteOpenedLine(ipcapture::IIPDeviceConfig* config,
                                       const std::string& firmware) {
    std::string name = GetDriverName();
    if (name.empty() || config == nullptr) {
        return;
    }
    ipcapture::IIPCameraSettings* camera = config->GetCameraSettings();
    ipcapture::IIPConnectionSettings* connection = config->GetConnectionSettings();
    std::string line = Utils::FormatString("DRIVER IS OPENED (name: %s, device model: %s",
                                           name.c_str(), OrEmpty(camera->GetModelName()));
    if (!firmware.empty()) {
        line += ", FW: " + firmware;
    }
    line += Utils::FormatString(", address: %s:%u)", OrEmpty(connection->GetAddress()),
                                static_cast<unsigned>(connection->GetPort()));
    DebugMessage(kLogState, "%s", line.c_str());
}

void CIPCaptureDriver::DebugMessage(int type, const char* format, ...) {
    // Called from every thread of the module, also where an exception would end the process:
    // nothing thrown while formatting or by the host's sink goes further than here.
    std::string text;
    bool formatted = true;
    va_list args;
    va_start(args, format);
    try {
        text = Utils::FormatStringV(format, args);
    } catch (...) {
        formatted = false;
    }
    va_end(args);
    if (!formatted || type == kLogHidden) {
        return;
    }
    char level = static_cast<char>(type & 0x0F);
    if (type == kLogState && m_coreVersion.Below(5, 12)) {
        level = 2;
    }
    if (m_hostLog != nullptr) {
        try {
            CDebugInfo record(level, text);
            m_hostLog->Write(&record);
        } catch (...) {
            // The host's sink failed: the message is lost, the writer goes on.
        }
    }
}

std::string CIPCaptureDriver::GetParameterString(uint32_t index) {
    auto it = m_parameters.find(index);
    if (it == m_parameters.end() || it->second == "(none)") {
        return {};
    }
    return it->second;
}

bool CIPCaptureDriver::FindParameterInt(uint32_t index, int& value) const {
    auto it = m_parameters.find(index);
    return it != m_parameters.end() && Utils::ParseInt(it->second, value);
}

int CIPCaptureDriver::GetParameterInt(uint32_t index) {
    int value = 0;
    return FindParameterInt(index, value) ? value : kNoIntParameter;
}

ipcapture::ChannelSettings CIPCaptureDriver::GetChannelRecord(uint32_t index) {
    if (!m_videoCapture) {
        return {};
    }
    return m_videoCapture->GetChannelSettings(index);
}

ICameraChannel* CIPCaptureDriver::CreateChannel(int index, ipcapture::IHostFrameSink* sink) {
    const uint32_t number = static_cast<uint32_t>(index);
    try {
        switch (m_streamType) {
            case kStreamMjpeg:
                return new CMjpegHttpChannel(number, this, sink);
            case kStreamMpeg4:
                return new CMpegHttpChannel(number, this, sink);
            default:
                return nullptr;
        }
    } catch (...) {
        return nullptr;
    }
}

}  // namespace vostrel
