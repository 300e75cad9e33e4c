#pragma once
// CPrepositionList: the named presets of one PTZ channel. It knows which camera slot each
// name occupies, the order in which the host sees the presets (a preset's position is its
// index for the host) and the position the camera is known to stand at ("current", -1 when
// the head has moved since). Changes go to the camera through the channel's IPrepositionComm
// and are mirrored into the shared preset file, under the channel's own element.
//
// Threads: every public operation takes m_lock (recursive); the camera exchange runs under
// it, so one channel's preset operations run one after another. Lock order: this list, then
// the storage's locks; the storage never calls back.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/thread_annotations.h"
#include "presets/preposition_comm.h"
#include "presets/smart_ptr.h"
#include "presets/xml_preposition_reader.h"
#include "thread/lock.h"

namespace vostrel {

class CPrepositionList {
  public:
    explicit CPrepositionList(int32_t channel);
    virtual ~CPrepositionList();
    CPrepositionList(const CPrepositionList&) = delete;
    CPrepositionList& operator=(const CPrepositionList&) = delete;

    // Writes one record of this channel into the storage. Called with m_lock held.
    virtual bool SavePrepositionRecord(int32_t position, uint32_t slot, const std::string& name)
        JVC_REQUIRES(m_lock);
    // Rewrites the channel's whole list, in list order and without gaps; saves the file once.
    virtual bool SavePrepositions() JVC_REQUIRES(m_lock);
    // Rebuilds the list from the storage's records 0 .. m_maxCount - 1, skipping gaps and
    // records whose slot is not below m_maxCount. When the records did not lie at their list
    // positions, the channel is rewritten at once without gaps.
    virtual void LoadPrepositions() JVC_REQUIRES(m_lock);

    // Shares the storage and loads the channel's presets from it; false for an empty pointer.
    virtual bool SetStorage(TSmartPtr<CXMLPrepositionReader> storage);
    // There is no storage, for the reason given (the file and what went wrong): adding,
    // going to and deleting presets then fail with one line saying so, before the camera is
    // asked anything.
    void SetMissingStorage(const std::string& reason);
    virtual int32_t GetPrepositionCount();
    // The name at a position; false (and an empty name) for a position beyond the list.
    virtual bool GetPrepositionName(uint32_t position, std::string& name);
    // Sends the camera to the named preset (the lowest slot of that name); true at once when
    // the camera already stands there.
    virtual bool GotoPreposition(const std::string& name, int32_t speed);
    // Stores the camera's present position as a new preset in the lowest free slot, or, while
    // the camera stands at a known preset, renames that preset. PTZ result codes: 1, -3
    // invalid name, -18 no camera interface or refused, -26 list full.
    virtual int32_t AddPreposition(const std::string& name);
    // Clears the named preset in the camera, the list and the storage (the channel is
    // rewritten, and that rewrite is the result). When the camera refuses, the preset stays
    // everywhere and the result is false.
    virtual bool DeletePreposition(const std::string& name);
    virtual bool GetCurrentPreposition(std::string& name);

    // Gives the current preset a new name (no camera command). Called by AddPreposition.
    int32_t RenameCurrentPreposition(const std::string& name) JVC_REQUIRES(m_lock);
    // The head has moved: the camera stands at no known preset.
    void ResetCurrentPreposition();
    // Not empty, none of & ! < > ' " and no control character (XML cannot carry those).
    static bool IsValidPrepositionName(const std::string& name);

    // Written by the PTZ control when its command thread has opened.
    IPrepositionComm* m_prepositionComm = nullptr;
    uint32_t m_maxCount = 0;

  private:
    // The lowest slot holding the name; false when none does.
    bool FindSlot(const std::string& name, uint32_t& slot) JVC_REQUIRES(m_lock);
    // The lowest slot below m_maxCount that is free; false when none is.
    bool FindFreeSlot(uint32_t& slot) JVC_REQUIRES(m_lock);
    // Adds a record read from the storage at a record index to the list. False when the
    // record is refused (slot beyond the table), names a slot already listed, or does not land
    // at the list position equal to its index.
    bool TakeLoadedRecord(uint32_t index, const PrepositionRecord& record) JVC_REQUIRES(m_lock);
    // Writes a finished line through the camera interface's log, if there is one.
    void LogLine(int type, const std::string& line);
    // True, with a line naming the action and the reason, when there is no storage.
    bool LacksStorage(const char* action, const std::string& name) JVC_REQUIRES(m_lock);

    int32_t m_channel;
    TSmartPtr<CXMLPrepositionReader> m_storage;
    CLock m_lock;
    std::map<uint32_t, std::string> m_names JVC_GUARDED_BY(m_lock);
    std::vector<uint32_t> m_order JVC_GUARDED_BY(m_lock);
    int32_t m_current JVC_GUARDED_BY(m_lock) = -1;
    std::string m_missingStorage JVC_GUARDED_BY(m_lock) = "no preset file was given";
};

}  // namespace vostrel
