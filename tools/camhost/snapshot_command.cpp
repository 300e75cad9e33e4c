#include "snapshot_command.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <optional>

#include "camera_setup.h"
#include "channel_sink.h"
#include "driver_lines.h"
#include "module_library.h"
#include "reference_host.h"

namespace camhost {

namespace {

using namespace std::chrono_literals;

constexpr CameraOptionSet kSnapshotCamera{.driver = true, .presets = false, .operands = false};

// The first picture of a channel, handed over from the module's channel thread.
class FirstPicture {
  public:
    void Offer(const uint8_t* data, size_t size) {
        {
            std::lock_guard<std::mutex> hold(m_mutex);
            if (m_picture) {
                return;
            }
            m_picture.emplace(reinterpret_cast<const char*>(data), size);
        }
        m_cond.notify_all();
    }
    // Waits up to the time-out; the picture, or nullopt.
    std::optional<std::string> Wait(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> hold(m_mutex);
        m_cond.wait_for(hold, timeout, [this] { return m_picture.has_value(); });
        return m_picture;
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::optional<std::string> m_picture;
};

// Waits for the picture, a driver line that makes it certain none comes, Ctrl-C or the
// time-out; the picture, or why there is none in error.
std::optional<std::string> AwaitPicture(FirstPicture& first, const FailureLines& certain,
                                        StopSignal& stop, double timeout, std::string& error) {
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                         std::chrono::duration<double>(timeout));
    for (;;) {
        if (auto picture = first.Wait(100ms)) {
            return picture;
        }
        if (auto why = certain.Since(0)) {
            error = *why;
        } else if (stop.Requested()) {
            error = "interrupted";
        } else if (std::chrono::steady_clock::now() >= end) {
            error = Format("no picture within %g s (see the driver's lines above)", timeout);
        } else {
            continue;
        }
        return std::nullopt;
    }
}

// Writes the file whole or not at all: a reader never sees half a picture.
bool WriteWhole(const std::string& path, const std::string& bytes, std::string& error) {
    const std::string temporary = path + ".part";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        if (!out) {
            std::remove(temporary.c_str());
            error = "cannot write " + path;
            return false;
        }
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        error = "cannot write " + path;
        return false;
    }
    return true;
}

}  // namespace

ParseOutcome ParseSnapshotArgs(const std::vector<std::string>& args, SnapshotOptions& out) {
    ArgReader reader(args);
    while (!reader.Done()) {
        const std::string option = reader.Next();
        if (IsHelp(option)) {
            return {ParseOutcome::kHelp, {}};
        }
        if (TakeCameraOption(option, reader, kSnapshotCamera, out.camera) ||
            TakeVideoOption(option, reader, out.video)) {
            continue;
        }
        if (option == "--channel") {
            if (auto n = reader.Number(option, 0, 15)) {
                out.channel = static_cast<unsigned>(*n);
            }
        } else if (option == "--timeout") {
            if (auto s = reader.Seconds(option, 1, 3600)) {
                out.timeout = *s;
            }
        } else if (option == "--out") {
            if (auto v = reader.Value(option)) {
                out.out = *v;
                if (v->empty()) {
                    reader.Fail("--out must not be empty");
                }
            }
        } else {
            reader.Unknown(option);
        }
    }
    if (!reader.Failed() && out.video.stream != StreamKind::kMjpeg) {
        reader.Fail("a snapshot is a JPEG picture: --stream must be mjpeg");
    }
    if (reader.Failed()) {
        return reader.Outcome();
    }
    return FinishCameraOptions(out.camera);
}

std::string SnapshotUsageText() {
    return "usage: camhost snapshot --address A [camera options] [--size WxH] [--quality Q]\n"
           "                        [--channel N] [--timeout S] [--out FILE]\n"
           "       camhost snapshot --simulate [PROFILE] [...]\n"
           "\n"
           "Writes one JPEG picture of the channel, as the driver module delivers it, to FILE\n"
           "(default ./snapshot.jpg), then exits. The driver waits 3 s before it opens a\n"
           "stream, so this takes a few seconds.\n"
           "\n"
           "Snapshot:\n"
           "  --channel N            a video server's channel, 0..15 (default 0)\n"
           "  --timeout S            how long to wait for the picture, 1..3600 (default 15)\n"
           "  --out FILE             where the picture goes (written whole, or not at all)\n"
           "  --size WxH, --quality Q, --fps N   as for capture (the stream is MJPEG)\n" +
           CameraUsageText(kSnapshotCamera) +
           "\n"
           "Exit status: 0 with the picture written, 1 without one, 2 for a usage error.\n";
}

int RunSnapshot(const SnapshotOptions& options, Console& console, StopSignal& stop,
                const std::string& defaultModule) {
    SetUpRequest request;
    request.console = &console;
    request.simJpegRingSize = 2;
    const ReadyCamera camera = SetUpCamera(options.camera, request, defaultModule, &stop);
    if (!camera.error.empty()) {
        return Fail(console, camera.error);
    }
    FailureLines certain;
    host::LogSink log;
    EchoDriverLog(log, console, nullptr, &certain);
    host::FrameFactory factory;
    host::DeviceSettings settings = camera.DeviceSettings();
    settings.streamType = static_cast<int>(StreamKind::kMjpeg);
    settings.cameraCount = static_cast<int>(options.channel + 1);
    host::DeviceConfig config(settings);
    host::VideoSettings video = options.video.Settings();
    FirstPicture first;
    ChannelSink sink(options.channel, [&first](unsigned, bool, const uint8_t* data, size_t size) {
        first.Offer(data, size);
    });
    DriverObject driver(*camera.module, true);
    if (driver.get() == nullptr || !driver->Open(&log, &factory, &config)) {
        return Fail(console, "the driver did not open (see its log lines above)");
    }
    vostrel::ipcapture::IIPVideoCapture* capture = driver->GetVideoCapture();
    if (capture == nullptr || !capture->StartChannel(options.channel, &sink, &video)) {
        return Fail(console, "the driver did not start the channel (see its log lines above)");
    }
    std::string error;
    const auto picture = AwaitPicture(first, certain, stop, options.timeout, error);
    capture->StopChannel(options.channel);
    if (!picture) {
        return Fail(console, "no snapshot: " + error);
    }
    if (!WriteWhole(options.out, *picture, error)) {
        return Fail(console, error);
    }
    const auto counts = sink.Get();
    console.Line(Format("snapshot: %s (%ux%u, %zu bytes)", options.out.c_str(), counts.width,
                        counts.height, picture->size()));
    return 0;
}

}  // namespace camhost
