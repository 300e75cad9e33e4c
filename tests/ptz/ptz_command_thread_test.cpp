// The PTZ command thread without a camera: the bounded queue, opening and closing, the
// capability checks and result codes, the capability record and the log forwarding.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "ptz/base_ptz_comm.h"
#include "ptz/base_ptz_control.h"
#include "ptz/base_ptz_handler.h"
#include "ptz/scale_converter.h"
#include "support/fake_driver.h"

namespace vostrel {
namespace {

using ipcapture::kPtzDone;
using ipcapture::kPtzNoCapability;
using ipcapture::kPtzNotQueued;
using testing_support::FakeDriver;

CPtzCapabilities AllButIris() {
    CPtzCapabilities caps;
    caps.m_pan = caps.m_tilt = caps.m_zoom = caps.m_focus = true;
    caps.m_areaZoom = caps.m_center = caps.m_unzoom = true;
    caps.m_maxPresets = 99;
    return caps;
}

// Records the commands it handles; the first one can be held until released.
class RecordingComm : public CBasePTZComm {
  public:
    RecordingComm(const CPtzCapabilities& caps, IDriver* driver, uint16_t channel)
        : CBasePTZComm(caps, driver, channel) {}
    ~RecordingComm() override { Close(); }

    void HandleWorkItem(IWorkItem* workItem) override {
        auto* item = static_cast<CWorkItem*>(workItem);
        threadName = Name();
        if (holdFirst.exchange(false)) {
            holding.Set();
            release.Wait(platform::kInfinite);
        }
        std::lock_guard<std::mutex> guard(mutex);
        handled.push_back({item->m_type, item->m_subtype, item->m_speed, item->m_param1,
                           item->m_param2, item->m_param3});
        handledEvent.Set();
    }
    // A stop lets the held command finish, as a real command thread's stop cancels the
    // request in progress.
    void OnStopping() override { release.Set(); }
    bool SaveCameraPreset(uint32_t, const std::string&) override { return true; }
    bool GotoCameraPreset(uint32_t, const std::string&, int32_t) override { return true; }

    std::vector<std::vector<int32_t>> Handled() {
        std::lock_guard<std::mutex> guard(mutex);
        return handled;
    }
    // Waits until count commands have been handled.
    bool WaitHandled(size_t count) {
        for (;;) {
            if (Handled().size() >= count) {
                return true;
            }
            if (handledEvent.Wait(5000) != platform::WaitResult::Signalled) {
                return false;
            }
        }
    }

    std::atomic<bool> holdFirst{false};
    platform::Event holding{true};
    platform::Event release{true};
    platform::Event handledEvent{false};
    std::string threadName;

