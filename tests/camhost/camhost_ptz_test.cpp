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
    // camhost ptz at the test's camera with these options and action.
    ProcessResult At(std::vector<std::string> words) {
        std::vector<std::string> args = {CAMHOST_EXE, "ptz",    "--address",
                                         "127.0.0.1", "--port", std::to_string(port)};
        args.insert(args.end(), words.begin(), words.end());
        return RunProcess(args, 60s, 0ms, nullptr);
    }
    // With the test's preset file and the admin's account.
    ProcessResult Ptz(std::vector<std::string> action) {
        action.insert(action.begin(), {"--presets", presets, "--user", "admin", "--password",
                                       cam.options().password});
        return At(action);
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
    EXPECT_NE(r.out.find("camhost: preset delete \"Gate\" failed: the camera refused it (500 in "
                         "the camera's answer)"),
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

// A preset that cannot be added or deleted says why in words, from the driver's failure line
// where there is one, without the driver's result codes.
TEST_F(CamhostPtz, AFailedPresetSaysWhy) {
    const std::string unkept = (fs::path(presets + ".missing") / "p.xml").string();
    ProcessResult r = At({"--presets", unkept, "--user", "admin", "--password",
                          cam.options().password, "preset", "add", "Gate"});
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("camhost: preset add \"Gate\" failed: presets cannot be kept: cannot "
                         "create a file beside \"" +
                         unkept +
                         "\": No such file or directory (--presets FILE names another "
                         "file)\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("driver result"), std::string::npos) << r.out;
    EXPECT_FALSE(cam.Preset(1).registered);

    // With the model named there is no query: the driver meets the refused password.
    r = At({"--presets", presets, "--model", "VN-V686", "--user", "admin", "--password", "wrong",
            "preset", "add", "Gate"});
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("camhost: preset add \"Gate\" failed: the camera refused the user name "
                         "or password (HTTP 401): check --user and --password (or "
                         "--password-file, CAMHOST_PASSWORD)\n"),
              std::string::npos)
        << r.out;

    r = Ptz({"preset", "delete", "Nowhere"});
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("camhost: preset delete \"Nowhere\" failed: no preset is called "
                         "\"Nowhere\""),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("driver result"), std::string::npos) << r.out;
}

TEST(CamhostPtzSimulated, ACameraWithoutAHeadIsNamed) {
    ProcessResult r =
        RunProcess({CAMHOST_EXE, "ptz", "--simulate", "VN-X235", "zoom", "in"}, 60s, 0ms, nullptr);
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.out.find("the camera VN-X235 has no PTZ head"), std::string::npos) << r.out;
}

}  // namespace
