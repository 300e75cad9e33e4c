// The fault matrix: each of the module's five camera paths (MJPEG video, MPEG-4 video, PTZ,
// digital I/O, the capability query) against each fault the camera simulator can put in its
// way. For each cell the path is brought up, the fault switched on for a few seconds, then
// off; the cell checks that the module survives, that the lines the host received stay few
// (the flood limiter), that the path works again within one retry period (plus whatever
// time-out the fault still holds the path in) and that stopping returns within 1 s.
//
// Every cell runs in a child process of its own (this program, started with --cell PATH
// FAULT): a crash or a hang shows as that cell's outcome instead of ending the matrix, each
// cell has its own simulator and its own copy of the module (the capability query is one per
// process), and the cells run side by side. The parent prints the table of outcomes.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "camera_simulator.h"
#include "jvc_ipcapture/exports.h"
#include "jvc_ipcapture/ptz.h"
#include "reference_host.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using vostrel::ipcapture::IIPCaptureDriverEx3;

// The module's periods: a video channel retries 3 s after a failure, the input thread polls
// every 2 s, an exchange that gets no byte for 5 s has timed out.
constexpr int kVideoRetryMs = 3000;
constexpr int kInputPollMs = 2000;
constexpr int kReceiveTimeoutMs = 5000;
// Slack on every recovery bound, for a busy 2-core machine.
constexpr int kMarginMs = 2000;
// A stop (and the teardown of the driver) must return within this.
constexpr int kStopLimitMs = 1000;
// Most lines the host may receive during one cell's fault: the flood limiter passes the first
// 14 failures and every 16th after; channel state lines (online, lost, offline) come on top.
constexpr size_t kLineLimit = 24;

const std::vector<std::string> kPaths = {"mjpeg", "mpeg4", "ptz", "io", "query"};
const std::vector<std::string> kFaults = {"refused", "401",     "500",   "no-answer", "stall",
                                          "cut",     "garbage", "1KB/s", "headers"};

bool IsVideo(const std::string& path) {
    return path == "mjpeg" || path == "mpeg4";
}

// Why a fault has no meaning for a path; empty when it applies.
std::string NotApplicable(const std::string& path, const std::string& fault) {
    if (IsVideo(path)) {
        return "";
    }
    if (fault == "cut") {
        return "no pictures in parameter answers";
    }
    if (fault == "garbage") {
        return "no parts in parameter answers";
    }
    return "";
}

// What the child reports for its cell, one line of key=value words.
struct Outcome {
    std::string path, fault;
    bool ran = false;  // the child printed its outcome
    std::string crashed;
    bool healthy = false;  // the path worked before the fault
    size_t lines = 0;      // lines the host received from fault on to the stop
    size_t requests = 0;   // requests the simulator logged during the fault
    bool recovered = false;
    long recoverMs = -1;
    long boundMs = 0;
    long stopMs = -1;       // the stop after the recovery
    long faultStopMs = -1;  // a stop while the fault holds the path
    std::string note;

    std::string Serialise() const {
        std::ostringstream out;
        out << "OUTCOME healthy=" << healthy << " lines=" << lines << " requests=" << requests
            << " recovered=" << recovered << " recover_ms=" << recoverMs << " bound_ms=" << boundMs
            << " stop_ms=" << stopMs << " fault_stop_ms=" << faultStopMs << " note=" << note;
        return out.str();
    }
    bool Parse(const std::string& text) {
        const auto at = text.find("OUTCOME ");
        if (at == std::string::npos) {
            return false;
        }
        std::istringstream in(text.substr(at + 8));
        std::string word;
        while (in >> word) {
            const auto eq = word.find('=');
            const std::string key = word.substr(0, eq);
            const std::string value = word.substr(eq + 1);
            if (key == "note") {
                std::string rest;
                std::getline(in, rest);
                note = value + rest;
                break;
            }
            const long n = std::atol(value.c_str());
            if (key == "healthy") {
                healthy = n != 0;
            } else if (key == "lines") {
                lines = static_cast<size_t>(n);
            } else if (key == "requests") {
                requests = static_cast<size_t>(n);
            } else if (key == "recovered") {
                recovered = n != 0;
            } else if (key == "recover_ms") {
                recoverMs = n;
            } else if (key == "bound_ms") {
                boundMs = n;
            } else if (key == "stop_ms") {
                stopMs = n;
            } else if (key == "fault_stop_ms") {
                faultStopMs = n;
            }
        }
        ran = true;
        return true;
    }
};

long MsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// ---- One cell, in the child ----

