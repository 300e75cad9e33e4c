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
    m_videoStandard = GetParameterInt(kParamVideoStandard);
    if (m_videoStandard == kNoIntParameter) {
        return false;
    }
    LogOpened(config, GetParameterString(kParamFirmwareVersion));
    return true;
}

bool CJvcIPCaptureDriver::CreateDigitalIO() {
    if (!m_digitalIO) {
        m_digitalIO = std::make_unique<CJvcDigitalIO>(this);
    }
    return m_digitalIO != nullptr;
}

bool CJvcIPCaptureDriver::CreatePTZHandler() {
    if (!m_ptzHandler) {
        m_ptzHandler = std::make_unique<CJvcPTZHandler>(this, static_cast<uint32_t>(m_cameraCount));
    }
    return m_ptzHandler != nullptr;
}

}  // namespace vostrel
