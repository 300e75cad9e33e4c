// camhost serve: its options, and its endpoints over HTTP with the program run as a child
// process against a camera simulator of the test (which shows what reached the camera).
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "camera_simulator.h"
#include "camhost/serve_process.h"
#include "camsim/camsim_test_util.h"
#include "live_feed.h"
#include "mpeg4_preview.h"
#include "serve_command.h"

using namespace std::chrono_literals;
using camhost_test::ServeProcess;
using camsim_test::ReadStream;
using camsim_test::SplitParts;

namespace {

constexpr const char* kBoundary = "camhostframe";

// Width and height from a baseline JPEG's frame header; {0, 0} when there is none.
std::pair<unsigned, unsigned> JpegSize(const std::string& jpeg) {
    if (jpeg.size() < 4 || jpeg.compare(0, 2, "\xFF\xD8") != 0 ||
        jpeg.compare(jpeg.size() - 2, 2, "\xFF\xD9") != 0) {
        return {0, 0};
    }
    const size_t sof = jpeg.find("\xFF\xC0");
    if (sof == std::string::npos || sof + 9 > jpeg.size()) {
        return {0, 0};
    }
    auto byte = [&](size_t i) { return static_cast<unsigned>(static_cast<uint8_t>(jpeg[i])); };
    return {byte(sof + 7) << 8 | byte(sof + 8), byte(sof + 5) << 8 | byte(sof + 6)};
}

std::string Body(const httplib::Result& result) {
    return result ? result->body : "(no answer: " + httplib::to_string(result.error()) + ")";
}

}  // namespace

TEST(CamhostServeOptions, ListenAddressAndWhatServeTakes) {
    camhost::ServeOptions o;
    ASSERT_EQ(camhost::ParseServeArgs({"--simulate"}, o).status, camhost::ParseOutcome::kRun);
    EXPECT_EQ(o.listenHost, "127.0.0.1");
    EXPECT_EQ(o.listenPort, 8090);
    EXPECT_TRUE(o.camera.simulate);

    o = {};
    ASSERT_EQ(camhost::ParseServeArgs({"--address", "cam", "--listen", "0.0.0.0:0", "--stream",
                                       "mpeg4", "--presets", "p.xml"},
                                      o)
                  .status,
              camhost::ParseOutcome::kRun);
    EXPECT_EQ(o.listenHost, "0.0.0.0");
    EXPECT_EQ(o.listenPort, 0);
    EXPECT_EQ(o.camera.presets, (std::filesystem::current_path() / "p.xml").string());
    EXPECT_EQ(o.video.stream, camhost::StreamKind::kMpeg4);
    EXPECT_FALSE(camhost::IsLoopbackAddress(o.listenHost));

    std::string host;
    uint16_t port = 0;
    EXPECT_TRUE(camhost::ParseListenAddress("[::1]:8080", host, port));
    EXPECT_EQ(host, "::1");
    EXPECT_TRUE(camhost::IsLoopbackAddress(host));
    EXPECT_TRUE(camhost::ParseListenAddress(":9000", host, port));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 9000);
    EXPECT_FALSE(camhost::ParseListenAddress("127.0.0.1", host, port));
    EXPECT_FALSE(camhost::ParseListenAddress("127.0.0.1:65536", host, port));
    EXPECT_FALSE(camhost::ParseListenAddress("::1:80", host, port));
    EXPECT_TRUE(camhost::IsLoopbackAddress("127.0.0.2"));
    EXPECT_FALSE(camhost::IsLoopbackAddress("192.168.0.20"));
    // Names that only look like loopback addresses are not.
    for (const char* name : {"127.0.0.1.evil.example", "127.evil.example", "localhost.evil",
                             "::1.evil", "0x7f.evil"}) {
        EXPECT_FALSE(camhost::IsLoopbackAddress(name)) << name;
    }
    for (const char* name : {"LocalHost", "::ffff:127.0.0.1", "0:0:0:0:0:0:0:1"}) {
        EXPECT_TRUE(camhost::IsLoopbackAddress(name)) << name;
    }

    o = {};
    EXPECT_EQ(camhost::ParseServeArgs({}, o).error,
              "the camera is needed: --address A (or --simulate)");
    EXPECT_EQ(camhost::ParseServeArgs({"--simulate", "--seconds", "5"}, o).error,
              "--seconds is not an option of serve");
    EXPECT_EQ(camhost::ParseServeArgs({"--simulate", "--listen", "8090"}, o).error,
              "--listen must be HOST:PORT, PORT 0..65535 (e.g. 127.0.0.1:8090)");
}

