// PTZ through the module as a host drives it: the driver's PTZ handler, a control per channel,
// moves and stops against the camera simulator, and named presets kept in a real preset file
// that survives a restart of the driver.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "camera_simulator.h"
#include "reference_host.h"
#include "support/ptz_host.h"

namespace {

using vostrel::ipcapture::IIPPTZApiEx;
using vostrel::ipcapture::PtzCapabilityRecord;
namespace codes = vostrel::ipcapture;

constexpr const char* kParam = "/api/param?";

class PtzEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override { cam.Start(); }

    // The parameter queries received since the last clear.
    std::vector<std::string> Queries() {
        std::vector<std::string> queries;
        for (const auto& request : cam.Requests()) {
            queries.push_back(request.target.rfind(kParam, 0) == 0 ? request.target.substr(11)
                                                                   : request.target);
        }
        return queries;
    }
    // Queues a focus stop behind what the control queued and waits for it: then every
    // request queued before it has been sent. Returns the queries before the marker.
    std::vector<std::string> Settle(IIPPTZApiEx* control) {
        control->FocusNear(1);
        control->StopAll();
        EXPECT_TRUE(cam.WaitForRequest("camera.focus.status=stop"));
        auto queries = Queries();
        while (!queries.empty() && queries.back().rfind("camera.focus", 0) == 0) {
            queries.pop_back();
        }
        cam.ClearRequests();
        return queries;
    }
    static std::string Name(IIPPTZApiEx* control, int32_t index) {
        char buffer[256];
        return control->GetPresetName(index, buffer, sizeof buffer) == codes::kPtzDone
                   ? std::string(buffer)
                   : std::string("-");
    }
    // Every preset name of a control, in its order.
    static std::vector<std::string> Names(IIPPTZApiEx* control) {
        std::vector<std::string> names;
        for (int32_t i = 0; i < control->GetPresetCount(); ++i) {
            names.push_back(Name(control, i));
        }
        return names;
    }
    static std::string Current(IIPPTZApiEx* control) {
        char buffer[256];
        return control->GetCurrentPreset(buffer, sizeof buffer) == codes::kPtzDone
                   ? std::string(buffer)
                   : std::string("-");
    }

    camsim::CameraSimulator cam{camsim::Options{.profile = "VN-V686"}};
};

