#include "presets/xml_preposition_reader.h"

#include <cstdio>
#include <ctime>

#include "platform/system.h"
#include "presets/text_encoding.h"

using vostrel::CAutoLock;

namespace {

std::wstring ToWide(const std::string& text) {
    return text.empty() ? std::wstring() : presets::Utf8ToWide(text);
}

std::string ToUtf8(const std::wstring& text) {
    return text.empty() ? std::string() : presets::WideToUtf8(text);
}

// Parses an unsigned decimal number after optional leading whitespace and an optional plus
// sign; what follows the digits is ignored. Negative numbers and numbers beyond 32 bits are
// refused.
bool ParseSlot(const std::string& text, uint32_t& slot) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) {
        ++i;
    }
    if (i < text.size() && text[i] == '+') {
        ++i;
    }
    uint64_t value = 0;
    size_t digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
        if (value > UINT32_MAX) {
            return false;
        }
    }
    if (digits == 0) {
        return false;
    }
    slot = static_cast<uint32_t>(value);
    return true;
}

std::string UtcStamp() {
    time_t now = time(nullptr);
    struct tm utc {};
    gmtime_r(&now, &utc);
    char buffer[32];
    strftime(buffer, sizeof(buffer), "%Y%m%dT%H%M%SZ", &utc);
    return buffer;
}

}  // namespace

CXMLPrepositionReader::CXMLPrepositionReader(const std::string& rootName,
                                             const std::string& directory)
    : m_rootName(rootName), m_settings(directory) {}

CXMLPrepositionReader::~CXMLPrepositionReader() {
    m_settings.Close();
}

std::string CXMLPrepositionReader::ChannelPath(int32_t channel) const {
    char step[32];
    snprintf(step, sizeof(step), "/%s%.2u", "PtzChannel", static_cast<uint32_t>(channel) + 1u);
    return m_rootName + step;
}

std::string CXMLPrepositionReader::RecordPath(int32_t channel, int32_t index) const {
    char step[32];
    snprintf(step, sizeof(step), "/%s%.3u", "Preposition", static_cast<uint32_t>(index));
    return ChannelPath(channel) + step;
}

// A file that exists with content but does not load is kept under a new name, so that
// replacing it destroys nothing a person may have edited. False when it cannot be moved.
bool CXMLPrepositionReader::MoveAsideUnloadable(const std::string& fileName) {
    std::string path = m_settings.FilePath(fileName);
    std::optional<uint64_t> size = platform::FileSize(path);
    if (!size || *size == 0) {
        return true;  // missing, empty or not a regular file: nothing to keep
    }
    std::string target = path + ".unreadable-" + UtcStamp();
    for (int n = 1; platform::FileExists(target) && n < 1000; ++n) {
        target = path + ".unreadable-" + UtcStamp() + "-" + std::to_string(n);
    }
    return !platform::FileExists(target) && rename(path.c_str(), target.c_str()) == 0;
}

bool CXMLPrepositionReader::Open(const std::string& fileName) {
    CAutoLock hold(m_lock);
    int32_t status = m_settings.Open(fileName.c_str());
    if (status < 0 && m_settings.OpenCount() == 0 && !fileName.empty() &&
        MoveAsideUnloadable(fileName) &&
        m_settings.CreateDocumentFile(m_rootName.c_str(), fileName.c_str(), true) == 1) {
        status = m_settings.Open(fileName.c_str());
    }
    m_autoSave = status >= 0;
    return m_autoSave;
}

bool CXMLPrepositionReader::ReadPreposition(int32_t channel, int32_t index,
                                            PrepositionRecord& record) {
    CAutoLock hold(m_lock);
    if (channel < 0 || index < 0) {
        return false;
    }
    std::wstring path = ToWide(RecordPath(channel, index));
    std::wstring value;
    m_settings.ReadValue(value, L"%ls/Name", path.c_str());
    record.name = ToUtf8(value);
    if (record.name.empty()) {
        return false;
    }
    m_settings.ReadValue(value, L"%ls/Slot", path.c_str());
    return ParseSlot(ToUtf8(value), record.slot);
}

bool CXMLPrepositionReader::WritePreposition(int32_t channel, int32_t index,
                                             const PrepositionRecord& record) {
    CAutoLock hold(m_lock);
    if (channel < 0 || index < 0) {
        return false;
    }
    std::wstring path = ToWide(RecordPath(channel, index));
    std::wstring name = ToWide(record.name);
    if (m_settings.WriteValue(name.c_str(), L"%ls/Name", path.c_str()) == 0) {
        return false;
    }
    wchar_t slot[128];
    swprintf(slot, 128, L"%u", record.slot);
    if (m_settings.WriteValue(slot, L"%ls/Slot", path.c_str()) == 0) {
        return false;
    }
    return !m_autoSave || m_settings.Save();
}

bool CXMLPrepositionReader::RemoveChannel(int32_t channel) {
    CAutoLock hold(m_lock);
    if (channel < 0) {
        return false;
    }
    std::string path = ChannelPath(channel);
    if (m_settings.NodeExists("%s", path.c_str()) == 0 ||
        m_settings.RemoveNode("%s", path.c_str()) == 0) {
        return false;
    }
    return !m_autoSave || m_settings.Save();
}

void CXMLPrepositionReader::SetAutoSave(bool on) {
    CAutoLock hold(m_lock);
    if (on != m_autoSave) {
        m_autoSave = on;
        if (on) {
            m_settings.Save();
        }
    }
}
