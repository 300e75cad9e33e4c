// camhost query: its options, and the program run as a person runs it against camera
// simulators of the test: the table, the JSON object, and a camera that is not identified.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "camera_simulator.h"
#include "camsim/camsim_test_util.h"
#include "query_command.h"

namespace {

using camsim_test::ProcessResult;
using camsim_test::RunProcess;
using namespace std::chrono_literals;

ProcessResult Query(const camsim::CameraSimulator& cam, std::vector<std::string> extra) {
    std::vector<std::string> args = {CAMHOST_EXE,   "query",  "--address",
                                     cam.address(), "--port", std::to_string(cam.port())};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunProcess(args, 60s, 0ms, nullptr);
}

}  // namespace

TEST(CamhostQuery, TableOfAPtzDomeBehindDigestAuthentication) {
    camsim::CameraSimulator cam({.profile = "VN-V686", .auth = camsim::AuthMode::kDigest});
    cam.Start();
    ProcessResult r = Query(cam, {"--user", "admin", "--password", "vn-v686"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    const std::string expected =
        "Camera at 127.0.0.1:" + std::to_string(cam.port()) +
        "\n"
        "  model             VN-V686U (JVC)\n"
        "  family            1 (VN-V: picture size set per encoder)\n"
        "  digital inputs    2\n"
        "  digital outputs   2\n"
        "  PTZ head          yes\n"
        "  preset file       JVC_0080886A8601.preset\n"
        "  centre command    supported\n"
        "  firmware          cam=1.05, net=2.10, ptz=2.00\n"
        "  codecs            MJPEG, MPEG-4\n"
        "  picture sizes     320x240 (33 ms), 640x480 (33 ms)\n"
        "  frame rates       1, 2, 3, 5, 6, 8, 10, 15, 25, 30 per second\n"
        "Driver parameters (handed back to the driver at open)\n"
        "  1  Video Standard                    0\n"
        "  2  JVC Camera Family                 1\n"
        "  3  File Name of Preset XML Storage   JVC_0080886A8601.preset\n"
        "  4  Center PTZ Command Supported      1\n"
        "  5  Firmware Version                  cam=1.05, net=2.10, ptz=2.00\n";
    EXPECT_EQ(r.out, expected);

    // Without the credentials the camera is not identified, and the message says what to
    // check.
    r = Query(cam, {});
    EXPECT_EQ(r.exit_code, 1) << r.out;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("the camera was not identified: Failed to get camera properties (error "
                         "code 3). Check --user and --password"),
              std::string::npos)
        << r.err;
}

TEST(CamhostQuery, JsonOfABoxCameraIsOneObject) {
    camsim::CameraSimulator cam({.profile = "VN-X235"});
    cam.Start();
    ProcessResult r =
        Query(cam, {"--json", "--video-standard", "1", "--user", "admin", "--password", "jvc"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    ASSERT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.front(), '{');
    EXPECT_EQ(r.out.substr(r.out.size() - 2), "}\n");
    const std::string lines[] = {
        "\"port\": " + std::to_string(cam.port()) + ",",
        "\"model\": \"VN-X235\",",
        "\"family\": 2,",
        "\"inputs\": 1,",
        "\"outputs\": 1,",
        "\"ptz\": false,",
        "\"presetFile\": null,",
        "\"centerSupported\": false,",
        "\"firmware\": \"1.30\",",
        "\"codecs\": [\"MJPEG\", \"MPEG-4\"],",
        "\"resolutions\": [{\"width\": 1280, \"height\": 960, \"frameIntervalMs\": 67}, "
        "{\"width\": 320, \"height\": 240, \"frameIntervalMs\": 67}, "
        "{\"width\": 640, \"height\": 480, \"frameIntervalMs\": 67}],",
        "\"frameRates\": [1, 2, 3, 5, 6, 8, 10, 15],",
        "{\"index\": 1, \"name\": \"Video Standard\", \"value\": \"1\"},",
        "{\"index\": 3, \"name\": \"File Name of Preset XML Storage\", \"value\": \"(none)\"},",
        "{\"index\": 5, \"name\": \"Firmware Version\", \"value\": \"1.30\"}\n  ]\n}",
    };
    for (const std::string& line : lines) {
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
    }

    // A camera of another vendor.
    cam.SetParam("system.model", "AXIS Q6034-E");
    r = Query(cam, {"--json"});
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("not identified"), std::string::npos) << r.err;
}

TEST(CamhostQuery, Options) {
    using camhost::ParseOutcome;
    using camhost::ParseQueryArgs;
    using camhost::QueryOptions;
    QueryOptions o;
    ASSERT_EQ(ParseQueryArgs({"--address", "cam", "--port", "8080", "--user", "u", "--password",
                              "p", "--json", "--video-standard", "1", "--timeout", "2.5"},
                             o)
                  .status,
              ParseOutcome::kRun);
    EXPECT_EQ(o.camera.address, "cam");
    EXPECT_EQ(o.camera.port, 8080);
    EXPECT_EQ(o.camera.user, "u");
    EXPECT_EQ(o.camera.password, "p");
    EXPECT_TRUE(o.json);
    EXPECT_TRUE(o.videoStandard);
    EXPECT_DOUBLE_EQ(o.timeout, 2.5);

    QueryOptions s;
    ASSERT_EQ(ParseQueryArgs({"--simulate", "vn-x100", "--sim-auth", "basic"}, s).status,
              ParseOutcome::kRun);
    EXPECT_TRUE(s.camera.simulate);
    EXPECT_EQ(s.camera.sim_profile, "vn-x100");
    EXPECT_EQ(s.camera.sim_auth, camsim::AuthMode::kBasic);
    QueryOptions help;
    EXPECT_EQ(ParseQueryArgs({"--address", "a", "--help"}, help).status, ParseOutcome::kHelp);

    const std::vector<std::vector<std::string>> mistakes = {
        {},
        {"--port", "80"},
        {"--address", "a", "--port", "0"},
        {"--address", "a", "--port", "-8"},
        {"--address", "a", "--video-standard", "2"},
        {"--address", "a", "--timeout", "0"},
        {"--address", "a", "--sim-auth", "basic"},
        {"--address", "a", "extra"},
        {"--address"},
        {"--simulate", "VN-Q1"},
        {"--simulate", "--address", "a"},
        {"--address", "a", "--frobnicate", "1"},
        {"--address", "a", "--model", "VN-V686"},  // the query finds the model out
    };
    for (const auto& args : mistakes) {
        QueryOptions m;
        EXPECT_EQ(ParseQueryArgs(args, m).status, ParseOutcome::kUsageError)
            << ::testing::PrintToString(args);
    }
}
