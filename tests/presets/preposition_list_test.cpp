// The preset list with a scripted camera and a real preset file: slots, positions and the
// current position, renames, full lists, refusals, deletions and loading a file with gaps.
#include "presets/preposition_list.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <set>
#include <string>
#include <vector>

#include "core/text.h"
#include "jvc_ipcapture/ptz.h"
#include "temp_dir.h"

namespace {

using presets_test::TempDir;
using presets_test::WriteFile;
using vostrel::CPrepositionList;
using vostrel::TSmartPtr;
namespace codes = vostrel::ipcapture;

// A camera that records what it is asked and refuses what the test says.
class ScriptedCamera : public vostrel::IPrepositionComm {
  public:
    bool SaveCameraPreset(uint32_t slot, const std::string& name) override {
        calls.push_back("save " + std::to_string(slot) + " " + name);
        return !refuseSave;
    }
    bool GotoCameraPreset(uint32_t slot, const std::string& name, int32_t speed) override {
        calls.push_back("goto " + std::to_string(slot) + " " + name + " " + std::to_string(speed));
        return !refuseGoto;
    }
    bool DeleteCameraPreset(uint32_t slot, const std::string& name) override {
        calls.push_back("delete " + std::to_string(slot) + " " + name);
        return !refuseDelete;
    }
    void DebugMessage(int type, const char* format, ...) override
        __attribute__((format(printf, 3, 4))) {
        va_list args;
        va_start(args, format);
        lines.emplace_back(type, vostrel::Utils::FormatStringV(format, args));
        va_end(args);
    }

    std::vector<std::string> calls;
    std::vector<std::pair<int, std::string>> lines;
    bool refuseSave = false;
    bool refuseGoto = false;
    bool refuseDelete = false;
};

// One record element of a hand-written preset file.
std::string RecordXml(int index, const std::string& name, const std::string& slot) {
    char element[32];
    snprintf(element, sizeof element, "Preposition%03d", index);
    return std::string("<") + element + "><Name value=\"" + name + "\"/><Slot value=\"" + slot +
           "\"/></" + element + ">";
}

class PrepositionListTest : public ::testing::Test {
  protected:
    PrepositionListTest() : storage(new CXMLPrepositionReader("JVC", dir.Path())) {
        EXPECT_TRUE(storage->Open("presets.xml"));
    }
    // A list of a channel attached to the camera and the storage, as the PTZ control does.
    void Attach(CPrepositionList& list, uint32_t maxCount = 99) {
        list.m_prepositionComm = &camera;
        list.m_maxCount = maxCount;
        EXPECT_TRUE(list.SetStorage(storage));
    }
    std::vector<std::string> Names(CPrepositionList& list) {
        std::vector<std::string> names;
        for (int32_t i = 0; i < list.GetPrepositionCount(); ++i) {
            std::string name;
            EXPECT_TRUE(list.GetPrepositionName(static_cast<uint32_t>(i), name));
            names.push_back(name);
        }
        return names;
    }
    // The channel's records in the file, as "index:slot:name".
    std::vector<std::string> Stored(int32_t channel, int32_t upTo = 20) {
        std::vector<std::string> records;
        for (int32_t i = 0; i < upTo; ++i) {
            PrepositionRecord record;
            if (storage->ReadPreposition(channel, i, record)) {
                records.push_back(std::to_string(i) + ":" + std::to_string(record.slot) + ":" +
                                  record.name);
            }
        }
        return records;
    }
    std::string Current(CPrepositionList& list) {
        std::string name;
        return list.GetCurrentPreposition(name) ? name : "-";
    }

