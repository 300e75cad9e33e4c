// benchhost: a minimal host for measuring the module's receive path, plus the peers it is
// measured against. It loads the module with dlopen as a recording server does and only counts
// the frames it is given (a pool of reused frames, no file writes).
//
//   benchhost recv   --port P --stream mjpeg|mpeg4 --channels N --seconds S
//       N channels from a camera simulator running in another process; prints the CPU this
//       process used while all channels were receiving, frames, frames lost and peak RSS.
//   benchhost peer   --port P --stream mjpeg|mpeg4 --channels N --seconds S --tool curl|ffmpeg
//       The same N streams received by N curl or ffmpeg processes; prints their CPU over the
//       same kind of window and their peak RSS.
//   benchhost stop   --count C
//       StopChannel latency against a streaming and a stalled camera (simulator in-process).
//   benchhost memory --seconds S
//       RSS of a channel fed a JPEG that never ends and of one fed MPEG-4 bytes without a start
//       code, sampled over S seconds.
//
// Output: one "key value" line per figure, for scripts/bench.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "camera_simulator.h"
#include "module_library.h"
#include "reference_host.h"

#include "frame_pool.h"

namespace {

namespace ipc = vostrel::ipcapture;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

constexpr unsigned kWidth = 640;
constexpr unsigned kHeight = 480;
constexpr unsigned kFps = 25;
constexpr uint16_t kIntervalMs = 1000 / kFps;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void Print(const char* key, double value) {
    std::printf("%s %.6g\n", key, value);
    std::fflush(stdout);
}

// ---- process figures ----

double SelfCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto s = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return s(usage.ru_utime) + s(usage.ru_stime);
}

// CPU seconds (user + system) of a process from /proc; -1 when it is gone.
double ProcessCpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text)) {
        return -1;
    }
    // The command name (field 2) may hold blanks; the fields after its ')' are plain.
    const auto close = text.rfind(')');
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            utime = std::strtoull(field.c_str(), nullptr, 10);
        } else if (i == 15) {
            stime = std::strtoull(field.c_str(), nullptr, 10);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// A "VmRSS"/"VmHWM" figure of a process in bytes (0 when unknown).
double StatusBytes(const std::string& pid, const char* key) {
    std::ifstream in("/proc/" + pid + "/status");
    std::string line;
    const size_t keyLength = std::strlen(key);
    while (std::getline(in, line)) {
        if (line.compare(0, keyLength, key) == 0 && line.size() > keyLength &&
            line[keyLength] == ':') {
            return std::atof(line.c_str() + keyLength + 1) * 1024.0;
        }
    }
    return 0;
}

// ---- picture identification: which picture of the simulator's ring a frame is ----

uint64_t TailKey(const uint8_t* data, size_t size) {
    uint64_t hash = 1469598103934665603ull;
    const size_t n = std::min<size_t>(size, 256);
    for (size_t i = size - n; i < size; ++i) {
        hash = (hash ^ data[i]) * 1099511628211ull;
    }
    return hash;
}

// The ring of pictures a stream repeats, known by the last bytes of each picture (pictures
// alike in those, such as repeated MPEG-4 pictures of a still scene, share a key); a frame
// that is not the one after the last frame means pictures were lost.
struct Ring {
    std::unordered_map<uint64_t, std::vector<uint32_t>> index;
    uint32_t length = 0;
    double bytesPerPicture = 0;  // on the wire, part headers included

    void Add(const uint8_t* data, size_t size) { index[TailKey(data, size)].push_back(length++); }
    // Pictures missing between the picture at `last` (-1: none yet) and this one, which
    // becomes `last`; -1 when the picture is none of the ring's.
    int64_t Gap(const uint8_t* data, size_t size, int64_t& last) const {
        const auto it = index.find(TailKey(data, size));
        if (it == index.end()) {
            return -1;
        }
        const uint32_t expected = last < 0 ? 0 : (static_cast<uint32_t>(last) + 1) % length;
        uint32_t best = length;
        for (uint32_t i : it->second) {
            const uint32_t gap = (i + length - expected) % length;
            if (gap < best) {
                best = gap;
                last = i;
            }
        }
        return best;
    }
};

Ring JpegRing(const camsim::CameraSimulator& sim) {
    Ring ring;
    double total = 0;
    for (const auto& picture : sim.JpegRing(kWidth, kHeight)) {
        ring.Add(picture.bytes.data(), picture.bytes.size());
        total += static_cast<double>(picture.bytes.size()) + 90;  // boundary and part header
    }
    ring.bytesPerPicture = ring.length ? total / ring.length : 0;
    return ring;
}

// MPEG-4: each picture runs from its start code 00 00 01 B6 up to the next start code.
Ring MpegRing(const camsim::CameraSimulator& sim) {
    Ring ring;
    const Bytes stream = sim.Mpeg4Fixture(kWidth, kHeight);
    auto next = [&](size_t from) {
        for (size_t i = from; i + 2 < stream.size(); ++i) {
            if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
                return i;
            }
        }
        return stream.size();
    };
    for (size_t p = next(0); p < stream.size(); p = next(p + 3)) {
        if (p + 3 < stream.size() && stream[p + 3] == 0xB6) {
            const size_t end = next(p + 4);
            ring.Add(stream.data() + p, end - p);
        }
    }
    ring.bytesPerPicture = ring.length ? static_cast<double>(stream.size()) / ring.length : 0;
    return ring;
}

