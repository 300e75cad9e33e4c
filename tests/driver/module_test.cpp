// The built module driven as a host drives it: loaded with dlopen, exports resolved by name,
// a driver created, opened against the reference host, queried, closed and deleted.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

#include "reference_host.h"
#include "support/module_loader.h"

using namespace vostrel::ipcapture;

namespace {

host::DeviceSettings ExampleSettings() {
    host::DeviceSettings s;
    s.address = "192.0.2.5";
    s.port = 80;
    s.model = "VN-V686";
    s.cameraCount = 2;
    s.inputCount = 3;
    s.outputCount = 1;
    s.parameters = {{1, "0"}, {2, "1"}, {3, "JVC_0011AABBCCDD.preset"}, {4, "1"}};
    return s;
}

class ModuleTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(module.Load(JVC_MODULE_PATH)); }

    LoadedModule module;
    host::LogSink log;
    host::FrameFactory frames;
};

}  // namespace

TEST_F(ModuleTest, FullDriverLifecycleThroughTheExports) {
    IIPCaptureDriver* driver = module.create[0]();
    ASSERT_NE(driver, nullptr);
    auto* ex3 = static_cast<IIPCaptureDriverEx3*>(driver);

    // Before Open there are no work objects and nothing is logged.
    EXPECT_EQ(driver->GetVideoCapture(), nullptr);
    EXPECT_EQ(driver->GetCaptureIO(), nullptr);
    EXPECT_EQ(ex3->GetPTZDriver(), nullptr);

    host::DeviceConfig config(ExampleSettings());
    ASSERT_TRUE(driver->Open(&log, &frames, &config));

    IIPVideoCapture* video = driver->GetVideoCapture();
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->GetChannelCount(), 2u);
    EXPECT_EQ(static_cast<IIPVideoCapture*>(ex3->GetVideoCaptureEx()), video);

    ICaptureIOApi* io = driver->GetCaptureIO();
    ASSERT_NE(io, nullptr);
    EXPECT_EQ(io->GetInputCount(), 3u);
    EXPECT_EQ(io->GetOutputCount(), 1u);

    IIPPTZDriver* ptz = ex3->GetPTZDriver();
    ASSERT_NE(ptz, nullptr);
    EXPECT_EQ(static_cast<IIPPTZDriver*>(ex3->GetPTZDriverEx()), ptz);
    EXPECT_EQ(ex3->GetOptionalFacilityA(), nullptr);
    EXPECT_EQ(ex3->GetOptionalFacilityB(), nullptr);

    driver->Close();
    EXPECT_EQ(driver->GetVideoCapture(), nullptr);
    EXPECT_EQ(driver->GetCaptureIO(), nullptr);
    EXPECT_EQ(ex3->GetPTZDriver(), nullptr);
    EXPECT_EQ(ex3->GetVideoCaptureEx(), nullptr);
    driver->Close();  // twice is harmless
    module.destroy[0](driver);
}

TEST_F(ModuleTest, AllExportNamesCreateAndDeleteTheSameKindOfDriver) {
    for (int i = 0; i < 4; ++i) {
        IIPCaptureDriver* driver = module.create[i]();
        ASSERT_NE(driver, nullptr);
        host::DeviceConfig config(ExampleSettings());
        EXPECT_TRUE(driver->Open(&log, &frames, &config));
        // Deleted by a different export name than the one that created it.
        module.destroy[(i + 1) % 4](driver);
    }
    for (auto destroy : module.destroy) {
        destroy(nullptr);  // harmless
    }
}

TEST_F(ModuleTest, OpenLineIsExactAndCarriesTheFirmwareWhenGiven) {
    {
        IIPCaptureDriver* driver = module.create[0]();
        host::DeviceSettings settings = ExampleSettings();
        settings.cameraCount = 1;
        host::DeviceConfig config(settings);
        ASSERT_TRUE(driver->Open(&log, &frames, &config));
        module.destroy[0](driver);
    }
    {
        IIPCaptureDriver* driver = module.create[0]();
        host::DeviceSettings settings = ExampleSettings();
        settings.address = "cam-%s.example";  // never interpreted as a format
        settings.port = 8080;
        settings.parameters[5] = "cam=1.02, net=2.10, ptz=1.04";
        host::DeviceConfig config(settings);
        ASSERT_TRUE(driver->Open(&log, &frames, &config));
        module.destroy[0](driver);
    }
    auto records = log.Records();
    ASSERT_EQ(records.size(), 2u);
    // No host core module is loaded here: its version is unreadable and 5.12 applies.
    EXPECT_EQ(records[0].level, 3);
    EXPECT_EQ(records[0].text.value_or(""),
              "DRIVER IS OPENED (name: Brennick, device model: VN-V686, address: 192.0.2.5:80)");
    EXPECT_EQ(records[1].text.value_or(""),
              "DRIVER IS OPENED (name: Brennick, device model: VN-V686, FW: cam=1.02, net=2.10, "
              "ptz=1.04, address: cam-%s.example:8080)");
}

