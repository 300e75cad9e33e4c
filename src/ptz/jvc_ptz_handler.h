#pragma once
// CJvcPTZHandler: the PTZ handler of a JVC camera. Its controls are JVC controls, its preset
// file is named by driver parameter 3 and its root element is "JVC".
#include <cstdint>
#include <memory>
#include <string>

#include "ptz/base_ptz_handler.h"

namespace vostrel {

class CJvcPTZHandler : public CBasePTZHandler {
  public:
    CJvcPTZHandler(IDriver* driver, uint32_t channelCount)
        : CBasePTZHandler(driver, channelCount, "JVC") {}
    ~CJvcPTZHandler() override = default;

    // Driver parameter 3; logs that the handler is not created when it is empty.
    std::string GetXMLStorageFileName() override;
    std::unique_ptr<CBasePTZControl> CreateControl(uint32_t channel) override;
};

}  // namespace vostrel