TEST(CamhostLiveFeed, ASlowViewerGetsTheNewestAndBoundedEvents) {
    // Pictures: a viewer that comes back late gets the newest only.
    camhost::PictureSlot slot;
    for (int i = 1; i <= 5; ++i) {
        slot.Put(std::make_shared<const std::string>("picture " + std::to_string(i)));
    }
    auto [number, picture] = slot.WaitNewer(0, 0ms);
    EXPECT_EQ(number, 5u);
    ASSERT_TRUE(picture);
    EXPECT_EQ(*picture, "picture 5");
    EXPECT_FALSE(slot.WaitNewer(number, 0ms).second);

    // Events: the current states first, then what came; a viewer who does not read keeps the
    // newest kQueueLimit events.
    camhost::EventHub hub;
    hub.Publish("input", "{\"pin\": 1, \"state\": \"break\"}", "input 1");
    hub.Publish("input", "{\"pin\": 1, \"state\": \"make\"}", "input 1");
    auto late = hub.Subscribe();
    EXPECT_EQ(late->Next(0ms),
              camhost::EventHub::Format("input", "{\"pin\": 1, \"state\": \"make\"}"));
    EXPECT_EQ(late->Next(0ms), "");  // nothing more, after the time-out
    const size_t sent = camhost::EventHub::kQueueLimit + 10;
    for (size_t i = 0; i < sent; ++i) {
        hub.Publish("stats", std::to_string(i));
    }
    EXPECT_EQ(late->Dropped(), 10u);
    EXPECT_EQ(late->Next(0ms), camhost::EventHub::Format("stats", "10"));
    hub.Unsubscribe(late);
    EXPECT_EQ(hub.Subscribers(), 0u);

    // Closing wakes a waiting viewer at once.
    auto waiting = hub.Subscribe();
    EXPECT_NE(waiting->Next(0ms), "");  // the state of input 1
    std::thread closer([&] { hub.Close(); });
    EXPECT_EQ(waiting->Next(60s), std::nullopt);
    closer.join();
    slot.Close();
    EXPECT_FALSE(slot.WaitNewer(0, 60s).second);
}

TEST(CamhostLiveFeed, TheMpeg4PreviewDropsWhatCannotBeDecoded) {
    std::vector<std::string> pictures;
    camhost::Mpeg4Preview preview(
        [&](std::string jpeg, unsigned, unsigned) { pictures.push_back(std::move(jpeg)); });
    // Not started: nothing is decoded, so the queue fills. Pictures before the first key
    // picture cannot be decoded and are dropped.
    const uint8_t bytes[4] = {0, 0, 1, 0xB6};
    preview.Feed(bytes, sizeof bytes, false);
    EXPECT_EQ(preview.Dropped(), 1u);
    preview.Feed(bytes, sizeof bytes, true);
    for (size_t i = 1; i < camhost::Mpeg4Preview::kQueueLimit; ++i) {
        preview.Feed(bytes, sizeof bytes, false);
    }
    EXPECT_EQ(preview.Dropped(), 1u);
    // Full: what waits goes, and so does each picture up to the next key picture.
    preview.Feed(bytes, sizeof bytes, false);
    EXPECT_EQ(preview.Dropped(), 2u + camhost::Mpeg4Preview::kQueueLimit);
    preview.Feed(bytes, sizeof bytes, true);
    EXPECT_EQ(preview.Dropped(), 2u + camhost::Mpeg4Preview::kQueueLimit);
    preview.Stop();
    EXPECT_TRUE(pictures.empty());
}