  private:
    std::mutex mutex;
    std::vector<std::vector<int32_t>> handled;
};

}  // namespace

TEST(ScaleConverter, HostSpeedsOntoCameraSpeeds) {
    const CScaleConverter scale(1, 16, 1, 100);
    const uint32_t expected[] = {1, 8, 14, 21, 27, 34, 41, 47, 54, 60, 67, 74, 80, 87, 93, 100};
    for (uint32_t speed = 1; speed <= 16; ++speed) {
        EXPECT_EQ(scale.Convert(speed), expected[speed - 1]) << speed;
    }
    EXPECT_EQ(scale.Convert(0), 1u);
    EXPECT_EQ(scale.Convert(40), 100u);
    EXPECT_EQ(scale.Convert(static_cast<uint32_t>(-1)), 100u);
    // Empty ranges give the middle of the output range.
    EXPECT_EQ(CScaleConverter(5, 5, 10, 20).Convert(7), 15u);
    EXPECT_EQ(CScaleConverter(1, 16, 30, 30).Convert(7), 30u);
}

TEST(PtzCommandThread, QueueKeepsOnlyTheNewestCommandsBehindTheOneInProgress) {
    FakeDriver driver;
    RecordingComm comm(AllButIris(), &driver, 0);
    ASSERT_TRUE(comm.Open());
    comm.holdFirst = true;
    ASSERT_EQ(comm.StartMove(nullptr, kPtzLeft, 1), kPtzDone);
    ASSERT_EQ(comm.holding.Wait(5000), platform::WaitResult::Signalled);
    // Three more while the first is being handled: only the last two survive.
    EXPECT_EQ(comm.StartMove(nullptr, kPtzRight, 2), kPtzDone);
    EXPECT_EQ(comm.StartFocus(nullptr, true, 3), kPtzDone);
    EXPECT_TRUE(comm.StopMoving(nullptr));
    EXPECT_EQ(comm.QueuedCount(), 2u);
    comm.release.Set();
    ASSERT_TRUE(comm.WaitHandled(3));
    const auto handled = comm.Handled();
    ASSERT_EQ(handled.size(), 3u);
    EXPECT_EQ(handled[0], (std::vector<int32_t>{PTZ_CMD_MOVE, 0, 1, kPtzLeft, 0, 0}));
    EXPECT_EQ(handled[1], (std::vector<int32_t>{PTZ_CMD_FOCUS, kPtzFocusNear, 3, 0, 0, 0}));
    EXPECT_EQ(handled[2], (std::vector<int32_t>{PTZ_CMD_STOP, kPtzStopMoving, 0, 0, 0, 0}));
    EXPECT_EQ(comm.threadName, "BaseIPPTZThread_Ch1");
}

// Stops are never pushed out by the bound, starts are; a stop that repeats a waiting one is
// merged into it.
TEST(PtzCommandThread, StopsAreNeverPushedOutAndRepeatsAreMerged) {
    FakeDriver driver;
    RecordingComm comm(AllButIris(), &driver, 0);
    ASSERT_TRUE(comm.Open());
    comm.holdFirst = true;
    ASSERT_EQ(comm.StartMove(nullptr, kPtzLeft, 1), kPtzDone);
    ASSERT_EQ(comm.holding.Wait(5000), platform::WaitResult::Signalled);
    EXPECT_TRUE(comm.StopMoving(nullptr));
    EXPECT_TRUE(comm.StopZooming(nullptr));
    EXPECT_TRUE(comm.StopFocusing(nullptr));
    EXPECT_EQ(comm.QueuedCount(), 3u);
    EXPECT_TRUE(comm.StopMoving(nullptr));  // merged into the waiting one
    EXPECT_EQ(comm.QueuedCount(), 3u);
    EXPECT_EQ(comm.StartMove(nullptr, kPtzUp, 2), kPtzDone);  // waits behind the stops
    EXPECT_EQ(comm.QueuedCount(), 4u);
    EXPECT_TRUE(comm.StopZooming(nullptr));  // pushes the start out, then merges
    EXPECT_EQ(comm.QueuedCount(), 3u);
    comm.release.Set();
    ASSERT_TRUE(comm.WaitHandled(4));
    const auto handled = comm.Handled();
    ASSERT_EQ(handled.size(), 4u);
    EXPECT_EQ(handled[0], (std::vector<int32_t>{PTZ_CMD_MOVE, 0, 1, kPtzLeft, 0, 0}));
    EXPECT_EQ(handled[1], (std::vector<int32_t>{PTZ_CMD_STOP, kPtzStopMoving, 0, 0, 0, 0}));
    EXPECT_EQ(handled[2], (std::vector<int32_t>{PTZ_CMD_STOP, kPtzStopZooming, 0, 0, 0, 0}));
    EXPECT_EQ(handled[3], (std::vector<int32_t>{PTZ_CMD_STOP, kPtzStopFocusing, 0, 0, 0, 0}));
}

TEST(PtzCommandThread, EveryOperationQueuesItsRecord) {
    FakeDriver driver;
    RecordingComm comm(AllButIris(), &driver, 3);
    ASSERT_TRUE(comm.Open());
    // One at a time, so the bounded queue drops nothing.
    const std::vector<std::pair<std::function<bool()>, std::vector<int32_t>>> cases = {
        {[&] { return comm.StartMove(nullptr, kPtzZoomIn, 4) == kPtzDone; },
         {PTZ_CMD_MOVE, 0, 4, kPtzZoomIn, 0, 0}},
        {[&] { return comm.StartFocus(nullptr, false, 5) == kPtzDone; },
         {PTZ_CMD_FOCUS, kPtzFocusFar, 5, 0, 0, 0}},
        {[&] { return comm.StopZooming(nullptr); }, {PTZ_CMD_STOP, kPtzStopZooming, 0, 0, 0, 0}},
        {[&] { return comm.StopFocusing(nullptr); }, {PTZ_CMD_STOP, kPtzStopFocusing, 0, 0, 0, 0}},
        {[&] { return comm.StopIrisChanging(nullptr); }, {PTZ_CMD_STOP, kPtzStopIris, 0, 0, 0, 0}},
        {[&] { return comm.AreaZoom(nullptr, 7, 8, 9, 6) == kPtzDone; },
         {PTZ_CMD_AREA_ZOOM, 0, 6, 7, 8, 9}},
        {[&] { return comm.Center(nullptr, 320, 240, 2) == kPtzDone; },
         {PTZ_CMD_CENTER, 0, 2, 320, 240, 0}},
        {[&] { return comm.Unzoom(nullptr, 16) == kPtzDone; }, {PTZ_CMD_UNZOOM, 0, 16, 0, 0, 0}},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        ASSERT_TRUE(cases[i].first()) << i;
        ASSERT_TRUE(comm.WaitHandled(i + 1)) << i;
        EXPECT_EQ(comm.Handled()[i], cases[i].second) << i;
    }
    EXPECT_EQ(comm.threadName, "BaseIPPTZThread_Ch4");
}

TEST(PtzCommandThread, CapabilitiesDecideAndNothingIsQueuedWithoutThem) {
    FakeDriver driver;
    CPtzCapabilities none;
    RecordingComm bare(none, &driver, 0);
    ASSERT_TRUE(bare.Open());
    EXPECT_EQ(bare.HasMotionCapability(nullptr), 0);
    EXPECT_EQ(bare.StartMove(nullptr, kPtzUp, 1), kPtzNoCapability);
    EXPECT_EQ(bare.StartMove(nullptr, kPtzZoomOut, 1), kPtzNoCapability);
    EXPECT_EQ(bare.StartFocus(nullptr, true, 1), kPtzNoCapability);
    EXPECT_EQ(bare.StartIris(nullptr, true, 1), kPtzNoCapability);
    EXPECT_EQ(bare.AreaZoom(nullptr, 1, 2, 3, 1), kPtzNoCapability);
    EXPECT_EQ(bare.Center(nullptr, 1, 2, 1), kPtzNoCapability);
    EXPECT_EQ(bare.Unzoom(nullptr, 1), kPtzNoCapability);
    // Stops need no capability.
    EXPECT_TRUE(bare.StopMoving(nullptr));
    ASSERT_TRUE(bare.WaitHandled(1));
    EXPECT_EQ(bare.Handled().size(), 1u);

    CPtzCapabilities zoomOnly;
    zoomOnly.m_zoom = true;
    RecordingComm zoom(zoomOnly, &driver, 0);
    EXPECT_EQ(zoom.HasMotionCapability(nullptr), 1);
    EXPECT_EQ(zoom.StartMove(nullptr, kPtzLeft, 1), kPtzNoCapability);
    EXPECT_TRUE(driver.Messages().empty());
    // Not opened: the zoom is allowed but cannot be queued.
    EXPECT_EQ(zoom.StartMove(nullptr, kPtzZoomIn, 1), kPtzNotQueued);
    ASSERT_EQ(driver.Messages().size(), 1u);
    EXPECT_EQ(driver.Messages()[0].type, 1);
    EXPECT_EQ(driver.Messages()[0].text,
              "vostrel::CBasePTZComm::StartMove: cannot send message (1) to thread");
}

TEST(PtzCommandThread, OpenOnceCloseStopsAndLaterCommandsAreRefused) {
    FakeDriver driver;
    RecordingComm comm(AllButIris(), &driver, 1);
    EXPECT_FALSE(comm.Close());  // never opened
    ASSERT_TRUE(comm.Open());
    ASSERT_TRUE(comm.Open());  // the second call starts nothing
    EXPECT_TRUE(comm.IsOpened());
    comm.holdFirst = true;
    ASSERT_EQ(comm.Center(nullptr, 1, 1, 1), kPtzDone);
    ASSERT_EQ(comm.holding.Wait(5000), platform::WaitResult::Signalled);
    ASSERT_EQ(comm.Unzoom(nullptr, 1), kPtzDone);
    ASSERT_TRUE(comm.StopMoving(nullptr));
    ASSERT_EQ(comm.QueuedCount(), 2u);
    // Closed while the centre is in progress: the waiting unzoom is discarded at once; the
    // centre is let finish (released here once the close has begun) and the stop behind it
    // is carried out before the thread ends.
    std::thread releaser([&] {
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (comm.QueuedCount() != 1 && std::chrono::steady_clock::now() < giveUp) {
            std::this_thread::yield();
        }
        comm.release.Set();
    });
    EXPECT_TRUE(comm.Close());
    releaser.join();
    const auto handled = comm.Handled();
    ASSERT_EQ(handled.size(), 2u);
    EXPECT_EQ(handled[0], (std::vector<int32_t>{PTZ_CMD_CENTER, 0, 1, 1, 1, 0}));
    EXPECT_EQ(handled[1], (std::vector<int32_t>{PTZ_CMD_STOP, kPtzStopMoving, 0, 0, 0, 0}));
    EXPECT_EQ(comm.QueuedCount(), 0u);
    EXPECT_FALSE(comm.IsOpened());
    EXPECT_FALSE(comm.StopFocusing(nullptr));
    EXPECT_EQ(driver.CountContaining(
                  "vostrel::CBasePTZComm::StopFocusing: cannot send message (4) to thread"),
              1u);
    // And it can be opened again.
    ASSERT_TRUE(comm.Open());
    EXPECT_EQ(comm.Unzoom(nullptr, 1), kPtzDone);
}

TEST(PtzCommandThread, CapabilityRecordAndLogForwarding) {
    FakeDriver driver;
    CPtzCapabilities caps = AllButIris();
    caps.m_areaZoom = false;
    RecordingComm comm(caps, &driver, 0);
    ipcapture::PtzCapabilityRecord record;
    std::memset(&record, 0x55, sizeof record);
    comm.m_logCounter = 77;
    EXPECT_EQ(comm.GetCapabilities(&record), 1);
    EXPECT_EQ(record.hostField, 0x55555555);  // the host's own field is left alone
    EXPECT_EQ(record.pan, 1);
    EXPECT_EQ(record.tilt, 1);
    EXPECT_EQ(record.zoom, 1);
    EXPECT_EQ(record.focus, 1);
    EXPECT_EQ(record.iris, 0);
    EXPECT_EQ(record.reserved7, 0);
    EXPECT_EQ(record.maxPresets, 99);
    EXPECT_EQ(record.presetCount, 0);
    EXPECT_EQ(record.reserved10, 0);
    EXPECT_EQ(record.reserved11, 0);
    EXPECT_EQ(record.areaZoom, 0);
    EXPECT_EQ(record.center, 1);
    EXPECT_EQ(record.unzoom, 1);
    EXPECT_EQ(comm.m_logCounter, 0u);

    // Through the preset interface's logging: the driver gets finished text.
    IPrepositionComm& presets = comm;
    presets.DebugMessage(3, "%s at %d%%", "50%s", 100);
    ASSERT_EQ(driver.Messages().size(), 1u);
    EXPECT_EQ(driver.Messages()[0].type, 3);
    EXPECT_EQ(driver.Messages()[0].text, "50%s at 100%");
}

}  // namespace vostrel

