#pragma once
// camhost's command line: the capture and demo commands and their options.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "camera_simulator.h"

namespace camhost {

enum class StreamKind { kMjpeg = 1, kMpeg4 = 2 };  // the values are the driver's stream types

const char* StreamName(StreamKind kind);  // "MJPEG", "MPEG-4"

struct CaptureOptions {
    // The camera. With simulate the address and port are the simulator's.
    std::string address;
    std::optional<uint16_t> port;  // 80 when not given
    std::string user;
    std::string password;
    std::string model;  // empty: the simulated profile, or VN-V686
    StreamKind stream = StreamKind::kMjpeg;
    unsigned width = 640;
    unsigned height = 480;
    unsigned fps = 10;  // 0: the camera's own rate
    unsigned quality = 50;
    unsigned channels = 1;
    // Seconds of video, counted from the first frame; 0 runs until Ctrl-C.
    double seconds = 5;
    // Seconds to wait for the first frame before giving up.
    double connect_timeout = 15;
    std::string out_dir = "capture-out";
    std::map<int, std::string> params;  // --param N=TEXT, over the defaults
    std::string module_path;            // empty: the module built with camhost

    // The camera simulator, started in-process on loopback.
    bool simulate = false;
    std::string sim_profile = "VN-V686";
    camsim::AuthMode sim_auth = camsim::AuthMode::kNone;
    std::string sim_user = "admin";
    std::string sim_password = "jvc";

    // The model the driver is told: --model, or the simulated profile, or VN-V686.
    std::string EffectiveModel() const;
    // The driver parameters 1..N without gaps: 1 video standard ("0"), 2 camera family ("1"
    // for VN-V models, "2" for VN-X), then --param values; a gap reads "(none)", which the
    // driver takes as not set.
    std::map<int, std::string> DriverParameters() const;
};

struct DemoOptions {
    double seconds = 5;  // per stream type, counted from the first frame
    std::string out_dir = "demo-out";
    std::string module_path;
};

struct ParseOutcome {
    enum Status { kRun, kHelp, kUsageError } status = kRun;
    std::string error;  // for kUsageError
};

// args exclude the program and command names.
// command names the command in messages ("serve needs --address").
ParseOutcome ParseCaptureArgs(const std::vector<std::string>& args, CaptureOptions& out,
                              const std::string& command = "capture");
ParseOutcome ParseDemoArgs(const std::vector<std::string>& args, DemoOptions& out);

std::string UsageText();

// "640x480" -> {640, 480}; nullopt unless both are 16 .. 4096.
std::optional<std::pair<unsigned, unsigned>> ParseSize(const std::string& text);

}  // namespace camhost
