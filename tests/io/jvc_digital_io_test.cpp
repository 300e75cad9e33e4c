// The JVC digital I/O object against the camera simulator: synchronisation at start, input
// changes reported once, the exact output requests in order, refusals and failures, recovery
// after the camera stops answering in the middle of a poll, and a stop that neither hangs on
// a stalled camera nor carries out queued requests. The poll period is shortened here so the
// cases that need several polls stay quick; the end-to-end test runs the real period.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "camera_simulator.h"
#include "io/jvc_digital_io.h"
#include "support/fake_driver.h"
#include "thread/event.h"

namespace vostrel {
namespace {

using namespace std::chrono_literals;
using testing_support::FakeDriver;
using Clock = std::chrono::steady_clock;
using Queries = std::vector<std::string>;

constexpr uint32_t kTestPeriodMs = 100;
constexpr const char* kParam = "/api/param?";

// What the host heard, in order. Input changes are (input, state); a failure is (-1, -1).
using Event = std::pair<int, int>;
constexpr Event kFailure{-1, -1};

class Recorder : public ipcapture::ICaptureIOCallback {
  public:
    void OnInputChanged(uint32_t input, int32_t state) override {
        std::function<void()> reaction;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_events.emplace_back(static_cast<int>(input), state);
            reaction = std::exchange(m_reaction, nullptr);
        }
        m_cond.notify_all();
        if (reaction) {
            reaction();
        }
        if (m_throw) {
            throw std::runtime_error("the host's callback failed");
        }
    }
    void OnIOFailure() override {
        std::function<void()> reaction;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_events.push_back(kFailure);
            m_cond.notify_all();
            // Holds the reporting thread at the chosen failure until Release.
            if (++m_failures == m_holdAtFailure) {
                m_cond.wait(lock, [&] { return m_released; });
            }
            reaction = std::exchange(m_failureReaction, nullptr);
        }
        if (reaction) {
            reaction();
        }
    }

    std::vector<Event> Events() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_events;
    }
    bool WaitForEvents(size_t count, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, timeout, [&] { return m_events.size() >= count; });
    }
    void Clear() {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_events.clear();
    }
    void HoldAtFailure(int failure) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_holdAtFailure = failure;
        m_released = false;
    }
    void Release() {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_released = true;
        }
        m_cond.notify_all();
    }
    void ThrowFromCallbacks(bool on) { m_throw = on; }
    // Runs once, on the reporting thread, inside the next input change callback.
    void ReactToNextInputChange(std::function<void()> reaction) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_reaction = std::move(reaction);
    }
    // Runs once, on the reporting thread, inside the next failure callback.
    void ReactToNextFailure(std::function<void()> reaction) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_failureReaction = std::move(reaction);
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<Event> m_events;
    int m_failures = 0;
    int m_holdAtFailure = 0;
    bool m_released = true;
    std::function<void()> m_reaction;
    std::function<void()> m_failureReaction;
    std::atomic<bool> m_throw{false};
};

// The object as the driver makes it, with a shorter poll period and a look at its threads.
class TestIO : public CJvcDigitalIO {
  public:
    TestIO(IDriver* driver, uint32_t periodMs) : CJvcDigitalIO(driver) { m_period = periodMs; }
    // The threads call virtual operations: they end before this object's type starts to unwind.
    ~TestIO() override { Stop(); }
    bool OutputThreadRuns() const { return CWorkItemThread::IsRecorded(); }
    bool InputThreadRuns() const { return CTickerThread::IsRecorded(); }
    std::string OutputThreadName() const { return CWorkItemThread::Name(); }
    std::string InputThreadName() const { return CTickerThread::Name(); }
};

std::string InputRead(int pin) {
    return "peripheral.input_pin.pin(" + std::to_string(pin) + ").status";
}
std::string OutputWrite(int pin, const std::string& what) {
    return "peripheral.output_pin.pin(" + std::to_string(pin) + ")." + what;
}

class DigitalIOTest : public ::testing::Test {
  protected:
    void SetUp() override { cam.Start(); }