TEST_F(PtzEndToEnd, PresetsThroughTheHostInterfaceAndAcrossARestart) {
    PresetFile file{"ptz-e2e"};
    auto host = std::make_unique<PtzHost>(cam, file.Name());
    IIPPTZApiEx* control = host->Control(0);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(host->driver->GetPTZDriver()->GetPtzApi(0), control);  // one control per channel
    EXPECT_EQ(host->Control(1), nullptr);                            // one channel only

    // Add: the camera stores position 1, the file has the preset at once.
    cam.ClearRequests();
    ASSERT_EQ(control->AddPreset("Gate 100%"), codes::kPtzDone);
    EXPECT_TRUE(cam.Preset(1).registered);
    EXPECT_NE(file.Content().find("Gate 100%"), std::string::npos);
    EXPECT_EQ(Current(control), "Gate 100%");
    // Again while the camera stands there: a rename, the state line, no camera command.
    cam.ClearRequests();
    ASSERT_EQ(control->AddPreset("Main gate"), codes::kPtzDone);
    EXPECT_TRUE(Queries().empty());
    EXPECT_EQ(host->log.CountContaining("A preposition with index 0 was renamed from \"Gate "
                                        "100%\" to \"Main gate\"."),
              1u);
    EXPECT_EQ(control->GetPresetCount(), 1);
    // A move, then an add: a new preset in the next slot.
    ASSERT_EQ(control->Move(0, 4), codes::kPtzDone);  // left
    Settle(control);
    ASSERT_EQ(control->AddPreset("東京 yard"), codes::kPtzDone);
    EXPECT_TRUE(cam.Preset(2).registered);
    EXPECT_EQ(cam.Preset(2).comment, "ZELT Preset 001");
    // A goto of the preset the camera stands at sends nothing; after a move it is sent.
    cam.ClearRequests();
    EXPECT_EQ(control->GotoPreset(8, "東京 yard"), codes::kPtzDone);
    EXPECT_TRUE(Queries().empty());
    ASSERT_EQ(control->ZoomIn(3), codes::kPtzDone);
    Settle(control);
    EXPECT_EQ(Current(control), "-");
    EXPECT_EQ(control->GotoPreset(8, "Main gate"), codes::kPtzDone);
    EXPECT_EQ(cam.Head().last_goto, 1);
    EXPECT_EQ(control->GotoPreset(8, "nowhere"), codes::kPtzPresetFailed);
    EXPECT_EQ(control->GotoPreset(8, nullptr), codes::kPtzInvalidArgument);
    // Names the list refuses.
    EXPECT_EQ(control->AddPreset("a<b"), codes::kPtzInvalidArgument);
    EXPECT_EQ(control->AddPreset(nullptr), codes::kPtzInvalidArgument);
    EXPECT_EQ(host->log.CountContaining("A preposition \"a<b\" cannot be added - the name is "
                                        "invalid."),
              1u);
    // Buffers: exactly the name's length is too small; one more is enough.
    char small[10];
    EXPECT_EQ(control->GetPresetName(0, small, 9), codes::kPtzInvalidArgument);  // "Main gate"
    EXPECT_EQ(control->GetPresetName(0, small, 10), codes::kPtzDone);
    EXPECT_STREQ(small, "Main gate");
    EXPECT_EQ(control->GetPresetName(0, nullptr, 10), codes::kPtzInvalidArgument);
    EXPECT_EQ(control->GetPresetName(5, small, 10), codes::kPtzPresetFailed);
    EXPECT_EQ(control->GetCurrentPreset(small, 9), codes::kPtzInvalidArgument);

    // Delete and add again: the freed slot is reused, the new preset goes last.
    ASSERT_EQ(control->DeletePreset("Main gate"), codes::kPtzDone);
    EXPECT_FALSE(cam.Preset(1).registered);
    EXPECT_EQ(control->DeletePreset("Main gate"), codes::kPtzPresetFailed);
    ASSERT_EQ(control->AddPreset("Door"), codes::kPtzDone);
    EXPECT_EQ(cam.Preset(1).comment, "ZELT Preset 000");
    EXPECT_EQ(Name(control, 0), "東京 yard");
    EXPECT_EQ(Name(control, 1), "Door");

    // Restart: the presets come back in the same order, and goto works.
    host.reset();
    host = std::make_unique<PtzHost>(cam, file.Name());
    control = host->Control(0);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->GetPresetCount(), 2);
    EXPECT_EQ(Name(control, 0), "東京 yard");
    EXPECT_EQ(Name(control, 1), "Door");
    EXPECT_EQ(Current(control), "-");
    EXPECT_EQ(control->GotoPreset(1, "東京 yard"), codes::kPtzDone);
    EXPECT_EQ(cam.Head().last_goto, 2);
}

