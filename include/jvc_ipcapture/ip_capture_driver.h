#pragma once
// The driver object the host obtains from CreateIPCapture, one per camera.
#include "jvc_ipcapture/capture_io.h"
#include "jvc_ipcapture/debug_message.h"
#include "jvc_ipcapture/device_config.h"
#include "jvc_ipcapture/host_frame.h"
#include "jvc_ipcapture/ptz.h"
#include "jvc_ipcapture/video_capture.h"

namespace vostrel::ipcapture {

class IIPCaptureDriver {
  public:
    virtual ~IIPCaptureDriver() = default;
    virtual bool Open(IDebugMessageSink* hostLog, IHostFrameFactory* frameFactory,
                      IIPDeviceConfig* config) = 0;
    // Deletes the work objects; safe to call repeatedly.
    virtual void Close() = 0;
    virtual IIPVideoCapture* GetVideoCapture() = 0;
    virtual ICaptureIOApi* GetCaptureIO() = 0;
};

class IIPCaptureDriverEx : public IIPCaptureDriver {
  public:
    virtual void* GetOptionalFacilityA() = 0;  // always null
    virtual IIPPTZDriver* GetPTZDriver() = 0;
};

class IIPCaptureDriverEx2 : public IIPCaptureDriverEx {
  public:
    virtual void* GetOptionalFacilityB() = 0;  // always null
    virtual IIPVideoCaptureEx* GetVideoCaptureEx() = 0;
};

class IIPCaptureDriverEx3 : public IIPCaptureDriverEx2 {
  public:
    virtual IIPPTZDriverEx* GetPTZDriverEx() = 0;
};

}  // namespace vostrel::ipcapture
