#include "ptz/jvc_ptz_handler.h"

#include <new>

#include "core/log.h"

namespace vostrel {

std::string CJvcPTZHandler::GetXMLStorageFileName() {
    std::string name = m_driver->GetParameterString(kParamPresetFileName);
    if (name.empty()) {
        Log(m_driver, kLogFailure, JVC_HERE, "PTZ handler for camera %s is not created!",
            m_driver->GetDeviceInfo()->m_address.c_str());
    }
    return name;
}

std::unique_ptr<CBasePTZControl> CJvcPTZHandler::CreateControl(uint32_t channel) {
    try {
        return std::make_unique<CJvcPTZControl>(m_driver, static_cast<int32_t>(channel));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace vostrel