TEST_F(PtzEndToEnd, TwoChannelsShareOneFileAndConcurrentAddsLoseNothing) {
    PresetFile file{"ptz-e2e"};
    PtzHost host(cam, file.Name(), 2);
    // Two host threads ask for the same channel at once: one control.
    IIPPTZApiEx* seen[2] = {};
    std::thread a([&] { seen[0] = host.Control(1); });
    std::thread b([&] { seen[1] = host.Control(1); });
    a.join();
    b.join();
    ASSERT_NE(seen[0], nullptr);
    EXPECT_EQ(seen[0], seen[1]);
    IIPPTZApiEx* first = host.Control(0);
    ASSERT_NE(first, nullptr);

    constexpr int kEach = 5;
    auto addMany = [&](IIPPTZApiEx* control, const std::string& prefix) {
        for (int i = 0; i < kEach; ++i) {
            control->StopAll();  // forget the current preset: each add is a new one
            control->Move(0, 2 + (i % 2) * 5);
            EXPECT_EQ(control->AddPreset((prefix + std::to_string(i)).c_str()), codes::kPtzDone);
        }
    };
    std::thread one([&] { addMany(first, "zero-"); });
    std::thread two([&] { addMany(seen[0], "one-"); });
    one.join();
    two.join();
    std::vector<std::string> zeroNames;
    std::vector<std::string> oneNames;
    for (int i = 0; i < kEach; ++i) {
        zeroNames.push_back("zero-" + std::to_string(i));
        oneNames.push_back("one-" + std::to_string(i));
    }
    EXPECT_EQ(Names(first), zeroNames);
    EXPECT_EQ(Names(seen[0]), oneNames);

    // Each channel reads back its own presets from the shared file.
    host.Delete();
    PtzHost again(cam, file.Name(), 2);
    IIPPTZApiEx* channel0 = again.Control(0);
    IIPPTZApiEx* channel1 = again.Control(1);
    ASSERT_NE(channel0, nullptr);
    ASSERT_NE(channel1, nullptr);
    EXPECT_EQ(Names(channel0), zeroNames);
    EXPECT_EQ(Names(channel1), oneNames);
}

// Two presets of one name: goto and delete act on the lower camera slot, whatever the list
// order. Names the preset file cannot carry are refused and change nothing.
TEST_F(PtzEndToEnd, ASharedNameActsOnTheLowerSlotAndUnfitNamesAreRefused) {
    PresetFile file{"ptz-e2e"};
    PtzHost host(cam, file.Name());
    IIPPTZApiEx* control = host.Control(0);
    ASSERT_NE(control, nullptr);
    // "Dup" in slot 1 (camera position 2) first in the list, then "Dup" in slot 0 after it.
    ASSERT_EQ(control->AddPreset("Keep"), codes::kPtzDone);
    ASSERT_EQ(control->Move(0, 4), codes::kPtzDone);
    Settle(control);
    ASSERT_EQ(control->AddPreset("Dup"), codes::kPtzDone);
    ASSERT_EQ(control->DeletePreset("Keep"), codes::kPtzDone);
    ASSERT_EQ(control->AddPreset("Dup"), codes::kPtzDone);
    ASSERT_TRUE(cam.Preset(1).registered);
    ASSERT_TRUE(cam.Preset(2).registered);
    EXPECT_EQ(Names(control), (std::vector<std::string>{"Dup", "Dup"}));

    ASSERT_EQ(control->ZoomIn(3), codes::kPtzDone);  // away from the preset just added
    Settle(control);
    EXPECT_EQ(control->GotoPreset(8, "Dup"), codes::kPtzDone);
    EXPECT_EQ(cam.Head().last_goto, 1);
    EXPECT_EQ(Current(control), "Dup");
    EXPECT_EQ(control->DeletePreset("Dup"), codes::kPtzDone);
    EXPECT_FALSE(cam.Preset(1).registered);
    EXPECT_TRUE(cam.Preset(2).registered);
    EXPECT_EQ(control->GotoPreset(8, "Dup"), codes::kPtzDone);
    EXPECT_EQ(cam.Head().last_goto, 2);

    const std::string before = file.Content();
    ASSERT_EQ(control->ZoomIn(3), codes::kPtzDone);  // an add now would be a new preset
    Settle(control);
    cam.ClearRequests();
    const std::vector<std::string> unfit = {"a&b", "a!b",  "a<b",       "a>b",
                                            "a'b", "a\"b", "tab\there", ""};
    for (const std::string& name : unfit) {
        EXPECT_EQ(control->AddPreset(name.c_str()), codes::kPtzInvalidArgument) << name;
    }
    EXPECT_TRUE(Queries().empty());
    EXPECT_EQ(Names(control), std::vector<std::string>{"Dup"});
    EXPECT_EQ(file.Content(), before);
}

