#include "io_command.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>

#include "camera_setup.h"
#include "command_line.h"
#include "jvc_ipcapture/capture_io.h"
#include "module_library.h"
#include "output_check.h"
#include "reference_host.h"

namespace camhost {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace ipc = vostrel::ipcapture;

// How long a set waits for the camera to read the new state: the driver's two requests, each
// within its 5 s time-out, and some slack.
constexpr auto kSetConfirmTime = 12s;
// The simulator keeps at most this many pins of each kind.
constexpr int kSimulatorPinLimit = 15;

// The host's digital I/O callback: prints each report as it arrives (on the driver's threads)
// and keeps the last state of each input and the number of failures.
class IoReporter : public ipc::ICaptureIOCallback {
  public:
    IoReporter(Console& console, FailureLines& failures)
        : m_console(console), m_failures(failures) {}

    void OnInputChanged(uint32_t input, int32_t state) override {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_states[input] = state;
            ++m_changes;
        }
        m_console.Line(
            Format("%s  input %u  %s", TimeOfDay().c_str(), input + 1, PinStateText(state)));
    }
    void OnIOFailure() override {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_states.clear();
            ++m_failureCount;
        }
        m_failures.Add("the camera could not be reached");
        m_console.Line(TimeOfDay() +
                       "  failure: an exchange with the camera failed; every state is forgotten "
                       "and the inputs are reported anew once it answers");
    }

    int Failures() const {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_failureCount;
    }
    // "N input changes, F failures; last states: input 1 make, input 2 break"
    std::string Summary(int inputs) const {
        std::lock_guard<std::mutex> guard(m_mutex);
        std::string text =
            Format("%d input change%s, %d failure%s; last states:", m_changes,
                   m_changes == 1 ? "" : "s", m_failureCount, m_failureCount == 1 ? "" : "s");
        for (int i = 0; i < inputs; ++i) {
            auto it = m_states.find(static_cast<uint32_t>(i));
            text += Format("%s input %d %s", i == 0 ? "" : ",", i + 1,
                           it == m_states.end() || (it->second != 1 && it->second != 2)
                               ? "unknown"
                               : PinStateText(it->second));
        }
        return text;
    }

  private:
    Console& m_console;
    FailureLines& m_failures;
    mutable std::mutex m_mutex;
    std::map<uint32_t, int32_t> m_states;
    int m_changes = 0;
    int m_failureCount = 0;
};

// Flips the simulator's input pins at their times, waking for Ctrl-C, until the watch ends.
// False when interrupted.
bool WatchUntilEnd(const IoOptions& options, Console& console, StopSignal& stop,
                   camsim::CameraSimulator* simulator) {
    auto toggles = options.toggles;
    std::stable_sort(toggles.begin(), toggles.end(),
                     [](const auto& a, const auto& b) { return a.second < b.second; });
    const auto begin = Clock::now();
    auto at = [&](double seconds) {
        return begin +
               std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    };
    size_t next = 0;
    for (;;) {
        std::optional<Clock::time_point> wake;
        if (options.seconds > 0) {
            wake = at(options.seconds);
        }
        if (next < toggles.size() && (!wake || at(toggles[next].second) < *wake)) {
            wake = at(toggles[next].second);
        }
        const auto wait = wake ? std::chrono::ceil<std::chrono::milliseconds>(*wake - Clock::now())
                               : std::chrono::milliseconds(1h);
        if (stop.WaitFor(std::max(wait, 0ms))) {
            return false;
        }
        const auto now = Clock::now();
        for (; next < toggles.size() && now >= at(toggles[next].second); ++next) {
            const int pin = toggles[next].first;
            const bool make = !simulator->InputPin(pin).value_or(false);
            simulator->SetInputPin(pin, make);
            console.Line(Format("%s  simulator: input %d now reads %s", TimeOfDay().c_str(), pin,
                                make ? "make" : "break"));
        }
        if (options.seconds > 0 && now >= at(options.seconds)) {
            return true;
        }
    }
}

}  // namespace

