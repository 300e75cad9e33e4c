// camhost: a command-line host for the driver module. It loads the module with dlopen as a
// recording server does and works a camera through it, or the camera simulator started
// in-process (--simulate, demo): capture, demo, ptz, io, query, serve, snapshot. Each command
// parses its own options (the camera's through camera_options.h) and sets up its camera
// through camera_setup.h; "camhost COMMAND --help" prints the command's help (OverviewText()
// lists them).
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "capture_options.h"
#include "capture_session.h"
#include "command_line.h"
#include "console.h"
#include "io_command.h"
#include "module_library.h"
#include "ptz_command.h"
#include "query_command.h"
#include "serve_command.h"
#include "snapshot_command.h"

namespace {

using namespace camhost;

// A usage error: one line, "WHO: ERROR; run "HELP" for WHAT"; exit status 2.
int Usage(const std::string& who, const std::string& error, const std::string& help,
          const char* what) {
    std::fprintf(stderr, "%s: %s; run \"%s\" for %s\n", who.c_str(), Printable(error).c_str(),
                 help.c_str(), what);
    return 2;
}

void PrintSummary(Console& console, const std::vector<ChannelSummary>& rows) {
    console.Line("");
    console.Line("Summary");
    std::string table = FormatSummary(rows);
    size_t pos = 0;
    while (pos < table.size()) {
        const size_t end = table.find('\n', pos);
        console.Line(table.substr(pos, end - pos));
        pos = end == std::string::npos ? table.size() : end + 1;
    }
}

int Capture(const CaptureOptions& options, Console& console, StopSignal& stop,
            const std::string& module) {
    CaptureResult result = RunCapture(options, console, stop, module);
    if (!result.error.empty()) {
        return 1;
    }
    PrintSummary(console, result.channels);
    if (std::string why = ExplainNoFrames(options, result); !why.empty()) {
        console.Line("");
        console.Line("camhost: " + why);
    }
    return result.exitCode;
}

// "PATH... (N what)"
std::string Where(const std::string& path, const char* suffix, uint64_t count, const char* what) {
    return path + suffix + " (" + std::to_string(count) + " " + what + ")";
}

// The capture of one part of the demo: the simulator's VN-V686, MJPEG at 10 or MPEG-4 at 25
// pictures a second, into DIR/mjpeg or DIR/mpeg4.
CaptureOptions DemoPart(const DemoOptions& demo, StreamKind kind) {
    CaptureOptions options;
    const bool mjpeg = kind == StreamKind::kMjpeg;
    options.camera.simulate = true;
    options.camera.module_path = demo.module_path;
    options.video.stream = kind;
    options.video.fps = mjpeg ? 10 : 25;
    options.seconds = demo.seconds;
    options.out_dir = demo.out_dir + (mjpeg ? "/mjpeg" : "/mpeg4");
    return options;
}

// The line that says where a demo part's pictures went.
std::string DemoWhere(StreamKind kind, const ChannelSummary& row) {
    if (kind == StreamKind::kMjpeg) {
        return Where(row.output, "/000001.jpg ...", row.filesWritten, "JPEG pictures");
    }
    return Where(row.output, "", row.filesWritten, "MPEG-4 pictures") + "; play it with: ffplay " +
           row.output;
}

int Demo(const DemoOptions& demo, Console& console, StopSignal& stop, const std::string& module) {
    std::vector<ChannelSummary> rows;
    std::vector<std::string> where;
    int exitCode = 0;
    if (!ShowSimulatedIdentification(console, "VN-V686",
                                     demo.module_path.empty() ? module : demo.module_path)) {
        exitCode = 1;
    }
    for (StreamKind kind : {StreamKind::kMjpeg, StreamKind::kMpeg4}) {
        if (kind == StreamKind::kMpeg4) {
            console.Line("");
        }
        console.Line(std::string("== ") + StreamName(kind) + ": " + Format("%g", demo.seconds) +
                     " s from the camera simulator (counted from the first frame; the driver "
                     "opens a stream 3 s after the channel starts)");
        CaptureResult result = RunCapture(DemoPart(demo, kind), console, stop, module);
        if (!result.error.empty()) {
            return 1;
        }
        for (auto row : result.channels) {
            row.label = std::string(StreamName(kind)) + " " + row.label;
            where.push_back(DemoWhere(kind, row));
            exitCode = row.frames > 0 ? exitCode : 1;
            rows.push_back(row);
        }
        if (result.interrupted) {
            exitCode = rows.empty() ? 1 : exitCode;
            break;
        }
    }
    PrintSummary(console, rows);
    console.Line("");
    console.Line("The pictures:");
    for (const auto& line : where) {
        console.Line("  " + line);
    }
    return exitCode;
}

// A command: its options parsed (its help on --help; a usage error as one line that points to
// the help, and for a command that takes --json and was given it, the JSON error object on
// standard output too), then run.
template <class Options, class Parse, class Command>
int Run(const std::string& name, const std::vector<std::string>& args, Parse parse, Command command,
        const std::string& usage, bool takesJson = false) {
    Options options;
    const ParseOutcome parsed = parse(args, options);
    if (parsed.status == ParseOutcome::kHelp) {
        std::fputs(usage.c_str(), stdout);
        return 0;
    }
    if (parsed.status == ParseOutcome::kUsageError) {
        if (takesJson && std::find(args.begin(), args.end(), "--json") != args.end()) {
            std::printf("%s\n", FailureJson(FailureCause::kUsage, parsed.error).c_str());
        }
        return Usage("camhost " + name, parsed.error, "camhost " + name + " --help", "the options");
    }
    return command(options);
}

std::string OverviewText() {
    return "usage: camhost COMMAND [options]\n"
           "\n"
           "A command-line host for the camera driver module: it loads the module as a\n"
           "recording server does and works a camera through it (or the camera simulator,\n"
           "--simulate).\n"
           "\n"
           "Commands:\n"
           "  capture   capture video into files\n"
           "  demo      identify and capture from the embedded camera simulator\n"
           "  ptz       move the PTZ head, keep named presets\n"
           "  io        watch the digital inputs, set an output\n"
           "  query     identify a camera with the module's capability query\n"
           "  serve     a live view page in the browser\n"
           "  snapshot  write one JPEG picture of the camera\n"
           "\n"
           "\"camhost COMMAND --help\" describes a command and its options;\n"
           "\"camhost --version\" prints the version.\n";
}

// Ctrl-C and SIGTERM reach a thread of their own (every other thread blocks them), which asks
// the capture to stop; a second one ends the program at once.
void StartSignalThread(StopSignal& stop) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set, &stop] {
        int count = 0;
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0) {
                continue;
            }
            if (++count > 1) {
                _exit(128 + signal);
            }
            stop.Request();
        }
    }).detach();
}

