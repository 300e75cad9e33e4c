#include "ptz_command.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

#include "command_line.h"
#include "jvc_ipcapture/ip_capture_driver.h"
#include "module_library.h"
#include "reference_host.h"

namespace camhost {

namespace {

namespace ipc = vostrel::ipcapture;

const std::vector<std::string>& kDirections = PtzDirections();

// The words an action takes after its name.
std::optional<std::string> CheckAction(const std::vector<std::string>& a) {
    if (a.empty()) {
        return "ptz needs an action (move, stop, zoom, focus, center, preset)";
    }
    const std::string& verb = a[0];
    auto words = [&](size_t n) { return a.size() == n + 1; };
    if (verb == "move") {
        if (!words(1) ||
            std::find(kDirections.begin(), kDirections.end(), a[1]) == kDirections.end()) {
            return "move needs a direction: left, right, up, down, up-left, up-right, down-left "
                   "or down-right";
        }
    } else if (verb == "stop") {
        if (!words(0)) {
            return "stop takes no words";
        }
    } else if (verb == "zoom") {
        if (!words(1) || (a[1] != "in" && a[1] != "out")) {
            return "zoom needs in or out";
        }
    } else if (verb == "focus") {
        if (!words(1) || (a[1] != "near" && a[1] != "far")) {
            return "focus needs near or far";
        }
    } else if (verb == "center") {
        if (!words(2) || !ParseNumber(a[1], 0, 100000) || !ParseNumber(a[2], 0, 100000)) {
            return "center needs X and Y in pixels of the channel's picture";
        }
    } else if (verb == "preset") {
        if (a.size() == 2 && a[1] == "list") {
            return std::nullopt;
        }
        if (a.size() != 3 || (a[1] != "add" && a[1] != "goto" && a[1] != "delete")) {
            return "preset needs list, add NAME, goto NAME or delete NAME";
        }
    } else {
        return "unknown ptz action \"" + verb + "\"";
    }
    return std::nullopt;
}

// The host objects and the driver, opened; closed and deleted when this goes.
class PtzSession {
  public:
    PtzSession(Console& console) : m_console(console) {}
    ~PtzSession() {
        StopVideo();
        if (m_driver != nullptr) {
            m_module.destroy(m_driver);
        }
    }

    std::string Open(const PtzOptions& options, const std::string& defaultModule) {
        SimulatorChoice choice = SimulatorChoiceOf(options);
        choice.jpegRingSize = 1;  // no video here
        CameraEndpoint camera = ReachCamera(choice, options.address, options.port, &m_console);
        m_simulator = std::move(camera.simulator);
        if (!camera.error.empty()) {
            return camera.error;
        }
        const std::string address = camera.address;
        const uint16_t port = camera.port;
        const std::string path = options.module_path.empty() ? defaultModule : options.module_path;
        if (!m_module.Load(path)) {
            return m_module.error() + " (--module PATH chooses the file)";
        }
        m_log.SetEcho([this](const host::LogRecord& record) {
            const std::string text = record.text.value_or("");
            if (record.level == 1) {
                m_failures.push_back(text);
            }
            m_console.Line(Format("driver [%d] ", record.level) + text);
        });
        host::DeviceSettings settings;
        settings.address = address;
        settings.port = port;
        settings.userName = options.user;
        settings.password = options.password;
        settings.model = !options.model.empty() ? options.model
                         : options.simulate     ? m_simulator->profile().name
                                                : "VN-V686";
        settings.cameraCount = static_cast<int>(options.channel + 1);
        const bool vnx = settings.model.size() >= 4 && (settings.model.rfind("VN-X", 0) == 0 ||
                                                        settings.model.rfind("vn-x", 0) == 0);
        if (vnx || (m_simulator && !m_simulator->profile().ptz)) {
            return "the camera " + settings.model + " has no PTZ head";
        }
        settings.parameters = {{1, "0"}, {2, "1"}, {3, options.presets}, {4, "1"}};
        m_config = std::make_unique<host::DeviceConfig>(settings);
        m_driver = static_cast<ipc::IIPCaptureDriverEx3*>(m_module.create());
        if (m_driver == nullptr || !m_driver->Open(&m_log, &m_frames, m_config.get())) {
            return "the driver did not open (see its log lines above)";
        }
        ipc::IIPPTZDriverEx* ptz = m_driver->GetPTZDriverEx();
        m_control = ptz != nullptr ? ptz->GetPtzApiEx(options.channel) : nullptr;
        if (m_control == nullptr) {
            return "the driver gave no PTZ control for channel " + std::to_string(options.channel) +
                   " (see its log lines above)";
        }
        return {};
    }

