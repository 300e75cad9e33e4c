#pragma once
// Small helpers every camhost command shares: formatting, option values, and the camera a
// command talks to — the simulator started in-process when asked, or the one named — checked
// to be reachable before the module is loaded.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "camera_simulator.h"
#include "capture_options.h"
#include "console.h"

namespace camhost {

// printf into a string of any length.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Upper(std::string text);
// A whole decimal number within [low, high]; nullopt otherwise.
std::optional<long> ParseNumber(const std::string& text, long low, long high);
// Seconds from 0 to a year, fractions allowed.
std::optional<double> ParseSeconds(const std::string& text);
ParseOutcome UsageError(std::string text);
// The local time of day with milliseconds, "14:03:07.412".
std::string TimeOfDay();
// The text as a JSON string, quotes included.
std::string Json(const std::string& text);

// Takes an option every command shares: the camera's address, port and credentials, the
// model (where the command has one), the module, and the simulator's credentials. False when
// the option is none of them; error is set when its value is bad.
template <class Options>
bool TakeSharedOption(const std::string& option, const std::string& value, Options& out,
                      std::optional<ParseOutcome>& error) {
    if constexpr (requires { out.model; }) {
        if (option == "--model") {
            out.model = value;
            return true;
        }
    }
    if (option == "--address") {
        out.address = value;
    } else if (option == "--port") {
        if (auto port = ParseNumber(value, 1, 65535)) {
            out.port = static_cast<uint16_t>(*port);
        } else {
            error = UsageError("bad value for --port: \"" + value + "\"");
        }
    } else if (option == "--user") {
        out.user = value;
    } else if (option == "--password") {
        out.password = value;
    } else if (option == "--module") {
        out.module_path = value;
    } else if (option == "--sim-user") {
        out.sim_user = value;
    } else if (option == "--sim-password") {
        out.sim_password = value;
    } else {
        return false;
    }
    return true;
}

// Prints "camhost: TEXT" and gives 1, the exit status of a command that failed.
int Fail(Console& console, const std::string& text);

// The level names of the driver's log lines.
const char* LevelName(int level);

// The simulator to start instead of a camera, as --simulate and the --sim-* options ask.
struct SimulatorChoice {
    bool simulate = false;
    std::string profile = "VN-V686";
    camsim::AuthMode auth = camsim::AuthMode::kNone;
    std::string user = "admin";
    std::string password = "jvc";
    int inputPins = -1;  // -1: the profile's
    int outputPins = -1;
    unsigned jpegRingSize = 30;  // fewer pictures start quicker where no video is needed
};

// The simulator choice of a command's options (every command names these fields alike).
template <class Options>
SimulatorChoice SimulatorChoiceOf(const Options& options) {
    SimulatorChoice choice;
    choice.simulate = options.simulate;
    choice.profile = options.sim_profile;
    choice.auth = options.sim_auth;
    choice.user = options.sim_user;
    choice.password = options.sim_password;
    return choice;
}

// The line that tells a person which simulator runs and where.
std::string SimulatorLine(const camsim::CameraSimulator& simulator);

// The camera a command talks to. With a simulator, address and port are its own.
struct CameraEndpoint {
    std::unique_ptr<camsim::CameraSimulator> simulator;
    std::string address;
    uint16_t port = 80;
    std::string error;  // why there is no camera to talk to; empty when there is
};

// Starts the simulator when chosen, then checks that a TCP connection can be made. With a
// console, the simulator's line (SimulatorLine) is printed once it runs.
CameraEndpoint ReachCamera(const SimulatorChoice& choice, const std::string& address,
                           std::optional<uint16_t> port, Console* console = nullptr);

}  // namespace camhost
