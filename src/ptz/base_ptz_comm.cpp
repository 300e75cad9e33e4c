#include "ptz/base_ptz_comm.h"

#include <cstdarg>

#include "core/log.h"

namespace vostrel {

using ipcapture::kPtzDone;
using ipcapture::kPtzNoCapability;
using ipcapture::kPtzNotQueued;

CBasePTZComm::CBasePTZComm(const CPtzCapabilities& caps, IDriver* driver, uint16_t channel)
    : m_channel(channel), m_caps(caps), m_driver(driver) {}

CBasePTZComm::~CBasePTZComm() {
    if (m_opened) {
        Stop();
        m_opened = false;
    }
}

bool CBasePTZComm::Open() {
    if (!m_opened) {
        m_opened = Start(Utils::FormatString("BaseIPPTZThread_Ch%u", m_channel + 1u));
    }
    if (!m_opened) {
        Log(m_driver, kLogFailure, JVC_HERE, "unable to start thread for PTZ channel %u",
            m_channel + 1u);
    }
    return m_opened;
}

bool CBasePTZComm::Close() {
    if (!m_opened) {
        return false;
    }
    FinishKeptItems(kCloseDrainMs);
    Stop();
    m_opened = false;
    return true;
}

namespace {

const CBasePTZComm::CWorkItem* AsStop(const thread::CWorkItemThread::IWorkItem& item) {
    const auto* command = dynamic_cast<const CBasePTZComm::CWorkItem*>(&item);
    return command != nullptr && command->m_type == PTZ_CMD_STOP ? command : nullptr;
}

}  // namespace

bool CBasePTZComm::MustKeep(const IWorkItem& item) const {
    return AsStop(item) != nullptr;
}

bool CBasePTZComm::Repeats(const IWorkItem& newer, const IWorkItem& older) const {
    const CWorkItem* a = AsStop(newer);
    const CWorkItem* b = AsStop(older);
    return a != nullptr && b != nullptr && a->m_subtype == b->m_subtype;
}

int32_t CBasePTZComm::HasMotionCapability(IIPParams*) {
    return m_caps.m_pan || m_caps.m_tilt || m_caps.m_zoom || m_caps.m_focus || m_caps.m_iris ? 1
                                                                                             : 0;
}

int32_t CBasePTZComm::GetCapabilities(ipcapture::PtzCapabilityRecord* record) {
    if (record != nullptr) {
        record->reserved7 = 0;
        record->maxPresets = 0;
        record->presetCount = 0;
        record->reserved10 = 0;
        record->reserved11 = 0;
        record->pan = m_caps.m_pan ? 1 : 0;
        record->tilt = m_caps.m_tilt ? 1 : 0;
        record->zoom = m_caps.m_zoom ? 1 : 0;
        record->focus = m_caps.m_focus ? 1 : 0;
        record->iris = m_caps.m_iris ? 1 : 0;
        record->maxPresets = static_cast<int32_t>(m_caps.m_maxPresets);
        record->areaZoom = m_caps.m_areaZoom ? 1 : 0;
        record->center = m_caps.m_center ? 1 : 0;
        record->unzoom = m_caps.m_unzoom ? 1 : 0;
    }
    m_logCounter = 0;
    return 1;
}

int32_t CBasePTZComm::PostCommand(std::string_view context, int32_t type, int32_t subtype,
                                  IIPParams* params, int32_t speed, int32_t param1, int32_t param2,
                                  int32_t param3) {
    auto item = std::make_unique<CWorkItem>(type, subtype, params, speed, param1, param2, param3);
    if (!PostWorkItem(std::move(item), kMaxQueued)) {
        Log(m_driver, kLogFailure, context, "cannot send message (%d) to thread", type);
        return kPtzNotQueued;
    }
    return kPtzDone;
}

int32_t CBasePTZComm::StartMove(IIPParams* context, int32_t direction, int32_t speed) {
    const bool zoom = direction == kPtzZoomIn || direction == kPtzZoomOut;
    if (zoom ? !m_caps.m_zoom : !(m_caps.m_pan || m_caps.m_tilt)) {
        return kPtzNoCapability;
    }
    return PostCommand(JVC_HERE, PTZ_CMD_MOVE, 0, context, speed, direction);
}

int32_t CBasePTZComm::StartFocus(IIPParams* context, bool nearFocus, int32_t speed) {
    if (!m_caps.m_focus) {
        return kPtzNoCapability;
    }
    return PostCommand(JVC_HERE, PTZ_CMD_FOCUS, nearFocus ? kPtzFocusNear : kPtzFocusFar, context,
                       speed);
}

int32_t CBasePTZComm::StartIris(IIPParams* context, bool open, int32_t speed) {
    if (!m_caps.m_iris) {
        return kPtzNoCapability;
    }
    return PostCommand(JVC_HERE, PTZ_CMD_IRIS, open ? kPtzIrisOpen : kPtzIrisClose, context, speed);
}

bool CBasePTZComm::StopMoving(IIPParams* context) {
    return PostCommand(JVC_HERE, PTZ_CMD_STOP, kPtzStopMoving, context, 0) == kPtzDone;
}

bool CBasePTZComm::StopZooming(IIPParams* context) {
    return PostCommand(JVC_HERE, PTZ_CMD_STOP, kPtzStopZooming, context, 0) == kPtzDone;
}

bool CBasePTZComm::StopFocusing(IIPParams* context) {
    return PostCommand(JVC_HERE, PTZ_CMD_STOP, kPtzStopFocusing, context, 0) == kPtzDone;
}

bool CBasePTZComm::StopIrisChanging(IIPParams* context) {
    return PostCommand(JVC_HERE, PTZ_CMD_STOP, kPtzStopIris, context, 0) == kPtzDone;
}

int32_t CBasePTZComm::AreaZoom(IIPParams* context, int32_t a, int32_t b, int32_t c, int32_t speed) {
    if (!m_caps.m_areaZoom) {
        return kPtzNoCapability;
    }
    return PostCommand(JVC_HERE, PTZ_CMD_AREA_ZOOM, 0, context, speed, a, b, c);
}

int32_t CBasePTZComm::Center(IIPParams* context, int32_t x, int32_t y, int32_t speed) {
    if (!m_caps.m_center) {
        return kPtzNoCapability;
    }
    return PostCommand(JVC_HERE, PTZ_CMD_CENTER, 0, context, speed, x, y);
}

int32_t CBasePTZComm::Unzoom(IIPParams* context, int32_t speed) {
    if (!m_caps.m_unzoom) {
        return kPtzNoCapability;
    }
    return PostCommand(JVC_HERE, PTZ_CMD_UNZOOM, 0, context, speed);
}

void CBasePTZComm::DebugMessage(int type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string text = Utils::FormatStringV(format, args);
    va_end(args);
    if (m_driver != nullptr) {
        m_driver->DebugMessage(type, "%s", text.c_str());
    }
}

}  // namespace vostrel
