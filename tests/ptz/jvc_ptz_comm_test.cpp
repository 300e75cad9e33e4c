// The JVC PTZ command thread against the camera simulator: the exact parameter requests of
// every command and preset operation, in order, the speed scaling, the bounded queue while
// the camera holds an answer, failures logged once, and a prompt stop on a stalled camera.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "camera_simulator.h"
#include "ptz/jvc_ptz_comm.h"
#include "support/fake_driver.h"

namespace vostrel {
namespace {

using ipcapture::kPtzDone;
using testing_support::FakeDriver;

constexpr const char* kParam = "/api/param?";
constexpr const char* kFocusStop = "camera.focus.status=stop";
constexpr const char* kZoomStop = "camera.motion.zoom.status=stop";

CPtzCapabilities JvcCaps() {
    CPtzCapabilities caps;
    caps.m_pan = caps.m_tilt = caps.m_zoom = caps.m_focus = true;
    caps.m_center = caps.m_unzoom = true;
    caps.m_maxPresets = 99;
    return caps;
}

class JvcPtzTest : public ::testing::Test {
  protected:
    void SetUp() override {
        port = cam.Start();
        driver.info = DEVICE_INFO("127.0.0.1", port, cam.options().user, cam.options().password);
        comm = std::make_unique<CJvcPTZComm>(&driver, JvcCaps(), 0);
        ASSERT_TRUE(comm->Open());
    }

    // The parameter queries received since the last clear, in order.
    std::vector<std::string> Queries() {
        std::vector<std::string> queries;
        for (const auto& request : cam.Requests()) {
            const std::string& target = request.target;
            queries.push_back(target.rfind(kParam, 0) == 0 ? target.substr(11) : target);
        }
        return queries;
    }

    // Posts the commands, then a stop as a marker behind them, and returns the queries the
    // commands sent (the marker's request is the last one and is left out).
    std::vector<std::string> Run(const std::function<void()>& post, bool zoomMarker = false) {
        cam.ClearRequests();
        post();
        const std::string marker = zoomMarker ? kZoomStop : kFocusStop;
        EXPECT_TRUE(zoomMarker ? comm->StopZooming(nullptr) : comm->StopFocusing(nullptr));
        EXPECT_TRUE(cam.WaitForRequest(marker));
        std::vector<std::string> queries = Queries();
        EXPECT_FALSE(queries.empty());
        if (!queries.empty()) {
            EXPECT_EQ(queries.back(), marker);
            queries.pop_back();
        }
        return queries;
    }