// One camhost serve for the suite, against the suite's simulator (a VN-V686: PTZ head, two
// inputs, one output), showing MJPEG.
class CamhostServe : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        cam = new camsim::CameraSimulator(camsim::Options{.profile = "VN-V686"});
        const uint16_t camPort = cam->Start();
        serve = new ServeProcess;
        if (!serve->Start(CAMHOST_EXE,
                          {"--address", "127.0.0.1", "--port", std::to_string(camPort), "--user",
                           "admin", "--password", cam->options().password},
                          30s)) {
            ADD_FAILURE() << "camhost serve did not start:\n" << serve->Output();
        }
    }
    static void TearDownTestSuite() {
        // A clean, prompt end, with the event stream of a viewer still open.
        std::thread viewer([] { ReadStream(serve->port, "/events", 20s); });
        const auto status = serve->Stop(10s);
        viewer.join();
        EXPECT_EQ(status, std::optional<int>(0)) << serve->Output();
        EXPECT_NE(serve->Output().find("camhost: stopping"), std::string::npos);
        delete serve;
        delete cam;
    }
    void SetUp() override { ASSERT_NE(serve->port, 0) << serve->Output(); }

    httplib::Client Client() {
        httplib::Client client("127.0.0.1", serve->port);
        client.set_read_timeout(10s);
        return client;
    }
    // A request's status (0 without an answer); its body in `body`.
    int Post(const std::string& target) { return Keep(Client().Post(target)); }
    int Delete(const std::string& target) { return Keep(Client().Delete(target)); }
    std::string Get(const std::string& target) {
        Keep(Client().Get(target));
        return body;
    }
    int Keep(const httplib::Result& result) {
        body = Body(result);
        return result ? result->status : 0;
    }
    // Reads the event stream until `until` holds for what came (or 15 s passed); `step` runs
    // once the stream is open and first data came.
    std::string Events(const std::function<bool(const std::string&)>& until,
                       const std::function<void()>& step = nullptr) {
        bool stepped = false;
        return ReadStream(serve->port, "/events", 15s,
                          [&](const std::string& body) {
                              if (!stepped && step) {
                                  stepped = true;
                                  step();
                              }
                              return !until(body);
                          })
            .body;
    }

    std::string body;
    static camsim::CameraSimulator* cam;
    static ServeProcess* serve;
};

camsim::CameraSimulator* CamhostServe::cam = nullptr;
ServeProcess* CamhostServe::serve = nullptr;

TEST_F(CamhostServe, PageAndIdentification) {
    auto client = Client();
    auto page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(page->body.find("<script src=\"page.js\">"), std::string::npos);
    auto script = client.Get("/page.js");
    ASSERT_TRUE(script);
    EXPECT_EQ(script->status, 200);
    EXPECT_NE(script->body.find("new EventSource('/events')"), std::string::npos);
    EXPECT_EQ(client.Get("/nothing.html")->status, 404);
    EXPECT_EQ(client.Get("/video/1.mjpg")->status, 404);

    auto info = client.Get("/api/info");
    ASSERT_TRUE(info);
    EXPECT_NE(info->body.find("\"identified\": true"), std::string::npos) << info->body;
    EXPECT_NE(info->body.find("\"model\": \"VN-V686U\""), std::string::npos) << info->body;
    EXPECT_NE(info->body.find("\"firmware\": \"cam=1.05, net=2.10, ptz=2.00\""), std::string::npos);
    EXPECT_NE(info->body.find("\"inputs\": 2,\n  \"outputs\": 2,\n  \"ptz\": true"),
              std::string::npos)
        << info->body;
}

