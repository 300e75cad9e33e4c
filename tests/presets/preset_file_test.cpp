// How the preset file is treated on disk: permissions, links, folders the process cannot
// write, files that are no regular files, leftovers of killed saves and Windows-style names.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "presets/xml_preposition_reader.h"
#include "temp_dir.h"
#include "unprivileged.h"

namespace {

using presets_test::ReadFile;
using presets_test::TempDir;
using presets_test::WriteFile;

const std::string kRecordFile =
    "<?xml version='1.0' encoding='utf-8'?><JVC><PtzChannel01><Preposition000>"
    "<Name value=\"Door\"/><Slot value=\"5\"/></Preposition000></PtzChannel01></JVC>";

struct stat StatOf(const std::string& path) {
    struct stat st {};
    lstat(path.c_str(), &st);
    return st;
}

bool HasTemporaryFile(const TempDir& dir) {
    std::vector<std::string> entries = dir.Entries();
    return std::any_of(entries.begin(), entries.end(), [](const std::string& name) {
        return name.find(".tmp-") != std::string::npos;
    });
}

// Opens the file, checks that the record written by kRecordFile reads and writes a second
// one; returns the exit status for RunUnprivileged (0 when the write gave `expectSaved`).
int WriteSecondRecord(const std::string& directory, bool expectSaved) {
    CXMLPrepositionReader reader("JVC", directory);
    if (!reader.Open("presets.xml")) {
        return 2;
    }
    PrepositionRecord record;
    if (!reader.ReadPreposition(0, 0, record) || record.name != "Door") {
        return 3;
    }
    if (reader.WritePreposition(0, 1, {"Gate", 6}) != expectSaved) {
        return 4;
    }
    if (!expectSaved && reader.LastError().find("cannot write") == std::string::npos) {
        return 5;
    }
    return 0;
}

class PresetFileTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(dir.Path().empty()); }
    std::string File() const { return dir.File("presets.xml"); }
    TempDir dir;
};

TEST_F(PresetFileTest, AReadOnlyFileIsNeitherOverwrittenNorReplaced) {
    WriteFile(File(), kRecordFile);
    ASSERT_EQ(chmod(File().c_str(), 0444), 0);
    ASSERT_EQ(chmod(dir.Path().c_str(), 0777), 0);  // the folder takes new files
    EXPECT_UNPRIVILEGED_SUCCESS([&] { return WriteSecondRecord(dir.Path(), false); });
    EXPECT_EQ(ReadFile(File()), kRecordFile);
    EXPECT_EQ(StatOf(File()).st_mode & 07777, 0444u);
    EXPECT_EQ(dir.Entries().size(), 1u);

    // A read-only file that does not load is not moved aside and replaced either.
    const std::string broken = "<JVC><PtzChannel01>";
    ASSERT_EQ(chmod(File().c_str(), 0644), 0);
    WriteFile(File(), broken);
    ASSERT_EQ(chmod(File().c_str(), 0444), 0);
    EXPECT_UNPRIVILEGED_SUCCESS([&] {
        CXMLPrepositionReader reader("JVC", dir.Path());
        return reader.Open("presets.xml") ? 2 : 0;
    });
    EXPECT_EQ(ReadFile(File()), broken);
    EXPECT_EQ(dir.Entries().size(), 1u);
}