    // Waits until the driver's command thread has sent what was queued: with the simulator
    // until the request has arrived, with a camera for a grace period, since the host
    // interface does not say when a queued command has been carried out.
    void Settle(const std::string& lastQuery) {
        if (m_simulator) {
            m_simulator->WaitForRequest(lastQuery, std::chrono::seconds(10));
        } else {
            std::this_thread::sleep_for(std::chrono::seconds(2));
        }
    }

    // Runs the channel's video (pictures are dropped): the driver reads a point to centre on
    // in pixels of the picture, whose size it knows only while the video runs.
    bool StartVideo(unsigned channel, uint16_t width, uint16_t height) {
        m_videoSettings = std::make_unique<host::VideoSettings>(width, height, 1000, 50);
        ipc::IIPVideoCapture* video = m_driver->GetVideoCapture();
        if (video == nullptr || !video->StartChannel(channel, &m_pictures, m_videoSettings.get())) {
            return false;
        }
        m_video = video;
        m_videoChannel = channel;
        return true;
    }
    void StopVideo() {
        if (m_video != nullptr) {
            m_video->StopChannel(m_videoChannel);
            m_video = nullptr;
        }
    }

    ipc::IIPPTZApiEx* Control() { return m_control; }
    bool Failed() const { return !m_failures.empty(); }
    camsim::CameraSimulator* Simulator() { return m_simulator.get(); }

