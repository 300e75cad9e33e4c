// Preset crash safety: a child process adds and deletes presets and is killed with SIGKILL at
// random moments. After every kill the preset file loads and holds every preset whose add had
// returned success (and that no delete had been started for) before the kill.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "presets/preposition_list.h"
#include "presets/xml_preposition_reader.h"
#include "temp_dir.h"

namespace {

using presets_test::TempDir;
using vostrel::CPrepositionList;
using vostrel::TSmartPtr;

// A camera that takes every preset at once.
class AgreeingCamera : public vostrel::IPrepositionComm {
  public:
    bool SaveCameraPreset(uint32_t, const std::string&) override { return true; }
    bool GotoCameraPreset(uint32_t, const std::string&, int32_t) override { return true; }
    void DebugMessage(int, const char*, ...) override {}
};

// The child: adds presets p<N> one after another, deleting the oldest while the list holds 30,
// and reports on the pipe "A N" after an add returned success, "d N" before a delete starts.
[[noreturn]] void Child(const std::string& folder, int out, int first) {
    TSmartPtr<CXMLPrepositionReader> storage(new CXMLPrepositionReader("JVC", folder));
    if (!storage->Open("crash.xml")) {
        _exit(3);
    }
    AgreeingCamera camera;
    CPrepositionList list(0);
    list.m_prepositionComm = &camera;
    list.m_maxCount = 99;
    list.SetStorage(storage);
    for (int n = first;; ++n) {
        char line[64];
        if (list.GetPrepositionCount() >= 30) {
            std::string oldest;
            list.GetPrepositionName(0, oldest);
            const int len = std::snprintf(line, sizeof line, "d %s\n", oldest.c_str());
            (void)!write(out, line, static_cast<size_t>(len));
            list.DeletePreposition(oldest);
        }
        list.ResetCurrentPreposition();
        const std::string name = "p" + std::to_string(n);
        if (list.AddPreposition(name) == 1) {
            const int len = std::snprintf(line, sizeof line, "A %s\n", name.c_str());
            (void)!write(out, line, static_cast<size_t>(len));
        }
    }
}

}  // namespace

TEST(PresetCrashSafety, EveryReportedPresetSurvivesAKillAtAnyMoment) {
    TempDir dir;
    // Adds that returned success and that no delete was started for since: these must be in
    // the file. A preset whose delete was started may or may not be.
    std::set<std::string> stored;
    std::mt19937 random(20261208);
    int next = 0;
    constexpr int kKills = 200;
    for (int kill = 0; kill < kKills; ++kill) {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(fds[0]);
            Child(dir.Path(), fds[1], next);
        }
        close(fds[1]);
        // Let it work for 0..25 ms, then kill it wherever it is.
        usleep(static_cast<useconds_t>(std::uniform_int_distribution<int>(0, 25000)(random)));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended by itself: " << status;
        // What the child reported before it died.
        std::string reported;
        char buffer[4096];
        ssize_t got = 0;
        while ((got = read(fds[0], buffer, sizeof buffer)) > 0) {
            reported.append(buffer, static_cast<size_t>(got));
        }
        close(fds[0]);
        size_t pos = 0;
        while (pos < reported.size()) {
            const size_t end = reported.find('\n', pos);
            if (end == std::string::npos) {
                break;  // a line cut by the kill
            }
            const std::string line = reported.substr(pos, end - pos);
            pos = end + 1;
            const std::string name = line.substr(2);
            if (line[0] == 'A') {
                stored.insert(name);
                next = std::max(next, std::stoi(name.substr(1)) + 1);
            } else {
                stored.erase(name);
            }
        }
        // The file loads, and holds every stored preset.
        CXMLPrepositionReader reader("JVC", dir.Path());
        ASSERT_TRUE(reader.Open("crash.xml")) << "kill " << kill << ": " << reader.LastError();
        std::set<std::string> inFile;
        for (int32_t index = 0; index < 99; ++index) {
            PrepositionRecord record;
            if (reader.ReadPreposition(0, index, record)) {
                inFile.insert(record.name);
            }
        }
        for (const std::string& name : stored) {
            ASSERT_TRUE(inFile.count(name)) << "kill " << kill << ": preset " << name << " lost";
        }
        next += 1;  // a name whose add was cut off is not reused
    }
    // No file was ever moved aside as unreadable, and the temporary files of killed saves
    // were removed by the next open.
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"crash.xml"});
    EXPECT_GT(stored.size(), 0u);
}