// ---- the host objects ----

using bench::PoolFactory;
using bench::PoolFrame;

// Counts one channel's frames and the ring pictures missing between them.
class CountingSink : public ipc::IHostFrameSink {
  public:
    explicit CountingSink(const Ring* ring) : m_ring(ring) {}

    bool OnFrame(ipc::IHostFrame* raw) override {
        auto* frame = static_cast<PoolFrame*>(raw);
        const size_t size = std::min<size_t>(frame->size, frame->capacity);
        if (m_ring != nullptr && size > 0) {
            const bool first = m_last < 0;
            const int64_t gap = m_ring->Gap(frame->buffer.get(), size, m_last);
            if (gap < 0) {
                unknown.fetch_add(1, std::memory_order_relaxed);
            } else if (!first) {
                lost.fetch_add(static_cast<uint64_t>(gap), std::memory_order_relaxed);
            }
        }
        bytes.fetch_add(size, std::memory_order_relaxed);
        frames.fetch_add(1, std::memory_order_release);
        return true;
    }
    void OnSignalLost() override { signalLost.fetch_add(1, std::memory_order_relaxed); }

    std::atomic<uint64_t> frames{0}, bytes{0}, lost{0}, unknown{0}, signalLost{0};

  private:
    const Ring* m_ring;
    int64_t m_last = -1;
};

// The module, a driver over it and N channels of one camera.
class Driver {
  public:
    Driver(camhost::ModuleLibrary& module, uint16_t port, int streamType, unsigned channels)
        : m_module(module) {
        host::DeviceSettings settings;
        settings.port = port;
        settings.userName = "admin";  // the simulated VN-V686's default admin credentials
        settings.password = "vn-v686";
        settings.streamType = streamType;
        settings.cameraCount = static_cast<int>(channels);
        settings.parameters = {{1, "0"}, {2, "1"}};  // video standard, camera family (VN-V)
        m_config = std::make_unique<host::DeviceConfig>(settings);
        m_driver = module.create();
        if (m_driver == nullptr || !m_driver->Open(&m_log, &m_factory, m_config.get()) ||
            (m_capture = m_driver->GetVideoCapture()) == nullptr) {
            std::fprintf(stderr, "benchhost: the driver did not open\n");
            for (const auto& record : m_log.Records()) {
                std::fprintf(stderr, "  %s\n", record.text.value_or("").c_str());
            }
            std::exit(1);
        }
    }
    ~Driver() {
        m_driver->Close();
        m_module.destroy(m_driver);
    }
    bool Start(unsigned index, ipc::IHostFrameSink* sink) {
        return m_capture->StartChannel(index, sink, &m_video);
    }
    void Stop(unsigned index) { m_capture->StopChannel(index); }

