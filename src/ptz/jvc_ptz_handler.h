#pragma once
// The driver-side entry to PTZ. This first form knows its channel count and hands out no
// control yet.
#include <cstdint>

#include "core/driver_interface.h"
#include "jvc_ipcapture/ptz.h"

namespace vostrel {

class CJvcPTZHandler : public ipcapture::IIPPTZDriverEx {
  public:
    CJvcPTZHandler(IDriver* driver, uint32_t channelCount)
        : m_driver(driver), m_channelCount(channelCount) {}
    ~CJvcPTZHandler() override = default;

    ipcapture::IIPPTZApiEx* GetPtzApiEx(uint32_t) override { return nullptr; }
    uint32_t ChannelCount() const { return m_channelCount; }
    IDriver* Driver() const { return m_driver; }

  private:
    IDriver* m_driver;
    uint32_t m_channelCount;
};

}  // namespace vostrel