// Runs the named command; -1 when there is none of that name.
int RunCommand(const std::string& command, const std::vector<std::string>& args, Console& console,
               StopSignal& stop, const std::string& module) {
    if (command == "capture") {
        return Run<CaptureOptions>(
            command, args, ParseCaptureArgs,
            [&](const CaptureOptions& o) { return Capture(o, console, stop, module); },
            CaptureUsageText());
    }
    if (command == "demo") {
        return Run<DemoOptions>(
            command, args, ParseDemoArgs,
            [&](const DemoOptions& o) { return Demo(o, console, stop, module); }, DemoUsageText());
    }
    if (command == "ptz") {
        return Run<PtzOptions>(
            command, args, ParsePtzArgs,
            [&](const PtzOptions& o) { return RunPtz(o, console, stop, module); }, PtzUsageText());
    }
    if (command == "io") {
        return Run<IoOptions>(
            command, args, ParseIoArgs,
            [&](const IoOptions& o) { return RunIo(o, console, stop, module); }, IoUsageText());
    }
    if (command == "query") {
        return Run<QueryOptions>(
            command, args, ParseQueryArgs,
            [&](const QueryOptions& o) { return RunQuery(o, console, stop, module); },
            QueryUsageText(), true);
    }
    if (command == "snapshot") {
        return Run<SnapshotOptions>(
            command, args, ParseSnapshotArgs,
            [&](const SnapshotOptions& o) { return RunSnapshot(o, console, stop, module); },
            SnapshotUsageText());
    }
    if (command == "serve") {
        return Run<ServeOptions>(
            command, args, ParseServeArgs,
            [&](const ServeOptions& o) { return RunServe(o, console, stop, module); },
            ServeUsageText());
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        return Usage("camhost", "a command is needed", "camhost --help", "the commands");
    }
    if (IsHelp(args[0]) || args[0] == "help") {
        std::fputs(OverviewText().c_str(), stdout);
        return 0;
    }
    if (args[0] == "--version") {
        std::printf("camhost %s\n", CAMHOST_VERSION);
        return 0;
    }
    const std::string command = args[0];
    args.erase(args.begin());

    // The signal thread outlives main and static destruction: its stop object is never
    // destroyed, so a signal that arrives while the program exits finds it intact.
    static StopSignal& stop = *new StopSignal;
    signal(SIGPIPE, SIG_IGN);
    StartSignalThread(stop);
    Console console(stdout, isatty(STDOUT_FILENO) == 1);
    const std::string module = DefaultModulePath(CAMHOST_DEFAULT_MODULE, CAMHOST_MODULE_FILE_NAME,
                                                 CAMHOST_INSTALLED_MODULE_DIR);
    const int status = RunCommand(command, args, console, stop, module);
    if (status < 0) {
        return Usage("camhost", "unknown command \"" + command + "\"", "camhost --help",
                     "the commands");
    }
    return status;
}
