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

std::string IoOptions::EffectiveModel() const {
    if (!model.empty()) {
        return model;
    }
    return simulate ? Upper(sim_profile) : "VN-V686";
}

int IoOptions::EffectiveInputs() const {
    if (inputs) {
        return *inputs;
    }
    const auto profile = camsim::FindProfile(simulate ? sim_profile : EffectiveModel());
    return profile ? profile->input_pins : 1;
}

int IoOptions::EffectiveOutputs() const {
    if (outputs) {
        return *outputs;
    }
    const auto profile = camsim::FindProfile(simulate ? sim_profile : EffectiveModel());
    return profile ? profile->output_pins : 1;
}

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

ParseOutcome ParseIoArgs(const std::vector<std::string>& args, IoOptions& out) {
    bool simAuthGiven = false;
    bool secondsGiven = false;
    std::vector<std::string> words;  // the action and its operands
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (option == "--help" || option == "-h") {
            return {ParseOutcome::kHelp, {}};
        }
        if (option.rfind("--", 0) != 0) {
            words.push_back(option);
            continue;
        }
        if (option == "--simulate") {
            out.simulate = true;
            if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0 && args[i + 1] != "watch" &&
                args[i + 1] != "set") {
                const std::string& profile = args[++i];
                if (!camsim::FindProfile(profile)) {
                    return UsageError("unknown camera profile \"" + profile + "\"");
                }
                out.sim_profile = profile;
            }
            continue;
        }
        static const std::vector<std::string> kWithValue = {
            "--address",  "--port",     "--user",        "--password", "--model",
            "--inputs",   "--outputs",  "--module",      "--seconds",  "--toggle-input",
            "--sim-auth", "--sim-user", "--sim-password"};
        if (std::find(kWithValue.begin(), kWithValue.end(), option) == kWithValue.end()) {
            return UsageError("unknown option \"" + option + "\"");
        }
        if (i + 1 >= args.size()) {
            return UsageError(option + " needs a value");
        }
        const std::string& v = args[++i];
        auto bad = [&] { return UsageError("bad value for " + option + ": \"" + v + "\""); };
        std::optional<ParseOutcome> sharedError;
        if (TakeSharedOption(option, v, out, sharedError)) {
            if (sharedError) {
                return *sharedError;
            }
            continue;
        }
        if (option == "--inputs" || option == "--outputs") {
            auto n = ParseNumber(v, 0, 64);
            if (!n) {
                return bad();
            }
            (option == "--inputs" ? out.inputs : out.outputs) = static_cast<int>(*n);
        } else if (option == "--seconds") {
            auto s = ParseSeconds(v);
            if (!s) {
                return bad();
            }
            out.seconds = *s;
            secondsGiven = true;
        } else if (option == "--toggle-input") {
            const auto atSign = v.find('@');
            auto pin = atSign == std::string::npos ? std::nullopt
                                                   : ParseNumber(v.substr(0, atSign), 1, 64);
            auto when = pin ? ParseSeconds(v.substr(atSign + 1)) : std::nullopt;
            if (!when) {
                return bad();
            }
            out.toggles.emplace_back(static_cast<int>(*pin), *when);
        } else if (option == "--sim-auth") {
            auto mode = camsim::ParseAuthMode(v);
            if (!mode) {
                return bad();
            }
            out.sim_auth = *mode;
            simAuthGiven = true;
        }
    }

    // The action.
    if (words.empty()) {
        return UsageError("io needs an action: watch, or set PIN make|break");
    }
    if (words[0] == "watch") {
        if (words.size() > 1) {
            return UsageError("unexpected \"" + words[1] + "\" after watch");
        }
        out.action = IoOptions::Action::kWatch;
    } else if (words[0] == "set") {
        if (words.size() != 3) {
            return UsageError("set needs a pin and a state: set PIN make|break");
        }
        auto pin = ParseNumber(words[1], 1, 64);
        if (!pin) {
            return UsageError("bad output pin \"" + words[1] + "\" (pins count from 1)");
        }
        if (words[2] != "make" && words[2] != "break") {
            return UsageError("bad state \"" + words[2] + "\": make or break");
        }
        out.action = IoOptions::Action::kSet;
        out.pin = static_cast<int>(*pin);
        out.make = words[2] == "make";
        if (secondsGiven) {
            return UsageError("--seconds is for watch");
        }
        if (!out.toggles.empty()) {
            return UsageError("--toggle-input is for watch");
        }
    } else {
        return UsageError("unknown io action \"" + words[0] + "\": watch or set");
    }

    // The camera and the pins.
    if (out.simulate) {
        if (!out.address.empty() || out.port) {
            return UsageError(
                "--simulate chooses the address and port; leave out --address "
                "and --port");
        }
        if (out.EffectiveInputs() > kSimulatorPinLimit ||
            out.EffectiveOutputs() > kSimulatorPinLimit) {
            return UsageError(
                Format("the simulator has at most %d pins of each kind", kSimulatorPinLimit));
        }
    } else {
        if (out.address.empty()) {
            return UsageError("io needs --address (or --simulate)");
        }
        if (simAuthGiven) {
            return UsageError("--sim-auth is for --simulate");
        }
        if (!out.toggles.empty()) {
            return UsageError("--toggle-input flips the simulator's inputs; it needs --simulate");
        }
    }
    if (out.action == IoOptions::Action::kWatch && out.EffectiveInputs() == 0) {
        return UsageError("watch needs at least one input (--inputs)");
    }
    if (out.action == IoOptions::Action::kSet && out.pin > out.EffectiveOutputs()) {
        return UsageError(Format("output %d is beyond the camera's %d output%s (--outputs)",
                                 out.pin, out.EffectiveOutputs(),
                                 out.EffectiveOutputs() == 1 ? "" : "s"));
    }
    for (const auto& [pin, when] : out.toggles) {
        if (pin > out.EffectiveInputs()) {
            return UsageError(Format("--toggle-input %d: the camera has %d input%s", pin,
                                     out.EffectiveInputs(), out.EffectiveInputs() == 1 ? "" : "s"));
        }
        if (out.seconds > 0 && when >= out.seconds) {
            return UsageError(
                Format("--toggle-input %d@%g comes after the watch ends (--seconds %g)", pin, when,
                       out.seconds));
        }
    }
    return {};
}

