// soakhost: a long run of the module under faults, as a recording server with four cameras
// would see it, to find what only time shows: memory that creeps up, descriptors or threads
// that are not given back, channels that do not come back.
//
//   soakhost [--minutes M | --seconds S] [--seed N] [--module PATH]
//
// Four simulated cameras run as child processes of their own (so that this process holds only
// the module's resources and the host's). One driver per camera opens four channels (16 in
// all: two cameras MJPEG, two MPEG-4), moves the PTZ head at random and polls the digital
// inputs, which the cameras flip every few seconds. For the whole run each camera gets faults
// switched on and off at random (refused connections, 401, 500, no answer, a stall, a stream
// cut in the middle of a picture, garbage, a 1 KB/s drip, headers that never end).
//
// After a warm-up (a fifth of the run, at most 2 minutes) the faults are cleared, every
// channel must come back on line, and the resident memory is taken; at the end the same again.
// Then everything is stopped and the descriptors and threads must be back where they were
// before the first driver was opened. Prints the figures; exits 1 when the memory grew by 5 %
// or more (judged on runs of at least a minute after the warm-up), descriptors or threads
// were not given back, or a channel did not come back.
#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "camera_simulator.h"
#include "jvc_ipcapture/exports.h"
#include "jvc_ipcapture/ptz.h"
#include "reference_host.h"

#include "frame_pool.h"

namespace {

namespace ipc = vostrel::ipcapture;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kCameras = 4;
constexpr unsigned kChannelsPerCamera = 4;
constexpr double kRssLimitPercent = 5.0;
constexpr int kMeasuredSecondsForRss = 60;
// How long the channels get to come back once the faults are cleared: a stalled stream is
// noticed after 5 s without a byte, headers that never end after 15 s, then 3 s to retry.
constexpr auto kBackOnline = 40s;

const std::vector<std::string> kFaults = {"refused", "401",     "500",   "no-answer", "stall",
                                          "cut",     "garbage", "1KB/s", "headers"};

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

size_t Entries(const char* folder) {
    size_t n = 0;
    std::error_code error;
    for (auto it = fs::directory_iterator(folder, error); !error && it != fs::directory_iterator();
         it.increment(error)) {
        ++n;
    }
    return n;
}

double RssMb() {
    long pages = 0;
    long resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) {
            resident = 0;
        }
        std::fclose(f);
    }
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}

// Bytes the C library's allocator has handed out and not got back: unlike the resident size,
// it does not move with fragmentation or the allocator's caches, so a leak shows plainly.
double HeapInUseMb() {
    return static_cast<double>(mallinfo2().uordblks) / 1048576.0;
}

// ---- the cameras, in child processes ----

void ApplyFault(camsim::CameraSimulator& cam, const std::string& fault) {
    if (fault == "refused") {
        cam.SetRefuseConnections(true);
    } else if (fault == "401") {
        cam.SetUnauthorizedForever(true);
    } else if (fault == "500") {
        cam.SetHttpStatusFault(500);
    } else if (fault == "no-answer") {
        cam.SetNeverAnswer(true);
    } else if (fault == "stall") {
        // The camera hangs: streams stop after two pictures, parameter answers are held.
        cam.SetStallStreamAfter(2);
        cam.SetHoldParam(".");
    } else if (fault == "cut") {
        cam.SetCutStreamAfter(2);
    } else if (fault == "garbage") {
        cam.SetGarbageBytes(3000);
    } else if (fault == "1KB/s") {
        cam.SetStreamByteRate(1024);
    } else if (fault == "headers") {
        cam.SetEndlessHeaders(true);
    }
    // Faults on new connections reach the open ones too: the camera drops them.
    if (fault == "refused" || fault == "401" || fault == "500" || fault == "no-answer" ||
        fault == "headers") {
        cam.DropConnections();
    }
}

