#include "ptz/base_ptz_control.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "ptz/jvc_ptz_comm.h"

namespace vostrel {

using ipcapture::kPtzDone;
using ipcapture::kPtzInvalidArgument;
using ipcapture::kPtzNotQueued;
using ipcapture::kPtzPresetFailed;

namespace {

// Runs one host request. Nothing thrown (memory running out, say) may reach the host: an
// exception becomes the request's failure code.
template <typename Call>
int32_t Answer(int32_t failure, Call&& call) noexcept {
    try {
        return call();
    } catch (...) {
        return failure;
    }
}

}  // namespace

CBasePTZControl::CBasePTZControl(IDriver* driver, int32_t channel)
    : m_driver(driver), m_channel(channel), m_presets(channel) {}

CBasePTZControl::~CBasePTZControl() {
    Close();
}

void CBasePTZControl::Close() {
    if (m_comm) {
        m_comm->Close();
        m_presets.m_prepositionComm = nullptr;
        m_comm.reset();
    }
}

bool CBasePTZControl::Initialize(TSmartPtr<CXMLPrepositionReader> reader,
                                 const std::string& missingStorage) {
    m_comm = CreateComm();
    if (m_comm && m_comm->Open()) {
        m_presets.m_prepositionComm = m_comm.get();
        m_presets.m_maxCount = m_comm->Capabilities().m_maxPresets;
        if (!m_presets.SetStorage(reader)) {
            m_presets.SetMissingStorage(missingStorage);
        }
        return true;
    }
    Close();
    return false;
}

int32_t CBasePTZControl::Moved(int32_t result) {
    if (result == kPtzDone) {
        m_presets.ResetCurrentPreposition();
    }
    return result;
}

int32_t CBasePTZControl::IsPtzSupported() {
    return Answer(kPtzNotQueued, [&]() -> int32_t {
        if (!m_comm) {
            return kPtzNotQueued;
        }
        return m_comm->HasMotionCapability(this);
    });
}

int32_t CBasePTZControl::Move(int32_t direction, int32_t speed) {
    return Answer(kPtzNotQueued, [&]() -> int32_t {
        if (!m_comm) {
            return kPtzNotQueued;
        }
        if (direction == 10) {
            return kPtzInvalidArgument;
        }
        // A repeat of the move in progress at nearly its speed changes nothing; a change of
        // direction always goes to the camera.
        if (m_lastMoveSpeed != 0 && direction == m_lastMoveDirection &&
            std::llabs(static_cast<long long>(speed) - static_cast<long long>(m_lastMoveSpeed)) <=
                1) {
            return kPtzDone;
        }
        const int32_t result = m_comm->StartMove(this, direction, speed);
        if (result != kPtzDone) {
            return result;
        }
        m_presets.ResetCurrentPreposition();
        m_lastMoveSpeed = speed;
        m_lastMoveDirection = direction;
        if (direction == kPtzZoomIn || direction == kPtzZoomOut) {
            m_zoomActive = true;
        } else {
            m_moveActive = true;
        }
        return kPtzDone;
    });
}

int32_t CBasePTZControl::StopAll() {
    return Answer(kPtzNotQueued, [&]() -> int32_t {
        if (!m_comm) {
            return kPtzNotQueued;
        }
        bool allQueued = true;
        auto stop = [&](bool& active, bool (CBasePTZComm::*queue)(IIPParams*)) {
            if (active) {
                if ((m_comm.get()->*queue)(this)) {
                    active = false;
                } else {
                    allQueued = false;
                }
            }
        };
        stop(m_moveActive, &CBasePTZComm::StopMoving);
        stop(m_zoomActive, &CBasePTZComm::StopZooming);
        stop(m_irisActive, &CBasePTZComm::StopIrisChanging);
        stop(m_focusActive, &CBasePTZComm::StopFocusing);
        m_lastMoveSpeed = 0;
        return allQueued ? kPtzDone : kPtzNotQueued;
    });
}

int32_t CBasePTZControl::CenterOn(int32_t x, int32_t y, int32_t speed) {
    return Answer(kPtzNotQueued, [&]() -> int32_t {
        if (!m_comm) {
            return kPtzNotQueued;
        }
        const int32_t result = Moved(m_comm->Center(this, x, y, speed));
        m_lastMoveSpeed = 0;
        return result;
    });
}

int32_t CBasePTZControl::ZoomIn(int32_t speed) {
    return Answer(kPtzNotQueued, [&]() -> int32_t {
        if (!m_comm) {
            return kPtzNotQueued;
        }
        const int32_t result = Moved(m_comm->StartMove(this, kPtzZoomIn, speed));
        m_zoomActive = m_zoomActive || result == kPtzDone;
        return result;
    });
}

int32_t CBasePTZControl::ZoomOut(int32_t speed) {
    return Answer(kPtzNotQueued, [&]() -> int32_t {
        if (!m_comm) {
            return kPtzNotQueued;
        }
        const int32_t result = Moved(m_comm->StartMove(this, kPtzZoomOut, speed));
        m_zoomActive = m_zoomActive || result == kPtzDone;
        return result;
    });
}

int32_t CBasePTZControl::ResetZoom(int32_t speed) {
    return Answer(kPtzNotQueued, [&]() -> int32_t {
        if (!m_comm) {
            return kPtzNotQueued;
        }
        return Moved(m_comm->Unzoom(this, speed));
    });
}

int32_t CBasePTZControl::ZoomArea(int32_t a, int32_t b, int32_t c, int32_t speed) {
    return Answer(kPtzNotQueued, [&]() -> int32_t {
        if (!m_comm) {
            return kPtzNotQueued;
        }
        const int32_t result = Moved(m_comm->AreaZoom(this, a, b, c, speed));
        m_lastMoveSpeed = 0;
        return result;
    });
}

int32_t CBasePTZControl::FocusNear(int32_t speed) {
    return Answer(kPtzNotQueued, [&]() -> int32_t {
        if (!m_comm) {
            return kPtzNotQueued;
        }
        const int32_t result = Moved(m_comm->StartFocus(this, true, speed));
        m_focusActive = m_focusActive || result == kPtzDone;
        return result;
    });
}

int32_t CBasePTZControl::FocusFar(int32_t speed) {
    return Answer(kPtzNotQueued, [&]() -> int32_t {
        if (!m_comm) {
            return kPtzNotQueued;
        }
        const int32_t result = Moved(m_comm->StartFocus(this, false, speed));
        m_focusActive = m_focusActive || result == kPtzDone;
        return result;
    });
}

int32_t CBasePTZControl::IrisOpen(int32_t speed) {
    return Answer(kPtzNotQueued, [&]() -> int32_t {
        if (!m_comm) {
            return kPtzNotQueued;
        }
        const int32_t result = Moved(m_comm->StartIris(this, true, speed));
        m_irisActive = m_irisActive || result == kPtzDone;
        return result;
    });
}

int32_t CBasePTZControl::IrisClose(int32_t speed) {
    return Answer(kPtzNotQueued, [&]() -> int32_t {
        if (!m_comm) {
            return kPtzNotQueued;
        }
        const int32_t result = Moved(m_comm->StartIris(this, false, speed));
        m_irisActive = m_irisActive || result == kPtzDone;
        return result;
    });
}

int32_t CBasePTZControl::GetCapabilities(ipcapture::PtzCapabilityRecord* record) {
    return Answer(kPtzNotQueued, [&]() -> int32_t {
        if (!m_comm) {
            return kPtzNotQueued;
        }
        if (record == nullptr) {
            return kPtzInvalidArgument;
        }
        m_comm->GetCapabilities(record);
        record->maxPresets = static_cast<int32_t>(m_presets.m_maxCount);
        record->presetCount = m_presets.GetPrepositionCount();
        return kPtzDone;
    });
}

int32_t CBasePTZControl::GetPresetCount() {
    return Answer(kPtzPresetFailed, [&]() -> int32_t { return m_presets.GetPrepositionCount(); });
}

int32_t CBasePTZControl::CopyName(const std::string& name, char* buffer, uint32_t size) {
    if (buffer == nullptr || name.size() >= size) {
        return kPtzInvalidArgument;
    }
    std::memcpy(buffer, name.c_str(), name.size() + 1);
    return kPtzDone;
}

int32_t CBasePTZControl::GetPresetName(int32_t index, char* buffer, uint32_t size) {
    return Answer(kPtzPresetFailed, [&]() -> int32_t {
        std::string name;
        if (!m_presets.GetPrepositionName(static_cast<uint32_t>(index), name)) {
            return kPtzPresetFailed;
        }
        return CopyName(name, buffer, size);
    });
}

int32_t CBasePTZControl::GetCurrentPreset(char* buffer, uint32_t size) {
    return Answer(kPtzPresetFailed, [&]() -> int32_t {
        std::string name;
        if (!m_presets.GetCurrentPreposition(name)) {
            return kPtzPresetFailed;
        }
        return CopyName(name, buffer, size);
    });
}

int32_t CBasePTZControl::GotoPreset(int32_t speed, const char* name) {
    return Answer(kPtzPresetFailed, [&]() -> int32_t {
        if (name == nullptr) {
            return kPtzInvalidArgument;
        }
        if (!m_presets.GotoPreposition(name, speed)) {
            return kPtzPresetFailed;
        }
        m_lastMoveSpeed = 0;
        return kPtzDone;
    });
}

int32_t CBasePTZControl::AddPreset(const char* name) {
    return Answer(kPtzNotQueued, [&]() -> int32_t {
        if (name == nullptr) {
            return kPtzInvalidArgument;
        }
        return m_presets.AddPreposition(name);
    });
}

int32_t CBasePTZControl::DeletePreset(const char* name) {
    return Answer(kPtzPresetFailed, [&]() -> int32_t {
        if (name == nullptr) {
            return kPtzInvalidArgument;
        }
        return m_presets.DeletePreposition(name) ? kPtzDone : kPtzPresetFailed;
    });
}

std::unique_ptr<CBasePTZComm> CJvcPTZControl::CreateComm() {
    CPtzCapabilities caps;
    caps.m_pan = caps.m_tilt = caps.m_zoom = caps.m_focus = true;
    caps.m_iris = caps.m_areaZoom = false;
    caps.m_center = m_driver->GetParameterInt(kParamCenterSupported) == 1;
    caps.m_unzoom = true;
    caps.m_maxPresets = 99;
    try {
        return std::make_unique<CJvcPTZComm>(m_driver, caps, static_cast<uint16_t>(m_channel));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace vostrel