  private:
    camhost::ModuleLibrary& m_module;
    host::LogSink m_log;
    PoolFactory m_factory;
    std::unique_ptr<host::DeviceConfig> m_config;
    host::VideoSettings m_video{kWidth, kHeight, kIntervalMs, 50};
    ipc::IIPCaptureDriver* m_driver = nullptr;
    ipc::IIPVideoCapture* m_capture = nullptr;
};

struct Args {
    std::string mode;
    std::string stream = "mjpeg";
    std::string tool = "curl";
    std::string module;
    uint16_t port = 0;
    unsigned channels = 1;
    double seconds = 10;
    unsigned count = 100;

    int StreamType() const { return stream == "mpeg4" ? 2 : 1; }
    std::string VideoUrl() const {
        const std::string base = "http://127.0.0.1:" + std::to_string(port);
        return stream == "mpeg4" ? base + "/api/video?encode=mpeg4"
                                 : base + "/api/video?encode=jpeg&framerate=25&boundary=on";
    }
};

void LoadModule(camhost::ModuleLibrary& module, const Args& args) {
    const std::string path =
        args.module.empty()
            ? camhost::DefaultModulePath(BENCHHOST_DEFAULT_MODULE, BENCHHOST_MODULE_FILE_NAME,
                                         "../lib/jvc_ipcapture")
            : args.module;
    if (!module.Load(path)) {
        std::fprintf(stderr, "benchhost: %s\n", module.error().c_str());
        std::exit(1);
    }
}

// The rings the external simulator serves, made by a simulator started here for a moment
// (the pictures and fixtures are the same in every simulator).
Ring LoadRing(const std::string& stream) {
    camsim::CameraSimulator sim;
    sim.Start();
    Ring ring = stream == "mpeg4" ? MpegRing(sim) : JpegRing(sim);
    sim.Stop();
    return ring;
}

bool WaitUntil(const std::function<bool()>& pred, Clock::duration timeout) {
    const auto end = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// ---- recv ----

int RunRecv(const Args& args) {
    const Ring ring = LoadRing(args.stream);
    camhost::ModuleLibrary module;
    LoadModule(module, args);
    const double rssBefore = StatusBytes("self", "VmRSS");
    std::vector<std::unique_ptr<CountingSink>> sinks;
    for (unsigned i = 0; i < args.channels; ++i) {
        sinks.push_back(std::make_unique<CountingSink>(&ring));
    }
    Driver driver(module, args.port, args.StreamType(), args.channels);
    for (unsigned i = 0; i < args.channels; ++i) {
        if (!driver.Start(i, sinks[i].get())) {
            std::fprintf(stderr, "benchhost: channel %u did not start\n", i);
            return 1;
        }
    }
    const bool all = WaitUntil(
        [&] {
            return std::all_of(sinks.begin(), sinks.end(),
                               [](const auto& s) { return s->frames > 0; });
        },
        30s);
    if (!all) {
        std::fprintf(stderr, "benchhost: not every channel received within 30 s\n");
    }
    std::this_thread::sleep_for(1s);  // past the first key frames and the pools' growth

    auto totals = [&] {
        uint64_t frames = 0, bytes = 0;
        for (const auto& s : sinks) {
            frames += s->frames;
            bytes += s->bytes;
        }
        return std::pair(frames, bytes);
    };
    const auto [frames0, bytes0] = totals();
    const double cpu0 = SelfCpuSeconds();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(args.seconds));
    const double cpu = SelfCpuSeconds() - cpu0;
    const double wall = Seconds(Clock::now() - t0);
    const auto [frames1, bytes1] = totals();

    for (unsigned i = 0; i < args.channels; ++i) {
        driver.Stop(i);
    }
    uint64_t lost = 0, unknown = 0;
    for (const auto& s : sinks) {
        lost += s->lost;
        unknown += s->unknown;
    }
    const double frames = static_cast<double>(frames1 - frames0);
    Print("wall_s", wall);
    Print("cpu_s", cpu);
    Print("frames", frames);
    Print("expected_frames", wall * kFps * args.channels);
    Print("delivered_mb", static_cast<double>(bytes1 - bytes0) / 1e6);
    Print("stream_mb", wall * kFps * args.channels * ring.bytesPerPicture / 1e6);
    Print("lost", static_cast<double>(lost));
    Print("unknown", static_cast<double>(unknown));
    Print("rss_peak_per_channel_mb",
          (StatusBytes("self", "VmHWM") - rssBefore) / 1e6 / args.channels);
    return all ? 0 : 1;
}