TEST_F(CamhostServe, AnotherSitesPageCannotUseIt) {
    auto client = Client();
    const std::string self = "127.0.0.1:" + std::to_string(serve->port);
    // Another site's script in the viewer's browser is refused before anything is done.
    auto r = client.Post("/api/output?pin=1&state=make", {{"Origin", "http://evil.example"}}, "",
                         "text/plain");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403);
    EXPECT_EQ(
        client.Post("/api/ptz?action=move&to=left", {{"Origin", "null"}}, "", "text/plain")->status,
        403);
    // A name of another site that resolves to this machine, also one made to look like a
    // loopback address, with an Origin to match.
    r = client.Get("/api/info", {{"Host", "evil.example:" + std::to_string(serve->port)}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403);
    const std::string lookalike = "127.0.0.1.evil.example:" + std::to_string(serve->port);
    r = client.Post("/api/ptz?action=stop",
                    {{"Host", lookalike}, {"Origin", "http://" + lookalike}}, "", "text/plain");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403);
    // The page's own requests, and a person's tools (no Origin).
    r = client.Post("/api/ptz?action=stop", {{"Origin", "http://" + self}}, "", "text/plain");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(client.Get("/api/info", {{"Host", "localhost:1"}})->status, 200);
    EXPECT_EQ(Post("/api/ptz?action=stop"), 200);

    // Nobody may frame the page, and it runs only its own scripts.
    for (const char* target : {"/", "/api/info"}) {
        r = client.Get(target);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->get_header_value("X-Frame-Options"), "DENY") << target;
        EXPECT_NE(r->get_header_value("Content-Security-Policy").find("frame-ancestors 'none'"),
                  std::string::npos)
            << target;
    }
    // A body no endpoint needs is refused before it is read.
    r = client.Post("/api/ptz?action=stop", std::string(10 * 1024 * 1024, 'x'), "text/plain");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 413);
}

TEST_F(CamhostServe, ASecondServeOnTheSamePortFails) {
    const auto second = camsim_test::RunProcess({CAMHOST_EXE, "serve", "--simulate", "--listen",
                                                 "127.0.0.1:" + std::to_string(serve->port)},
                                                30s);
    EXPECT_EQ(second.exit_code, 1) << second.out << second.err;
    EXPECT_NE(second.out.find("camhost: cannot listen on 127.0.0.1:" + std::to_string(serve->port) +
                              " (in use"),
              std::string::npos)
        << second.out;
    // The first one still answers.
    EXPECT_NE(Get("/api/info").find("\"identified\": true"), std::string::npos) << body;
}

TEST_F(CamhostServe, VideoPartsAreTheCameraPicturesInOrder) {
    const auto stream = ReadStream(serve->port, "/video/0.mjpg", 15s, [](const std::string& b) {
        return SplitParts(b, kBoundary).size() < 4;
    });
    EXPECT_EQ(stream.status, 200);
    EXPECT_EQ(stream.headers_content_type, "multipart/x-mixed-replace; boundary=camhostframe");
    const auto parts = SplitParts(stream.body, kBoundary);
    ASSERT_GE(parts.size(), 4u);
    // Byte for byte the simulator's pictures: their frame numbers read back and grow.
    int previous = -1;
    for (const auto& part : parts) {
        EXPECT_EQ(JpegSize(part), std::make_pair(640u, 480u));
        const auto number =
            camsim::ReadFrameNumber(reinterpret_cast<const uint8_t*>(part.data()), part.size());
        ASSERT_TRUE(number.has_value());
        EXPECT_GT(static_cast<int>(*number), previous);
        previous = static_cast<int>(*number);
    }
}

TEST_F(CamhostServe, PtzButtonsReachTheHead) {
    ASSERT_EQ(Post("/api/ptz?action=move&to=right"), 200) << body;
    ASSERT_TRUE(cam->WaitForRequest("camera.motion.pan.status=start", 5s));
    EXPECT_EQ(cam->Head().pan.mode, "right");
    EXPECT_TRUE(cam->Head().pan.moving);
    EXPECT_EQ(Post("/api/ptz?action=stop"), 200) << body;
    ASSERT_TRUE(cam->WaitForRequest("camera.motion.tilt.status=stop", 5s));
    EXPECT_FALSE(cam->Head().pan.moving);

    EXPECT_EQ(Post("/api/ptz?action=zoom&to=in&speed=16"), 200) << body;
    ASSERT_TRUE(cam->WaitForRequest("camera.motion.zoom.status=start", 5s));
    EXPECT_EQ(cam->Head().zoom.mode, "in");
    EXPECT_EQ(Post("/api/ptz?action=stop"), 200);
    ASSERT_TRUE(cam->WaitForRequest("camera.motion.zoom.status=stop", 5s));
    EXPECT_FALSE(cam->Head().zoom.moving);

    EXPECT_EQ(Post("/api/ptz?action=move&to=sideways"), 400);
    EXPECT_EQ(Post("/api/ptz?action=zoom&to=in&speed=17"), 400);
    EXPECT_EQ(Post("/api/ptz?action=spin"), 400);
}

