#include "properties/jvc_camera_properties.h"

#include <cstdio>

#include "core/codes.h"
#include "core/driver_interface.h"
#include "http/param_protocol.h"
#include "http/text_utils.h"

namespace vostrel {

namespace {

constexpr int kQueryFailed = 3;
constexpr int kMaxPins = 15;

// Characters taken out of the vendor and the MAC address before they make a file name.
constexpr const char* kFileNameUnsafe = "\\/:*?\"<>!' -";

std::string Value(const std::string& name, const std::string& body) {
    return Utils::ParamValue(name, body);
}

// A named property of the results object. An empty value is written as "(none)".
void AddNamedProperty(ipcapture::ICapabilityResults* results, int index, const char* name, int type,
                      const std::string& value) {
    if (name == nullptr || *name == '\0') {
        return;
    }
    ipcapture::ICapabilityProperty* property = results->AddProperty(index);
    if (property == nullptr) {
        return;
    }
    property->SetName(name);
    property->SetAttribute(0);
    property->SetType(type);
    property->SetText(value.empty() ? "(none)" : value.c_str());
}

}  // namespace

CJvcCameraProperties::CJvcCameraProperties(const DEVICE_INFO& info, const int32_t* videoStandard)
    : CCameraPropertiesEx(info, videoStandard),
      m_http(m_deviceInfo, Web::CHttpClient::kUserAgent) {}

void CJvcCameraProperties::Abort() {
    CCameraPropertiesEx::Abort();
    m_http.Cancel();
}

CJvcCameraProperties::Read CJvcCameraProperties::ReadParams(const std::string& path,
                                                            std::string& body) {
    // Nothing is logged: the outcome of a query reaches the host through its callback.
    CResultDef result;
    Utils::SendRequestWrapper(body, m_http, result, path, true, 0);
    if (result.code == kResultOk) {
        return Read::kBody;
    }
    // An empty body is an answer (the camera lacks what was asked); a body that did not
    // arrive whole is none, whatever part of it came.
    return result.code == kResultEmptyBody && !m_http.AnswerCut() ? Read::kEmpty : Read::kFailed;
}

bool CJvcCameraProperties::IdentifyModel() {
    std::string body;
    if (ReadParams(Utils::ParamPath("system.model"), body) != Read::kBody) {
        return false;
    }
    unsigned status = 0;
    std::string errorText;
    if (!Utils::CheckResponse(body, status, errorText)) {
        return false;
    }
    const std::string model = Value("system.model", body);
    if (model.empty() ||
        (model.find("VN-V") == std::string::npos && model.find("VN-X") == std::string::npos)) {
        return false;
    }
    m_vendor = "JVC";
    m_productName = m_vendor + " " + model;
    return true;
}

bool CJvcCameraProperties::ProbeSystemMode() {
    std::string body;
    if (ReadParams(Utils::ParamPath("system.mode"), body) != Read::kBody) {
        m_family = 0;
        return false;
    }
    // Only the camera's line status matters here: a camera without the parameter answers
    // it with a 4xx line status.
    unsigned status = 0;
    std::string errorText;
    (void)Utils::CheckResponse(body, status, errorText);
    const std::string value = Value("system.mode", body);
    if (status / 100 == 2) {
        m_family = value.empty() ? kFamilyVnV : kFamilyVnX;
    } else if (status / 100 == 4) {
        m_family = kFamilyVnV;
    } else {
        m_family = 0;
        return false;
    }
    return true;
}

bool CJvcCameraProperties::CountPins(const char* nameFormat, uint32_t& count) {
    count = 0;
    for (int n = 1; n <= kMaxPins; ++n) {
        std::string body;
        if (ReadParams(Utils::ParamPath(Utils::FormatString(nameFormat, n)), body) != Read::kBody) {
            return false;
        }
        unsigned status = 0;
        std::string errorText;
        if (!Utils::CheckResponse(body, status, errorText)) {
            return true;  // the camera has n - 1 pins of this kind
        }
        ++count;
    }
    return true;
}

bool CJvcCameraProperties::CountIoPins() {
    return CountPins("peripheral.input_pin.pin(%d).status", m_inputCount) &&
           CountPins("peripheral.output_pin.pin(%d).status", m_outputCount);
}

bool CJvcCameraProperties::ProbePtz() {
    m_presetFileName.clear();
    if (m_family != kFamilyVnV) {
        return true;
    }
    std::string body;
    const Read read =
        ReadParams(Utils::ParamPath("camera.focus.mode&camera.position(0).status"
                                    "&network.interface.mac&system.software.revision(sys)"),
                   body);
    if (read == Read::kFailed) {
        return false;
    }
    unsigned status = 0;
    std::string errorText;
    if (read == Read::kEmpty || !Utils::CheckResponse(body, status, errorText)) {
        return true;  // no PTZ head
    }
    const std::string mac =
        Utils::EraseChars(Value("network.interface.mac", body), kFileNameUnsafe);
    const std::string sys = Value("system.software.revision(sys)", body);
    const std::string vendor = Utils::EraseChars(m_vendor, kFileNameUnsafe);
    if (!vendor.empty() && !mac.empty()) {
        m_presetFileName = vendor + "_" + mac + ".preset";
        m_centerSupported = IsCenterSupported(sys);
        m_ptzSupported = true;
    }
    return true;
}

bool CJvcCameraProperties::IsCenterSupported(const std::string& sysRevision) const {
    const std::string product = Utils::ToLower(m_productName);
    const size_t at = product.find("vn-v686");
    if (at == std::string::npos || product.find('b', at) != std::string::npos) {
        return true;
    }
    std::string revision = sysRevision;
    if (const size_t dot = revision.find('.'); dot != std::string::npos) {
        revision[dot] = '-';
    }
    // "1.03" reads as 1 and 3; "1.10" gives the major number alone (the minor must start
    // with a zero), which counts as a later firmware.
    unsigned major = 0;
    unsigned minor = 0;
    if (std::sscanf(revision.c_str(), "%u-0%u", &major, &minor) != 2) {
        return true;
    }
    return !(major == 0 || (major == 1 && minor <= 3));
}

bool CJvcCameraProperties::ReadFirmware() {
    std::string path = Utils::ParamPath("system.software.revision");
    if (m_ptzSupported) {
        path += "(net)&system.software.revision(cam)&system.software.revision(sys)";
    }
    std::string body;
    const Read read = ReadParams(path, body);
    if (read == Read::kFailed) {
        return false;
    }
    if (read == Read::kEmpty) {
        return true;
    }
    if (!m_ptzSupported) {
        m_firmware = Value("system.software.revision", body);
        return true;
    }
    m_firmware.clear();
    const std::pair<const char*, const char*> parts[] = {
        {"system.software.revision(cam)", "cam="},
        {"system.software.revision(net)", "net="},
        {"system.software.revision(sys)", "ptz="},
    };
    for (const auto& [name, label] : parts) {
        const std::string value = Value(name, body);
        if (value.empty()) {
            continue;
        }
        if (!m_firmware.empty()) {
            m_firmware += ", ";
        }
        m_firmware += label;
        m_firmware += value;
    }
    return true;
}

void CJvcCameraProperties::AddResolution(const std::string& name, uint32_t maxRate) {
    if (name.empty() || maxRate == 0) {
        return;
    }
    const auto [width, height] = Utils::FrameSizeFromName(name);
    if (width == 0 || height == 0) {
        return;
    }
    ResolutionRecord record;
    record.m_width = width;
    record.m_height = height;
    const uint32_t interval = Utils::FrameIntervalMs(maxRate);
    if (interval >= maxRate) {
        record.m_intervals.push_back(interval);
    }
    for (const ResolutionRecord& known : m_resolutions) {
        if (known.m_width == width && known.m_height == height) {
            return;
        }
    }
    m_resolutions.push_back(std::move(record));
}

bool CJvcCameraProperties::Query(int* errorCode) {
    auto fail = [errorCode] {
        if (errorCode != nullptr) {
            *errorCode = kQueryFailed;
        }
        return false;
    };
    if (!IdentifyModel()) {
        return fail();
    }
    // An abort skips the remaining probes and fails the query: what was found so far is not
    // a camera's whole description.
    for (bool (CJvcCameraProperties::*probe)() :
         {&CJvcCameraProperties::ProbeSystemMode, &CJvcCameraProperties::CountIoPins,
          &CJvcCameraProperties::ProbePtz, &CJvcCameraProperties::ReadFirmware}) {
        if (IsAborted() || !(this->*probe)()) {
            return fail();
        }
    }
    if (IsAborted()) {
        return fail();
    }

    m_valueKey0 = 1;
    m_codecs.push_back(kCodecCode4);
    m_codecs.push_back(kCodecCode1);

    m_frameRates.clear();
    if (m_family == kFamilyVnV) {
        m_frameRates.insert({25, 30});
    } else if (m_family != kFamilyVnX) {
        return fail();
    }
    m_frameRates.insert({15, 10, 8, 6, 5, 3, 2, 1});

    const uint32_t maxRate = m_frameRates.empty() ? 0 : *m_frameRates.rbegin();
    const size_t before = m_resolutions.size();
    if (m_family == kFamilyVnX) {
        AddResolution("quadvga", maxRate);
    }
    AddResolution("qvga", maxRate);
    AddResolution("vga", maxRate);
    if (m_resolutions.size() == before) {
        return fail();
    }
    return true;
}

bool CJvcCameraProperties::Save(ipcapture::ICapabilityResults* results) {
    if (m_family == 0 || m_frameRates.empty() || results == nullptr) {
        return false;
    }
    if (ipcapture::ICapabilityIntervalList* intervals = results->GetFrameIntervalList(1)) {
        // Ascending frame rates: the longest interval first.
        for (const uint32_t rate : m_frameRates) {
            if (rate > 0) {
                intervals->Add(static_cast<int>(Utils::FrameIntervalMs(rate)));
            }
        }
    }
    if (!CCameraPropertiesEx::Save(results)) {
        return false;
    }
    AddNamedProperty(results, kParamVideoStandard, "Video Standard", 0,
                     Utils::FormatString("%u", static_cast<unsigned>(m_videoStandard)));
    AddNamedProperty(results, kParamCameraFamily, "JVC Camera Family", 0,
                     Utils::FormatString("%u", static_cast<unsigned>(m_family)));
    AddNamedProperty(results, kParamPresetFileName, "File Name of Preset XML Storage", 1,
                     m_presetFileName);
    AddNamedProperty(results, kParamCenterSupported, "Center PTZ Command Supported", 0,
                     m_centerSupported ? "1" : "0");
    AddNamedProperty(results, kParamFirmwareVersion, "Firmware Version", 1, m_firmware);
    return true;
}

}  // namespace vostrel