  private:
    Console& m_console;
    std::unique_ptr<camsim::CameraSimulator> m_simulator;
    ModuleLibrary m_module;
    host::LogSink m_log;
    host::FrameFactory m_frames;
    std::unique_ptr<host::DeviceConfig> m_config;
    ipc::IIPCaptureDriverEx3* m_driver = nullptr;
    ipc::IIPPTZApiEx* m_control = nullptr;
    host::FrameSink m_pictures;
    std::unique_ptr<host::VideoSettings> m_videoSettings;
    ipc::IIPVideoCapture* m_video = nullptr;
    unsigned m_videoChannel = 0;
    std::vector<std::string> m_failures;  // type 1 lines of the driver
};

}  // namespace

const std::vector<std::string>& PtzDirections() {
    static const std::vector<std::string> directions = {
        "left", "right", "up", "down", "up-left", "up-right", "down-left", "down-right"};
    return directions;
}

const char* PtzResultName(int32_t code) {
    switch (code) {
        case 1:
            return "done";
        case -3:
            return "invalid argument";
        case -18:
            return "not done (no command thread, not queued, or the preset was not stored)";
        case -19:
            return "the camera lacks that capability";
        case -23:
            return "no such preset, or the camera refused it";
        case -26:
            return "the preset table is full";
        default:
            return "unexpected result";
    }
}

ParseOutcome ParsePtzArgs(const std::vector<std::string>& args, PtzOptions& out) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (option == "--help" || option == "-h") {
            return {ParseOutcome::kHelp, {}};
        }
        if (option.rfind("--", 0) != 0) {
            out.action.push_back(option);
            continue;
        }
        if (option == "--simulate") {
            out.simulate = true;
            if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0 &&
                camsim::FindProfile(args[i + 1])) {
                out.sim_profile = args[++i];
            }
            continue;
        }
        if (i + 1 >= args.size()) {
            return UsageError(option + " needs a value");
        }
        const std::string& value = args[++i];
        std::optional<ParseOutcome> sharedError;
        if (TakeSharedOption(option, value, out, sharedError)) {
            if (sharedError) {
                return *sharedError;
            }
            continue;
        }
        if (option == "--channel") {
            auto channel = ParseNumber(value, 0, 63);
            if (!channel) {
                return UsageError("--channel needs a number 0..63");
            }
            out.channel = static_cast<unsigned>(*channel);
        } else if (option == "--presets") {
            out.presets = value;
        } else if (option == "--speed") {
            auto speed = ParseNumber(value, 1, 16);
            if (!speed) {
                return UsageError("--speed needs a number 1..16");
            }
            out.speed = static_cast<int>(*speed);
        } else if (option == "--for") {
            char* end = nullptr;
            const double seconds = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !(seconds >= 0) || seconds > 3600) {
                return UsageError("--for needs seconds 0..3600");
            }
            out.seconds = seconds;
        } else if (option == "--sim-auth") {
            auto mode = camsim::ParseAuthMode(value);
            if (!mode) {
                return UsageError("--sim-auth needs none, basic or digest");
            }
            out.sim_auth = *mode;
        } else {
            return UsageError("unknown option " + option);
        }
    }
    if (out.simulate && (!out.address.empty() || out.port)) {
        return UsageError(
            "--simulate chooses the address and port; leave out --address and --port");
    }
    if (!out.simulate && out.address.empty()) {
        return UsageError("ptz needs --address (or --simulate)");
    }
    if (auto problem = CheckAction(out.action)) {
        return UsageError(*problem);
    }
    return {};
}

std::string PtzUsageText() {
    return "  camhost ptz --address A [--port P] [--user U --password W] [--model M]\n"
           "             [--channel N] [--presets FILE] [--speed 1..16] [--for SECONDS] ACTION\n"
           "  camhost ptz --simulate [PROFILE] [...] ACTION\n"
           "    ACTION: move left|right|up|down|up-left|up-right|down-left|down-right,\n"
           "            stop, zoom in|out, focus near|far, center X Y (a point of the\n"
           "            channel's picture at 640x480, which runs meanwhile),\n"
           "            preset list|add NAME|goto NAME|delete NAME\n"
           "    A move, zoom or focus lasts --for seconds (default 1), then stops. The preset\n"
           "    file (default camhost-presets.xml) lies in camhost's own folder, as the driver\n"
           "    keeps it beside the host program.\n";
}