    camsim::CameraSimulator cam{camsim::Options{.profile = "VN-V686"}};
    uint16_t port = 0;
    FakeDriver driver;
    std::unique_ptr<CJvcPTZComm> comm;
};

std::string Axis(const char* axis, unsigned speed, const char* mode) {
    return std::string("camera.motion.") + axis + ".speed=" + std::to_string(speed) +
           "&camera.motion." + axis + ".mode=" + mode;
}

TEST_F(JvcPtzTest, MovesSendTheAxisTextsWithScaledSpeeds) {
    const std::string panStart = "camera.motion.pan.status=start";
    const std::string tiltStart = "camera.motion.tilt.status=start";
    const std::string zoomStart = "camera.motion.zoom.status=start";
    struct Case {
        int32_t direction;
        int32_t speed;
        std::vector<std::string> queries;
    };
    const std::vector<Case> cases = {
        {kPtzLeft, 0, {Axis("pan", 1, "left"), panStart}},
        {kPtzRight, 1, {Axis("pan", 1, "right"), panStart}},
        {kPtzUp, 16, {Axis("tilt", 100, "up"), tiltStart}},
        {kPtzDown, 40, {Axis("tilt", 100, "down"), tiltStart}},
        {kPtzUpLeft,
         8,
         {Axis("pan", 47, "left") + "&" + Axis("tilt", 47, "up"), panStart, tiltStart}},
        {kPtzUpRight,
         -1,
         {Axis("pan", 100, "right") + "&" + Axis("tilt", 100, "up"), panStart, tiltStart}},
        {kPtzDownLeft,
         2,
         {Axis("pan", 8, "left") + "&" + Axis("tilt", 8, "down"), panStart, tiltStart}},
        {kPtzDownRight,
         3,
         {Axis("pan", 14, "right") + "&" + Axis("tilt", 14, "down"), panStart, tiltStart}},
        {kPtzZoomIn, 9, {Axis("zoom", 54, "in"), zoomStart}},
        {kPtzZoomOut, 15, {Axis("zoom", 93, "out"), zoomStart}},
        {12, 5, {}},  // a direction the camera has no text for sends nothing
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Run([&] { EXPECT_EQ(comm->StartMove(nullptr, c.direction, c.speed), kPtzDone); }),
                  c.queries)
            << "direction " << c.direction << " speed " << c.speed;
    }
    const camsim::HeadState head = cam.Head();
    EXPECT_EQ(head.zoom.mode, "out");
    EXPECT_EQ(head.zoom.speed, 93u);
    EXPECT_EQ(head.pan.mode, "right");
    EXPECT_EQ(head.tilt.mode, "down");
    EXPECT_TRUE(driver.Messages().empty());  // direction 12 logs nothing either
}

TEST_F(JvcPtzTest, StopsFocusCentreAndUnzoom) {
    EXPECT_EQ(Run([&] { comm->StopMoving(nullptr); }),
              (std::vector<std::string>{"camera.motion.pan.status=stop",
                                        "camera.motion.tilt.status=stop"}));
    EXPECT_EQ(Run([&] { comm->StopZooming(nullptr); }), (std::vector<std::string>{kZoomStop}));
    EXPECT_EQ(Run([&] { comm->StopFocusing(nullptr); }, true),
              (std::vector<std::string>{kFocusStop}));
    EXPECT_EQ(Run([&] { comm->StartFocus(nullptr, true, 16); }),
              (std::vector<std::string>{"camera.focus.mode=near&camera.focus.speed=100",
                                        "camera.focus.status=start"}));
    EXPECT_EQ(Run([&] { comm->StartFocus(nullptr, false, 4); }),
              (std::vector<std::string>{"camera.focus.mode=far&camera.focus.speed=21",
                                        "camera.focus.status=start"}));
    // The iris stop has no camera text: logged, nothing sent.
    EXPECT_EQ(Run([&] { comm->StopIrisChanging(nullptr); }), std::vector<std::string>{});
    EXPECT_EQ(driver.CountContaining("vostrel::CJvcPTZComm::ProcessStopCommand: Unexpected "
                                     "command subtype (Type=4, Subtype=8)"),
              1u);

    // Centre: no picture size yet sends nothing; 640x480 in pixels, others in percent.
    EXPECT_EQ(Run([&] { comm->Center(nullptr, 320, 240, 5); }), std::vector<std::string>{});
    driver.SetChannelRecord({100, 50, 640, 480});
    EXPECT_EQ(Run([&] { comm->Center(nullptr, 320, 240, 5); }),
              (std::vector<std::string>{"camera.motion.clickoncenter=s320-s240"}));
    driver.SetChannelRecord({100, 50, 704, 576});
    EXPECT_EQ(Run([&] { comm->Center(nullptr, 320, 240, 5); }),
              (std::vector<std::string>{"camera.motion.clickoncenter=45.45-41.67"}));
    EXPECT_EQ(cam.Head().clicks, (std::vector<std::string>{"s320-s240", "45.45-41.67"}));

    // Unzoom: the speed, then the zoom read and, when it differs, written: 0.03, 0.06, ...
    cam.SetParam("camera.motion.zoom", "0.50");
    EXPECT_EQ(Run([&] { comm->Unzoom(nullptr, 8); }),
              (std::vector<std::string>{"camera.motion.zoom.speed=47", "camera.motion.zoom",
                                        "camera.motion.zoom=0.03"}));
    EXPECT_EQ(cam.GetParam("camera.motion.zoom"), "0.03");
    cam.SetParam("camera.motion.zoom", "0.06");  // the camera already holds the next value
    EXPECT_EQ(Run([&] { comm->Unzoom(nullptr, 1); }),
              (std::vector<std::string>{"camera.motion.zoom.speed=1", "camera.motion.zoom"}));
    std::vector<std::string> values;
    for (int i = 0; i < 8; ++i) {
        const auto queries = Run([&] { comm->Unzoom(nullptr, 1); });
        ASSERT_EQ(queries.size(), 3u);
        values.push_back(queries[2]);
    }
    EXPECT_EQ(values,
              (std::vector<std::string>{"camera.motion.zoom=0.09", "camera.motion.zoom=0.02",
                                        "camera.motion.zoom=0.05", "camera.motion.zoom=0.08",
                                        "camera.motion.zoom=0.01", "camera.motion.zoom=0.04",
                                        "camera.motion.zoom=0.07", "camera.motion.zoom=0.00"}));
}

TEST_F(JvcPtzTest, RefusalsEndTheCommandAndTheSameErrorIsLoggedOnce) {
    cam.SetLineStatus("camera.motion.pan.status", 500);
    EXPECT_EQ(Run([&] { comm->StopMoving(nullptr); }),
              (std::vector<std::string>{"camera.motion.pan.status=stop"}));  // no tilt stop
    EXPECT_EQ(Run([&] { comm->StopMoving(nullptr); }),
              (std::vector<std::string>{"camera.motion.pan.status=stop"}));
    const std::string panError =
        "vostrel::CJvcPTZComm::SendJvcSetCommand: Cannot set parameter "
        "\"camera.motion.pan.status=stop\" to JVC camera 127.0.0.1. ";
    EXPECT_EQ(driver.CountContaining(panError), 1u);
    // A move stops at its first refused write.
    EXPECT_EQ(Run([&] { comm->StartMove(nullptr, kPtzUpLeft, 1); }),
              (std::vector<std::string>{Axis("pan", 1, "left") + "&" + Axis("tilt", 1, "up"),
                                        "camera.motion.pan.status=start"}));
    EXPECT_EQ(driver.CountContaining("Cannot set parameter \"camera.motion.pan.status=start\""),
              1u);
    // The stop's error again, after another one: logged again.
    Run([&] { comm->StopMoving(nullptr); });
    EXPECT_EQ(driver.CountContaining(panError), 2u);
    for (const auto& message : driver.Messages()) {
        EXPECT_EQ(message.type, 1) << message.text;
    }
}

TEST_F(JvcPtzTest, BoundedQueueWhileTheCameraHoldsItsAnswer) {
    // A fresh client: its first request opens a connection that the camera holds.
    auto held = std::make_unique<CJvcPTZComm>(&driver, JvcCaps(), 1);
    ASSERT_TRUE(held->Open());
    cam.SetNeverAnswer(true);
    const uint64_t connections = cam.ConnectionsAccepted();
    ASSERT_EQ(held->StartMove(nullptr, kPtzLeft, 1), kPtzDone);
    ASSERT_TRUE(cam.WaitForConnections(connections + 1));
    // Three more while the first is held: only the last two remain.
    ASSERT_EQ(held->StartMove(nullptr, kPtzRight, 1), kPtzDone);
    ASSERT_EQ(held->StartMove(nullptr, kPtzUp, 1), kPtzDone);
    ASSERT_EQ(held->StartMove(nullptr, kPtzDown, 1), kPtzDone);
    EXPECT_EQ(held->QueuedCount(), 2u);
    cam.ClearRequests();
    cam.SetNeverAnswer(false);
    // Once the last move has started the queue is empty: a stop behind it marks the end.
    ASSERT_TRUE(cam.WaitForRequest("camera.motion.tilt.mode=down"));
    ASSERT_TRUE(held->StopFocusing(nullptr));
    ASSERT_TRUE(cam.WaitForRequest(kFocusStop));
    EXPECT_EQ(Queries(),
              (std::vector<std::string>{Axis("pan", 1, "left"), "camera.motion.pan.status=start",
                                        Axis("tilt", 1, "up"), "camera.motion.tilt.status=start",
                                        Axis("tilt", 1, "down"), "camera.motion.tilt.status=start",
                                        kFocusStop}));

    // Closing while the camera holds a request returns promptly (once the short wait for the
    // request in flight is over) and discards the waiting start.
    cam.SetNeverAnswer(true);
    auto stalled = std::make_unique<CJvcPTZComm>(&driver, JvcCaps(), 2);
    ASSERT_TRUE(stalled->Open());
    const uint64_t before = cam.ConnectionsAccepted();
    ASSERT_EQ(stalled->StartFocus(nullptr, true, 1), kPtzDone);
    ASSERT_TRUE(cam.WaitForConnections(before + 1));
    ASSERT_EQ(stalled->Unzoom(nullptr, 1), kPtzDone);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(stalled->Close());
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_EQ(stalled->QueuedCount(), 0u);
    // A command after the close is refused with the line the host can see.
    EXPECT_EQ(stalled->Unzoom(nullptr, 1), ipcapture::kPtzNotQueued);
    EXPECT_EQ(
        driver.CountContaining("vostrel::CBasePTZComm::Unzoom: cannot send message (7) to thread"),
        1u);
    cam.SetNeverAnswer(false);
}

TEST_F(JvcPtzTest, CameraPresetsSaveGotoAndDelete) {
    IPrepositionComm& presets = *comm;
    cam.SetParam("camera.position(5).status", "ReGistered");
    cam.ClearRequests();
    ASSERT_TRUE(presets.SaveCameraPreset(4, "Gate"));
    EXPECT_EQ(Queries(), (std::vector<std::string>{"camera.position(5).status",
                                                   "camera.position(5).status=initialize",
                                                   "camera.position(5).comment=ZELT%20Preset%20004",
                                                   "camera.position(5).status=save"}));
    EXPECT_TRUE(cam.Preset(5).registered);
    EXPECT_EQ(cam.Preset(5).comment, "ZELT Preset 004");

    // An unregistered position is saved without initialize.
    cam.ClearRequests();
    ASSERT_TRUE(presets.SaveCameraPreset(0, "Door"));
    EXPECT_EQ(Queries(), (std::vector<std::string>{"camera.position(1).status",
                                                   "camera.position(1).comment=ZELT%20Preset%20000",
                                                   "camera.position(1).status=save"}));

    // Goto: the position speed first (written only when it differs), then goto.
    cam.ClearRequests();
    ASSERT_TRUE(presets.GotoCameraPreset(4, "Gate", 16));
    EXPECT_EQ(Queries(), (std::vector<std::string>{"camera.motion.position.speed",
                                                   "camera.motion.position.speed=100",
                                                   "camera.position(5).status=goto"}));
    EXPECT_EQ(cam.Head().last_goto, 5);
    cam.ClearRequests();
    ASSERT_TRUE(presets.GotoCameraPreset(0, "Door", 40));
    EXPECT_EQ(Queries(), (std::vector<std::string>{"camera.motion.position.speed",
                                                   "camera.position(1).status=goto"}));

    // Delete frees the position; a goto to it is then refused by the camera and logged once.
    cam.ClearRequests();
    ASSERT_TRUE(presets.DeleteCameraPreset(4, "Gate"));
    EXPECT_EQ(Queries(), (std::vector<std::string>{"camera.position(5).status=initialize"}));
    EXPECT_FALSE(cam.Preset(5).registered);
    EXPECT_FALSE(presets.GotoCameraPreset(4, "Gate", 16));
    EXPECT_FALSE(presets.GotoCameraPreset(4, "Gate", 16));
    EXPECT_EQ(driver.CountContaining("vostrel::CJvcPTZComm::SendJvcSetCommand: Cannot set "
                                     "parameter \"camera.position(5).status=goto\""),
              1u);

    // A status the camera cannot read: the save stops there and says why.
    cam.SetLineStatus("camera.position(7).status", 500);
    cam.ClearRequests();
    EXPECT_FALSE(presets.SaveCameraPreset(6, "Yard"));
    EXPECT_EQ(Queries(), (std::vector<std::string>{"camera.position(7).status"}));
    EXPECT_EQ(driver.CountContaining("vostrel::CJvcPTZComm::SendJvcGetCommand: Cannot receive "
                                     "value of parameter \"camera.position(7).status\" from JVC "
                                     "camera 127.0.0.1. "),
              1u);
}

}  // namespace
}  // namespace vostrel