namespace vostrel {
namespace {

// A control whose command thread cannot be made.
class NoCommControl : public CBasePTZControl {
  public:
    using CBasePTZControl::CBasePTZControl;
    std::unique_ptr<CBasePTZComm> CreateComm() override { return nullptr; }
};

// A command thread whose Open cannot start its thread: another thread already runs in its
// place, so the start is refused as when the system refuses a new thread.
class OccupiedComm : public CBasePTZComm {
  public:
    using CBasePTZComm::CBasePTZComm;
    ~OccupiedComm() override { Stop(); }
    void HandleWorkItem(IWorkItem*) override {}
    bool SaveCameraPreset(uint32_t, const std::string&) override { return true; }
    bool GotoCameraPreset(uint32_t, const std::string&, int32_t) override { return true; }
    bool DeleteCameraPreset(uint32_t, const std::string&) override { return true; }
    bool Occupy() { return CWorkItemThread::Start("occupied"); }
};

class CommCannotStartControl : public CBasePTZControl {
  public:
    using CBasePTZControl::CBasePTZControl;
    std::unique_ptr<CBasePTZComm> CreateComm() override {
        auto comm = std::make_unique<OccupiedComm>(CPtzCapabilities(), m_driver,
                                                   static_cast<uint16_t>(m_channel));
        return comm->Occupy() ? std::move(comm) : nullptr;
    }
};

class TestHandler : public CBasePTZHandler {
  public:
    enum class Controls { kNoComm, kCommCannotStart, kWorking };