TEST_F(PresetFileTest, ASymbolicLinkStaysALinkAndItsTargetIsSaved) {
    ASSERT_EQ(mkdir(dir.File("store").c_str(), 0755), 0);
    WriteFile(dir.File("store/presets.xml"), kRecordFile);
    ASSERT_EQ(symlink("store/presets.xml", dir.File("link.xml").c_str()), 0);
    ASSERT_EQ(symlink("link.xml", File().c_str()), 0);  // a chain of two links
    ASSERT_EQ(WriteSecondRecord(dir.Path(), true), 0);
    EXPECT_TRUE(S_ISLNK(StatOf(File()).st_mode));
    EXPECT_TRUE(S_ISLNK(StatOf(dir.File("link.xml")).st_mode));
    EXPECT_NE(ReadFile(dir.File("store/presets.xml")).find("Gate"), std::string::npos);
    EXPECT_EQ(dir.Entries().size(), 3u);  // no temporary file beside the link
    EXPECT_EQ(std::filesystem::directory_iterator(dir.File("store"))->path().filename(),
              "presets.xml");

    // A link to a file that does not exist yet gets its file created behind it.
    ASSERT_EQ(symlink("store/new.xml", dir.File("new.xml").c_str()), 0);
    {
        CXMLPrepositionReader reader("JVC", dir.Path());
        ASSERT_TRUE(reader.Open("new.xml"));
    }
    EXPECT_TRUE(S_ISLNK(StatOf(dir.File("new.xml")).st_mode));
    EXPECT_EQ(ReadFile(dir.File("store/new.xml")), "<?xml version='1.0' encoding='utf-8'?><JVC/>");

    // An unloadable file behind a link is moved aside beside its target; the link stays.
    WriteFile(dir.File("store/presets.xml"), "<JVC>");
    CXMLPrepositionReader reader("JVC", dir.Path());
    ASSERT_TRUE(reader.Open("presets.xml"));
    EXPECT_TRUE(S_ISLNK(StatOf(File()).st_mode));
    int aside = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.File("store"))) {
        aside += entry.path().filename().string().rfind("presets.xml.unreadable-", 0) == 0;
    }
    EXPECT_EQ(aside, 1);
}

TEST_F(PresetFileTest, ASaveKeepsPermissionBitsAndOwner) {
    WriteFile(File(), kRecordFile);
    ASSERT_EQ(chmod(File().c_str(), 0640), 0);
    bool root = presets_test::RunsAsRoot();
    if (root) {
        ASSERT_EQ(chown(File().c_str(), presets_test::kNobody, presets_test::kNobody), 0);
    }
    struct stat before = StatOf(File());
    ASSERT_EQ(WriteSecondRecord(dir.Path(), true), 0);
    struct stat after = StatOf(File());
    EXPECT_NE(after.st_ino, before.st_ino);  // replaced through a new file
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
}

TEST_F(PresetFileTest, AWritableFileInAFolderWithoutWriteAccessIsRewrittenInPlace) {
    WriteFile(File(), kRecordFile);
    ASSERT_EQ(chmod(File().c_str(), 0666), 0);
    ASSERT_EQ(chmod(dir.Path().c_str(), 0555), 0);
    struct stat before = StatOf(File());
    EXPECT_UNPRIVILEGED_SUCCESS([&] { return WriteSecondRecord(dir.Path(), true); });
    EXPECT_EQ(StatOf(File()).st_ino, before.st_ino);
    EXPECT_NE(ReadFile(File()).find("Gate"), std::string::npos);
    EXPECT_EQ(dir.Entries().size(), 1u);
}

TEST_F(PresetFileTest, AFileOfAnotherUserInAStickyFolderIsRewrittenInPlace) {
    if (!presets_test::RunsAsRoot()) {
        GTEST_SKIP() << "needs root to give the file and the folder to different users";
    }
    // Anybody may create files here, but only the owner may replace this one.
    WriteFile(File(), kRecordFile);
    ASSERT_EQ(chmod(File().c_str(), 0666), 0);
    ASSERT_EQ(chmod(dir.Path().c_str(), 01777), 0);
    struct stat before = StatOf(File());
    EXPECT_UNPRIVILEGED_SUCCESS([&] { return WriteSecondRecord(dir.Path(), true); });
    struct stat after = StatOf(File());
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_uid, 0u);
    EXPECT_NE(ReadFile(File()).find("Gate"), std::string::npos);
    EXPECT_EQ(dir.Entries().size(), 1u);
}