// ---- peer ----

pid_t Spawn(const std::vector<std::string>& argv) {
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> raw;
        for (const auto& a : argv) {
            raw.push_back(const_cast<char*>(a.c_str()));
        }
        raw.push_back(nullptr);
        // The peers print nothing the bench needs.
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        std::freopen("/dev/null", "r", stdin);
        execvp(raw[0], raw.data());
        _exit(127);
    }
    return pid;
}

int RunPeer(const Args& args) {
    const Ring ring = LoadRing(args.stream);
    const std::string base = "http://127.0.0.1:" + std::to_string(args.port);
    // What the module asks for before it opens a stream: the picture size and frame rate.
    const std::string setup =
        args.stream == "mpeg4" ? base + "/api/param?encode(2).framesize=vga&encode(2).framerate=25"
                               : base + "/api/param?encode(1).framesize=vga";
    if (pid_t pid = Spawn({"curl", "-s", "-o", "/dev/null", setup}); pid > 0) {
        waitpid(pid, nullptr, 0);
    }
    std::vector<std::string> command;
    if (args.tool == "ffmpeg") {
        command = {"ffmpeg",
                   "-nostdin",
                   "-hide_banner",
                   "-loglevel",
                   "error",
                   "-f",
                   args.stream == "mpeg4" ? "m4v" : "mpjpeg",
                   "-i",
                   args.VideoUrl(),
                   "-c",
                   "copy",
                   "-f",
                   "null",
                   "-"};
    } else {
        command = {"curl", "-s", "-N", "-o", "/dev/null", args.VideoUrl()};
    }
    std::vector<pid_t> pids;
    for (unsigned i = 0; i < args.channels; ++i) {
        pids.push_back(Spawn(command));
    }
    // Past their start-up (ffmpeg probes the stream first).
    std::this_thread::sleep_for(3s);
    auto cpuOf = [&] {
        double total = 0;
        bool allAlive = true;
        for (pid_t pid : pids) {
            const double c = ProcessCpuSeconds(pid);
            allAlive = allAlive && c >= 0;
            total += std::max(c, 0.0);
        }
        return std::pair(total, allAlive);
    };
    const auto [cpu0, alive0] = cpuOf();
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(args.seconds));
    const auto [cpu1, alive1] = cpuOf();
    const double wall = Seconds(Clock::now() - t0);
    double rssPeak = 0;
    for (pid_t pid : pids) {
        rssPeak = std::max(rssPeak, StatusBytes(std::to_string(pid), "VmHWM"));
    }
    for (pid_t pid : pids) {
        kill(pid, SIGTERM);
    }
    for (pid_t pid : pids) {
        waitpid(pid, nullptr, 0);
    }
    Print("wall_s", wall);
    Print("cpu_s", cpu1 - cpu0);
    Print("stream_mb", wall * kFps * args.channels * ring.bytesPerPicture / 1e6);
    Print("alive", alive0 && alive1 ? 1 : 0);
    Print("rss_peak_per_channel_mb", rssPeak / 1e6);
    return alive0 && alive1 ? 0 : 1;
}

// ---- stop ----

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const size_t i = std::min(
        values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5));
    return values[i];
}

