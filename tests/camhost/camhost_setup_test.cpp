// The camera set-up every camhost command shares, run as a person runs the program against
// camera simulators of the test: the model found out by the capability query, the preset file
// in the user's state folder, the password from a file or the environment, and the help, the
// usage errors and the version.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "camera_simulator.h"
#include "camsim/camsim_test_util.h"

namespace {

using camsim_test::ProcessResult;
using camsim_test::RunProcess;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

ProcessResult Camhost(std::vector<std::string> args) {
    args.insert(args.begin(), CAMHOST_EXE);
    return RunProcess(args, 60s, 0ms, nullptr);
}

// A folder of the test's, removed with what it holds.
class TempFolder {
  public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "camhost-setup-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        }
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    const fs::path& path() const { return m_path; }

  private:
    fs::path m_path;
};

// An environment variable the child processes inherit, put back afterwards.
class ScopedVariable {
  public:
    ScopedVariable(const char* name, const std::string& value) : m_name(name) {
        if (const char* old = getenv(name)) {
            m_old = old;
        }
        setenv(name, value.c_str(), 1);
    }
    ~ScopedVariable() { m_old ? setenv(m_name, m_old->c_str(), 1) : unsetenv(m_name); }

  private:
    const char* m_name;
    std::optional<std::string> m_old;
};

// camhost COMMAND --address 127.0.0.1 --port P ARGS...
ProcessResult At(const camsim::CameraSimulator& cam, const std::string& command,
                 std::vector<std::string> args) {
    args.insert(args.begin(),
                {command, "--address", "127.0.0.1", "--port", std::to_string(cam.port())});
    return Camhost(args);
}

}  // namespace