    void Open(int inputs, int outputs, int32_t timeoutMs = 5000) {
        driver.info =
            DEVICE_INFO("127.0.0.1", cam.port(), cam.options().user, cam.options().password);
        driver.info.m_timeout = timeoutMs;
        driver.inputs = inputs;
        driver.outputs = outputs;
        io = std::make_unique<TestIO>(&driver, kTestPeriodMs);
        ASSERT_TRUE(io->SetCallback(&host));
    }

    // The parameter queries the camera answered since the last clear, in order; held ones
    // (status 0) too when asked for.
    Queries Received(const std::string& containing = "", bool held = false) {
        Queries queries;
        for (const auto& r : cam.Requests()) {
            if ((r.status == 0) == held && r.target.find(containing) != std::string::npos) {
                queries.push_back(r.target.substr(std::string(kParam).size()));
            }
        }
        return queries;
    }

    // Returns once a whole poll has run after the call: the second poll that starts after it
    // begins when the first has ended.
    void WaitForWholePoll() {
        for (int i = 0; i < 2; ++i) {
            cam.ClearRequests();
            ASSERT_TRUE(cam.WaitForRequest(InputRead(1)));
        }
    }

    // No video here: one picture per size keeps the start quick.
    camsim::CameraSimulator cam{
        {.profile = "VN-V686", .jpeg_ring_size = 1, .input_pins = 3, .output_pins = 2}};
    FakeDriver driver;
    Recorder host;
    std::unique_ptr<TestIO> io;  // last: goes first
};

TEST_F(DigitalIOTest, StartSynchronisesAndEachInputChangeIsReportedOnce) {
    cam.SetInputPin(1, true);
    cam.SetInputPin(2, true);
    Open(2, 1);
    ASSERT_TRUE(io->Start());
    // Both inputs were reported before Start returned, then the output was driven to break.
    EXPECT_EQ(host.Events(), (std::vector<Event>{{0, 2}, {1, 2}}));
    const Queries atStart = Received();
    ASSERT_GE(atStart.size(), 4u);
    EXPECT_EQ(Queries(atStart.begin(), atStart.begin() + 4),
              (Queries{InputRead(1), InputRead(2), OutputWrite(1, "duration=0"),
                       OutputWrite(1, "status=break")}));
    EXPECT_EQ(cam.OutputPin(1)->status, "break");
    EXPECT_TRUE(io->OutputThreadRuns());
    EXPECT_TRUE(io->InputThreadRuns());
    EXPECT_EQ(io->OutputThreadName(), "Digital Output thread");
    EXPECT_EQ(io->InputThreadName(), "Digital Input thread");

    // A toggled input is reported by the next poll, and only once.
    cam.SetInputPin(2, false);
    ASSERT_TRUE(host.WaitForEvents(3));
    WaitForWholePoll();
    EXPECT_EQ(host.Events(), (std::vector<Event>{{0, 2}, {1, 2}, {1, 1}}));

    // The word in capitals is no state.
    cam.SetParam(InputRead(1), "MAKE");
    ASSERT_TRUE(host.WaitForEvents(4));
    WaitForWholePoll();
    EXPECT_EQ(host.Events(), (std::vector<Event>{{0, 2}, {1, 2}, {1, 1}, {0, 0}}));
}

TEST_F(DigitalIOTest, OutputRequestsSendTheDurationThenTheStatusOnlyForAChange) {
    Open(0, 1);
    ASSERT_TRUE(io->Start());
    EXPECT_EQ(Received(), (Queries{OutputWrite(1, "duration=0"), OutputWrite(1, "status=break")}));
    EXPECT_TRUE(io->OutputThreadRuns());
    EXPECT_FALSE(io->InputThreadRuns());

    cam.ClearRequests();
    EXPECT_TRUE(io->SetOutput(0, 2));
    EXPECT_TRUE(io->SetOutput(0, 2));  // already asked for: dropped
    EXPECT_TRUE(io->SetOutput(5, 2));  // beyond the count: queued, then dropped
    EXPECT_TRUE(io->SetOutput(0, 7));  // no word for it: nothing sent
    EXPECT_TRUE(io->SetOutput(0, 1));
    ASSERT_TRUE(cam.WaitForRequest("status=break"));
    EXPECT_EQ(Received(), (Queries{OutputWrite(1, "duration=0"), OutputWrite(1, "status=make"),
                                   OutputWrite(1, "duration=0"), OutputWrite(1, "status=break")}));
    // The camera closes the connection after every answer: each request came on its own.
    const auto requests = cam.Requests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_NE(requests[0].connection, requests[1].connection);
    EXPECT_EQ(cam.OutputPin(1)->writes, 3u);
    EXPECT_TRUE(host.Events().empty());
}