// One camera: serves until its control pipe closes. Commands, one a line: "fault NAME",
// "clear". Input 1 flips every 3 s.
[[noreturn]] void RunCamera(int control, int report) {
    signal(SIGINT, SIG_IGN);  // the parent ends the run; Ctrl-C reaches it alone
    camsim::CameraSimulator cam(camsim::Options{.profile = "VN-V686", .jpeg_ring_size = 8});
    const uint16_t port = cam.Start();
    (void)!write(report, &port, sizeof port);
    close(report);
    std::string pending;
    auto nextFlip = Clock::now() + 3s;
    bool make = false;
    for (;;) {
        pollfd p{control, POLLIN, 0};
        const int n = poll(&p, 1, 200);
        if (n > 0) {
            char buffer[256];
            const ssize_t got = read(control, buffer, sizeof buffer);
            if (got <= 0) {
                break;  // the host has gone
            }
            pending.append(buffer, static_cast<size_t>(got));
            for (auto eol = pending.find('\n'); eol != std::string::npos;
                 eol = pending.find('\n')) {
                const std::string line = pending.substr(0, eol);
                pending.erase(0, eol + 1);
                if (line == "clear") {
                    cam.ClearFaults();
                } else if (line.rfind("fault ", 0) == 0) {
                    ApplyFault(cam, line.substr(6));
                }
            }
        }
        if (Clock::now() >= nextFlip) {
            make = !make;
            cam.SetInputPin(1, make);
            nextFlip += 3s;
        }
    }
    cam.Stop();
    _exit(0);
}

struct CameraProcess {
    pid_t pid = -1;
    int control = -1;
    uint16_t port = 0;

    void Send(const std::string& line) const {
        const std::string text = line + "\n";
        (void)!write(control, text.data(), text.size());
    }
};

CameraProcess StartCamera(const std::vector<CameraProcess>& earlier) {
    int control[2];
    int report[2];
    if (pipe(control) != 0 || pipe(report) != 0) {
        std::perror("soakhost: pipe");
        std::exit(2);
    }
    CameraProcess camera;
    camera.pid = fork();
    if (camera.pid == 0) {
        // The other cameras' control pipes close with the host alone.
        for (const auto& other : earlier) {
            close(other.control);
        }
        close(control[1]);
        close(report[0]);
        RunCamera(control[0], report[1]);
    }
    close(control[0]);
    close(report[1]);
    fcntl(control[1], F_SETFD, FD_CLOEXEC);
    camera.control = control[1];
    if (read(report[0], &camera.port, sizeof camera.port) != sizeof camera.port) {
        std::fprintf(stderr, "soakhost: a camera simulator did not start\n");
        std::exit(2);
    }
    close(report[0]);
    return camera;
}

// ---- the host objects ----

class CountingLog : public IDebugMessageSink {
  public:
    void Write(CDebugInfoIf* record) override {
        (record->GetLevel() == 1 ? failures : other).fetch_add(1, std::memory_order_relaxed);
    }
    std::atomic<uint64_t> failures{0}, other{0};
};

using bench::PoolFactory;
using bench::PoolFrame;

