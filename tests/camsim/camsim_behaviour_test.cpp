// The camera simulator's behaviour: profiles, the parameter store, the PTZ head, pins, the
// JPEG ring, the request log and connection count, every fault switched on and off, and a
// prompt Stop. Requests go through cpp-httplib's client.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <tuple>

#include "auth.h"
#include "camera_simulator.h"
#include "camsim_test_util.h"

using camsim::CameraSimulator;
using camsim_test::ReadStream;
using camsim_test::SplitParts;
using namespace std::chrono_literals;

namespace {

const char kMjpeg[] = "/api/video?encode=jpeg&framerate=25&boundary=on";

// A client that sends the admin's credentials (Basic) and asks for plain text, as the
// makers' examples do.
void AsAdmin(httplib::Client& client, const CameraSimulator& cam) {
    client.set_basic_auth(cam.options().user, cam.options().password);
    client.set_default_headers({{"Accept", "text/plain"}});
}

// One GET as the admin; the body, or "ERROR n" when no answer came.
std::string Get(const CameraSimulator& cam, const std::string& target, int* status = nullptr) {
    httplib::Client client("127.0.0.1", cam.port());
    client.set_read_timeout(5s);
    AsAdmin(client, cam);
    auto res = client.Get(target);
    if (!res) {
        if (status)
            *status = 0;
        return "ERROR " + std::to_string(static_cast<int>(res.error()));
    }
    if (status)
        *status = res->status;
    return res->body;
}

std::string Line(const std::string& name, const std::string& value, int status, const char* word) {
    return name + "=" + value + "&" + std::to_string(status) + " " + word + "\r\n";
}

// The answer line of a write: the name and status, no value.
std::string WriteLine(const std::string& name, int status, const char* word) {
    return name + "&" + std::to_string(status) + " " + word + "\r\n";
}

// The stream opens with the headers of an I-VOP: a video object layer start code.
bool HasKeyFrameHeader(const std::string& bytes) {
    return bytes.size() > 4 && bytes.compare(0, 3, std::string("\0\0\1", 3)) == 0 &&
           (static_cast<uint8_t>(bytes[3]) & 0xF0) == 0x20;
}

}  // namespace

TEST(CamsimProfiles, FamilyOneDomeHasPtzAndFrameSizes) {
    CameraSimulator cam({.profile = "vn-v686"});
    cam.Start();
    EXPECT_EQ(cam.profile().family, 1);
    EXPECT_EQ(Get(cam, "/api/param?system.model&system.mode&encode(1).framesize"),
              Line("system.model", "VN-V686U", 200, "OK") +
                  Line("system.mode", "", 404, "NotFound") +
                  Line("encode(1).framesize", "vga", 200, "OK"));
    // The PTZ probe of the capability query.
    EXPECT_EQ(Get(cam,
                  "/api/param?camera.focus.mode&camera.position(0).status&network.interface.mac"
                  "&system.software.revision(sys)"),
              Line("camera.focus.mode", "auto", 200, "OK") +
                  Line("camera.position(0).status", "registered", 200, "OK") +
                  Line("network.interface.mac", "00:80:88:6A:86:01", 200, "OK") +
                  Line("system.software.revision(sys)", "2.00", 200, "OK"));
    // Pins 1 and 2 exist, pin 3 does not.
    EXPECT_EQ(Get(cam, "/api/param?peripheral.input_pin.pin(2).status"),
              Line("peripheral.input_pin.pin(2).status", "break", 200, "OK"));
    EXPECT_EQ(Get(cam, "/api/param?peripheral.input_pin.pin(3).status"),
              Line("peripheral.input_pin.pin(3).status", "", 404, "NotFound"));
    EXPECT_EQ(Get(cam, "/api/param?peripheral.output_pin.pin(1).status"),
              Line("peripheral.output_pin.pin(1).status", "break", 200, "OK"));
    // The makers document two outputs on a VN-V686.
    EXPECT_EQ(Get(cam, "/api/param?peripheral.output_pin.pin(2).status"),
              Line("peripheral.output_pin.pin(2).status", "break", 200, "OK"));
    EXPECT_EQ(Get(cam, "/api/param?peripheral.output_pin.pin(3).status"),
              Line("peripheral.output_pin.pin(3).status", "", 404, "NotFound"));
}

TEST(CamsimProfiles, ModelsNameThemselvesWithTheRegionSuffix) {
    for (auto [profile, model, password] :
         {std::tuple{"VN-V686", "VN-V686U", "vn-v686"}, std::tuple{"VN-V686B", "VN-V686BU", "jvc"},
          std::tuple{"VN-V685", "VN-V685U", "jvc"}}) {
        CameraSimulator cam({.profile = profile, .jpeg_ring_size = 2});
        cam.Start();
        EXPECT_EQ(cam.options().password, password);
        EXPECT_EQ(Get(cam, "/api/param?system.model"), Line("system.model", model, 200, "OK"));
        const auto ring = cam.JpegRing(640, 480);
        ASSERT_FALSE(ring.empty());
        const std::string bytes(ring[0].bytes.begin(), ring[0].bytes.end());
        EXPECT_NE(bytes.find(std::string("type = ") + model + '\0'), std::string::npos);
    }
    CameraSimulator dome({.profile = "VN-V685", .jpeg_ring_size = 2});
    EXPECT_EQ(dome.profile().family, 1);
    EXPECT_TRUE(dome.profile().ptz);
}

