#include "serve_command.h"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "command_line.h"
#include "io_command.h"
#include "jvc_ipcapture/ip_capture_driver.h"
#include "live_feed.h"
#include "module_library.h"
#include "mpeg4_preview.h"
#include "ptz_command.h"
#include "query_command.h"
#include "reference_host.h"
#include "serve_routes.h"

namespace camhost {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace ipc = vostrel::ipcapture;

// The digital I/O reports, turned into events (and lines on the console).
class IoEvents : public ipc::ICaptureIOCallback {
  public:
    IoEvents(EventHub& hub, FailureLines& failures, Console& console)
        : m_hub(hub), m_failures(failures), m_console(console) {}

    void OnInputChanged(uint32_t input, int32_t state) override {
        const unsigned pin = input + 1;
        m_hub.Publish(
            "input",
            Format("{\"pin\": %u, \"state\": \"%s\"}", pin, PinStateText(state, "unknown")),
            Format("input %u", pin));
        m_console.Line(
            Format("%s  input %u  %s", TimeOfDay().c_str(), pin, PinStateText(state, "unknown")));
    }
    void OnIOFailure() override {
        m_hub.ForgetStates("input ");
        m_hub.Publish("io-failure", "{}");
        m_failures.Add("the camera could not be reached");
        m_console.Line(TimeOfDay() + "  digital I/O failure: the camera could not be reached");
    }

