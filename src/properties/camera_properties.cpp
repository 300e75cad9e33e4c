#include "properties/camera_properties.h"

#include "core/text.h"

namespace vostrel {

namespace {

// Result keys of ICapabilityResults::SetValue.
enum ResultKey : int {
    kKeyValue0 = 0,
    kKeyPtz = 1,
    kKeyInputs = 2,
    kKeyOutputs = 3,
    kKeyFlag4 = 4,
    kKeyFlag5 = 5,
    kKeyCodec4 = 6,
    kKeyCodec1 = 7,
    kKeyCodec16 = 8,
    kKeyFlag11 = 11,
    kKeyFlag12 = 12,
};

enum ConnectionField : int {
    kFieldAddress = 1,
    kFieldPort = 2,
    kFieldUserName = 3,
    kFieldPassword = 4,
};

void SetField(ipcapture::ICapabilityResults* results, int index, const std::string& text) {
    if (ipcapture::ICapabilityTextField* field = results->GetConnectionField(index)) {
        field->SetText(text.c_str());
    }
}

}  // namespace

bool ResolutionRecord::FirstInterval(uint32_t& interval) {
    m_cursor = 1;
    if (m_intervals.empty()) {
        return false;
    }
    interval = m_intervals[0];
    return true;
}

bool ResolutionRecord::NextInterval(uint32_t& interval) {
    if (m_cursor >= m_intervals.size()) {
        return false;
    }
    interval = m_intervals[m_cursor++];
    return true;
}

bool CCameraProperties::FirstCodec(uint32_t& code) {
    m_codecCursor = 1;
    if (m_codecs.empty() || m_codecs[0] == 0) {
        return false;
    }
    code = m_codecs[0];
    return true;
}

bool CCameraProperties::NextCodec(uint32_t& code) {
    if (m_codecCursor >= m_codecs.size() || m_codecs[m_codecCursor] == 0) {
        return false;
    }
    code = m_codecs[m_codecCursor++];
    return true;
}

ResolutionRecord* CCameraProperties::FirstResolution() {
    m_resolutionCursor = 1;
    return m_resolutions.empty() ? nullptr : &m_resolutions[0];
}

ResolutionRecord* CCameraProperties::NextResolution() {
    if (m_resolutionCursor >= m_resolutions.size()) {
        return nullptr;
    }
    return &m_resolutions[m_resolutionCursor++];
}

CCameraPropertiesEx::CCameraPropertiesEx(const DEVICE_INFO& info, const int32_t* videoStandard)
    : m_deviceInfo(info), m_videoStandard(videoStandard != nullptr ? *videoStandard : 0) {}

void CCameraPropertiesEx::Abort() {
    m_abort = true;
}

bool CCameraPropertiesEx::Save(ipcapture::ICapabilityResults* results) {
    if (results == nullptr) {
        return false;
    }
    results->SetDeviceName(m_productName.c_str());
    results->SetValue(kKeyValue0, m_valueKey0);
    if (m_inputCount != 0) {
        results->SetValue(kKeyInputs, static_cast<int>(m_inputCount));
    }
    if (m_outputCount != 0) {
        results->SetValue(kKeyOutputs, static_cast<int>(m_outputCount));
    }
    if (m_flagKey4) {
        results->SetValue(kKeyFlag4, 1);
    }
    if (m_ptzSupported) {
        results->SetValue(kKeyPtz, 1);
    }
    if (m_flagKey5) {
        results->SetValue(kKeyFlag5, 1);
    }
    results->SetValue(kKeyFlag11, m_flagKey11 ? 1 : 0);
    results->SetValue(kKeyFlag12, m_flagKey12 ? 1 : 0);

    uint32_t code = 0;
    for (bool more = FirstCodec(code); more; more = NextCodec(code)) {
        switch (code) {
            case kCodecCode1:
            case kCodecCode2:
                results->SetValue(kKeyCodec1, 1);
                break;
            case kCodecCode4:
                results->SetValue(kKeyCodec4, 1);
                break;
            case kCodecCode16:
                results->SetValue(kKeyCodec16, 1);
                break;
            default:
                break;
        }
    }

    ipcapture::ICapabilityResolutionList* list = results->GetResolutionList();
    for (ResolutionRecord* record = FirstResolution(); record != nullptr && list != nullptr;
         record = NextResolution()) {
        uint32_t interval = 0;
        if (!record->FirstInterval(interval)) {
            interval = 0;
        }
        const std::string name =
            Utils::FormatString("%ux%u", static_cast<unsigned>(record->m_width),
                                static_cast<unsigned>(record->m_height));
        list->Add(name.c_str(), record->m_width, record->m_height, static_cast<int>(interval));
    }

    SetField(results, kFieldAddress, m_deviceInfo.m_address);
    SetField(results, kFieldPort, Utils::FormatString("%d", static_cast<int>(m_deviceInfo.m_port)));
    SetField(results, kFieldUserName, m_deviceInfo.m_userName);
    SetField(results, kFieldPassword, m_deviceInfo.m_password);
    return true;
}

}  // namespace vostrel