TEST(CamsimProfiles, FamilyTwoBoxCameraHasModesAndNoHead) {
    CameraSimulator cam({.profile = "VN-X100", .input_pins = 4});
    cam.Start();
    EXPECT_EQ(cam.profile().family, 2);
    EXPECT_EQ(Get(cam,
                  "/api/param?system.model&system.mode&camera.focus.mode"
                  "&camera.position(0).status&encode(1).framesize"),
              Line("system.model", "VN-X100", 200, "OK") +
                  Line("system.mode", "pattern3", 200, "OK") +
                  Line("camera.focus.mode", "", 404, "NotFound") +
                  Line("camera.position(0).status", "", 404, "NotFound") +
                  Line("encode(1).framesize", "", 404, "NotFound"));
    EXPECT_EQ(Get(cam, "/api/param?system.mode=PATTERN4&system.mode=pattern2"),
              WriteLine("system.mode", 200, "OK") + WriteLine("system.mode", 400, "BadRequest"));
    EXPECT_EQ(cam.JpegSizeNow(), std::make_pair(320u, 240u));
    EXPECT_EQ(Get(cam, "/api/param?peripheral.input_pin.pin(4).status"),
              Line("peripheral.input_pin.pin(4).status", "break", 200, "OK"));
    EXPECT_FALSE(camsim::FindProfile("VN-Y100"));
    EXPECT_THROW(CameraSimulator({.profile = "vn-x"}), std::runtime_error);
}

TEST(CamsimStore, EncoderParametersAreValidated) {
    CameraSimulator cam;
    cam.Start();
    EXPECT_EQ(
        Get(cam,
            "/api/param?encode(1).cbr_mode=vfs&encode(1).quality=80k"
            "&encode(1).quality=80&encode(2).bitrate=3991000"
            "&encode(2).bitrate=43383491000&encode(2).framerate=7.5"
            "&encode(2).framerate=31&encode(2).iframeinterval=30"
            "&encode(1).status=save&encode(2).status=save&encode(2).status=load"),
        WriteLine("encode(1).cbr_mode", 200, "OK") + WriteLine("encode(1).quality", 200, "OK") +
            WriteLine("encode(1).quality", 400, "BadRequest") +
            WriteLine("encode(2).bitrate", 200, "OK") +
            WriteLine("encode(2).bitrate", 400, "BadRequest") +
            WriteLine("encode(2).framerate", 200, "OK") +
            WriteLine("encode(2).framerate", 400, "BadRequest") +
            WriteLine("encode(2).iframeinterval", 200, "OK") +
            WriteLine("encode(1).status", 200, "OK") + WriteLine("encode(2).status", 200, "OK") +
            WriteLine("encode(2).status", 400, "BadRequest"));
    EXPECT_EQ(cam.SaveCount(1), 1u);
    EXPECT_EQ(cam.SaveCount(2), 1u);
    EXPECT_DOUBLE_EQ(cam.Mpeg4FrameRate(), 7.5);
    auto writes = cam.Writes();
    ASSERT_EQ(writes.size(), 11u);
    EXPECT_EQ(writes[4].value, "43383491000");
    EXPECT_EQ(writes[4].line_status, 400);
    // Read-only and unknown names; the store can be changed directly by a test.
    EXPECT_EQ(Get(cam, "/api/param?system.software.revision(sys)=9.99&no.such.thing"),
              WriteLine("system.software.revision(sys)", 403, "Forbidden") +
                  Line("no.such.thing", "", 404, "NotFound"));
    cam.SetParam("system.software.revision(sys)", "1.03");
    EXPECT_EQ(Get(cam, "/api/param?system.software.revision(sys)"),
              Line("system.software.revision(sys)", "1.03", 200, "OK"));
    cam.RemoveParam("encode(2).bitrate");
    EXPECT_EQ(Get(cam, "/api/param?encode(2).bitrate"),
              Line("encode(2).bitrate", "", 404, "NotFound"));
    int status = 0;
    Get(cam, "/api/param?", &status);
    EXPECT_EQ(status, 400);
    Get(cam, "/api/other", &status);
    EXPECT_EQ(status, 404);
}

TEST(CamsimHead, MovesFocusesAndKeepsPresets) {
    CameraSimulator cam({.profile = "VN-V686"});
    cam.Start();
    Get(cam,
        "/api/param?camera.motion.pan.speed=47&camera.motion.pan.mode=left"
        "&camera.motion.tilt.speed=47&camera.motion.tilt.mode=up");
    Get(cam, "/api/param?camera.motion.pan.status=start");
    Get(cam, "/api/param?camera.motion.tilt.status=start");
    auto head = cam.Head();
    EXPECT_TRUE(head.pan.moving);
    EXPECT_TRUE(head.tilt.moving);
    EXPECT_FALSE(head.zoom.moving);
    EXPECT_EQ(head.pan.mode, "left");
    EXPECT_EQ(head.tilt.speed, 47u);
    Get(cam, "/api/param?camera.motion.pan.status=stop");
    EXPECT_FALSE(cam.Head().pan.moving);
    EXPECT_EQ(cam.Head().pan.stops, 1u);
    EXPECT_EQ(Get(cam, "/api/param?camera.motion.pan.mode=up&camera.motion.zoom.speed=101"),
              WriteLine("camera.motion.pan.mode", 400, "BadRequest") +
                  WriteLine("camera.motion.zoom.speed", 400, "BadRequest"));
    Get(cam, "/api/param?camera.focus.mode=far&camera.focus.speed=8");
    Get(cam, "/api/param?camera.focus.status=start");
    EXPECT_TRUE(cam.Head().focus.moving);
    EXPECT_EQ(cam.Head().focus.mode, "far");
    EXPECT_EQ(Get(cam, "/api/param?camera.motion.zoom=0.03"),
              WriteLine("camera.motion.zoom", 200, "OK"));
    EXPECT_EQ(cam.Head().zoom_position, "0.03");
    EXPECT_EQ(Get(cam, "/api/param?camera.motion.clickoncenter=s320-s240"),
              WriteLine("camera.motion.clickoncenter", 200, "OK"));
    Get(cam, "/api/param?camera.motion.clickoncenter=45.45-41.67");
    EXPECT_EQ(cam.Head().clicks, (std::vector<std::string>{"s320-s240", "45.45-41.67"}));

    // Presets: save, comment, goto, initialize.
    EXPECT_EQ(Get(cam, "/api/param?camera.position(5).status"),
              Line("camera.position(5).status", "unregistered", 200, "OK"));
    EXPECT_EQ(Get(cam, "/api/param?camera.position(5).status=goto"),
              WriteLine("camera.position(5).status", 400, "BadRequest"));
    Get(cam, "/api/param?camera.position(5).comment=ZELT%20Preset%20004");
    EXPECT_EQ(Get(cam, "/api/param?camera.position(5).status=save"),
              WriteLine("camera.position(5).status", 200, "OK"));
    EXPECT_EQ(Get(cam, "/api/param?camera.position(5).status"),
              Line("camera.position(5).status", "registered", 200, "OK"));
    // The preset speed lasts once saved: a 202 line.
    EXPECT_EQ(Get(cam, "/api/param?camera.motion.position.speed=60"),
              WriteLine("camera.motion.position.speed", 202, "Accepted(camera.status=save)"));
    Get(cam, "/api/param?camera.position(5).status=goto");
    EXPECT_EQ(cam.Head().last_goto, 5);
    EXPECT_EQ(cam.Head().position_speed, 60u);
    EXPECT_EQ(cam.Preset(5).comment, "ZELT Preset 004");
    Get(cam, "/api/param?camera.position(5).status=initialize");
    EXPECT_FALSE(cam.Preset(5).registered);
    EXPECT_EQ(cam.Preset(5).comment, "");
    EXPECT_EQ(Get(cam, "/api/param?camera.position(100).status"),
              Line("camera.position(100).status", "", 404, "NotFound"));
}

