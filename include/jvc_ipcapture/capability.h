#pragma once
// The host's objects for the capability query: the callback told of the outcome and the
// results object the camera's capabilities are written into. Only the named slots are called.
#include <cstdint>

namespace vostrel::ipcapture {

class ICapabilityCallback {
  public:
    virtual ~ICapabilityCallback() = default;
    virtual void Reserved1() {}
    virtual void OnSucceeded() = 0;
    virtual void OnFailed(int errorCode, const char* message) = 0;
};

class ICapabilityTextField {
  public:
    virtual ~ICapabilityTextField() = default;
    virtual void SetText(const char* text) = 0;
};

class ICapabilityProperty {
  public:
    virtual ~ICapabilityProperty() = default;
    virtual void SetText(const char* text) = 0;
    virtual void Reserved2() {}
    virtual void Reserved3() {}
    virtual void SetType(int type) = 0;
    virtual void SetName(const char* name) = 0;
    virtual void SetAttribute(int attribute) = 0;
};

class ICapabilityResolutionList {
  public:
    virtual ~ICapabilityResolutionList() = default;
    virtual void Add(const char* name, uint16_t width, uint16_t height, int intervalMs) = 0;
};

class ICapabilityIntervalList {
  public:
    virtual ~ICapabilityIntervalList() = default;
    virtual void Reserved1() {}
    virtual void Add(int intervalMs) = 0;
};

class ICapabilityResults {
  public:
    virtual ~ICapabilityResults() = default;
    virtual void SetValue(int key, int value) = 0;
    virtual void SetDeviceName(const char* name) = 0;
    // Connection fields: 1 address, 2 port, 3 user name, 4 password.
    virtual ICapabilityTextField* GetConnectionField(int index) = 0;
    virtual void Reserved4() {}
    virtual ICapabilityProperty* AddProperty(int index) = 0;
    virtual ICapabilityResolutionList* GetResolutionList() = 0;
    virtual void Reserved7() {}
    virtual ICapabilityIntervalList* GetFrameIntervalList(int which) = 0;
};

}  // namespace vostrel::ipcapture
