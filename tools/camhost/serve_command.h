#pragma once
// camhost serve: a live view of one camera through the module, as a small local web page. It
// identifies the camera with the capability query, opens a driver as a recording server does,
// and serves the page with the channel's video (MJPEG as received, MPEG-4 decoded to JPEG), the
// PTZ head and its presets, the digital pins and the driver's log lines.
#include <cstdint>
#include <string>
#include <vector>

#include "capture_options.h"
#include "capture_session.h"
#include "console.h"

namespace camhost {

struct ServeOptions {
    // The camera, the video and the simulator, as for capture (one channel).
    CaptureOptions camera;
    std::string listenHost = "127.0.0.1";
    uint16_t listenPort = 8090;                   // 0: any free port
    std::string presets = "camhost-presets.xml";  // driver parameter 3, unless --param 3=
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
