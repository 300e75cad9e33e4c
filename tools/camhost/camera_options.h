#pragma once
// The options every camhost command shares to name its camera: where it is and the account
// (address, port, user, password), the model and driver parameters, the preset file, the
// module, and the camera simulator to start in-process instead. Each command's parser offers
// every option to TakeCameraOption before its own, then calls FinishCameraOptions once all are
// read; SetUpCamera (camera_setup.h) turns the options into a camera and a loaded module.
//
// The password comes from one source: --password on the command line, or the first line of
// --password-file FILE (giving both is a usage error), else the environment variable
// CAMHOST_PASSWORD; none of them: no password. The command line is seen by every user of the
// machine (ps), the file and the environment are not.
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "camera_simulator.h"
#include "command_line.h"

namespace camhost {

// The environment variable that holds the password when no option gives one.
inline constexpr const char* kPasswordVariable = "CAMHOST_PASSWORD";

// Which of the shared options a command takes besides those of every command (--address,
// --port, --user, --password, --password-file, --module, --simulate and --sim-*).
struct CameraOptionSet {
    bool driver = true;     // --model and --param: the command opens a driver
    bool presets = false;   // --presets: the command works with the driver's presets
    bool operands = false;  // words follow the options (ptz's and io's actions): --simulate
                            // then takes the next word only when it names a known profile
};

struct CameraOptions {
    // The camera. With simulate, the address and port are the simulator's.
    std::string address;
    std::optional<uint16_t> port;  // 80 when not given
    std::string user;
    std::string password;               // after FinishCameraOptions: from whichever source gave it
    bool password_given = false;        // --password was on the command line (maybe empty)
    std::string password_file;          // --password-file
    std::string model;                  // empty: the capability query identifies the camera
    std::map<int, std::string> params;  // --param N=TEXT, over what the query or model gives
    std::string presets;      // --presets, absolute after FinishCameraOptions; empty: the default
    std::string module_path;  // empty: the module built or installed with camhost

    // The camera simulator, started in-process on loopback.
    bool simulate = false;
    std::string sim_profile = "VN-V686";
    camsim::AuthMode sim_auth = camsim::AuthMode::kNone;
    std::string sim_user = "admin";
    std::string sim_password = "jvc";
    std::string sim_option;  // the first --sim-* option given, for the check that needs --simulate
};

// Takes `option` (just read from reader, its value after it) when it is a shared option of
// the set; false when it is not one. A bad value is recorded in reader.
bool TakeCameraOption(const std::string& option, ArgReader& reader, const CameraOptionSet& set,
                      CameraOptions& out);

// Once every option is read: checks what they need of each other (an address or --simulate,
// not both), makes --presets absolute (relative to the current folder), and takes the password
// from its source. kRun, or the usage error.
ParseOutcome FinishCameraOptions(CameraOptions& options);

// The password in a file: its first line, without its line end ("\n", "\r\n"); nullopt with
// `error` set ("cannot read the password file F: Permission denied") when it cannot be read.
std::optional<std::string> ReadPasswordFile(const std::string& path, std::string& error);

// The help paragraph of the shared options of the set.
std::string CameraUsageText(const CameraOptionSet& set);

}  // namespace camhost
