#pragma once
// IPrepositionComm: the camera side of the preset list. The list calls it synchronously, on
// the host thread that asked, under the list's own lock; the camera implementation maps the
// list's zero-based slots onto the camera's own preset numbers. Logging goes through the
// IDebugMessage part.
#include <cstdint>
#include <string>

#include "jvc_ipcapture/debug_message.h"

namespace vostrel {

class IPrepositionComm : public virtual IDebugMessage {
  public:
    ~IPrepositionComm() override = default;
    // Stores the camera's present position in the slot.
    virtual bool SaveCameraPreset(uint32_t slot, const std::string& name) = 0;
    // Moves the camera to the position stored in the slot at the host's speed.
    virtual bool GotoCameraPreset(uint32_t slot, const std::string& name, int32_t speed) = 0;
    // Frees the slot in the camera; a camera without preset storage has nothing to free.
    virtual bool DeleteCameraPreset(uint32_t /*slot*/, const std::string& /*name*/) { return true; }
};

}  // namespace vostrel
