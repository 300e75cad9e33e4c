#pragma once
// The camera a camhost command works with, set up the same way for every command:
//   1. the camera simulator started in-process when --simulate asks for it (its line printed);
//   2. the camera checked to take a TCP connection (a driver would only retry);
//   3. the driver module loaded, once, as a recording server loads it;
//   4. the camera identified with the module's capability query, unless --model names it;
//      when the query fails, camhost's own read of the camera's model (camera_check.h) tells
//      a refused login, a server that is not a camera and a camera that does not answer apart;
//   5. what a driver is then opened with: the model, the pin counts, the PTZ head, the preset
//      file's absolute path and driver parameters 1..N without gaps.
//
// Driver parameters: those the capability query gives (1 video standard, 2 camera family,
// 3 preset file, 4 centre command, 5 firmware); with --model, 1 "0", 2 the model's family ("2"
// for a VN-X model, else "1") and 4 "1". Parameter 3 is then the preset file's absolute path,
// and --param N=TEXT goes over all of them. A gap reads "(none)", which the driver takes as
// not set (it reads parameters 1, 2, ... up to the first one missing).
//
// The preset file: --presets (made absolute by FinishCameraOptions), else in the user's state
// folder, $XDG_STATE_HOME/camhost/ (when that is an absolute path) or ~/.local/state/camhost/,
// the file the capability query names (driver parameter 3, made from the camera's MAC address),
// or "camhost-ADDRESS-PORT.preset" when it names none (no PTZ head, or --model). The folder is
// created (mode 0700) for the commands that keep presets, when the camera has a head; a folder
// that cannot be made is a warning, since the driver moves the head without its preset file.
//
// A command's use of it:
//
//     SetUpRequest request;
//     request.console = &console;     // the simulator's line, warnings
//     request.keepsPresets = true;    // a command that adds presets
//     const ReadyCamera camera = SetUpCamera(options.camera, request, defaultModule, &stop);
//     if (!camera.error.empty()) { ... "camhost: " + camera.error, exit status 1 ... }
//     host::DeviceSettings settings = camera.DeviceSettings();  // + streamType, cameraCount
//     host::DeviceConfig config(settings);
//     DriverObject driver(*camera.module);  // the module stays loaded while camera lives
//     driver->Open(&log, &factory, &config);
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "camera_options.h"
#include "camera_simulator.h"
#include "capability_query.h"
#include "console.h"
#include "module_library.h"
#include "reference_host.h"
#include "stop_signal.h"

namespace camhost {

// What a command needs of the set-up besides its options.
struct SetUpRequest {
    // Where the simulator's line and warnings go; null: nowhere (query keeps its output to
    // the table or JSON).
    Console* console = nullptr;
    bool keepsPresets = false;      // create the preset file's folder (ptz, serve) for a head
    bool goOnUnidentified = false;  // a failed query is kept in queryError and the camera set up
                                    // from the defaults, without a PTZ head, instead of failing
                                    // (serve)
    bool modelOption = true;        // the command takes --model (a failed query's message says so)
    bool videoStandard = false;     // the capability query's video standard option
    double queryTimeout = 30;       // seconds
    // The simulator: its pin counts (-1: the profile's) and pictures per size (fewer start
    // quicker where no video is needed).
    int simInputPins = -1;
    int simOutputPins = -1;
    unsigned simJpegRingSize = 30;
};

struct ReadyCamera {
    std::string error;  // why there is no camera to work with; empty when there is
    FailureCause cause = FailureCause::kOther;           // what kind of failure the error is
    std::unique_ptr<camsim::CameraSimulator> simulator;  // with --simulate
    std::string address;
    uint16_t port = 80;
    std::string user;
    std::string password;
    std::unique_ptr<ModuleLibrary> module;     // loaded
    std::optional<Identification> identified;  // the capability query's findings, when it ran
    std::string queryError;                    // why it failed (with goOnUnidentified)
    std::string model;  // --model, or the identified model, or the simulated one, or VN-V686
    int inputs = 1;
    int outputs = 1;
    bool ptz = false;
    std::string presetFile;  // absolute; empty when no folder for it is known
    std::map<int, std::string> parameters;

    // The host's device settings for a driver: address, port, account, model, pin counts and
    // parameters (streamType and cameraCount are the command's).
    host::DeviceSettings DeviceSettings() const;
};

// Sets up the camera of the options (see the header's comment). On failure error says why,
// in words a person can act on; stop (may be null) interrupts the capability query.
ReadyCamera SetUpCamera(const CameraOptions& options, const SetUpRequest& request,
                        const std::string& defaultModule, StopSignal* stop);

// The folder of camhost's preset files: $XDG_STATE_HOME/camhost when XDG_STATE_HOME is an
// absolute path, else HOME's .local/state/camhost; empty when there is no home folder.
std::string PresetFolder();

// The preset file's name in that folder: the name the query gives (only its safe characters
// kept), else "camhost-ADDRESS-PORT.preset".
std::string PresetFileName(const std::string& queryName, const std::string& address, uint16_t port);

// Driver parameters 1..N (see the header's comment). identified is null without a query.
std::map<int, std::string> DriverParameters(const Identification* identified,
                                            const std::string& model, const std::string& presetFile,
                                            const std::map<int, std::string>& overrides);

// The line that tells a person which simulator runs and where.
std::string SimulatorLine(const camsim::CameraSimulator& simulator);

}  // namespace camhost
