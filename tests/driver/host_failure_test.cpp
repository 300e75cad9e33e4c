// Host objects that throw: the module, loaded as a host loads it, must neither pass their
// exceptions on to its caller nor let them end one of its threads (and with it the process).
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "camera_simulator.h"
#include "reference_host.h"
#include "support/module_loader.h"

using namespace vostrel::ipcapture;
using namespace std::chrono_literals;

namespace {

// Counts what reaches it, then throws: a std::exception first, anything at all after that.
// With spareTestThread set it throws only on the module's own threads.
class ThrowingCounter {
  public:
    void Hit() {
        int n;
        bool testThread;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            n = ++m_hits;
            testThread = std::this_thread::get_id() == m_testThread;
            if (!testThread) {
                ++m_otherThreadHits;
            }
        }
        m_changed.notify_all();
        if (testThread && spareTestThread) {
            return;
        }
        if (n == 1) {
            throw std::runtime_error("host failure");
        }
        throw n;
    }
    int Hits() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_hits;
    }
    // Waits until count calls came from a thread other than the test's own.
    bool WaitForOtherThreadHits(int count, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_otherThreadHits >= count; });
    }
    bool spareTestThread = false;

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_hits = 0;
    int m_otherThreadHits = 0;
    const std::thread::id m_testThread = std::this_thread::get_id();
};

class ThrowingLogSink : public IDebugMessageSink {
  public:
    void Write(CDebugInfoIf*) override { calls.Hit(); }
    ThrowingCounter calls;
};

class ThrowingFrameSink : public IHostFrameSink {
  public:
    bool OnFrame(IHostFrame*) override {
        frames.Hit();
        return true;
    }
    void OnSignalLost() override { signalLost.Hit(); }
    ThrowingCounter frames;
    ThrowingCounter signalLost;
};

// Device settings whose driver parameter 3 cannot be read.
class ThrowingConfig : public host::DeviceConfig {
  public:
    using DeviceConfig::DeviceConfig;
    const char* GetDriverParameter(int index) override {
        if (index == 3) {
            throw std::runtime_error("settings store unavailable");
        }
        return DeviceConfig::GetDriverParameter(index);
    }
};

host::DeviceSettings Settings(uint16_t port = 80) {
    host::DeviceSettings s;
    s.address = "127.0.0.1";
    s.port = port;
    s.userName = "admin";  // the simulated VN-V686's default admin credentials
    s.password = "vn-v686";
    s.streamType = 1;
    s.parameters = {{1, "0"}, {2, "1"}, {3, "presets.xml"}};
    return s;
}

class HostFailureTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(module.Load(JVC_MODULE_PATH)); }

    LoadedModule module;
    host::FrameFactory frames;
};

}  // namespace

TEST_F(HostFailureTest, ThrowingSinkDoesNotMakeOpenThrow) {
    ThrowingLogSink sink;
    host::DeviceConfig config(Settings());
    IIPCaptureDriver* driver = module.create[0]();
    bool opened = false;
    EXPECT_NO_THROW(opened = driver->Open(&sink, &frames, &config));
    EXPECT_TRUE(opened);
    EXPECT_EQ(sink.calls.Hits(), 1);  // the open line, refused by the sink
    EXPECT_NE(driver->GetVideoCapture(), nullptr);
    module.destroy[0](driver);
}

TEST_F(HostFailureTest, ThrowingSettingsMakeOpenFailWithoutThrowing) {
    host::LogSink log;
    ThrowingConfig config(Settings());
    IIPCaptureDriver* driver = module.create[0]();
    bool opened = true;
    EXPECT_NO_THROW(opened = driver->Open(&log, &frames, &config));
    EXPECT_FALSE(opened);
    EXPECT_EQ(log.Count(), 0u);
    module.destroy[0](driver);
}

TEST_F(HostFailureTest, ChannelThreadOutlivesThrowingSinks) {
    camsim::CameraSimulator cam({.profile = "VN-V686"});
    cam.Start();
    // Every request fails: the channel thread writes the failure through the host's sink.
    cam.SetHttpStatusFault(404);
    ThrowingLogSink log;
    log.calls.spareTestThread = true;  // the open line goes through
    host::DeviceConfig config(Settings(cam.port()));
    IIPCaptureDriver* driver = module.create[0]();
    ASSERT_TRUE(driver->Open(&log, &frames, &config));
    IIPVideoCapture* video = driver->GetVideoCapture();
    ASSERT_NE(video, nullptr);

    ThrowingFrameSink frameSink;
    host::VideoSettings settings(320, 240, 100, 50);
    ASSERT_TRUE(video->StartChannel(0, &frameSink, &settings));
    ASSERT_TRUE(log.calls.WaitForOtherThreadHits(1, 20s));

    // The same thread goes on: with the camera well again it opens a stream and hands a
    // frame to the host's frame sink, which throws too.
    cam.SetHttpStatusFault(0);
    ASSERT_TRUE(frameSink.frames.WaitForOtherThreadHits(1, 20s));
    int state = -1;
    EXPECT_TRUE(video->GetChannelStatus(0, &state, nullptr, nullptr, 0));

    EXPECT_TRUE(video->StopChannel(0));
    driver->Close();
    module.destroy[0](driver);
    EXPECT_EQ(frames.Outstanding(), 0);  // the refused frames went back to the factory
}
