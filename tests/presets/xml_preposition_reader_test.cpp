#include "presets/xml_preposition_reader.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "temp_dir.h"

namespace {

using presets_test::ReadFile;
using presets_test::TempDir;
using presets_test::WriteFile;

const std::string kDeclaration = "<?xml version='1.0' encoding='utf-8'?>";

// The content a record gets from the indenting of newly created elements.
std::string Channel01(const std::string& name, const std::string& slot) {
    return "<PtzChannel01>\n\t\t<Preposition000>\n\t\t\t\t<Name value=\"" + name +
           "\">\n\t\t\t</Name>\n\t\t\t\t<Slot value=\"" + slot +
           "\">\n\t\t\t</Slot>\n\t\t</Preposition000>\n\t</PtzChannel01>";
}

class PrepositionReaderTest : public ::testing::Test {
  protected:
    std::string File() const { return dir.File("presets.xml"); }
    TempDir dir;
};

TEST_F(PrepositionReaderTest, FileContentFollowsWritesRewritesAndRemovals) {
    CXMLPrepositionReader reader("JVC", dir.Path());
    ASSERT_TRUE(reader.Open("presets.xml"));
    EXPECT_EQ(ReadFile(File()), kDeclaration + "<JVC/>");

    ASSERT_TRUE(reader.WritePreposition(0, 0, {"Door", 5}));
    EXPECT_EQ(ReadFile(File()), kDeclaration + "<JVC>" + Channel01("Door", "5") + "\n</JVC>");

    ASSERT_TRUE(reader.WritePreposition(0, 0, {"Gate", 12}));
    EXPECT_EQ(ReadFile(File()), kDeclaration + "<JVC>" + Channel01("Gate", "12") + "\n</JVC>");

    ASSERT_TRUE(reader.WritePreposition(1, 0, {"Yard", 0}));
    ASSERT_TRUE(reader.RemoveChannel(0));
    EXPECT_FALSE(reader.RemoveChannel(0));
    ASSERT_TRUE(reader.WritePreposition(0, 0, {"Gate", 12}));
    std::string channel02 = Channel01("Yard", "0");
    channel02.replace(channel02.find("PtzChannel01"), 12, "PtzChannel02");
    channel02.replace(channel02.rfind("PtzChannel01"), 12, "PtzChannel02");
    // The removed channel leaves its line feed; the rewritten channel comes last.
    EXPECT_EQ(ReadFile(File()),
              kDeclaration + "<JVC>\n" + channel02 + "\n" + Channel01("Gate", "12") + "\n</JVC>");
}

TEST_F(PrepositionReaderTest, AutoSaveOffKeepsChangesInMemoryUntilSwitchedOn) {
    CXMLPrepositionReader reader("JVC", dir.Path());
    ASSERT_TRUE(reader.Open("presets.xml"));
    reader.SetAutoSave(false);
    ASSERT_TRUE(reader.WritePreposition(0, 0, {"Door", 5}));
    EXPECT_EQ(ReadFile(File()), kDeclaration + "<JVC/>");
    reader.SetAutoSave(true);
    EXPECT_EQ(ReadFile(File()), kDeclaration + "<JVC>" + Channel01("Door", "5") + "\n</JVC>");
}

TEST_F(PrepositionReaderTest, RecordsRoundTripThroughAFreshReader) {
    const std::string names[] = {"Caméra Ост 東京 🎥", "a&b<c>\"d'e", "tab\there"};
    {
        CXMLPrepositionReader reader("JVC", dir.Path());
        ASSERT_TRUE(reader.Open("presets.xml"));
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(reader.WritePreposition(2, i, {names[i], 4000000000u + i}));
        }
    }
    EXPECT_NE(ReadFile(File()).find("Caméra Ост 東京 🎥"), std::string::npos);
    CXMLPrepositionReader reader("JVC", dir.Path());
    ASSERT_TRUE(reader.Open("presets.xml"));
    for (int i = 0; i < 3; ++i) {
        PrepositionRecord record;
        ASSERT_TRUE(reader.ReadPreposition(2, i, record));
        EXPECT_EQ(record.name, names[i]);
        EXPECT_EQ(record.slot, 4000000000u + i);
    }
    PrepositionRecord record;
    EXPECT_FALSE(reader.ReadPreposition(2, 3, record));
    EXPECT_FALSE(reader.ReadPreposition(1, 0, record));
    EXPECT_FALSE(reader.ReadPreposition(-1, 0, record));
    EXPECT_FALSE(reader.WritePreposition(0, -1, {"x", 1}));
}

