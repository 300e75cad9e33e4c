#pragma once
// Whether an output the driver was asked to set really changed: the camera's own reading of
// the pin, and the driver's failure lines meanwhile. The driver takes a set at once and sends
// it on its output thread, so its answer to the call says nothing about the camera.
//
// Threads: callable from any thread; each call makes its own connections.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "camera_check.h"
#include "driver_lines.h"

namespace camhost {

// The state ("make", "break") the camera reads for an output pin (counted from 1); nullopt
// when it could not be read. Digest first; Basic, which sends the password in clear, only to
// a camera that asks for Basic.
std::optional<std::string> ReadOutputPin(const CameraAccess& camera, int pin);

// Reads the pin back every 100 ms until the camera reads `state`, a failure line comes after
// `mark`, `wait` (called between reads with the interval, true to give up: a stop) says so, or
// the time-out passes. Empty when the camera reads the state; otherwise why not, in a user's
// words.
std::string ConfirmOutput(const CameraAccess& camera, int pin, const std::string& state,
                          const FailureLines& failures, uint64_t mark,
                          std::chrono::milliseconds timeout,
                          const std::function<bool(std::chrono::milliseconds)>& wait);

}  // namespace camhost
