// The video capture object and the channel base: channel table, thread start and stop,
// states and the on-line/off-line messages.
#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "reference_host.h"
#include "support/fake_driver.h"
#include "video/base_camera_channel.h"
#include "video/common_http_channel.h"
#include "video/ip_video_capture.h"

using namespace vostrel;
using testing_support::FakeDriver;

namespace {

// A channel whose thread reports state 1, then 0 once told to, and ends on stop.
class TestChannel : public CBaseCameraChannel {
  public:
    TestChannel(uint32_t number, IDriver* driver, ipcapture::IHostFrameSink* sink,
                std::atomic<int>* liveCount)
        : CBaseCameraChannel(number, driver, sink), m_live(liveCount) {
        if (m_live) {
            ++*m_live;
        }
    }
    ~TestChannel() override {
        Shutdown();
        if (m_live) {
            --*m_live;
        }
    }

    int ThreadMain() override {
        SetState(kChannelConnecting);
        started.Set();
        while (!m_stopEvent.Wait(platform::kInfinite)) {
        }
        ended.Set();
        return 0;
    }

    platform::Event started{true};
    platform::Event ended{true};

  private:
    std::atomic<int>* m_live;
};

class TestCreator : public ICustomCreator {
  public:
    explicit TestCreator(IDriver* driver) : m_driver(driver) {}
    ICameraChannel* CreateChannel(int index, ipcapture::IHostFrameSink* sink) override {
        ++created;
        last = new TestChannel(static_cast<uint32_t>(index), m_driver, sink, &live);
        return last;
    }
    ICameraChannel* CreateCompanion(int, ipcapture::IHostFrameSink*) override { return nullptr; }

    int created = 0;
    std::atomic<int> live{0};
    TestChannel* last = nullptr;

  private:
    IDriver* m_driver;
};

}  // namespace

TEST(VideoCaptureTest, ChannelTableStartStopAndStatus) {
    FakeDriver driver;
    TestCreator creator(&driver);
    CIPVideoCapture capture(&creator, 2);
    host::FrameSink sink;
    host::VideoSettings settings(640, 480, 40, 50);

    EXPECT_EQ(capture.GetChannelCount(), 2u);
    EXPECT_FALSE(capture.StartChannel(2, &sink, &settings));  // index == count
    EXPECT_EQ(creator.created, 0);

    ASSERT_TRUE(capture.StartChannel(0, &sink, &settings));
    TestChannel* first = creator.last;
    ASSERT_TRUE(first->started.Wait(10000) == platform::WaitResult::Signalled);
    int state = -1, reserved = 7;
    char flag = 7;
    ASSERT_TRUE(capture.GetChannelStatus(0, &state, &reserved, &flag, 1));
    EXPECT_EQ(state, 1);
    EXPECT_EQ(reserved, 0);
    EXPECT_EQ(flag, 0);
    auto record = capture.GetChannelSettings(0);
    EXPECT_EQ(record.interval, 40u);
    EXPECT_EQ(record.quality, 50u);
    EXPECT_EQ(record.width, 640u);
    EXPECT_EQ(record.height, 480u);

    // Starting a running index replaces its channel: the old one is stopped and deleted first.
    ASSERT_TRUE(capture.StartChannel(0, &sink, &settings));
    EXPECT_EQ(creator.created, 2);
    EXPECT_EQ(creator.live.load(), 1);

    // Update restarts the thread with the new size and interval and keeps the quality.
    TestChannel* second = creator.last;
    ASSERT_TRUE(second->started.Wait(10000) == platform::WaitResult::Signalled);
    second->started.Reset();
    host::VideoSettings::Size size(320, 240);
    ASSERT_TRUE(capture.UpdateChannel(0, &size, 100));
    ASSERT_TRUE(second->started.Wait(10000) == platform::WaitResult::Signalled);
    record = capture.GetChannelSettings(0);
    EXPECT_EQ(record.width, 320u);
    EXPECT_EQ(record.interval, 100u);
    EXPECT_EQ(record.quality, 50u);

    // An empty entry answers false; a stopped entry is empty.
    EXPECT_FALSE(capture.GetChannelStatus(1, &state, nullptr, nullptr, 0));
    EXPECT_FALSE(capture.UpdateChannel(1, &size, 100));
    EXPECT_FALSE(capture.StopChannel(1));
    EXPECT_TRUE(capture.StopChannel(0));
    EXPECT_EQ(creator.live.load(), 0);
    EXPECT_FALSE(capture.StopChannel(0));
    EXPECT_FALSE(capture.StopChannel(5));
    EXPECT_EQ(capture.GetChannelSettings(0).width, 0u);
}