const char* PinStateText(int32_t state, const char* none) {
    switch (state) {
        case 1:
            return "break";
        case 2:
            return "make";
        default:
            return none;
    }
}

namespace {

constexpr CameraOptionSet kIoCamera{.driver = true, .presets = false, .operands = true};

// The options of io itself; false when the option is none of them.
bool TakeIoOption(const std::string& option, ArgReader& reader, IoOptions& out,
                  bool& secondsGiven) {
    if (option == "--inputs" || option == "--outputs") {
        if (auto n = reader.Number(option, 0, 64)) {
            (option == "--inputs" ? out.inputs : out.outputs) = static_cast<int>(*n);
        }
    } else if (option == "--seconds") {
        if (auto s = reader.Seconds(option, 0, 86400 * 365)) {
            out.seconds = *s;
            secondsGiven = true;
        }
    } else if (option == "--toggle-input") {
        const auto v = reader.Value(option);
        const auto atSign = v ? v->find('@') : std::string::npos;
        auto pin =
            atSign == std::string::npos ? std::nullopt : ParseNumber(v->substr(0, atSign), 1, 64);
        auto when = pin ? ParseSeconds(v->substr(atSign + 1)) : std::nullopt;
        if (when) {
            out.toggles.emplace_back(static_cast<int>(*pin), *when);
        } else if (v) {
            reader.Fail("--toggle-input must be PIN@SECONDS, PIN 1..64 (e.g. 2@3)");
        }
    } else {
        return false;
    }
    return true;
}

// The action words: "watch", or "set PIN make|break".
std::optional<std::string> TakeAction(const std::vector<std::string>& words, IoOptions& out) {
    if (words.empty()) {
        return "an action is needed: watch, or set PIN make|break";
    }
    if (words[0] == "watch") {
        if (words.size() > 1) {
            return "unexpected \"" + words[1] + "\" after watch";
        }
        out.action = IoOptions::Action::kWatch;
        return std::nullopt;
    }
    if (words[0] != "set") {
        return "unknown io action \"" + words[0] + "\": watch or set";
    }
    if (words.size() != 3) {
        return "set needs a pin and a state: set PIN make|break";
    }
    auto pin = ParseNumber(words[1], 1, 64);
    if (!pin) {
        return "bad output pin \"" + words[1] + "\" (pins count from 1)";
    }
    if (words[2] != "make" && words[2] != "break") {
        return "bad state \"" + words[2] + "\": make or break";
    }
    out.action = IoOptions::Action::kSet;
    out.pin = static_cast<int>(*pin);
    out.make = words[2] == "make";
    return std::nullopt;
}

// What the options need of each other, besides the camera's.
std::optional<std::string> CheckCombination(const IoOptions& out, bool secondsGiven) {
    if (out.action == IoOptions::Action::kSet && secondsGiven) {
        return "--seconds is for watch";
    }
    if (out.action == IoOptions::Action::kSet && !out.toggles.empty()) {
        return "--toggle-input is for watch";
    }
    if (!out.camera.simulate && !out.toggles.empty()) {
        return "--toggle-input flips the simulator's inputs; it needs --simulate";
    }
    if (out.camera.simulate && (out.inputs.value_or(0) > kSimulatorPinLimit ||
                                out.outputs.value_or(0) > kSimulatorPinLimit)) {
        return Format("the simulator has at most %d pins of each kind", kSimulatorPinLimit);
    }
    for (const auto& [pin, when] : out.toggles) {
        if (out.seconds > 0 && when >= out.seconds) {
            return Format("--toggle-input %d@%g comes after the watch ends (--seconds %g)", pin,
                          when, out.seconds);
        }
    }
    return std::nullopt;
}

}  // namespace