    TestHandler(IDriver* driver, std::string file)
        : CBasePTZHandler(driver, 2, "JVC"), m_file(std::move(file)) {}
    ~TestHandler() override { ReleaseControls(); }
    std::string GetXMLStorageFileName() override {
        ++namesAsked;
        return m_file;
    }
    std::unique_ptr<CBasePTZControl> CreateControl(uint32_t channel) override {
        ++made;
        const auto index = static_cast<int32_t>(channel);
        switch (controls) {
            case Controls::kNoComm:
                return std::make_unique<NoCommControl>(m_driver, index);
            case Controls::kCommCannotStart:
                return std::make_unique<CommCannotStartControl>(m_driver, index);
            case Controls::kWorking:
                break;
        }
        return std::make_unique<CJvcPTZControl>(m_driver, index);
    }
    Controls controls = Controls::kNoComm;
    int made = 0;
    int namesAsked = 0;

  private:
    std::string m_file;
};

// A file name beside the test program (where the handler's storage looks), removed with
// whatever stands there when the test ends.
class BesideProgram {
  public:
    explicit BesideProgram(const std::string& tag)
        : name("ptz-handler-" + tag + "-" + std::to_string(getpid()) + ".xml"),
          path(std::filesystem::canonical("/proc/self/exe").parent_path() / name) {}
    ~BesideProgram() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    const std::string name;
    const std::filesystem::path path;
};

}  // namespace

TEST(PtzHandler, AControlThatCannotStartLeavesNoEntryAndALaterRequestTriesAgain) {
    const BesideProgram file("nocomm");
    FakeDriver driver;
    driver.parameters[4] = "1";
    {
        TestHandler handler(&driver, file.name);
        EXPECT_EQ(handler.GetPtzApiEx(2), nullptr);  // out of range: nothing made
        EXPECT_EQ(handler.made, 0);
        EXPECT_EQ(handler.GetPtzApiEx(0), nullptr);
        EXPECT_EQ(handler.GetPtzApiEx(0), nullptr);
        EXPECT_EQ(handler.made, 2);  // no entry was left: each request made a control
        handler.controls = TestHandler::Controls::kWorking;
        ipcapture::IIPPTZApiEx* control = handler.GetPtzApiEx(0);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(handler.GetPtzApi(0), control);
        EXPECT_EQ(handler.made, 3);
        ipcapture::PtzCapabilityRecord record{};
        ASSERT_EQ(control->GetCapabilities(&record), ipcapture::kPtzDone);
        EXPECT_EQ(record.center, 1);  // driver parameter 4 is 1
        handler.ReleaseControls();
        EXPECT_EQ(control = handler.GetPtzApiEx(0), handler.GetPtzApiEx(0));
        EXPECT_EQ(handler.made, 4);
    }
    EXPECT_TRUE(driver.Messages().empty());
}

TEST(PtzHandler, ACommandThreadThatCannotStartGivesNoControlAndIsLogged) {
    const BesideProgram file("nostart");
    FakeDriver driver;
    TestHandler handler(&driver, file.name);
    handler.controls = TestHandler::Controls::kCommCannotStart;
    EXPECT_EQ(handler.GetPtzApi(1), nullptr);
    EXPECT_EQ(handler.GetPtzApiEx(1), nullptr);
    EXPECT_EQ(handler.made, 2);  // no entry was left: each request made a control
    EXPECT_EQ(driver.CountContaining(
                  "vostrel::CBasePTZComm::Open: unable to start thread for PTZ channel 2"),
              2u);
    for (const auto& message : driver.Messages()) {
        EXPECT_EQ(message.type, 1) << message.text;
    }
    handler.controls = TestHandler::Controls::kWorking;
    ipcapture::IIPPTZApiEx* control = handler.GetPtzApiEx(1);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(handler.GetPtzApi(1), control);
    EXPECT_EQ(handler.made, 3);
    EXPECT_EQ(control->ZoomIn(1), ipcapture::kPtzDone);  // its thread runs
}

// A preset file that cannot be opened is tried once and reported once, naming the file; the
// controls are made all the same, so the head moves, and only preset operations fail, each
// with a line that says why.
TEST(PtzHandler, StorageThatCannotOpenLeavesControlsThatMoveWithoutPresets) {
    const BesideProgram file("unreadable");
    std::filesystem::create_directory(file.path);  // no file can be read or made there
    FakeDriver driver;
    TestHandler handler(&driver, file.name);
    handler.controls = TestHandler::Controls::kWorking;
    const std::string line =
        "vostrel::CBasePTZHandler::InitializeXMLStorage: cannot initialize "
        "CXMLPrepositionReader object with parameter \"" +
        file.name + "\"";
    ipcapture::IIPPTZApiEx* control = handler.GetPtzApiEx(0);
    ASSERT_NE(control, nullptr);
    EXPECT_NE(handler.GetPtzApiEx(1), nullptr);
    EXPECT_EQ(handler.made, 2);
    EXPECT_EQ(handler.namesAsked, 1);  // the file was tried once only
    EXPECT_EQ(driver.CountContaining(line), 1u);
    const auto messages = driver.Messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages[0].type, 1);
    EXPECT_EQ(messages[0].text, line);

    EXPECT_EQ(control->ZoomIn(1), ipcapture::kPtzDone);
    EXPECT_EQ(control->AddPreset("Gate"), ipcapture::kPtzNotQueued);
    EXPECT_EQ(control->GetPresetCount(), 0);
    EXPECT_EQ(driver.CountContaining("A preposition \"Gate\" cannot be added - presets cannot "
                                     "be kept: \"" +
                                     file.path.string() + "\" is not a regular file"),
              1u);
}

}  // namespace vostrel
