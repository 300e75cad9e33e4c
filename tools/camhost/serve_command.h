#pragma once
// camhost serve: a live view of one camera through the module, as a small local web page. It
// sets up the camera (camera_setup.h: the capability query unless --model names it; a camera
// it does not identify is still opened, without PTZ), opens a driver as a recording server does,
// and serves the page with the channel's video (MJPEG as received, MPEG-4 decoded to JPEG), the
// PTZ head and its presets, the digital pins and the driver's log lines.
#include <cstdint>
#include <string>
#include <vector>

#include "camera_options.h"
#include "command_line.h"
#include "console.h"
#include "stop_signal.h"
#include "video_options.h"

namespace camhost {

struct ServeOptions {
    CameraOptions camera;  // the camera, its model, parameters and preset file, or the simulator
    VideoOptions video;    // of channel 0
    std::string listenHost = "127.0.0.1";
    uint16_t listenPort = 8090;  // 0: any free port
    // Start the digital I/O at once (--io), which drives every output to break; otherwise
    // only when a viewer asks for it.
    bool io = false;
};

ParseOutcome ParseServeArgs(const std::vector<std::string>& args, ServeOptions& out);
std::string ServeUsageText();

// "HOST:PORT" (or ":PORT", or "[v6]:PORT"); false when it is not one.
bool ParseListenAddress(const std::string& text, std::string& host, uint16_t& port);
// Whether the address reaches only this machine (127.0.0.0/8, ::1, localhost).
bool IsLoopbackAddress(const std::string& host);

// Serves until Ctrl-C or SIGTERM; 0 after a clean stop, 1 when it could not start.
int RunServe(const ServeOptions& options, Console& console, StopSignal& stop,
             const std::string& defaultModule);

}  // namespace camhost