TEST_F(PtzEndToEnd, MoveRulesStopAllAndCapabilities) {
    PresetFile file{"ptz-e2e"};
    PtzHost host(cam, file.Name(), 1, "(none)");
    IIPPTZApiEx* control = host.Control(0);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->IsPtzSupported(), 1);
    EXPECT_TRUE(control->IsSuccess(1));
    EXPECT_FALSE(control->IsSuccess(0));
    EXPECT_FALSE(control->IsSuccess(-18));

    PtzCapabilityRecord record;
    std::memset(&record, 0x7f, sizeof record);
    ASSERT_EQ(control->GetCapabilities(&record), codes::kPtzDone);
    EXPECT_EQ(record.hostField, 0x7f7f7f7f);
    EXPECT_EQ(std::vector<int32_t>({record.pan, record.tilt, record.zoom, record.focus, record.iris,
                                    record.reserved7, record.maxPresets, record.presetCount,
                                    record.reserved10, record.reserved11, record.areaZoom,
                                    record.center, record.unzoom}),
              std::vector<int32_t>({1, 1, 1, 1, 0, 0, 99, 0, 0, 0, 0, 0, 1}));
    EXPECT_EQ(control->GetCapabilities(nullptr), codes::kPtzInvalidArgument);
    // Without centre support (parameter 4 not 1) a centre is refused by capability.
    EXPECT_EQ(control->CenterOn(1, 2, 3), codes::kPtzNoCapability);
    EXPECT_EQ(control->IrisOpen(1), codes::kPtzNoCapability);
    EXPECT_EQ(control->ZoomArea(1, 2, 3, 4), codes::kPtzNoCapability);

    // Each step waits for its last request, so the bounded queue drops nothing.
    auto step = [&](const std::function<int32_t()>& call, const std::string& last) {
        cam.ClearRequests();
        EXPECT_EQ(call(), codes::kPtzDone);
        EXPECT_TRUE(cam.WaitForRequest(last)) << last;
        return Queries();
    };
    EXPECT_EQ(control->Move(10, 4), codes::kPtzInvalidArgument);
    EXPECT_EQ(step([&] { return control->Move(3, 4); }, "camera.motion.tilt.status=start"),
              (std::vector<std::string>{"camera.motion.tilt.speed=21&camera.motion.tilt.mode=down",
                                        "camera.motion.tilt.status=start"}));
    // The same direction within 1 of the last speed: accepted and dropped.
    EXPECT_EQ(control->Move(3, 5), codes::kPtzDone);
    EXPECT_EQ(control->Move(3, 3), codes::kPtzDone);
    // Another direction at the same speed is a new move.
    EXPECT_EQ(step([&] { return control->Move(0, 4); }, "camera.motion.pan.status=start"),
              (std::vector<std::string>{"camera.motion.pan.speed=21&camera.motion.pan.mode=left",
                                        "camera.motion.pan.status=start"}));
    EXPECT_EQ(step([&] { return control->ZoomIn(9); }, "camera.motion.zoom.status=start"),
              (std::vector<std::string>{"camera.motion.zoom.speed=54&camera.motion.zoom.mode=in",
                                        "camera.motion.zoom.status=start"}));
    // StopAll: the pan/tilt stop, then the zoom stop.
    EXPECT_EQ(
        step([&] { return control->StopAll(); }, "camera.motion.zoom.status=stop"),
        (std::vector<std::string>{"camera.motion.pan.status=stop", "camera.motion.tilt.status=stop",
                                  "camera.motion.zoom.status=stop"}));
    // Zooming in and then out through Move: the change of direction reaches the camera.
    EXPECT_EQ(step([&] { return control->Move(8, 4); }, "camera.motion.zoom.status=start"),
              (std::vector<std::string>{"camera.motion.zoom.speed=21&camera.motion.zoom.mode=in",
                                        "camera.motion.zoom.status=start"}));
    EXPECT_EQ(step([&] { return control->Move(9, 4); }, "camera.motion.zoom.status=start"),
              (std::vector<std::string>{"camera.motion.zoom.speed=21&camera.motion.zoom.mode=out",
                                        "camera.motion.zoom.status=start"}));
    EXPECT_EQ(cam.Head().zoom.mode, "out");
    EXPECT_EQ(step([&] { return control->StopAll(); }, "camera.motion.zoom.status=stop"),
              std::vector<std::string>{"camera.motion.zoom.status=stop"});
    // After a stop the same speed is queued again.
    EXPECT_EQ(step([&] { return control->Move(0, 4); }, "camera.motion.pan.status=start"),
              (std::vector<std::string>{"camera.motion.pan.speed=21&camera.motion.pan.mode=left",
                                        "camera.motion.pan.status=start"}));
    EXPECT_EQ(step([&] { return control->StopAll(); }, "camera.motion.tilt.status=stop"),
              (std::vector<std::string>{"camera.motion.pan.status=stop",
                                        "camera.motion.tilt.status=stop"}));
    // Nothing active: nothing is queued (the marker behind it is all that is sent).
    cam.ClearRequests();
    EXPECT_EQ(control->StopAll(), codes::kPtzDone);
    EXPECT_EQ(Settle(control), std::vector<std::string>{});
}

