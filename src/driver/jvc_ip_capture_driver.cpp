#include "driver/jvc_ip_capture_driver.h"

#include "io/jvc_digital_io.h"
#include "ptz/jvc_ptz_handler.h"

namespace vostrel {

bool CJvcIPCaptureDriver::Open(IDebugMessageSink* hostLog,
                               ipcapture::IHostFrameFactory* frameFactory,
                               ipcapture::IIPDeviceConfig* config) {
    if (!CIPCaptureDriver::Open(hostLog, frameFactory, config)) {
        return false;
    }
    m_deviceInfo.m_timeout = 5000;
    m_deviceInfo.m_streamTimeout = 5000;
    // Whether the parameter is there decides, not its value: the smallest 32-bit integer is
    // a valid video standard as much as any other.
    int videoStandard = 0;
    if (!FindParameterInt(kParamVideoStandard, videoStandard)) {
        m_videoStandard = kNoIntParameter;
        return false;
    }
    m_videoStandard = videoStandard;
    std::string firmware;
    try {
        firmware = GetParameterString(kParamFirmwareVersion);
    } catch (...) {
        // Without memory for the text the line goes without it.
    }
    LogOpened(config, firmware);
    return true;
}

bool CJvcIPCaptureDriver::CreateDigitalIO() {
    if (!m_digitalIO) {
        try {
            m_digitalIO = std::make_unique<CJvcDigitalIO>(this);
        } catch (...) {
            // Memory exhausted: the object stays missing and Open fails.
        }
    }
    return m_digitalIO != nullptr;
}

bool CJvcIPCaptureDriver::CreatePTZHandler() {
    if (!m_ptzHandler) {
        try {
            m_ptzHandler =
                std::make_unique<CJvcPTZHandler>(this, static_cast<uint32_t>(m_cameraCount));
        } catch (...) {
            // Memory exhausted: the object stays missing and Open fails.
        }
    }
    return m_ptzHandler != nullptr;
}

}  // namespace vostrel
