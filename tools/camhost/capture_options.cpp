#include "capture_options.h"

#include "command_line.h"
#include "ptz_command.h"
#include "query_command.h"
#include "serve_command.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <set>

namespace camhost {

namespace {

// Walks the arguments: each option takes its value from the next argument.
class ArgReader {
  public:
    explicit ArgReader(const std::vector<std::string>& args) : m_args(args) {}
    bool Done() const { return m_next >= m_args.size(); }
    const std::string& Next() { return m_args[m_next++]; }
    // The value of the option just read, or nullopt when none follows.
    std::optional<std::string> Value() {
        if (Done()) {
            return std::nullopt;
        }
        return m_args[m_next++];
    }
    // The next argument when it is not an option.
    std::optional<std::string> OptionalValue() {
        if (Done() || m_args[m_next].rfind("--", 0) == 0) {
            return std::nullopt;
        }
        return m_args[m_next++];
    }

  private:
    const std::vector<std::string>& m_args;
    size_t m_next = 0;
};

}  // namespace

const char* StreamName(StreamKind kind) {
    return kind == StreamKind::kMpeg4 ? "MPEG-4" : "MJPEG";
}

std::optional<std::pair<unsigned, unsigned>> ParseSize(const std::string& text) {
    const auto x = text.find_first_of("xX");
    if (x == std::string::npos) {
        return std::nullopt;
    }
    auto w = ParseNumber(text.substr(0, x), 16, 4096);
    auto h = ParseNumber(text.substr(x + 1), 16, 4096);
    if (!w || !h) {
        return std::nullopt;
    }
    return std::make_pair(static_cast<unsigned>(*w), static_cast<unsigned>(*h));
}

std::string CaptureOptions::EffectiveModel() const {
    if (!model.empty()) {
        return model;
    }
    return simulate ? Upper(sim_profile) : "VN-V686";
}

std::map<int, std::string> CaptureOptions::DriverParameters() const {
    std::map<int, std::string> all;
    all[1] = "0";
    all[2] = Upper(EffectiveModel()).rfind("VN-X", 0) == 0 ? "2" : "1";
    for (const auto& [index, text] : params) {
        all[index] = text;
    }
    // The driver reads parameters 1, 2, ... up to the first one missing.
    const int last = all.rbegin()->first;
    for (int i = 1; i < last; ++i) {
        all.emplace(i, "(none)");
    }
    return all;
}

ParseOutcome ParseCaptureArgs(const std::vector<std::string>& args, CaptureOptions& out,
                              const std::string& command) {
    ArgReader reader(args);
    bool simAuthGiven = false;
    while (!reader.Done()) {
        const std::string option = reader.Next();
        if (option == "--help" || option == "-h") {
            return {ParseOutcome::kHelp, {}};
        }
        if (option == "--simulate") {
            out.simulate = true;
            if (auto profile = reader.OptionalValue()) {
                if (!camsim::FindProfile(*profile)) {
                    return UsageError("unknown camera profile \"" + *profile + "\"");
                }
                out.sim_profile = *profile;
            }
            continue;
        }
        static const std::set<std::string> kWithValue = {
            "--address",  "--port",     "--user",        "--password",        "--model",
            "--stream",   "--size",     "--fps",         "--quality",         "--channels",
            "--seconds",  "--out",      "--param",       "--connect-timeout", "--module",
            "--sim-auth", "--sim-user", "--sim-password"};
        if (!kWithValue.count(option)) {
            return UsageError("unknown option \"" + option + "\"");
        }
        const auto value = reader.Value();
        if (!value) {
            return UsageError(option + " needs a value");
        }
        const std::string& v = *value;
        auto bad = [&] { return UsageError("bad value for " + option + ": \"" + v + "\""); };
        std::optional<ParseOutcome> sharedError;
        if (TakeSharedOption(option, v, out, sharedError)) {
            if (sharedError) {
                return *sharedError;
            }
            continue;
        }
        if (option == "--stream") {
            if (v == "mjpeg" || v == "jpeg") {
                out.stream = StreamKind::kMjpeg;
            } else if (v == "mpeg4" || v == "mpeg-4") {
                out.stream = StreamKind::kMpeg4;
            } else {
                return bad();
            }
        } else if (option == "--size") {
            auto size = ParseSize(v);
            if (!size) {
                return bad();
            }
            out.width = size->first;
            out.height = size->second;
        } else if (option == "--fps") {
            auto n = ParseNumber(v, 0, 30);
            if (!n) {
                return bad();
            }
            out.fps = static_cast<unsigned>(*n);
        } else if (option == "--quality") {
            auto n = ParseNumber(v, 1, 100);
            if (!n) {
                return bad();
            }
            out.quality = static_cast<unsigned>(*n);
        } else if (option == "--channels") {
            auto n = ParseNumber(v, 1, 16);
            if (!n) {
                return bad();
            }
            out.channels = static_cast<unsigned>(*n);
        } else if (option == "--seconds") {
            auto s = ParseSeconds(v);
            if (!s) {
                return bad();
            }
            out.seconds = *s;
        } else if (option == "--connect-timeout") {
            auto s = ParseSeconds(v);
            if (!s || *s <= 0) {
                return bad();
            }
            out.connect_timeout = *s;
        } else if (option == "--out") {
            if (v.empty()) {
                return bad();
            }
            out.out_dir = v;
        } else if (option == "--param") {
            const auto eq = v.find('=');
            auto n = eq == std::string::npos ? std::nullopt : ParseNumber(v.substr(0, eq), 1, 64);
            if (!n) {
                return bad();
            }
            out.params[static_cast<int>(*n)] = v.substr(eq + 1);
        } else if (option == "--sim-auth") {
            auto mode = camsim::ParseAuthMode(v);
            if (!mode) {
                return bad();
            }
            out.sim_auth = *mode;
            simAuthGiven = true;
        } else {
            return UsageError("unknown option \"" + option + "\"");
        }
    }
    if (out.simulate) {
        if (!out.address.empty() || out.port) {
            return UsageError(
                "--simulate chooses the address and port; leave out --address "
                "and --port");
        }
    } else {
        if (out.address.empty()) {
            return UsageError(command + " needs --address (or --simulate)");
        }
        if (simAuthGiven) {
            return UsageError("--sim-auth is for --simulate");
        }
    }
    return {};
}

ParseOutcome ParseDemoArgs(const std::vector<std::string>& args, DemoOptions& out) {
    ArgReader reader(args);
    while (!reader.Done()) {
        const std::string option = reader.Next();
        if (option == "--help" || option == "-h") {
            return {ParseOutcome::kHelp, {}};
        }
        if (option != "--seconds" && option != "--out" && option != "--module") {
            return UsageError("unknown option \"" + option + "\"");
        }
        const auto value = reader.Value();
        if (!value) {
            return UsageError(option + " needs a value");
        }
        if (option == "--seconds") {
            auto s = ParseSeconds(*value);
            if (!s || *s <= 0) {
                return UsageError("bad value for --seconds: \"" + *value + "\"");
            }
            out.seconds = *s;
        } else if (option == "--out") {
            out.out_dir = *value;
        } else if (option == "--module") {
            out.module_path = *value;
        } else {
            return UsageError("unknown option \"" + option + "\"");
        }
    }
    return {};
}

std::string UsageText() {
    std::string profiles;
    for (const auto& p : camsim::KnownProfiles()) {
        profiles += (profiles.empty() ? "" : ", ") + p.name;
    }
    return "usage:\n"
           "  camhost capture --address A [--port P] [--user U --password W] [--model M]\n"
           "                  [--stream mjpeg|mpeg4] [--size 640x480] [--fps N] [--quality Q]\n"
           "                  [--channels N] [--seconds S] [--out DIR] [--param N=TEXT]...\n"
           "                  [--connect-timeout S] [--module PATH]\n"
           "  camhost capture --simulate [PROFILE] [--sim-auth none|basic|digest\n"
           "                  --sim-user U --sim-password W] [capture options but "
           "--address/--port]\n"
           "  camhost demo [--seconds S] [--out DIR] [--module PATH]\n" +
           PtzUsageText() + QueryUsageText() + ServeUsageText() +
           "  camhost io ... (camhost io --help)\n" +
           "\n"
           "capture pulls video from a camera through the driver module and writes it to DIR\n"
           "(default ./capture-out): MJPEG as DIR/ch0/000001.jpg ..., MPEG-4 as\n"
           "DIR/ch0/stream.m4v (plays with ffplay). --seconds counts from the first frame\n"
           "(default 5; 0: until Ctrl-C); --connect-timeout (default 15) is how long to wait for\n"
           "it. Defaults: --port 80, --model VN-V686 (VN-X... models are camera family 2),\n"
           "--stream mjpeg, --size 640x480, --fps 10 (0: the camera's rate), --quality 50,\n"
           "--channels 1. --param N=TEXT sets driver parameter N (1: video standard, 2: camera\n"
           "family).\n"
           "--simulate starts the camera simulator on loopback; profiles: " +
           profiles +
           ",\nany VN-X<digits> (default VN-V686).\n"
           "\n"
           "demo starts the camera simulator, identifies it with the capability query and\n"
           "captures --seconds (default 5) of MJPEG and of MPEG-4 into ./demo-out.\n"
           "\n"
           "Ctrl-C stops a capture cleanly. Exit status: 0 when every channel received frames,\n"
           "1 when not (or the camera cannot be reached), 2 for a usage error.\n";
}

}  // namespace camhost