// The head pans, zooms and focuses while the command thread waits on the camera: StopAll
// queues three stops behind the command in progress, and every one of them is sent.
TEST_F(PtzEndToEnd, StopAllWhileTheThreadIsBusySendsEveryStop) {
    PresetFile file{"ptz-e2e"};
    PtzHost host(cam, file.Name());
    IIPPTZApiEx* control = host.Control(0);
    ASSERT_NE(control, nullptr);
    ASSERT_EQ(control->Move(0, 4), codes::kPtzDone);
    ASSERT_TRUE(cam.WaitForRequest("camera.motion.pan.status=start"));
    ASSERT_EQ(control->ZoomIn(4), codes::kPtzDone);
    ASSERT_TRUE(cam.WaitForRequest("camera.motion.zoom.status=start"));
    cam.SetHoldParam("camera.focus.status=start");
    ASSERT_EQ(control->FocusNear(4), codes::kPtzDone);
    ASSERT_TRUE(cam.WaitForRequest("camera.focus.status=start"));  // held: the thread is busy
    cam.ClearRequests();
    EXPECT_EQ(control->StopAll(), codes::kPtzDone);
    cam.SetHoldParam("");
    ASSERT_TRUE(cam.WaitForRequest("camera.focus.status=stop"));
    std::vector<std::string> stops;
    for (const std::string& query : Queries()) {
        if (query.find("=stop") != std::string::npos) {
            stops.push_back(query);
        }
    }
    EXPECT_EQ(stops, (std::vector<std::string>{
                         "camera.motion.pan.status=stop", "camera.motion.tilt.status=stop",
                         "camera.motion.zoom.status=stop", "camera.focus.status=stop"}));
    EXPECT_FALSE(cam.Head().pan.moving);
    EXPECT_FALSE(cam.Head().zoom.moving);
}

// A slow camera: the host stops the head and at once closes and deletes the driver. The
// command in progress ends normally and the stops queued behind it still reach the camera.
TEST_F(PtzEndToEnd, StopsQueuedJustBeforeCloseReachTheCamera) {
    PresetFile file{"ptz-e2e"};
    PtzHost host(cam, file.Name());
    IIPPTZApiEx* control = host.Control(0);
    ASSERT_NE(control, nullptr);
    ASSERT_EQ(control->Move(0, 4), codes::kPtzDone);
    ASSERT_TRUE(cam.WaitForRequest("camera.motion.pan.status=start"));
    cam.SetStreamByteRate(2000);  // each answer takes a tenth of a second or so
    ASSERT_EQ(control->ZoomIn(4), codes::kPtzDone);
    ASSERT_TRUE(cam.WaitForRequest("camera.motion.zoom.status=start"));  // its answer is slow
    EXPECT_EQ(control->StopAll(), codes::kPtzDone);
    host.Delete();
    const auto queries = Queries();
    for (const char* stop : {"camera.motion.pan.status=stop", "camera.motion.tilt.status=stop",
                             "camera.motion.zoom.status=stop"}) {
        EXPECT_NE(std::find(queries.begin(), queries.end(), stop), queries.end()) << stop;
    }
    const auto head = cam.Head();
    EXPECT_FALSE(head.pan.moving);
    EXPECT_FALSE(head.zoom.moving);
    EXPECT_EQ(head.zoom.mode, "in");  // the zoom start in progress was carried out
}

