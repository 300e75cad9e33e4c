#include "ptz/base_ptz_handler.h"

#include <new>

#include "core/log.h"
#include "http/param_protocol.h"

namespace vostrel {

CBasePTZHandler::CBasePTZHandler(IDriver* driver, uint32_t channelCount, std::string typeName)
    : m_driver(driver), m_channelCount(channelCount), m_typeName(std::move(typeName)) {}

CBasePTZHandler::~CBasePTZHandler() {
    ReleaseControls();
    CAutoLock hold(m_lock);
    m_presetReader.Release();
}

ipcapture::IIPPTZApiEx* CBasePTZHandler::GetPtzApiEx(uint32_t channel) {
    // Nothing thrown reaches the host: without memory for the control there is none.
    try {
        return FindOrMakeControl(channel);
    } catch (...) {
        return nullptr;
    }
}

ipcapture::IIPPTZApiEx* CBasePTZHandler::FindOrMakeControl(uint32_t channel) {
    if (channel >= m_channelCount) {
        return nullptr;
    }
    CAutoLock hold(m_lock);
    auto found = m_controls.find(channel);
    if (found != m_controls.end() && found->second) {
        return found->second.get();
    }
    if (m_typeName.empty()) {
        return nullptr;
    }
    // A preset file that cannot be opened is tried once: the head still moves without it and
    // only presets fail. Without a file name (or memory) there is no control, and every
    // request tries again.
    if (!m_presetReader && m_missingStorage.empty() && !InitializeXMLStorage() &&
        m_missingStorage.empty()) {
        return nullptr;
    }
    std::unique_ptr<CBasePTZControl> control = CreateControl(channel);
    if (!control || !control->Initialize(m_presetReader, m_missingStorage)) {
        return nullptr;
    }
    ipcapture::IIPPTZApiEx* api = control.get();
    m_controls[channel] = std::move(control);
    return api;
}

void CBasePTZHandler::ReleaseControls() {
    std::map<uint32_t, std::unique_ptr<CBasePTZControl>> controls;
    {
        CAutoLock hold(m_lock);
        controls.swap(m_controls);
    }
    // Deleted outside the lock: each waits for its command thread.
    controls.clear();
}

void CBasePTZHandler::CloseControls() {
    CAutoLock hold(m_lock);
    for (auto& [channel, control] : m_controls) {
        if (control) {
            control->Close();
        }
    }
}

bool CBasePTZHandler::InitializeXMLStorage() {
    // Result codes of this step, as the host's log readers know them.
    constexpr int32_t kNoFileName = 3;
    constexpr int32_t kNoMemory = 5;
    constexpr int32_t kOpenFailed = 1;
    CResultDef result;
    std::string reason;
    const std::string name = GetXMLStorageFileName();
    if (name.empty()) {
        result = CResultDef(kNoFileName,
                            WithContext(JVC_HERE,
                                        "PTZ module cannot be initialized! Name of file for "
                                        "preset storing was not defined"),
                            kLogFailure);
    } else {
        try {
            m_presetReader.Reset(new CXMLPrepositionReader(m_typeName));
        } catch (const std::bad_alloc&) {
            m_presetReader.Release();
        }
        if (!m_presetReader) {
            result = CResultDef(
                kNoMemory,
                WithContext(JVC_HERE,
                            "not enough memory for creating CXMLPrepositionReader object"),
                kLogFailure);
        } else if (!m_presetReader->Open(name)) {
            result = CResultDef(
                kOpenFailed,
                WithContext(JVC_HERE, Utils::FormatString("cannot initialize CXMLPrepositionReader "
                                                          "object with parameter \"%s\"",
                                                          name.c_str())),
                kLogFailure);
            reason = m_presetReader->LastError();
        }
    }
    Utils::LogResult(result, m_driver);
    if (result.code == kOpenFailed) {
        m_presetReader.Release();
        // The reader's reason names the file already.
        m_missingStorage = reason.empty() ? "\"" + name + "\" cannot be used" : reason;
    }
    if (!reason.empty()) {
        // Why the file could not be used, for the person who has to fix it.
        Log(m_driver, kLogFailure, JVC_HERE, "%s", reason.c_str());
    }
    return result.code == kResultOk;
}

}  // namespace vostrel
