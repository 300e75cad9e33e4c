#pragma once
// IDriver: what every work object of a driver uses to reach it (logging, the connection
// record, counts and the host's driver parameters). The driver implements it; work objects
// hold it without owning it. Callable from any thread.
#include <cstdint>
#include <string>
#include <utility>

#include "core/device_info.h"
#include "jvc_ipcapture/debug_message.h"
#include "jvc_ipcapture/host_frame.h"
#include "jvc_ipcapture/video_capture.h"

namespace vostrel {

// Driver parameter numbers handed over by the host at Open.
enum DriverParameter : uint32_t {
    kParamVideoStandard = 1,
    kParamCameraFamily = 2,
    kParamPresetFileName = 3,
    kParamCenterSupported = 4,
    kParamFirmwareVersion = 5,
};

// GetParameterInt's answer for a missing or non-integer parameter.
inline constexpr int kNoIntParameter = static_cast<int>(0x80000000u);

class IDriver : public IDebugMessage {
  public:
    ~IDriver() override = default;
    virtual std::string GetDriverName() = 0;
    virtual DEVICE_INFO* GetDeviceInfo() = 0;
    // (input count, output count)
    virtual std::pair<int, int> GetDeviceValues() = 0;
    virtual ipcapture::IHostFrameFactory* GetFrameFactory() = 0;
    virtual int GetVideoStandard() = 0;
    virtual int GetStreamType() = 0;
    virtual int GetCameraCount() = 0;
    // The parameter's text; empty when absent or exactly "(none)".
    virtual std::string GetParameterString(uint32_t index) = 0;
    // The parameter as a decimal integer; kNoIntParameter when absent or not an integer.
    virtual int GetParameterInt(uint32_t index) = 0;
    virtual ipcapture::ChannelSettings GetChannelRecord(uint32_t index) = 0;
};

}  // namespace vostrel
