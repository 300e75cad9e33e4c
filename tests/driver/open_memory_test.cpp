// Open with memory running out: every allocation Open makes is failed in turn (a replaced
// operator new throws std::bad_alloc at the chosen allocation of the test's thread). Open
// must never throw; a missing digital I/O object or PTZ handler fails it, a missing video
// capture does not.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "driver/jvc_ip_capture_driver.h"
#include "reference_host.h"

// The replacements below pair malloc with free; GCC sees only the new/free pair once inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {

// Allocation number at which operator new fails on this thread (-1: never).
thread_local long t_failAt = -1;
thread_local long t_allocations = 0;
thread_local bool t_failed = false;

void FailAllocation(long index) {
    t_failAt = index;
    t_allocations = 0;
    t_failed = false;
}

void AllocateFreely() {
    t_failAt = -1;
}

}  // namespace

void* operator new(std::size_t size) {
    if (t_failAt >= 0 && t_allocations++ == t_failAt) {
        t_failed = true;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

TEST(OpenMemoryTest, EveryFailedAllocationIsAResultNeverAnException) {
    host::DeviceSettings settings;
    settings.cameraCount = 2;
    settings.parameters = {{1, "0"}, {2, "1"}, {3, "presets.xml"}, {4, "1"}, {5, "fw 1.0"}};
    bool sawNoDigitalIO = false;
    bool sawNoPTZHandler = false;
    bool sawNoVideoCapture = false;
    long index = 0;
    for (; index < 100000; ++index) {
        host::LogSink log;
        host::FrameFactory frames;
        host::DeviceConfig config(settings);
        auto driver = std::make_unique<vostrel::CJvcIPCaptureDriver>();
        bool opened = false;
        FailAllocation(index);
        try {
            opened = driver->Open(&log, &frames, &config);
        } catch (...) {
            AllocateFreely();
            ADD_FAILURE() << "Open threw when allocation " << index << " failed";
            break;
        }
        AllocateFreely();
        if (!t_failed) {
            // Open made fewer allocations than that: the whole open went through.
            EXPECT_TRUE(opened);
            EXPECT_NE(driver->GetVideoCapture(), nullptr);
            EXPECT_EQ(log.CountContaining("DRIVER IS OPENED"), 1u);
            break;
        }
        const bool parametersKept = driver->GetParameterString(5) == "fw 1.0";
        if (opened) {
            EXPECT_NE(driver->GetCaptureIO(), nullptr) << index;
            EXPECT_NE(driver->GetPTZDriver(), nullptr) << index;
            sawNoVideoCapture |= driver->GetVideoCapture() == nullptr;
        } else {
            EXPECT_EQ(log.CountContaining("DRIVER IS OPENED"), 0u) << index;
            // With every parameter collected, only the work objects can be missing.
            sawNoDigitalIO |= parametersKept && driver->GetCaptureIO() == nullptr;
            sawNoPTZHandler |= parametersKept && driver->GetCaptureIO() != nullptr &&
                               driver->GetPTZDriver() == nullptr;
        }
        driver->Close();
    }
    EXPECT_GT(index, 0);
    EXPECT_TRUE(sawNoDigitalIO);
    EXPECT_TRUE(sawNoPTZHandler);
    EXPECT_TRUE(sawNoVideoCapture);
}
