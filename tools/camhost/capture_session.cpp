#include "capture_session.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "camera_simulator.h"
#include "command_line.h"
#include "frame_writer.h"
#include "module_library.h"
#include "reference_host.h"

namespace camhost {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace ipc = vostrel::ipcapture;

// ---- StopSignal ----

void StopSignal::Request() {
    // Notified under the lock: a waiter that wakes and ends the program (destroying this
    // object) can only do so after the notifying thread has let go of it.
    std::lock_guard<std::mutex> guard(m_mutex);
    m_requested = true;
    m_cond.notify_all();
}

bool StopSignal::Requested() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_requested;
}

bool StopSignal::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cond.wait_for(lock, timeout, [&] { return m_requested; });
}

namespace {

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

bool ChannelSink::OnFrame(ipc::IHostFrame* raw) {
    // The frames come from host::FrameFactory, so they are host::Frame objects.
    auto* frame = static_cast<host::Frame*>(raw);
    const size_t size = std::min<size_t>(frame->m_dataSize, frame->m_buffer.size());
    const bool key = frame->m_format == ipc::kFourCCDivx;
    const auto now = Clock::now();
    m_consumer(m_index, key, frame->m_buffer.data(), size);
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_frames == 0) {
        m_first = now;
    }
    ++m_frames;
    m_last = now;
    m_keyFrames += key ? 1 : 0;
    m_bytes += size;
    m_width = frame->m_width;
    m_height = frame->m_height;
    return true;
}

void ChannelSink::OnSignalLost() {
    std::lock_guard<std::mutex> guard(m_mutex);
    ++m_signalLost;
}

ChannelSink::Counts ChannelSink::Get() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    Counts c{m_frames, m_keyFrames, m_bytes, m_signalLost, m_width, m_height, std::nullopt, {}};
    if (m_frames > 0) {
        c.first = m_first;
        c.last = m_last;
    }
    return c;
}

const char* ChannelStateName(ipc::IIPVideoCapture* video, unsigned index) {
    int state = -1;
    if (!video->GetChannelStatus(index, &state, nullptr, nullptr, 0)) {
        return "stopped";
    }
    switch (state) {
        case 0:
            return "receiving";
        case 1:
            return "connecting";
        default:
            return "lost";
    }
}

std::string ProbeTcp(const std::string& address, uint16_t port, std::chrono::milliseconds timeout) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0) {
        return std::string("cannot resolve the address: ") + gai_strerror(rc);
    }
    std::string reason = "no address";
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
        reason = error == ETIMEDOUT ? "no answer (timed out)" : std::strerror(error);
    }
    freeaddrinfo(found);
    return reason;
}