TEST_F(CamhostServe, PresetsAddGoToAndDelete) {
    ASSERT_EQ(Post("/api/presets?name=Main%20gate"), 200) << body;
    EXPECT_TRUE(cam->Preset(1).registered);
    // A second one after a move (an add while the camera stands at the preset just added
    // renames that one), so that the go to has somewhere to go.
    ASSERT_EQ(Post("/api/ptz?action=move&to=up"), 200);
    ASSERT_EQ(Post("/api/ptz?action=stop"), 200);
    ASSERT_TRUE(cam->WaitForRequest("camera.motion.tilt.status=stop", 5s));
    ASSERT_EQ(Post("/api/presets?name=Yard"), 200);
    EXPECT_TRUE(cam->Preset(2).registered);
    EXPECT_EQ(Get("/api/presets"), "{\"presets\": [\"Main gate\", \"Yard\"]}");

    EXPECT_EQ(Post("/api/presets/goto?name=Main%20gate"), 200) << body;
    ASSERT_TRUE(cam->WaitForRequest("camera.position(1).status=goto", 5s));
    EXPECT_EQ(cam->Head().last_goto, 1);

    EXPECT_EQ(Post("/api/presets/goto?name=Nowhere"), 409) << body;
    EXPECT_NE(body.find("\"ok\": false"), std::string::npos) << body;
    EXPECT_EQ(Post("/api/presets"), 400);

    // Names that could not be stored or listed as given are refused, and one with control
    // characters reaches the operator's terminal escaped.
    EXPECT_EQ(Post("/api/presets?name=a%00b"), 400) << body;
    EXPECT_EQ(Post("/api/presets?name=" + std::string(1024, 'n')), 400) << body;
    EXPECT_EQ(Post("/api/presets?name=%1B%5D0%3Bowned%07"), 409) << body;
    EXPECT_EQ(Get("/api/presets"), "{\"presets\": [\"Main gate\", \"Yard\"]}");
    EXPECT_EQ(serve->Output().find('\x1b'), std::string::npos);
    EXPECT_NE(serve->Output().find("\\x1B]0;owned\\x07"), std::string::npos) << serve->Output();

    EXPECT_EQ(Delete("/api/presets?name=Main%20gate"), 200) << body;
    EXPECT_FALSE(cam->Preset(1).registered);
    EXPECT_EQ(Get("/api/presets"), "{\"presets\": [\"Yard\"]}");
    EXPECT_EQ(Delete("/api/presets?name=Yard"), 200);
}

TEST_F(CamhostServe, AnInputFlipAppearsInTheEventStream) {
    ASSERT_EQ(Post("/api/io/start"), 200) << body;
    // A later viewer first gets the states as they are (both inputs read break at the start),
    // then each change as the driver reports it (it reads the inputs every 2 s).
    const std::string before = "event: input\ndata: {\"pin\": 2, \"state\": \"break\"}\n\n";
    const std::string after = "event: input\ndata: {\"pin\": 2, \"state\": \"make\"}\n\n";
    const std::string events =
        Events([&](const std::string& b) { return b.find(after) != std::string::npos; },
               [&] { cam->SetInputPin(2, true); });
    EXPECT_NE(events.find(before), std::string::npos) << events;
    EXPECT_NE(events.find(after), std::string::npos) << events;
    EXPECT_LT(events.find(before), events.find(after));
    cam->SetInputPin(2, false);

    // The rates and state, and the driver's log lines.
    const std::string stats = Events([](const std::string& b) {
        return b.find("\"state\": \"receiving\"") != std::string::npos &&
               b.find("event: log\n") != std::string::npos;
    });
    EXPECT_NE(stats.find("event: stats\ndata: {\"channel\": 0, \"state\": \"receiving\""),
              std::string::npos)
        << stats;
    EXPECT_NE(stats.find("DRIVER IS OPENED"), std::string::npos) << stats;
}

