#include "ptz_command.h"

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>

#include "camera_setup.h"
#include "command_line.h"
#include "driver_lines.h"
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
        return "an action is needed: move, stop, zoom, focus, center or preset";
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
        // The list reads names into 1024 bytes: a longer one would be stored but never listed.
        if (a[2].size() > 1023) {
            return "a preset name has at most 1023 bytes";
        }
    } else {
        return "unknown ptz action \"" + verb + "\"";
    }
    return std::nullopt;
}

// Prints that the action was done, or why not: the driver's failure line since the action in
// a user's words when one came, else what the driver's result code means (the code itself
// after it, for a report of the trouble). The exit status: 0 done, 1 not.
int Report(Console& console, const std::string& what, int32_t code,
           const std::optional<std::string>& failure) {
    if (code == 1 && !failure) {
        console.Line(what + ": done");
        return 0;
    }
    const std::string why =
        failure ? *failure : PtzResultName(code) + Format(" (driver result %d)", code);
    console.Line("camhost: " + what + " failed: " + why);
    return 1;
}

// The camera set up, the host objects and the driver opened, the channel's PTZ control
// taken; the driver is deleted when this goes.
class PtzSession {
  public:
    explicit PtzSession(Console& console) : m_console(console) {}
    ~PtzSession() { StopVideo(); }

    std::string Open(const PtzOptions& options, StopSignal& stop,
                     const std::string& defaultModule) {
        SetUpRequest request;
        request.console = &m_console;
        request.keepsPresets = true;
        request.simJpegRingSize = 1;  // no video here
        m_camera = SetUpCamera(options.camera, request, defaultModule, &stop);
        if (!m_camera.error.empty()) {
            return m_camera.error;
        }
        if (!m_camera.ptz) {
            return "the camera " + m_camera.model + " has no PTZ head";
        }
        m_log.SetEcho([this](const host::LogRecord& record) {
            const std::string text = record.text.value_or("");
            if (record.level == 1) {
                m_failures.Add(text);
            }
            m_console.Line(Format("driver [%d] ", record.level) + text);
        });
        host::DeviceSettings settings = m_camera.DeviceSettings();
        settings.cameraCount = static_cast<int>(options.channel + 1);
        m_config = std::make_unique<host::DeviceConfig>(settings);
        m_driver = std::make_unique<DriverObject>(*m_camera.module);
        if (m_driver->get() == nullptr || !(*m_driver)->Open(&m_log, &m_frames, m_config.get())) {
            return "the driver did not open (see its log lines above)";
        }
        ipc::IIPPTZDriverEx* ptz = (*m_driver)->GetPTZDriverEx();
        m_control = ptz != nullptr ? ptz->GetPtzApiEx(options.channel) : nullptr;
        if (m_control == nullptr) {
            return "the driver gave no PTZ control for channel " + std::to_string(options.channel) +
                   " (see its log lines above)";
        }
        m_actionMark = m_failures.Mark();
        return {};
    }

    // Waits until the driver's command thread has sent what was queued: with the simulator
    // until the request has arrived, with a camera for a grace period, since the host
    // interface does not say when a queued command has been carried out.
    void Settle(const std::string& lastQuery) {
        if (m_camera.simulator) {
            m_camera.simulator->WaitForRequest(lastQuery, std::chrono::seconds(10));
        } else {
            std::this_thread::sleep_for(std::chrono::seconds(2));
        }
    }

    // Runs the channel's video (pictures are dropped): the driver reads a point to centre on
    // in pixels of the picture, whose size it knows only while the video runs.
    bool StartVideo(unsigned channel, uint16_t width, uint16_t height) {
        m_videoSettings = std::make_unique<host::VideoSettings>(width, height, 1000, 50);
        ipc::IIPVideoCapture* video = (*m_driver)->GetVideoCapture();
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
    // The first failure line of the driver since the driver opened, in a user's words.
    std::optional<std::string> Failure() const { return m_failures.Since(m_actionMark); }

  private:
    Console& m_console;
    ReadyCamera m_camera;
    host::LogSink m_log;
    host::FrameFactory m_frames;
    std::unique_ptr<host::DeviceConfig> m_config;
    std::unique_ptr<DriverObject> m_driver;  // deleted before the module goes
    ipc::IIPPTZApiEx* m_control = nullptr;
    host::FrameSink m_pictures;
    std::unique_ptr<host::VideoSettings> m_videoSettings;
    ipc::IIPVideoCapture* m_video = nullptr;
    unsigned m_videoChannel = 0;
    FailureLines m_failures;  // type 1 lines of the driver
    uint64_t m_actionMark = 0;
};

}  // namespace