// Stops `count` channels that receive (or, stalled, that received and then got nothing more),
// in rounds of up to 25 channels; each StopChannel is timed alone.
std::vector<double> StopLatencies(const Args& args, bool stalled) {
    camsim::CameraSimulator sim;
    const uint16_t port = sim.Start();
    if (stalled) {
        sim.SetStallStreamAfter(3);
    }
    camhost::ModuleLibrary module;
    LoadModule(module, args);
    const unsigned perRound = std::min(25u, args.count);
    std::vector<double> latencies;
    Driver driver(module, port, 1, perRound);
    while (latencies.size() < args.count) {
        const unsigned n =
            std::min<unsigned>(perRound, args.count - static_cast<unsigned>(latencies.size()));
        std::vector<std::unique_ptr<CountingSink>> sinks;
        for (unsigned i = 0; i < n; ++i) {
            sinks.push_back(std::make_unique<CountingSink>(nullptr));
            driver.Start(i, sinks.back().get());
        }
        const uint64_t want = stalled ? 3 : 2;
        WaitUntil(
            [&] {
                return std::all_of(sinks.begin(), sinks.end(),
                                   [&](const auto& s) { return s->frames >= want; });
            },
            30s);
        if (stalled) {
            std::this_thread::sleep_for(300ms);  // the reads now wait on a silent stream
        }
        for (unsigned i = 0; i < n; ++i) {
            const auto t0 = Clock::now();
            driver.Stop(i);
            latencies.push_back(Seconds(Clock::now() - t0) * 1000.0);
        }
    }
    return latencies;
}

int RunStop(const Args& args) {
    for (bool stalled : {false, true}) {
        const auto latencies = StopLatencies(args, stalled);
        const std::string prefix = stalled ? "stalled" : "streaming";
        Print((prefix + "_stops").c_str(), static_cast<double>(latencies.size()));
        Print((prefix + "_p50_ms").c_str(), Percentile(latencies, 0.50));
        Print((prefix + "_p99_ms").c_str(), Percentile(latencies, 0.99));
        Print((prefix + "_max_ms").c_str(), Percentile(latencies, 1.0));
    }
    return 0;
}

// ---- memory ----

// A camera that answers every parameter request and serves a video stream that never yields a
// picture: a JPEG that never ends (MJPEG) or bytes without a start code (MPEG-4), paced.
class EndlessCamera {
  public:
    explicit EndlessCamera(size_t bytesPerSecond) : m_rate(bytesPerSecond) {
        m_listen = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
            listen(m_listen, 16) != 0) {
            std::perror("benchhost: listen");
            std::exit(1);
        }
        socklen_t len = sizeof(addr);
        getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] { AcceptLoop(); });
    }
    ~EndlessCamera() {
        m_stop = true;
        shutdown(m_listen, SHUT_RDWR);
        m_thread.join();
        close(m_listen);
        for (auto& t : m_connections) {
            t.join();
        }
    }
    uint16_t port() const { return m_port; }

  private:
    void AcceptLoop() {
        while (!m_stop) {
            pollfd p{m_listen, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) {
                continue;
            }
            const int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                continue;
            }
            m_connections.emplace_back([this, fd] {
                Serve(fd);
                close(fd);
            });
        }
    }

    bool SendAll(int fd, const void* data, size_t size) {
        const char* p = static_cast<const char*>(data);
        while (size > 0 && !m_stop) {
            const ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            p += n;
            size -= static_cast<size_t>(n);
        }
        return !m_stop;
    }

    void Serve(int fd) {
        std::string in;
        char buffer[4096];
        while (!m_stop) {
            const auto end = in.find("\r\n\r\n");
            if (end == std::string::npos) {
                pollfd p{fd, POLLIN, 0};
                if (poll(&p, 1, 100) <= 0) {
                    continue;
                }
                const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
                if (n <= 0) {
                    return;
                }
                in.append(buffer, static_cast<size_t>(n));
                continue;
            }
            const std::string head = in.substr(0, end);
            in.erase(0, end + 4);
            const auto sp1 = head.find(' ');
            const auto sp2 = head.find(' ', sp1 + 1);
            const std::string target = head.substr(sp1 + 1, sp2 - sp1 - 1);
            if (target.rfind("/api/video", 0) == 0) {
                Stream(fd, target.find("encode=mpeg4") != std::string::npos);
                return;
            }
            // Every parameter reads as the value written (or empty), every write succeeds.
            const auto q = target.find('?');
            std::string body;
            if (q != std::string::npos) {
                std::string item = target.substr(q + 1);
                if (item.find('=') == std::string::npos) {
                    item += "=";
                }
                body = item + "&200 OK\r\n";
            }
            const std::string answer =
                "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                "Content-Length: " +
                std::to_string(body.size()) + "\r\n\r\n" + body;
            if (!SendAll(fd, answer.data(), answer.size())) {
                return;
            }
        }
    }

    void Stream(int fd, bool mpeg4) {
        std::string head = "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: ";
        head += mpeg4 ? "video/mp4v-es\r\n\r\n"
                      : "multipart/x-mixed-replace; boundary=b\r\n\r\n--b\r\n"
                        "Content-Type: image/jpeg\r\n\r\n";
        if (!mpeg4) {
            // Start of image, then a start-of-scan segment: all that follows is scan data.
            const uint8_t soi[] = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x08, 1, 1, 0, 0, 0x3F, 0};
            head.append(reinterpret_cast<const char*>(soi), sizeof(soi));
        }
        if (!SendAll(fd, head.data(), head.size())) {
            return;
        }
        // Neither 0xFF nor a zero: no marker, no start code.
        const std::vector<uint8_t> chunk(m_rate / 50, 0x5A);
        auto next = Clock::now();
        while (SendAll(fd, chunk.data(), chunk.size())) {
            next += 20ms;
            std::this_thread::sleep_until(next);
        }
    }

    size_t m_rate;
    int m_listen = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
    std::vector<std::thread> m_connections;  // joined at the end (a handful per run)
};

