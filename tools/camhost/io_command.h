#pragma once
// camhost io: the driver module's digital I/O from the command line. "watch" prints every
// input change the driver reports (and every failure) as it comes; "set PIN make|break"
// drives one output and confirms it by reading the pin back from the camera. Pins are counted
// as the camera counts them, from 1 (the driver's index + 1).
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "camera_simulator.h"
#include "capture_options.h"
#include "capture_session.h"
#include "console.h"

namespace camhost {

struct IoOptions {
    enum class Action { kNone, kWatch, kSet };

    // The camera. With simulate the address and port are the simulator's.
    std::string address;
    std::optional<uint16_t> port;  // 80 when not given
    std::string user;
    std::string password;
    std::string model;          // empty: the simulated profile, or VN-V686
    std::optional<int> inputs;  // the host's pin counts; by default the model's
    std::optional<int> outputs;
    std::string module_path;

    bool simulate = false;
    std::string sim_profile = "VN-V686";
    camsim::AuthMode sim_auth = camsim::AuthMode::kNone;
    std::string sim_user = "admin";
    std::string sim_password = "jvc";
    // --toggle-input PIN@SECONDS: the simulator's input PIN flips SECONDS into the watch.
    std::vector<std::pair<int, double>> toggles;

    Action action = Action::kNone;
    double seconds = 0;  // watch: how long; 0 until Ctrl-C
    int pin = 0;         // set: the camera's output pin, from 1
    bool make = false;   // set: make, else break

    std::string EffectiveModel() const;
    // The counts the driver is told: --inputs/--outputs, else the known model's (1 each for a
    // model the simulator does not know).
    int EffectiveInputs() const;
    int EffectiveOutputs() const;
};

// A pin state of the host interface in words: 1 "break", 2 "make", otherwise `none`.
const char* PinStateText(int32_t state,
                         const char* none = "no state (the camera's answer held none)");

ParseOutcome ParseIoArgs(const std::vector<std::string>& args, IoOptions& out);
std::string IoUsageText();

// Runs a parsed io command to its end; returns the exit status (0 done, 1 failed).
int RunIo(const IoOptions& options, Console& console, StopSignal& stop,
          const std::string& defaultModule);

}  // namespace camhost
