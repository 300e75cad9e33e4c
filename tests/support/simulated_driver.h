#pragma once
// A driver of the built module, loaded as a host loads it and opened against a camera
// simulator, with the reference host's log sink and frame factory.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "camera_simulator.h"
#include "reference_host.h"
#include "support/module_loader.h"

namespace testing_support {

class SimulatedDriver {
  public:
    // The account the driver logs in with; the simulator's admin when not given.
    struct Login {
        std::string user;
        std::string password;
    };

    SimulatedDriver(camsim::CameraSimulator& cam, int streamType, int cameraCount, int family,
                    const std::string& modulePath = JVC_MODULE_PATH)
        : SimulatedDriver(cam, streamType, cameraCount, family,
                          Login{cam.options().user, cam.options().password}, modulePath) {}
    SimulatedDriver(camsim::CameraSimulator& cam, int streamType, int cameraCount, int family,
                    const Login& login, const std::string& modulePath = JVC_MODULE_PATH) {
        EXPECT_TRUE(module.Load(modulePath));
        host::DeviceSettings s;
        s.address = "127.0.0.1";
        s.port = cam.port();
        s.userName = login.user;
        s.password = login.password;
        s.streamType = streamType;
        s.model = cam.profile().name;
        s.cameraCount = cameraCount;
        s.parameters = {{1, "0"}, {2, std::to_string(family)}};
        config = std::make_unique<host::DeviceConfig>(s);
        driver = module.create[0]();
        EXPECT_TRUE(driver->Open(&log, &frames, config.get()));
        video = driver->GetVideoCapture();
    }
    ~SimulatedDriver() {
        if (driver) {
            module.destroy[0](driver);
        }
        EXPECT_EQ(frames.Outstanding(), 0);  // every frame went back to the factory
    }
    // The host's view of a channel's state; -1 when the entry is empty.
    int Status(unsigned index) {
        int state = -1;
        return video->GetChannelStatus(index, &state, nullptr, nullptr, 0) ? state : -1;
    }

    LoadedModule module;
    host::LogSink log;
    host::FrameFactory frames;
    std::unique_ptr<host::DeviceConfig> config;
    vostrel::ipcapture::IIPCaptureDriver* driver = nullptr;
    vostrel::ipcapture::IIPVideoCapture* video = nullptr;
};

}  // namespace testing_support