TEST(CamsimHead, OldFirmwareHasNoClickOnCenter) {
    CameraSimulator cam({.profile = "VN-V686"});
    cam.Start();
    cam.SetParam("system.software.revision(sys)", "1.03");
    EXPECT_EQ(Get(cam, "/api/param?camera.motion.clickoncenter=s1-s1"),
              WriteLine("camera.motion.clickoncenter", 404, "NotFound"));
    CameraSimulator later({.profile = "VN-V686B"});
    later.Start();
    EXPECT_EQ(later.GetParam("system.software.revision(sys)"), "1.03");
    EXPECT_EQ(Get(later, "/api/param?camera.motion.clickoncenter=s1-s1"),
              WriteLine("camera.motion.clickoncenter", 200, "OK"));
}

TEST(CamsimPins, InputsFollowTheTestAndOutputsAreRecorded) {
    CameraSimulator cam({.profile = "VN-V686"});
    cam.Start();
    cam.SetInputPin(1, true);
    EXPECT_EQ(Get(cam, "/api/param?peripheral.input_pin.pin(1).status"),
              Line("peripheral.input_pin.pin(1).status", "make", 200, "OK"));
    EXPECT_EQ(cam.InputPin(1), true);
    EXPECT_EQ(cam.InputPin(2), false);
    EXPECT_FALSE(cam.InputPin(3).has_value());
    EXPECT_EQ(Get(cam, "/api/param?peripheral.input_pin.pin(1).status=break"),
              WriteLine("peripheral.input_pin.pin(1).status", 403, "Forbidden"));

    // A client that asks to keep the connection: the camera closes it after every answer.
    httplib::Client client("127.0.0.1", cam.port());
    AsAdmin(client, cam);
    client.set_keep_alive(true);
    ASSERT_TRUE(client.Get("/api/param?peripheral.output_pin.pin(1).duration=0"));
    auto res = client.Get("/api/param?peripheral.output_pin.pin(1).status=make");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->get_header_value("Connection"), "close");
    EXPECT_EQ(res->body, WriteLine("peripheral.output_pin.pin(1).status", 200, "OK"));
    auto pin = cam.OutputPin(1);
    ASSERT_TRUE(pin);
    EXPECT_EQ(pin->status, "make");
    EXPECT_EQ(pin->duration, "0");
    EXPECT_EQ(pin->writes, 1u);
    // Each request came on its own connection, in order.
    auto log = cam.Requests();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_NE(log[2].connection, log[3].connection);
    EXPECT_NE(log[1].connection, log[2].connection);
    EXPECT_EQ(log[2].target, "/api/param?peripheral.output_pin.pin(1).duration=0");
    EXPECT_EQ(log[3].path, "/api/param");
    EXPECT_EQ(cam.ConnectionsAccepted(), 4u);
}

TEST(CamsimJpeg, RingPicturesCarryTheirFrameNumbers) {
    CameraSimulator cam;
    cam.Start();
    for (auto [w, h] : {std::pair{320u, 240u}, std::pair{640u, 480u}, std::pair{1280u, 960u}}) {
        auto ring = cam.JpegRing(w, h);
        ASSERT_EQ(ring.size(), 30u);
        for (const auto& pic : ring) {
            EXPECT_EQ(camsim::ReadFrameNumber(pic.bytes), pic.frame_number) << w;
            EXPECT_EQ(camsim::JpegSize(pic.bytes), std::make_pair(w, h));
        }
        EXPECT_NE(ring[0].bytes, ring[1].bytes);
    }
    EXPECT_TRUE(cam.JpegRing(100, 100).empty());
}

TEST(CamsimJpeg, StreamDeliversTheRingByteForByte) {
    CameraSimulator cam;
    cam.Start();
    auto r = ReadStream(cam.port(), kMjpeg, 5s, [](const std::string& body) {
        return SplitParts(body, "--foo").size() < 5;
    });
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.headers_content_type, "multipart/x-mixed-replace;boundary=--foo");
    auto parts = SplitParts(r.body, "--foo");
    ASSERT_GE(parts.size(), 5u);
    auto ring = cam.JpegRing(640, 480);
    for (size_t k = 0; k < 5; ++k) {
        EXPECT_EQ(parts[k], std::string(ring[k].bytes.begin(), ring[k].bytes.end()));
    }
    EXPECT_NE(r.body.find("\r\n--foo\r\nContent-Type: image/jpeg\r\nContent-Length: "),
              std::string::npos);
}

