#include "presets/xml_preposition_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

#include "platform/system.h"
#include "presets/file_store.h"
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

// A file that was read but does not load is kept under a new name, so that replacing it
// destroys nothing a person may have edited. A symbolic link stays: the file it names is
// moved. A file the process may not write is not replaced either. False when the file cannot
// be moved or may not be replaced.
bool CXMLPrepositionReader::MoveAsideUnloadable(const std::string& fileName) {
    std::string path = presets::ResolveLinks(m_settings.FilePath(fileName));
    struct stat st {};
    if (path.empty() || stat(path.c_str(), &st) != 0) {
        return !path.empty() && errno == ENOENT;  // missing: nothing to keep
    }
    if (!S_ISREG(st.st_mode)) {
        m_lastError = "\"" + path + "\" is not a regular file";
        return false;
    }
    if (st.st_size == 0) {
        return true;  // empty: nothing to keep
    }
    if (faccessat(AT_FDCWD, path.c_str(), W_OK, AT_EACCESS) != 0) {
        m_lastError = m_settings.LastError() + "; it cannot be written, so it is not replaced";
        return false;
    }
    std::string target = path + ".unreadable-" + UtcStamp();
    for (int n = 1; platform::FileExists(target) && n < 1000; ++n) {
        target = path + ".unreadable-" + UtcStamp() + "-" + std::to_string(n);
    }
    int cause = platform::FileExists(target)                ? EEXIST
                : rename(path.c_str(), target.c_str()) != 0 ? errno
                                                            : 0;
    if (cause != 0) {
        m_lastError =
            m_settings.LastError() + "; it cannot be moved aside: " + presets::ErrorText(cause);
        return false;
    }
    return true;
}

bool CXMLPrepositionReader::Open(const std::string& fileName) {
    CAutoLock hold(m_lock);
    m_lastError.clear();
    int32_t status = m_settings.Open(fileName.c_str());
    // Only a missing, empty or unloadable file is replaced; one that cannot be read, is no
    // regular file or is in an encoding that cannot be converted fails the open.
    if (status == CXMLSettingsAPI::kOpenFailed && m_settings.OpenCount() == 0 &&
        !fileName.empty() && MoveAsideUnloadable(fileName)) {
        if (m_settings.CreateDocumentFile(m_rootName.c_str(), fileName.c_str(), true) == 1) {
            status = m_settings.Open(fileName.c_str());
        }
    }
    if (status < 0 && m_lastError.empty()) {
        m_lastError = m_settings.LastError();
    }
    m_autoSave = status >= 0;
    return m_autoSave;
}

std::string CXMLPrepositionReader::LastError() {
    CAutoLock hold(m_lock);
    return m_lastError;
}

bool CXMLPrepositionReader::SaveFile() {
    if (m_settings.Save()) {
        return true;
    }
    m_lastError = m_settings.LastError();
    return false;
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
    return !m_autoSave || SaveFile();
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
    return !m_autoSave || SaveFile();
}

void CXMLPrepositionReader::SetAutoSave(bool on) {
    CAutoLock hold(m_lock);
    if (on != m_autoSave) {
        m_autoSave = on;
        if (on) {
            SaveFile();
        }
    }
}
