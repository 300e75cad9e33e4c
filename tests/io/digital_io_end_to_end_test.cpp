// Digital I/O end to end: the module loaded as a host loads it, a driver opened against the
// camera simulator with two inputs and one output, and the digital I/O object used through
// the host's interface at its real poll period.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "camera_simulator.h"
#include "reference_host.h"
#include "support/module_loader.h"

using namespace vostrel::ipcapture;
using namespace std::chrono_literals;

namespace {

std::vector<std::pair<uint32_t, int32_t>> Inputs(const std::vector<host::IOEvent>& events) {
    std::vector<std::pair<uint32_t, int32_t>> inputs;
    for (const auto& e : events) {
        EXPECT_EQ(e.kind, host::IOEvent::InputChanged);
        inputs.emplace_back(e.input, e.state);
    }
    return inputs;
}

}  // namespace

TEST(DigitalIOEndToEndTest, TheHostHearsEveryInputChangeAndDrivesTheOutput) {
    camsim::CameraSimulator cam({.profile = "VN-V686", .jpeg_ring_size = 1});  // no video here
    cam.Start();
    cam.SetInputPin(1, true);
    cam.SetInputPin(2, true);

    LoadedModule module;
    ASSERT_TRUE(module.Load(JVC_MODULE_PATH));
    host::LogSink log;
    host::FrameFactory frames;
    host::DeviceSettings settings;
    settings.port = cam.port();
    settings.userName = cam.options().user;
    settings.password = cam.options().password;
    settings.inputCount = 2;
    settings.outputCount = 1;
    settings.parameters = {{1, "0"}, {2, "1"}};
    host::DeviceConfig config(settings);
    IIPCaptureDriver* driver = module.create[0]();
    ASSERT_NE(driver, nullptr);
    ASSERT_TRUE(driver->Open(&log, &frames, &config));

    ICaptureIOApi* io = driver->GetCaptureIO();
    ASSERT_NE(io, nullptr);
    host::IOCallback callback;
    ASSERT_TRUE(io->SetCallback(&callback));
    ASSERT_TRUE(io->Start());
    // Synchronised before Start returned: both inputs reported, the output driven to break.
    EXPECT_EQ(Inputs(callback.Events()),
              (std::vector<std::pair<uint32_t, int32_t>>{{0, 2}, {1, 2}}));
    ASSERT_TRUE(cam.OutputPin(1).has_value());
    EXPECT_EQ(cam.OutputPin(1)->status, "break");
    EXPECT_EQ(cam.OutputPin(1)->writes, 1u);

    // A toggled input arrives within one poll period (2000 ms) and some slack.
    cam.SetInputPin(2, false);
    ASSERT_TRUE(callback.WaitForEvents(3, 3500ms));
    EXPECT_EQ(Inputs(callback.Events()),
              (std::vector<std::pair<uint32_t, int32_t>>{{0, 2}, {1, 2}, {1, 1}}));

    // The camera refuses the output time ("...duration&401 Unauthorized"): the output is
    // driven all the same.
    cam.SetLineStatus("peripheral.output_pin.pin(1).duration", 401);
    ASSERT_TRUE(io->SetOutput(0, 2));
    ASSERT_TRUE(cam.WaitForRequest("peripheral.output_pin.pin(1).status=make"));
    EXPECT_EQ(cam.OutputPin(1)->status, "make");
    EXPECT_EQ(cam.OutputPin(1)->writes, 2u);

    EXPECT_TRUE(io->Stop());
    EXPECT_FALSE(io->SetOutput(0, 1));
    EXPECT_EQ(callback.FailureCount(), 0u);
    driver->Close();
    module.destroy[0](driver);
}
