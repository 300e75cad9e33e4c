#include "serve_command.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "camera_setup.h"
#include "capability_query.h"
#include "channel_sink.h"
#include "command_line.h"
#include "io_command.h"
#include "jvc_ipcapture/ip_capture_driver.h"
#include "live_feed.h"
#include "module_library.h"
#include "mpeg4_preview.h"
#include "ptz_command.h"
#include "reference_host.h"
#include "serve_routes.h"

namespace camhost {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace ipc = vostrel::ipcapture;

constexpr CameraOptionSet kServeCamera{.driver = true, .presets = true, .operands = false};

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
std::string InfoJson(const ReadyCamera& camera, const VideoOptions& video, bool ptz, bool io) {
    const std::string error = camera.identified           ? std::string()
                              : camera.queryError.empty() ? "--model names the camera; no query"
                                                          : camera.queryError;
    std::string j = "{\n";
    j += "  \"identified\": " + std::string(camera.identified ? "true" : "false") + ",\n";
    j += "  \"error\": " + Json(error) + ",\n";
    j += "  \"camera\": " +
         (camera.identified ? FormatIdentificationJson(*camera.identified) : "null\n");
    j.back() = ',';
    j += "\n  \"address\": " + Json(camera.address + ":" + std::to_string(camera.port)) + ",\n";
    j += "  \"simulator\": " + std::string(camera.simulator ? "true" : "false") + ",\n";
    j += "  \"model\": " + Json(camera.model) + ",\n";
    j += Format("  \"stream\": \"%s\",\n  \"width\": %u,\n  \"height\": %u,\n  \"fps\": %u,\n",
                StreamName(video.stream), video.width, video.height, video.fps);
    j += Format("  \"inputs\": %d,\n  \"outputs\": %d,\n  \"ptz\": %s,\n  \"io\": %s,\n",
                camera.inputs, camera.outputs, ptz ? "true" : "false", io ? "true" : "false");
    j += "  \"video\": \"/video/0.mjpg\"\n}\n";
    return j;
}

// The driver's log lines on the console and to the page as they come; its failure lines kept
// for the endpoints that wait on them.
void EchoLog(host::LogSink& log, Console& console, LiveView& view) {
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
}

// Opens the driver and starts channel 0 into the sink; takes the PTZ control of a camera with
// a head. The error, or empty.
std::string OpenDriver(DriverObject& driver, host::LogSink& log, host::FrameFactory& factory,
                       host::DeviceConfig& config, host::VideoSettings& video, ChannelSink& sink,
                       bool ptz, LiveView& view) {
    if (driver.get() == nullptr) {
        return "the module made no driver object";
    }
    if (!driver->Open(&log, &factory, &config)) {
        return "the driver did not open (see its log lines above)";
    }
    view.video = driver->GetVideoCapture();
    if (view.video == nullptr || !view.video->StartChannel(0, &sink, &video)) {
        driver->Close();
        return "the driver did not start the channel (see its log lines above)";
    }
    if (ptz && driver->GetPTZDriverEx() != nullptr) {
        view.ptz = driver->GetPTZDriverEx()->GetPtzApiEx(0);
    }
    return {};
}

// Sets up the driver's digital I/O when the camera has pins, started at once with --io
// (otherwise when a viewer asks).
void SetUpDigitalIo(ipc::ICaptureIOApi* io, IoEvents& events, const ReadyCamera& camera,
                    bool startNow, LiveView& view, Console& console) {
    view.camera = CameraAccess{camera.address, camera.port, camera.user, camera.password};
    view.outputs = camera.outputs;
    if (io != nullptr && (camera.inputs > 0 || camera.outputs > 0) && io->SetCallback(&events)) {
        view.io = io;
    }
    if (view.io != nullptr && startNow && !view.StartIo()) {
        console.Line("camhost: the driver's digital I/O did not start");
    }
}

// Once a second until a stop: the channel's rates and state to the page.
void PublishStats(LiveView& view, const ChannelSink& sink, host::LogSink& log, StopSignal& stop) {
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
}

// Serves the page until a stop, then ends the open streams and the server.
void ServePage(httplib::Server& server, LiveView& view, const ServeOptions& options, int port,
               const ChannelSink& sink, host::LogSink& log, Console& console, StopSignal& stop) {
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
    PublishStats(view, sink, log, stop);
    console.Line("camhost: stopping");
    // Open streams end first (their waits wake), then the server and its threads.
    view.hub.Close();
    view.picture.Close();
    server.stop();
    listener.join();
}

// Channel 0's frames to the viewers: MJPEG pictures as they come, MPEG-4 ones (with a
// preview) through the decoder.
ChannelSink ViewerSink(LiveView& view, Mpeg4Preview* preview) {
    return ChannelSink(0, [&view, preview](unsigned, bool key, const uint8_t* data, size_t size) {
        if (preview != nullptr) {
            preview->Feed(data, size, key);
        } else {
            view.picture.Put(
                std::make_shared<const std::string>(reinterpret_cast<const char*>(data), size));
        }
    });
}

// The camera set up and what it is told; one the query does not identify is still opened,
// without a PTZ pad (and no preset file of another camera) unless --model names it.
ReadyCamera SetUpServedCamera(const ServeOptions& options, Console& console, StopSignal& stop,
                              const std::string& defaultModule) {
    SetUpRequest request;
    request.console = &console;
    request.keepsPresets = true;
    request.goOnUnidentified = true;
    ReadyCamera camera = SetUpCamera(options.camera, request, defaultModule, &stop);
    if (camera.identified) {
        console.Line("identified: " + FormatIdentificationLine(*camera.identified));
    } else if (!camera.queryError.empty()) {
        console.Line("camhost: the capability query failed: " + camera.queryError);
    }
    return camera;
}

}  // namespace