int RunMemory(const Args& args) {
    EndlessCamera camera(4u * 1024 * 1024);
    camhost::ModuleLibrary module;
    LoadModule(module, args);
    CountingSink jpegSink(nullptr), mpegSink(nullptr);
    Driver jpeg(module, camera.port(), 1, 1);
    Driver mpeg(module, camera.port(), 2, 1);
    jpeg.Start(0, &jpegSink);
    mpeg.Start(0, &mpegSink);
    std::this_thread::sleep_for(4s);  // the streams open 3 s after the start
    const auto t0 = Clock::now();
    double first = 0, tenth = 0, peak = 0, last = 0;
    for (int s = 1; Seconds(Clock::now() - t0) < args.seconds; ++s) {
        std::this_thread::sleep_until(t0 + std::chrono::seconds(s));
        last = StatusBytes("self", "VmRSS");
        if (s == 1) {
            first = last;
        }
        if (Seconds(Clock::now() - t0) <= args.seconds / 3 + 0.5) {
            tenth = last;
        }
        peak = std::max(peak, last);
    }
    jpeg.Stop(0);
    mpeg.Stop(0);
    Print("rss_start_mb", first / 1e6);
    Print("rss_third_mb", tenth / 1e6);
    Print("rss_end_mb", last / 1e6);
    Print("rss_peak_mb", peak / 1e6);
    Print("frames", static_cast<double>(jpegSink.frames + mpegSink.frames));
    return 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: benchhost recv|peer|stop|memory [--port P] [--stream mjpeg|mpeg4] "
                 "[--channels N] [--seconds S] [--tool curl|ffmpeg] [--count C] "
                 "[--module PATH]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return Usage();
    }
    signal(SIGPIPE, SIG_IGN);
    Args args;
    args.mode = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--port") {
            args.port = static_cast<uint16_t>(std::atoi(value.c_str()));
        } else if (key == "--stream") {
            args.stream = value;
        } else if (key == "--channels") {
            args.channels = static_cast<unsigned>(std::max(1, std::atoi(value.c_str())));
        } else if (key == "--seconds") {
            args.seconds = std::atof(value.c_str());
        } else if (key == "--tool") {
            args.tool = value;
        } else if (key == "--count") {
            args.count = static_cast<unsigned>(std::max(1, std::atoi(value.c_str())));
        } else if (key == "--module") {
            args.module = value;
        } else {
            return Usage();
        }
    }
    if (args.mode == "recv") {
        return RunRecv(args);
    }
    if (args.mode == "peer") {
        return RunPeer(args);
    }
    if (args.mode == "stop") {
        return RunStop(args);
    }
    if (args.mode == "memory") {
        return RunMemory(args);
    }
    return Usage();
}