CaptureResult RunCapture(const CaptureOptions& options, Console& console, StopSignal& stop,
                         const std::string& defaultModule) {
    CaptureResult result;
    auto fail = [&](const std::string& text) {
        result.error = text;
        console.Line("camhost: " + text);
        return result;
    };

    // 1. The camera: the simulator started here, or the one named. A camera that cannot be
    // reached gets no further: the driver would only retry.
    SimulatorChoice choice = SimulatorChoiceOf(options);
    CameraEndpoint camera = ReachCamera(choice, options.address, options.port, &console);
    if (!camera.error.empty()) {
        return fail(camera.error);
    }
    std::unique_ptr<camsim::CameraSimulator> simulator = std::move(camera.simulator);
    const std::string address = camera.address;
    const uint16_t port = camera.port;

    // 3. The module, as a recording server loads it.
    ModuleLibrary module;
    const std::string modulePath =
        options.module_path.empty() ? defaultModule : options.module_path;
    if (!module.Load(modulePath)) {
        return fail(module.error() + " (--module PATH chooses the file)");
    }

    // 4. The host objects and the driver. The log sink and the frame factory outlive it.
    std::atomic<bool> refused{false};
    host::LogSink log;
    log.SetEcho([&console, &refused](const host::LogRecord& record) {
        const std::string text = record.text.value_or("");
        if (text.find("status code = 401") != std::string::npos) {
            refused = true;
        }
        console.Line(Format("driver [%d %s] ", record.level, LevelName(record.level)) + text);
    });
    host::FrameFactory factory;
    host::DeviceSettings settings;
    settings.address = address;
    settings.port = port;
    settings.userName = options.user;
    settings.password = options.password;
    settings.streamType = static_cast<int>(options.stream);
    settings.model = options.EffectiveModel();
    settings.cameraCount = static_cast<int>(options.channels);
    settings.parameters = options.DriverParameters();
    host::DeviceConfig config(settings);
    const uint16_t interval =
        options.fps ? static_cast<uint16_t>((1000 + options.fps / 2) / options.fps) : 0;
    host::VideoSettings video(static_cast<uint16_t>(options.width),
                              static_cast<uint16_t>(options.height), interval,
                              static_cast<uint16_t>(options.quality));

    FrameWriter writer(options.out_dir, options.stream, options.channels);
    std::string error;
    if (!writer.Start(error)) {
        return fail(error);
    }
    std::vector<std::unique_ptr<ChannelSink>> sinks;
    for (unsigned i = 0; i < options.channels; ++i) {
        sinks.push_back(std::make_unique<ChannelSink>(
            i, [&writer](unsigned index, bool key, const uint8_t* data, size_t size) {
                writer.Submit(index, key, data, size);
            }));
    }

    DriverObject driver(module);
    if (driver.get() == nullptr) {
        return fail("the module made no driver object");
    }

    console.Line(Format("capturing %s %ux%u from %s:%u (model %s, %u channel%s) into %s",
                        StreamName(options.stream), options.width, options.height, address.c_str(),
                        static_cast<unsigned>(port), settings.model.c_str(), options.channels,
                        options.channels == 1 ? "" : "s", options.out_dir.c_str()));
    if (!driver->Open(&log, &factory, &config)) {
        return fail("the driver did not open (see its log lines above)");
    }
    ipc::IIPVideoCapture* capture = driver->GetVideoCapture();
    if (capture == nullptr) {
        driver->Close();
        return fail("the driver has no video capture object");
    }
    std::vector<bool> started(options.channels, false);
    for (unsigned i = 0; i < options.channels; ++i) {
        started[i] = capture->StartChannel(i, sinks[i].get(), &video);
        if (!started[i]) {
            console.Line(Format("camhost: channel %u did not start", i));
        }
    }

    // 5. Progress until the time is up, Ctrl-C, or no frame within the connect time-out.
    const auto begin = Clock::now();
    const auto tick = console.terminal() ? 500ms : 1000ms;
    std::vector<uint64_t> lastFrames(options.channels, 0), lastBytes(options.channels, 0);
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
            result.interrupted = true;
            break;
        }
        const auto now = Clock::now();
        std::string line = Format("%5.1f s", Seconds(now - begin));
        const double dt = std::max(Seconds(now - lastTick), 0.001);
        for (unsigned i = 0; i < options.channels; ++i) {
            const auto c = sinks[i]->Get();
            if (c.first && (!first || *c.first < *first)) {
                first = c.first;
            }
            line += Format(" | ch%u %s %llu fr %.1f fps %.0f KB/s", i, ChannelStateName(capture, i),
                           static_cast<unsigned long long>(c.frames),
                           static_cast<double>(c.frames - lastFrames[i]) / dt,
                           static_cast<double>(c.bytes - lastBytes[i]) / 1024.0 / dt);
            lastFrames[i] = c.frames;
            lastBytes[i] = c.bytes;
        }
        lastTick = now;
        const bool timeUp =
            first && options.seconds > 0 && Seconds(now - *first) >= options.seconds;
        // A last wake just after a tick would show rates over a sliver of time.
        if (!timeUp || dt >= 0.5 * Seconds(tick)) {
            console.Progress(line);
        }
        log.Clear();  // the lines were printed as they came; keep no history
        if (!first && Seconds(now - begin) >= options.connect_timeout) {
            console.EndProgress();
            console.Line(
                Format("camhost: no frame within %.0f s; stopping", options.connect_timeout));
            break;
        }
        if (timeUp) {
            break;
        }
    }
    console.EndProgress();
    if (result.interrupted) {
        console.Line("camhost: interrupted; stopping the channels");
    }

    // 6. A clean stop: channels, driver, then the files.
    const auto end = Clock::now();
    for (unsigned i = 0; i < options.channels; ++i) {
        if (started[i]) {
            capture->StopChannel(i);
        }
    }
    driver->Close();
    writer.Finish();
    if (!writer.FirstError().empty()) {
        console.Line("camhost: " + writer.FirstError());
    }

    bool all = true;
    for (unsigned i = 0; i < options.channels; ++i) {
        const auto c = sinks[i]->Get();
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
        result.channels.push_back(row);
        all = all && c.frames > 0;
    }
    result.credentialsRefused = refused;
    result.exitCode = all && writer.FirstError().empty() ? 0 : 1;
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
    if (result.credentialsRefused) {
        return "The camera refused the user name and password (HTTP 401, see the driver's "
               "log lines). Check --user and --password.";
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
