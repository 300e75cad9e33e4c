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
#include "page_files.h"
#include "ptz_command.h"
#include "query_command.h"
#include "reference_host.h"

namespace camhost {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace ipc = vostrel::ipcapture;

constexpr const char* kBoundary = "camhostframe";
constexpr int kDefaultSpeed = 8;
// How long a streaming answer waits for something new before it looks again whether the
// viewer is still there (a keep-alive comment on the event stream).
constexpr auto kStreamPoll = 1000ms;

// The digital I/O reports, turned into events (and lines on the console).
class IoEvents : public ipc::ICaptureIOCallback {
  public:
    IoEvents(EventHub& hub, Console& console) : m_hub(hub), m_console(console) {}

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
        m_console.Line(TimeOfDay() + "  digital I/O failure: the camera could not be reached");
    }

  private:
    EventHub& m_hub;
    Console& m_console;
};

std::string JsonAnswer(bool ok, const std::string& message) {
    return std::string("{\"ok\": ") + (ok ? "true" : "false") + ", \"message\": " + Json(message) +
           "}\n";
}

void Answer(httplib::Response& res, int status, const std::string& message) {
    res.status = status;
    res.set_content(JsonAnswer(status == 200, message), "application/json");
}

// A PTZ call's result as the answer to the page.
void AnswerPtz(httplib::Response& res, const std::string& what, int32_t code) {
    const std::string text = what + ": " + PtzResultName(code);
    Answer(res, code == 1 ? 200 : 409, code == 1 ? text : text + Format(" (%d)", code));
}

std::string UrlHost(const std::string& host) {
    return host.find(':') != std::string::npos ? "[" + host + "]" : host;
}

// Everything the page's endpoints use, alive while the server runs.
struct LiveView {
    ipc::IIPVideoCapture* video = nullptr;
    ipc::IIPPTZApiEx* ptz = nullptr;   // null without a PTZ head
    ipc::ICaptureIOApi* io = nullptr;  // null when the digital I/O did not start
    int outputs = 0;
    std::string info;  // the /api/info answer
    PictureSlot picture;
    EventHub hub;
    std::mutex ptzMutex;  // one PTZ call at a time, whichever viewer sends it

    std::string PresetList() {
        std::string names;
        char name[1024];
        std::lock_guard<std::mutex> guard(ptzMutex);
        const int32_t count = ptz != nullptr ? ptz->GetPresetCount() : 0;
        for (int32_t i = 0; i < count; ++i) {
            if (ptz->GetPresetName(i, name, sizeof name) == 1) {
                names += (names.empty() ? "" : ", ") + Json(name);
            }
        }
        return "{\"presets\": [" + names + "]}";
    }
};

// The Host header's name part: "127.0.0.1" of "127.0.0.1:8090", "::1" of "[::1]:8090".
std::string HostName(const std::string& host) {
    if (!host.empty() && host.front() == '[') {
        return host.substr(1, host.find(']') - 1);
    }
    return host.substr(0, host.rfind(':'));
}

// Whether a request may reach the page's endpoints. Without a login, the page must at least
// not be a tool for other web sites: a browser's request that another site's page sends (its
// Origin is not this page) must not move the camera or set an output, and a name that only
// resolves to this machine (DNS rebinding) must not make such a site this page's own.
bool Allowed(const httplib::Request& req, bool loopbackOnly) {
    const std::string host = req.get_header_value("Host");
    if (loopbackOnly && !IsLoopbackAddress(HostName(host))) {
        return false;
    }
    if (req.method == "GET" || req.method == "HEAD") {
        return true;
    }
    return !req.has_header("Origin") || req.get_header_value("Origin") == "http://" + host;
}

