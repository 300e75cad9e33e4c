#include "query_command.h"

#include <cstdio>

#include "camera_setup.h"
#include "capability_query.h"
#include "command_line.h"

namespace camhost {

namespace {

constexpr CameraOptionSet kQueryCamera{.driver = false, .presets = false, .operands = false};

}  // namespace

ParseOutcome ParseQueryArgs(const std::vector<std::string>& args, QueryOptions& out) {
    ArgReader reader(args);
    while (!reader.Done()) {
        const std::string option = reader.Next();
        if (IsHelp(option)) {
            return {ParseOutcome::kHelp, {}};
        }
        if (option.rfind("--", 0) != 0) {
            reader.Fail("unexpected argument \"" + option + "\"");
        } else if (TakeCameraOption(option, reader, kQueryCamera, out.camera)) {
            continue;
        } else if (option == "--json") {
            out.json = true;
        } else if (option == "--video-standard") {
            if (auto standard = reader.Number(option, 0, 1)) {
                out.videoStandard = *standard == 1;
            }
        } else if (option == "--timeout") {
            if (auto seconds = reader.Seconds(option, 0, 3600, true)) {
                out.timeout = *seconds;
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

std::string QueryUsageText() {
    return "usage: camhost query --address A [camera options] [--json] [--video-standard 0|1]\n"
           "                     [--timeout S]\n"
           "       camhost query --simulate [PROFILE] [...]\n"
           "\n"
           "Identifies the camera through the module's capability query: model, family, pins,\n"
           "PTZ head, firmware, codecs, picture sizes, frame rates and the driver parameters\n"
           "1 to 5 a recording server opens the driver with.\n"
           "\n"
           "Query:\n"
           "  --json                 one JSON object instead of the table; on failure\n"
           "                         {\"ok\": false, \"error\": TEXT, \"cause\": CAUSE}, CAUSE one "
           "of\n"
           "                         credentials, unreachable, no-answer, not-a-camera, usage,\n"
           "                         other\n"
           "  --video-standard 0|1   the query's option that makes parameter 1 read 1\n"
           "  --timeout S            how long to wait for the answer (default 60 seconds)\n" +
           CameraUsageText(kQueryCamera) +
           "\n"
           "Exit status: 0 when the camera was identified, 1 when not, 2 for a usage error.\n";
}

int RunQuery(const QueryOptions& options, Console& console, StopSignal& stop,
             const std::string& defaultModule) {
    SetUpRequest request;  // no console: the output is the table or the JSON object only
    request.modelOption = false;
    request.videoStandard = options.videoStandard;
    request.queryTimeout = options.timeout;
    const ReadyCamera camera = SetUpCamera(options.camera, request, defaultModule, &stop);
    if (!camera.error.empty()) {
        std::fprintf(stderr, "camhost: %s\n", Printable(camera.error).c_str());
        if (options.json) {
            console.Line(FailureJson(camera.cause, camera.error));
        }
        return 1;
    }
    const Identification& id = *camera.identified;
    const std::string text =
        options.json ? FormatIdentificationJson(id) : FormatIdentificationTable(id);
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t end = text.find('\n', pos);
        console.Line(text.substr(pos, end - pos));
        pos = end == std::string::npos ? text.size() : end + 1;
    }
    return 0;
}

bool ShowSimulatedIdentification(Console& console, const std::string& profile,
                                 const std::string& modulePath) {
    CameraOptions options;
    options.simulate = true;
    options.sim_profile = profile;
    const ReadyCamera camera = SetUpCamera(options, SetUpRequest{}, modulePath, nullptr);
    if (!camera.error.empty()) {
        console.Line("camhost: " + camera.error);
        return false;
    }
    console.Line("== Camera, as the capability query identifies it: " +
                 FormatIdentificationLine(*camera.identified));
    console.Line("");
    return true;
}

}  // namespace camhost
