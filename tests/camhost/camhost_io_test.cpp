// camhost io: its command line, and the program run as a child process: a watch that sees an
// input the simulator flips, and a set that drives the output of a simulator in this process.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "camera_simulator.h"
#include "camsim/camsim_test_util.h"
#include "io_command.h"

using camsim_test::ProcessResult;
using camsim_test::RunProcess;
using namespace camhost;
using namespace std::chrono_literals;

namespace {

ProcessResult Camhost(std::vector<std::string> args) {
    args.insert(args.begin(), {CAMHOST_EXE, "io"});
    return RunProcess(args, 60s);
}

ParseOutcome Parse(const std::vector<std::string>& args, IoOptions& options) {
    options = IoOptions();
    return ParseIoArgs(args, options);
}

std::string ErrorOf(const std::vector<std::string>& args) {
    IoOptions options;
    const ParseOutcome outcome = Parse(args, options);
    EXPECT_EQ(outcome.status, ParseOutcome::kUsageError);
    return outcome.error;
}

}  // namespace

TEST(CamhostIoOptions, ActionsPinsAndWhatTheyNeed) {
    IoOptions o;
    ASSERT_EQ(
        Parse({"--simulate", "VN-X235", "--toggle-input", "1@0.5", "watch", "--seconds", "3"}, o)
            .status,
        ParseOutcome::kRun);
    EXPECT_EQ(o.action, IoOptions::Action::kWatch);
    EXPECT_EQ(o.camera.sim_profile, "VN-X235");
    EXPECT_EQ(o.toggles, (std::vector<std::pair<int, double>>{{1, 0.5}}));

    ASSERT_EQ(Parse({"--address", "cam", "--model", "VN-V686", "set", "1", "break"}, o).status,
              ParseOutcome::kRun);
    EXPECT_EQ(o.action, IoOptions::Action::kSet);
    EXPECT_EQ(o.pin, 1);
    EXPECT_FALSE(o.make);

    EXPECT_EQ(ErrorOf({"--address", "cam"}), "an action is needed: watch, or set PIN make|break");
    EXPECT_EQ(ErrorOf({"--address", "cam", "set", "0", "make"}),
              "bad output pin \"0\" (pins count from 1)");
    EXPECT_EQ(ErrorOf({"--address", "cam", "--outputs", "3", "set", "2", "on"}),
              "bad state \"on\": make or break");
    EXPECT_EQ(ErrorOf({"--address", "cam", "--toggle-input", "1@1", "watch"}),
              "--toggle-input flips the simulator's inputs; it needs --simulate");
    EXPECT_EQ(ErrorOf({"--simulate", "--toggle-input", "1@4", "watch", "--seconds", "2"}),
              "--toggle-input 1@4 comes after the watch ends (--seconds 2)");

    // The pin counts are the camera's, known once it is set up.
    ASSERT_EQ(Parse({"--address", "cam", "set", "3", "make"}, o).status, ParseOutcome::kRun);
    EXPECT_EQ(CheckPins(o, 2, 2), "output 3 is beyond the camera's 2 outputs (--outputs)");
    EXPECT_EQ(CheckPins(o, 2, 3), "");
    ASSERT_EQ(Parse({"--simulate", "--toggle-input", "3@1", "watch"}, o).status,
              ParseOutcome::kRun);
    EXPECT_EQ(CheckPins(o, 2, 2), "--toggle-input 3: the camera has 2 inputs");
    EXPECT_EQ(CheckPins(o, 0, 2), "watch needs at least one input (--inputs)");
}