TEST_F(PrepositionReaderTest, IncompleteOrMalformedRecordsReadAsFalse) {
    auto make = [](const std::string& index, const std::string& body) {
        return "<Preposition" + index + ">" + body + "</Preposition" + index + ">";
    };
    WriteFile(File(), kDeclaration + "<JVC><PtzChannel01>" +
                          make("000", "<Name value=\"a\"/><Slot value=\"  17\"/>") +
                          make("001", "<Slot value=\"3\"/>") +
                          make("002", "<Name value=\"\"/><Slot value=\"3\"/>") +
                          make("003", "<Name value=\"b\"/><Slot value=\"abc\"/>") +
                          make("004", "<Name value=\"c\"/>") +
                          make("005", "<Name value=\"d\"/><Slot value=\"-1\"/>") +
                          make("006", "<Name value=\"e\"/><Slot value=\"4294967296\"/>") +
                          make("007", "<Name value=\"f\"/><Slot value=\"8 and more\"/>") +
                          "</PtzChannel01></JVC>");
    CXMLPrepositionReader reader("JVC", dir.Path());
    ASSERT_TRUE(reader.Open("presets.xml"));
    PrepositionRecord out;
    ASSERT_TRUE(reader.ReadPreposition(0, 0, out));
    EXPECT_EQ(out.name, "a");
    EXPECT_EQ(out.slot, 17u);
    for (int i = 1; i <= 6; ++i) {
        EXPECT_FALSE(reader.ReadPreposition(0, i, out)) << i;
    }
    ASSERT_TRUE(reader.ReadPreposition(0, 7, out));
    EXPECT_EQ(out.slot, 8u);
}

TEST_F(PrepositionReaderTest, ElementNamesCarryPaddedNumbers) {
    {
        CXMLPrepositionReader reader("JVC", dir.Path());
        ASSERT_TRUE(reader.Open("presets.xml"));
        ASSERT_TRUE(reader.WritePreposition(0, 7, {"a", 1}));
        ASSERT_TRUE(reader.WritePreposition(9, 123, {"b", 2}));
        ASSERT_TRUE(reader.WritePreposition(99, 0, {"c", 3}));
    }
    CXMLSettingsAPI settings(dir.Path());
    ASSERT_EQ(settings.Open("presets.xml"), 0);
    EXPECT_EQ(settings.NodeExists("JVC/PtzChannel01/Preposition007/Name"), 1);
    EXPECT_EQ(settings.NodeExists("JVC/PtzChannel10/Preposition123/Slot"), 1);
    EXPECT_EQ(settings.NodeExists("JVC/PtzChannel100/Preposition000/Name"), 1);
    settings.Close();
}

TEST_F(PrepositionReaderTest, OpenReplacesAnEmptyFileAndMovesAnUnloadableOneAside) {
    WriteFile(File(), "");
    {
        CXMLPrepositionReader reader("JVC", dir.Path());
        ASSERT_TRUE(reader.Open("presets.xml"));
    }
    EXPECT_EQ(ReadFile(File()), kDeclaration + "<JVC/>");
    EXPECT_EQ(dir.Entries().size(), 1u);

    const std::string broken = "<JVC><PtzChannel01>edited by hand";
    WriteFile(File(), broken);
    CXMLPrepositionReader reader("JVC", dir.Path());
    ASSERT_TRUE(reader.Open("presets.xml"));
    EXPECT_EQ(ReadFile(File()), kDeclaration + "<JVC/>");
    std::vector<std::string> entries = dir.Entries();
    ASSERT_EQ(entries.size(), 2u);
    std::string aside = entries[0] == "presets.xml" ? entries[1] : entries[0];
    EXPECT_EQ(aside.rfind("presets.xml.unreadable-", 0), 0u) << aside;
    EXPECT_EQ(ReadFile(dir.File(aside)), broken);
}