const std::vector<std::string>& PtzDirections() {
    static const std::vector<std::string> directions = {
        "left", "right", "up", "down", "up-left", "up-right", "down-left", "down-right"};
    return directions;
}

std::string PtzResultName(int32_t code) {
    switch (code) {
        case 1:
            return "done";
        case -3:
            return "the driver took the request as invalid";
        case -18:
            return "the driver did not carry it out (see its log lines)";
        case -19:
            return "the camera cannot do that";
        case -23:
            return "no such preset, or the camera refused it";
        case -26:
            return "the camera's preset table is full";
        default:
            return "the driver gave an unexpected result";
    }
}

namespace {

constexpr CameraOptionSet kPtzCamera{.driver = true, .presets = true, .operands = true};

}  // namespace

ParseOutcome ParsePtzArgs(const std::vector<std::string>& args, PtzOptions& out) {
    ArgReader reader(args);
    while (!reader.Done()) {
        const std::string option = reader.Next();
        if (IsHelp(option)) {
            return {ParseOutcome::kHelp, {}};
        }
        if (option.rfind("--", 0) != 0) {
            out.action.push_back(option);
        } else if (TakeCameraOption(option, reader, kPtzCamera, out.camera)) {
            continue;
        } else if (option == "--channel") {
            if (auto channel = reader.Number(option, 0, 63)) {
                out.channel = static_cast<unsigned>(*channel);
            }
        } else if (option == "--speed") {
            if (auto speed = reader.Number(option, 1, 16)) {
                out.speed = static_cast<int>(*speed);
            }
        } else if (option == "--for") {
            if (auto seconds = reader.Seconds(option, 0, 3600)) {
                out.seconds = *seconds;
            }
        } else {
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
    if (auto problem = CheckAction(out.action)) {
        return UsageError(*problem);
    }
    return {};
}

std::string PtzUsageText() {
    return "usage: camhost ptz --address A [camera options] [--channel N] [--speed 1..16]\n"
           "                   [--for SECONDS] ACTION\n"
           "       camhost ptz --simulate [PROFILE] [...] ACTION\n"
           "\n"
           "Drives the camera's PTZ head and its named presets through the driver module.\n"
           "ACTION is one of:\n"
           "  move left|right|up|down|up-left|up-right|down-left|down-right\n"
           "  zoom in|out, focus near|far   (each lasts --for seconds, then stops)\n"
           "  center X Y                    (a point of the channel's picture at 640x480,\n"
           "                                which runs meanwhile)\n"
           "  stop\n"
           "  preset list|add NAME|goto NAME|delete NAME\n"
           "\n"
           "PTZ:\n"
           "  --channel N            a video server's channel, 0..63 (default 0)\n"
           "  --speed S              the speed, 1..16 (default 8)\n"
           "  --for S                how long a move, zoom or focus lasts, 0..3600 seconds\n"
           "                         (default 1)\n" +
           CameraUsageText(kPtzCamera) +
           "\n"
           "Exit status: 0 when the action was done, 1 when not, 2 for a usage error.\n";
}

namespace {

// A motion started with `code`, held for --for seconds, then StopAll; the stop is sent
// before the driver closes.
int Motion(PtzSession& session, const PtzOptions& options, Console& console,
           const std::string& what, int32_t code, const char* stopQuery) {
    if (code != 1) {
        return Report(console, what, code, session.Failure());
    }
    console.Line(what + Format(" at speed %d for %g s", options.speed, options.seconds));
    std::this_thread::sleep_for(std::chrono::duration<double>(options.seconds));
    const int32_t stopped = session.Control()->StopAll();
    session.Settle(stopQuery);
    if (auto failure = session.Failure()) {
        return Report(console, what, code, failure);
    }
    return Report(console, "stop", stopped, std::nullopt);
}

// The host interface stops what its control started: each kind of motion is started at the
// lowest speed and stopped at once, one after the other.
int StopEverything(PtzSession& session, Console& console) {
    ipc::IIPPTZApiEx* control = session.Control();
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
    return Report(console, "stop", status == 0 ? 1 : -18, session.Failure());
}

// Centres the head on a point of a 640x480 picture of the channel, whose video runs meanwhile.
int Center(PtzSession& session, const PtzOptions& options, Console& console) {
    const auto& a = options.action;
    if (!session.StartVideo(options.channel, 640, 480)) {
        console.Line(
            "camhost: the driver did not start the channel's video, which centring needs (see its "
            "log lines above)");
        return 1;
    }
    const int32_t code = session.Control()->CenterOn(std::atoi(a[1].c_str()),
                                                     std::atoi(a[2].c_str()), options.speed);
    if (code == 1) {
        session.Settle("camera.motion.clickoncenter");
    }
    session.StopVideo();
    return Report(console, "center " + a[1] + " " + a[2], code, session.Failure());
}

// Whether the control has a preset of that name.
bool KnownPreset(ipc::IIPPTZApiEx* control, const std::string& name) {
    char buffer[1024];
    for (int32_t i = 0; i < control->GetPresetCount(); ++i) {
        if (control->GetPresetName(i, buffer, sizeof buffer) == 1 && name == buffer) {
            return true;
        }
    }
    return false;
}

int Presets(PtzSession& session, const PtzOptions& options, Console& console) {
    ipc::IIPPTZApiEx* control = session.Control();
    const std::string& what = options.action[1];
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
    const std::string& name = options.action[2];
    const int32_t code = what == "add"    ? control->AddPreset(name.c_str())
                         : what == "goto" ? control->GotoPreset(options.speed, name.c_str())
                                          : control->DeletePreset(name.c_str());
    // A refused clear may show only as the driver's failure line (the delete itself reports
    // success, and the preset stays in the list).
    std::optional<std::string> failure = session.Failure();
    if (code != 1 && !failure && what != "add" && !KnownPreset(control, name)) {
        failure = "no preset is called \"" + name + "\" (camhost ptz ... preset list shows them)";
    }
    return Report(console, "preset " + what + " \"" + name + "\"", code, failure);
}

}  // namespace

int RunPtz(const PtzOptions& options, Console& console, StopSignal& stop,
           const std::string& defaultModule) {
    PtzSession session(console);
    if (std::string error = session.Open(options, stop, defaultModule); !error.empty()) {
        console.Line("camhost: " + error);
        return 1;
    }
    ipc::IIPPTZApiEx* control = session.Control();
    const auto& a = options.action;
    if (a[0] == "move") {
        const auto dir =
            std::find(kDirections.begin(), kDirections.end(), a[1]) - kDirections.begin();
        // A pan/tilt stop ends with the tilt stop.
        return Motion(session, options, console, "move " + a[1],
                      control->Move(static_cast<int32_t>(dir), options.speed),
                      "camera.motion.tilt.status=stop");
    }
    if (a[0] == "zoom") {
        const int32_t code =
            a[1] == "in" ? control->ZoomIn(options.speed) : control->ZoomOut(options.speed);
        return Motion(session, options, console, "zoom " + a[1], code,
                      "camera.motion.zoom.status=stop");
    }
    if (a[0] == "focus") {
        const int32_t code =
            a[1] == "near" ? control->FocusNear(options.speed) : control->FocusFar(options.speed);
        return Motion(session, options, console, "focus " + a[1], code, "camera.focus.status=stop");
    }
    if (a[0] == "stop") {
        return StopEverything(session, console);
    }
    if (a[0] == "center") {
        return Center(session, options, console);
    }
    return Presets(session, options, console);
}

}  // namespace camhost