std::string IoUsageText() {
    return "usage:\n"
           "  camhost io --address A [--port P] [--user U --password W] [--model M]\n"
           "             [--inputs N] [--outputs N] [--module PATH] watch [--seconds S]\n"
           "  camhost io --address A [...] set PIN make|break\n"
           "  camhost io --simulate [PROFILE] [--sim-auth none|basic|digest --sim-user U\n"
           "             --sim-password W] [--toggle-input PIN@SECONDS]... watch|set ...\n"
           "\n"
           "io drives the camera's digital pins through the driver module. Starting the\n"
           "driver's digital I/O reads every input and drives every output to break.\n"
           "watch prints each input change as the driver reports it (the driver reads every\n"
           "input every 2 s) and each failure; --seconds S ends it (default: Ctrl-C).\n"
           "set PIN make|break drives one output and reads the pin back from the camera to\n"
           "confirm it. Pins count from 1, as the camera counts them. --inputs and --outputs\n"
           "tell the driver the camera's pin counts (default: the model's, 1 each for a model\n"
           "camhost does not know). --simulate starts the camera simulator on loopback;\n"
           "--toggle-input PIN@SECONDS flips its input PIN that many seconds into a watch.\n"
           "Exit status: 0 done (watch: without a failure), 1 failed, 2 usage error.\n";
}