TEST_F(PresetFileTest, AFileThatCannotBeReadFailsTheOpenAndStays) {
    WriteFile(File(), kRecordFile);
    ASSERT_EQ(chmod(File().c_str(), 0222), 0);  // writable, not readable
    ASSERT_EQ(chmod(dir.Path().c_str(), 0777), 0);
    // A folder on the way that may not be searched hides whether the file is there.
    ASSERT_EQ(mkdir(dir.File("locked").c_str(), 0), 0);
    EXPECT_UNPRIVILEGED_SUCCESS([&] {
        CXMLPrepositionReader reader("JVC", dir.Path());
        if (reader.Open("presets.xml")) {
            return 2;
        }
        if (reader.LastError().find("cannot read") == std::string::npos) {
            return 3;
        }
        CXMLSettingsAPI settings(dir.Path());
        if (settings.Open("presets.xml") != CXMLSettingsAPI::kOpenRefused) {
            return 4;
        }
        return settings.Open("locked/presets.xml") == CXMLSettingsAPI::kOpenRefused ? 0 : 5;
    });
    ASSERT_EQ(chmod(File().c_str(), 0644), 0);  // readable again for this check
    EXPECT_EQ(ReadFile(File()), kRecordFile);
    EXPECT_EQ(dir.Entries().size(), 2u);
}

TEST_F(PresetFileTest, AnythingButARegularFileIsRefusedWithoutBlocking) {
    ASSERT_EQ(mkfifo(File().c_str(), 0666), 0);
    ASSERT_EQ(mkdir(dir.File("folder.xml").c_str(), 0755), 0);
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(20);  // a blocked open ends the child instead of hanging the test
        CXMLPrepositionReader fifo("JVC", dir.Path());
        CXMLPrepositionReader folder("JVC", dir.Path());
        bool refused = !fifo.Open("presets.xml") && !folder.Open("folder.xml") &&
                       fifo.LastError().find("not a regular file") != std::string::npos;
        _exit(refused ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_FALSE(WIFSIGNALED(status)) << "Open blocked on a FIFO";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(S_ISFIFO(StatOf(File()).st_mode));
    EXPECT_TRUE(std::filesystem::is_empty(dir.File("folder.xml")));
    EXPECT_EQ(dir.Entries().size(), 2u);
}

TEST_F(PresetFileTest, OpenRemovesTemporaryFilesOfSavesWhoseProcessIsGone) {
    WriteFile(File(), kRecordFile);
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Exceeding the file size limit kills the process in the middle of its save.
        struct rlimit noCore {};
        setrlimit(RLIMIT_CORE, &noCore);
        signal(SIGXFSZ, SIG_DFL);
        CXMLPrepositionReader reader("JVC", dir.Path());
        if (!reader.Open("presets.xml")) {
            _exit(2);
        }
        struct rlimit limit {};
        limit.rlim_cur = limit.rlim_max = kRecordFile.size() + 16;
        setrlimit(RLIMIT_FSIZE, &limit);
        reader.WritePreposition(0, 1, {std::string(100000, 'x'), 6});
        _exit(3);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << status;
    ASSERT_TRUE(HasTemporaryFile(dir));

    // Files that are not temporary files of this preset file, or whose process lives, stay.
    const std::vector<std::string> kept = {
        "presets.xml.tmp-1-0",  // process 1 always exists
        "presets.xml.tmp-" + std::to_string(getpid()) + "-7",
        "presets.xml.tmp-x-1",
        "other.xml.tmp-" + std::to_string(child) + "-0",
    };
    for (const std::string& name : kept) {
        WriteFile(dir.File(name), "partial");
    }
    CXMLPrepositionReader reader("JVC", dir.Path());
    ASSERT_TRUE(reader.Open("presets.xml"));
    std::vector<std::string> entries = dir.Entries();
    std::sort(entries.begin(), entries.end());
    std::vector<std::string> expected = kept;
    expected.push_back("presets.xml");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(entries, expected);
}

TEST_F(PresetFileTest, BackslashesInTheFileNameSeparateFolders) {
    CXMLPrepositionReader reader("JVC", dir.Path());
    EXPECT_EQ(reader.FilePath("Presets\\JVC.preset"), dir.Path() + "/Presets/JVC.preset");
    ASSERT_EQ(mkdir(dir.File("Presets").c_str(), 0755), 0);
    ASSERT_TRUE(reader.Open("Presets\\JVC.preset"));
    ASSERT_TRUE(reader.WritePreposition(0, 0, {"Door", 5}));
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"Presets"});
    EXPECT_NE(ReadFile(dir.File("Presets/JVC.preset")).find("Door"), std::string::npos);
}

}  // namespace
