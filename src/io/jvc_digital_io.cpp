#include "io/jvc_digital_io.h"

namespace vostrel {

bool CJvcDigitalIO::SetCallback(ipcapture::ICaptureIOCallback* callback) {
    if (callback == nullptr) {
        return false;
    }
    m_callback = callback;
    return true;
}

uint32_t CJvcDigitalIO::GetInputCount() {
    return static_cast<uint32_t>(m_driver->GetDeviceValues().first);
}

uint32_t CJvcDigitalIO::GetOutputCount() {
    return static_cast<uint32_t>(m_driver->GetDeviceValues().second);
}

}  // namespace vostrel