TEST_F(DigitalIOTest, ARefusedDurationIsLoggedTheStatusStillSentAndAFailedRequestForgetsTheStates) {
    Open(0, 2);
    ASSERT_TRUE(io->Start());
    cam.ClearRequests();

    // The camera refuses pin 1's duration: logged, the status is written all the same, and
    // the state stays cached.
    cam.SetLineStatus("peripheral.output_pin.pin(1).duration", 500);
    EXPECT_TRUE(io->SetOutput(0, 2));
    EXPECT_TRUE(io->SetOutput(0, 2));
    EXPECT_TRUE(io->SetOutput(1, 2));
    ASSERT_TRUE(cam.WaitForRequest(OutputWrite(2, "status=make")));
    EXPECT_EQ(Received(), (Queries{OutputWrite(1, "duration=0"), OutputWrite(1, "status=make"),
                                   OutputWrite(2, "duration=0"), OutputWrite(2, "status=make")}));
    EXPECT_EQ(cam.OutputPin(1)->writes, 2u);
    const std::string line =
        "vostrel::CJvcDigitalIO::SetOutputState: Cannot set output 0 state for JVC camera "
        "127.0.0.1. Camera returns status code 500, error message: "
        "\"peripheral.output_pin.pin(1).duration&500 ";
    ASSERT_EQ(driver.CountContaining(line), 1u);
    for (const auto& message : driver.Messages()) {
        if (message.text.find(line) != std::string::npos) {
            EXPECT_EQ(message.type, 1);
        }
    }
    EXPECT_TRUE(host.Events().empty());

    // A request the camera does not process: every state is forgotten and the host is told,
    // so the next requests are sent even where they repeat a state.
    cam.ClearLineStatus();
    cam.SetHttpStatusFault(503);
    EXPECT_TRUE(io->SetOutput(1, 1));
    ASSERT_TRUE(host.WaitForEvents(1));
    EXPECT_EQ(host.Events(), (std::vector<Event>{kFailure}));
    cam.SetHttpStatusFault(0);
    cam.ClearRequests();
    EXPECT_TRUE(io->SetOutput(0, 2));
    EXPECT_TRUE(io->SetOutput(1, 2));
    ASSERT_TRUE(cam.WaitForRequest(OutputWrite(2, "status=make")));
    EXPECT_EQ(Received(), (Queries{OutputWrite(1, "duration=0"), OutputWrite(1, "status=make"),
                                   OutputWrite(2, "duration=0"), OutputWrite(2, "status=make")}));
}