class Cell {
  public:
    Cell(std::string path, std::string fault) : m_path(std::move(path)), m_fault(std::move(fault)) {
        m_out.path = m_path;
        m_out.fault = m_fault;
    }

    Outcome Run() {
        m_cam.Start();
        m_module = dlopen(JVC_MODULE_PATH, RTLD_NOW | RTLD_LOCAL);
        if (m_module == nullptr) {
            m_out.note = "module-not-loaded";
            return m_out;
        }
        if (m_path == "query") {
            RunQuery();
        } else {
            RunDriver();
        }
        m_cam.Stop();
        dlclose(m_module);
        return m_out;
    }

  private:
    void* Symbol(const char* name) { return dlsym(m_module, name); }

    // Switches the cell's fault on. Faults that act on new connections also end the open
    // ones, so that a kept-alive connection or a running stream meets them at once.
    void FaultOn() {
        const bool video = IsVideo(m_path);
        if (m_fault == "refused") {
            m_cam.SetRefuseConnections(true);
        } else if (m_fault == "401") {
            m_cam.SetUnauthorizedForever(true);
        } else if (m_fault == "500") {
            m_cam.SetHttpStatusFault(500);
        } else if (m_fault == "no-answer") {
            m_cam.SetNeverAnswer(true);
        } else if (m_fault == "stall") {
            // A parameter exchange stalls on its open connection: the answer is held.
            video ? m_cam.SetStallStreamAfter(2) : m_cam.SetHoldParam(".");
        } else if (m_fault == "cut") {
            m_cam.SetCutStreamAfter(2);
        } else if (m_fault == "garbage") {
            m_cam.SetGarbageBytes(3000);
        } else if (m_fault == "1KB/s") {
            m_cam.SetStreamByteRate(1024);
        } else if (m_fault == "headers") {
            m_cam.SetEndlessHeaders(true);
        }
        if (m_fault == "refused" || m_fault == "401" || m_fault == "500" ||
            m_fault == "no-answer" || m_fault == "headers") {
            m_cam.DropConnections();
        }
        m_cam.ClearRequests();
    }
    void FaultOff() {
        m_out.requests = m_cam.Requests().size();
        m_cam.ClearFaults();
    }
    // Time a fault may still hold the path after it was switched off: a stalled stream is
    // noticed only when no byte came for the receive time-out.
    int PendingTimeoutMs() const {
        return m_fault == "stall" && IsVideo(m_path) ? kReceiveTimeoutMs : 0;
    }
    // How long the fault phase lasts beyond the path's own period: a fault that holds an
    // exchange stays on until the module's time-out for it has passed (silence: the receive
    // time-out; headers that never end: the exchange's limit of three request time-outs).
    int HoldMs() const {
        if (m_fault == "no-answer" || m_fault == "stall") {
            return kReceiveTimeoutMs + 1000;
        }
        if (m_fault == "headers") {
            return 3 * kReceiveTimeoutMs + 1000;
        }
        return 0;
    }