void AddRoutes(httplib::Server& server, LiveView& view, bool loopbackOnly) {
    server.set_pre_routing_handler(
        [loopbackOnly](const httplib::Request& req, httplib::Response& res) {
            if (Allowed(req, loopbackOnly)) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            Answer(res, 403, "camhost serves its own page only");
            return httplib::Server::HandlerResponse::Handled;
        });
    server.Get("/api/info", [&view](const httplib::Request&, httplib::Response& res) {
        res.set_content(view.info, "application/json");
    });

    server.Get(
        R"(/video/(\d+)\.mjpg)", [&view](const httplib::Request& req, httplib::Response& res) {
            if (req.matches[1] != "0") {
                Answer(res, 404, "camhost serve shows channel 0");
                return;
            }
            res.set_header("Cache-Control", "no-cache, no-store");
            auto seen = std::make_shared<uint64_t>(0);
            res.set_chunked_content_provider(
                std::string("multipart/x-mixed-replace; boundary=") + kBoundary,
                [&view, seen](size_t, httplib::DataSink& sink) {
                    // Only the newest picture is sent: a slow viewer skips the ones in between.
                    const auto [number, picture] = view.picture.WaitNewer(*seen, kStreamPoll);
                    if (view.picture.Closed()) {
                        return false;
                    }
                    if (!picture) {
                        return true;
                    }
                    *seen = number;
                    const std::string head =
                        Format("--%s\r\nContent-Type: image/jpeg\r\nContent-Length: %zu\r\n\r\n",
                               kBoundary, picture->size());
                    return sink.write(head.data(), head.size()) &&
                           sink.write(picture->data(), picture->size()) && sink.write("\r\n", 2);
                });
        });

    server.Get("/events", [&view](const httplib::Request&, httplib::Response& res) {
        auto subscription = view.hub.Subscribe();
        res.set_header("Cache-Control", "no-cache");
        res.set_chunked_content_provider(
            "text/event-stream",
            [subscription, first = std::make_shared<bool>(true)](size_t, httplib::DataSink& sink) {
                std::string text;
                if (*first) {
                    *first = false;
                    text = "retry: 1000\n\n";
                }
                const auto next = subscription->Next(kStreamPoll);
                if (!next) {
                    return false;
                }
                // A comment when nothing happened: a viewer who left shows as a failed write.
                text += next->empty() ? ": idle\n\n" : *next;
                return sink.write(text.data(), text.size());
            },
            [&view, subscription](bool) { view.hub.Unsubscribe(subscription); });
    });

    server.Post("/api/ptz", [&view](const httplib::Request& req, httplib::Response& res) {
        if (view.ptz == nullptr) {
            Answer(res, 409, "the camera has no PTZ head");
            return;
        }
        const std::string action = req.get_param_value("action");
        const std::string to = req.get_param_value("to");
        int speed = kDefaultSpeed;
        if (req.has_param("speed")) {
            const auto n = ParseNumber(req.get_param_value("speed"), 1, 16);
            if (!n) {
                Answer(res, 400, "speed is 1..16");
                return;
            }
            speed = static_cast<int>(*n);
        }
        std::lock_guard<std::mutex> guard(view.ptzMutex);
        ipc::IIPPTZApiEx* ptz = view.ptz;
        if (action == "stop") {
            AnswerPtz(res, "stop", ptz->StopAll());
        } else if (action == "move") {
            const auto& directions = PtzDirections();
            const auto found = std::find(directions.begin(), directions.end(), to);
            if (found == directions.end()) {
                Answer(res, 400, "move needs to=left|right|up|down|up-left|...");
                return;
            }
            AnswerPtz(res, "move " + to,
                      ptz->Move(static_cast<int32_t>(found - directions.begin()), speed));
        } else if (action == "zoom" && (to == "in" || to == "out")) {
            AnswerPtz(res, "zoom " + to, to == "in" ? ptz->ZoomIn(speed) : ptz->ZoomOut(speed));
        } else if (action == "focus" && (to == "near" || to == "far")) {
            AnswerPtz(res, "focus " + to,
                      to == "near" ? ptz->FocusNear(speed) : ptz->FocusFar(speed));
        } else {
            Answer(res, 400, "action is move, zoom (in|out), focus (near|far) or stop");
        }
    });

    server.Get("/api/presets", [&view](const httplib::Request&, httplib::Response& res) {
        res.set_content(view.PresetList(), "application/json");
    });
    // Add (POST), go to (POST .../goto) and delete (DELETE) a preset by name.
    auto preset = [&view](const char* verb) {
        return
            [&view, verb = std::string(verb)](const httplib::Request& req, httplib::Response& res) {
                const std::string name = req.get_param_value("name");
                if (view.ptz == nullptr) {
                    Answer(res, 409, "the camera has no PTZ head");
                    return;
                }
                if (name.empty()) {
                    Answer(res, 400, "a preset needs a name");
                    return;
                }
                int32_t code = 0;
                {
                    std::lock_guard<std::mutex> guard(view.ptzMutex);
                    code = verb == "add"    ? view.ptz->AddPreset(name.c_str())
                           : verb == "goto" ? view.ptz->GotoPreset(kDefaultSpeed, name.c_str())
                                            : view.ptz->DeletePreset(name.c_str());
                }
                AnswerPtz(res, "preset " + verb + " \"" + name + "\"", code);
                if (code == 1 && verb != "goto") {
                    view.hub.Publish("presets", view.PresetList(), "presets");
                }
            };
    };
    server.Post("/api/presets", preset("add"));
    server.Post("/api/presets/goto", preset("goto"));
    server.Delete("/api/presets", preset("delete"));

    server.Post("/api/output", [&view](const httplib::Request& req, httplib::Response& res) {
        const auto pin = ParseNumber(req.get_param_value("pin"), 1, 64);
        const std::string state = req.get_param_value("state");
        if (!pin || *pin > view.outputs || (state != "make" && state != "break")) {
            Answer(res, 400, Format("output needs pin=1..%d and state=make|break", view.outputs));
            return;
        }
        if (view.io == nullptr ||
            !view.io->SetOutput(static_cast<uint32_t>(*pin - 1), state == "make" ? 2 : 1)) {
            Answer(res, 409, "the driver's digital I/O does not run");
            return;
        }
        // The driver sends it on its output thread; a refusal shows as its log line.
        view.hub.Publish("output", Format("{\"pin\": %ld, \"state\": \"%s\"}", *pin, state.c_str()),
                         Format("output %ld", *pin));
        Answer(res, 200, Format("output %ld set to %s", *pin, state.c_str()));
    });

    // The page itself.
    server.Get(R"(/([A-Za-z0-9_.-]*))", [](const httplib::Request& req, httplib::Response& res) {
        const std::string name = req.matches[1].str().empty() ? "index.html" : req.matches[1].str();
        const PageFile* file = FindPageFile(name);
        if (file == nullptr) {
            Answer(res, 404, "no such page");
            return;
        }
        res.set_content(reinterpret_cast<const char*>(file->data), file->size, file->type);
    });
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
                     int inputs, int outputs, bool ptz, bool simulated) {
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
    j += Format("  \"inputs\": %d,\n  \"outputs\": %d,\n  \"ptz\": %s,\n", inputs, outputs,
                ptz ? "true" : "false");
    j += "  \"video\": \"/video/0.mjpg\"\n}\n";
    return j;
}

}  // namespace

