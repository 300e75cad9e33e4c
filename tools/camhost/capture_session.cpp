#include "capture_session.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>

#include "camera_setup.h"
#include "channel_sink.h"
#include "command_line.h"
#include "driver_lines.h"
#include "frame_writer.h"
#include "module_library.h"
#include "reference_host.h"

namespace camhost {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace ipc = vostrel::ipcapture;

namespace {

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

using Sinks = std::vector<std::unique_ptr<ChannelSink>>;

// One progress line: the time so far and each channel's state, frames and rates since the
// last line. Moves `first` to the earliest first frame of any channel.
std::string ProgressLine(const Sinks& sinks, ipc::IIPVideoCapture* capture, double elapsed,
                         double dt, std::vector<ChannelSink::Counts>& last,
                         std::optional<Clock::time_point>& first) {
    std::string line = Format("%5.1f s", elapsed);
    for (unsigned i = 0; i < sinks.size(); ++i) {
        const auto c = sinks[i]->Get();
        if (c.first && (!first || *c.first < *first)) {
            first = c.first;
        }
        line += Format(" | ch%u %s %llu fr %.1f fps %.0f KB/s", i, ChannelStateName(capture, i),
                       static_cast<unsigned long long>(c.frames),
                       static_cast<double>(c.frames - last[i].frames) / dt,
                       static_cast<double>(c.bytes - last[i].bytes) / 1024.0 / dt);
        last[i] = c;
    }
    return line;
}

// Shows progress until the time counted from the first frame is up, Ctrl-C (true), no frame
// within the connect time-out, or, before any frame, a certain failure.
bool WatchProgress(const CaptureOptions& options, Console& console, StopSignal& stop,
                   const Sinks& sinks, ipc::IIPVideoCapture* capture, host::LogSink& log,
                   const FailureLines& certain) {
    const auto begin = Clock::now();
    const auto tick = console.terminal() ? 500ms : 1000ms;
    std::vector<ChannelSink::Counts> last(sinks.size());
    auto lastTick = begin;
    std::optional<Clock::time_point> first;  // the first frame of any channel
    for (;;) {
        // Wake at the next progress tick, or when the time counted from the first frame ends.
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(tick);
        if (first && options.seconds > 0) {
            const auto end = *first + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(options.seconds));
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - Clock::now());
            wait = std::clamp(left, std::chrono::milliseconds(0), wait);
        }
        if (stop.WaitFor(wait)) {
            return true;
        }
        const auto now = Clock::now();
        const double dt = std::max(Seconds(now - lastTick), 0.001);
        const std::string line =
            ProgressLine(sinks, capture, Seconds(now - begin), dt, last, first);
        lastTick = now;
        const bool timeUp =
            first && options.seconds > 0 && Seconds(now - *first) >= options.seconds;
        // A last wake just after a tick would show rates over a sliver of time.
        if (!timeUp || dt >= 0.5 * Seconds(tick)) {
            console.Progress(line);
        }
        log.Clear();  // the lines were printed as they came; keep no history
        if (const auto why = first ? std::nullopt : certain.Since(0)) {
            console.EndProgress();
            console.Line("camhost: " + *why + "; stopping");
            return false;
        }
        if (!first && Seconds(now - begin) >= options.connect_timeout) {
            console.EndProgress();
            console.Line(
                Format("camhost: no frame within %.0f s; stopping", options.connect_timeout));
            return false;
        }
        if (timeUp) {
            return false;
        }
    }
}

// What channel i did, for the summary table; end is when the channels were stopped.
ChannelSummary Summarize(unsigned i, const ChannelSink& sink, const FrameWriter& writer,
                         Clock::time_point end) {
    const auto c = sink.Get();
    const auto files = writer.Stats(i);
    ChannelSummary row;
    row.label = "ch" + std::to_string(i);
    row.frames = c.frames;
    row.keyFrames = c.keyFrames;
    row.bytes = c.bytes;
    row.seconds = c.first ? Seconds(end - *c.first) : 0;
    row.frameRate = c.frames > 1 ? static_cast<double>(c.frames - 1) /
                                       std::max(Seconds(c.last - *c.first), 0.001)
                                 : 0;
    row.signalLost = c.signalLost;
    row.dropped = files.dropped;
    row.width = c.width;
    row.height = c.height;
    row.output = files.path;
    row.filesWritten = files.written;
    return row;
}

