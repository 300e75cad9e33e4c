#include "camera_setup.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "camera_check.h"
#include "command_line.h"

namespace camhost {

namespace {

namespace fs = std::filesystem;

// The longest camhost's own look at a camera the query did not identify waits for an answer
// (or the query's time-out, when that is shorter).
constexpr double kCheckSeconds = 5;

// Tries a TCP connection to address:port within the time-out; empty when it connected,
// otherwise the reason ("connection refused", "no answer to the connection within 3 s", ...).
// unknown: the address's name is not known.
std::string ProbeTcp(const std::string& address, uint16_t port, std::chrono::milliseconds timeout,
                     bool& unknown) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found);
    unknown = rc != 0;
    if (rc != 0) {
        return gai_strerror(rc);
    }
    std::string reason = "no address for it";
    for (addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
        const int fd =
            socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            reason = std::strerror(errno);
            continue;
        }
        int error = 0;
        if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS) {
                pollfd p{fd, POLLOUT, 0};
                const int ready = poll(&p, 1, static_cast<int>(timeout.count()));
                socklen_t len = sizeof(error);
                if (ready <= 0) {
                    error = ETIMEDOUT;
                } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) {
                    error = errno;
                }
            }
        }
        close(fd);
        if (error == 0) {
            freeaddrinfo(found);
            return {};
        }
        reason = error == ETIMEDOUT ? "no answer to the connection within " +
                                          std::to_string(timeout.count() / 1000) + " s"
                                    : Lower(std::strerror(error));
    }
    freeaddrinfo(found);
    return reason;
}

// 1 and 2: the simulator started when chosen, then the camera checked to be reachable; the
// error, or empty.
std::string Reach(const CameraOptions& o, const SetUpRequest& request, ReadyCamera& camera) {
    camera.address = o.address;
    camera.port = o.port.value_or(80);
    if (o.simulate) {
        camsim::Options sim;
        sim.profile = o.sim_profile;
        sim.auth = o.sim_auth;
        sim.user = o.sim_user;
        sim.password = o.sim_password;
        sim.input_pins = request.simInputPins;
        sim.output_pins = request.simOutputPins;
        sim.jpeg_ring_size = request.simJpegRingSize;
        try {
            camera.simulator = std::make_unique<camsim::CameraSimulator>(sim);
            camera.port = camera.simulator->Start();
        } catch (const std::exception& e) {
            return std::string("cannot start the camera simulator: ") + e.what();
        }
        camera.address = camera.simulator->address();
        if (request.console != nullptr) {
            request.console->Line(SimulatorLine(*camera.simulator));
        }
    }
    bool unknown = false;
    const std::string why = ProbeTcp(camera.address, camera.port, std::chrono::seconds(3), unknown);
    if (why.empty()) {
        return {};
    }
    camera.cause = FailureCause::kUnreachable;
    if (unknown) {
        return Format("the address %s is not known (%s): check --address", camera.address.c_str(),
                      why.c_str());
    }
    return Format(
        "%s:%u does not answer (%s): check --address and --port, and that the camera is on and "
        "on this network",
        camera.address.c_str(), static_cast<unsigned>(camera.port), why.c_str());
}

// The capability query; when it fails, camhost's own look at what answers (camera_check.h)
// says plainly what the query reports as one failure. The error, or empty.
std::string Query(const SetUpRequest& request, ReadyCamera& camera, StopSignal* stop) {
    QueryOutcome query =
        QueryCamera(*camera.module, camera.address, camera.port, camera.user, camera.password,
                    request.videoStandard, request.queryTimeout, stop);
    if (query.ok) {
        camera.identified = std::move(query.id);
        return {};
    }
    if (stop != nullptr && stop->Requested()) {
        return "interrupted";
    }
    const CameraAccess access{camera.address, camera.port, camera.user, camera.password};
    const auto checkTime = std::chrono::milliseconds(
        static_cast<long>(std::min(kCheckSeconds, request.queryTimeout) * 1000));
    const CameraCheck check = CheckCamera(access, checkTime);
    if (!check.error.empty()) {
        camera.cause = check.cause;
        return check.error;
    }
    // The camera answers: naming its model may get past what stopped the query.
    const std::string hint = request.modelOption && !request.goOnUnidentified
                                 ? " (--model M names the camera without the query)"
                                 : "";
    if (query.cause == FailureCause::kOther && !IsKnownModel(check.model)) {
        camera.cause = FailureCause::kNotACamera;
        return UnknownModelWords(access, check.model) + hint;
    }
    camera.cause = query.cause;
    return query.error + hint;
}

// 4: the capability query, unless --model names the camera; the error, or empty.
std::string Identify(const CameraOptions& o, const SetUpRequest& request, ReadyCamera& camera,
                     StopSignal* stop) {
    if (!o.model.empty()) {
        return {};
    }
    const std::string error = Query(request, camera, stop);
    if (!error.empty() && request.goOnUnidentified && (stop == nullptr || !stop->Requested())) {
        camera.queryError = error;
        return {};
    }
    return error;
}

bool IsVnx(const std::string& model) {
    return Upper(model).rfind("VN-X", 0) == 0;
}