TEST_F(DigitalIOTest, ACameraThatStopsAnsweringMidPollFailsOncePerPollAndIsReadAnewAfter) {
    cam.SetInputPin(3, true);
    Open(3, 1, 300);
    ASSERT_TRUE(io->Start());
    EXPECT_EQ(host.Events(), (std::vector<Event>{{0, 1}, {1, 1}, {2, 2}}));

    // Pin 2 stops answering. The host's second failure callback holds the input thread, so
    // nothing moves while the requests are counted.
    host.Clear();
    host.HoldAtFailure(2);
    cam.ClearRequests();
    cam.SetHoldParam(InputRead(2));
    // Each failed poll still reads pin 1 first, which is reported anew after the failure.
    ASSERT_TRUE(host.WaitForEvents(3));
    EXPECT_EQ(host.Events(), (std::vector<Event>{kFailure, {0, 1}, kFailure}));
    EXPECT_EQ(Received(InputRead(2), true).size(), 2u);  // one failure for each failed poll
    // Pin 3 was not asked after the first held request.
    bool held = false;
    for (const auto& r : cam.Requests()) {
        held = held || (r.status == 0 && r.target.find(InputRead(2)) != std::string::npos);
        EXPECT_FALSE(held && r.target.find(InputRead(3)) != std::string::npos) << r.target;
    }

    // The camera answers again: every input is reported anew, and the output is commanded
    // again though it repeats the state of the start.
    cam.SetHoldParam("");
    host.Release();
    ASSERT_TRUE(host.WaitForEvents(6));
    EXPECT_EQ(host.Events(),
              (std::vector<Event>{kFailure, {0, 1}, kFailure, {0, 1}, {1, 1}, {2, 2}}));
    cam.ClearRequests();
    EXPECT_TRUE(io->SetOutput(0, 1));
    ASSERT_TRUE(cam.WaitForRequest(OutputWrite(1, "status=break")));
}

TEST_F(DigitalIOTest, StopOnAStalledCameraIsPromptAndDiscardsTheQueue) {
    Open(1, 1);
    ASSERT_TRUE(io->Start());
    host.Clear();

    // The camera holds every request for pin 1: the output thread waits in the duration
    // write, two more requests queue behind it, and the next poll waits too.
    cam.SetHoldParam("pin(1)");
    cam.ClearRequests();
    EXPECT_TRUE(io->SetOutput(0, 2));
    ASSERT_TRUE(cam.WaitForRequest(OutputWrite(1, "duration=0")));
    ASSERT_TRUE(cam.WaitForRequest(InputRead(1)));
    EXPECT_TRUE(io->SetOutput(0, 2));
    EXPECT_TRUE(io->SetOutput(0, 1));
    const auto start = Clock::now();
    EXPECT_TRUE(io->Stop());
    EXPECT_LT(Clock::now() - start, 1s);
    EXPECT_FALSE(io->OutputThreadRuns());
    EXPECT_FALSE(io->InputThreadRuns());
    EXPECT_FALSE(io->SetOutput(0, 2));
    EXPECT_TRUE(host.Events().empty());  // a stop makes no callback

    // A new start reads the input anew and drives the output again; nothing of the old queue
    // is left (it would have sent make and break before the make below).
    cam.SetHoldParam("");
    cam.ClearRequests();
    ASSERT_TRUE(io->Start());
    EXPECT_EQ(host.Events(), (std::vector<Event>{{0, 1}}));
    EXPECT_TRUE(io->SetOutput(0, 2));
    ASSERT_TRUE(cam.WaitForRequest(OutputWrite(1, "status=make")));
    EXPECT_EQ(Received("output_pin"),
              (Queries{OutputWrite(1, "duration=0"), OutputWrite(1, "status=break"),
                       OutputWrite(1, "duration=0"), OutputWrite(1, "status=make")}));

    // A second start while running synchronises again and reports that the threads run.
    cam.ClearRequests();
    EXPECT_FALSE(io->Start());
    EXPECT_EQ(Received("output_pin"),
              (Queries{OutputWrite(1, "duration=0"), OutputWrite(1, "status=break")}));
    EXPECT_EQ(cam.OutputPin(1)->status, "break");
}

