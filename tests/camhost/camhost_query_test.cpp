// camhost query: its options, and the program run as a person runs it against camera
// simulators of the test: the table, the JSON object, and each kind of camera that is not
// identified (a refused password, a closed port, a camera that never answers, a web server
// that is not a camera, another vendor's camera), said plainly, with --json as an error object.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "camera_simulator.h"
#include "camsim/camsim_test_util.h"
#include "query_command.h"

namespace {

using camsim_test::ProcessResult;
using camsim_test::RunProcess;
using namespace std::chrono_literals;

ProcessResult QueryAt(uint16_t port, std::vector<std::string> extra) {
    std::vector<std::string> args = {CAMHOST_EXE, "query",  "--address",
                                     "127.0.0.1", "--port", std::to_string(port)};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunProcess(args, 60s, 0ms, nullptr);
}

ProcessResult Query(const camsim::CameraSimulator& cam, std::vector<std::string> extra) {
    return QueryAt(cam.port(), std::move(extra));
}

// A web server that is not a camera: every request gets the same answer.
class PlainWebServer {
  public:
    PlainWebServer(int status, const std::string& body, const std::string& type) {
        m_server.Get(".*", [=](const httplib::Request&, httplib::Response& res) {
            res.status = status;
            res.set_content(body, type);
        });
        m_port = static_cast<uint16_t>(m_server.bind_to_any_port("127.0.0.1"));
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
    }
    ~PlainWebServer() {
        m_server.stop();
        m_thread.join();
    }
    uint16_t port() const { return m_port; }

  private:
    httplib::Server m_server;
    uint16_t m_port = 0;
    std::thread m_thread;
};

// A loopback port that nothing listens on.
uint16_t ClosedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

// The outcome of a failed query --json: exit status 1, the message on standard error, and
// the error object with its cause as the only output.
void ExpectFailure(const ProcessResult& r, const std::string& error, const std::string& cause) {
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("camhost: " + error), std::string::npos) << r.err;
    std::string quoted;  // as a JSON string's text
    for (const char c : error) {
        quoted += c == '"' ? std::string("\\\"") : std::string(1, c);
    }
    EXPECT_EQ(r.out.rfind("{\"ok\": false, \"error\": \"" + quoted, 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\"cause\": \"" + cause + "\"}\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;  // one line
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
    // give.
    r = Query(cam, {});
    EXPECT_EQ(r.exit_code, 1) << r.out;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err,
              "camhost: the camera asks for a user name and password (HTTP 401): give --user and "
              "--password (or --password-file, CAMHOST_PASSWORD)\n");
}

TEST(CamhostQuery, JsonOfABoxCameraIsOneObject) {
    camsim::CameraSimulator cam({.profile = "VN-X235"});
    cam.Start();
    ProcessResult r =
        Query(cam, {"--json", "--video-standard", "1", "--user", "admin", "--password", "jvc"});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    ASSERT_FALSE(r.out.empty());
    EXPECT_EQ(r.out.rfind("{\n  \"ok\": true,\n", 0), 0u) << r.out;
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
}

// What the query alone reports as one failure is told apart, each with its own words and
// cause.
TEST(CamhostQuery, EachKindOfFailureIsSaidPlainly) {
    camsim::CameraSimulator cam({.profile = "VN-V686", .jpeg_ring_size = 1});
    const std::string at = "127.0.0.1:" + std::to_string(cam.Start());
    ExpectFailure(Query(cam, {"--json", "--user", "admin", "--password", "wrong"}),
                  "the camera refused the user name or password (HTTP 401): check --user and "
                  "--password (or --password-file, CAMHOST_PASSWORD)",
                  "credentials");

    cam.SetParam("system.model", "AXIS Q6034-E");
    ExpectFailure(Query(cam, {"--json", "--user", "admin", "--password", cam.options().password}),
                  at + " answers as a camera but names a model the module does not know: "
                       "\"AXIS Q6034-E\"",
                  "not-a-camera");

    cam.SetNeverAnswer(true);
    ExpectFailure(Query(cam, {"--json", "--timeout", "1"}),
                  at + " takes the connection but does not answer (no answer within 1 s)",
                  "no-answer");
    cam.SetNeverAnswer(false);

    const uint16_t closed = ClosedPort();
    ExpectFailure(QueryAt(closed, {"--json"}),
                  "127.0.0.1:" + std::to_string(closed) +
                      " does not answer (connection refused): check --address and --port",
                  "unreachable");

    // A usage error with --json: the error object too, and exit status 2.
    const ProcessResult usage =
        RunProcess({CAMHOST_EXE, "query", "--json", "--jsn"}, 30s, 0ms, nullptr);
    EXPECT_EQ(usage.exit_code, 2);
    EXPECT_EQ(usage.out,
              "{\"ok\": false, \"error\": \"unknown option --jsn\", \"cause\": \"usage\"}\n");
    EXPECT_NE(usage.err.find("unknown option --jsn; run"), std::string::npos) << usage.err;
}

TEST(CamhostQuery, AWebServerIsNotTakenForACamera) {
    PlainWebServer page(200, "<html><body>Welcome</body></html>", "text/html");
    ExpectFailure(QueryAt(page.port(), {"--json"}),
                  "127.0.0.1:" + std::to_string(page.port()) +
                      " answers HTTP but is not a camera of a known model (its answer to the "
                      "parameter request was an HTML page)",
                  "not-a-camera");
    PlainWebServer missing(404, "Not Found", "text/plain");
    ExpectFailure(QueryAt(missing.port(), {"--json"}),
                  "127.0.0.1:" + std::to_string(missing.port()) +
                      " answers HTTP but is not a camera of a known model (its answer to the "
                      "parameter request was HTTP 404)",
                  "not-a-camera");
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