ParseOutcome ParseIoArgs(const std::vector<std::string>& args, IoOptions& out) {
    bool secondsGiven = false;
    std::vector<std::string> words;  // the action and its operands
    ArgReader reader(args);
    while (!reader.Done()) {
        const std::string option = reader.Next();
        if (IsHelp(option)) {
            return {ParseOutcome::kHelp, {}};
        }
        if (option.rfind("--", 0) != 0) {
            words.push_back(option);
        } else if (!TakeCameraOption(option, reader, kIoCamera, out.camera) &&
                   !TakeIoOption(option, reader, out, secondsGiven)) {
            reader.Unknown(option);
        }
    }
    if (reader.Failed()) {
        return reader.Outcome();
    }
    if (ParseOutcome finished = FinishCameraOptions(out.camera);
        finished.status != ParseOutcome::kRun) {
        return finished;
    }
    std::optional<std::string> problem = TakeAction(words, out);
    if (!problem) {
        problem = CheckCombination(out, secondsGiven);
    }
    return problem ? UsageError(*problem) : ParseOutcome{};
}

std::string CheckPins(const IoOptions& options, int inputs, int outputs) {
    auto count = [](int n, const char* what) {
        return Format("%d %s%s", n, what, n == 1 ? "" : "s");
    };
    if (options.action == IoOptions::Action::kWatch && inputs == 0) {
        return "watch needs at least one input (--inputs)";
    }
    if (options.action == IoOptions::Action::kSet && options.pin > outputs) {
        return Format("output %d is beyond the camera's %s (--outputs)", options.pin,
                      count(outputs, "output").c_str());
    }
    for (const auto& [pin, when] : options.toggles) {
        if (pin > inputs) {
            return Format("--toggle-input %d: the camera has %s", pin,
                          count(inputs, "input").c_str());
        }
    }
    return {};
}

std::string IoUsageText() {
    return "usage: camhost io --address A [camera options] [--inputs N] [--outputs N] watch\n"
           "                  [--seconds S]\n"
           "       camhost io --address A [camera options] set PIN make|break\n"
           "       camhost io --simulate [PROFILE] [--toggle-input PIN@SECONDS]... watch|set ...\n"
           "\n"
           "Drives the camera's digital pins through the driver module. Pins count from 1, as\n"
           "the camera counts them.\n"
           "Warning: starting the driver's digital I/O, which both actions do, drives EVERY\n"
           "output to break first: a relay that is on (a door, a siren) switches off, and\n"
           "\"set 1 make\" on an output at make pulses it (break, then make).\n"
           "  watch                  prints each input change as the driver reports it (it\n"
           "                         reads every input every 2 s) and each failure\n"
           "  set PIN make|break     drives one output and reads the pin back from the camera\n"
           "                         to confirm it\n"
           "\n"
           "Digital I/O:\n"
           "  --seconds S            how long a watch lasts (default: until Ctrl-C)\n"
           "  --inputs N, --outputs N  the pin counts the driver is told, 0..64 (default: the\n"
           "                         camera's)\n"
           "  --toggle-input PIN@S   the simulator flips input PIN S seconds into a watch\n"
           "                         (repeatable; with --simulate)\n" +
           CameraUsageText(kIoCamera) +
           "\n"
           "Exit status: 0 done (watch: without a failure), 1 failed, 2 usage error.\n";
}