TEST_F(DigitalIOTest, AStopFromTheHostsCallbackEndsThePollAndAllowsALaterStart) {
    Open(3, 1);
    ASSERT_TRUE(io->Start());
    ASSERT_EQ(host.Events().size(), 3u);
    host.Clear();

    // The host stops the object from inside the report of input 0, on the input thread.
    std::mutex stopMutex;
    std::condition_variable stopCond;
    bool stopped = false;
    host.ReactToNextInputChange([&] {
        cam.ClearRequests();
        io->Stop();
        std::lock_guard<std::mutex> guard(stopMutex);
        stopped = true;
        stopCond.notify_all();
    });
    cam.SetInputPin(1, true);
    {
        std::unique_lock<std::mutex> lock(stopMutex);
        ASSERT_TRUE(stopCond.wait_for(lock, 10s, [&] { return stopped; }));
    }
    // A start from the host's own thread waits for the stopped input thread to end; the poll
    // that made the report read no further input after the stop.
    ASSERT_TRUE(io->Start());
    EXPECT_TRUE(io->InputThreadRuns());
    EXPECT_TRUE(io->OutputThreadRuns());
    EXPECT_EQ(Received("input_pin"), (Queries{InputRead(1), InputRead(2), InputRead(3)}));
    EXPECT_EQ(host.Events(), (std::vector<Event>{{0, 2}, {0, 2}, {1, 1}, {2, 1}}));

    // The restarted input thread reports changes again.
    cam.SetInputPin(3, true);
    ASSERT_TRUE(host.WaitForEvents(5));
    EXPECT_EQ(host.Events().back(), (Event{2, 2}));
}

TEST_F(DigitalIOTest, CountsOfZeroStartNoThreadAndTheHostsCallbackIsKeptAndGuarded) {
    Open(0, 0);
    EXPECT_TRUE(io->Start());
    EXPECT_FALSE(io->OutputThreadRuns());
    EXPECT_FALSE(io->InputThreadRuns());
    EXPECT_FALSE(io->SetOutput(0, 2));
    EXPECT_TRUE(cam.Requests().empty());
    EXPECT_TRUE(io->Stop());

    // One input, no output: only the input thread. A null callback leaves the host's one in
    // place, and a callback that throws does not end the polling.
    cam.SetInputPin(1, true);
    Open(1, 0);
    EXPECT_FALSE(io->SetCallback(nullptr));
    host.ThrowFromCallbacks(true);
    EXPECT_TRUE(io->Start());
    EXPECT_FALSE(io->OutputThreadRuns());
    EXPECT_TRUE(io->InputThreadRuns());
    EXPECT_FALSE(io->SetOutput(0, 2));
    ASSERT_TRUE(host.WaitForEvents(1));
    cam.SetInputPin(1, false);
    ASSERT_TRUE(host.WaitForEvents(2));
    EXPECT_EQ(host.Events(), (std::vector<Event>{{0, 2}, {0, 1}}));
}

// How long a callback gives the host's next call the chance to return too early. With the
// calls waiting as they must, the callback only ever ends these grace waits unanswered.
constexpr uint32_t kGraceMs = 300;

// Fails the run at once if a call deadlocked, instead of hanging until the test's time-out.
void ExpectReturns(CManualEvent& returned, const char* what) {
    if (!returned.Wait(20000)) {
        std::fprintf(stderr, "deadlock: %s did not return\n", what);
        std::fflush(stderr);
        std::_Exit(1);
    }
}

// The host stops the object from inside an input report on the input thread, then stops it
// again or deletes it from its own thread while the report is still running: both calls wait
// for the input thread, which returns from the report into an object that still exists.
TEST_F(DigitalIOTest, AWorkerStoppedFromItsCallbackIsWaitedForByTheNextStopAndTheDestruction) {
    for (const bool stopAgain : {true, false}) {
        SCOPED_TRACE(stopAgain ? "second stop" : "destruction");
        cam.SetInputPin(1, false);
        Open(1, 1);
        ASSERT_TRUE(io->Start());
        TestIO* raw = io.get();
        CManualEvent stopped, hostReturned;
        std::atomic<bool> returnedDuringReport{false};
        host.ReactToNextInputChange([&] {
            raw->Stop();
            stopped.Set();
            returnedDuringReport = hostReturned.Wait(kGraceMs);
        });
        cam.SetInputPin(1, true);
        ASSERT_TRUE(stopped.Wait(10000));
        std::thread hostThread([&] {
            if (stopAgain) {
                raw->Stop();
            } else {
                io.reset();
            }
            hostReturned.Set();
        });
        ExpectReturns(hostReturned, stopAgain ? "Stop" : "the destructor");
        hostThread.join();
        EXPECT_FALSE(returnedDuringReport.load());
        if (stopAgain) {
            EXPECT_FALSE(io->InputThreadRuns());
            EXPECT_FALSE(io->OutputThreadRuns());
        }
    }
}