TEST_F(PrepositionReaderTest, AFileOfAnotherCameraTypeIsLeftAlone) {
    const std::string other =
        "<?xml version=\"1.0\"?>\n<AXIS>\n\t<PtzChannel01 value=\"1\"/>\n</AXIS>\n";
    WriteFile(File(), other);
    CXMLPrepositionReader reader("JVC", dir.Path());
    ASSERT_TRUE(reader.Open("presets.xml"));
    PrepositionRecord record;
    EXPECT_FALSE(reader.ReadPreposition(0, 0, record));
    EXPECT_FALSE(reader.WritePreposition(0, 0, {"a", 1}));
    EXPECT_FALSE(reader.RemoveChannel(0));
    reader.SetAutoSave(false);
    reader.SetAutoSave(true);  // saves the unchanged document
    EXPECT_EQ(ReadFile(File()), other);
}

TEST_F(PrepositionReaderTest, AReaderThatIsNotOpenDoesNothing) {
    CXMLPrepositionReader reader("JVC", dir.Path());
    PrepositionRecord record;
    EXPECT_FALSE(reader.ReadPreposition(0, 0, record));
    EXPECT_FALSE(reader.WritePreposition(0, 0, {"a", 1}));
    EXPECT_FALSE(reader.RemoveChannel(0));
    reader.SetAutoSave(true);
    EXPECT_TRUE(dir.Entries().empty());
    // An unusable root name or file location makes opening fail.
    CXMLPrepositionReader badRoot("not a name", dir.Path());
    EXPECT_FALSE(badRoot.Open("presets.xml"));
    CXMLPrepositionReader nowhere("JVC", dir.File("missing-dir"));
    EXPECT_FALSE(nowhere.Open("presets.xml"));
    EXPECT_TRUE(dir.Entries().empty());
}

// Waits for a forked child and returns its exit status (-1 when it did not exit normally).
int WaitForChild(pid_t child) {
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

TEST_F(PrepositionReaderTest, ASaveThatCannotBeWrittenKeepsThePreviousFile) {
    {
        CXMLPrepositionReader reader("JVC", dir.Path());
        ASSERT_TRUE(reader.Open("presets.xml"));
        ASSERT_TRUE(reader.WritePreposition(0, 0, {"Door", 5}));
    }
    const std::string before = ReadFile(File());
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A file size limit just above the present file stands in for a full disk.
        signal(SIGXFSZ, SIG_IGN);
        CXMLPrepositionReader reader("JVC", dir.Path());
        if (!reader.Open("presets.xml")) {
            _exit(2);
        }
        struct rlimit limit {};
        limit.rlim_cur = limit.rlim_max = before.size() + 16;
        setrlimit(RLIMIT_FSIZE, &limit);
        bool saved = reader.WritePreposition(0, 1, {std::string(4096, 'x'), 6});
        _exit(saved ? 1 : 0);
    }
    EXPECT_EQ(WaitForChild(child), 0);
    EXPECT_EQ(ReadFile(File()), before);
    EXPECT_EQ(dir.Entries().size(), 1u);  // the temporary file is gone
}

TEST_F(PrepositionReaderTest, AProcessKilledInTheMiddleOfASaveLeavesThePreviousFile) {
    {
        CXMLPrepositionReader reader("JVC", dir.Path());
        ASSERT_TRUE(reader.Open("presets.xml"));
        ASSERT_TRUE(reader.WritePreposition(0, 0, {"Door", 5}));
    }
    const std::string before = ReadFile(File());
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Exceeding the file size limit kills the process (SIGXFSZ) in the middle of writing.
        struct rlimit noCore {};
        setrlimit(RLIMIT_CORE, &noCore);
        signal(SIGXFSZ, SIG_DFL);
        CXMLPrepositionReader reader("JVC", dir.Path());
        if (!reader.Open("presets.xml")) {
            _exit(2);
        }
        struct rlimit limit {};
        limit.rlim_cur = limit.rlim_max = before.size() + 16;
        setrlimit(RLIMIT_FSIZE, &limit);
        reader.WritePreposition(0, 1, {std::string(100000, 'x'), 6});
        _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
    EXPECT_EQ(ReadFile(File()), before);
    CXMLPrepositionReader reader("JVC", dir.Path());
    ASSERT_TRUE(reader.Open("presets.xml"));
    PrepositionRecord record;
    ASSERT_TRUE(reader.ReadPreposition(0, 0, record));
    EXPECT_EQ(record.name, "Door");
    for (const std::string& entry : dir.Entries()) {
        EXPECT_EQ(entry.find(".unreadable-"), std::string::npos) << entry;
    }
}

}  // namespace