int RunPtz(const PtzOptions& options, Console& console, const std::string& defaultModule) {
    PtzSession session(console);
    if (std::string error = session.Open(options, defaultModule); !error.empty()) {
        console.Line("camhost: " + error);
        return 1;
    }
    ipc::IIPPTZApiEx* control = session.Control();
    const auto& a = options.action;
    const std::string& verb = a[0];
    auto report = [&](const std::string& what, int32_t code) {
        console.Line(what + ": " + PtzResultName(code) + (code == 1 ? "" : Format(" (%d)", code)));
        return code == 1 ? 0 : 1;
    };
    auto hold = [&] {
        std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds));
    };
    // A motion, held for --for seconds, then StopAll; the stop is sent before the driver
    // closes.
    auto motion = [&](const std::string& what, int32_t code, const char* stopQuery) {
        if (code != 1) {
            return report(what, code);
        }
        console.Line(what + Format(" at speed %d for %g s", options.speed, options.seconds));
        hold();
        const int32_t stopped = control->StopAll();
        session.Settle(stopQuery);
        const int status = report("stop", stopped);
        return session.Failed() ? 1 : status;
    };
    if (verb == "move") {
        const auto dir =
            std::find(kDirections.begin(), kDirections.end(), a[1]) - kDirections.begin();
        // A pan/tilt stop ends with the tilt stop.
        return motion("move " + a[1], control->Move(static_cast<int32_t>(dir), options.speed),
                      "camera.motion.tilt.status=stop");
    }
    if (verb == "zoom") {
        const int32_t code =
            a[1] == "in" ? control->ZoomIn(options.speed) : control->ZoomOut(options.speed);
        return motion("zoom " + a[1], code, "camera.motion.zoom.status=stop");
    }
    if (verb == "focus") {
        const int32_t code =
            a[1] == "near" ? control->FocusNear(options.speed) : control->FocusFar(options.speed);
        return motion("focus " + a[1], code, "camera.focus.status=stop");
    }
    if (verb == "stop") {
        // The host interface stops what its control started: each kind of motion is started
        // at the lowest speed and stopped at once, one after the other.
        int status = 0;
        const std::pair<std::function<int32_t()>, const char*> kinds[] = {
            {[&] { return control->Move(0, 1); }, "camera.motion.tilt.status=stop"},
            {[&] { return control->ZoomOut(1); }, "camera.motion.zoom.status=stop"},
            {[&] { return control->FocusFar(1); }, "camera.focus.status=stop"}};
        for (const auto& [start, last] : kinds) {
            if (start() == 1) {
                status |= control->StopAll() == 1 ? 0 : 1;
                session.Settle(last);
            }
        }
        return report("stop", status == 0 && !session.Failed() ? 1 : -18);
    }
    if (verb == "center") {
        // The point is in pixels of a 640x480 picture of the channel.
        if (!session.StartVideo(options.channel, 640, 480)) {
            console.Line(
                "camhost: the driver did not start the channel's video, which centring "
                "needs (see its log lines above)");
            return 1;
        }
        const int32_t code =
            control->CenterOn(std::atoi(a[1].c_str()), std::atoi(a[2].c_str()), options.speed);
        if (code == 1) {
            session.Settle("camera.motion.clickoncenter");
        }
        session.StopVideo();
        return report("center " + a[1] + " " + a[2], session.Failed() ? -18 : code);
    }
    // Presets.
    const std::string& what = a[1];
    if (what == "list") {
        const int32_t count = control->GetPresetCount();
        console.Line(
            Format("%d preset%s on channel %u", count, count == 1 ? "" : "s", options.channel));
        char name[1024];
        for (int32_t i = 0; i < count; ++i) {
            if (control->GetPresetName(i, name, sizeof name) == 1) {
                console.Line(Format("  %d  %s", i, name));
            }
        }
        return 0;
    }
    const std::string& name = a[2];
    if (what == "add") {
        return report("preset add \"" + name + "\"", control->AddPreset(name.c_str()));
    }
    if (what == "goto") {
        int32_t code = control->GotoPreset(options.speed, name.c_str());
        if (code != 1 && control->GetPresetCount() >= 0) {
            bool known = false;
            char buffer[1024];
            for (int32_t i = 0; i < control->GetPresetCount(); ++i) {
                known = known ||
                        (control->GetPresetName(i, buffer, sizeof buffer) == 1 && name == buffer);
            }
            if (!known) {
                console.Line("camhost: no preset is called \"" + name +
                             "\" (camhost ptz ... preset list shows them)");
                return 1;
            }
        }
        return report("preset goto \"" + name + "\"", code);
    }
    int32_t code = control->DeletePreset(name.c_str());
    if (code != 1) {
        console.Line("camhost: no preset is called \"" + name +
                     "\", or the camera refused to clear it");
    } else if (session.Failed()) {
        // The driver rewrites the preset file whatever the camera answered, so the delete
        // reports success; a refused clear shows only as the driver's failure line, and the
        // preset stays in the list.
        code = -23;
    }
    return report("preset delete \"" + name + "\"", code);
}

}  // namespace camhost