class CountingSink : public ipc::IHostFrameSink {
  public:
    bool OnFrame(ipc::IHostFrame*) override {
        frames.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    void OnSignalLost() override { signalLost.fetch_add(1, std::memory_order_relaxed); }
    std::atomic<uint64_t> frames{0}, signalLost{0};
};

class CountingIO : public ipc::ICaptureIOCallback {
  public:
    void OnInputChanged(uint32_t, int32_t) override {
        changes.fetch_add(1, std::memory_order_relaxed);
    }
    void OnIOFailure() override { failures.fetch_add(1, std::memory_order_relaxed); }
    std::atomic<uint64_t> changes{0}, failures{0};
};

// One camera's driver: four channels, PTZ on the first, digital I/O.
struct CameraDriver {
    int streamType = 1;
    std::unique_ptr<host::DeviceConfig> config;
    ipc::IIPCaptureDriverEx3* driver = nullptr;
    ipc::IIPPTZApiEx* ptz = nullptr;
    CountingSink sinks[kChannelsPerCamera];
    CountingIO io;
    std::string presetFile;
};

struct Options {
    double seconds = 600;
    unsigned seed = 0;
    bool seedGiven = false;
    std::string module = SOAKHOST_DEFAULT_MODULE;
};

Options ParseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--minutes" && hasValue) {
            options.seconds = std::atof(argv[++i]) * 60.0;
        } else if (arg == "--seconds" && hasValue) {
            options.seconds = std::atof(argv[++i]);
        } else if (arg == "--seed" && hasValue) {
            options.seed = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
            options.seedGiven = true;
        } else if (arg == "--module" && hasValue) {
            options.module = argv[++i];
        } else {
            std::fprintf(
                stderr, "usage: soakhost [--minutes M | --seconds S] [--seed N] [--module PATH]\n");
            std::exit(2);
        }
    }
    if (options.seconds < 5) {
        std::fprintf(stderr, "soakhost: a run lasts at least 5 seconds\n");
        std::exit(2);
    }
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    const Options options = ParseOptions(argc, argv);
    const unsigned seed =
        options.seedGiven ? options.seed : static_cast<unsigned>(std::random_device{}());
    std::mt19937 random(seed);
    signal(SIGPIPE, SIG_IGN);

    // The cameras first, while this process has no thread of its own.
    std::vector<CameraProcess> cameras;
    for (int i = 0; i < kCameras; ++i) {
        cameras.push_back(StartCamera(cameras));
    }

    void* module = dlopen(options.module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) {
        std::fprintf(stderr, "soakhost: %s\n", dlerror());
        return 2;
    }
    auto create =
        reinterpret_cast<ipc::IIPCaptureDriverEx3* (*)()>(dlsym(module, "CreateIPCaptureEx3"));
    auto destroy = reinterpret_cast<DeleteIPCaptureFn>(dlsym(module, "DeleteIPCaptureEx3"));
    if (create == nullptr || destroy == nullptr) {
        std::fprintf(stderr, "soakhost: the module lacks its exports\n");
        return 2;
    }

    const size_t fdsAtStart = Entries("/proc/self/fd");
    const size_t threadsAtStart = Entries("/proc/self/task");
    const double warmUp = std::min(120.0, options.seconds / 5.0);
    std::printf("soakhost: %.0f s of faults (warm-up %.0f s), %d cameras, %u channels, seed %u\n",
                options.seconds, warmUp, kCameras, kCameras * kChannelsPerCamera, seed);
    std::fflush(stdout);

    CountingLog log;
    PoolFactory frames;
    host::VideoSettings video(320, 240, 200, 50);
    std::vector<std::unique_ptr<CameraDriver>> drivers;
    const fs::path hostFolder = fs::canonical("/proc/self/exe").parent_path();
    for (int i = 0; i < kCameras; ++i) {
        auto d = std::make_unique<CameraDriver>();
        d->streamType = i % 2 == 0 ? 1 : 2;
        d->presetFile = "soak-" + std::to_string(getpid()) + "-" + std::to_string(i) + ".xml";
        host::DeviceSettings settings;
        settings.port = cameras[static_cast<size_t>(i)].port;
        settings.userName = "admin";  // the simulated VN-V686's default admin credentials
        settings.password = "vn-v686";
        settings.streamType = d->streamType;
        settings.cameraCount = static_cast<int>(kChannelsPerCamera);
        settings.inputCount = 2;
        settings.outputCount = 1;
        settings.parameters = {{1, "0"}, {2, "1"}, {3, d->presetFile}, {4, "1"}};
        d->config = std::make_unique<host::DeviceConfig>(settings);
        d->driver = create();
        if (!d->driver->Open(&log, &frames, d->config.get())) {
            std::fprintf(stderr, "soakhost: a driver did not open\n");
            return 2;
        }
        for (unsigned c = 0; c < kChannelsPerCamera; ++c) {
            d->driver->GetVideoCapture()->StartChannel(c, &d->sinks[c], &video);
        }
        d->ptz = d->driver->GetPTZDriverEx()->GetPtzApiEx(0);
        d->driver->GetCaptureIO()->SetCallback(&d->io);
        d->driver->GetCaptureIO()->Start();
        drivers.push_back(std::move(d));
    }

    auto channelsOnline = [&] {
        unsigned online = 0;
        for (auto& d : drivers) {
            for (unsigned c = 0; c < kChannelsPerCamera; ++c) {
                int state = -1;
                if (d->driver->GetVideoCapture()->GetChannelStatus(c, &state, nullptr, nullptr,
                                                                   0) &&
                    state == 0) {
                    ++online;
                }
            }
        }
        return online;
    };
    auto framesReceived = [&](int streamType) {
        uint64_t n = 0;
        for (auto& d : drivers) {
            for (auto& sink : d->sinks) {
                n += d->streamType == streamType ? sink.frames.load() : 0;
            }
        }
        return n;
    };

    // PTZ moves: the host's operator pushes the joystick about twice a second.
    std::atomic<bool> running{true};
    std::atomic<uint64_t> ptzCommands{0}, ptzAccepted{0};
    std::thread operatorThread([&] {
        std::mt19937 own(seed + 1);
        while (running) {
            for (auto& d : drivers) {
                if (d->ptz == nullptr) {
                    continue;
                }
                const int32_t result = own() % 3 == 0
                                           ? d->ptz->StopAll()
                                           : d->ptz->Move(static_cast<int32_t>(own() % 4),
                                                          static_cast<int32_t>(1 + own() % 16));
                ++ptzCommands;
                ptzAccepted += result == ipc::kPtzDone ? 1 : 0;
            }
            std::this_thread::sleep_for(500ms);
        }
    });

    // Faults: each camera in turn healthy for 2..12 s, then one fault for 2..10 s.
    std::map<std::string, unsigned> switched;
    unsigned faultsSwitched = 0;
    auto faultPeriod = [&](double seconds) {
        struct State {
            bool on = false;
            Clock::time_point next;
        };
        std::vector<State> states(cameras.size());
        const auto begin = Clock::now();
        for (auto& s : states) {
            s.next = begin + std::chrono::milliseconds(2000 + random() % 10000);
        }
        while (SecondsSince(begin) < seconds) {
            for (size_t i = 0; i < cameras.size(); ++i) {
                if (Clock::now() < states[i].next) {
                    continue;
                }
                if (states[i].on) {
                    cameras[i].Send("clear");
                    states[i].next =
                        Clock::now() + std::chrono::milliseconds(2000 + random() % 10000);
                } else {
                    const std::string& fault = kFaults[random() % kFaults.size()];
                    cameras[i].Send("fault " + fault);
                    ++switched[fault];
                    ++faultsSwitched;
                    states[i].next =
                        Clock::now() + std::chrono::milliseconds(2000 + random() % 8000);
                }
                states[i].on = !states[i].on;
            }
            std::this_thread::sleep_for(100ms);
        }
        for (auto& camera : cameras) {
            camera.Send("clear");
        }
    };
    // After the faults: every channel back on line, within kBackOnline.
    auto backOnline = [&](double& took) {
        const auto begin = Clock::now();
        while (channelsOnline() < kCameras * kChannelsPerCamera &&
               Clock::now() - begin < kBackOnline) {
            std::this_thread::sleep_for(100ms);
        }
        took = SecondsSince(begin);
        return channelsOnline();
    };

    double took = 0;
    faultPeriod(warmUp);
    const unsigned onlineAfterWarmUp = backOnline(took);
    const double rssWarm = RssMb();
    const double heapWarm = HeapInUseMb();
    const uint64_t framesAtWarm = framesReceived(1) + framesReceived(2);
    std::printf("soakhost: warm-up done, %u of %u channels on line after %.1f s, RSS %.1f MB\n",
                onlineAfterWarmUp, kCameras * kChannelsPerCamera, took, rssWarm);
    std::fflush(stdout);

    // The measured part: progress every minute.
    const double measured = options.seconds - warmUp;
    double peakRss = rssWarm;
    for (double done = 0; done < measured;) {
        const double step = std::min(60.0, measured - done);
        faultPeriod(step);
        done += step;
        peakRss = std::max(peakRss, RssMb());
        std::printf(
            "soakhost: %4.0f s  RSS %.1f MB  heap in use %.2f MB  descriptors %zu  "
            "threads %zu  frames %llu\n",
            warmUp + done, RssMb(), HeapInUseMb(), Entries("/proc/self/fd"),
            Entries("/proc/self/task"),
            static_cast<unsigned long long>(framesReceived(1) + framesReceived(2)));
        std::fflush(stdout);
    }
    const unsigned online = backOnline(took);
    const double rssEnd = RssMb();
    const double heapEnd = HeapInUseMb();
    const double growth = (rssEnd - rssWarm) / rssWarm * 100.0;
    running = false;
    operatorThread.join();

    // Stop everything, as the host does before it ends.
    const uint64_t mjpegFrames = framesReceived(1);
    const uint64_t mpeg4Frames = framesReceived(2);
    uint64_t signalLost = 0, inputChanges = 0, ioFailures = 0;
    const auto stopBegin = Clock::now();
    for (auto& d : drivers) {
        d->driver->GetCaptureIO()->Stop();
        for (unsigned c = 0; c < kChannelsPerCamera; ++c) {
            d->driver->GetVideoCapture()->StopChannel(c);
            signalLost += d->sinks[c].signalLost.load();
        }
        inputChanges += d->io.changes.load();
        ioFailures += d->io.failures.load();
        d->driver->Close();
        destroy(d->driver);
        d->driver = nullptr;
        std::error_code ignored;
        fs::remove(hostFolder / d->presetFile, ignored);
    }
    const double stopSeconds = SecondsSince(stopBegin);
    // Threads that were joined may take a moment to leave /proc.
    size_t fdsAtEnd = Entries("/proc/self/fd");
    size_t threadsAtEnd = Entries("/proc/self/task");
    for (const auto until = Clock::now() + 5s;
         (fdsAtEnd != fdsAtStart || threadsAtEnd != threadsAtStart) && Clock::now() < until;) {
        std::this_thread::sleep_for(50ms);
        fdsAtEnd = Entries("/proc/self/fd");
        threadsAtEnd = Entries("/proc/self/task");
    }
    for (auto& camera : cameras) {
        close(camera.control);  // the camera ends
        waitpid(camera.pid, nullptr, 0);
    }

    std::string faultList;
    for (const auto& [name, count] : switched) {
        faultList += (faultList.empty() ? "" : ", ") + name + " " + std::to_string(count);
    }
    const unsigned all = kCameras * kChannelsPerCamera;
    const bool rssJudged = measured >= kMeasuredSecondsForRss;
    const bool rssOk = !rssJudged || growth < kRssLimitPercent;
    const bool ok =
        rssOk && online == all && fdsAtEnd == fdsAtStart && threadsAtEnd == threadsAtStart;
    std::printf("\nSoak summary (seed %u)\n", seed);
    std::printf("  run                    %.0f s of faults, warm-up %.0f s\n", options.seconds,
                warmUp);
    std::printf("  faults switched on     %u (%s)\n", faultsSwitched, faultList.c_str());
    std::printf("  frames received        %llu (MJPEG %llu, MPEG-4 %llu; %llu after warm-up)\n",
                static_cast<unsigned long long>(mjpegFrames + mpeg4Frames),
                static_cast<unsigned long long>(mjpegFrames),
                static_cast<unsigned long long>(mpeg4Frames),
                static_cast<unsigned long long>(mjpegFrames + mpeg4Frames - framesAtWarm));
    std::printf("  signal losses          %llu\n", static_cast<unsigned long long>(signalLost));
    std::printf("  PTZ commands           %llu (%llu accepted)\n",
                static_cast<unsigned long long>(ptzCommands.load()),
                static_cast<unsigned long long>(ptzAccepted.load()));
    std::printf("  input changes          %llu reported, %llu I/O failures\n",
                static_cast<unsigned long long>(inputChanges),
                static_cast<unsigned long long>(ioFailures));
    std::printf("  log lines              %llu failures, %llu others\n",
                static_cast<unsigned long long>(log.failures.load()),
                static_cast<unsigned long long>(log.other.load()));
    std::printf("  channels online        %u of %u, %.1f s after the faults were cleared\n", online,
                all, took);
    std::printf(
        "  RSS                    %.1f MB after warm-up, %.1f MB at the end (peak %.1f): "
        "%+.2f %% (limit %.0f %%%s)\n",
        rssWarm, rssEnd, peakRss, growth, kRssLimitPercent,
        rssJudged ? "" : "; not judged on a run this short");
    std::printf("  heap in use            %.2f MB after warm-up, %.2f MB at the end\n", heapWarm,
                heapEnd);
    std::printf("  descriptors            %zu at the start, %zu at the end\n", fdsAtStart,
                fdsAtEnd);
    std::printf("  threads                %zu at the start, %zu at the end\n", threadsAtStart,
                threadsAtEnd);
    std::printf("  stop of all 4 drivers  %.2f s\n", stopSeconds);
    std::printf("  result                 %s\n", ok ? "PASS" : "FAIL");
    dlclose(module);
    return ok ? 0 : 1;
}
