#pragma once
// The digital I/O object of a JVC camera. This first form only reports the driver's pin
// counts: it starts no thread and carries out no output request.
#include "core/driver_interface.h"
#include "jvc_ipcapture/capture_io.h"

namespace vostrel {

class CJvcDigitalIO : public ipcapture::ICaptureIOApi {
  public:
    explicit CJvcDigitalIO(IDriver* driver) : m_driver(driver) {}
    ~CJvcDigitalIO() override = default;

    bool SetCallback(ipcapture::ICaptureIOCallback* callback) override;
    bool Start() override { return false; }
    bool Stop() override { return true; }
    uint32_t GetInputCount() override;
    uint32_t GetOutputCount() override;
    bool SetOutput(uint32_t, int32_t) override { return false; }

  private:
    IDriver* m_driver;
    ipcapture::ICaptureIOCallback* m_callback = nullptr;
};

}  // namespace vostrel
