// camsim: the camera simulator as a program. Serves one simulated camera on loopback until
// interrupted (SIGINT or SIGTERM).
//
//   camsim --port P [--profile NAME] [--auth none|basic|digest --user U --password W] [--html]
//          [--bind ADDRESS] [--data-dir DIR]
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "camera_simulator.h"

namespace {

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: camsim --port P [--profile NAME] [--auth none|basic|digest --user U "
                 "--password W] [--html] [--bind ADDRESS] [--data-dir DIR]\n"
                 "profiles:");
    for (const auto& p : camsim::KnownProfiles()) {
        std::fprintf(out, " %s", p.name.c_str());
    }
    std::fprintf(out, " (and any VN-X<digits>)\n");
}

}  // namespace

int main(int argc, char** argv) {
    camsim::Options options;
    bool have_port = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "camsim: %s needs a value\n", arg.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--port") {
            const std::string v = value();
            char* end = nullptr;
            const long port = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || port < 0 || port > 65535) {
                std::fprintf(stderr, "camsim: bad port \"%s\"\n", v.c_str());
                return 2;
            }
            options.port = static_cast<uint16_t>(port);
            have_port = true;
        } else if (arg == "--profile") {
            options.profile = value();
        } else if (arg == "--auth") {
            const std::string v = value();
            auto mode = camsim::ParseAuthMode(v);
            if (!mode) {
                std::fprintf(stderr, "camsim: bad auth mode \"%s\"\n", v.c_str());
                return 2;
            }
            options.auth = *mode;
        } else if (arg == "--user") {
            options.user = value();
        } else if (arg == "--password") {
            options.password = value();
        } else if (arg == "--html") {
            options.html = true;
        } else if (arg == "--bind") {
            options.bind_address = value();
        } else if (arg == "--data-dir") {
            options.data_dir = value();
        } else if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else {
            std::fprintf(stderr, "camsim: unknown argument \"%s\"\n", arg.c_str());
            Usage(stderr);
            return 2;
        }
    }
    if (!have_port) {
        Usage(stderr);
        return 2;
    }
    if (!camsim::FindProfile(options.profile)) {
        std::fprintf(stderr, "camsim: unknown profile \"%s\"\n", options.profile.c_str());
        Usage(stderr);
        return 2;
    }

    // Block the stop signals in every thread; the main thread waits for them below.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    try {
        camsim::CameraSimulator camera(options);
        camera.Start();
        std::printf("camsim: %s (family %d, auth %s%s) listening on %s\n",
                    camera.profile().name.c_str(), camera.profile().family,
                    camsim::AuthModeName(options.auth), options.html ? ", html" : "",
                    camera.base_url().c_str());
        std::printf(
            "camsim: MPEG-4 streams from %s\n",
            (options.data_dir.empty() ? camsim::DefaultDataDir() : options.data_dir).c_str());
        std::fflush(stdout);
        int sig = 0;
        sigwait(&stop_signals, &sig);
        std::printf("camsim: %s, stopping\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
        std::fflush(stdout);
        camera.Stop();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
