#pragma once
// CXMLPrepositionReader: the presets of every PTZ channel of one PTZ handler, kept in one XML
// file. A record lives at <root>/PtzChannelNN/PrepositionNNN with two child elements whose
// "value" attribute holds the preset's name (UTF-8 in the file) and its camera slot:
//
//   JVC/PtzChannel01/Preposition001/Name   value = name of the preset at position 1, channel 0
//   JVC/PtzChannel01/Preposition001/Slot   value = its camera slot, unsigned decimal
//
// Channels are counted from 0 by the caller and from 1 in the file (at least two digits);
// record indexes from 0 (at least three digits). All operations are serialised by one lock, so
// one reader may be shared by the preset lists of several channels.
#include <cstdint>
#include <string>

#include "presets/xml_settings_api.h"
#include "thread/lock.h"

struct PrepositionRecord {
    std::string name;   // UTF-8; never empty in a stored record
    uint32_t slot = 0;  // camera slot, zero-based
};

class CXMLPrepositionReader {
  public:
    // rootName is the camera type name ("JVC"); directory holds the file (empty: the
    // directory of the running executable).
    explicit CXMLPrepositionReader(const std::string& rootName,
                                   const std::string& directory = std::string());
    virtual ~CXMLPrepositionReader();
    CXMLPrepositionReader(const CXMLPrepositionReader&) = delete;
    CXMLPrepositionReader& operator=(const CXMLPrepositionReader&) = delete;

    // Opens the file. A missing or empty file is replaced by a new document holding the
    // declaration and an empty root element; a file that was read but does not load is first
    // renamed to "<name>.unreadable-<UTC time>" and then replaced the same way. A file that
    // cannot be read, is no regular file, is in an encoding that cannot be converted or does
    // not load and may not be written is left as it is and the open fails. Turns auto-save
    // on when the file is open. False when no loadable file could be obtained; LastError()
    // then says why.
    bool Open(const std::string& fileName);
    // False when the record has no name, no slot or a slot that is not a number.
    bool ReadPreposition(int32_t channel, int32_t index, PrepositionRecord& record);
    // Writes name and slot; with auto-save on the file is saved at once.
    bool WritePreposition(int32_t channel, int32_t index, const PrepositionRecord& record);
    // Deletes the channel's element with all its records (saved at once with auto-save on).
    bool RemoveChannel(int32_t channel);
    // Turning auto-save on saves the file once.
    void SetAutoSave(bool on);
    // Why the last failed open or save failed, as a line for the log.
    std::string LastError();

    // Full path of the file a name refers to.
    std::string FilePath(const std::string& fileName) const {
        return m_settings.FilePath(fileName);
    }

  private:
    std::string ChannelPath(int32_t channel) const;
    std::string RecordPath(int32_t channel, int32_t index) const;
    bool MoveAsideUnloadable(const std::string& fileName);
    bool SaveFile();

    std::string m_rootName;
    vostrel::CLock m_lock;
    CXMLSettingsAPI m_settings;
    bool m_autoSave = false;
    std::string m_lastError;
};