std::string ServeUsageText() {
    return "usage: camhost serve --address A [camera options] [video options]\n"
           "                     [--listen HOST:PORT] [--io]\n"
           "       camhost serve --simulate [PROFILE] [...]\n"
           "\n"
           "Serves a live view page of the camera through the driver module: the video of\n"
           "channel 0, PTZ and presets, digital I/O, the driver's log. The page has no login.\n"
           "\n"
           "Serve:\n"
           "  --listen HOST:PORT     where the page is served (default 127.0.0.1:8090; port 0:\n"
           "                         any free one; an address other machines reach is warned\n"
           "                         about)\n"
           "  --io                   starts the digital I/O at once (otherwise when the page\n"
           "                         asks); starting it sets every output to break\n" +
           VideoUsageText() + CameraUsageText(kServeCamera) +
           "\n"
           "Ctrl-C or SIGTERM stops. Exit status: 0 after a clean stop, 1 when the page could\n"
           "not be served, 2 for a usage error.\n";
}

bool IsLoopbackAddress(const std::string& host) {
    // Literal addresses only (and the name localhost): a name such as
    // "127.0.0.1.evil.example" may resolve anywhere.
    in_addr v4{};
    if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        if (IN6_IS_ADDR_LOOPBACK(&v6)) {
            return true;
        }
        // ::ffff:127.x.y.z, an IPv4 loopback address in IPv6 form.
        return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
    }
    std::string lower = host;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower == "localhost";
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
    ArgReader reader(args);
    while (!reader.Done()) {
        const std::string option = reader.Next();
        if (IsHelp(option)) {
            return {ParseOutcome::kHelp, {}};
        }
        if (TakeCameraOption(option, reader, kServeCamera, out.camera) ||
            TakeVideoOption(option, reader, out.video)) {
            continue;
        }
        if (option == "--io") {
            out.io = true;
        } else if (option == "--listen") {
            const auto v = reader.Value(option);
            if (v && !ParseListenAddress(*v, out.listenHost, out.listenPort)) {
                reader.Fail("--listen must be HOST:PORT, PORT 0..65535 (e.g. 127.0.0.1:8090)");
            }
        } else if (option == "--seconds" || option == "--out" || option == "--connect-timeout" ||
                   option == "--channels") {
            reader.Fail(option + " is not an option of serve");
        } else {
            reader.Unknown(option);
        }
    }
    if (reader.Failed()) {
        return reader.Outcome();
    }
    return FinishCameraOptions(out.camera);
}

int RunServe(const ServeOptions& options, Console& console, StopSignal& stop,
             const std::string& defaultModule) {
    auto fail = [&console](const std::string& text) { return Fail(console, text); };
    // The address first: a port in use ends the command before anything else is done.
    LiveView view;
    httplib::Server server;
    const int port = Bind(server, options.listenHost, options.listenPort);
    if (port <= 0) {
        return fail(Format("cannot listen on %s:%u (in use, or not an address of this machine)",
                           options.listenHost.c_str(), static_cast<unsigned>(options.listenPort)));
    }

    // 1. The camera, and what it is.
    const ReadyCamera camera = SetUpServedCamera(options, console, stop, defaultModule);
    if (!camera.error.empty()) {
        return fail(camera.error);
    }

    // 2. The driver, as a recording server opens it. MJPEG pictures go to the viewers as they
    // come; MPEG-4 ones through the decoder.
    host::LogSink log;
    EchoLog(log, console, view);
    host::FrameFactory factory;
    host::DeviceSettings settings = camera.DeviceSettings();
    settings.streamType = static_cast<int>(options.video.stream);
    host::DeviceConfig config(settings);
    host::VideoSettings videoSettings = options.video.Settings();
    Mpeg4Preview preview([&view](std::string jpeg, unsigned, unsigned) {
        view.picture.Put(std::make_shared<const std::string>(std::move(jpeg)));
    });
    const bool mpeg4 = options.video.stream == StreamKind::kMpeg4;
    if (mpeg4 && !preview.Start()) {
        return fail(preview.error());
    }
    ChannelSink sink = ViewerSink(view, mpeg4 ? &preview : nullptr);
    IoEvents ioEvents(view.hub, view.failures, console);
    DriverObject driver(*camera.module);
    const std::string error =
        OpenDriver(driver, log, factory, config, videoSettings, sink, camera.ptz, view);
    if (!error.empty()) {
        return fail(error);
    }
    view.center = camera.parameters.count(4) != 0 && camera.parameters.at(4) == "1";
    SetUpDigitalIo(driver->GetCaptureIO(), ioEvents, camera, options.io, view, console);
    if (view.ptz != nullptr) {
        view.hub.Publish("presets", view.PresetList(), "presets");
    }
    view.info = InfoJson(camera, options.video, view.ptz != nullptr, view.io != nullptr);

    // 3. The page, live, until Ctrl-C or SIGTERM.
    ServePage(server, view, options, port, sink, log, console, stop);

    // 4. A clean stop: channel, digital I/O, decoder, driver.
    view.video->StopChannel(0);
    view.StopIo();
    preview.Stop();
    driver->Close();
    return 0;
}

}  // namespace camhost