TEST(VideoCaptureTest, DestructionStopsEveryChannel) {
    FakeDriver driver;
    TestCreator creator(&driver);
    host::FrameSink sink;
    host::VideoSettings settings(640, 480, 40, 50);
    {
        CIPVideoCapture capture(&creator, 4);
        for (unsigned i = 0; i < 4; ++i) {
            ASSERT_TRUE(capture.StartChannel(i, &sink, &settings));
        }
        EXPECT_EQ(creator.live.load(), 4);
    }
    EXPECT_EQ(creator.live.load(), 0);
}

TEST(CameraChannelTest, StatesAndStoppedChannelReportsTwo) {
    FakeDriver driver;
    TestChannel channel(0, &driver, nullptr, nullptr);
    EXPECT_EQ(channel.GetState(), kChannelStopped);
    ASSERT_TRUE(channel.Start({40, 50, 640, 480}));
    ASSERT_TRUE(channel.started.Wait(10000) == platform::WaitResult::Signalled);
    EXPECT_EQ(channel.GetState(), kChannelConnecting);
    // A second start of the same thread object while it runs: Start stops it first.
    channel.started.Reset();
    ASSERT_TRUE(channel.Start({40, 50, 640, 480}));
    ASSERT_TRUE(channel.started.Wait(10000) == platform::WaitResult::Signalled);
    channel.Stop();
    EXPECT_EQ(channel.GetState(), kChannelStopped);
    EXPECT_TRUE(channel.ended.IsSet());
}

TEST(CameraChannelTest, OnlineAndOfflineMessages) {
    FakeDriver driver;
    driver.info.m_address = "10.1.2.3";
    {
        TestChannel channel(0, &driver, nullptr, nullptr);
        channel.SetCameraState(false);  // no change: silent
        channel.SetState(kChannelReceiving);
        channel.SetCameraState(true);
        channel.SetCameraState(true);  // repeated: silent
        channel.SetState(kChannelLost);
        channel.SetCameraState(false);
        channel.SetState(kChannelReceiving);
        channel.SetCameraState(true);
        channel.SetState(kChannelConnecting);
        channel.SetCameraState(false);
        channel.SetCameraState(true);
        channel.Stop();
    }
    const std::string ctx = "vostrel::CBaseCameraChannel::SetCameraState: ";
    const std::vector<std::pair<int, std::string>> expected = {
        {3, ctx + "Camera 10.1.2.3 is online"},
        {1, ctx + "Signal was lost for camera 10.1.2.3"},
        {3, ctx + "Camera 10.1.2.3 is online"},
        {1, ctx + "Camera 10.1.2.3 is offline or failed"},
        {3, ctx + "Camera 10.1.2.3 is online"},
        {3, ctx + "Camera 10.1.2.3 is offline. Channel was stopped"},
    };
    std::vector<std::pair<int, std::string>> written;
    for (const auto& message : driver.Messages()) {
        written.emplace_back(message.type, message.text);
    }
    EXPECT_EQ(written, expected);

    // Several inputs: the channel names its input.
    FakeDriver server;
    server.cameraCount = 2;
    server.info.m_address = "10.1.2.4";
    {
        TestChannel channel(1, &server, nullptr, nullptr);
        channel.SetCameraState(true);
        channel.SetState(kChannelLost);
        channel.SetCameraState(false);
    }
    auto s = server.Messages();
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].text, ctx + "Video-server 10.1.2.4 (channel 1) is online");
    EXPECT_EQ(s[1].text, ctx + "Signal was lost for video-server 10.1.2.4 (channel 1)");
}