int RunIo(const IoOptions& options, Console& console, StopSignal& stop,
          const std::string& defaultModule) {
    auto fail = [&console](const std::string& text) { return Fail(console, text); };
    const int inputs = options.EffectiveInputs();
    const int outputs = options.EffectiveOutputs();

    // 1. The camera: the simulator started here, or the one named.
    SimulatorChoice choice = SimulatorChoiceOf(options);
    choice.inputPins = inputs;
    choice.outputPins = outputs;
    choice.jpegRingSize = 1;  // no video here: one picture per size keeps the start quick
    CameraEndpoint camera = ReachCamera(choice, options.address, options.port, &console);
    if (!camera.error.empty()) {
        return fail(camera.error);
    }
    std::unique_ptr<camsim::CameraSimulator> simulator = std::move(camera.simulator);
    const std::string address = camera.address;
    const uint16_t port = camera.port;

    // 2. The module and the driver, as a recording server opens them.
    ModuleLibrary module;
    const std::string modulePath =
        options.module_path.empty() ? defaultModule : options.module_path;
    if (!module.Load(modulePath)) {
        return fail(module.error() + " (--module PATH chooses the file)");
    }
    host::LogSink log;
    FailureLines failures;
    log.SetEcho([&console, &failures](const host::LogRecord& record) {
        if (record.level == 1) {
            failures.Add(record.text.value_or(""));
        }
        console.Line(Format("driver [%d %s] ", record.level, LevelName(record.level)) +
                     record.text.value_or(""));
    });
    host::FrameFactory factory;
    host::DeviceSettings settings;
    settings.address = address;
    settings.port = port;
    settings.userName = options.user;
    settings.password = options.password;
    settings.model = options.EffectiveModel();
    settings.inputCount = inputs;
    settings.outputCount = outputs;
    settings.parameters = {{1, "0"}, {2, Upper(settings.model).rfind("VN-X", 0) == 0 ? "2" : "1"}};
    host::DeviceConfig config(settings);
    IoReporter reporter(console, failures);

    DriverObject driver(module, true);
    if (driver.get() == nullptr) {
        return fail("the module made no driver object");
    }
    if (!driver->Open(&log, &factory, &config)) {
        return fail("the driver did not open (see its log lines above)");
    }
    ipc::ICaptureIOApi* io = driver->GetCaptureIO();
    if (io == nullptr || !io->SetCallback(&reporter)) {
        return fail("the driver has no digital I/O object");
    }
    console.Line(
        Format("%s:%u (model %s, %d input%s, %d output%s): starting the digital I/O "
               "(reads every input, drives every output to break)",
               address.c_str(), static_cast<unsigned>(port), settings.model.c_str(), inputs,
               inputs == 1 ? "" : "s", outputs, outputs == 1 ? "" : "s"));
    if (!io->Start()) {
        io->Stop();
        return fail("the driver's digital I/O threads did not start");
    }

    int status = 0;
    if (options.action == IoOptions::Action::kWatch) {
        console.Line(options.seconds > 0
                         ? Format("watching the inputs for %g s (Ctrl-C stops)", options.seconds)
                         : std::string("watching the inputs until Ctrl-C"));
        const bool ended = WatchUntilEnd(options, console, stop, simulator.get());
        if (!ended) {
            console.Line("camhost: interrupted");
        }
        io->Stop();
        console.Line(reporter.Summary(inputs));
        status = reporter.Failures() == 0 ? 0 : 1;
    } else {
        const char* word = options.make ? "make" : "break";
        // Start may have reported failures or refusals already; only new ones answer the set.
        const uint64_t mark = failures.Mark();
        console.Line(Format("setting output %d to %s", options.pin, word));
        if (!io->SetOutput(static_cast<uint32_t>(options.pin - 1), options.make ? 2 : 1)) {
            io->Stop();
            return fail("the driver did not take the request (its output thread does not run)");
        }
        const std::string problem =
            ConfirmOutput(CameraAccess{address, port, options.user, options.password}, options.pin,
                          word, failures, mark, kSetConfirmTime,
                          [&stop](auto interval) { return stop.WaitFor(interval); });
        if (problem.empty()) {
            console.Line(Format("output %d is %s (the camera reads %s)", options.pin, word, word));
        } else {
            status = fail("setting output " + std::to_string(options.pin) + " failed: " + problem);
        }
        io->Stop();
    }
    return status;
}

}  // namespace camhost