TEST(CamsimFaults, HttpStatusAndUnauthorizedForever) {
    CameraSimulator cam({.auth = camsim::AuthMode::kDigest});
    cam.Start();
    int status = 0;
    cam.SetHttpStatusFault(503);
    Get(cam, "/api/param?system.model", &status);
    EXPECT_EQ(status, 503);
    Get(cam, kMjpeg, &status);
    EXPECT_EQ(status, 503);
    cam.SetHttpStatusFault(0);

    httplib::Client client("127.0.0.1", cam.port());
    client.set_digest_auth("admin", "vn-v686");
    auto res = client.Get("/api/param?system.model");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    cam.SetUnauthorizedForever(true);
    res = client.Get("/api/param?system.model");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 401);
    EXPECT_NE(res->get_header_value("WWW-Authenticate").find("Digest"), std::string::npos);
    cam.SetUnauthorizedForever(false);
    res = client.Get("/api/param?system.model");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);

    // The video status answers the video requests alone.
    cam.SetVideoStatusFault(204);
    for (const char* video : {kMjpeg, "/api/video?encode=mpeg4"}) {
        res = client.Get(video);
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 204);
        EXPECT_TRUE(res->body.empty());
    }
    res = client.Get("/api/param?system.model");
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    // Video requests need no credentials, also on a Digest camera.
    httplib::Client anonymous("127.0.0.1", cam.port());
    res = anonymous.Get(kMjpeg);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 204);
    cam.SetVideoStatusFault(0);
}

TEST(CamsimFaults, LineStatusForChosenNames) {
    CameraSimulator cam({.profile = "VN-X235"});
    cam.Start();
    cam.SetLineStatus("system.mode", 500);
    EXPECT_EQ(Get(cam, "/api/param?system.mode&system.model&system.mode=pattern1"),
              Line("system.mode", "", 500, "InternalError") +
                  Line("system.model", "VN-X235", 200, "OK") +
                  WriteLine("system.mode", 500, "InternalError"));
    EXPECT_EQ(cam.GetParam("system.mode"), "pattern3");
    cam.SetLineStatus("system.mode", 0);
    EXPECT_EQ(Get(cam, "/api/param?system.mode"), Line("system.mode", "pattern3", 200, "OK"));
}

TEST(CamsimFaults, RefuseConnectionsOnTheSamePort) {
    CameraSimulator cam;
    const uint16_t port = cam.Start();
    cam.SetRefuseConnections(true);
    const auto before = cam.ConnectionsAccepted();
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(2s);
    auto res = client.Get("/api/param?system.model");
    EXPECT_FALSE(res);
    EXPECT_EQ(res.error(), httplib::Error::Connection);
    EXPECT_EQ(cam.ConnectionsAccepted(), before);
    cam.SetRefuseConnections(false);
    EXPECT_EQ(cam.port(), port);
    EXPECT_EQ(Get(cam, "/api/param?system.model"), Line("system.model", "VN-V686U", 200, "OK"));
    EXPECT_EQ(cam.ConnectionsAccepted(), before + 1);
}

TEST(CamsimFaults, ASecondSimulatorCannotTakeAPortInUse) {
    CameraSimulator first;
    const uint16_t port = first.Start();
    camsim::Options options;
    options.port = port;
    CameraSimulator second(options);
    EXPECT_THROW(second.Start(), std::runtime_error);
    EXPECT_EQ(Get(first, "/api/param?system.model"), Line("system.model", "VN-V686U", 200, "OK"));
}

TEST(CamsimFaults, NeverAnswerHoldsTheRequestUntilSwitchedOff) {
    CameraSimulator cam;
    cam.Start();
    cam.SetNeverAnswer(true);
    httplib::Client client("127.0.0.1", cam.port());
    client.set_read_timeout(1s);
    auto res = client.Get("/api/param?system.model");
    EXPECT_FALSE(res);
    EXPECT_EQ(res.error(), httplib::Error::Read);
    EXPECT_EQ(cam.ConnectionsAccepted(), 1u);
    EXPECT_TRUE(cam.Requests().empty());

    // A held request is answered once the fault is switched off.
    std::string body;
    std::thread waiter([&] { body = Get(cam, "/api/param?system.model"); });
    // Switched off only once the second connection is held.
    EXPECT_TRUE(cam.WaitForConnections(2));
    cam.SetNeverAnswer(false);
    waiter.join();
    EXPECT_EQ(body, Line("system.model", "VN-V686U", 200, "OK"));
}

TEST(CamsimFaults, EndStreamAfterPictures) {
    CameraSimulator cam({.mpeg4_mid_gop = false});
    cam.Start();
    cam.SetEndStreamAfter(3);
    auto r = ReadStream(cam.port(), kMjpeg, 10s);
    EXPECT_TRUE(r.ended_by_server);
    EXPECT_EQ(SplitParts(r.body, "--foo").size(), 3u);
    cam.SetParam("encode(2).framerate", "30");
    r = ReadStream(cam.port(), "/api/video?encode=mpeg4", 10s);
    EXPECT_TRUE(r.ended_by_server);
    EXPECT_TRUE(HasKeyFrameHeader(r.body));
    cam.SetEndStreamAfter(-1);
    r = ReadStream(cam.port(), kMjpeg, 600ms);
    EXPECT_FALSE(r.ended_by_server);
    EXPECT_GE(SplitParts(r.body, "--foo").size(), 5u);
}

TEST(CamsimFaults, StallStreamAfterPictures) {
    CameraSimulator cam;
    cam.Start();
    cam.SetStallStreamAfter(2);
    const auto start = std::chrono::steady_clock::now();
    auto r = ReadStream(cam.port(), kMjpeg, 10s, nullptr, 1s);
    EXPECT_EQ(r.error, httplib::Error::Read);  // nothing more came within the read time-out
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_EQ(SplitParts(r.body, "--foo").size(), 2u);
    // The stalled stream ends when its client goes.
    EXPECT_TRUE(cam.WaitForOpenStreams(0, 2s));
    EXPECT_EQ(cam.OpenStreams(), 0);
    cam.SetStallStreamAfter(-1);
    r = ReadStream(cam.port(), kMjpeg, 500ms);
    EXPECT_GE(SplitParts(r.body, "--foo").size(), 4u);
}