TEST(CameraChannelTest, SignalLossIsReportedWithoutAnOnlineCameraButNotAfterAStop) {
    FakeDriver driver;
    driver.info.m_address = "10.1.2.5";
    host::FrameSink sink;
    sink.SetThrowOnSignalLost(true);  // the host's exception stays with the host
    TestChannel channel(0, &driver, &sink, nullptr);
    // A camera that never delivered a frame: the host hears of it all the same.
    channel.ReportSignalLost();
    EXPECT_EQ(channel.GetState(), kChannelLost);
    EXPECT_EQ(sink.SignalLostCount(), 1);
    channel.SetState(kChannelReceiving);
    channel.SetCameraState(true);
    channel.Stop();
    channel.ReportSignalLost();  // a stop is under way: nothing more reaches the host
    EXPECT_EQ(sink.SignalLostCount(), 1);
    EXPECT_EQ(channel.GetState(), kChannelStopped);
    const std::string ctx = "vostrel::CBaseCameraChannel::SetCameraState: ";
    std::vector<std::pair<int, std::string>> written;
    for (const auto& message : driver.Messages()) {
        written.emplace_back(message.type, message.text);
    }
    EXPECT_EQ(written, (std::vector<std::pair<int, std::string>>{
                           {1, ctx + "Signal was lost for camera 10.1.2.5"},
                           {3, ctx + "Camera 10.1.2.5 is online"},
                           {3, ctx + "Camera 10.1.2.5 is offline. Channel was stopped"}}));
}

namespace {

// A channel that stops itself from its own thread.
class SelfStoppingChannel : public CBaseCameraChannel {
  public:
    using CBaseCameraChannel::CBaseCameraChannel;
    ~SelfStoppingChannel() override { Shutdown(); }
    int ThreadMain() override {
        Stop();  // must return without waiting for itself
        done.Set();
        return 0;
    }
    platform::Event done{true};
};

}  // namespace

TEST(CameraChannelTest, StopFromTheChannelThreadReturns) {
    FakeDriver driver;
    SelfStoppingChannel channel(0, &driver, nullptr);
    ASSERT_TRUE(channel.Start({0, 0, 320, 240}));
    ASSERT_TRUE(channel.done.Wait(10000) == platform::WaitResult::Signalled);
    channel.Stop();
    EXPECT_EQ(channel.GetState(), kChannelStopped);
}

TEST(VideoCaptureTest, StoppedStateIsReportedAsTwoAndSizeClasses) {
    FakeDriver driver;
    TestCreator creator(&driver);
    CIPVideoCapture capture(&creator, 1);
    host::FrameSink sink;
    host::VideoSettings settings(640, 480, 40, 50);
    ASSERT_TRUE(capture.StartChannel(0, &sink, &settings));
    ASSERT_TRUE(creator.last->started.Wait(10000) == platform::WaitResult::Signalled);
    creator.last->SetState(kChannelStopped);
    int state = -1;
    ASSERT_TRUE(capture.GetChannelStatus(0, &state, nullptr, nullptr, 0));
    EXPECT_EQ(state, 2);
    creator.last->SetState(kChannelReceiving);
    ASSERT_TRUE(capture.GetChannelStatus(0, &state, nullptr, nullptr, 0));
    EXPECT_EQ(state, 0);

    EXPECT_EQ(SizeClassOf(704, 240), 3);
    EXPECT_EQ(SizeClassOf(352, 288), 2);
    EXPECT_EQ(SizeClassOf(640, 480), 4);
    EXPECT_EQ(SizeClassOf(1280, 960), 4);
    EXPECT_EQ(SizeClassOf(1280, 400), 4);  // wide, but not below 1024
    EXPECT_EQ(SizeClassOf(400, 100), 3);
}

namespace {

// Host settings objects that throw, as a careless host's may.
class ThrowingSize : public vostrel::ipcapture::IHostSize {
  public:
    uint16_t GetWidth() override { throw std::runtime_error("width"); }
    uint16_t GetHeight() override { return 480; }
};
class ThrowingSettings : public vostrel::ipcapture::IHostVideoSettings {
  public:
    vostrel::ipcapture::IHostPicture* GetPicture() override { throw 7; }
    vostrel::ipcapture::IHostEncoding* GetEncoding() override { throw std::bad_alloc(); }
};

}  // namespace

TEST(VideoCaptureTest, HostSettingsThatThrowFailTheCallAndNothingEscapes) {
    FakeDriver driver;
    TestCreator creator(&driver);
    CIPVideoCapture capture(&creator, 1);
    host::FrameSink sink;
    ThrowingSettings bad;
    EXPECT_FALSE(capture.StartChannel(0, &sink, &bad));
    EXPECT_EQ(creator.created, 0);
    host::VideoSettings settings(640, 480, 40, 50);
    ASSERT_TRUE(capture.StartChannel(0, &sink, &settings));
    ThrowingSize size;
    EXPECT_FALSE(capture.UpdateChannel(0, &size, 100));
    EXPECT_EQ(capture.GetChannelSettings(0).width, 640u);  // unchanged
    EXPECT_TRUE(capture.StopChannel(0));
}
