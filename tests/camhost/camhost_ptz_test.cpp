// camhost ptz run as a person runs it, against a camera simulator of the test that keeps its
// head and presets between the runs, with a preset file of the test's (--presets).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "camera_simulator.h"
#include "camsim/camsim_test_util.h"

namespace {

using camsim_test::ProcessResult;
using camsim_test::RunProcess;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

class CamhostPtz : public ::testing::Test {
  protected:
    void SetUp() override {
        port = cam.Start();
        presets =
            (fs::temp_directory_path() / ("camhost-ptz-test-" + std::to_string(getpid()) + ".xml"))
                .string();
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove(presets, ignored);
    }
    ProcessResult Ptz(std::vector<std::string> action) {
        std::vector<std::string> args = {
            CAMHOST_EXE, "ptz",   "--address", "127.0.0.1", "--port",     std::to_string(port),
            "--presets", presets, "--user",    "admin",     "--password", cam.options().password};
        args.insert(args.end(), action.begin(), action.end());
        return RunProcess(args, 60s, 0ms, nullptr);
    }

    camsim::CameraSimulator cam{camsim::Options{.profile = "VN-V686"}};
    uint16_t port = 0;
    std::string presets;
};

TEST_F(CamhostPtz, PresetsMovesAndClearErrors) {
    ProcessResult r = Ptz({"preset", "add", "Gate"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("preset add \"Gate\": done"), std::string::npos) << r.out;
    EXPECT_TRUE(cam.Preset(1).registered);

    r = Ptz({"--speed", "16", "--for", "0.2", "move", "up-left"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(cam.Head().pan.speed, 100u);
    EXPECT_EQ(cam.Head().tilt.mode, "up");
    EXPECT_EQ(cam.Head().tilt.stops, 1u);
    EXPECT_FALSE(cam.Head().pan.moving);

    r = Ptz({"preset", "add", "Yard 2"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    r = Ptz({"preset", "list"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("2 presets on channel 0\n  0  Gate\n  1  Yard 2\n"), std::string::npos)
        << r.out;

    r = Ptz({"preset", "goto", "Gate"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(cam.Head().last_goto, 1);
    r = Ptz({"preset", "goto", "Nowhere"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("no preset is called \"Nowhere\""), std::string::npos) << r.out;

    r = Ptz({"preset", "delete", "Gate"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_FALSE(cam.Preset(1).registered);

    // A write the camera refuses: the driver's line and a failure.
    cam.SetLineStatus("camera.motion.zoom.status", 500);
    r = Ptz({"--for", "0", "zoom", "in"});
    EXPECT_EQ(r.exit_code, 1) << r.out;
    EXPECT_NE(r.out.find("Cannot set parameter \"camera.motion.zoom.status=start\""),
              std::string::npos)
        << r.out;
    cam.ClearLineStatus();

    // A point of the channel's 640x480 picture.
    r = Ptz({"center", "160", "120"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    ASSERT_FALSE(cam.Head().clicks.empty()) << r.out;
    EXPECT_EQ(cam.Head().clicks.back(), "s160-s120");
    r = Ptz({"stop"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;

    // Usage errors.
    r = Ptz({"move", "sideways"});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_NE(r.err.find("move needs a direction"), std::string::npos) << r.err;
}

// The camera refuses to clear a preset: the driver's line and exit status 1. The preset stays
// in the list (the file is rewritten with it), so a later delete can still clear it.
TEST_F(CamhostPtz, ARefusedDeleteFailsAndKeepsThePreset) {
    ProcessResult r = Ptz({"preset", "add", "Gate"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    ASSERT_TRUE(cam.Preset(1).registered);

    cam.SetLineStatus("camera.position(1).status", 500);
    r = Ptz({"preset", "delete", "Gate"});
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("Cannot set parameter \"camera.position(1).status=initialize\""),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("preset delete \"Gate\": no such preset, or the camera refused it"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(cam.Preset(1).registered);
    r = Ptz({"preset", "list"});
    EXPECT_NE(r.out.find("1 preset on channel 0\n  0  Gate\n"), std::string::npos) << r.out;

    cam.ClearLineStatus();
    r = Ptz({"preset", "delete", "Gate"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_FALSE(cam.Preset(1).registered);
}

TEST(CamhostPtzSimulated, ACameraWithoutAHeadIsNamed) {
    ProcessResult r =
        RunProcess({CAMHOST_EXE, "ptz", "--simulate", "VN-X235", "zoom", "in"}, 60s, 0ms, nullptr);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("the camera VN-X235 has no PTZ head"), std::string::npos) << r.out;
}

}  // namespace
