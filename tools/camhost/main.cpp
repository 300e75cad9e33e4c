// camhost: a command-line host for the driver module. It loads the module with dlopen as a
// recording server does and captures video from a camera, or from the camera simulator
// started in-process (capture --simulate, demo). See UsageText() for the commands.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "capture_options.h"
#include "capture_session.h"
#include "console.h"
#include "io_command.h"
#include "module_library.h"
#include "ptz_command.h"
#include "query_command.h"
#include "serve_command.h"

namespace {

using namespace camhost;

int Usage(const std::string& error, const std::string& usage = UsageText()) {
    std::fprintf(stderr, "camhost: %s\n\n%s", error.c_str(), usage.c_str());
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

int Demo(const DemoOptions& demo, Console& console, StopSignal& stop, const std::string& module) {
    std::vector<ChannelSummary> rows;
    std::vector<std::string> where;
    int exitCode = 0;
    if (!ShowSimulatedIdentification(console, "VN-V686",
                                     demo.module_path.empty() ? module : demo.module_path)) {
        exitCode = 1;
    }
    for (StreamKind kind : {StreamKind::kMjpeg, StreamKind::kMpeg4}) {
        CaptureOptions options;
        options.simulate = true;
        options.stream = kind;
        options.seconds = demo.seconds;
        options.module_path = demo.module_path;
        const bool mjpeg = kind == StreamKind::kMjpeg;
        options.fps = mjpeg ? 10 : 25;
        options.out_dir = demo.out_dir + (mjpeg ? "/mjpeg" : "/mpeg4");
        if (kind == StreamKind::kMpeg4) {
            console.Line("");
        }
        char seconds[32];
        std::snprintf(seconds, sizeof(seconds), "%g", demo.seconds);
        console.Line(std::string("== ") + StreamName(kind) + ": " + seconds +
                     " s from the camera simulator (counted from the first frame; the driver "
                     "opens a stream 3 s after the channel starts)");
        CaptureResult result = RunCapture(options, console, stop, module);
        if (!result.error.empty()) {
            return 1;
        }
        for (auto row : result.channels) {
            row.label = std::string(StreamName(kind)) + " " + row.label;
            if (mjpeg) {
                where.push_back(
                    Where(row.output, "/000001.jpg ...", row.filesWritten, "JPEG pictures"));
            } else {
                where.push_back(Where(row.output, "", row.filesWritten, "MPEG-4 pictures") +
                                "; play it with: ffplay " + row.output);
            }
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

// A command: its options parsed (the usage on --help, or with the error), then run.
template <class Options, class Parse, class Command>
int Run(const std::vector<std::string>& args, Parse parse, Command command,
        const std::string& usage = UsageText()) {
    Options options;
    const ParseOutcome parsed = parse(args, options);
    if (parsed.status == ParseOutcome::kHelp) {
        std::fputs(usage.c_str(), stdout);
        return 0;
    }
    if (parsed.status == ParseOutcome::kUsageError) {
        return Usage(parsed.error, usage);
    }
    return command(options);
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

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        if (args.empty()) {
            return Usage("a command is needed");
        }
        std::fputs((UsageText() + "\n" + IoUsageText()).c_str(), stdout);
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

    if (command == "capture") {
        auto parse = [](const std::vector<std::string>& words, CaptureOptions& options) {
            return ParseCaptureArgs(words, options);
        };
        return Run<CaptureOptions>(args, parse, [&](const CaptureOptions& options) {
            return Capture(options, console, stop, module);
        });
    }
    if (command == "io") {
        return Run<IoOptions>(
            args, ParseIoArgs,
            [&](const IoOptions& options) { return RunIo(options, console, stop, module); },
            IoUsageText());
    }
    if (command == "demo") {
        return Run<DemoOptions>(args, ParseDemoArgs, [&](const DemoOptions& options) {
            return Demo(options, console, stop, module);
        });
    }
    if (command == "ptz") {
        return Run<PtzOptions>(args, ParsePtzArgs, [&](const PtzOptions& options) {
            return RunPtz(options, console, module);
        });
    }
    if (command == "query") {
        return Run<QueryOptions>(args, ParseQueryArgs, [&](const QueryOptions& options) {
            return RunQuery(options, console, stop, module);
        });
    }
    if (command == "serve") {
        return Run<ServeOptions>(args, ParseServeArgs, [&](const ServeOptions& options) {
            return RunServe(options, console, stop, module);
        });
    }
    return Usage("unknown command \"" + command + "\"");
}
