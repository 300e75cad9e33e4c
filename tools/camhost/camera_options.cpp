#include "camera_options.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

namespace camhost {

namespace {

// "VN-V686, VN-V686B, VN-V685, VN-X235"
std::string ProfileNames() {
    std::string names;
    for (const auto& p : camsim::KnownProfiles()) {
        names += (names.empty() ? "" : ", ") + p.name;
    }
    return names;
}

// --simulate [PROFILE]: the profile is the next word when it is not an option; with operands
// after the options, only when it names a profile (else it is the action).
void TakeSimulate(ArgReader& reader, const CameraOptionSet& set, CameraOptions& out) {
    out.simulate = true;
    const std::string* next = reader.Peek();
    if (next == nullptr || next->rfind("--", 0) == 0) {
        return;
    }
    if (camsim::FindProfile(*next)) {
        out.sim_profile = reader.Next();
    } else if (!set.operands) {
        reader.Fail("unknown camera profile \"" + *next + "\" (--simulate takes " + ProfileNames() +
                    " or any VN-X<digits>)");
    }
}

void TakeParam(ArgReader& reader, CameraOptions& out) {
    const auto v = reader.Value("--param");
    if (!v) {
        return;
    }
    const auto eq = v->find('=');
    const auto n = eq == std::string::npos ? std::nullopt : ParseNumber(v->substr(0, eq), 1, 64);
    if (!n) {
        reader.Fail("--param must be N=TEXT, N 1..64");
        return;
    }
    out.params[static_cast<int>(*n)] = v->substr(eq + 1);
}

// The options of the simulator: --sim-auth, --sim-user, --sim-password.
bool TakeSimulatorOption(const std::string& option, ArgReader& reader, CameraOptions& out) {
    if (option != "--sim-auth" && option != "--sim-user" && option != "--sim-password") {
        return false;
    }
    const auto v = reader.Value(option);
    if (!v) {
        return true;
    }
    if (out.sim_option.empty()) {
        out.sim_option = option;
    }
    if (option == "--sim-user") {
        out.sim_user = *v;
    } else if (option == "--sim-password") {
        out.sim_password = *v;
    } else if (auto mode = camsim::ParseAuthMode(*v)) {
        out.sim_auth = *mode;
    } else {
        reader.Fail("--sim-auth must be none, basic or digest");
    }
    return true;
}

// The options that take a text as it is.
std::string* TextOption(const std::string& option, const CameraOptionSet& set, CameraOptions& out) {
    if (option == "--address") {
        return &out.address;
    }
    if (option == "--user") {
        return &out.user;
    }
    if (option == "--password-file") {
        return &out.password_file;
    }
    if (option == "--module") {
        return &out.module_path;
    }
    if (option == "--model" && set.driver) {
        return &out.model;
    }
    if (option == "--presets" && set.presets) {
        return &out.presets;
    }
    return nullptr;
}

}  // namespace

bool TakeCameraOption(const std::string& option, ArgReader& reader, const CameraOptionSet& set,
                      CameraOptions& out) {
    if (std::string* text = TextOption(option, set, out)) {
        if (auto v = reader.Value(option)) {
            *text = *v;
            if (v->empty() &&
                (option == "--address" || option == "--password-file" || option == "--presets")) {
                reader.Fail(option + " must not be empty");
            }
        }
    } else if (option == "--password") {
        if (auto v = reader.Value(option)) {
            out.password = *v;
            out.password_given = true;
        }
    } else if (option == "--port") {
        if (auto port = reader.Number(option, 1, 65535)) {
            out.port = static_cast<uint16_t>(*port);
        }
    } else if (option == "--param" && set.driver) {
        TakeParam(reader, out);
    } else if (option == "--simulate") {
        TakeSimulate(reader, set, out);
    } else {
        return TakeSimulatorOption(option, reader, out);
    }
    return true;
}

std::optional<std::string> ReadPasswordFile(const std::string& path, std::string& error) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "r"), &std::fclose);
    if (!file) {
        error = "cannot read the password file " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    char* line = nullptr;
    size_t capacity = 0;
    const ssize_t length = getline(&line, &capacity, file.get());
    const int cause = errno;
    std::string text = length > 0 ? std::string(line, static_cast<size_t>(length)) : "";
    std::free(line);
    if (length < 0 && std::ferror(file.get())) {
        error = "cannot read the password file " + path + ": " + std::strerror(cause);
        return std::nullopt;
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

namespace {

// The password from its one source (see the header).
std::optional<std::string> TakePassword(CameraOptions& options, std::string& error) {
    if (options.password_given && !options.password_file.empty()) {
        error = "give --password or --password-file, not both";
        return std::nullopt;
    }
    if (!options.password_file.empty()) {
        return ReadPasswordFile(options.password_file, error);
    }
    if (options.password_given) {
        return options.password;
    }
    const char* environment = std::getenv(kPasswordVariable);
    return std::string(environment != nullptr ? environment : "");
}

}  // namespace

ParseOutcome FinishCameraOptions(CameraOptions& options) {
    if (options.simulate && (!options.address.empty() || options.port)) {
        return UsageError(
            "--simulate chooses the address and port; leave out --address and --port");
    }
    if (!options.simulate && options.address.empty()) {
        return UsageError("the camera is needed: --address A (or --simulate)");
    }
    if (!options.simulate && !options.sim_option.empty()) {
        return UsageError(options.sim_option + " is for --simulate");
    }
    std::string error;
    const auto password = TakePassword(options, error);
    if (!password) {
        return UsageError(error);
    }
    options.password = *password;
    if (!options.presets.empty()) {
        std::error_code ignored;
        options.presets = std::filesystem::absolute(options.presets, ignored).lexically_normal();
    }
    return {};
}

std::string CameraUsageText(const CameraOptionSet& set) {
    std::string text =
        "\nThe camera (every command):\n"
        "  --address A            its address, a name or an IP address\n"
        "  --port P               its HTTP port, 1..65535 (default 80)\n"
        "  --user U               the account to log in with\n"
        "  --password W           its password (other users can see it in the process list)\n"
        "  --password-file FILE   reads the password from the file's first line instead\n"
        "                         (not both); with neither, the environment variable\n"
        "                         CAMHOST_PASSWORD holds it\n";
    if (set.driver) {
        text +=
            "  --model M              the model, e.g. VN-V686 or VN-X235 (VN-X: family 2);\n"
            "                         without it the module's capability query identifies the\n"
            "                         camera and gives the driver's parameters\n"
            "  --param N=TEXT         sets driver parameter N over what the query or --model\n"
            "                         gives (1 video standard, 2 camera family, 3 preset file,\n"
            "                         4 centre command, 5 firmware)\n";
    }
    if (set.presets) {
        text +=
            "  --presets FILE         the preset file (default: one per camera, named by the\n"
            "                         query, in $XDG_STATE_HOME/camhost/ or\n"
            "                         ~/.local/state/camhost/)\n";
    }
    return text +
           "  --module PATH          the driver module to load (default: camhost's own)\n"
           "  --simulate [PROFILE]   the camera simulator on loopback instead of a camera\n"
           "                         (" +
           ProfileNames() +
           " or any VN-X<digits>;\n"
           "                         default VN-V686); --sim-auth none|basic|digest,\n"
           "                         --sim-user U and --sim-password W set its login\n"
           "                         (default none, admin, jvc)\n";
}

}  // namespace camhost
