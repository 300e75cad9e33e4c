#pragma once
// Text utilities shared by the camera protocol, the driver and the video channels, and the
// process-wide table of frame-size names.
#include <cstdarg>
#include <cstdint>
#include <string>
#include <utility>

#include "core/text.h"

namespace vostrel::Utils {

// FormatString, FormatStringV, ToLower and Trim come from core/text.h.

// Copy with every character of set removed.
std::string EraseChars(const std::string& text, const std::string& set);
// True only for an optional single '+' or '-' followed by at least one decimal digit and
// nothing else, whose value fits a signed 32-bit integer; the value goes to out.
bool ParseInt(const std::string& text, int& out);
// 1000 / x rounded half up; 1 for x = 0. Turns a frame rate into a frame interval in
// milliseconds, and an interval in milliseconds into a frame rate.
unsigned FrameIntervalMs(unsigned x);

// Frame-size table: "quadvga" 1280 x 960, "vga" 640 x 480, "qvga" 320 x 240.
// (0, 0) when the name is empty or unknown; the look-up ignores letter case.
std::pair<uint16_t, uint16_t> FrameSizeFromName(const std::string& name);
// The name whose entry has exactly this size; empty when none.
std::string FrameSizeName(unsigned width, unsigned height);

}  // namespace vostrel::Utils
