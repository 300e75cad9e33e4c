#include "ptz/jvc_ptz_comm.h"

#include <vector>

#include "core/log.h"
#include "http/param_protocol.h"

namespace vostrel {

namespace {

// The camera's preset position of a slot of the preset list.
std::string PositionPrefix(uint32_t slot) {
    return Utils::FormatString("camera.position(%u)", slot + 1);
}

}  // namespace

CJvcPTZComm::CJvcPTZComm(IDriver* driver, const CPtzCapabilities& caps, uint16_t channel)
    : CBasePTZComm(caps, driver, channel),
      m_http(*driver->GetDeviceInfo(), Web::CHttpClient::kUserAgent),
      m_address(driver->GetDeviceInfo()->m_address) {}

CJvcPTZComm::~CJvcPTZComm() {
    // The thread uses this class's members: it ends before they go.
    Close();
}

bool CJvcPTZComm::Open() {
    m_http.ResetCancel();
    return CBasePTZComm::Open();
}

bool CJvcPTZComm::Close() {
    const bool closed = CBasePTZComm::Close();
    // The stop cancelled the client; preset operations may still use it.
    m_http.ResetCancel();
    return closed;
}

void CJvcPTZComm::OnStopping() {
    m_http.Cancel();
}

Utils::ParamAnswer CJvcPTZComm::Exchange(const std::string& query) {
    CAutoLock hold(m_httpLock);
    return Utils::ExchangeParam(m_http, m_driver, query);
}

void CJvcPTZComm::ReportSetError(std::string_view context, const std::string& params,
                                 const std::string& errorText) {
    if (!errorText.empty()) {
        ReportError(WithContext(context, Utils::FormatString(
                                             "Cannot set parameter \"%s\" to JVC camera %s. ",
                                             params.c_str(), Address().c_str())) +
                    errorText);
    }
}

bool CJvcPTZComm::SendJvcSetCommand(const std::string& params) {
    if (params.empty()) {
        return false;
    }
    const Utils::ParamAnswer answer = Exchange(params);
    if (answer.Refused()) {
        ReportSetError(JVC_HERE, params, answer.errorText);
    }
    return answer.Accepted();
}

bool CJvcPTZComm::SendJvcGetCommand(const std::string& name, std::string& value) {
    value.clear();
    if (name.empty()) {
        return false;
    }
    const Utils::ParamAnswer answer = Exchange(name);
    if (answer.NotSent()) {
        return false;
    }
    std::string errorText = answer.errorText;
    if (answer.Accepted()) {
        value = Utils::ParamValue(name, answer.body);
        if (!value.empty()) {
            return true;
        }
        errorText = "Camera received incorrect data: " + answer.body;
    }
    if (!errorText.empty()) {
        ReportError(WithContext(JVC_HERE,
                                Utils::FormatString("Cannot receive value of parameter \"%s\" from "
                                                    "JVC camera %s. ",
                                                    name.c_str(), Address().c_str())) +
                    errorText);
    }
    return false;
}

bool CJvcPTZComm::UpdateJvcParameter(const std::string& value, const std::string& name) {
    if (name.empty() || value.empty()) {
        return false;
    }
    Utils::ParamAnswer answer;
    {
        // The read and the write go as one: no preset operation comes between them.
        CAutoLock hold(m_httpLock);
        answer = Utils::UpdateParam(m_http, m_driver, name, value);
    }
    if (answer.Refused()) {
        ReportSetError(JVC_HERE, name, answer.errorText);
    }
    return answer.Accepted();
}

void CJvcPTZComm::ReportError(const std::string& message) {
    {
        CAutoLock hold(m_errorLock);
        if (message == m_lastError) {
            return;
        }
        m_lastError = message;
    }
    if (m_driver != nullptr) {
        m_driver->DebugMessage(kLogFailure, "%s", message.c_str());
    }
}

std::string CJvcPTZComm::BuildAxisMotion(const std::string& axis, const std::string& mode,
                                         uint32_t speed) {
    if (axis.empty() || mode.empty()) {
        return {};
    }
    return Utils::FormatString("camera.motion.%s.speed=%u&camera.motion.%s.mode=%s", axis.c_str(),
                               speed, axis.c_str(), mode.c_str());
}

void CJvcPTZComm::HandleWorkItem(IWorkItem* workItem) {
    auto* item = dynamic_cast<CWorkItem*>(workItem);
    if (item == nullptr) {
        return;
    }
    try {
        switch (item->m_type) {
            case PTZ_CMD_MOVE:
                ProcessMoveCommand(*item);
                break;
            case PTZ_CMD_FOCUS:
                ProcessFocusCommand(*item);
                break;
            case PTZ_CMD_STOP:
                ProcessStopCommand(*item);
                break;
            case PTZ_CMD_CENTER:
                ProcessCenterCommand(*item);
                break;
            case PTZ_CMD_UNZOOM:
                ProcessUnzoomCommand(*item);
                break;
            default:
                Log(m_driver, kLogFailure, JVC_HERE, "unexpected command ID = %u",
                    static_cast<unsigned>(item->m_type));
                break;
        }
    } catch (...) {
        Log(m_driver, kLogFailure, JVC_HERE,
            "unexpected exception during processing command with ID = %u",
            static_cast<unsigned>(item->m_type));
    }
}

bool CJvcPTZComm::WrongType(std::string_view context, const CWorkItem& item, int32_t type) {
    if (item.m_type == type) {
        return false;
    }
    Log(m_driver, kLogFailure, context, "Invalid command type (Type=%u)",
        static_cast<unsigned>(item.m_type));
    return true;
}

void CJvcPTZComm::UnexpectedSubtype(std::string_view context, const CWorkItem& item) {
    Log(m_driver, kLogFailure, context, "Unexpected command subtype (Type=%u, Subtype=%u)",
        static_cast<unsigned>(item.m_type), static_cast<unsigned>(item.m_subtype));
}

void CJvcPTZComm::ProcessMoveCommand(const CWorkItem& item) {
    if (WrongType(JVC_HERE, item, PTZ_CMD_MOVE)) {
        return;
    }
    const uint32_t speed = m_speedScale.Convert(static_cast<uint32_t>(item.m_speed));
    const std::string panStart = "camera.motion.pan.status=start";
    const std::string tiltStart = "camera.motion.tilt.status=start";
    auto diagonal = [&](const char* pan, const char* tilt) {
        return std::vector<std::string>{
            BuildAxisMotion("pan", pan, speed) + "&" + BuildAxisMotion("tilt", tilt, speed),
            panStart, tiltStart};
    };
    std::vector<std::string> texts;
    switch (item.m_param1) {
        case kPtzLeft:
            texts = {BuildAxisMotion("pan", "left", speed), panStart};
            break;
        case kPtzRight:
            texts = {BuildAxisMotion("pan", "right", speed), panStart};
            break;
        case kPtzUp:
            texts = {BuildAxisMotion("tilt", "up", speed), tiltStart};
            break;
        case kPtzDown:
            texts = {BuildAxisMotion("tilt", "down", speed), tiltStart};
            break;
        case kPtzUpLeft:
            texts = diagonal("left", "up");
            break;
        case kPtzUpRight:
            texts = diagonal("right", "up");
            break;
        case kPtzDownLeft:
            texts = diagonal("left", "down");
            break;
        case kPtzDownRight:
            texts = diagonal("right", "down");
            break;
        case kPtzZoomIn:
            texts = {BuildAxisMotion("zoom", "in", speed), "camera.motion.zoom.status=start"};
            break;
        case kPtzZoomOut:
            texts = {BuildAxisMotion("zoom", "out", speed), "camera.motion.zoom.status=start"};
            break;
        default:
            break;
    }
    for (const std::string& text : texts) {
        if (!SendJvcSetCommand(text)) {
            break;
        }
    }
}

void CJvcPTZComm::ProcessStopCommand(const CWorkItem& item) {
    if (WrongType(JVC_HERE, item, PTZ_CMD_STOP)) {
        return;
    }
    switch (item.m_subtype) {
        case kPtzStopMoving:
            if (SendJvcSetCommand("camera.motion.pan.status=stop")) {
                SendJvcSetCommand("camera.motion.tilt.status=stop");
            }
            break;
        case kPtzStopZooming:
            SendJvcSetCommand("camera.motion.zoom.status=stop");
            break;
        case kPtzStopFocusing:
            SendJvcSetCommand("camera.focus.status=stop");
            break;
        default:
            UnexpectedSubtype(JVC_HERE, item);
            break;
    }
}

void CJvcPTZComm::ProcessFocusCommand(const CWorkItem& item) {
    if (WrongType(JVC_HERE, item, PTZ_CMD_FOCUS)) {
        return;
    }
    const char* mode = item.m_subtype == kPtzFocusFar    ? "far"
                       : item.m_subtype == kPtzFocusNear ? "near"
                                                         : nullptr;
    if (mode == nullptr) {
        UnexpectedSubtype(JVC_HERE, item);
        return;
    }
    const uint32_t speed = m_speedScale.Convert(static_cast<uint32_t>(item.m_speed));
    if (SendJvcSetCommand(std::string("camera.focus.mode=") + mode +
                          Utils::FormatString("&camera.focus.speed=%u", speed))) {
        SendJvcSetCommand("camera.focus.status=start");
    }
}

void CJvcPTZComm::ProcessCenterCommand(const CWorkItem& item) {
    if (WrongType(JVC_HERE, item, PTZ_CMD_CENTER)) {
        return;
    }
    const ipcapture::ChannelSettings record = m_driver->GetChannelRecord(m_channel);
    const uint32_t width = record.width;
    const uint32_t height = record.height;
    if (width == 0 || height == 0) {
        // The point is given in pixels of the channel's picture, whose size is known only
        // while the channel's video runs.
        ReportError(WithContext(
            JVC_HERE, Utils::FormatString("Cannot center JVC camera %s on point (%d, %d): the "
                                          "picture size of channel %u is not known (its video "
                                          "does not run)",
                                          Address().c_str(), item.m_param1, item.m_param2,
                                          static_cast<unsigned>(m_channel) + 1)));
        return;
    }
    const uint32_t x = static_cast<uint32_t>(item.m_param1);
    const uint32_t y = static_cast<uint32_t>(item.m_param2);
    std::string value;
    if (width == 640 && height == 480) {
        value = Utils::FormatString("s%u-s%u", x, y);
    } else {
        const float px = static_cast<float>(static_cast<double>(x * 100u) / width);
        const float py = static_cast<float>(static_cast<double>(y * 100u) / height);
        value = Utils::FormatString("%.2f-%.2f", static_cast<double>(px), static_cast<double>(py));
    }
    SendJvcSetCommand("camera.motion.clickoncenter=" + value);
}

void CJvcPTZComm::ProcessUnzoomCommand(const CWorkItem& item) {
    if (WrongType(JVC_HERE, item, PTZ_CMD_UNZOOM)) {
        return;
    }
    const uint32_t speed = m_speedScale.Convert(static_cast<uint32_t>(item.m_speed));
    if (!SendJvcSetCommand(Utils::FormatString("camera.motion.zoom.speed=%u", speed))) {
        return;
    }
    m_unzoomStep += 3;
    if (m_unzoomStep > 9) {
        m_unzoomStep -= 10;
    }
    UpdateJvcParameter(Utils::FormatString("0.%.2u", m_unzoomStep), "camera.motion.zoom");
}

bool CJvcPTZComm::SaveCameraPreset(uint32_t slot, const std::string&) {
    const std::string position = PositionPrefix(slot);
    std::string status;
    if (!SendJvcGetCommand(position + ".status", status)) {
        return false;
    }
    if (Utils::ToLower(status) == "registered" &&
        !SendJvcSetCommand(position + ".status=initialize")) {
        return false;
    }
    if (!SendJvcSetCommand(position + ".comment=ZELT%20Preset%20" +
                           Utils::FormatString("%.3u", slot))) {
        return false;
    }
    return SendJvcSetCommand(position + ".status=save");
}

bool CJvcPTZComm::GotoCameraPreset(uint32_t slot, const std::string&, int32_t speed) {
    const uint32_t cameraSpeed = m_speedScale.Convert(static_cast<uint32_t>(speed));
    if (!UpdateJvcParameter(Utils::FormatString("%u", cameraSpeed),
                            "camera.motion.position.speed")) {
        return false;
    }
    return SendJvcSetCommand(PositionPrefix(slot) + ".status=goto");
}

bool CJvcPTZComm::DeleteCameraPreset(uint32_t slot, const std::string&) {
    return SendJvcSetCommand(PositionPrefix(slot) + ".status=initialize");
}

}  // namespace vostrel