// A stop made inside the report of Start's own first reading (on the host's thread) wins:
// Start drives no output, starts no thread and says so; a later request is refused.
TEST_F(DigitalIOTest, AStopInsideStartsFirstReportEndsTheStart) {
    cam.SetInputPin(1, true);
    Open(1, 1);
    TestIO* raw = io.get();
    host.ReactToNextInputChange([&] { raw->Stop(); });
    EXPECT_FALSE(io->Start());
    EXPECT_EQ(host.Events(), (std::vector<Event>{{0, 2}}));
    EXPECT_FALSE(io->OutputThreadRuns());
    EXPECT_FALSE(io->InputThreadRuns());
    EXPECT_FALSE(io->SetOutput(0, 2));
    EXPECT_TRUE(Received("output_pin").empty());

    // The next start runs as ever.
    ASSERT_TRUE(io->Start());
    EXPECT_EQ(Received("output_pin"),
              (Queries{OutputWrite(1, "duration=0"), OutputWrite(1, "status=break")}));
}

// A stop from another host thread while Start waits for a camera that does not answer: Start
// gives up once the stop is made, drives no output and starts no thread.
TEST_F(DigitalIOTest, AStopFromAnotherThreadWhileStartWaitsOnASilentCameraEndsTheStart) {
    Open(1, 1);
    cam.SetHoldParam(InputRead(1));
    std::atomic<bool> started{true};
    CManualEvent startReturned;
    std::thread starter([&] {
        started = io->Start();
        startReturned.Set();
    });
    ASSERT_TRUE(cam.WaitForRequest(InputRead(1)));
    EXPECT_TRUE(io->Stop());
    ExpectReturns(startReturned, "Start");
    starter.join();
    EXPECT_FALSE(started.load());
    EXPECT_FALSE(io->OutputThreadRuns());
    EXPECT_FALSE(io->InputThreadRuns());
    EXPECT_FALSE(io->SetOutput(0, 2));
    EXPECT_TRUE(Received("output_pin").empty());
    EXPECT_TRUE(host.Events().empty());  // the cancelled reading is no failure of the camera
}

// Both workers stop the object from inside their callbacks at the same moment: neither waits
// for the other, and the host's next start waits for both.
TEST_F(DigitalIOTest, BothWorkersStoppingFromTheirCallbacksAtOnceDoNotWaitForEachOther) {
    Open(1, 1);
    ASSERT_TRUE(io->Start());
    host.Clear();
    TestIO* raw = io.get();
    std::mutex mutex;
    std::condition_variable cond;
    int inside = 0;
    CManualEvent inputStopped, outputStopped;
    // Each callback waits until the other one runs too, then stops.
    auto meetThenStop = [&](CManualEvent& stopped) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            ++inside;
            cond.notify_all();
            cond.wait_for(lock, 10s, [&] { return inside == 2; });
        }
        raw->Stop();
        stopped.Set();
    };
    CManualEvent inputReporting;
    host.ReactToNextInputChange([&] {
        inputReporting.Set();
        meetThenStop(inputStopped);
    });
    host.ReactToNextFailure([&] { meetThenStop(outputStopped); });
    cam.SetInputPin(1, true);
    // The input thread waits in its report, so no poll meets the fault below.
    ASSERT_TRUE(inputReporting.Wait(10000));
    cam.SetHttpStatusFault(503);
    EXPECT_TRUE(io->SetOutput(0, 2));  // the output thread fails and reports it
    ExpectReturns(inputStopped, "Stop on the input thread");
    ExpectReturns(outputStopped, "Stop on the output thread");
    {
        std::lock_guard<std::mutex> guard(mutex);
        EXPECT_EQ(inside, 2);
    }
    cam.SetHttpStatusFault(0);
    ASSERT_TRUE(io->Start());
    EXPECT_TRUE(io->InputThreadRuns());
    EXPECT_TRUE(io->OutputThreadRuns());
}

}  // namespace
}  // namespace vostrel
