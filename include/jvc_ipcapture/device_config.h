#pragma once
// The host's device configuration, handed to Open. Only the named slots are called by the
// module; the Reserved slots keep the numbering of the host's interfaces.
#include <cstdint>

namespace vostrel::ipcapture {

class IIPCameraSettings {
  public:
    virtual ~IIPCameraSettings() = default;
    virtual void Reserved1() {}
    virtual const char* GetModelName() = 0;
    virtual int GetCameraCount() = 0;
    virtual void Reserved4() {}
    virtual int GetInputCount() = 0;
    virtual int GetOutputCount() = 0;
};

class IIPConnectionSettings {
  public:
    virtual ~IIPConnectionSettings() = default;
    virtual const char* GetAddress() = 0;
    virtual uint16_t GetPort() = 0;
    virtual void Reserved3() {}
    // 1 MJPEG over HTTP, 2 MPEG-4 over HTTP.
    virtual int GetStreamType() = 0;
    virtual const char* GetUserName() = 0;
    virtual const char* GetPassword() = 0;
};

class IIPDeviceConfig {
  public:
    virtual ~IIPDeviceConfig() = default;
    virtual IIPCameraSettings* GetCameraSettings() = 0;
    virtual IIPConnectionSettings* GetConnectionSettings() = 0;
    virtual void Reserved3() {}
    // Numbered driver parameter (1, 2, 3, ...); null when there is none with that index.
    virtual const char* GetDriverParameter(int index) = 0;
};

}  // namespace vostrel::ipcapture
