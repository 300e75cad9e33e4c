#pragma once
// CJvcIPCaptureDriver: the driver of a JVC VN-V / VN-X camera.
#include "driver/ip_capture_driver.h"

namespace vostrel {

class CJvcIPCaptureDriver : public CIPCaptureDriver {
  public:
    CJvcIPCaptureDriver() = default;
    // Closes the work objects while the whole driver still exists: their threads call it.
    ~CJvcIPCaptureDriver() override { Close(); }

    bool Open(IDebugMessageSink* hostLog, ipcapture::IHostFrameFactory* frameFactory,
              ipcapture::IIPDeviceConfig* config) override;
    std::string GetDriverName() override { return "Brennick"; }
    bool CreateDigitalIO() override;
    bool CreatePTZHandler() override;
};

}  // namespace vostrel