// Starts every channel into its sink; which ones started.
std::vector<bool> StartChannels(ipc::IIPVideoCapture* capture, const Sinks& sinks,
                                host::VideoSettings& video, Console& console) {
    std::vector<bool> started(sinks.size(), false);
    for (unsigned i = 0; i < sinks.size(); ++i) {
        started[i] = capture->StartChannel(i, sinks[i].get(), &video);
        if (!started[i]) {
            console.Line(Format("camhost: channel %u did not start", i));
        }
    }
    return started;
}

void StopChannels(ipc::IIPVideoCapture* capture, const std::vector<bool>& started) {
    for (unsigned i = 0; i < started.size(); ++i) {
        if (started[i]) {
            capture->StopChannel(i);
        }
    }
}

// "capturing MJPEG 640x480 from A:P (model M, 1 channel) into DIR"
std::string CapturingLine(const CaptureOptions& options, const ReadyCamera& camera) {
    return Format("capturing %s %ux%u from %s:%u (model %s, %u channel%s) into %s",
                  StreamName(options.video.stream), options.video.width, options.video.height,
                  camera.address.c_str(), static_cast<unsigned>(camera.port), camera.model.c_str(),
                  options.channels, options.channels == 1 ? "" : "s", options.out_dir.c_str());
}

// Completes the files, then each channel's summary and the exit status: 0 when every channel
// received frames and every file was written.
void FinishFiles(CaptureResult& result, FrameWriter& writer, const Sinks& sinks,
                 Clock::time_point end, Console& console) {
    writer.Finish();
    if (!writer.FirstError().empty()) {
        console.Line("camhost: " + writer.FirstError());
    }
    bool all = true;
    for (unsigned i = 0; i < sinks.size(); ++i) {
        result.channels.push_back(Summarize(i, *sinks[i], writer, end));
        all = all && result.channels.back().frames > 0;
    }
    result.exitCode = all && writer.FirstError().empty() ? 0 : 1;
}

// A camera may send pictures of another size than asked (it keeps its own setting when it
// refuses the asked one, or an MPEG-4 encoder has other sizes): say so, since the files are
// not what the user asked for.
void WarnOfOtherSizes(const CaptureResult& result, const CaptureOptions& options,
                      Console& console) {
    for (const auto& c : result.channels) {
        if (c.frames > 0 && c.width != 0 &&
            (c.width != options.video.width || c.height != options.video.height)) {
            console.Line(Format("camhost: warning: %s asked for %ux%u, the camera sent %ux%u",
                                c.label.c_str(), options.video.width, options.video.height, c.width,
                                c.height));
        }
    }
}

// One sink per channel, each handing its frames to the writer.
Sinks WriterSinks(FrameWriter& writer, unsigned channels) {
    Sinks sinks;
    for (unsigned i = 0; i < channels; ++i) {
        sinks.push_back(std::make_unique<ChannelSink>(
            i, [&writer](unsigned index, bool key, const uint8_t* data, size_t size) {
                writer.Submit(index, key, data, size);
            }));
    }
    return sinks;
}

}  // namespace

