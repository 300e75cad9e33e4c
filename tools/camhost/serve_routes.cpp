#include "serve_routes.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "command_line.h"
#include "page_files.h"
#include "ptz_command.h"
#include "serve_command.h"

namespace camhost {

namespace {

using namespace std::chrono_literals;
namespace ipc = vostrel::ipcapture;

constexpr const char* kBoundary = "camhostframe";
constexpr int kDefaultSpeed = 8;
// How long a streaming answer waits for something new before it looks again whether the
// viewer is still there (a keep-alive comment on the event stream).
constexpr auto kStreamPoll = 1000ms;
// How long a PTZ answer waits for a failure line of the driver. A refusal comes back from a
// camera on the same network in milliseconds; the wait is short because a press's stop waits
// behind its move.
constexpr auto kPtzFailureWait = 400ms;
// How long an output set waits for the camera to read the new state.
constexpr auto kOutputConfirmTime = 6s;
// The longest preset name the page takes: the preset list reads names into 1024 bytes.
constexpr size_t kPresetNameLimit = 1023;
// The largest request body taken (the endpoints need none); a larger one is answered 413
// before it is read.
constexpr size_t kBodyLimit = 16 * 1024;
// How long a snapshot waits for a first picture.
constexpr auto kSnapshotWait = 5s;

std::string JsonAnswer(bool ok, const std::string& message) {
    return std::string("{\"ok\": ") + (ok ? "true" : "false") + ", \"message\": " + Json(message) +
           "}\n";
}

void Answer(httplib::Response& res, int status, const std::string& message) {
    res.status = status;
    res.set_content(JsonAnswer(status == 200, message), "application/json");
}

// A PTZ call's result as the answer to the page: a queued command is done only when no
// failure line came for it.
void AnswerPtz(LiveView& view, httplib::Response& res, const std::string& what,
               const std::function<int32_t()>& call) {
    int32_t code = 0;
    uint64_t mark = 0;
    {
        std::lock_guard<std::mutex> guard(view.ptzMutex);
        mark = view.failures.Mark();
        code = call();
    }
    if (code != 1) {
        // The driver's failure line, when it logged one, says more than the result code.
        Answer(res, 409,
               what + " failed: " + view.failures.Since(mark).value_or(PtzResultName(code)));
        return;
    }
    if (auto failure = view.failures.WaitSince(mark, kPtzFailureWait)) {
        Answer(res, 502, what + " failed: " + *failure);
        return;
    }
    Answer(res, 200, what + ": done");
}

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

void AddVideoRoutes(httplib::Server& server, LiveView& view) {
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
    // The newest picture, once.
    server.Get("/snapshot.jpg", [&view](const httplib::Request&, httplib::Response& res) {
        const auto picture = view.picture.WaitNewer(0, kSnapshotWait).second;
        if (!picture) {
            Answer(res, 503, "no picture has come from the camera yet");
            return;
        }
        res.set_header("Cache-Control", "no-cache, no-store");
        res.set_content(*picture, "image/jpeg");
    });
}

void AddEventRoute(httplib::Server& server, LiveView& view) {
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
}

// The PTZ action a request names, as a call of the control; null (and the answer given)
// when the request is not one.
std::function<int32_t()> PtzCall(LiveView& view, const httplib::Request& req,
                                 httplib::Response& res, std::string& what) {
    const std::string action = req.get_param_value("action");
    const std::string to = req.get_param_value("to");
    int speed = kDefaultSpeed;
    if (req.has_param("speed")) {
        const auto n = ParseNumber(req.get_param_value("speed"), 1, 16);
        if (!n) {
            Answer(res, 400, "speed is 1..16");
            return nullptr;
        }
        speed = static_cast<int>(*n);
    }
    ipc::IIPPTZApiEx* ptz = view.ptz;
    what = action + (to.empty() ? "" : " " + to);
    if (action == "stop") {
        return [ptz] { return ptz->StopAll(); };
    }
    if (action == "move") {
        const auto& directions = PtzDirections();
        const auto found = std::find(directions.begin(), directions.end(), to);
        if (found != directions.end()) {
            const auto direction = static_cast<int32_t>(found - directions.begin());
            return [ptz, direction, speed] { return ptz->Move(direction, speed); };
        }
        Answer(res, 400, "move needs to=left|right|up|down|up-left|...");
        return nullptr;
    }
    if (action == "zoom" && (to == "in" || to == "out")) {
        return [ptz, to, speed] { return to == "in" ? ptz->ZoomIn(speed) : ptz->ZoomOut(speed); };
    }
    if (action == "focus" && (to == "near" || to == "far")) {
        return [ptz, to, speed] {
            return to == "near" ? ptz->FocusNear(speed) : ptz->FocusFar(speed);
        };
    }
    if (action == "center" && view.center) {
        const auto x = ParseNumber(req.get_param_value("x"), 0, 100000);
        const auto y = ParseNumber(req.get_param_value("y"), 0, 100000);
        if (x && y) {
            what = Format("center on %ld,%ld", *x, *y);
            return [ptz, x = *x, y = *y, speed] {
                return ptz->CenterOn(static_cast<int32_t>(x), static_cast<int32_t>(y), speed);
            };
        }
        Answer(res, 400, "center needs x and y, pixels of the picture");
        return nullptr;
    }
    Answer(res, 400,
           std::string("action is move, zoom (in|out), focus (near|far), ") +
               (view.center ? "center (x, y) " : "") + "or stop");
    return nullptr;
}

void AddPtzRoutes(httplib::Server& server, LiveView& view) {
    server.Get("/api/ptz", [&view](const httplib::Request&, httplib::Response& res) {
        const std::string presets = view.ptz != nullptr ? view.PresetList() : "{}";
        res.set_content(
            Format("{\"ptz\": %s, \"center\": %s, \"speed\": {\"min\": 1, \"max\": "
                   "16, \"default\": %d}, ",
                   view.ptz != nullptr ? "true" : "false",
                   view.ptz != nullptr && view.center ? "true" : "false", kDefaultSpeed) +
                presets.substr(1),
            "application/json");
    });
    server.Post("/api/ptz", [&view](const httplib::Request& req, httplib::Response& res) {
        if (view.ptz == nullptr) {
            Answer(res, 409,
                   "there is no PTZ head to move (none, or the camera is not identified)");
            return;
        }
        std::string what;
        if (auto call = PtzCall(view, req, res, what)) {
            AnswerPtz(view, res, what, call);
        }
    });
}

void AddPresetRoutes(httplib::Server& server, LiveView& view) {
    server.Get("/api/presets", [&view](const httplib::Request&, httplib::Response& res) {
        res.set_content(view.PresetList(), "application/json");
    });
    // Add (POST), go to (POST .../goto) and delete (DELETE) a preset by name.
    auto preset = [&view](const char* verb) {
        return [&view, verb = std::string(verb)](const httplib::Request& req,
                                                 httplib::Response& res) {
            const std::string name = req.get_param_value("name");
            if (view.ptz == nullptr) {
                Answer(res, 409, "there is no PTZ head (none, or the camera is not identified)");
                return;
            }
            if (name.empty()) {
                Answer(res, 400, "a preset needs a name");
                return;
            }
            // What cannot be stored and listed as given is refused, not cut short.
            if (name.find('\0') != std::string::npos || name.size() > kPresetNameLimit) {
                Answer(res, 400,
                       Format("a preset name has at most %zu bytes and no NUL character",
                              kPresetNameLimit));
                return;
            }
            ipc::IIPPTZApiEx* ptz = view.ptz;
            AnswerPtz(view, res, "preset " + verb + " \"" + name + "\"", [&]() -> int32_t {
                return verb == "add"    ? ptz->AddPreset(name.c_str())
                       : verb == "goto" ? ptz->GotoPreset(kDefaultSpeed, name.c_str())
                                        : ptz->DeletePreset(name.c_str());
            });
            if (verb != "goto") {
                view.hub.Publish("presets", view.PresetList(), "presets");
            }
        };
    };
    server.Post("/api/presets", preset("add"));
    server.Post("/api/presets/goto", preset("goto"));
    server.Delete("/api/presets", preset("delete"));
}

void AddIoRoutes(httplib::Server& server, LiveView& view) {
    server.Post("/api/io/start", [&view](const httplib::Request&, httplib::Response& res) {
        if (view.io == nullptr) {
            Answer(res, 409, "the camera has no digital I/O the driver can drive");
        } else if (view.IoRunning()) {
            Answer(res, 200, "the digital I/O runs already");
        } else if (view.StartIo()) {
            Answer(res, 200, "digital I/O started: every output was set to break");
        } else {
            Answer(res, 502, "the driver's digital I/O did not start");
        }
    });
    server.Post("/api/output", [&view](const httplib::Request& req, httplib::Response& res) {
        const auto pin = ParseNumber(req.get_param_value("pin"), 1, 64);
        const std::string state = req.get_param_value("state");
        if (!pin || *pin > view.outputs || (state != "make" && state != "break")) {
            Answer(res, 400, Format("output needs pin=1..%d and state=make|break", view.outputs));
            return;
        }
        if (!view.IoRunning()) {
            Answer(res, 409,
                   "the digital I/O is not started (starting it sets every output to break)");
            return;
        }
        const uint64_t mark = view.failures.Mark();
        if (!view.io->SetOutput(static_cast<uint32_t>(*pin - 1), state == "make" ? 2 : 1)) {
            Answer(res, 502,
                   "the driver did not take the request (its output thread does not run)");
            return;
        }
        const std::string problem =
            ConfirmOutput(view.camera, static_cast<int>(*pin), state, view.failures, mark,
                          kOutputConfirmTime, [&view](std::chrono::milliseconds interval) {
                              std::this_thread::sleep_for(interval);
                              return view.picture.Closed();
                          });
        if (!problem.empty()) {
            Answer(res, 502,
                   Format("output %ld was not set to %s: ", *pin, state.c_str()) + problem);
            return;
        }
        view.hub.Publish("output", Format("{\"pin\": %ld, \"state\": \"%s\"}", *pin, state.c_str()),
                         Format("output %ld", *pin));
        Answer(
            res, 200,
            Format("output %ld is %s (the camera reads %s)", *pin, state.c_str(), state.c_str()));
    });
}

void AddPageRoutes(httplib::Server& server, LiveView& view) {
    server.Get("/api/info", [&view](const httplib::Request&, httplib::Response& res) {
        res.set_content(view.info, "application/json");
    });
    // Browsers ask for an icon; the page has none.
    server.Get("/favicon.ico",
               [](const httplib::Request&, httplib::Response& res) { res.status = 204; });
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

}  // namespace

bool LiveView::StartIo() {
    std::lock_guard<std::mutex> guard(m_ioMutex);
    if (m_ioRunning || io == nullptr) {
        return m_ioRunning;
    }
    if (!io->Start()) {
        io->Stop();
        return false;
    }
    m_ioRunning = true;
    hub.Publish("io", "{\"running\": true}", "io");
    for (int pin = 1; pin <= outputs; ++pin) {
        hub.Publish("output", Format("{\"pin\": %d, \"state\": \"break\"}", pin),
                    Format("output %d", pin));
    }
    return true;
}

void LiveView::StopIo() {
    std::lock_guard<std::mutex> guard(m_ioMutex);
    if (m_ioRunning) {
        io->Stop();
        m_ioRunning = false;
    }
}

std::string LiveView::PresetList() {
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

void AddRoutes(httplib::Server& server, LiveView& view, bool loopbackOnly) {
    server.set_payload_max_length(kBodyLimit);
    // No other site may frame the page (a framed page's click could switch an output), and
    // the page runs only its own scripts.
    server.set_default_headers(
        {{"X-Frame-Options", "DENY"},
         {"Content-Security-Policy",
          "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'; base-uri 'none'; "
          "form-action 'self'"},
         {"X-Content-Type-Options", "nosniff"}});
    server.set_pre_routing_handler(
        [loopbackOnly](const httplib::Request& req, httplib::Response& res) {
            if (Allowed(req, loopbackOnly)) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            Answer(res, 403, "camhost serves its own page only");
            return httplib::Server::HandlerResponse::Handled;
        });
    AddVideoRoutes(server, view);
    AddEventRoute(server, view);
    AddPtzRoutes(server, view);
    AddPresetRoutes(server, view);
    AddIoRoutes(server, view);
    AddPageRoutes(server, view);
}

}  // namespace camhost
