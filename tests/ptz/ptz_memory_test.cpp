// PTZ requests with memory running out (a replaced operator new throws std::bad_alloc on the
// test's thread): every host-facing operation answers with a result code, never an exception.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "ptz/jvc_ptz_handler.h"
#include "support/fake_driver.h"

// The replacements below pair malloc with free; GCC sees only the new/free pair once inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {

// Allocations of more than this many bytes fail on this thread (0: none fail, 1: all fail).
thread_local std::size_t t_failAbove = 0;

}  // namespace

void* operator new(std::size_t size) {
    if (t_failAbove != 0 && size + 1 > t_failAbove) {
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

namespace vostrel {
namespace {

using ipcapture::kPtzDone;
using ipcapture::kPtzNotQueued;
using ipcapture::kPtzPresetFailed;

constexpr int32_t kThrew = 12345;  // no result code has this value

// Runs the call with allocations above the limit failing; kThrew when it threw.
int32_t WithLittleMemory(std::size_t failAbove, const std::function<int32_t()>& call) {
    t_failAbove = failAbove;
    int32_t result = kThrew;
    try {
        result = call();
    } catch (...) {
    }
    t_failAbove = 0;
    return result;
}

class PtzMemory : public ::testing::Test {
  protected:
    void SetUp() override {
        driver.parameters = {{3, file.filename().string()}, {4, "1"}};
        control = handler.GetPtzApiEx(0);
        ASSERT_NE(control, nullptr);
    }
    void TearDown() override {
        handler.ReleaseControls();
        std::error_code ignored;
        std::filesystem::remove(file, ignored);
    }

    const std::filesystem::path file = std::filesystem::canonical("/proc/self/exe").parent_path() /
                                       ("ptz-memory-" + std::to_string(getpid()) + ".xml");
    testing_support::FakeDriver driver;
    CJvcPTZHandler handler{&driver, 2};
    ipcapture::IIPPTZApiEx* control = nullptr;
};

TEST_F(PtzMemory, AHugePresetNameIsRefusedWithACode) {
    const std::string huge(8u << 20, 'p');
    EXPECT_EQ(WithLittleMemory(1u << 20, [&] { return control->AddPreset(huge.c_str()); }),
              kPtzNotQueued);
    EXPECT_EQ(control->GetPresetCount(), 0);
    EXPECT_EQ(control->AddPreset(nullptr), ipcapture::kPtzInvalidArgument);  // still usable
}

TEST_F(PtzMemory, NoOperationThrowsWhenNothingCanBeAllocated) {
    char buffer[64];
    ipcapture::PtzCapabilityRecord record{};
    const std::vector<std::pair<const char*, std::function<int32_t()>>> calls = {
        {"Move", [&] { return control->Move(0, 4); }},
        {"ZoomIn", [&] { return control->ZoomIn(4); }},
        {"ZoomOut", [&] { return control->ZoomOut(4); }},
        {"FocusNear", [&] { return control->FocusNear(4); }},
        {"FocusFar", [&] { return control->FocusFar(4); }},
        {"CenterOn", [&] { return control->CenterOn(1, 2, 3); }},
        {"ResetZoom", [&] { return control->ResetZoom(4); }},
        {"StopAll", [&] { return control->StopAll(); }},
        {"AddPreset", [&] { return control->AddPreset("a preset name too long for a string"); }},
        {"GotoPreset", [&] { return control->GotoPreset(4, "a preset name too long to keep"); }},
        {"DeletePreset", [&] { return control->DeletePreset("a preset name too long to keep"); }},
        {"GetPresetName", [&] { return control->GetPresetName(0, buffer, sizeof buffer); }},
        {"GetCurrentPreset", [&] { return control->GetCurrentPreset(buffer, sizeof buffer); }},
        {"GetPresetCount", [&] { return control->GetPresetCount(); }},
        {"GetCapabilities", [&] { return control->GetCapabilities(&record); }},
        {"IsPtzSupported", [&] { return control->IsPtzSupported(); }},
    };
    for (const auto& [name, call] : calls) {
        const int32_t result = WithLittleMemory(1, call);
        EXPECT_NE(result, kThrew) << name;
        EXPECT_TRUE(result == kPtzNotQueued || result == kPtzPresetFailed || result == kPtzDone ||
                    result == 0)
            << name << " " << result;
    }
    // The motion requests could not be queued and say so.
    EXPECT_EQ(WithLittleMemory(1, [&] { return control->Move(1, 9); }), kPtzNotQueued);
    // A control for another channel cannot be made: none, and a later request gets one.
    ipcapture::IIPPTZApiEx* other = nullptr;
    EXPECT_NE(WithLittleMemory(1,
                               [&] {
                                   other = handler.GetPtzApiEx(1);
                                   return 0;
                               }),
              kThrew);
    EXPECT_EQ(other, nullptr);
    EXPECT_NE(handler.GetPtzApiEx(1), nullptr);
}

}  // namespace
}  // namespace vostrel