    void RunDriver() {
        auto create = reinterpret_cast<IIPCaptureDriverEx3* (*)()>(Symbol("CreateIPCaptureEx3"));
        auto destroy = reinterpret_cast<DeleteIPCaptureFn>(Symbol("DeleteIPCaptureEx3"));
        const std::string presets = "fault-matrix-" + std::to_string(getpid()) + ".xml";
        host::DeviceSettings settings;
        settings.port = m_cam.port();
        settings.userName = m_cam.options().user;
        settings.password = m_cam.options().password;
        settings.streamType = m_path == "mpeg4" ? 2 : 1;
        settings.inputCount = 2;
        settings.outputCount = 1;
        settings.parameters = {{1, "0"}, {2, "1"}, {3, presets}, {4, "1"}};
        host::DeviceConfig config(settings);
        host::LogSink log;
        if (std::getenv("FAULT_MATRIX_ECHO") != nullptr) {
            // By hand: the cell's log lines on standard error, with their time.
            const auto begin = Clock::now();
            log.SetEcho([begin](const host::LogRecord& record) {
                std::fprintf(stderr, "%6ld ms [%d] %s\n", MsSince(begin), record.level,
                             record.text.value_or("(null)").c_str());
            });
        }
        host::FrameFactory frames;
        host::FrameSink sink;
        sink.SetKeepLimit(4);
        host::IOCallback io;
        host::VideoSettings video(320, 240, 100, 50);
        IIPCaptureDriverEx3* driver = create();
        if (!driver->Open(&log, &frames, &config)) {
            m_out.note = "open-failed";
            destroy(driver);
            return;
        }
        std::function<void()> stopPath;
        std::function<void()> startPath;
        auto* control = driver->GetPTZDriverEx()->GetPtzApiEx(0);
        // A host that keeps sending PTZ commands: every one meets the fault.
        auto sendCommands = [&](std::chrono::milliseconds span) {
            for (auto until = Clock::now() + span; control != nullptr && Clock::now() < until;) {
                control->Move(0, 4);
                control->StopAll();
                std::this_thread::sleep_for(50ms);
            }
        };
        if (IsVideo(m_path)) {
            startPath = [&] { driver->GetVideoCapture()->StartChannel(0, &sink, &video); };
            startPath();
            m_out.healthy = sink.WaitForFrames(1, 15s);
            stopPath = [&] { driver->GetVideoCapture()->StopChannel(0); };
        } else if (m_path == "ptz") {
            m_out.healthy = control != nullptr && MoveReachesTheHead(control, 10s);
            // The command thread has no stop of its own: it ends with the driver.
            stopPath = [] {};
            startPath = [] {};
        } else {
            driver->GetCaptureIO()->SetCallback(&io);
            m_out.healthy = driver->GetCaptureIO()->Start() && io.FailureCount() == 0;
            stopPath = [&] { driver->GetCaptureIO()->Stop(); };
            startPath = [&] { driver->GetCaptureIO()->Start(); };
        }
        if (!m_out.healthy) {
            m_out.note = "not-healthy-before-the-fault";
        }

        const size_t linesBefore = log.Count();
        FaultOn();
        if (IsVideo(m_path)) {
            // Longer than a retry period: the channel reopens its stream into the fault.
            std::this_thread::sleep_for(std::chrono::milliseconds(kVideoRetryMs + 1000 + HoldMs()));
        } else if (m_path == "ptz") {
            sendCommands(std::chrono::milliseconds(std::max(3000, HoldMs())));
        } else {
            // Two polls of the inputs meet the fault.
            std::this_thread::sleep_for(std::chrono::milliseconds(
                std::max(2 * kInputPollMs + 500, HoldMs() + kInputPollMs)));
        }
        FaultOff();

        const auto off = Clock::now();
        if (IsVideo(m_path)) {
            m_out.boundMs = kVideoRetryMs + PendingTimeoutMs() + kMarginMs;
            const size_t before = sink.FrameCount();
            m_out.recovered =
                sink.WaitForFrames(before + 1, std::chrono::milliseconds(m_out.boundMs + 5000));
        } else if (m_path == "ptz") {
            m_out.boundMs = kMarginMs + 1000;
            m_out.recovered =
                MoveReachesTheHead(control, std::chrono::milliseconds(m_out.boundMs + 5000));
        } else {
            m_out.boundMs = kInputPollMs + kMarginMs;
            // A flipped input is reported once a poll goes through (after a failure every
            // input is reported anew, the flipped one with its new state).
            const bool make = !m_cam.InputPin(1).value_or(false);
            const size_t seen = io.Events().size();
            m_cam.SetInputPin(1, make);
            const auto reported = [&] {
                const auto events = io.Events();
                for (size_t i = seen; i < events.size(); ++i) {
                    if (events[i].kind == host::IOEvent::InputChanged && events[i].input == 0 &&
                        events[i].state == (make ? 2 : 1)) {
                        return true;
                    }
                }
                return false;
            };
            for (auto until = off + std::chrono::milliseconds(m_out.boundMs + 5000);
                 !reported() && Clock::now() < until;) {
                io.WaitForEvents(io.Events().size() + 1, 200ms);
            }
            m_out.recovered = reported();
        }
        m_out.recoverMs = m_out.recovered ? MsSince(off) : -1;

        m_out.lines = log.Count() - linesBefore;
        auto stop = Clock::now();
        stopPath();
        m_out.stopMs = MsSince(stop);

        // Once more with the fault on, and the stop (with the driver's close and deletion)
        // while the path is in its grip.
        startPath();
        FaultOn();
        if (IsVideo(m_path)) {
            // The channel's first attempt comes a retry period after its start.
            std::this_thread::sleep_for(std::chrono::milliseconds(kVideoRetryMs + 1000));
        } else if (m_path == "ptz") {
            sendCommands(1000ms);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(kInputPollMs + 500));
        }
        stop = Clock::now();
        stopPath();
        driver->Close();
        destroy(driver);
        m_out.faultStopMs = MsSince(stop);
        m_cam.ClearFaults();
        if (m_out.lines > kLineLimit) {
            // Keep the first lines for the report: what floods.
            const auto records = log.Records();
            m_out.note += "first-line:" + records[linesBefore].text.value_or("(null)");
            for (auto& c : m_out.note) {
                c = c == ' ' ? '_' : c;
            }
        }
        std::error_code ignored;
        std::filesystem::remove(
            std::filesystem::canonical("/proc/self/exe").parent_path() / presets, ignored);
    }

    // Sends moves until one reaches the simulator's head, or the time is up.
    bool MoveReachesTheHead(vostrel::ipcapture::IIPPTZApiEx* control,
                            std::chrono::milliseconds within) {
        const uint64_t starts = m_cam.Head().pan.starts;
        for (auto until = Clock::now() + within; Clock::now() < until;) {
            control->StopAll();
            control->Move(0, 4);
            for (auto next = Clock::now() + 250ms; Clock::now() < next;) {
                if (m_cam.Head().pan.starts > starts) {
                    return true;
                }
                std::this_thread::sleep_for(10ms);
            }
        }
        return false;
    }

    void RunQuery() {
        auto init = reinterpret_cast<InitCapabilityQueryFn>(Symbol("InitCapabilityQuery"));
        auto start = reinterpret_cast<StartCapabilityQueryFn>(Symbol("StartCapabilityQuery"));
        auto terminate =
            reinterpret_cast<TerminateCapabilityQueryFn>(Symbol("TerminateCapabilityQuery"));
        auto uninit = reinterpret_cast<UninitCapabilityQueryFn>(Symbol("UninitCapabilityQuery"));
        {
            host::CapabilityCallback callback;
            host::CapabilityResults results;
            init(&callback, false);
            start(m_cam.address().c_str(), m_cam.port(), m_cam.options().user.c_str(),
                  m_cam.options().password.c_str(), &results);
            m_out.healthy = callback.WaitForOutcome(10s) && callback.Succeeded() == 1;
            uninit();
        }
        if (!m_out.healthy) {
            m_out.note = "not-healthy-before-the-fault";
        }
        {
            // A query runs into the fault; the host gives up on it while the fault holds: the
            // stop is measured here, where it can be held up.
            FaultOn();
            host::CapabilityCallback callback;
            host::CapabilityResults results;
            init(&callback, false);
            start(m_cam.address().c_str(), m_cam.port(), m_cam.options().user.c_str(),
                  m_cam.options().password.c_str(), &results);
            callback.WaitForOutcome(3s);
            const auto stop = Clock::now();
            terminate();
            uninit();
            m_out.faultStopMs = MsSince(stop);
            FaultOff();
        }
        const auto off = Clock::now();
        m_out.boundMs = kMarginMs + 1000;
        host::CapabilityCallback callback;
        host::CapabilityResults results;
        init(&callback, false);
        start(m_cam.address().c_str(), m_cam.port(), m_cam.options().user.c_str(),
              m_cam.options().password.c_str(), &results);
        m_out.recovered =
            callback.WaitForOutcome(std::chrono::milliseconds(m_out.boundMs + 5000)) &&
            callback.Succeeded() == 1 && results.deviceName == "JVC VN-V686U";
        m_out.recoverMs = m_out.recovered ? MsSince(off) : -1;
        const auto stop = Clock::now();
        uninit();
        m_out.stopMs = MsSince(stop);
    }

    std::string m_path, m_fault;
    camsim::CameraSimulator m_cam{camsim::Options{.profile = "VN-V686", .jpeg_ring_size = 4}};
    void* m_module = nullptr;
    Outcome m_out;
};