std::string ServeUsageText() {
    return "  camhost serve --address A [--port P] [--user U --password W] [--model M]\n"
           "               [--stream mjpeg|mpeg4] [--size WxH] [--fps N] [--quality Q]\n"
           "               [--presets FILE] [--listen HOST:PORT] [--module PATH]\n"
           "  camhost serve --simulate [PROFILE] [...]\n"
           "    serves a live view page of the camera through the module (video, PTZ and\n"
           "    presets, digital I/O, the driver's log) at http://127.0.0.1:8090/ (--listen\n"
           "    chooses another address; port 0 any free one). The page has no login.\n";
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
    const bool ptz = query.ok ? query.id.ptz : !vnx;
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
    IoEvents ioEvents(view.hub, console);

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
    ipc::ICaptureIOApi* io = driver->GetCaptureIO();
    if (io != nullptr && (inputs > 0 || outputs > 0) && io->SetCallback(&ioEvents)) {
        if (io->Start()) {
            view.io = io;
        } else {
            io->Stop();
            console.Line("camhost: the driver's digital I/O did not start");
        }
    }
    view.outputs = outputs;
    for (int pin = 1; view.io != nullptr && pin <= outputs; ++pin) {
        // Starting the digital I/O drives every output to break.
        view.hub.Publish("output", Format("{\"pin\": %d, \"state\": \"break\"}", pin),
                         Format("output %d", pin));
    }
    if (view.ptz != nullptr) {
        view.hub.Publish("presets", view.PresetList(), "presets");
    }
    view.info = InfoJson(query, o, model, camera.address, camera.port, inputs, outputs,
                         view.ptz != nullptr, camera.simulator != nullptr);

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
    if (view.io != nullptr) {
        view.io->Stop();
    }
    preview.Stop();
    driver->Close();
    return 0;
}

}  // namespace camhost