TEST_F(ModuleTest, VideoStandardParameterMustBeAnInteger) {
    struct Case {
        const char* text;  // null: parameter 1 missing
        bool opens;
    };
    const Case cases[] = {{"+3", true},
                          {"-7", true},
                          {"12", true},
                          {"-", false},
                          {"", false},
                          {"3a", false},
                          {" 3", false},
                          {"(none)", false},
                          {nullptr, false},
                          {"99999999999", false},
                          // The smallest 32-bit integer is a value like any other.
                          {"-2147483648", true},
                          {"-2147483649", false}};
    for (const Case& c : cases) {
        host::LogSink caseLog;
        host::DeviceSettings settings = ExampleSettings();
        settings.parameters.erase(1);
        if (c.text) {
            settings.parameters[1] = c.text;
        } else {
            // Parameters stop at the first missing index, so 2.. are never collected.
        }
        host::DeviceConfig config(settings);
        IIPCaptureDriver* driver = module.create[0]();
        EXPECT_EQ(driver->Open(&caseLog, &frames, &config), c.opens) << (c.text ? c.text : "null");
        // A failed open writes no line; the work objects it made are still released.
        EXPECT_EQ(caseLog.Count(), c.opens ? 1u : 0u) << (c.text ? c.text : "null");
        if (!c.opens) {
            EXPECT_NE(driver->GetCaptureIO(), nullptr);
        }
        module.destroy[0](driver);
    }
}

namespace {

// Runs a driver open in a child process that first loads the given core module, and returns
// the level the open line arrived at (or -1). Without a core loaded first, the open must not
// load one either (104 when it did).
int OpenLineLevelWithCore(const char* corePath) {
    pid_t pid = fork();
    if (pid == 0) {
        if (corePath && dlopen(corePath, RTLD_NOW | RTLD_GLOBAL) == nullptr) {
            _exit(101);
        }
        void* handle = dlopen(JVC_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            _exit(102);
        }
        auto create = reinterpret_cast<CreateIPCaptureFn>(dlsym(handle, "CreateIPCapture"));
        auto destroy = reinterpret_cast<DeleteIPCaptureFn>(dlsym(handle, "DeleteIPCapture"));
        host::LogSink log;
        host::FrameFactory frames;
        host::DeviceConfig config(ExampleSettings());
        IIPCaptureDriver* driver = create();
        bool opened = driver->Open(&log, &frames, &config);
        // Type 4 never reaches the host; a message that formats empty arrives with null text.
        destroy(driver);
        auto records = log.Records();
        if (!opened || records.size() != 1) {
            _exit(103);
        }
        if (corePath == nullptr && (getenv("JVC_DVRCORE_CONSTRUCTED") != nullptr ||
                                    dlopen("libdvrcore.so", RTLD_LAZY | RTLD_NOLOAD) != nullptr)) {
            _exit(104);
        }
        _exit(records[0].level);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

}  // namespace

TEST(HostCoreVersionTest, OldCoreGetsStateReportsAtLevelTwo) {
    EXPECT_EQ(OpenLineLevelWithCore(DVRCORE_5_11_PATH), 2);
    EXPECT_EQ(OpenLineLevelWithCore(DVRCORE_5_12_PATH), 3);
    EXPECT_EQ(OpenLineLevelWithCore(DVRCORE_6_0_PATH), 3);
    EXPECT_EQ(OpenLineLevelWithCore(nullptr), 3);
}

// Run by ctest with LD_LIBRARY_PATH naming a folder that holds an old core module: the version
// is found through the loader's search when the host has not loaded the core itself.
TEST(HostCoreVersionTest, FoundThroughTheLoaderSearch) {
    const char* expected = getenv("JVC_EXPECT_OPEN_LEVEL");
    if (expected == nullptr) {
        GTEST_SKIP() << "run by the core_version_search test with LD_LIBRARY_PATH set";
    }
    EXPECT_EQ(OpenLineLevelWithCore(nullptr), atoi(expected));
}
