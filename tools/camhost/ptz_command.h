#pragma once
// camhost ptz: drives a camera's PTZ head and its named presets through the module, as a
// recording server does: the driver's PTZ handler, the channel's control, the preset file
// (by default one per camera in the user's state folder, see camera_setup.h).
#include <cstdint>
#include <string>
#include <vector>

#include "camera_options.h"
#include "command_line.h"
#include "console.h"
#include "stop_signal.h"

namespace camhost {

struct PtzOptions {
    CameraOptions camera;  // the camera, its model, parameters and preset file
    unsigned channel = 0;  // counted from 0
    int speed = 8;         // the host's 1..16
    double seconds = 1;    // how long a move, zoom or focus lasts before its stop
    // The action and its words: "move left", "preset add Gate", "center 320 240", ...
    std::vector<std::string> action;
};

// The directions of a move, in the order of the host interface's direction numbers.
const std::vector<std::string>& PtzDirections();
// A PTZ call's result code in words ("done", "no such preset, or the camera refused it", ...),
// for when the driver logged nothing that says more.
std::string PtzResultName(int32_t code);

ParseOutcome ParsePtzArgs(const std::vector<std::string>& args, PtzOptions& out);
std::string PtzUsageText();

// Runs the action; 0 when it was done, 1 when the camera or the driver refused it. A failure
// is said in words: the driver's failure line in a user's words (driver_lines.h) where it
// logged one, otherwise what its result code means, followed by the code.
int RunPtz(const PtzOptions& options, Console& console, StopSignal& stop,
           const std::string& defaultModule);

}  // namespace camhost
