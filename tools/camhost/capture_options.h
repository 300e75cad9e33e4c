#pragma once
// camhost's capture and demo commands: their options and help.
#include <string>
#include <vector>

#include "camera_options.h"
#include "command_line.h"
#include "video_options.h"

namespace camhost {

struct CaptureOptions {
    CameraOptions camera;  // the camera, its model and parameters, or the simulator
    VideoOptions video;
    unsigned channels = 1;
    // Seconds of video, counted from the first frame; 0 runs until Ctrl-C.
    double seconds = 5;
    // Seconds to wait for the first frame before giving up.
    double connect_timeout = 15;
    std::string out_dir = "capture-out";
};

struct DemoOptions {
    double seconds = 5;  // per stream type, counted from the first frame
    std::string out_dir = "demo-out";
    std::string module_path;
};

// args exclude the program and command names.
ParseOutcome ParseCaptureArgs(const std::vector<std::string>& args, CaptureOptions& out);
ParseOutcome ParseDemoArgs(const std::vector<std::string>& args, DemoOptions& out);

// The help of each command.
std::string CaptureUsageText();
std::string DemoUsageText();

}  // namespace camhost