TEST(CamhostIoProgram, WatchShowsTheInputTheSimulatorFlips) {
    // The driver reads the inputs every 2 s: the flip at 0.5 s is reported by the first poll.
    auto r = Camhost({"--simulate", "--toggle-input", "2@0.5", "watch", "--seconds", "3"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    // Both inputs were read at the start.
    EXPECT_NE(r.out.find("  input 1  break\n"), std::string::npos) << r.out;
    const size_t flipped = r.out.find("  simulator: input 2 now reads make\n");
    const size_t reported = r.out.find("  input 2  make\n");
    ASSERT_NE(flipped, std::string::npos) << r.out;
    ASSERT_NE(reported, std::string::npos) << r.out;
    EXPECT_LT(flipped, reported) << r.out;
    EXPECT_NE(r.out.find("3 input changes, 0 failures; last states: input 1 break, input 2 make"),
              std::string::npos)
        << r.out;
}

TEST(CamhostIoProgram, SetDrivesTheCamerasOutputOrSaysItWasRefused) {
    camsim::CameraSimulator cam({.profile = "VN-V686", .jpeg_ring_size = 1});  // no video here
    const std::string port = std::to_string(cam.Start());
    const std::vector<std::string> camera = {
        "--address", "127.0.0.1", "--port",     port,
        "--user",    "admin",     "--password", cam.options().password};

    auto args = camera;
    args.insert(args.end(), {"set", "1", "make"});
    auto r = Camhost(args);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("output 1 is make (the camera reads make)"), std::string::npos) << r.out;
    EXPECT_EQ(cam.OutputPin(1)->status, "make");
    // Said plainly before it happens: the start switches every output off first.
    EXPECT_NE(r.out.find("starting the digital I/O: it reads every input and sets EVERY output "
                         "to break"),
              std::string::npos)
        << r.out;
    // Driven to break at the start, then to make; the duration goes before each status.
    std::vector<std::string> writes;
    for (const auto& w : cam.Writes()) {
        writes.push_back(w.name + "=" + w.value);
    }
    // (a VN-V686 has two outputs)
    EXPECT_EQ(writes, (std::vector<std::string>{"peripheral.output_pin.pin(1).duration=0",
                                                "peripheral.output_pin.pin(1).status=break",
                                                "peripheral.output_pin.pin(2).duration=0",
                                                "peripheral.output_pin.pin(2).status=break",
                                                "peripheral.output_pin.pin(1).duration=0",
                                                "peripheral.output_pin.pin(1).status=make"}));

    // (The refusal would make the capability query count no outputs: the model is named.)
    cam.SetLineStatus("peripheral.output_pin.pin(1).status", 500);
    args = camera;
    args.insert(args.end(), {"--model", "VN-V686", "set", "1", "make"});
    r = Camhost(args);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("Cannot set output 0 state for JVC camera 127.0.0.1."), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("camhost: setting output 1 failed: the camera refused it (500 in the "
                         "camera's answer)"),
              std::string::npos)
        << r.out;
    cam.ClearLineStatus();

    // A wrong password is said to be one, not an unreachable camera: by the capability query,
    // or with the model named by the driver.
    args = {"--address",  "127.0.0.1", "--port", port, "--user", "admin",
            "--password", "wrong",     "set",    "2",  "make"};
    r = Camhost(args);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("camhost: the camera refused the user name or password (HTTP 401): "
                         "check --user and --password"),
              std::string::npos)
        << r.out;
    args.insert(args.end() - 3, {"--model", "VN-V686"});
    r = Camhost(args);
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("camhost: setting output 2 failed: the camera refused the user name or "
                         "password (HTTP 401)"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(cam.OutputPin(2)->status, "break");
}

// A camera behind Digest that closes every connection: the driver's writes and camhost's own
// read of the output both get through, and none offers the password in clear after the
// camera's first challenge.
TEST(CamhostIoProgram, SetOnADigestCameraConfirmsTheOutputWithoutBasic) {
    camsim::CameraSimulator cam(
        {.profile = "VN-V686", .auth = camsim::AuthMode::kDigest, .jpeg_ring_size = 1});
    const std::string port = std::to_string(cam.Start());
    auto r = Camhost({"--address", "127.0.0.1", "--port", port, "--user", "admin", "--password",
                      cam.options().password, "set", "2", "make"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("output 2 is make (the camera reads make)"), std::string::npos) << r.out;
    const auto requests = cam.Requests();
    const auto challenge = std::find_if(requests.begin(), requests.end(),
                                        [](const auto& q) { return q.status == 401; });
    ASSERT_NE(challenge, requests.end());
    for (auto q = std::next(challenge); q != requests.end(); ++q) {
        EXPECT_NE(q->auth_scheme, "basic") << q->target;
    }
    std::set<uint64_t> connections;
    for (const auto& q : requests) {
        connections.insert(q.connection);
    }
    EXPECT_EQ(connections.size(), requests.size());  // one request per connection
}