TEST_F(CamhostServe, AnOutputSwitchDrivesThePinOnceTheIoIsStarted) {
    // Opening the page switches nothing: the I/O starts (every output to break) when asked.
    EXPECT_EQ(Post("/api/output?pin=1&state=make"), 409) << body;
    EXPECT_NE(body.find("starting it sets every output to break"), std::string::npos) << body;
    for (const auto& write : cam->Writes()) {
        EXPECT_NE(write.name.rfind("peripheral.output_pin.", 0), 0u) << write.name;
    }
    ASSERT_EQ(Post("/api/io/start"), 200) << body;
    EXPECT_EQ(cam->OutputPin(1)->status, "break");
    EXPECT_EQ(Post("/api/io/start"), 200) << body;  // once only

    ASSERT_EQ(Post("/api/output?pin=1&state=make"), 200) << body;
    EXPECT_NE(body.find("output 1 is make (the camera reads make)"), std::string::npos) << body;
    ASSERT_TRUE(cam->WaitForRequest("peripheral.output_pin.pin(1).status=make", 5s));
    EXPECT_EQ(cam->OutputPin(1)->status, "make");
    EXPECT_EQ(Post("/api/output?pin=3&state=make"), 400);  // a VN-V686 has two outputs
    EXPECT_EQ(Post("/api/output?pin=1&state=on"), 400);
    // Every viewer's switch follows.
    const std::string events = Events([](const std::string& b) {
        return b.find("event: output\ndata: {\"pin\": 1, \"state\": \"make\"}") !=
               std::string::npos;
    });
    EXPECT_NE(events.find("\"state\": \"make\""), std::string::npos) << events;
    EXPECT_EQ(Post("/api/output?pin=1&state=break"), 200);

    // A set the camera refuses is no success.
    cam->SetLineStatus("peripheral.output_pin.pin(2).status", 500);
    EXPECT_EQ(Post("/api/output?pin=2&state=make"), 502) << body;
    EXPECT_NE(body.find("output 2 was not set to make: the camera refused it (500"),
              std::string::npos)
        << body;
    cam->ClearLineStatus();
    EXPECT_EQ(cam->OutputPin(2)->status, "break");
}

TEST_F(CamhostServe, ASnapshotThePtzStateAndNoMissingIcon) {
    auto client = Client();
    auto snapshot = client.Get("/snapshot.jpg");
    ASSERT_TRUE(snapshot);
    EXPECT_EQ(snapshot->status, 200);
    EXPECT_EQ(snapshot->get_header_value("Content-Type"), "image/jpeg");
    EXPECT_EQ(JpegSize(snapshot->body), std::make_pair(640u, 480u));
    EXPECT_TRUE(camsim::ReadFrameNumber(reinterpret_cast<const uint8_t*>(snapshot->body.data()),
                                        snapshot->body.size())
                    .has_value());

    auto ptz = client.Get("/api/ptz");
    ASSERT_TRUE(ptz);
    EXPECT_EQ(ptz->get_header_value("Content-Type"), "application/json");
    EXPECT_EQ(ptz->body,
              "{\"ptz\": true, \"center\": true, \"speed\": {\"min\": 1, \"max\": 16, "
              "\"default\": 8}, \"presets\": []}");
    EXPECT_EQ(client.Get("/favicon.ico")->status, 204);
}