    TempDir dir;
    TSmartPtr<CXMLPrepositionReader> storage;
    ScriptedCamera camera;
};

TEST_F(PrepositionListTest, AddRenameMoveAndAddAgain) {
    CPrepositionList list(0);
    Attach(list);
    EXPECT_EQ(list.AddPreposition("Gate"), codes::kPtzDone);
    EXPECT_EQ(camera.calls, (std::vector<std::string>{"save 0 Gate"}));
    EXPECT_EQ(Stored(0), (std::vector<std::string>{"0:0:Gate"}));
    EXPECT_EQ(Current(list), "Gate");

    // Still standing there: an add renames, with no camera command and a state line.
    EXPECT_EQ(list.AddPreposition("Front gate"), codes::kPtzDone);
    EXPECT_EQ(camera.calls.size(), 1u);
    EXPECT_EQ(Names(list), (std::vector<std::string>{"Front gate"}));
    EXPECT_EQ(Stored(0), (std::vector<std::string>{"0:0:Front gate"}));
    ASSERT_EQ(camera.lines.size(), 1u);
    EXPECT_EQ(camera.lines[0].first, 3);
    EXPECT_EQ(camera.lines[0].second,
              "vostrel::CPrepositionList::RenameCurrentPreposition: A preposition with index 0 "
              "was renamed from \"Gate\" to \"Front gate\".");

    // After a movement the next add is a new preset in the lowest free slot.
    list.ResetCurrentPreposition();
    EXPECT_EQ(Current(list), "-");
    EXPECT_EQ(list.AddPreposition("Yard"), codes::kPtzDone);
    EXPECT_EQ(camera.calls.back(), "save 1 Yard");
    EXPECT_EQ(Current(list), "Yard");
    EXPECT_EQ(Stored(0), (std::vector<std::string>{"0:0:Front gate", "1:1:Yard"}));

    // A goto of the current preset sends nothing; after a movement it is sent.
    camera.calls.clear();
    EXPECT_TRUE(list.GotoPreposition("Yard", 5));
    EXPECT_TRUE(camera.calls.empty());
    list.ResetCurrentPreposition();
    EXPECT_TRUE(list.GotoPreposition("Yard", 5));
    EXPECT_TRUE(list.GotoPreposition("Front gate", -1));
    EXPECT_EQ(camera.calls, (std::vector<std::string>{"goto 1 Yard 5", "goto 0 Front gate -1"}));
    EXPECT_EQ(Current(list), "Front gate");
    // A refused goto leaves the current preset as it was; unknown and empty names fail.
    camera.refuseGoto = true;
    EXPECT_FALSE(list.GotoPreposition("Yard", 5));
    EXPECT_EQ(Current(list), "Front gate");
    EXPECT_FALSE(list.GotoPreposition("Nowhere", 5));
    EXPECT_FALSE(list.GotoPreposition("", 5));
}

TEST_F(PrepositionListTest, DeletedSlotsAreReusedAndDuplicatesActOnTheLowestSlot) {
    CPrepositionList list(0);
    Attach(list);
    for (const char* name : {"a", "b", "c", "d", "e", "f"}) {
        list.ResetCurrentPreposition();
        ASSERT_EQ(list.AddPreposition(name), codes::kPtzDone);
    }
    EXPECT_TRUE(list.DeletePreposition("d"));
    EXPECT_EQ(camera.calls.back(), "delete 3 d");
    EXPECT_EQ(Current(list), "-");
    EXPECT_EQ(Names(list), (std::vector<std::string>{"a", "b", "c", "e", "f"}));
    // The file holds the list without gaps.
    EXPECT_EQ(Stored(0), (std::vector<std::string>{"0:0:a", "1:1:b", "2:2:c", "3:4:e", "4:5:f"}));
    ASSERT_EQ(list.AddPreposition("c"), codes::kPtzDone);  // slot 3, appended at the end
    EXPECT_EQ(camera.calls.back(), "save 3 c");
    EXPECT_EQ(Names(list), (std::vector<std::string>{"a", "b", "c", "e", "f", "c"}));
    // Two presets called "c" (slots 2 and 3): goto and delete act on slot 2.
    list.ResetCurrentPreposition();
    EXPECT_TRUE(list.GotoPreposition("c", 1));
    EXPECT_EQ(camera.calls.back(), "goto 2 c 1");
    EXPECT_TRUE(list.DeletePreposition("c"));
    EXPECT_EQ(camera.calls.back(), "delete 2 c");
    EXPECT_EQ(Names(list), (std::vector<std::string>{"a", "b", "e", "f", "c"}));

    // A refused deletion fails, keeps the preset in the list and the file and forgets the
    // current one.
    EXPECT_TRUE(list.GotoPreposition("a", 1));
    camera.refuseDelete = true;
    const auto stored = Stored(0);
    EXPECT_FALSE(list.DeletePreposition("b"));
    EXPECT_EQ(camera.calls.back(), "delete 1 b");
    EXPECT_EQ(Names(list), (std::vector<std::string>{"a", "b", "e", "f", "c"}));
    EXPECT_EQ(Stored(0), stored);
    EXPECT_EQ(Current(list), "-");
    EXPECT_FALSE(list.DeletePreposition("zz"));
    EXPECT_FALSE(list.DeletePreposition(""));
}

TEST_F(PrepositionListTest, NamesTheListRefusesAndNamesItKeeps) {
    CPrepositionList list(0);
    EXPECT_EQ(list.AddPreposition("x"), codes::kPtzNotQueued);  // no camera yet
    Attach(list);
    const std::vector<std::string> refused = {"",         "a&b",        "stop!",     "<x",
                                              "x>",       "it's",       "say \"x\"", "tab\there",
                                              "ctrl\x01", "line\nbreak"};
    for (const std::string& bad : refused) {
        camera.lines.clear();
        EXPECT_EQ(list.AddPreposition(bad), codes::kPtzInvalidArgument) << bad;
        ASSERT_EQ(camera.lines.size(), 1u) << bad;
        EXPECT_EQ(camera.lines[0].first, 1);
        EXPECT_EQ(camera.lines[0].second,
                  "vostrel::CPrepositionList::AddPreposition: A "
                  "preposition \"" +
                      bad + "\" cannot be added - the name is invalid.");
    }
    EXPECT_TRUE(camera.calls.empty());
    // Spaces, percent signs and UTF-8 are kept as they are, in the log too.
    ASSERT_EQ(list.AddPreposition("100% %s %n"), codes::kPtzDone);
    ASSERT_EQ(list.AddPreposition("Tōkyō 東京"), codes::kPtzDone);  // a rename of the current
    EXPECT_EQ(camera.lines.back().second,
              "vostrel::CPrepositionList::RenameCurrentPreposition: A preposition with index 0 "
              "was renamed from \"100% %s %n\" to \"Tōkyō 東京\".");
    EXPECT_EQ(Stored(0), (std::vector<std::string>{"0:0:Tōkyō 東京"}));
}

TEST_F(PrepositionListTest, FullListsAndRefusals) {
    CPrepositionList list(0);
    Attach(list, 3);
    for (const char* name : {"a", "b", "c"}) {
        list.ResetCurrentPreposition();
        ASSERT_EQ(list.AddPreposition(name), codes::kPtzDone);
    }
    list.ResetCurrentPreposition();
    camera.lines.clear();
    EXPECT_EQ(list.AddPreposition("d"), codes::kPtzPresetTableFull);
    ASSERT_EQ(camera.lines.size(), 1u);
    EXPECT_EQ(camera.lines[0].second,
              "vostrel::CPrepositionList::AddPreposition: A preposition \"d\" cannot be added. "
              "Camera supports saving not more than 3 prepositions.");

    // A camera that refuses to store changes nothing.
    ASSERT_TRUE(list.DeletePreposition("b"));
    camera.refuseSave = true;
    EXPECT_EQ(list.AddPreposition("d"), codes::kPtzNotQueued);
    EXPECT_EQ(Names(list), (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(Current(list), "-");

    // No maximum yet: nothing loads and every add is full.
    CPrepositionList unset(1);
    unset.m_prepositionComm = &camera;
    EXPECT_TRUE(unset.SetStorage(storage));
    EXPECT_EQ(unset.AddPreposition("x"), codes::kPtzPresetTableFull);
    EXPECT_FALSE(unset.SetStorage(TSmartPtr<CXMLPrepositionReader>()));

    // Positions beyond the list.
    std::string name = "stale";
    EXPECT_FALSE(list.GetPrepositionName(static_cast<uint32_t>(-1), name));
    EXPECT_TRUE(name.empty());
    EXPECT_FALSE(list.GetPrepositionName(2, name));
}

TEST_F(PrepositionListTest, LoadingGivesADenseListAndListsASlotOnce) {
    // Records at indexes 0, 2 and 5 of channel 1, and a hand-edited second record of slot 4.
    const auto record = RecordXml;
    WriteFile(dir.File("gaps.xml"),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<JVC><PtzChannel02>" +
                  record(0, "one", "4") + record(2, "two", "9") + record(5, "three", "1") +
                  record(6, "again", "4") + record(7, "broken", "x") + "</PtzChannel02></JVC>");
    TSmartPtr<CXMLPrepositionReader> file(new CXMLPrepositionReader("JVC", dir.Path()));
    ASSERT_TRUE(file->Open("gaps.xml"));
    CPrepositionList list(1);
    list.m_prepositionComm = &camera;
    list.m_maxCount = 99;
    ASSERT_TRUE(list.SetStorage(file));
    EXPECT_EQ(Names(list), (std::vector<std::string>{"again", "two", "three"}));
    EXPECT_EQ(Current(list), "-");
    EXPECT_TRUE(list.GotoPreposition("again", 3));
    EXPECT_EQ(camera.calls.back(), "goto 4 again 3");
    // The next full rewrite stores them at 0, 1, 2.
    ASSERT_TRUE(list.DeletePreposition("nothing") == false);
    ASSERT_TRUE(list.DeletePreposition("two"));
    storage = file;
    EXPECT_EQ(Stored(1), (std::vector<std::string>{"0:4:again", "1:1:three"}));
}

// A file with a gap (records 0 and 2): adding and renaming never touch another record.
TEST_F(PrepositionListTest, WritesAfterLoadingAGapKeepEveryRecord) {
    WriteFile(dir.File("presets.xml"),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<JVC><PtzChannel01>" +
                  RecordXml(0, "A", "0") + RecordXml(2, "B", "1") + "</PtzChannel01></JVC>");
    storage.Reset(new CXMLPrepositionReader("JVC", dir.Path()));
    ASSERT_TRUE(storage->Open("presets.xml"));
    CPrepositionList list(0);
    Attach(list);
    EXPECT_EQ(Names(list), (std::vector<std::string>{"A", "B"}));
    ASSERT_EQ(list.AddPreposition("C"), codes::kPtzDone);
    EXPECT_EQ(camera.calls.back(), "save 2 C");
    EXPECT_EQ(Stored(0), (std::vector<std::string>{"0:0:A", "1:1:B", "2:2:C"}));
    ASSERT_TRUE(list.GotoPreposition("B", 1));
    ASSERT_EQ(list.AddPreposition("B2"), codes::kPtzDone);  // a rename of position 1
    EXPECT_EQ(Stored(0), (std::vector<std::string>{"0:0:A", "1:1:B2", "2:2:C"}));
    CPrepositionList again(0);
    Attach(again);
    EXPECT_EQ(Names(again), (std::vector<std::string>{"A", "B2", "C"}));
}

// Slots the camera does not have are refused on loading, with a failure line each, and are
// never sent to the camera.
TEST_F(PrepositionListTest, RecordsWithSlotsBeyondTheTableAreLeftOut) {
    WriteFile(dir.File("presets.xml"),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<JVC><PtzChannel01>" +
                  RecordXml(0, "huge", "4294967295") + RecordXml(1, "far", "500") +
                  RecordXml(2, "edge", "99") + RecordXml(3, "last", "98") +
                  "</PtzChannel01></JVC>");
    storage.Reset(new CXMLPrepositionReader("JVC", dir.Path()));
    ASSERT_TRUE(storage->Open("presets.xml"));
    CPrepositionList list(0);
    Attach(list);
    EXPECT_EQ(Names(list), std::vector<std::string>{"last"});
    ASSERT_EQ(camera.lines.size(), 3u);
    EXPECT_EQ(camera.lines[0].first, 1);
    EXPECT_EQ(camera.lines[1].second,
              "vostrel::CPrepositionList::LoadPrepositions: A preposition \"far\" of the preset "
              "file is left out: its slot 500 is not below 99.");
    for (const char* name : {"huge", "far", "edge"}) {
        EXPECT_FALSE(list.GotoPreposition(name, 1)) << name;
        EXPECT_FALSE(list.DeletePreposition(name)) << name;
    }
    EXPECT_TRUE(camera.calls.empty());
    EXPECT_EQ(Stored(0), std::vector<std::string>{"0:98:last"});
}

TEST_F(PrepositionListTest, ChannelsShareOneFileUnderTheirOwnElements) {
    CPrepositionList first(0);
    CPrepositionList second(1);
    Attach(first);
    Attach(second);
    ASSERT_EQ(first.AddPreposition("north"), codes::kPtzDone);
    ASSERT_EQ(second.AddPreposition("south"), codes::kPtzDone);
    ASSERT_TRUE(first.DeletePreposition("north"));
    EXPECT_EQ(Stored(0), std::vector<std::string>{});
    EXPECT_EQ(Stored(1), (std::vector<std::string>{"0:0:south"}));
    // A fresh list of channel 1 on the same storage sees its preset.
    CPrepositionList again(1);
    Attach(again);
    EXPECT_EQ(Names(again), (std::vector<std::string>{"south"}));
}

}  // namespace
