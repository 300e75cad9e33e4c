#include "presets/preposition_list.h"

#include <algorithm>

#include "core/codes.h"
#include "core/log.h"
#include "jvc_ipcapture/ptz.h"

namespace vostrel {

using ipcapture::kPtzDone;
using ipcapture::kPtzInvalidArgument;
using ipcapture::kPtzNotQueued;
using ipcapture::kPtzPresetTableFull;

CPrepositionList::CPrepositionList(int32_t channel) : m_channel(channel) {}

CPrepositionList::~CPrepositionList() {
    m_storage.Release();
}

bool CPrepositionList::IsValidPrepositionName(const std::string& name) {
    if (name.empty()) {
        return false;
    }
    return std::none_of(name.begin(), name.end(), [](char c) {
        return std::string_view("&!<>'\"").find(c) != std::string_view::npos ||
               static_cast<unsigned char>(c) < 0x20;
    });
}

void CPrepositionList::LogLine(int type, const std::string& line) {
    if (m_prepositionComm != nullptr) {
        m_prepositionComm->DebugMessage(type, "%s", line.c_str());
    }
}

bool CPrepositionList::LacksStorage(const char* action, const std::string& name) {
    if (m_storage.Get() != nullptr) {
        return false;
    }
    LogLine(
        kLogFailure,
        WithContext(JVC_HERE, Utils::FormatString("A preposition \"%s\" cannot be %s - presets "
                                                  "cannot be kept: %s",
                                                  name.c_str(), action, m_missingStorage.c_str())));
    return true;
}

bool CPrepositionList::FindSlot(const std::string& name, uint32_t& slot) {
    for (const auto& [candidate, candidateName] : m_names) {
        if (candidateName == name) {
            slot = candidate;
            return true;
        }
    }
    return false;
}

bool CPrepositionList::FindFreeSlot(uint32_t& slot) {
    for (uint32_t candidate = 0; candidate < m_maxCount; ++candidate) {
        if (m_names.find(candidate) == m_names.end()) {
            slot = candidate;
            return true;
        }
    }
    return false;
}

bool CPrepositionList::SetStorage(TSmartPtr<CXMLPrepositionReader> storage) {
    const bool given = storage.Get() != nullptr;
    m_storage = storage;
    if (m_storage.Get() != nullptr) {
        CAutoLock hold(m_lock);
        LoadPrepositions();
    }
    return given;
}

void CPrepositionList::SetMissingStorage(const std::string& reason) {
    CAutoLock hold(m_lock);
    m_missingStorage = reason;
}

int32_t CPrepositionList::GetPrepositionCount() {
    CAutoLock hold(m_lock);
    return static_cast<int32_t>(m_order.size());
}

bool CPrepositionList::GetPrepositionName(uint32_t position, std::string& name) {
    name.clear();
    CAutoLock hold(m_lock);
    if (position >= m_order.size()) {
        return false;
    }
    auto it = m_names.find(m_order[position]);
    if (it == m_names.end()) {
        return false;
    }
    name = it->second;
    return true;
}

bool CPrepositionList::GetCurrentPreposition(std::string& name) {
    name.clear();
    CAutoLock hold(m_lock);
    if (m_current == -1 || static_cast<size_t>(m_current) >= m_order.size()) {
        return false;
    }
    auto it = m_names.find(m_order[static_cast<size_t>(m_current)]);
    if (it == m_names.end()) {
        return false;
    }
    name = it->second;
    return true;
}

void CPrepositionList::ResetCurrentPreposition() {
    CAutoLock hold(m_lock);
    m_current = -1;
}

int32_t CPrepositionList::AddPreposition(const std::string& name) {
    if (m_prepositionComm == nullptr) {
        return kPtzNotQueued;
    }
    if (!IsValidPrepositionName(name)) {
        LogLine(kLogFailure, WithContext(JVC_HERE, "A preposition \"" + name +
                                                       "\" cannot be added - the name is "
                                                       "invalid."));
        return kPtzInvalidArgument;
    }
    CAutoLock hold(m_lock);
    if (LacksStorage("added", name)) {
        return kPtzNotQueued;
    }
    if (m_current != -1) {
        return RenameCurrentPreposition(name);
    }
    if (m_order.size() >= m_maxCount) {
        LogLine(kLogFailure,
                WithContext(JVC_HERE, Utils::FormatString("A preposition \"%s\" cannot be added. "
                                                          "Camera supports saving not more than "
                                                          "%u prepositions.",
                                                          name.c_str(), m_maxCount)));
        return kPtzPresetTableFull;
    }
    uint32_t slot = 0;
    if (!FindFreeSlot(slot)) {
        return kPtzPresetTableFull;
    }
    if (!m_prepositionComm->SaveCameraPreset(slot, name)) {
        return kPtzNotQueued;
    }
    m_names[slot] = name;
    m_order.push_back(slot);
    m_current = static_cast<int32_t>(m_order.size()) - 1;
    return SavePrepositionRecord(m_current, slot, name) ? kPtzDone : kPtzNotQueued;
}

int32_t CPrepositionList::RenameCurrentPreposition(const std::string& name) {
    if (m_current == -1) {
        return kPtzNotQueued;
    }
    if (static_cast<size_t>(m_current) >= m_order.size()) {
        return kPtzInvalidArgument;
    }
    const uint32_t slot = m_order[static_cast<size_t>(m_current)];
    auto it = m_names.find(slot);
    if (it == m_names.end()) {
        return kPtzNotQueued;
    }
    if (!SavePrepositionRecord(m_current, slot, name)) {
        return kPtzNotQueued;
    }
    LogLine(kLogState,
            WithContext(JVC_HERE, Utils::FormatString(
                                      "A preposition with index %d was renamed from \"%s\" to "
                                      "\"%s\".",
                                      m_current, it->second.c_str(), name.c_str())));
    it->second = name;
    return kPtzDone;
}

bool CPrepositionList::GotoPreposition(const std::string& name, int32_t speed) {
    if (name.empty()) {
        return false;
    }
    CAutoLock hold(m_lock);
    uint32_t slot = 0;
    if (LacksStorage("reached", name) || !FindSlot(name, slot)) {
        return false;
    }
    auto it = std::find(m_order.begin(), m_order.end(), slot);
    if (it == m_order.end()) {
        return false;
    }
    const auto position = static_cast<int32_t>(it - m_order.begin());
    if (position == m_current) {
        return true;
    }
    if (m_prepositionComm == nullptr || !m_prepositionComm->GotoCameraPreset(slot, name, speed)) {
        return false;
    }
    m_current = position;
    return true;
}

bool CPrepositionList::DeletePreposition(const std::string& name) {
    if (name.empty()) {
        return false;
    }
    CAutoLock hold(m_lock);
    uint32_t slot = 0;
    if (LacksStorage("deleted", name) || !FindSlot(name, slot) || m_prepositionComm == nullptr) {
        return false;
    }
    m_current = -1;
    if (!m_prepositionComm->DeleteCameraPreset(slot, name)) {
        // The camera still holds the preset, so the list and the file keep it too.
        return false;
    }
    m_names.erase(slot);
    m_order.erase(std::remove(m_order.begin(), m_order.end(), slot), m_order.end());
    return SavePrepositions();
}

bool CPrepositionList::SavePrepositionRecord(int32_t position, uint32_t slot,
                                             const std::string& name) {
    if (m_storage.Get() == nullptr) {
        return false;
    }
    return m_storage->WritePreposition(m_channel, position, PrepositionRecord{name, slot});
}

bool CPrepositionList::SavePrepositions() {
    if (m_storage.Get() == nullptr) {
        return false;
    }
    m_storage->SetAutoSave(false);
    m_storage->RemoveChannel(m_channel);
    bool written = true;
    for (size_t i = 0; i < m_order.size() && written; ++i) {
        auto it = m_names.find(m_order[i]);
        written = it != m_names.end() &&
                  m_storage->WritePreposition(m_channel, static_cast<int32_t>(i),
                                              PrepositionRecord{it->second, m_order[i]});
    }
    m_storage->SetAutoSave(true);
    return written;
}

void CPrepositionList::LoadPrepositions() {
    m_names.clear();
    m_order.clear();
    m_current = -1;
    if (m_storage.Get() == nullptr) {
        return;
    }
    // Single records are written at their list position, so every record must sit at its
    // position: after a gap, a refused record or a second record of one slot the channel is
    // rewritten densely, before a later write could land on another record's index.
    bool dense = true;
    for (uint32_t index = 0; index < m_maxCount; ++index) {
        PrepositionRecord record;
        if (!m_storage->ReadPreposition(m_channel, static_cast<int32_t>(index), record)) {
            continue;
        }
        if (!TakeLoadedRecord(index, record)) {
            dense = false;
        }
    }
    if (!dense) {
        SavePrepositions();
    }
}

bool CPrepositionList::TakeLoadedRecord(uint32_t index, const PrepositionRecord& record) {
    if (record.slot >= m_maxCount) {
        LogLine(kLogFailure, WithContext("vostrel::CPrepositionList::LoadPrepositions",
                                         Utils::FormatString(
                                             "A preposition \"%s\" of the preset file is left out: "
                                             "its slot %u is not below %u.",
                                             record.name.c_str(), record.slot, m_maxCount)));
        return false;
    }
    // A hand-edited file may give two records one slot: the slot is listed once, with the
    // last record's name.
    const bool known = m_names.find(record.slot) != m_names.end();
    m_names[record.slot] = record.name;
    if (known) {
        return false;
    }
    m_order.push_back(record.slot);
    return m_order.size() == index + 1;
}

}  // namespace vostrel