  private:
    EventHub& m_hub;
    FailureLines& m_failures;
    Console& m_console;
};

std::string UrlHost(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

// Binds the server to the address (port 0: any free one); the port, or -1.
int Bind(httplib::Server& server, const std::string& host, uint16_t port) {
    server.new_task_queue = [] { return new httplib::ThreadPool(16); };
    server.set_keep_alive_timeout(2);
    // Not cpp-httplib's default SO_REUSEPORT: a second camhost on the same port must fail,
    // not share the port with the first.
    server.set_socket_options([](int sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    if (port == 0) {
        return server.bind_to_any_port(host);
    }
    return server.bind_to_port(host, port) ? port : -1;
}

// The answer of /api/info.
std::string InfoJson(const QueryOutcome& query, const CaptureOptions& camera,
                     const std::string& model, const std::string& address, uint16_t port,
                     int inputs, int outputs, bool ptz, bool io, bool simulated) {
    std::string j = "{\n";
    j += "  \"identified\": " + std::string(query.ok ? "true" : "false") + ",\n";
    j += "  \"error\": " + Json(query.error) + ",\n";
    j += "  \"camera\": " + (query.ok ? FormatIdentificationJson(query.id) : "null\n");
    j.back() = ',';
    j += "\n  \"address\": " + Json(address + ":" + std::to_string(port)) + ",\n";
    j += "  \"simulator\": " + std::string(simulated ? "true" : "false") + ",\n";
    j += "  \"model\": " + Json(model) + ",\n";
    j += Format("  \"stream\": \"%s\",\n  \"width\": %u,\n  \"height\": %u,\n  \"fps\": %u,\n",
                StreamName(camera.stream), camera.width, camera.height, camera.fps);
    j += Format("  \"inputs\": %d,\n  \"outputs\": %d,\n  \"ptz\": %s,\n  \"io\": %s,\n", inputs,
                outputs, ptz ? "true" : "false", io ? "true" : "false");
    j += "  \"video\": \"/video/0.mjpg\"\n}\n";
    return j;
}

}  // namespace

std::string ServeUsageText() {
    return "  camhost serve --address A [--port P] [--user U --password W] [--model M]\n"
           "               [--stream mjpeg|mpeg4] [--size WxH] [--fps N] [--quality Q]\n"
           "               [--presets FILE] [--listen HOST:PORT] [--io] [--module PATH]\n"
           "  camhost serve --simulate [PROFILE] [...]\n"
           "    serves a live view page of the camera through the module (video, PTZ and\n"
           "    presets, digital I/O, the driver's log) at http://127.0.0.1:8090/ (--listen\n"
           "    chooses another address; port 0 any free one). The page has no login.\n"
           "    The digital I/O starts only when the page asks for it, or at once with --io:\n"
           "    starting it sets every output to break.\n";
}

bool IsLoopbackAddress(const std::string& host) {
    return host.rfind("127.", 0) == 0 || host == "::1" || host == "localhost";
}

bool ParseListenAddress(const std::string& text, std::string& host, uint16_t& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    std::string name = text.substr(0, colon);
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']') {
        name = name.substr(1, name.size() - 2);
    } else if (name.find(':') != std::string::npos) {
        return false;  // an IPv6 address goes in brackets
    }
    const auto number = ParseNumber(text.substr(colon + 1), 0, 65535);
    if (!number) {
        return false;
    }
    host = name.empty() ? "127.0.0.1" : name;
    port = static_cast<uint16_t>(*number);
    return true;
}

ParseOutcome ParseServeArgs(const std::vector<std::string>& args, ServeOptions& out) {
    // serve's own options here; the camera, video and simulator options as capture reads them.
    std::vector<std::string> rest;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (option == "--seconds" || option == "--out" || option == "--connect-timeout" ||
            option == "--channels") {
            return UsageError(option + " is not an option of serve");
        }
        if (option == "--io") {
            out.io = true;
            continue;
        }
        if (option != "--listen" && option != "--presets") {
            rest.push_back(option);
            continue;
        }
        if (i + 1 >= args.size()) {
            return UsageError(option + " needs a value");
        }
        const std::string& value = args[++i];
        if (option == "--presets") {
            if (value.empty()) {
                return UsageError("--presets needs a file name");
            }
            out.presets = value;
        } else if (!ParseListenAddress(value, out.listenHost, out.listenPort)) {
            return UsageError("bad value for --listen: \"" + value + "\" (HOST:PORT)");
        }
    }
    return ParseCaptureArgs(rest, out.camera, "serve");
}

int RunServe(const ServeOptions& options, Console& console, StopSignal& stop,
             const std::string& defaultModule) {
    auto fail = [&console](const std::string& text) { return Fail(console, text); };
    const CaptureOptions& o = options.camera;

    // The address first: a port in use ends the command before anything else is done.
    LiveView view;
    httplib::Server server;
    const int port = Bind(server, options.listenHost, options.listenPort);
    if (port <= 0) {
        return fail(Format("cannot listen on %s:%u (in use, or not an address of this machine)",
                           options.listenHost.c_str(), static_cast<unsigned>(options.listenPort)));
    }

    // 1. The camera, and what it is.
    CameraEndpoint camera = ReachCamera(SimulatorChoiceOf(o), o.address, o.port, &console);
    if (!camera.error.empty()) {
        return fail(camera.error);
    }
    const std::string modulePath = o.module_path.empty() ? defaultModule : o.module_path;
    const QueryOutcome query =
        QueryCamera(modulePath, camera.address, camera.port, o.user, o.password, false, 30, &stop);
    if (stop.Requested()) {
        return fail("interrupted");
    }
    if (query.ok) {
        console.Line("identified: " + FormatIdentificationLine(query.id));
    } else {
        console.Line("camhost: the capability query failed: " + query.error);
    }
    CaptureOptions driverOptions = o;
    driverOptions.channels = 1;
    if (driverOptions.model.empty() && query.ok) {
        driverOptions.model = query.id.model;
    }
    const std::string model = driverOptions.EffectiveModel();
    const bool vnx = Upper(model).rfind("VN-X", 0) == 0;
    const auto profile = camsim::FindProfile(model);
    const int inputs = query.ok ? query.id.inputs : profile ? profile->input_pins : 1;
    const int outputs = query.ok ? query.id.outputs : profile ? profile->output_pins : 1;
    // Without an identification there is no PTZ pad (and no preset file of another camera),
    // unless the user named the model.
    const bool ptz = query.ok ? query.id.ptz : !o.model.empty() && !vnx;
    driverOptions.params.emplace(3, options.presets);
    driverOptions.params.emplace(4, query.ok && !query.id.centerSupported ? "0" : "1");

    // 2. The module and the driver, as a recording server opens them.
    ModuleLibrary module;
    if (!module.Load(modulePath)) {
        return fail(module.error() + " (--module PATH chooses the file)");
    }
    host::LogSink log;
    log.SetEcho([&console, &view](const host::LogRecord& record) {
        const std::string text = record.text.value_or("");
        if (record.level == 1) {
            view.failures.Add(text);
        }
        console.Line(Format("driver [%d %s] ", record.level, LevelName(record.level)) + text);
        view.hub.PublishLog(Format("{\"time\": \"%s\", \"level\": %d, \"name\": \"%s\", ",
                                   TimeOfDay().c_str(), record.level, LevelName(record.level)) +
                            "\"text\": " + Json(text) + "}");
    });
    host::FrameFactory factory;
    host::DeviceSettings settings;
    settings.address = camera.address;
    settings.port = camera.port;
    settings.userName = o.user;
    settings.password = o.password;
    settings.streamType = static_cast<int>(o.stream);
    settings.model = model;
    settings.inputCount = inputs;
    settings.outputCount = outputs;
    settings.parameters = driverOptions.DriverParameters();
    host::DeviceConfig config(settings);
    const uint16_t interval = o.fps ? static_cast<uint16_t>((1000 + o.fps / 2) / o.fps) : 0;
    host::VideoSettings videoSettings(static_cast<uint16_t>(o.width),
                                      static_cast<uint16_t>(o.height), interval,
                                      static_cast<uint16_t>(o.quality));

    // MJPEG pictures go to the viewers as they come; MPEG-4 ones through the decoder.
    Mpeg4Preview preview([&view](std::string jpeg, unsigned, unsigned) {
        view.picture.Put(std::make_shared<const std::string>(std::move(jpeg)));
    });
    const bool mpeg4 = o.stream == StreamKind::kMpeg4;
    if (mpeg4 && !preview.Start()) {
        return fail(preview.error());
    }
    ChannelSink sink(
        0, [&view, &preview, mpeg4](unsigned, bool key, const uint8_t* data, size_t size) {
            if (mpeg4) {
                preview.Feed(data, size, key);
            } else {
                view.picture.Put(
                    std::make_shared<const std::string>(reinterpret_cast<const char*>(data), size));
            }
        });
    IoEvents ioEvents(view.hub, view.failures, console);

    DriverObject driver(module);
    if (driver.get() == nullptr) {
        return fail("the module made no driver object");
    }
    if (!driver->Open(&log, &factory, &config)) {
        return fail("the driver did not open (see its log lines above)");
    }
    view.video = driver->GetVideoCapture();
    if (view.video == nullptr || !view.video->StartChannel(0, &sink, &videoSettings)) {
        driver->Close();
        return fail("the driver did not start the channel (see its log lines above)");
    }
    if (ptz && driver->GetPTZDriverEx() != nullptr) {
        view.ptz = driver->GetPTZDriverEx()->GetPtzApiEx(0);
    }
    view.center = query.ok && query.id.centerSupported;
    view.camera = CameraAccess{camera.address, camera.port, o.user, o.password};
    view.outputs = outputs;
    ipc::ICaptureIOApi* io = driver->GetCaptureIO();
    if (io != nullptr && (inputs > 0 || outputs > 0) && io->SetCallback(&ioEvents)) {
        view.io = io;
    }
    if (view.io != nullptr && options.io && !view.StartIo()) {
        console.Line("camhost: the driver's digital I/O did not start");
    }
    if (view.ptz != nullptr) {
        view.hub.Publish("presets", view.PresetList(), "presets");
    }
    view.info = InfoJson(query, o, model, camera.address, camera.port, inputs, outputs,
                         view.ptz != nullptr, view.io != nullptr, camera.simulator != nullptr);

    // 3. The page, live.
    AddRoutes(server, view, IsLoopbackAddress(options.listenHost));
    std::thread listener([&server] { server.listen_after_bind(); });
    // A stop that comes before the server runs would be lost.
    for (int i = 0; i < 5000 && !server.is_running(); ++i) {
        std::this_thread::sleep_for(1ms);
    }
    if (!IsLoopbackAddress(options.listenHost)) {
        std::fprintf(stderr,
                     "camhost: warning: listening on %s, which other machines may reach; "
                     "the page has no login: whoever reaches it sees the video, moves the "
                     "camera and sets its outputs\n",
                     options.listenHost.c_str());
    }
    console.Line(
        Format("serving http://%s:%d/ (Ctrl-C stops)", UrlHost(options.listenHost).c_str(), port));

    // Once a second: the channel's rates and state.
    ChannelSink::Counts last = sink.Get();
    auto lastTime = Clock::now();
    while (!stop.WaitFor(1000ms)) {
        const auto counts = sink.Get();
        const auto now = Clock::now();
        const double dt = std::max(std::chrono::duration<double>(now - lastTime).count(), 0.001);
        view.hub.Publish(
            "stats",
            Format("{\"channel\": 0, \"state\": \"%s\", \"frames\": %llu, \"fps\": %.1f, "
                   "\"kbps\": %.1f, \"width\": %u, \"height\": %u, \"lost\": %d, "
                   "\"viewers\": %zu}",
                   ChannelStateName(view.video, 0), static_cast<unsigned long long>(counts.frames),
                   static_cast<double>(counts.frames - last.frames) / dt,
                   static_cast<double>(counts.bytes - last.bytes) / 1024.0 / dt, counts.width,
                   counts.height, counts.signalLost, view.hub.Subscribers()),
            "stats 0");
        last = counts;
        lastTime = now;
        log.Clear();  // the lines went out as they came; keep no history
    }
    console.Line("camhost: stopping");
    // Open streams end first (their waits wake), then the server and its threads.
    view.hub.Close();
    view.picture.Close();
    server.stop();
    listener.join();

    // 4. A clean stop: channel, digital I/O, decoder, driver.
    view.video->StopChannel(0);
    view.StopIo();
    preview.Stop();
    driver->Close();
    return 0;
}

}  // namespace camhost
