#pragma once
// camhost io: the driver module's digital I/O from the command line. "watch" prints every
// input change the driver reports (and every failure) as it comes; "set PIN make|break"
// drives one output and confirms it by reading the pin back from the camera. Pins are counted
// as the camera counts them, from 1 (the driver's index + 1); their counts are the camera's
// (from the capability query, or the model's), unless --inputs and --outputs say otherwise.
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "camera_options.h"
#include "command_line.h"
#include "console.h"
#include "stop_signal.h"

namespace camhost {

struct IoOptions {
    enum class Action { kNone, kWatch, kSet };

    CameraOptions camera;       // the camera, its model and parameters, or the simulator
    std::optional<int> inputs;  // the host's pin counts; by default the camera's
    std::optional<int> outputs;
    // --toggle-input PIN@SECONDS: the simulator's input PIN flips SECONDS into the watch.
    std::vector<std::pair<int, double>> toggles;

    Action action = Action::kNone;
    double seconds = 0;  // watch: how long; 0 until Ctrl-C
    int pin = 0;         // set: the camera's output pin, from 1
    bool make = false;   // set: make, else break
};

// A pin state of the host interface in words: 1 "break", 2 "make", otherwise `none`.
const char* PinStateText(int32_t state,
                         const char* none = "no state (the camera's answer held none)");

ParseOutcome ParseIoArgs(const std::vector<std::string>& args, IoOptions& out);
std::string IoUsageText();

// What is wrong with the pins the options name, once the camera's counts are known (--inputs,
// --outputs, else the camera's): a watch without inputs, an output or a toggled input beyond
// the count. Empty when nothing is.
std::string CheckPins(const IoOptions& options, int inputs, int outputs);

// Runs a parsed io command to its end; returns the exit status (0 done, 1 failed).
int RunIo(const IoOptions& options, Console& console, StopSignal& stop,
          const std::string& defaultModule);

}  // namespace camhost