// A VN-X camera named by its address only: every command asks it what it is first, and tells
// the driver so, instead of taking it for a VN-V686.
TEST(CamhostSetUp, TheModelIsFoundOutWithoutModel) {
    TempFolder state;
    const ScopedVariable stateHome("XDG_STATE_HOME", state.path().string());
    camsim::CameraSimulator cam({.profile = "VN-X235", .jpeg_ring_size = 1});
    cam.Start();
    // One input, as the query finds: a watch of two would fail on the second.
    ProcessResult r =
        At(cam, "io", {"--user", "admin", "--password", "jvc", "watch", "--seconds", "2.5"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("(model VN-X235, 1 input, 1 output)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("1 input change, 0 failures"), std::string::npos) << r.out;

    // Family 2: the picture size goes through the system mode, not encode(1).framesize.
    r = At(cam, "capture",
           {"--user", "admin", "--password", "jvc", "--size", "320x240", "--seconds", "1", "--out",
            (state.path() / "out").string()});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("(model VN-X235, 1 channel)"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("driver [1 failure]"), std::string::npos) << r.out;

    // No head: said at once, and nothing is sent to a head that is not there.
    r = At(cam, "ptz", {"--user", "admin", "--password", "jvc", "move", "left", "--for", "0"});
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("camhost: the camera VN-X235 has no PTZ head"), std::string::npos)
        << r.out;
    for (const auto& request : cam.Requests()) {
        EXPECT_EQ(request.target.find("camera.motion"), std::string::npos) << request.target;
    }
}

// Without --presets the preset file is the camera's own, in XDG_STATE_HOME/camhost (made for
// the user alone), named as the query names it; the driver is given its full path.
TEST(CamhostSetUp, PresetsAreKeptInTheStateFolder) {
    TempFolder state;
    const ScopedVariable stateHome("XDG_STATE_HOME", (state.path() / "state").string());
    camsim::CameraSimulator cam({.profile = "VN-V686", .jpeg_ring_size = 1});
    cam.Start();
    auto ptz = [&cam](std::vector<std::string> words) {
        words.insert(words.begin(), {"--user", "admin", "--password", cam.options().password});
        return At(cam, "ptz", words);
    };

    ProcessResult r = ptz({"preset", "add", "Gate"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    const fs::path folder = state.path() / "state" / "camhost";
    const fs::path file = folder / "JVC_0080886A8601.preset";
    EXPECT_TRUE(fs::exists(file)) << r.out;
    struct stat info {};
    ASSERT_EQ(stat(folder.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    // The next run finds it.
    r = ptz({"preset", "list"});
    EXPECT_NE(r.out.find("1 preset on channel 0\n  0  Gate\n"), std::string::npos) << r.out;

    // A camera the query does not name a file for (--model: no query) gets one of its own.
    r = ptz({"--model", "VN-V686", "preset", "add", "Yard"});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_TRUE(
        fs::exists(folder / ("camhost-127.0.0.1-" + std::to_string(cam.port()) + ".preset")))
        << r.out;
}

// The password from a file's first line or from CAMHOST_PASSWORD, so that it is not on the
// command line; a wrong one is refused like a wrong --password.
TEST(CamhostSetUp, ThePasswordFromAFileOrTheEnvironment) {
    TempFolder folder;
    camsim::CameraSimulator cam(
        {.profile = "VN-V686", .auth = camsim::AuthMode::kDigest, .jpeg_ring_size = 1});
    cam.Start();
    const fs::path good = folder.path() / "good";
    const fs::path bad = folder.path() / "bad";
    std::ofstream(good) << cam.options().password << "\r\n";
    std::ofstream(bad) << "wrong\n";

    ProcessResult r = At(cam, "query", {"--user", "admin", "--password-file", good.string()});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("model             VN-V686U (JVC)"), std::string::npos) << r.out;
    r = At(cam, "query", {"--user", "admin", "--password-file", bad.string()});
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("the camera refused the user name or password (HTTP 401)"),
              std::string::npos)
        << r.err;
    {
        const ScopedVariable password("CAMHOST_PASSWORD", cam.options().password);
        r = At(cam, "query", {"--user", "admin"});
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
        // The command line and the file go over the environment.
        r = At(cam, "query", {"--user", "admin", "--password-file", bad.string()});
        EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    }
    {
        const ScopedVariable password("CAMHOST_PASSWORD", "wrong");
        r = At(cam, "query", {"--user", "admin"});
        EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    }
    r = At(cam, "query", {"--password-file", (folder.path() / "none").string()});
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.err, "camhost query: cannot read the password file " +
                         (folder.path() / "none").string() +
                         ": No such file or directory; run \"camhost query --help\" for the "
                         "options\n");
}

// Each command's help is its own and names its options; a mistake is one line that says
// where the help is; --version prints the project's version.
TEST(CamhostSetUp, HelpUsageErrorsAndVersion) {
    const std::vector<std::pair<std::string, std::string>> commands = {
        {"capture", "--connect-timeout"}, {"demo", "--out DIR"}, {"ptz", "--speed"},
        {"io", "--toggle-input"},         {"query", "--json"},   {"serve", "--listen"}};
    std::set<std::string> helps;
    for (const auto& [command, option] : commands) {
        const ProcessResult r = Camhost({command, "--help"});
        EXPECT_EQ(r.exit_code, 0) << command;
        EXPECT_EQ(r.out.rfind("usage: camhost " + command + " ", 0), 0u) << r.out;
        EXPECT_NE(r.out.find(option), std::string::npos) << command << "\n" << r.out;
        helps.insert(r.out);
    }
    EXPECT_EQ(helps.size(), commands.size());
    EXPECT_EQ(Camhost({"ptz", "--help"}).out.find("--connect-timeout"), std::string::npos);
    EXPECT_EQ(Camhost({"query", "--help"}).out.find("--model"), std::string::npos);

    const std::vector<std::pair<std::vector<std::string>, std::string>> mistakes = {
        {{"query", "--simulate", "--jsn"}, "camhost query: unknown option --jsn"},
        {{"ptz", "--simulate", "--speed", "17", "stop"}, "camhost ptz: --speed must be 1..16"},
        {{"io", "--address", "a", "--port", "0", "watch"}, "camhost io: --port must be 1..65535"},
        {{"serve", "--address", "a", "--password", "x", "--password-file", "f"},
         "camhost serve: give --password or --password-file, not both"},
    };
    for (const auto& [args, line] : mistakes) {
        const ProcessResult r = Camhost(args);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, line + "; run \"camhost " + args[0] + " --help\" for the options\n");
    }
    const ProcessResult unknown = Camhost({"frobnicate"});
    EXPECT_EQ(unknown.exit_code, 2);
    EXPECT_EQ(unknown.err,
              "camhost: unknown command \"frobnicate\"; run \"camhost --help\" for the commands\n");

    const ProcessResult version = Camhost({"--version"});
    EXPECT_EQ(version.exit_code, 0);
    EXPECT_EQ(version.out, std::string("camhost ") + PROJECT_VERSION + "\n");
}
