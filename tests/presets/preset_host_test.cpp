// Presets as a host sees them through the built module against the camera simulator: a
// deletion the camera refuses, preset files with gaps between their records, a preset file
// given by its full path or not usable at all, and records whose slot the camera does not
// have.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "camera_simulator.h"
#include "reference_host.h"
#include "support/ptz_host.h"

namespace {

using vostrel::ipcapture::IIPPTZApiEx;
namespace codes = vostrel::ipcapture;

class PresetHost : public ::testing::Test {
  protected:
    void SetUp() override { cam.Start(); }
    // Marks camera slots as stored, as presets saved earlier would have left them.
    void Register(std::initializer_list<int> slots) {
        for (int slot : slots) {
            cam.SetParam("camera.position(" + std::to_string(slot + 1) + ").status", "registered");
        }
    }
    bool Sent(const std::string& fragment) {
        for (const auto& request : cam.Requests()) {
            if (request.target.find(fragment) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    camsim::CameraSimulator cam{camsim::Options{.profile = "VN-V686"}};
    PresetFile file{"preset-host"};
};

TEST_F(PresetHost, ADeletionTheCameraRefusesFailsAndKeepsThePreset) {
    {
        PtzHost host(cam, file.Name());
        ASSERT_NE(host.Control(), nullptr);
        ASSERT_EQ(host.Control()->AddPreset("Gate"), codes::kPtzDone);
        cam.SetLineStatus("camera.position(1).status", 500);
        EXPECT_EQ(host.Control()->DeletePreset("Gate"), codes::kPtzPresetFailed);
        EXPECT_TRUE(Sent("camera.position(1).status=initialize"));
        EXPECT_EQ(host.Names(), std::vector<std::string>{"Gate"});
        EXPECT_NE(file.Content().find("\"Gate\""), std::string::npos);
    }
    cam.ClearLineStatus();
    PtzHost host(cam, file.Name());
    ASSERT_NE(host.Control(), nullptr);
    EXPECT_EQ(host.Names(), std::vector<std::string>{"Gate"});
    // Once the camera clears it, the deletion goes through.
    EXPECT_EQ(host.Control()->DeletePreset("Gate"), codes::kPtzDone);
    EXPECT_TRUE(host.Names().empty());
}

// Records 000 (A) and 002 (B): neither an addition nor a renaming may lose a preset.
TEST_F(PresetHost, AFileWithGapsLosesNothingAcrossRestarts) {
    Register({0, 1});
    file.WriteRecords({{"0", "A", "0"}, {"2", "B", "1"}});
    {
        PtzHost host(cam, file.Name());
        ASSERT_NE(host.Control(), nullptr);
        EXPECT_EQ(host.Names(), (std::vector<std::string>{"A", "B"}));
        ASSERT_EQ(host.Control()->AddPreset("C"), codes::kPtzDone);
        EXPECT_TRUE(cam.Preset(3).registered);
    }
    {
        PtzHost host(cam, file.Name());
        ASSERT_NE(host.Control(), nullptr);
        EXPECT_EQ(host.Names(), (std::vector<std::string>{"A", "B", "C"}));
    }

    file.WriteRecords({{"0", "A", "0"}, {"2", "B", "1"}});
    {
        PtzHost host(cam, file.Name());
        ASSERT_NE(host.Control(), nullptr);
        ASSERT_EQ(host.Control()->GotoPreset(1, "B"), codes::kPtzDone);
        ASSERT_EQ(host.Control()->AddPreset("B2"), codes::kPtzDone);  // renames B
    }
    PtzHost host(cam, file.Name());
    ASSERT_NE(host.Control(), nullptr);
    EXPECT_EQ(host.Names(), (std::vector<std::string>{"A", "B2"}));
}

TEST_F(PresetHost, AFullPathNamesThePresetFileItself) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("preset-host-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    const std::string path = (folder / "cam.xml").string();
    {
        PtzHost host(cam, path);
        ASSERT_NE(host.Control(), nullptr);
        EXPECT_EQ(host.Control()->AddPreset("Gate"), codes::kPtzDone);
    }
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("\"Gate\""), std::string::npos);
    std::filesystem::remove_all(folder);
}

// A preset file that cannot be used costs the presets, not the head: moves still go out, and
// each preset operation fails with its code and a line that names the file and the cause.
TEST_F(PresetHost, WithoutAUsablePresetFileTheHeadStillMovesAndPresetsFail) {
    const std::string unusable = "/proc/self/no-such-folder/cam.xml";
    PtzHost host(cam, unusable);
    IIPPTZApiEx* control = host.Control();
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->Move(0, 4), codes::kPtzDone);
    EXPECT_TRUE(cam.WaitForRequest("camera.motion.pan.status=start"));
    EXPECT_EQ(control->StopAll(), codes::kPtzDone);

    cam.ClearRequests();
    EXPECT_EQ(control->AddPreset("Gate"), codes::kPtzNotQueued);
    EXPECT_EQ(control->GotoPreset(1, "Gate"), codes::kPtzPresetFailed);
    EXPECT_EQ(control->DeletePreset("Gate"), codes::kPtzPresetFailed);
    EXPECT_FALSE(Sent("camera.position("));
    EXPECT_EQ(host.log.CountContaining("cannot be added - presets cannot be kept"), 1u);
    EXPECT_EQ(host.log.CountContaining("cannot be reached - presets cannot be kept"), 1u);
    EXPECT_EQ(host.log.CountContaining("cannot be deleted - presets cannot be kept"), 1u);
    EXPECT_GE(host.log.CountContaining(unusable), 4u);
}

TEST_F(PresetHost, SlotsTheCameraDoesNotHaveAreNeverSent) {
    Register({98});
    file.WriteRecords({{"0", "wrapped", "4294967295"},
                       {"1", "far", "500"},
                       {"2", "edge", "99"},
                       {"3", "last", "98"}});
    PtzHost host(cam, file.Name());
    IIPPTZApiEx* control = host.Control();
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(host.Names(), std::vector<std::string>{"last"});
    EXPECT_EQ(host.log.CountContaining("of the preset file is left out"), 3u);
    cam.ClearRequests();
    for (const char* name : {"wrapped", "far", "edge"}) {
        EXPECT_EQ(control->GotoPreset(1, name), codes::kPtzPresetFailed) << name;
        EXPECT_EQ(control->DeletePreset(name), codes::kPtzPresetFailed) << name;
    }
    EXPECT_FALSE(Sent("camera.position("));
    EXPECT_EQ(control->GotoPreset(1, "last"), codes::kPtzDone);
    EXPECT_EQ(cam.Head().last_goto, 99);
}

}  // namespace