TEST(CamsimFaults, TruncatedPicturesAndGarbageBetweenParts) {
    CameraSimulator cam;
    cam.Start();
    cam.SetTruncateEvery(2);
    cam.SetGarbageBytes(100);
    auto r = ReadStream(cam.port(), kMjpeg, 5s, [](const std::string& body) {
        return SplitParts(body, "--foo").size() < 4;
    });
    auto parts = SplitParts(r.body, "--foo");
    ASSERT_GE(parts.size(), 4u);
    auto ring = cam.JpegRing(640, 480);
    EXPECT_EQ(parts[0].size(), ring[0].bytes.size());
    EXPECT_EQ(parts[1].size(), ring[1].bytes.size() / 2);
    // The cut picture is the first half of the ring's, without its end-of-image marker.
    EXPECT_EQ(parts[1], std::string(ring[1].bytes.begin(),
                                    ring[1].bytes.begin() + static_cast<long>(parts[1].size())));
    EXPECT_NE(parts[1].substr(parts[1].size() - 2), "\xFF\xD9");
    EXPECT_EQ(camsim::ReadFrameNumber(std::vector<uint8_t>(parts[2].begin(), parts[2].end())), 2u);
    // The garbage sits between a part's data and the next boundary.
    const size_t end0 = r.body.find(parts[0]) + parts[0].size();
    EXPECT_EQ(r.body.substr(end0, 2 + 15), "\r\ncamsim-garbage-");
    EXPECT_EQ(r.body.substr(end0 + 2 + 100, 5), "--foo");
    cam.ClearFaults();
    EXPECT_EQ(cam.GetFaults().truncate_every, 0);
    r = ReadStream(cam.port(), kMjpeg, 5s,
                   [](const std::string& body) { return SplitParts(body, "--foo").size() < 2; });
    EXPECT_EQ(r.body.find("camsim-garbage-"), std::string::npos);
}

TEST(CamsimFaults, ByteRateLimit) {
    CameraSimulator cam;
    cam.Start();
    cam.SetStreamByteRate(20000);
    auto r = ReadStream(cam.port(), "/api/video?encode=jpeg&framerate=30&boundary=on", 2s);
    // About 40,000 bytes in two seconds, far below the 30 pictures/s the stream asked for.
    EXPECT_GT(r.body.size(), 25000u);
    EXPECT_LT(r.body.size(), 50000u);
}

TEST(CamsimFaults, ByteRateSwitchedOnAndOffMidStream) {
    CameraSimulator cam;
    cam.Start();
    std::atomic<size_t> parts{0};
    std::thread client([&] {
        ReadStream(cam.port(), kMjpeg, 20s, [&](const std::string& body) {
            parts = SplitParts(body, "--foo").size();
            return parts < 12;
        });
    });
    auto wait_parts = [&](size_t n, std::chrono::milliseconds limit) {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (parts < n && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(5ms);
        }
        return parts >= n;
    };
    // The bytes sent at full speed before do not count against the rate: the drip begins at
    // once, and switched off, the stream goes on at full speed at once.
    ASSERT_TRUE(wait_parts(3, 5s));
    cam.SetStreamByteRate(1000);
    std::this_thread::sleep_for(300ms);
    const size_t dripped = parts;
    EXPECT_LE(dripped, 4u);
    cam.SetStreamByteRate(0);
    EXPECT_TRUE(wait_parts(dripped + 3, 1500ms));
    client.join();
}

TEST(CamsimFaults, Mpeg4MidGopStart) {
    CameraSimulator cam({.mpeg4_mid_gop = false});
    cam.Start();
    cam.SetParam("encode(2).framerate", "30");
    cam.SetEndStreamAfter(1);
    auto r = ReadStream(cam.port(), "/api/video?encode=mpeg4", 5s);
    EXPECT_TRUE(HasKeyFrameHeader(r.body));
    cam.SetMpeg4MidGop(true);
    r = ReadStream(cam.port(), "/api/video?encode=mpeg4", 5s);
    ASSERT_GT(r.body.size(), 5u);
    // A P-picture (coding type 1) without a sequence header in front.
    EXPECT_EQ(r.body.compare(0, 4, std::string("\0\0\1\xB6", 4)), 0);
    EXPECT_EQ(static_cast<uint8_t>(r.body[4]) >> 6, 1);
    // Fixture bytes are exposed for comparison.
    const auto fixture = cam.Mpeg4Fixture(640, 480);
    EXPECT_NE(std::string(fixture.begin(), fixture.end()).find(r.body), std::string::npos);
    EXPECT_TRUE(cam.Mpeg4Fixture(800, 600).empty());
}

TEST(CamsimFaults, StreamsCutInTheMiddleOfAPicture) {
    CameraSimulator cam({.mpeg4_mid_gop = false});  // compared with the fixture's start
    cam.Start();
    cam.SetCutStreamAfter(2);
    auto r = ReadStream(cam.port(), kMjpeg, 10s);
    EXPECT_TRUE(r.ended_by_server);
    const auto parts = SplitParts(r.body, "--foo");
    ASSERT_EQ(parts.size(), 2u);
    // The third part announces the whole picture and carries its first half.
    const auto ring = cam.JpegRing(640, 480);
    const size_t third = r.body.rfind("--foo\r\n");
    ASSERT_NE(third, std::string::npos);
    const size_t data = r.body.find("\r\n\r\n", third) + 4;
    EXPECT_NE(r.body.find("Content-Length: " + std::to_string(ring[2].bytes.size()), third),
              std::string::npos);
    EXPECT_EQ(r.body.substr(data),
              std::string(ring[2].bytes.begin(),
                          ring[2].bytes.begin() + static_cast<long>(ring[2].bytes.size() / 2)));

    cam.SetParam("encode(2).framerate", "30");
    cam.SetCutStreamAfter(1);
    r = ReadStream(cam.port(), "/api/video?encode=mpeg4", 10s);
    EXPECT_TRUE(r.ended_by_server);
    const auto fixture = cam.Mpeg4Fixture(640, 480);
    ASSERT_LT(r.body.size(), fixture.size());
    EXPECT_EQ(std::string(fixture.begin(), fixture.begin() + static_cast<long>(r.body.size())),
              r.body);
    // The next bytes are no start code: the stream ended inside a picture.
    EXPECT_NE(std::string(fixture.begin() + static_cast<long>(r.body.size()),
                          fixture.begin() + static_cast<long>(r.body.size()) + 3),
              std::string("\0\0\1", 3));
    cam.SetCutStreamAfter(-1);
    r = ReadStream(cam.port(), kMjpeg, 600ms);
    EXPECT_FALSE(r.ended_by_server);
}