// A camera that never answers does not hold up Close for long: the request in flight is
// given up after a short while.
TEST_F(PtzEndToEnd, CloseAgainstAStalledCameraStaysPrompt) {
    PresetFile file{"ptz-e2e"};
    PtzHost host(cam, file.Name());
    IIPPTZApiEx* control = host.Control(0);
    ASSERT_NE(control, nullptr);
    cam.SetHoldParam("camera.motion.zoom.status=start");
    ASSERT_EQ(control->ZoomIn(4), codes::kPtzDone);
    ASSERT_TRUE(cam.WaitForRequest("camera.motion.zoom.status=start"));
    EXPECT_EQ(control->StopAll(), codes::kPtzDone);
    const auto started = std::chrono::steady_clock::now();
    host.Delete();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(4));
}

// A point is in pixels of the channel's picture: without the channel's video there is no size
// to read it by, and the driver says so instead of dropping the command unseen.
TEST_F(PtzEndToEnd, CentringWithoutTheChannelsVideoSaysWhy) {
    PresetFile file{"ptz-e2e"};
    PtzHost host(cam, file.Name());
    IIPPTZApiEx* control = host.Control(0);
    ASSERT_NE(control, nullptr);
    ASSERT_EQ(control->CenterOn(320, 240, 1), codes::kPtzDone);
    EXPECT_TRUE(
        host.log.WaitForText("Cannot center JVC camera 127.0.0.1 on point (320, 240): the "
                             "picture size of channel 1 is not known",
                             std::chrono::seconds(5)));
    for (const auto& request : cam.Requests()) {
        EXPECT_EQ(request.target.find("clickoncenter"), std::string::npos) << request.target;
    }
}

// Centring reads the channel's picture size from the video capture on the command thread.
// A close while a centre is in progress must not delete the video capture under it (the
// ThreadSanitizer build reports the race otherwise).
TEST_F(PtzEndToEnd, CloseWhileCentringDoesNotRaceTheVideoCapture) {
    PresetFile file{"ptz-e2e"};
    PtzHost host(cam, file.Name());
    host::FrameSink sink;
    host::VideoSettings settings(640, 480, 100, 50);
    ASSERT_TRUE(host.driver->GetVideoCapture()->StartChannel(0, &sink, &settings));
    IIPPTZApiEx* control = host.Control(0);
    ASSERT_NE(control, nullptr);
    cam.SetHoldParam("camera.motion.clickoncenter");
    ASSERT_EQ(control->CenterOn(320, 240, 1), codes::kPtzDone);
    ASSERT_TRUE(cam.WaitForRequest("camera.motion.clickoncenter=s320-s240"));
    host.Delete();
}

TEST_F(PtzEndToEnd, WithoutAPresetFileNameThereIsNoControl) {
    PtzHost host(cam, "(none)");
    EXPECT_EQ(host.Control(0), nullptr);
    EXPECT_EQ(host.log.CountContaining("vostrel::CJvcPTZHandler::GetXMLStorageFileName: PTZ "
                                       "handler for camera 127.0.0.1 is not created!"),
              1u);
    EXPECT_EQ(host.log.CountContaining("vostrel::CBasePTZHandler::InitializeXMLStorage: PTZ "
                                       "module cannot be initialized! Name of file for preset "
                                       "storing was not defined"),
              1u);
    // Every request tries again.
    EXPECT_EQ(host.Control(0), nullptr);
    EXPECT_EQ(host.log.CountContaining("is not created!"), 2u);
}

}  // namespace