// ---- The matrix, in the parent ----

struct Child {
    pid_t pid = -1;
    int out = -1;
    std::string text;
    Clock::time_point started;
    size_t index = 0;
};

// Runs every applicable cell in a child process, at most `parallel` at a time.
std::vector<Outcome> RunMatrix(size_t parallel, std::chrono::seconds cellLimit) {
    std::vector<Outcome> outcomes;
    for (const auto& path : kPaths) {
        for (const auto& fault : kFaults) {
            Outcome o;
            o.path = path;
            o.fault = fault;
            outcomes.push_back(o);
        }
    }
    const std::string self = std::filesystem::canonical("/proc/self/exe").string();
    std::vector<Child> running;
    size_t next = 0;
    auto launch = [&](size_t index) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return false;
        }
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(fds[1], STDOUT_FILENO);
            execl(self.c_str(), self.c_str(), "--cell", outcomes[index].path.c_str(),
                  outcomes[index].fault.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        running.push_back(Child{pid, fds[0], "", Clock::now(), index});
        return true;
    };
    while (next < outcomes.size() || !running.empty()) {
        while (next < outcomes.size() && running.size() < parallel) {
            if (NotApplicable(outcomes[next].path, outcomes[next].fault).empty()) {
                launch(next);
            }
            ++next;
        }
        std::vector<pollfd> polls;
        for (auto& child : running) {
            polls.push_back(pollfd{child.out, POLLIN, 0});
        }
        poll(polls.data(), polls.size(), 200);
        for (size_t i = 0; i < running.size();) {
            Child& child = running[i];
            char buffer[4096];
            bool ended = false;
            if (polls[i].revents != 0) {
                const ssize_t n = read(child.out, buffer, sizeof buffer);
                if (n > 0) {
                    child.text.append(buffer, static_cast<size_t>(n));
                } else {
                    ended = true;
                }
            }
            Outcome& o = outcomes[child.index];
            if (!ended && Clock::now() - child.started > cellLimit) {
                kill(child.pid, SIGKILL);
                o.crashed = "hung";
                ended = true;
            }
            if (!ended) {
                ++i;
                continue;
            }
            close(child.out);
            int status = 0;
            waitpid(child.pid, &status, 0);
            const bool clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            // Also after its outcome: a sanitizer reports (leaks too) as the child ends.
            if ((!o.Parse(child.text) || !clean) && o.crashed.empty()) {
                o.ran = false;
                o.crashed = WIFSIGNALED(status)
                                ? std::string("signal ") + strsignal(WTERMSIG(status))
                                : "exit " + std::to_string(WEXITSTATUS(status));
            }
            running.erase(running.begin() + static_cast<long>(i));
            polls.erase(polls.begin() + static_cast<long>(i));
        }
    }
    return outcomes;
}

