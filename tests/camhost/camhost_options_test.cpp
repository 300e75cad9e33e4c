// camhost's command line: what it accepts, what it refuses, and the driver settings it makes.
#include <gtest/gtest.h>

#include "capture_options.h"
#include "driver_lines.h"

using namespace camhost;

namespace {

ParseOutcome Capture(std::vector<std::string> args, CaptureOptions& out) {
    return ParseCaptureArgs(args, out);
}

}  // namespace

TEST(CamhostOptions, CaptureOptionsAreRead) {
    CaptureOptions o;
    auto r = Capture(
        {"--address",  "10.0.0.5", "--port",    "8080",    "--user", "u", "--password", "p",
         "--stream",   "mpeg4",    "--size",    "320x240", "--fps",  "5", "--quality",  "70",
         "--channels", "4",        "--seconds", "2.5",     "--out",  "x", "--model",    "VN-X235"},
        o);
    ASSERT_EQ(r.status, ParseOutcome::kRun) << r.error;
    EXPECT_EQ(o.address, "10.0.0.5");
    EXPECT_EQ(o.port, 8080);
    EXPECT_EQ(o.stream, StreamKind::kMpeg4);
    EXPECT_EQ(o.width, 320u);
    EXPECT_EQ(o.height, 240u);
    EXPECT_EQ(o.fps, 5u);
    EXPECT_EQ(o.quality, 70u);
    EXPECT_EQ(o.channels, 4u);
    EXPECT_DOUBLE_EQ(o.seconds, 2.5);
    EXPECT_EQ(o.out_dir, "x");
    // A VN-X model is camera family 2.
    EXPECT_EQ(o.DriverParameters(), (std::map<int, std::string>{{1, "0"}, {2, "2"}}));
}

TEST(CamhostOptions, SimulateTakesAnOptionalProfile) {
    CaptureOptions a;
    ASSERT_EQ(Capture({"--simulate", "--seconds", "1"}, a).status, ParseOutcome::kRun);
    EXPECT_TRUE(a.simulate);
    EXPECT_EQ(a.EffectiveModel(), "VN-V686");
    EXPECT_EQ(a.DriverParameters().at(2), "1");

    CaptureOptions b;
    ASSERT_EQ(Capture({"--simulate", "vn-x235", "--sim-auth", "digest", "--sim-user", "bob",
                       "--sim-password", "pw"},
                      b)
                  .status,
              ParseOutcome::kRun);
    EXPECT_EQ(b.EffectiveModel(), "VN-X235");
    EXPECT_EQ(b.DriverParameters().at(2), "2");
    EXPECT_EQ(b.sim_auth, camsim::AuthMode::kDigest);
    EXPECT_EQ(b.sim_user, "bob");

    CaptureOptions c;
    EXPECT_EQ(Capture({"--simulate", "VN-Q1"}, c).status, ParseOutcome::kUsageError);
    CaptureOptions d;  // the simulator decides where the camera is
    EXPECT_EQ(Capture({"--simulate", "--port", "80"}, d).status, ParseOutcome::kUsageError);
}

TEST(CamhostOptions, DriverParametersHaveNoGaps) {
    CaptureOptions o;
    ASSERT_EQ(Capture({"--address", "a", "--param", "2=2", "--param", "5=abc=d"}, o).status,
              ParseOutcome::kRun);
    // The driver reads parameters up to the first missing one, so the gap is filled.
    EXPECT_EQ(o.DriverParameters(),
              (std::map<int, std::string>{
                  {1, "0"}, {2, "2"}, {3, "(none)"}, {4, "(none)"}, {5, "abc=d"}}));
}

