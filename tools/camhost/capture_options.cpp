#include "capture_options.h"

namespace camhost {

namespace {

constexpr CameraOptionSet kCaptureCamera{.driver = true, .presets = false, .operands = false};

}  // namespace

ParseOutcome ParseCaptureArgs(const std::vector<std::string>& args, CaptureOptions& out) {
    ArgReader reader(args);
    while (!reader.Done()) {
        const std::string option = reader.Next();
        if (IsHelp(option)) {
            return {ParseOutcome::kHelp, {}};
        }
        if (TakeCameraOption(option, reader, kCaptureCamera, out.camera) ||
            TakeVideoOption(option, reader, out.video)) {
            continue;
        }
        if (option == "--channels") {
            if (auto n = reader.Number(option, 1, 16)) {
                out.channels = static_cast<unsigned>(*n);
            }
        } else if (option == "--seconds") {
            if (auto s = reader.Seconds(option, 0, 86400 * 365)) {
                out.seconds = *s;
            }
        } else if (option == "--connect-timeout") {
            if (auto s = reader.Seconds(option, 0, 86400 * 365, true)) {
                out.connect_timeout = *s;
            }
        } else if (option == "--out") {
            if (auto v = reader.Value(option)) {
                out.out_dir = *v;
                if (v->empty()) {
                    reader.Fail("--out must not be empty");
                }
            }
        } else {
            reader.Unknown(option);
        }
    }
    if (reader.Failed()) {
        return reader.Outcome();
    }
    return FinishCameraOptions(out.camera);
}

ParseOutcome ParseDemoArgs(const std::vector<std::string>& args, DemoOptions& out) {
    ArgReader reader(args);
    while (!reader.Done()) {
        const std::string option = reader.Next();
        if (IsHelp(option)) {
            return {ParseOutcome::kHelp, {}};
        }
        if (option == "--seconds") {
            if (auto s = reader.Seconds(option, 0, 86400 * 365, true)) {
                out.seconds = *s;
            }
        } else if (option == "--out" || option == "--module") {
            if (auto v = reader.Value(option)) {
                (option == "--out" ? out.out_dir : out.module_path) = *v;
            }
        } else {
            reader.Unknown(option);
        }
    }
    return reader.Outcome();
}

std::string CaptureUsageText() {
    return "usage: camhost capture --address A [camera options] [video options] [--channels N]\n"
           "                       [--seconds S] [--connect-timeout S] [--out DIR]\n"
           "       camhost capture --simulate [PROFILE] [...]\n"
           "\n"
           "Pulls video from the camera through the driver module and writes it to DIR:\n"
           "MJPEG as DIR/ch0/000001.jpg ..., MPEG-4 as DIR/ch0/stream.m4v (plays with ffplay).\n"
           "\n"
           "Capture:\n"
           "  --channels N           a video server's channels, 1..16 (default 1)\n"
           "  --seconds S            seconds of video counted from the first frame (default 5;\n"
           "                         0: until Ctrl-C)\n"
           "  --connect-timeout S    how long to wait for the first frame (default 15)\n"
           "  --out DIR              where the files go (default ./capture-out)\n" +
           VideoUsageText() + CameraUsageText(kCaptureCamera) +
           "\n"
           "Ctrl-C stops cleanly. Exit status: 0 when every channel received frames, 1 when not\n"
           "(or the camera cannot be reached or identified), 2 for a usage error.\n";
}

std::string DemoUsageText() {
    return "usage: camhost demo [--seconds S] [--out DIR] [--module PATH]\n"
           "\n"
           "Starts the camera simulator, identifies it with the module's capability query and\n"
           "captures S seconds (default 5, counted from the first frame) of MJPEG and of\n"
           "MPEG-4 through the module into DIR/mjpeg and DIR/mpeg4 (default ./demo-out).\n"
           "--module PATH loads another build of the module.\n"
           "\n"
           "Exit status: 0 when both streams gave frames, 1 when not, 2 for a usage error.\n";
}

}  // namespace camhost