namespace {

// A watch: prints the reports until --seconds or Ctrl-C, then the summary; 0 without failures.
int Watch(const IoOptions& options, Console& console, StopSignal& stop, ipc::ICaptureIOApi* io,
          IoReporter& reporter, camsim::CameraSimulator* simulator, int inputs) {
    console.Line(options.seconds > 0
                     ? Format("watching the inputs for %g s (Ctrl-C stops)", options.seconds)
                     : std::string("watching the inputs until Ctrl-C"));
    if (!WatchUntilEnd(options, console, stop, simulator)) {
        console.Line("camhost: interrupted");
    }
    io->Stop();
    console.Line(reporter.Summary(inputs));
    return reporter.Failures() == 0 ? 0 : 1;
}

// A set: asks the driver for the change, then reads the pin back until the camera reads the
// new state, the driver reports a failure, the time is up or Ctrl-C.
int SetOutput(const IoOptions& options, Console& console, StopSignal& stop, ipc::ICaptureIOApi* io,
              const FailureLines& failures, const ReadyCamera& camera) {
    const char* word = options.make ? "make" : "break";
    // Start may have reported failures or refusals already; only new ones answer the set.
    const uint64_t mark = failures.Mark();
    console.Line(Format("setting output %d to %s", options.pin, word));
    if (!io->SetOutput(static_cast<uint32_t>(options.pin - 1), options.make ? 2 : 1)) {
        return Fail(console,
                    "the driver did not take the request (its output thread does not run)");
    }
    const std::string problem = ConfirmOutput(
        CameraAccess{camera.address, camera.port, camera.user, camera.password}, options.pin, word,
        failures, mark, kSetConfirmTime, [&stop](auto interval) { return stop.WaitFor(interval); });
    if (!problem.empty()) {
        return Fail(console,
                    "setting output " + std::to_string(options.pin) + " failed: " + problem);
    }
    console.Line(Format("output %d is %s (the camera reads %s)", options.pin, word, word));
    return 0;
}

// Registers the reporter and starts the driver's digital I/O; the error, or empty.
std::string StartIo(ipc::ICaptureIOApi* io, IoReporter& reporter, Console& console,
                    const ReadyCamera& camera, int inputs, int outputs) {
    if (io == nullptr || !io->SetCallback(&reporter)) {
        return "the driver has no digital I/O object";
    }
    console.Line(Format(
        "%s:%u (model %s, %d input%s, %d output%s): starting the digital I/O: it reads every "
        "input and sets EVERY output to break",
        camera.address.c_str(), static_cast<unsigned>(camera.port), camera.model.c_str(), inputs,
        inputs == 1 ? "" : "s", outputs, outputs == 1 ? "" : "s"));
    if (!io->Start()) {
        io->Stop();
        return "the driver's digital I/O threads did not start";
    }
    return {};
}

}  // namespace

int RunIo(const IoOptions& options, Console& console, StopSignal& stop,
          const std::string& defaultModule) {
    auto fail = [&console](const std::string& text) { return Fail(console, text); };
    // 1. The camera and what it has.
    SetUpRequest request;
    request.console = &console;
    request.simInputPins = options.inputs.value_or(-1);
    request.simOutputPins = options.outputs.value_or(-1);
    request.simJpegRingSize = 1;  // no video here: one picture per size keeps the start quick
    const ReadyCamera camera = SetUpCamera(options.camera, request, defaultModule, &stop);
    if (!camera.error.empty()) {
        return fail(camera.error);
    }
    const int inputs = options.inputs.value_or(camera.inputs);
    const int outputs = options.outputs.value_or(camera.outputs);
    if (const std::string problem = CheckPins(options, inputs, outputs); !problem.empty()) {
        console.Line("camhost: " + problem);
        return 2;
    }

    // 2. The driver, as a recording server opens it, and its digital I/O.
    host::LogSink log;
    FailureLines failures;
    EchoDriverLog(log, console, &failures, nullptr);
    host::FrameFactory factory;
    host::DeviceSettings settings = camera.DeviceSettings();
    settings.inputCount = inputs;
    settings.outputCount = outputs;
    host::DeviceConfig config(settings);
    IoReporter reporter(console, failures);
    DriverObject driver(*camera.module, true);
    if (driver.get() == nullptr) {
        return fail("the module made no driver object");
    }
    if (!driver->Open(&log, &factory, &config)) {
        return fail("the driver did not open (see its log lines above)");
    }
    ipc::ICaptureIOApi* io = driver->GetCaptureIO();
    if (const std::string error = StartIo(io, reporter, console, camera, inputs, outputs);
        !error.empty()) {
        return fail(error);
    }

    // 3. The action.
    if (options.action == IoOptions::Action::kWatch) {
        return Watch(options, console, stop, io, reporter, camera.simulator.get(), inputs);
    }
    const int status = SetOutput(options, console, stop, io, failures, camera);
    io->Stop();
    return status;
}

}  // namespace camhost