TEST(CamhostOptions, MistakesAreUsageErrors) {
    const std::vector<std::vector<std::string>> bad = {
        {},                                     // no address
        {"--address", "a", "--bogus"},          // unknown option
        {"--address", "a", "--bogus", "1"},     // unknown option with a value
        {"--address"},                          // value missing
        {"--address", "a", "--size", "640"},    // not WxH
        {"--address", "a", "--size", "0x480"},  // out of range
        {"--address", "a", "--stream", "h264"},
        {"--address", "a", "--port", "70000"},
        {"--address", "a", "--fps", "-1"},
        {"--address", "a", "--quality", "0"},
        {"--address", "a", "--channels", "0"},
        {"--address", "a", "--seconds", "x"},
        {"--address", "a", "--param", "x=1"},
        {"--address", "a", "--param", "3"},
        {"--address", "a", "--sim-auth", "digest"},  // only with --simulate
        {"--simulate", "--sim-auth", "kerberos"},
    };
    for (const auto& args : bad) {
        CaptureOptions o;
        auto r = Capture(args, o);
        EXPECT_EQ(r.status, ParseOutcome::kUsageError) << ::testing::PrintToString(args);
        EXPECT_FALSE(r.error.empty());
    }
    CaptureOptions h;
    EXPECT_EQ(Capture({"--help"}, h).status, ParseOutcome::kHelp);

    DemoOptions demo;
    EXPECT_EQ(ParseDemoArgs({"--seconds", "1.5", "--out", "d"}, demo).status, ParseOutcome::kRun);
    EXPECT_DOUBLE_EQ(demo.seconds, 1.5);
    EXPECT_EQ(demo.out_dir, "d");
    EXPECT_EQ(ParseDemoArgs({"--seconds", "0"}, demo).status, ParseOutcome::kUsageError);
    EXPECT_EQ(ParseDemoArgs({"--address", "a"}, demo).status, ParseOutcome::kUsageError);
}

// The driver's lines as camhost tells the user about them: an HTTP refusal of the login is a
// certain end of a capture, a refusal in the camera's answer line (a view-only account's
// encoder write) is not, and a command waits for the first failure after its own mark.
TEST(CamhostDriverLines, WhatALineSaysAndWhichFailureAnswersARequest) {
    const std::string refusedLogin =
        "vostrel::Utils::SendRequestWrapper: host 127.0.0.1:80 sent does not process request "
        "\"/api/param?encode(1).framesize\", status code = 401";
    const std::string refusedItem =
        "Cannot set parameter \"encode(1).frame_rate\" to JVC camera 127.0.0.1. Camera "
        "returns status code 401, error message: \"encode(1).frame_rate&401 Unauthorized\"";
    EXPECT_EQ(FailureInUserWords(refusedLogin),
              "the camera refused the user name or password (HTTP 401)");
    EXPECT_NE(FailureInUserWords(refusedItem).find("this user may not change that setting"),
              std::string::npos);
    EXPECT_EQ(FailureInUserWords("Signal was lost for camera 127.0.0.1"), "");
    EXPECT_EQ(CertainVideoFailure(refusedLogin),
              "the camera refused the user name or password (HTTP 401)");
    EXPECT_EQ(CertainVideoFailure(refusedItem), "");
    EXPECT_EQ(CertainVideoFailure("vostrel::CCommonHttpChannel::SetFrameSize: Picture size "
                                  "1000x1000 cannot be set on JVC camera 127.0.0.1: it takes "
                                  "320x240"),
              "the camera cannot give that picture size: Picture size 1000x1000 cannot be set on "
              "JVC camera 127.0.0.1: it takes 320x240");
    EXPECT_EQ(CertainVideoFailure("... status code = 503"), "");

    FailureLines lines;
    lines.Add("earlier trouble");
    const uint64_t mark = lines.Mark();
    EXPECT_EQ(lines.Since(mark), std::nullopt);
    EXPECT_EQ(lines.WaitSince(mark, std::chrono::milliseconds(1)), std::nullopt);
    lines.Add(refusedLogin);
    lines.Add("a later line");
    EXPECT_EQ(lines.Since(mark), "the camera refused the user name or password (HTTP 401)");
    EXPECT_EQ(lines.Since(0), "earlier trouble");
    // Past the lines kept, the oldest one kept answers.
    for (int i = 0; i < 100; ++i) {
        lines.Add("line " + std::to_string(i));
    }
    EXPECT_EQ(lines.Since(mark), "line 36");
}