// 5: the model, the pins and the head: the query's, or the named (or default) model's.
void Describe(const CameraOptions& o, ReadyCamera& camera) {
    if (camera.identified) {
        camera.model = camera.identified->model;
        camera.inputs = camera.identified->inputs;
        camera.outputs = camera.identified->outputs;
        camera.ptz = camera.identified->ptz;
        return;
    }
    camera.model = !o.model.empty() ? o.model : o.simulate ? Upper(o.sim_profile) : "VN-V686";
    const auto profile = camsim::FindProfile(camera.model);
    camera.inputs = profile ? profile->input_pins : 1;
    camera.outputs = profile ? profile->output_pins : 1;
    // A camera the query did not identify gets no head (nor the presets of another camera);
    // a model the user names has one unless it is a VN-X.
    camera.ptz = camera.queryError.empty() && (profile ? profile->ptz : !IsVnx(camera.model));
}

// Creates the folder and those above it that are missing, each with mode 0700.
bool MakeFolder(const fs::path& folder, std::string& error) {
    fs::path path;
    for (const auto& part : folder) {
        path /= part;
        if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot create " + path.string() + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

// 5: the preset file's absolute path (see the header's comment).
std::string PresetFile(const CameraOptions& o, const SetUpRequest& request,
                       const ReadyCamera& camera) {
    if (!o.presets.empty()) {
        return o.presets;
    }
    auto warn = [&request](const std::string& text) {
        if (request.console != nullptr && request.keepsPresets) {
            request.console->Line("camhost: warning: " + text +
                                  "; presets are not kept (--presets FILE names a file)");
        }
    };
    const std::string folder = PresetFolder();
    if (folder.empty()) {
        warn("no home folder is known (HOME) for the preset file");
        return {};
    }
    std::string error;
    if (request.keepsPresets && camera.ptz && !MakeFolder(folder, error)) {
        warn(error);
    }
    const std::string queryName = camera.identified ? camera.identified->presetFile : "";
    return folder + "/" + PresetFileName(queryName, camera.address, camera.port);
}

// Keeps letters, digits, '.', '-' and '_'; anything else becomes '_'.
std::string SafeName(std::string text) {
    for (char& c : text) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') {
            c = '_';
        }
    }
    return text;
}

}  // namespace

std::string SimulatorLine(const camsim::CameraSimulator& simulator) {
    return Format("camera simulator %s (authentication %s) on %s", simulator.profile().name.c_str(),
                  camsim::AuthModeName(simulator.options().auth), simulator.base_url().c_str());
}

std::string PresetFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return (fs::path(state) / "camhost").lexically_normal().string();
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') {
        const passwd* user = getpwuid(getuid());
        home = user != nullptr ? user->pw_dir : nullptr;
    }
    if (home == nullptr || home[0] != '/') {
        return {};
    }
    return (fs::path(home) / ".local/state/camhost").lexically_normal().string();
}

std::string PresetFileName(const std::string& queryName, const std::string& address,
                           uint16_t port) {
    const std::string name = SafeName(queryName);
    if (name.find_first_not_of('.') != std::string::npos) {
        return name;
    }
    return "camhost-" + SafeName(address) + "-" + std::to_string(port) + ".preset";
}

std::map<int, std::string> DriverParameters(const Identification* identified,
                                            const std::string& model, const std::string& presetFile,
                                            const std::map<int, std::string>& overrides) {
    std::map<int, std::string> all;
    if (identified != nullptr) {
        for (const auto& p : identified->driverParameters) {
            all[p.index] = p.value;
        }
    } else {
        all = {{1, "0"}, {2, IsVnx(model) ? "2" : "1"}, {4, "1"}};
    }
    if (!presetFile.empty()) {
        all[3] = presetFile;
    }
    for (const auto& [index, text] : overrides) {
        all[index] = text;
    }
    // The driver reads parameters 1, 2, ... up to the first one missing.
    const int last = all.empty() ? 0 : all.rbegin()->first;
    for (int i = 1; i < last; ++i) {
        all.emplace(i, "(none)");
    }
    return all;
}

host::DeviceSettings ReadyCamera::DeviceSettings() const {
    host::DeviceSettings settings;
    settings.address = address;
    settings.port = port;
    settings.userName = user;
    settings.password = password;
    settings.model = model;
    settings.inputCount = inputs;
    settings.outputCount = outputs;
    settings.parameters = parameters;
    return settings;
}

ReadyCamera SetUpCamera(const CameraOptions& options, const SetUpRequest& request,
                        const std::string& defaultModule, StopSignal* stop) {
    ReadyCamera camera;
    camera.user = options.user;
    camera.password = options.password;
    camera.error = Reach(options, request, camera);
    if (!camera.error.empty()) {
        return camera;
    }
    camera.module = std::make_unique<ModuleLibrary>();
    if (!camera.module->Load(options.module_path.empty() ? defaultModule : options.module_path)) {
        camera.error = camera.module->error() + " (--module PATH chooses the file)";
        return camera;
    }
    camera.error = Identify(options, request, camera, stop);
    if (!camera.error.empty()) {
        return camera;
    }
    Describe(options, camera);
    camera.presetFile = PresetFile(options, request, camera);
    const Identification* identified = camera.identified ? &*camera.identified : nullptr;
    camera.parameters =
        DriverParameters(identified, camera.model, camera.presetFile, options.params);
    return camera;
}

}  // namespace camhost
