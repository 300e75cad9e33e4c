#include "output_check.h"

#include <cstdio>
#include <thread>

namespace camhost {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kReadBackInterval = 100ms;
constexpr auto kReadTimeout = 3s;

}  // namespace

std::optional<std::string> ReadOutputPin(const CameraAccess& camera, int pin) {
    char name[64];
    std::snprintf(name, sizeof name, "peripheral.output_pin.pin(%d).status", pin);
    const ParamReply answer = ReadParameters(camera, name, kReadTimeout);
    if (answer.status != 200) {
        return std::nullopt;
    }
    return DataLineValue(answer.body, name);
}

std::string ConfirmOutput(const CameraAccess& camera, int pin, const std::string& state,
                          const FailureLines& failures, uint64_t mark,
                          std::chrono::milliseconds timeout,
                          const std::function<bool(std::chrono::milliseconds)>& wait) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto failure = failures.Since(mark)) {
            return *failure;
        }
        const auto reads = ReadOutputPin(camera, pin);
        if (reads == state) {
            return {};
        }
        if (Clock::now() >= deadline) {
            const std::string now = reads ? "\"" + *reads + "\"" : "nothing";
            return "no confirmation within " +
                   std::to_string(
                       std::chrono::duration_cast<std::chrono::seconds>(timeout).count()) +
                   " s: the camera reads " + now;
        }
        if (wait(kReadBackInterval)) {
            return "interrupted";
        }
    }
}

}  // namespace camhost
