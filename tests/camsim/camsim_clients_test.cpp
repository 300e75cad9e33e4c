// The camera simulator checked with real clients that no one here wrote: curl for the
// parameter resource (plain, Basic, Digest), ffprobe and ffmpeg for the video streams.
#include <gtest/gtest.h>

#include <string>

#include "camera_simulator.h"
#include "camsim_test_util.h"

using camsim::CameraSimulator;
using camsim_test::RunProcess;
using namespace std::chrono_literals;

namespace {

std::string Url(const CameraSimulator& cam, const std::string& target) {
    return cam.base_url() + target;
}

// curl as the makers' examples send it: asking for plain text.
camsim_test::ProcessResult Curl(std::vector<std::string> args) {
    std::vector<std::string> argv = {"curl", "-s", "--max-time", "10", "-H", "Accept: text/plain"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv, 15s);
}

// Counts the picture lines of ffmpeg's framecrc output (lines not starting with '#').
int CountFrames(const std::string& framecrc) {
    int n = 0;
    size_t pos = 0;
    while (pos < framecrc.size()) {
        size_t end = framecrc.find('\n', pos);
        if (end == std::string::npos)
            end = framecrc.size();
        if (end > pos && framecrc[pos] != '#')
            ++n;
        pos = end + 1;
    }
    return n;
}

std::pair<int, int> ProbeSize(const std::string& format, const std::string& url) {
    auto r = RunProcess({"ffprobe", "-v", "error", "-f", format, "-show_entries",
                         "stream=width,height", "-of", "default=nw=1", url},
                        20s);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    auto field = [&](const std::string& key) {
        const size_t at = r.out.find(key + "=");
        return at == std::string::npos ? 0 : std::atoi(r.out.c_str() + at + key.size() + 1);
    };
    return {field("width"), field("height")};
}

}  // namespace

TEST(CamsimCurl, ReadsAndWritesParameters) {
    CameraSimulator cam({.profile = "VN-V686"});
    cam.Start();
    // The VN-V686's admin password by default; the model named with its region suffix.
    auto r = Curl({"-u", "admin:vn-v686", "-D", "-",
                   Url(cam, "/api/param?system.model&system.mode&network.interface.mac")});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("Connection: close\r\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Content-Type: text/plain\r\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\r\n\r\n"
                         "system.model=VN-V686U&200 OK\r\n"
                         "system.mode=&404 NotFound\r\n"
                         "network.interface.mac=00:80:88:6A:86:01&200 OK\r\n"),
              std::string::npos)
        << r.out;

    // Writes answer with the name alone; the preset speed with the documented 202 line.
    r = Curl({"-u", "admin:vn-v686",
              Url(cam,
                  "/api/param?encode(1).framesize=qvga&camera.position(3).comment="
                  "ZELT%20Preset%20002&system.model=X&encode(2).framesize=quadvga"
                  "&camera.motion.position.speed=20")});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out,
              "encode(1).framesize&200 OK\r\n"
              "camera.position(3).comment&200 OK\r\n"
              "system.model&403 Forbidden\r\n"
              "encode(2).framesize&400 BadRequest\r\n"
              "camera.motion.position.speed&202 Accepted(camera.status=save)\r\n");
    EXPECT_EQ(cam.GetParam("encode(1).framesize"), "qvga");
    EXPECT_EQ(cam.GetParam("encode(2).framesize"), "vga");
    EXPECT_EQ(cam.Preset(3).comment, "ZELT Preset 002");
    EXPECT_EQ(cam.GetParam("system.model"), "VN-V686U");
    EXPECT_EQ(cam.Head().position_speed, 20u);
}

