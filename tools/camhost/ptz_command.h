#pragma once
// camhost ptz: drives a camera's PTZ head and its named presets through the module, as a
// recording server does: the driver's PTZ handler, the channel's control, the preset file.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "camera_simulator.h"
#include "capture_options.h"
#include "console.h"

namespace camhost {

struct PtzOptions {
    std::string address;
    std::optional<uint16_t> port;
    std::string user;
    std::string password;
    std::string model;
    unsigned channel = 0;                         // counted from 0
    std::string presets = "camhost-presets.xml";  // driver parameter 3
    std::string module_path;
    int speed = 8;       // the host's 1..16
    double seconds = 1;  // how long a move, zoom or focus lasts before its stop
    bool simulate = false;
    std::string sim_profile = "VN-V686";
    camsim::AuthMode sim_auth = camsim::AuthMode::kNone;
    std::string sim_user = "admin";
    std::string sim_password = "jvc";
    // The action and its words: "move left", "preset add Gate", "center 320 240", ...
    std::vector<std::string> action;
};

// The directions of a move, in the order of the host interface's direction numbers.
const std::vector<std::string>& PtzDirections();
// A PTZ call's result code in words ("done", "no such preset, or the camera refused it", ...).
const char* PtzResultName(int32_t code);

ParseOutcome ParsePtzArgs(const std::vector<std::string>& args, PtzOptions& out);
std::string PtzUsageText();

// Runs the action; 0 when it was done, 1 when the camera or the driver refused it.
int RunPtz(const PtzOptions& options, Console& console, const std::string& defaultModule);

}  // namespace camhost
