// Credentials never reach a log: a driver on Digest and Basic cameras, with the right and a
// wrong password, runs video, PTZ and digital I/O, and neither password appears in any line
// the module hands to the host, nor in camhost's output.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>

#include "camera_simulator.h"
#include "camsim/camsim_test_util.h"
#include "reference_host.h"
#include "support/module_loader.h"

namespace {

using namespace std::chrono_literals;
using vostrel::ipcapture::IIPCaptureDriverEx3;

constexpr const char* kPassword = "Pw-7c1e9ab5-secret";
constexpr const char* kWrongPassword = "Wrong-42f0b3-secret";

// Runs every path of one driver against the camera and returns its log.
std::vector<host::LogRecord> Exercise(camsim::CameraSimulator& cam, const std::string& password,
                                      bool expectFrames) {
    LoadedModule module;
    EXPECT_TRUE(module.Load(JVC_MODULE_PATH));
    auto create =
        reinterpret_cast<IIPCaptureDriverEx3* (*)()>(dlsym(module.handle, "CreateIPCaptureEx3"));
    const std::string presets = "credentials-" + std::to_string(getpid()) + ".xml";
    host::DeviceSettings settings;
    settings.port = cam.port();
    settings.userName = "admin";
    settings.password = password;
    settings.inputCount = 1;
    settings.outputCount = 1;
    settings.parameters = {{1, "0"}, {2, "1"}, {3, presets}, {4, "1"}};
    host::DeviceConfig config(settings);
    host::LogSink log;
    host::FrameFactory frames;
    host::FrameSink sink;
    host::IOCallback io;
    host::VideoSettings video(640, 480, 100, 50);
    IIPCaptureDriverEx3* driver = create();
    EXPECT_TRUE(driver->Open(&log, &frames, &config));
    EXPECT_TRUE(driver->GetVideoCapture()->StartChannel(0, &sink, &video));
    auto* ptz = driver->GetPTZDriverEx()->GetPtzApiEx(0);
    EXPECT_NE(ptz, nullptr);
    if (ptz != nullptr) {
        ptz->AddPreset("Gate");
        ptz->Move(1, 4);
        ptz->StopAll();
    }
    driver->GetCaptureIO()->SetCallback(&io);
    driver->GetCaptureIO()->Start();
    driver->GetCaptureIO()->SetOutput(0, 2);
    if (expectFrames) {
        EXPECT_TRUE(sink.WaitForFrames(2, 15s));
    } else {
        // The stream's refusal is logged once the channel has tried (3 s after its start).
        EXPECT_TRUE(log.WaitForText("401", 15s, 2));
    }
    driver->GetCaptureIO()->Stop();
    driver->GetVideoCapture()->StopChannel(0);
    driver->Close();
    module.destroy[3](driver);
    std::error_code ignored;
    std::filesystem::remove(std::filesystem::canonical("/proc/self/exe").parent_path() / presets,
                            ignored);
    return log.Records();
}

void ExpectNoPassword(const std::vector<host::LogRecord>& records) {
    EXPECT_FALSE(records.empty());
    for (const auto& record : records) {
        const std::string text = record.text.value_or("");
        EXPECT_EQ(text.find(kPassword), std::string::npos) << text;
        EXPECT_EQ(text.find(kWrongPassword), std::string::npos) << text;
    }
}

}  // namespace

TEST(Credentials, NoPasswordInAnyLogLine) {
    for (camsim::AuthMode mode : {camsim::AuthMode::kDigest, camsim::AuthMode::kBasic}) {
        camsim::CameraSimulator cam(camsim::Options{.profile = "VN-V686",
                                                    .auth = mode,
                                                    .user = "admin",
                                                    .password = kPassword,
                                                    .jpeg_ring_size = 2});
        cam.Start();
        ExpectNoPassword(Exercise(cam, kPassword, true));
        const auto refused = Exercise(cam, kWrongPassword, false);
        ExpectNoPassword(refused);
    }
}

// Every parameter answer closes its connection, so every request starts afresh; once the
// camera has asked for Digest, no request of the driver's (video, PTZ, presets, I/O) offers
// the password in clear again.
TEST(Credentials, ACameraThatAskedForDigestNeverSeesBasicAgain) {
    camsim::CameraSimulator cam(camsim::Options{.profile = "VN-V686",
                                                .auth = camsim::AuthMode::kDigest,
                                                .user = "admin",
                                                .password = kPassword,
                                                .jpeg_ring_size = 2});
    cam.Start();
    Exercise(cam, kPassword, true);
    const auto requests = cam.Requests();
    const auto challenge = std::find_if(requests.begin(), requests.end(),
                                        [](const auto& r) { return r.status == 401; });
    ASSERT_NE(challenge, requests.end());
    size_t digest = 0;
    for (auto r = std::next(challenge); r != requests.end(); ++r) {
        EXPECT_NE(r->auth_scheme, "basic") << r->target;
        digest += r->auth_scheme == "digest";
    }
    EXPECT_GT(digest, 5u);
    std::set<uint64_t> connections;
    for (const auto& r : requests) {
        connections.insert(r.connection);
    }
    EXPECT_EQ(connections.size(), requests.size());  // the camera closes every connection
}

TEST(Credentials, NoPasswordInCamhostOutput) {
    const auto result = camsim_test::RunProcess(
        {CAMHOST_EXE,
         "capture",
         "--simulate",
         "--sim-auth",
         "digest",
         "--sim-user",
         "bob",
         "--sim-password",
         kPassword,
         "--user",
         "bob",
         "--password",
         kWrongPassword,
         "--model",
         "VN-V686",
         "--seconds",
         "1",
         "--connect-timeout",
         "5",
         "--out",
         (std::filesystem::temp_directory_path() / ("creds-" + std::to_string(getpid()))).string()},
        60s, 0ms, nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(
        std::filesystem::temp_directory_path() / ("creds-" + std::to_string(getpid())), ignored);
    EXPECT_NE(result.out.find("401"), std::string::npos) << result.out;  // the refusal was told
    EXPECT_EQ(result.out.find(kPassword), std::string::npos);
    EXPECT_EQ(result.out.find(kWrongPassword), std::string::npos);
    EXPECT_EQ(result.err.find(kPassword), std::string::npos);
    EXPECT_EQ(result.err.find(kWrongPassword), std::string::npos);
}