TEST(CamsimCurl, UsersAndTheirRights) {
    CameraSimulator cam({.profile = "VN-V685"});
    cam.Start();
    const std::string query =
        "/api/param?camera.motion.pan.status&camera.position(0).comment"
        "&peripheral.output_pin.pin(1).status&encode(1).quality"
        "&camera.motion.pan.status=start&peripheral.output_pin.pin(1).status=make";
    // "user" reads the head's state, preset titles and pins, but neither the encoder nor
    // writes anything; the refusals stand in the lines, the answer is a 200.
    auto r = Curl({"-u", "user:jvc", "-w", "|%{http_code}", Url(cam, query)});
    EXPECT_EQ(r.out,
              "camera.motion.pan.status=stop&200 OK\r\n"
              "camera.position(0).comment=Home&200 OK\r\n"
              "peripheral.output_pin.pin(1).status=break&200 OK\r\n"
              "encode(1).quality&401 Unauthorized\r\n"
              "camera.motion.pan.status&401 Unauthorized\r\n"
              "peripheral.output_pin.pin(1).status&401 Unauthorized\r\n|200");
    EXPECT_FALSE(cam.Head().pan.moving);
    EXPECT_EQ(cam.OutputPin(1)->status, "break");
    // "operator" moves the head and drives the outputs.
    r = Curl({"-u", "operator:jvc", Url(cam, query)});
    EXPECT_NE(r.out.find("encode(1).quality=40k&200 OK\r\n"
                         "camera.motion.pan.status&200 OK\r\n"
                         "peripheral.output_pin.pin(1).status&200 OK\r\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(cam.Head().pan.moving);
    EXPECT_EQ(cam.OutputPin(1)->status, "make");
    // Without credentials, with a wrong password or an unknown user: HTTP 401, Basic.
    for (const char* who : {"", "user:wrong", "nobody:jvc"}) {
        std::vector<std::string> args = {"-D", "-", "-o", "/dev/null"};
        if (*who != '\0') {
            args.insert(args.end(), {"-u", who});
        }
        args.push_back(Url(cam, "/api/param?system.model"));
        r = Curl(args);
        EXPECT_EQ(r.out.rfind("HTTP/1.1 401", 0), 0u) << who << r.out;
        EXPECT_NE(r.out.find("WWW-Authenticate: Basic realm="), std::string::npos) << r.out;
    }
    // Video needs no credentials.
    r = Curl(
        {"-o", "/dev/null", "-w", "%{http_code}", Url(cam, "/api/video?encode=jpeg&framerate=0")});
    EXPECT_EQ(r.out, "200");
}

TEST(CamsimCurl, AcceptChoosesTheAnswerFormat) {
    CameraSimulator cam({.profile = "VN-X235"});
    cam.Start();
    const std::string url = Url(cam, "/api/param?system.mode&camera.focus.mode");
    // No Accept line (curl's own "*/*" removed) and text/html both give the HTML page.
    for (const char* accept : {"Accept:", "Accept: text/html"}) {
        auto r = RunProcess(
            {"curl", "-s", "--max-time", "10", "-H", accept, "-u", "admin:jvc", "-D", "-", url},
            15s);
        ASSERT_EQ(r.exit_code, 0) << r.err;
        EXPECT_NE(r.out.find("Content-Type: text/html"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("<body>\r\nsystem.mode=pattern3&200 OK<br>\r\n"
                             "camera.focus.mode=&404 NotFound\r\n</body></html>"),
                  std::string::npos)
            << accept << r.out;
    }
    auto r = Curl({"-u", "admin:jvc", Url(cam, "/api/param?system.mode")});
    EXPECT_EQ(r.out, "system.mode=pattern3&200 OK\r\n");
    // The html switch answers HTML whatever the request asks for.
    cam.SetHtml(true);
    r = Curl({"-u", "admin:jvc", Url(cam, "/api/param?system.mode")});
    EXPECT_NE(r.out.find("<html>"), std::string::npos) << r.out;
}

TEST(CamsimCurl, DigestAuthentication) {
    CameraSimulator cam({.profile = "VN-V686",
                         .auth = camsim::AuthMode::kDigest,
                         .user = "admin",
                         .password = "s3cret"});
    cam.Start();
    const std::string url = Url(cam, "/api/param?system.model&encode(1).quality=80k");
    auto r = Curl({"--digest", "-u", "admin:s3cret", "-w", "|%{http_code}", url});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "system.model=VN-V686U&200 OK\r\nencode(1).quality&200 OK\r\n|200");
    EXPECT_EQ(cam.GetParam("encode(1).quality"), "80k");

    r = Curl({"--digest", "-u", "admin:wrong", "-o", "/dev/null", "-w", "%{http_code}",
              Url(cam, "/api/param?encode(1).quality=20k")});
    EXPECT_EQ(r.out, "401");
    EXPECT_EQ(cam.GetParam("encode(1).quality"), "80k");

    r = Curl({"-o", "/dev/null", "-w", "%{http_code}", Url(cam, "/api/param?system.model")});
    EXPECT_EQ(r.out, "401");
    // Basic credentials are not accepted by a Digest camera.
    r = Curl({"--basic", "-u", "admin:s3cret", "-o", "/dev/null", "-w", "%{http_code}",
              Url(cam, "/api/param?system.model")});
    EXPECT_EQ(r.out, "401");

    // The log tells which requests carried credentials: curl --digest asks once without,
    // and asks again on a new connection, as the camera closes each one.
    auto log = cam.Requests();
    ASSERT_GE(log.size(), 6u);
    EXPECT_FALSE(log[0].had_credentials);
    EXPECT_EQ(log[0].status, 401);
    EXPECT_TRUE(log[1].had_credentials);
    EXPECT_TRUE(log[1].authorized);
    EXPECT_EQ(log[1].user, "admin");
    EXPECT_EQ(log[1].status, 200);
    EXPECT_NE(log[0].connection, log[1].connection);
    EXPECT_TRUE(log[3].had_credentials);
    EXPECT_FALSE(log[3].authorized);

    // A preset title with blanks, percent-encoded in the request line: the operator's
    // default password, and the same uri in the Authorization line.
    r = Curl({"--digest", "-u", "operator:vn-v686", "-w", "|%{http_code}",
              Url(cam, "/api/param?camera.position(4).comment=Gate%20East")});
    EXPECT_EQ(r.out, "camera.position(4).comment&200 OK\r\n|200");
    EXPECT_EQ(cam.Preset(4).comment, "Gate East");
}

TEST(CamsimCurl, BasicAuthentication) {
    CameraSimulator cam({.profile = "VN-V686B",
                         .auth = camsim::AuthMode::kBasic,
                         .user = "admin",
                         .password = "pw"});
    cam.Start();
    auto r = Curl({"-u", "admin:pw", Url(cam, "/api/param?system.model")});
    EXPECT_EQ(r.out, "system.model=VN-V686BU&200 OK\r\n");
    r = Curl({"-u", "admin:nope", "-o", "/dev/null", "-w", "%{http_code}",
              Url(cam, "/api/param?system.model")});
    EXPECT_EQ(r.out, "401");
}

TEST(CamsimFfmpeg, MjpegPictureSizeFollowsTheCamera) {
    CameraSimulator family1({.profile = "VN-V686"});
    family1.Start();
    family1.SetParam("encode(1).framesize", "qvga");
    const std::string target = "/api/video?encode=jpeg&framerate=10&boundary=on";
    EXPECT_EQ(ProbeSize("mpjpeg", Url(family1, target)), std::make_pair(320, 240));

    CameraSimulator family2({.profile = "VN-X235"});
    family2.Start();
    auto r = Curl({"-u", "admin:jvc", Url(family2, "/api/param?system.mode=pattern1")});
    EXPECT_EQ(r.out, "system.mode&200 OK\r\n");
    EXPECT_EQ(ProbeSize("mpjpeg", Url(family2, target)), std::make_pair(1280, 960));
}

TEST(CamsimFfmpeg, MjpegFrameCountOverThreeSeconds) {
    CameraSimulator cam({.profile = "VN-V686"});
    cam.Start();
    auto r = RunProcess(
        {"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-f", "mpjpeg", "-i",
         Url(cam, "/api/video?encode=jpeg&framerate=10&boundary=on"), "-f", "framecrc", "-"},
        20s, 3s);
    const int frames = CountFrames(r.out);
    // 10 pictures a second for 3 seconds, with room for start-up and a loaded machine.
    EXPECT_GE(frames, 20) << r.err;
    EXPECT_LE(frames, 32) << r.err;
    EXPECT_NE(r.out.find("460800"), std::string::npos);  // 640x480 yuvj420p pictures
}

TEST(CamsimFfmpeg, Mpeg4SizeAndFrameCount) {
    CameraSimulator cam({.profile = "VN-V686"});
    cam.Start();
    cam.SetParam("encode(2).framerate", "25");
    const std::string url = Url(cam, "/api/video?encode=mpeg4");
    EXPECT_EQ(ProbeSize("m4v", url), std::make_pair(640, 480));
    auto r = RunProcess({"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-f", "m4v",
                         "-i", url, "-f", "framecrc", "-"},
                        20s, 3s);
    const int frames = CountFrames(r.out);
    EXPECT_GE(frames, 50) << r.err;
    EXPECT_LE(frames, 80) << r.err;

    // Family 2, pattern1: the D1-sized MPEG-4 stream.
    CameraSimulator box({.profile = "VN-X235"});
    box.Start();
    box.SetParam("system.mode", "pattern1");
    EXPECT_EQ(ProbeSize("m4v", Url(box, "/api/video?encode=mpeg4")), std::make_pair(704, 576));
}

TEST(CamsimFfmpeg, DeliveredJpegDecodesWithItsFrameNumber) {
    CameraSimulator cam({.profile = "VN-V686"});
    cam.Start();
    // ffmpeg takes three pictures out of the stream unchanged (stream copy).
    auto r = RunProcess({"ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-f", "mpjpeg",
                         "-i", Url(cam, "/api/video?encode=jpeg&framerate=20&boundary=on"),
                         "-frames:v", "3", "-c:v", "copy", "-f", "image2pipe", "-"},
                        20s);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto ring = cam.JpegRing(640, 480);
    ASSERT_FALSE(ring.empty());
    size_t pos = 0;
    for (unsigned k = 0; k < 3; ++k) {
        const auto& expected = ring[k].bytes;
        ASSERT_GE(r.out.size(), pos + expected.size());
        std::vector<uint8_t> got(r.out.begin() + static_cast<long>(pos),
                                 r.out.begin() + static_cast<long>(pos + expected.size()));
        EXPECT_EQ(got, expected) << "picture " << k;
        EXPECT_EQ(camsim::ReadFrameNumber(got), k);
        pos += expected.size();
    }
}

TEST(CamsimProgram, ServesUntilInterrupted) {
    // Find a free port by binding one briefly through a simulator.
    uint16_t port = 0;
    {
        CameraSimulator probe;
        port = probe.Start();
    }
    const std::string address = "http://127.0.0.1:" + std::to_string(port);
    std::string param_answer;
    // Once the program says it listens, ask it once, then interrupt it.
    auto r = RunProcess(
        {CAMSIM_EXE, "--port", std::to_string(port), "--profile", "VN-X235", "--auth", "digest",
         "--user", "u", "--password", "p"},
        60s, 0ms, [&](const std::string& out) {
            if (out.find("listening on") == std::string::npos)
                return false;
            param_answer = Curl({"--digest", "-u", "u:p", address + "/api/param?system.model"}).out;
            return true;
        });
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("listening on " + address), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("SIGINT, stopping"), std::string::npos) << r.out;
    EXPECT_EQ(param_answer, "system.model=VN-X235&200 OK\r\n");

    auto bad = RunProcess({CAMSIM_EXE, "--port", "1", "--profile", "VN-Q1"}, 10s);
    EXPECT_EQ(bad.exit_code, 2);
}