TEST(CamsimFaults, GarbageBetweenMpeg4Pictures) {
    CameraSimulator cam;
    cam.Start();
    cam.SetParam("encode(2).framerate", "30");
    cam.SetEndStreamAfter(2);
    cam.SetGarbageBytes(40);
    auto r = ReadStream(cam.port(), "/api/video?encode=mpeg4", 10s);
    EXPECT_TRUE(r.ended_by_server);
    const size_t first = r.body.find("camsim-garbage-");
    ASSERT_NE(first, std::string::npos);
    // After the junk comes the next picture's start code.
    EXPECT_EQ(r.body.compare(first + 40, 3, std::string("\0\0\1", 3)), 0);
    // The last picture is followed by its junk too.
    EXPECT_EQ(r.body.substr(r.body.size() - 40, 15), "camsim-garbage-");
}

TEST(CamsimFaults, EndlessHeadersUntilSwitchedOff) {
    CameraSimulator cam;
    cam.Start();
    cam.SetEndlessHeaders(true);
    const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(sock, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(cam.port());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const std::string request = "GET /api/param?system.model HTTP/1.1\r\nHost: camsim\r\n\r\n";
    ASSERT_EQ(::send(sock, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    timeval wait{0, 100 * 1000};
    ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::string got;
    char buffer[4096];
    auto read_for = [&](std::chrono::milliseconds span) {
        for (auto until = std::chrono::steady_clock::now() + span;
             std::chrono::steady_clock::now() < until;) {
            const ssize_t n = ::recv(sock, buffer, sizeof buffer, 0);
            if (n == 0) {
                return true;  // closed
            }
            if (n > 0) {
                got.append(buffer, static_cast<size_t>(n));
            }
        }
        return false;
    };
    EXPECT_FALSE(read_for(600ms));
    EXPECT_EQ(got.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_NE(got.find("X-Camsim-Header-4: "), std::string::npos);
    EXPECT_EQ(got.find("\r\n\r\n"), std::string::npos);
    ASSERT_TRUE(cam.WaitForRequest("system.model"));
    EXPECT_EQ(cam.Requests().back().status, 0);
    // Switched off, the connection is closed, still without the end of the headers.
    cam.SetEndlessHeaders(false);
    EXPECT_TRUE(read_for(2s));
    EXPECT_EQ(got.find("\r\n\r\n"), std::string::npos);
    ::close(sock);
    EXPECT_EQ(Get(cam, "/api/param?system.model"), Line("system.model", "VN-V686U", 200, "OK"));
}

TEST(CamsimFaults, ByteRateAlsoPacesParameterAnswers) {
    CameraSimulator cam;
    cam.Start();
    cam.SetStreamByteRate(200);
    const auto start = std::chrono::steady_clock::now();
    // About 150 bytes of headers and body at 200 bytes a second.
    EXPECT_EQ(Get(cam, "/api/param?system.model"), Line("system.model", "VN-V686U", 200, "OK"));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 400ms);
}

TEST(CamsimFaults, DropConnectionsEndsOpenStreams) {
    CameraSimulator cam;
    cam.Start();
    std::thread client([&] { ReadStream(cam.port(), kMjpeg, 30s); });
    ASSERT_TRUE(cam.WaitForOpenStreams(1));
    cam.DropConnections();
    EXPECT_TRUE(cam.WaitForOpenStreams(0, 2s));
    client.join();
    EXPECT_EQ(Get(cam, "/api/param?system.model"), Line("system.model", "VN-V686U", 200, "OK"));
}

TEST(CamsimLifecycle, StopIsPromptWithOpenStreamsAndHeldConnections) {
    CameraSimulator cam;
    cam.Start();
    std::atomic<int> done{0};
    std::vector<std::thread> clients;
    clients.emplace_back([&] {
        ReadStream(cam.port(), kMjpeg, 30s);
        ++done;
    });
    clients.emplace_back([&] {
        ReadStream(cam.port(), "/api/video?encode=mpeg4", 30s);
        ++done;
    });
    cam.WaitForOpenStreams(2, 2s);
    ASSERT_EQ(cam.OpenStreams(), 2);
    cam.SetStallStreamAfter(0);  // a third stream that stalls at once
    clients.emplace_back([&] {
        ReadStream(cam.port(), kMjpeg, 30s, nullptr, 30s);
        ++done;
    });
    // An idle keep-alive connection.
    httplib::Client idle("127.0.0.1", cam.port());
    ASSERT_TRUE(idle.Get("/api/param?system.model"));
    // The stalled stream is open before the never-answer switch could hold its connection.
    EXPECT_TRUE(cam.WaitForOpenStreams(3));
    const uint64_t accepted = cam.ConnectionsAccepted();
    cam.SetNeverAnswer(true);
    clients.emplace_back([&] {
        httplib::Client held("127.0.0.1", cam.port());
        held.set_read_timeout(30s);
        held.Get("/api/param?system.model");
        ++done;
    });
    EXPECT_TRUE(cam.WaitForConnections(accepted + 1));
    const auto start = std::chrono::steady_clock::now();
    cam.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    for (auto& t : clients) {
        t.join();
    }
    EXPECT_EQ(done.load(), 4);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    cam.Stop();  // twice is fine
}

TEST(CamsimAuth, DigestMatchesTheRfcExampleAndRejectsReplays) {
    // RFC 7616, section 3.9.1 (MD5).
    EXPECT_EQ(camsim::detail::DigestResponse(
                  "Mufasa", "http-auth@example.org", "Circle of Life", "GET", "/dir/index.html",
                  "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v", "00000001",
                  "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ"),
              "8ca523f5e9506fed4657c9700eebdbec");
    camsim::detail::Authenticator auth(camsim::AuthMode::kDigest, {{"u", "p"}}, "cam");
    const std::string challenge = auth.Challenge();
    auto params = camsim::detail::ParseAuthParams(challenge.substr(7));
    ASSERT_FALSE(params["nonce"].empty());
    EXPECT_EQ(params["qop"], "auth");
    auto header = [&](const std::string& nc, const std::string& nonce) {
        return "Digest username=\"u\", realm=\"cam\", nonce=\"" + nonce +
               "\", uri=\"/api/param?x\", qop=auth, nc=" + nc + ", cnonce=\"abc\", response=\"" +
               camsim::detail::DigestResponse("u", "cam", "p", "GET", "/api/param?x", nonce, nc,
                                              "abc") +
               "\", opaque=\"" + params["opaque"] + "\"";
    };
    using V = camsim::detail::Authenticator::Verdict;
    EXPECT_EQ(auth.Check("GET", "/api/param?x", header("00000001", params["nonce"])), V::kAccepted);
    EXPECT_EQ(auth.Check("GET", "/api/param?x", header("00000001", params["nonce"])), V::kRejected);
    EXPECT_EQ(auth.Check("GET", "/api/param?x", header("00000002", params["nonce"])), V::kAccepted);
    EXPECT_EQ(auth.Check("GET", "/api/param?y", header("00000003", params["nonce"])), V::kRejected);
    EXPECT_EQ(auth.Check("GET", "/api/param?x", header("00000001", "unknownnonce")), V::kStale);
    EXPECT_EQ(auth.Check("GET", "/api/param?x", ""), V::kMissing);
}

// ---------------------------------------------------------------------------------------------
// The video answers as the makers document them.

namespace {

// The marker codes of a JPEG's segments up to and including SOS.
std::vector<uint8_t> SegmentMarkers(const std::vector<uint8_t>& jpeg) {
    std::vector<uint8_t> markers;
    size_t pos = 2;
    while (pos + 4 <= jpeg.size() && jpeg[pos] == 0xFF) {
        markers.push_back(jpeg[pos + 1]);
        if (jpeg[pos + 1] == 0xDA) {
            break;
        }
        pos += 2 + ((jpeg[pos + 2] << 8) | jpeg[pos + 3]);
    }
    return markers;
}

// One video answer's headers, read with the body's first bytes.
struct VideoAnswer {
    int status = 0;
    std::string type, length, echo;
    std::string body;
};

VideoAnswer ReadVideo(const CameraSimulator& cam, const std::string& target, size_t enough) {
    VideoAnswer answer;
    httplib::Client client("127.0.0.1", cam.port());
    client.set_read_timeout(5s);
    auto res = client.Get(
        target,
        [&](const httplib::Response& r) {
            answer.status = r.status;
            answer.type = r.get_header_value("Content-Type");
            answer.length = r.get_header_value("Content-Length");
            answer.echo = r.get_header_value("x-vnv686_response");
            return true;
        },
        [&](const char* data, size_t size) {
            answer.body.append(data, size);
            return answer.body.size() < enough;
        });
    return answer;
}

// The raw bytes of an answer (headers included) over a plain socket, up to `enough` bytes
// or the end: an HTTP client would stop at the Content-Length of the first-picture form.
std::string RawGet(const CameraSimulator& cam, const std::string& target, size_t enough) {
    const int sock = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(cam.port());
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string out;
    timeval timeout{5, 0};
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (::connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        const std::string request = "GET " + target + " HTTP/1.1\r\nHost: camera\r\n\r\n";
        (void)!::send(sock, request.data(), request.size(), MSG_NOSIGNAL);
        char buffer[65536];
        while (out.size() < enough) {
            const ssize_t n = ::recv(sock, buffer, sizeof buffer, 0);
            if (n <= 0) {
                break;
            }
            out.append(buffer, static_cast<size_t>(n));
        }
    }
    ::close(sock);
    return out;
}

}  // namespace

TEST(CamsimVideo, PicturesHaveTheCamerasSegments) {
    CameraSimulator cam({.jpeg_ring_size = 3});
    cam.Start();
    const auto ring = cam.JpegRing(320, 240);
    ASSERT_EQ(ring.size(), 3u);
    for (const auto& pic : ring) {
        EXPECT_EQ(SegmentMarkers(pic.bytes),
                  (std::vector<uint8_t>{0xE0, 0xFE, 0xFE, 0xC4, 0xC4, 0xC4, 0xC4, 0xDB, 0xDB, 0xDD,
                                        0xC0, 0xDA}));
        const std::string bytes(pic.bytes.begin(), pic.bytes.end());
        // Fixed-length items, zero-padded, in the first comment.
        const size_t type = bytes.find("type = VN-V686U");
        ASSERT_NE(type, std::string::npos);
        EXPECT_EQ(bytes.compare(type + 40, 12, "Timestamp = "), 0);
        EXPECT_EQ(bytes[type + 39], '\0');
        // Restart markers in the scan, and the frame number still reads back.
        EXPECT_NE(bytes.find("\xFF\xD0", bytes.find("\xFF\xDA")), std::string::npos);
        EXPECT_EQ(camsim::ReadFrameNumber(pic.bytes), pic.frame_number);
    }
}

TEST(CamsimVideo, OnlyTheListedFrameRates) {
    CameraSimulator cam({.jpeg_ring_size = 3});
    cam.Start();
    auto echo_of = [&](const std::string& rate) {
        return ReadVideo(cam, "/api/video?encode=jpeg&boundary=on&framerate=" + rate, 1).echo;
    };
    EXPECT_EQ(echo_of("7.5"), "encode=jpeg&framerate=7.5&framesize=vga&boundary=on&ptz_info=off");
    EXPECT_EQ(echo_of("25"), "encode=jpeg&framerate=25&framesize=vga&boundary=on&ptz_info=off");
    // An unlisted rate is served at the nearest listed one below it.
    EXPECT_EQ(echo_of("8"), "encode=jpeg&framerate=7.5&framesize=vga&boundary=on&ptz_info=off");
    EXPECT_EQ(echo_of("50"), "encode=jpeg&framerate=30&framesize=vga&boundary=on&ptz_info=off");
    EXPECT_EQ(echo_of("-4"), "encode=jpeg&framerate=-5&framesize=vga&boundary=on&ptz_info=off");
    EXPECT_EQ(echo_of("-1000"), "encode=jpeg&framerate=-60&framesize=vga&boundary=on&ptz_info=off");
    // ... or, with the switch, refused.
    cam.SetRefuseUnlistedFrameRate(true);
    EXPECT_EQ(ReadVideo(cam, "/api/video?encode=jpeg&framerate=8&boundary=on", 1).status, 400);
    EXPECT_EQ(ReadVideo(cam, "/api/video?encode=jpeg&framerate=-10&boundary=on", 1).status, 200);
    EXPECT_EQ(ReadVideo(cam, "/api/video?encode=jpeg&framerate=x&boundary=on", 1).status, 400);
}

TEST(CamsimVideo, FrameRateZeroIsOnePictureAndTheEnd) {
    CameraSimulator cam({.jpeg_ring_size = 3});
    cam.Start();
    auto r = ReadStream(cam.port(), "/api/video?encode=jpeg&framerate=0&boundary=on", 5s);
    EXPECT_TRUE(r.ended_by_server);
    EXPECT_EQ(r.headers_content_type, "image/jpeg");
    const auto ring = cam.JpegRing(640, 480);
    EXPECT_EQ(r.body, std::string(ring[0].bytes.begin(), ring[0].bytes.end()));
}

TEST(CamsimVideo, MultipartFramingAndTheFirstPictureForm) {
    CameraSimulator cam({.jpeg_ring_size = 3});
    cam.Start();
    const auto ring = cam.JpegRing(640, 480);
    const std::string first(ring[0].bytes.begin(), ring[0].bytes.end());
    auto a = ReadVideo(cam, "/api/video?encode=jpeg&framerate=30&boundary=on&ptz_info=on",
                       3 * first.size());
    EXPECT_EQ(a.type, "multipart/x-mixed-replace;boundary=--foo");
    EXPECT_TRUE(a.length.empty());
    EXPECT_EQ(a.body.rfind("--foo\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                               std::to_string(first.size()) + "\r\nX-Puls-Pan: ",
                           0),
              0u)
        << a.body.substr(0, 200);
    EXPECT_NE(a.body.find("\r\n\r\n" + first + "\r\n--foo\r\n"), std::string::npos);
    // boundary=off, and old firmware whatever is asked: the first picture's length, then
    // picture after picture with nothing between.
    for (bool old : {false, true}) {
        cam.SetOldFirmware(old);
        const std::string target =
            std::string("/api/video?encode=jpeg&framerate=30&boundary=") + (old ? "on" : "off");
        const std::string raw = RawGet(cam, target, 4 * first.size());
        const size_t end = raw.find("\r\n\r\n");
        ASSERT_NE(end, std::string::npos);
        const std::string headers = raw.substr(0, end + 2);
        EXPECT_NE(headers.find("Content-Type: image/jpeg\r\n"), std::string::npos) << headers;
        EXPECT_NE(headers.find("Content-Length: " + std::to_string(first.size()) + "\r\n"),
                  std::string::npos)
            << headers;
        const std::string second(ring[1].bytes.begin(), ring[1].bytes.end());
        EXPECT_EQ(raw.compare(end + 4, first.size() + 100, first + second.substr(0, 100)), 0)
            << old;
        EXPECT_EQ(headers.find("&boundary=off"),
                  old ? std::string::npos : headers.find("&boundary"))
            << headers;
    }
}

TEST(CamsimVideo, Mpeg4HasNoSequenceCodeAndUserDataBeforeEveryIvop) {
    CameraSimulator cam;
    cam.Start();
    const auto f = cam.Mpeg4Fixture(640, 480);
    const std::string bytes(f.begin(), f.end());
    EXPECT_EQ(bytes.find(std::string("\0\0\1\xB0", 4)), std::string::npos);
    EXPECT_EQ(bytes.find(std::string("\0\0\1\xB5", 4)), std::string::npos);
    // VOL, user data, GOV, user data naming the camera, then the I-VOP.
    size_t ivops = 0;
    for (size_t at = bytes.find(std::string("\0\0\1\xB3", 4)); at != std::string::npos;
         at = bytes.find(std::string("\0\0\1\xB3", 4), at + 1)) {
        const size_t user = bytes.find(std::string("\0\0\1\xB2type = VN-V686U\r\n", 20), at);
        const size_t vop = bytes.find(std::string("\0\0\1\xB6", 4), at);
        EXPECT_LT(user, vop);
        EXPECT_LT(static_cast<uint8_t>(bytes[vop + 4]) >> 6, 1);  // an I-VOP
        const size_t vol = bytes.rfind(std::string("\0\0\1\x20", 4), at);
        ASSERT_NE(vol, std::string::npos);
        EXPECT_EQ(bytes.compare(bytes.find(std::string("\0\0\1", 3), vol + 4), 12,
                                std::string("\0\0\1\xB2reserved", 12)),
                  0);
        ++ivops;
    }
    EXPECT_EQ(ivops, 4u);
    // By default the stream starts in the middle of a group, on a P-VOP.
    cam.SetEndStreamAfter(1);
    auto a = ReadVideo(cam, "/api/video?encode=mpeg4", 1 << 20);
    EXPECT_EQ(a.type, "video/mp4v-es");
    EXPECT_EQ(a.echo, "encode=mpeg4&framerate=15&framesize=vga&ptz_info=off");
    ASSERT_GT(a.body.size(), 5u);
    EXPECT_EQ(a.body.compare(0, 4, std::string("\0\0\1\xB6", 4)), 0);
    EXPECT_EQ(static_cast<uint8_t>(a.body[4]) >> 6, 1);
}
