// Lifecycle: a driver is created, opened, its channels started, PTZ used and digital I/O
// started, then everything stopped, closed and deleted, many times over in one process.
// Afterwards the process holds as many file descriptors and threads as after the first cycle,
// and (without a sanitizer's allocator) no more heap. The camera simulator runs in a child
// process so that only the module's own resources are counted here.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "camera_simulator.h"
#include "reference_host.h"
#include "support/module_loader.h"

namespace {

namespace fs = std::filesystem;
using vostrel::ipcapture::IIPCaptureDriverEx3;

size_t Entries(const char* folder) {
    size_t n = 0;
    for (auto it = fs::directory_iterator(folder); it != fs::directory_iterator(); ++it) {
        ++n;
    }
    return n;
}

// The simulator in a child process; its port comes back through a pipe.
class SimulatorProcess {
  public:
    SimulatorProcess() {
        int fds[2];
        EXPECT_EQ(pipe(fds), 0);
        m_pid = fork();
        if (m_pid == 0) {
            close(fds[0]);
            camsim::CameraSimulator cam(camsim::Options{.profile = "VN-V686", .jpeg_ring_size = 1});
            const uint16_t port = cam.Start();
            (void)!write(fds[1], &port, sizeof port);
            pause();  // until killed
            _exit(0);
        }
        close(fds[1]);
        EXPECT_EQ(read(fds[0], &m_port, sizeof m_port), static_cast<ssize_t>(sizeof m_port));
        close(fds[0]);
    }
    ~SimulatorProcess() {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    uint16_t Port() const { return m_port; }

  private:
    pid_t m_pid = -1;
    uint16_t m_port = 0;
};

bool UnderSanitizer() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return true;
#else
    return false;
#endif
}

}  // namespace

TEST(Lifecycle, RepeatedCyclesLeaveNoDescriptorsThreadsOrMemoryBehind) {
    SimulatorProcess simulator;
    ASSERT_NE(simulator.Port(), 0);
    LoadedModule module;
    ASSERT_TRUE(module.Load(JVC_MODULE_PATH));
    auto create =
        reinterpret_cast<IIPCaptureDriverEx3* (*)()>(dlsym(module.handle, "CreateIPCaptureEx3"));
    const std::string presets = "lifecycle-" + std::to_string(getpid()) + ".xml";

    host::DeviceSettings settings;
    settings.port = simulator.Port();
    settings.userName = "admin";  // the VN-V686's default admin credentials
    settings.password = "vn-v686";
    settings.cameraCount = 2;
    settings.inputCount = 2;
    settings.outputCount = 1;
    settings.parameters = {{1, "0"}, {2, "1"}, {3, presets}, {4, "1"}};
    host::DeviceConfig config(settings);
    host::LogSink log;
    host::FrameFactory frames;
    host::FrameSink sinks[2];
    host::IOCallback io;
    host::VideoSettings video(640, 480, 100, 50);

    auto cycle = [&] {
        IIPCaptureDriverEx3* driver = create();
        ASSERT_TRUE(driver->Open(&log, &frames, &config));
        for (unsigned channel = 0; channel < 2; ++channel) {
            ASSERT_TRUE(driver->GetVideoCapture()->StartChannel(channel, &sinks[channel], &video));
        }
        auto* ptz = driver->GetPTZDriverEx()->GetPtzApiEx(1);
        ASSERT_NE(ptz, nullptr);
        EXPECT_EQ(ptz->Move(0, 3), 1);
        EXPECT_EQ(ptz->StopAll(), 1);
        auto* pins = driver->GetCaptureIO();
        ASSERT_TRUE(pins->SetCallback(&io));
        EXPECT_TRUE(pins->Start());
        EXPECT_TRUE(pins->SetOutput(0, 2));
        EXPECT_TRUE(pins->Stop());
        for (unsigned channel = 0; channel < 2; ++channel) {
            EXPECT_TRUE(driver->GetVideoCapture()->StopChannel(channel));
        }
        driver->Close();
        module.destroy[3](driver);
        log.Clear();  // the host's own records are not the module's memory
        io.Clear();
    };

    // Warm-up: the libraries' one-time allocations, and the C library's caches of thread
    // stacks with their thread-local blocks, which fill over the first few dozen threads.
    const int warmUp = UnderSanitizer() ? 2 : 40;
    for (int i = 0; i < warmUp; ++i) {
        cycle();
    }
    const size_t descriptors = Entries("/proc/self/fd");
    const size_t threads = Entries("/proc/self/task");
    const size_t heap = mallinfo2().uordblks;
    const char* asked = std::getenv("LIFECYCLE_CYCLES");  // a longer run by hand
    const int cycles = asked != nullptr ? std::atoi(asked) : 40;
    for (int i = 0; i < cycles; ++i) {
        cycle();
    }
    EXPECT_EQ(Entries("/proc/self/fd"), descriptors);
    EXPECT_EQ(Entries("/proc/self/task"), threads);
    if (!UnderSanitizer()) {
        // Allocator noise is a few kilobytes; a leak of even one small object per cycle shows.
        const size_t now = mallinfo2().uordblks;
        EXPECT_LT(now, heap + 16 * 1024) << "heap in use grew from " << heap << " to " << now;
    }
    std::error_code ignored;
    fs::remove(fs::canonical("/proc/self/exe").parent_path() / presets, ignored);
}