std::string Seconds(long ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    return text;
}

void PrintTable(const std::vector<Outcome>& outcomes) {
    std::printf(
        "\nFault matrix (lines: what the host received from fault on to the stop; "
        "requests: what the camera saw during the fault)\n");
    std::printf("%-6s %-10s %-9s %6s %9s %-22s %8s %14s\n", "path", "fault", "survived", "lines",
                "requests", "recovered (bound)", "stop", "stop in fault");
    for (const auto& o : outcomes) {
        const std::string na = NotApplicable(o.path, o.fault);
        if (!na.empty()) {
            std::printf("%-6s %-10s n/a: %s\n", o.path.c_str(), o.fault.c_str(), na.c_str());
            continue;
        }
        if (!o.ran) {
            std::printf("%-6s %-10s %s\n", o.path.c_str(), o.fault.c_str(),
                        ("NO: " + o.crashed).c_str());
            continue;
        }
        const std::string recovered =
            (o.recovered ? "in " + Seconds(o.recoverMs) : std::string("NO")) + " (" +
            Seconds(o.boundMs) + ")";
        std::printf("%-6s %-10s %-9s %6zu %9zu %-22s %5ld ms %11ld ms %s\n", o.path.c_str(),
                    o.fault.c_str(), "yes", o.lines, o.requests, recovered.c_str(), o.stopMs,
                    o.faultStopMs, o.note.c_str());
    }
    std::fflush(stdout);
}

size_t Parallel() {
    const char* asked = std::getenv("FAULT_MATRIX_JOBS");
    return asked != nullptr && std::atoi(asked) > 0 ? static_cast<size_t>(std::atoi(asked)) : 10;
}

}  // namespace

TEST(FaultMatrix, EveryPathSurvivesEveryFaultAndRecovers) {
    const auto start = Clock::now();
    const auto outcomes = RunMatrix(Parallel(), 90s);
    PrintTable(outcomes);
    std::printf("%zu cells in %s\n", outcomes.size(), Seconds(MsSince(start)).c_str());
    for (const auto& o : outcomes) {
        if (!NotApplicable(o.path, o.fault).empty()) {
            continue;
        }
        const std::string cell = o.path + " / " + o.fault;
        ASSERT_TRUE(o.ran) << cell << ": " << o.crashed;
        EXPECT_TRUE(o.healthy) << cell << ": " << o.note;
        EXPECT_LE(o.lines, kLineLimit) << cell << ": " << o.note;
        EXPECT_TRUE(o.recovered) << cell;
        EXPECT_LE(o.recoverMs, o.boundMs) << cell;
        EXPECT_GE(o.stopMs, 0) << cell;
        EXPECT_LT(o.stopMs, kStopLimitMs) << cell;
        EXPECT_GE(o.faultStopMs, 0) << cell;
        EXPECT_LT(o.faultStopMs, kStopLimitMs) << cell;
    }
}

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--cell") == 0) {
        Cell cell(argv[2], argv[3]);
        const Outcome outcome = cell.Run();
        std::cout << outcome.Serialise() << std::endl;
        return 0;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