// A camera that refuses camhost's password: nothing is reported done. Without an
// identification there is no PTZ pad; with the model named, each refused command says why.
TEST(CamhostServeRefused, AWrongPasswordIsNeverOk) {
    camsim::CameraSimulator cam(camsim::Options{.profile = "VN-V686"});
    const uint16_t camPort = cam.Start();
    const std::vector<std::string> camera = {
        "--address", "127.0.0.1", "--port",     std::to_string(camPort),
        "--user",    "admin",     "--password", "wrong"};
    {
        ServeProcess serve;
        ASSERT_TRUE(serve.Start(CAMHOST_EXE, camera, 30s)) << serve.Output();
        httplib::Client client("127.0.0.1", serve.port);
        const auto info = client.Get("/api/info");
        ASSERT_TRUE(info);
        EXPECT_NE(info->body.find("\"ptz\": false"), std::string::npos) << info->body;
        const auto move = client.Post("/api/ptz?action=move&to=left");
        ASSERT_TRUE(move);
        EXPECT_EQ(move->status, 409) << move->body;
        EXPECT_EQ(client.Post("/api/presets?name=Gate")->status, 409);
    }
    auto named = camera;
    named.insert(named.end(), {"--model", "VN-V686", "--io"});
    ServeProcess serve;
    ASSERT_TRUE(serve.Start(CAMHOST_EXE, named, 30s)) << serve.Output();
    httplib::Client client("127.0.0.1", serve.port);
    client.set_read_timeout(15s);
    const auto move = client.Post("/api/ptz?action=move&to=left");
    ASSERT_TRUE(move);
    EXPECT_EQ(move->status, 502) << move->body;
    EXPECT_NE(move->body.find("move left failed: the camera refused the user name or password "
                              "(HTTP 401)"),
              std::string::npos)
        << move->body;
    const auto output = client.Post("/api/output?pin=1&state=make");
    ASSERT_TRUE(output);
    EXPECT_EQ(output->status, 502) << output->body;
    EXPECT_NE(output->body.find("the camera refused the user name or password"), std::string::npos)
        << output->body;
    EXPECT_EQ(cam.OutputPin(1)->status, "break");
}

TEST(CamhostServeMpeg4, PicturesAreDecodedToJpegAndAStopEndsOpenStreams) {
    camsim::CameraSimulator cam(camsim::Options{.profile = "VN-V686"});
    const uint16_t camPort = cam.Start();
    ServeProcess serve;
    ASSERT_TRUE(serve.Start(CAMHOST_EXE,
                            {"--address", "127.0.0.1", "--port", std::to_string(camPort), "--user",
                             "admin", "--password", cam.options().password, "--stream", "mpeg4"},
                            30s))
        << serve.Output();
    const auto stream = ReadStream(serve.port, "/video/0.mjpg", 15s, [](const std::string& b) {
        return SplitParts(b, kBoundary).size() < 3;
    });
    const auto parts = SplitParts(stream.body, kBoundary);
    ASSERT_GE(parts.size(), 3u) << serve.Output();
    for (const auto& part : parts) {
        EXPECT_EQ(JpegSize(part), std::make_pair(640u, 480u));
    }

    // Ctrl-C (here SIGTERM) while a picture stream and an event stream are open: both end,
    // and so does the program, at once.
    std::promise<void> videoOpen, eventsOpen;
    auto viewer = [&serve](const char* target, std::promise<void>& open) {
        return std::thread([&serve, target, &open] {
            bool first = true;
            ReadStream(serve.port, target, 20s, [&](const std::string&) {
                if (first) {
                    first = false;
                    open.set_value();
                }
                return true;
            });
            if (first) {
                open.set_value();
            }
        });
    };
    std::thread videoViewer = viewer("/video/0.mjpg", videoOpen);
    std::thread eventViewer = viewer("/events", eventsOpen);
    EXPECT_EQ(videoOpen.get_future().wait_for(10s), std::future_status::ready);
    EXPECT_EQ(eventsOpen.get_future().wait_for(10s), std::future_status::ready);
    const auto begin = std::chrono::steady_clock::now();
    const auto status = serve.Stop(10s);
    videoViewer.join();
    eventViewer.join();
    EXPECT_EQ(status, std::optional<int>(0)) << serve.Output();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 10s);
    // The driver closed the camera's stream.
    EXPECT_TRUE(cam.WaitForOpenStreams(0, 5s));
}
