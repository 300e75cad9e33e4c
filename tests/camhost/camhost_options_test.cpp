// camhost's command line: what it accepts, what it refuses and how it says so, and the driver
// settings, preset file and password the camera set-up makes of it.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "camera_setup.h"
#include "capture_options.h"
#include "console.h"
#include "driver_lines.h"

using namespace camhost;
namespace fs = std::filesystem;

namespace {

ParseOutcome Capture(std::vector<std::string> args, CaptureOptions& out) {
    return ParseCaptureArgs(args, out);
}

std::string ErrorOf(std::vector<std::string> args) {
    CaptureOptions o;
    const ParseOutcome r = Capture(args, o);
    EXPECT_EQ(r.status, ParseOutcome::kUsageError) << ::testing::PrintToString(args);
    return r.error;
}

// An environment variable set for one test, put back as it was afterwards.
class ScopedVariable {
  public:
    ScopedVariable(const char* name, const char* value) : m_name(name) {
        if (const char* old = getenv(name)) {
            m_old = old;
        }
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedVariable() { m_old ? setenv(m_name, m_old->c_str(), 1) : unsetenv(m_name); }

  private:
    const char* m_name;
    std::optional<std::string> m_old;
};

}  // namespace

TEST(CamhostOptions, CaptureOptionsAreRead) {
    CaptureOptions o;
    auto r = Capture(
        {"--address",  "10.0.0.5", "--port",    "8080",    "--user", "u", "--password", "p",
         "--stream",   "mpeg4",    "--size",    "320x240", "--fps",  "5", "--quality",  "70",
         "--channels", "4",        "--seconds", "2.5",     "--out",  "x", "--model",    "VN-X235"},
        o);
    ASSERT_EQ(r.status, ParseOutcome::kRun) << r.error;
    EXPECT_EQ(o.camera.address, "10.0.0.5");
    EXPECT_EQ(o.camera.port, 8080);
    EXPECT_EQ(o.camera.password, "p");
    EXPECT_EQ(o.camera.model, "VN-X235");
    EXPECT_EQ(o.video.stream, StreamKind::kMpeg4);
    EXPECT_EQ(o.video.width, 320u);
    EXPECT_EQ(o.video.height, 240u);
    EXPECT_EQ(o.video.fps, 5u);
    EXPECT_EQ(o.video.quality, 70u);
    EXPECT_EQ(o.channels, 4u);
    EXPECT_DOUBLE_EQ(o.seconds, 2.5);
    EXPECT_EQ(o.out_dir, "x");

    CaptureOptions s;
    ASSERT_EQ(
        Capture({"--simulate", "vn-x235", "--sim-auth", "digest", "--sim-user", "bob"}, s).status,
        ParseOutcome::kRun);
    EXPECT_TRUE(s.camera.simulate);
    EXPECT_EQ(s.camera.sim_profile, "vn-x235");
    EXPECT_EQ(s.camera.sim_auth, camsim::AuthMode::kDigest);
    EXPECT_EQ(s.camera.sim_user, "bob");
}

// Each mistake is named, with the range a value must lie in; an unknown option is unknown,
// whatever follows it.
TEST(CamhostOptions, MistakesSayWhatIsAllowed) {
    EXPECT_EQ(ErrorOf({}), "the camera is needed: --address A (or --simulate)");
    EXPECT_EQ(ErrorOf({"--address", "a", "--jsn"}), "unknown option --jsn");
    EXPECT_EQ(ErrorOf({"--address", "a", "--jsn", "1"}), "unknown option --jsn");
    EXPECT_EQ(ErrorOf({"--address"}), "--address needs a value");
    EXPECT_EQ(ErrorOf({"--address", "a", "--port", "70000"}), "--port must be 1..65535");
    EXPECT_EQ(ErrorOf({"--address", "a", "--port", "0"}), "--port must be 1..65535");
    EXPECT_EQ(ErrorOf({"--address", "a", "--fps", "-1"}), "--fps must be 0..30");
    EXPECT_EQ(ErrorOf({"--address", "a", "--quality", "0"}), "--quality must be 1..100");
    EXPECT_EQ(ErrorOf({"--address", "a", "--channels", "17"}), "--channels must be 1..16");
    EXPECT_EQ(ErrorOf({"--address", "a", "--size", "0x480"}),
              "--size must be WIDTHxHEIGHT, each 16..4096 (e.g. 640x480)");
    EXPECT_EQ(ErrorOf({"--address", "a", "--stream", "h264"}), "--stream must be mjpeg or mpeg4");
    EXPECT_EQ(ErrorOf({"--address", "a", "--seconds", "x"}),
              "--seconds must be 0..31536000 seconds");
    EXPECT_EQ(ErrorOf({"--address", "a", "--param", "3"}), "--param must be N=TEXT, N 1..64");
    EXPECT_EQ(ErrorOf({"--address", "a", "--sim-auth", "digest"}), "--sim-auth is for --simulate");
    EXPECT_EQ(ErrorOf({"--simulate", "--port", "80"}),
              "--simulate chooses the address and port; leave out --address and --port");
    EXPECT_EQ(ErrorOf({"--simulate", "VN-Q1"}).rfind("unknown camera profile \"VN-Q1\"", 0), 0u);
    EXPECT_EQ(ErrorOf({"--address", "a", "--presets", "p.xml"}), "unknown option --presets");

    CaptureOptions h;
    EXPECT_EQ(Capture({"--address", "a", "--help"}, h).status, ParseOutcome::kHelp);
    DemoOptions demo;
    EXPECT_EQ(ParseDemoArgs({"--seconds", "1.5", "--out", "d"}, demo).status, ParseOutcome::kRun);
    EXPECT_DOUBLE_EQ(demo.seconds, 1.5);
    EXPECT_EQ(ParseDemoArgs({"--seconds", "0"}, demo).error,
              "--seconds must be more than 0 and at most 31536000 seconds");
    EXPECT_EQ(ParseDemoArgs({"--address", "a"}, demo).error, "unknown option --address");
}

// --password, else --password-file's first line, else CAMHOST_PASSWORD; the two options
// together are refused.
TEST(CamhostOptions, ThePasswordComesFromOneSource) {
    const fs::path file = fs::temp_directory_path() / ("camhost-pw-" + std::to_string(getpid()));
    std::ofstream(file) << "from file\r\nsecond line\n";
    const ScopedVariable environment(kPasswordVariable, "from environment");
    auto password = [](std::vector<std::string> args) {
        args.insert(args.begin(), {"--address", "a"});
        CaptureOptions o;
        const ParseOutcome r = ParseCaptureArgs(args, o);
        return r.status == ParseOutcome::kRun ? o.camera.password : "error: " + r.error;
    };
    EXPECT_EQ(password({"--password", "given"}), "given");
    EXPECT_EQ(password({"--password-file", file.string()}), "from file");
    EXPECT_EQ(password({}), "from environment");
    EXPECT_EQ(password({"--password", "", "--password-file", file.string()}),
              "error: give --password or --password-file, not both");
    EXPECT_EQ(password({"--password-file", file.string() + ".missing"}),
              "error: cannot read the password file " + file.string() +
                  ".missing: No such file or directory");
    std::ofstream(file, std::ios::trunc) << "no line end";
    EXPECT_EQ(password({"--password-file", file.string()}), "no line end");
    fs::remove(file);
}

TEST(CamhostSetUp, DriverParametersFromTheQueryOrTheModel) {
    // Without a query: the model's family, the preset file, the centre command assumed.
    EXPECT_EQ(DriverParameters(nullptr, "VN-X235", "/s/p.preset", {}),
              (std::map<int, std::string>{{1, "0"}, {2, "2"}, {3, "/s/p.preset"}, {4, "1"}}));
    // The query's five, with the preset file's full path; --param over them; no gaps.
    Identification id;
    id.driverParameters = {{1, "Video Standard", "0"},
                           {2, "JVC Camera Family", "1"},
                           {3, "File Name of Preset XML Storage", "JVC_0080886A8601.preset"},
                           {4, "Center PTZ Command Supported", "0"},
                           {5, "Firmware Version", "cam=1.05"}};
    EXPECT_EQ(DriverParameters(&id, "VN-V686U", "/s/JVC_0080886A8601.preset", {{7, "x"}}),
              (std::map<int, std::string>{{1, "0"},
                                          {2, "1"},
                                          {3, "/s/JVC_0080886A8601.preset"},
                                          {4, "0"},
                                          {5, "cam=1.05"},
                                          {6, "(none)"},
                                          {7, "x"}}));
}

TEST(CamhostSetUp, ThePresetFileIsPerCameraInTheStateFolder) {
    {
        const ScopedVariable state("XDG_STATE_HOME", "/tmp/state");
        EXPECT_EQ(PresetFolder(), "/tmp/state/camhost");
    }
    {
        // A relative XDG_STATE_HOME is not used (the base directory rules say so).
        const ScopedVariable state("XDG_STATE_HOME", "state");
        const ScopedVariable home("HOME", "/home/me");
        EXPECT_EQ(PresetFolder(), "/home/me/.local/state/camhost");
    }
    EXPECT_EQ(PresetFileName("JVC_0080886A8601.preset", "10.0.0.5", 80), "JVC_0080886A8601.preset");
    EXPECT_EQ(PresetFileName("", "10.0.0.5", 8080), "camhost-10.0.0.5-8080.preset");
    EXPECT_EQ(PresetFileName("", "::1", 80), "camhost-__1-80.preset");
    // A name from the camera cannot leave the folder.
    EXPECT_EQ(PresetFileName("../../x", "cam", 80), ".._.._x");
    EXPECT_EQ(PresetFileName("..", "cam", 80), "camhost-cam-80.preset");

    // --presets takes any path; a relative one from the current folder.
    CameraOptions o;
    o.address = "a";
    o.presets = "sub/p.xml";
    ASSERT_EQ(FinishCameraOptions(o).status, ParseOutcome::kRun);
    EXPECT_EQ(o.presets, (fs::current_path() / "sub/p.xml").string());
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
    const std::string refused =
        "the camera refused the user name or password (HTTP 401): check --user and --password "
        "(or --password-file, CAMHOST_PASSWORD)";
    EXPECT_EQ(FailureInUserWords(refusedLogin), refused);
    EXPECT_NE(FailureInUserWords(refusedItem).find("this user may not change that setting"),
              std::string::npos);
    EXPECT_EQ(FailureInUserWords("Signal was lost for camera 127.0.0.1"), "");
    EXPECT_EQ(CertainVideoFailure(refusedLogin), refused);
    EXPECT_EQ(CertainVideoFailure(refusedItem), "");
    EXPECT_EQ(CertainVideoFailure("vostrel::CCommonHttpChannel::SetFrameSize: Picture size "
                                  "1000x1000 cannot be set on JVC camera 127.0.0.1: it takes "
                                  "320x240"),
              "the camera cannot give that picture size (it takes 320x240)");
    EXPECT_EQ(CertainVideoFailure("... status code = 503"), "");

    FailureLines lines;
    lines.Add("earlier trouble");
    const uint64_t mark = lines.Mark();
    EXPECT_EQ(lines.Since(mark), std::nullopt);
    EXPECT_EQ(lines.WaitSince(mark, std::chrono::milliseconds(1)), std::nullopt);
    lines.Add(refusedLogin);
    lines.Add("a later line");
    EXPECT_EQ(lines.Since(mark), refused);
    EXPECT_EQ(lines.Since(0), "earlier trouble");
    // Past the lines kept, the oldest one kept answers.
    for (int i = 0; i < 100; ++i) {
        lines.Add("line " + std::to_string(i));
    }
    EXPECT_EQ(lines.Since(mark), "line 36");
}

// The preset list's failure lines, as a refused preset add reports them: the table full and a
// name the driver refuses come from the driver alone, with nothing on the camera to see.
TEST(CamhostDriverLines, APresetFailureSaysWhatToDo) {
    EXPECT_EQ(FailureInUserWords("vostrel::CPrepositionList::AddPreposition: A preposition \"Gate "
                                 "9\" cannot be added. Camera supports saving not more than 100 "
                                 "prepositions."),
              "the camera keeps at most 100 presets: delete one first");
    EXPECT_NE(FailureInUserWords("vostrel::CPrepositionList::AddPreposition: A preposition "
                                 "\"Ga<te\" cannot be added - the name is invalid.")
                  .find("a preset's name is not empty and has none of & ! < > ' \""),
              std::string::npos);
}

// What camhost prints of cameras' and web requests' texts cannot drive the terminal: C0
// controls, DEL and UTF-8 C1 controls are shown, other UTF-8 and tabs stay.
TEST(CamhostConsole, ControlCharactersArePrintedEscaped) {
    EXPECT_EQ(Printable("gate\x1b]0;owned\x07 \x7f\tok"), "gate\\x1B]0;owned\\x07 \\x7F\tok");
    EXPECT_EQ(Printable("Tor \xc3\xbc \xc2\x9b"
                        "2J"),
              "Tor \xc3\xbc \\x9B2J");
    EXPECT_EQ(Printable(std::string("a\0b", 3)), "a\\x00b");
}