CaptureResult RunCapture(const CaptureOptions& options, Console& console, StopSignal& stop,
                         const std::string& defaultModule) {
    CaptureResult result;
    auto fail = [&](const std::string& text) {
        result.error = text;
        console.Line("camhost: " + text);
        return result;
    };

    // 1. The camera, the module and what the driver is opened with.
    SetUpRequest request;
    request.console = &console;
    const ReadyCamera camera = SetUpCamera(options.camera, request, defaultModule, &stop);
    if (!camera.error.empty()) {
        return fail(camera.error);
    }

    // 2. The host objects and the driver. The log sink and the frame factory outlive it.
    FailureLines certain;
    host::LogSink log;
    EchoDriverLog(log, console, nullptr, &certain);
    host::FrameFactory factory;
    host::DeviceSettings settings = camera.DeviceSettings();
    settings.streamType = static_cast<int>(options.video.stream);
    settings.cameraCount = static_cast<int>(options.channels);
    host::DeviceConfig config(settings);
    host::VideoSettings video = options.video.Settings();

    FrameWriter writer(options.out_dir, options.video.stream, options.channels);
    std::string error;
    if (!writer.Start(error)) {
        return fail(error);
    }
    const Sinks sinks = WriterSinks(writer, options.channels);
    DriverObject driver(*camera.module);
    if (driver.get() == nullptr) {
        return fail("the module made no driver object");
    }
    console.Line(CapturingLine(options, camera));
    if (!driver->Open(&log, &factory, &config)) {
        return fail("the driver did not open (see its log lines above)");
    }
    ipc::IIPVideoCapture* capture = driver->GetVideoCapture();
    if (capture == nullptr) {
        driver->Close();
        return fail("the driver has no video capture object");
    }
    const std::vector<bool> started = StartChannels(capture, sinks, video, console);

    // 3. Progress until the time is up, Ctrl-C, or no frame within the connect time-out.
    result.interrupted = WatchProgress(options, console, stop, sinks, capture, log, certain);
    console.EndProgress();
    if (result.interrupted) {
        console.Line("camhost: interrupted; stopping the channels");
    }

    // 4. A clean stop: channels, driver, then the files.
    const auto end = Clock::now();
    StopChannels(capture, started);
    driver->Close();
    result.certainFailure = certain.Since(0).value_or("");
    FinishFiles(result, writer, sinks, end, console);
    WarnOfOtherSizes(result, options, console);
    return result;
}

std::string FormatSummary(const std::vector<ChannelSummary>& channels) {
    size_t labelWidth = 7;
    for (const auto& c : channels) {
        labelWidth = std::max(labelWidth, c.label.size());
    }
    const int lw = static_cast<int>(labelWidth);
    std::string text = Format("%-*s %9s %8s %7s %6s %8s %7s %6s  %s\n", lw, "channel", "size",
                              "frames", "seconds", "fps", "KB/s", "dropped", "lost", "written to");
    for (const auto& c : channels) {
        const double fps = c.frameRate;
        const double kbps = c.seconds > 0 ? static_cast<double>(c.bytes) / 1024.0 / c.seconds : 0;
        const std::string size = c.width ? Format("%ux%u", c.width, c.height) : "-";
        std::string where = c.output;
        if (c.keyFrames > 0 || c.output.ends_with(".m4v")) {
            where +=
                Format(" (%llu frames, %llu key)", static_cast<unsigned long long>(c.filesWritten),
                       static_cast<unsigned long long>(c.keyFrames));
        } else {
            where += Format(" (%llu files)", static_cast<unsigned long long>(c.filesWritten));
        }
        text +=
            Format("%-*s %9s %8llu %7.1f %6.1f %8.1f %7llu %6d  %s\n", lw, c.label.c_str(),
                   size.c_str(), static_cast<unsigned long long>(c.frames), c.seconds, fps, kbps,
                   static_cast<unsigned long long>(c.dropped), c.signalLost, where.c_str());
    }
    return text;
}

std::string ExplainNoFrames(const CaptureOptions& options, const CaptureResult& result) {
    bool none = result.channels.empty();
    for (const auto& c : result.channels) {
        none = none || c.frames == 0;
    }
    if (!none || !result.error.empty()) {
        return {};
    }
    if (!result.certainFailure.empty()) {
        return "No picture can come: " + result.certainFailure + " (see the driver's log lines).";
    }
    if (result.interrupted) {
        return "Interrupted before a frame arrived on every channel.";
    }
    return Format(
        "No frame arrived within %.0f s on every channel. The driver's log lines "
        "above tell what failed; check --model and --param 2 (camera family: 1 for "
        "VN-V, 2 for VN-X), --stream and --size (the camera must support them), or "
        "allow more time with --connect-timeout.",
        options.connect_timeout);
}

}  // namespace camhost
