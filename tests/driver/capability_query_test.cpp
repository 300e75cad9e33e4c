// The capability query through the built module, as a host's set-up tools drive it: the four
// exports resolved by name, the reference host's results object, a callback that records
// every outcome, the camera simulator. What a query delivers for each camera profile, that a
// driver opens with it, and the query's life: init, start, terminate, uninit.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "camera_simulator.h"
#include "reference_host.h"
#include "support/module_loader.h"

using namespace std::chrono_literals;
using vostrel::ipcapture::ICapabilityCallback;

namespace {

struct QueryExports {
    InitCapabilityQueryFn init = nullptr;
    StartCapabilityQueryFn start = nullptr;
    TerminateCapabilityQueryFn terminate = nullptr;
    UninitCapabilityQueryFn uninit = nullptr;
};

// Ends the module's query when it goes out of scope. Declared after a test's host objects, it
// runs before they are destroyed, also when an assertion ends the test early: the worker may
// be returning from a host call until uninit has waited for it.
struct EndQueryOnExit {
    const QueryExports& query;
    ~EndQueryOnExit() {
        if (query.uninit != nullptr) {
            query.uninit();
        }
    }
};

// Every outcome, in order; waits are woken by the module's worker.
class RecordingCallback : public ICapabilityCallback {
  public:
    struct Outcome {
        bool succeeded = false;
        int errorCode = 0;
        std::string message;
    };

    void OnSucceeded() override { Record({true, 0, {}}); }
    void OnFailed(int errorCode, const char* message) override {
        Record({false, errorCode, message ? message : "(null)"});
    }

    bool WaitFor(size_t count, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, timeout, [&] { return m_outcomes.size() >= count; });
    }
    std::vector<Outcome> Outcomes() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_outcomes;
    }
    // Makes the next callback throw (after recording it).
    void ThrowNext() { m_throw = true; }

  private:
    void Record(Outcome outcome) {
        const bool fail = m_throw.exchange(false);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_outcomes.push_back(std::move(outcome));
        }
        m_cond.notify_all();
        if (fail) {
            throw std::runtime_error("host callback failure");
        }
    }
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<Outcome> m_outcomes;
    std::atomic<bool> m_throw{false};
};

class CapabilityQueryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(module.Load(JVC_MODULE_PATH));
        query.init = reinterpret_cast<InitCapabilityQueryFn>(Symbol("InitCapabilityQuery"));
        query.start = reinterpret_cast<StartCapabilityQueryFn>(Symbol("StartCapabilityQuery"));
        query.terminate =
            reinterpret_cast<TerminateCapabilityQueryFn>(Symbol("TerminateCapabilityQuery"));
        query.uninit = reinterpret_cast<UninitCapabilityQueryFn>(Symbol("UninitCapabilityQuery"));
        ASSERT_TRUE(query.init && query.start && query.terminate && query.uninit);
    }

    void* Symbol(const char* name) { return dlsym(module.handle, name); }

    // Starts a query of the camera into results, by default with the admin's credentials.
    int Start(const camsim::CameraSimulator& cam, host::CapabilityResults& results,
              const char* user = nullptr, const char* password = nullptr) {
        return query.start(cam.address().c_str(), cam.port(),
                           user ? user : cam.options().user.c_str(),
                           password ? password : cam.options().password.c_str(), &results);
    }

    LoadedModule module;
    QueryExports query;
};

// What the query must write for a profile of the simulator.
struct Expected {
    std::string profile;
    std::map<int, int> values;
    std::vector<int> intervals;
    std::vector<host::CapabilityResolution> resolutions;
    std::vector<std::string> propertyTexts;  // driver parameters 1..5
};

const std::vector<int> kIntervalsFamily2 = {1000, 500, 333, 200, 167, 125, 100, 67};

std::vector<Expected> ExpectedProfiles() {
    std::vector<int> family1 = kIntervalsFamily2;
    family1.insert(family1.end(), {40, 33});
    return {
        {"VN-V686",  // two outputs
         {{0, 1}, {1, 1}, {2, 2}, {3, 2}, {6, 1}, {7, 1}, {11, 0}, {12, 0}},
         family1,
         {{"320x240", 320, 240, 33}, {"640x480", 640, 480, 33}},
         {"0", "1", "JVC_0080886A8601.preset", "1", "cam=1.05, net=2.10, ptz=2.00"}},
        {"VN-V686B",
         {{0, 1}, {1, 1}, {2, 2}, {3, 1}, {6, 1}, {7, 1}, {11, 0}, {12, 0}},
         family1,
         {{"320x240", 320, 240, 33}, {"640x480", 640, 480, 33}},
         // The B model has the centre command whatever its firmware (1.03 here).
         {"0", "1", "JVC_0080886A860B.preset", "1", "cam=1.05, net=2.10, ptz=1.03"}},
        {"VN-X235",
         {{0, 1}, {2, 1}, {3, 1}, {6, 1}, {7, 1}, {11, 0}, {12, 0}},
         kIntervalsFamily2,
         {{"1280x960", 1280, 960, 67}, {"320x240", 320, 240, 67}, {"640x480", 640, 480, 67}},
         {"0", "2", "(none)", "0", "1.30"}},
    };
}

void ExpectResults(const host::CapabilityResults& results, const Expected& expected,
                   const camsim::CameraSimulator& cam, const std::string& user,
                   const std::string& password) {
    EXPECT_EQ(results.deviceName, "JVC " + cam.profile().model);
    EXPECT_EQ(results.values, expected.values);
    EXPECT_EQ(results.frameIntervals, (std::map<int, std::vector<int>>{{1, expected.intervals}}));
    ASSERT_EQ(results.resolutions.size(), expected.resolutions.size());
    for (size_t i = 0; i < expected.resolutions.size(); ++i) {
        EXPECT_EQ(results.resolutions[i].name, expected.resolutions[i].name);
        EXPECT_EQ(results.resolutions[i].width, expected.resolutions[i].width);
        EXPECT_EQ(results.resolutions[i].height, expected.resolutions[i].height);
        EXPECT_EQ(results.resolutions[i].intervalMs, expected.resolutions[i].intervalMs);
    }
    EXPECT_EQ(results.connectionFields,
              (std::map<int, std::string>{
                  {1, cam.address()}, {2, std::to_string(cam.port())}, {3, user}, {4, password}}));
    const char* names[] = {"Video Standard", "JVC Camera Family", "File Name of Preset XML Storage",
                           "Center PTZ Command Supported", "Firmware Version"};
    const int types[] = {0, 0, 1, 0, 1};
    ASSERT_EQ(results.properties.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        const host::CapabilityProperty& p = results.properties[static_cast<size_t>(i)];
        EXPECT_EQ(p.index, i + 1);
        EXPECT_EQ(p.name, names[i]);
        EXPECT_EQ(p.type, types[i]) << names[i];
        EXPECT_EQ(p.attribute, 0) << names[i];
        EXPECT_EQ(p.text, expected.propertyTexts[static_cast<size_t>(i)]) << names[i];
    }
}

}  // namespace

// Each profile, once as plain text with no credentials and once as HTML pages behind Digest
// authentication: exactly the values of the family, then a driver opened with the five
// properties as its parameters.
TEST_F(CapabilityQueryTest, EachProfileIsIdentifiedAndItsPropertiesOpenADriver) {
    for (const Expected& expected : ExpectedProfiles()) {
        for (const bool guarded : {false, true}) {
            SCOPED_TRACE(expected.profile + (guarded ? " (HTML, Digest)" : ""));
            camsim::Options options{.profile = expected.profile};
            if (guarded) {
                options.auth = camsim::AuthMode::kDigest;
                options.html = true;
            }
            camsim::CameraSimulator cam(options);
            cam.Start();
            const std::string user = cam.options().user, password = cam.options().password;

            RecordingCallback callback;
            host::CapabilityResults results;
            EndQueryOnExit end{query};
            ASSERT_EQ(query.init(&callback, false), 1);
            ASSERT_EQ(Start(cam, results, user.c_str(), password.c_str()), 1);
            ASSERT_TRUE(callback.WaitFor(1));
            const auto outcomes = callback.Outcomes();
            ASSERT_TRUE(outcomes[0].succeeded) << outcomes[0].message;
            ExpectResults(results, expected, cam, user, password);

            // The camera closes the connection after every answer: one request each.
            std::map<uint64_t, int> perConnection;
            for (const auto& request : cam.Requests()) {
                ++perConnection[request.connection];
            }
            for (const auto& [connection, count] : perConnection) {
                EXPECT_EQ(count, 1) << "connection " << connection;
            }
            EXPECT_EQ(query.uninit(), 1);
            EXPECT_EQ(callback.Outcomes().size(), 1u);

            // The host opens a driver with the properties as driver parameters 1 to 5.
            host::DeviceSettings settings;
            settings.address = cam.address();
            settings.port = cam.port();
            settings.userName = user;
            settings.password = password;
            settings.model = results.deviceName.substr(4);
            for (const auto& property : results.properties) {
                settings.parameters[property.index] = property.text;
            }
            host::DeviceConfig config(settings);
            host::LogSink log;
            host::FrameFactory frames;
            auto* driver = module.create[0]();
            ASSERT_NE(driver, nullptr);
            EXPECT_TRUE(driver->Open(&log, &frames, &config));
            module.destroy[0](driver);
            const auto records = log.Records();
            ASSERT_EQ(records.size(), 1u);
            EXPECT_EQ(records[0].text.value_or(""),
                      "DRIVER IS OPENED (name: Brennick, device model: " + cam.profile().model +
                          ", FW: " + expected.propertyTexts[4] + ", address: " + cam.address() +
                          ":" + std::to_string(cam.port()) + ")");
        }
    }
}

TEST_F(CapabilityQueryTest, OneQueryAtATimeFromInitToUninit) {
    camsim::CameraSimulator cam({.profile = "VN-X235"});
    cam.Start();
    RecordingCallback first, second;
    host::CapabilityResults unused, results, again, fresh;
    EndQueryOnExit end{query};

    // Nothing running: terminate and uninit are harmless.
    EXPECT_EQ(query.terminate(), 1);
    EXPECT_EQ(query.uninit(), 1);

    // A start before init starts a worker that ends without doing anything.
    EXPECT_EQ(Start(cam, unused), 1);
    EXPECT_EQ(query.uninit(), 1);
    EXPECT_TRUE(cam.Requests().empty());
    EXPECT_TRUE(unused.deviceName.empty());
    EXPECT_TRUE(unused.values.empty());

    // A second init keeps the first callback; the option byte gives video standard 1.
    EXPECT_EQ(query.init(&first, true), 1);
    EXPECT_EQ(query.init(&second, false), 0);
    ASSERT_EQ(Start(cam, results), 1);
    ASSERT_TRUE(first.WaitFor(1));
    EXPECT_TRUE(first.Outcomes()[0].succeeded);
    ASSERT_EQ(results.properties.size(), 5u);
    EXPECT_EQ(results.properties[0].text, "1");

    // A second start without uninit: the properties object of the first is still there.
    ASSERT_EQ(Start(cam, again), 1);
    ASSERT_TRUE(first.WaitFor(2));
    const auto outcomes = first.Outcomes();
    EXPECT_FALSE(outcomes[1].succeeded);
    EXPECT_EQ(outcomes[1].errorCode, 3);
    EXPECT_EQ(outcomes[1].message, "Camera properties object already exists");
    EXPECT_TRUE(again.properties.empty());
    EXPECT_TRUE(second.Outcomes().empty());

    // A port out of range starts nothing (cut to 16 bits it would name another port).
    cam.ClearRequests();
    EXPECT_EQ(query.start(cam.address().c_str(), cam.port() + 0x10000, "", "", &again), 0);
    EXPECT_EQ(query.start(cam.address().c_str(), -1, "", "", &again), 0);
    EXPECT_EQ(first.Outcomes().size(), 2u);

    // Uninit forgets the callback, so init works again, and a fresh query runs.
    EXPECT_EQ(query.uninit(), 1);
    EXPECT_EQ(query.init(&second, false), 1);
    cam.ClearRequests();
    ASSERT_EQ(Start(cam, fresh), 1);
    ASSERT_TRUE(second.WaitFor(1));
    EXPECT_TRUE(second.Outcomes()[0].succeeded) << second.Outcomes()[0].message;
    EXPECT_FALSE(cam.Requests().empty());
    ASSERT_EQ(fresh.properties.size(), 5u);
    EXPECT_EQ(fresh.properties[0].text, "0");
    EXPECT_EQ(first.Outcomes().size(), 2u);
}

TEST_F(CapabilityQueryTest, FailuresReachTheCallbackWithCodeThree) {
    struct Case {
        const char* what;
        std::function<void(camsim::CameraSimulator&)> arrange;
        bool withResults;
        const char* message;
    };
    const Case cases[] = {
        {"a model in lower case", [](auto& cam) { cam.SetParam("system.model", "vn-v686"); }, true,
         "Failed to get camera properties"},
        {"another vendor's model", [](auto& cam) { cam.SetParam("system.model", "AXIS Q6034-E"); },
         true, "Failed to get camera properties"},
        {"wrong credentials", [](auto& cam) { cam.SetUnauthorizedForever(true); }, true,
         "Failed to get camera properties"},
        {"a camera that has gone", [](auto& cam) { cam.Stop(); }, true,
         "Failed to get camera properties"},
        // An answer cut short is no answer: not a camera without a PTZ head or firmware text.
        {"a cut PTZ answer", [](auto& cam) { cam.SetCutParam("camera.focus.mode"); }, true,
         "Failed to get camera properties"},
        {"a cut firmware answer", [](auto& cam) { cam.SetCutParam("revision(net)"); }, true,
         "Failed to get camera properties"},
        {"no results object", [](auto&) {}, false, "Failed to save capability query results"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        camsim::CameraSimulator cam({.profile = "VN-V686"});
        cam.Start();
        c.arrange(cam);
        RecordingCallback callback;
        host::CapabilityResults results;
        EndQueryOnExit end{query};
        ASSERT_EQ(query.init(&callback, false), 1);
        ASSERT_EQ(query.start(cam.address().c_str(), cam.port(), cam.options().user.c_str(),
                              cam.options().password.c_str(), c.withResults ? &results : nullptr),
                  1);
        ASSERT_TRUE(callback.WaitFor(1, 20s));
        const auto outcome = callback.Outcomes()[0];
        EXPECT_FALSE(outcome.succeeded);
        EXPECT_EQ(outcome.errorCode, 3);
        EXPECT_EQ(outcome.message, c.message);
        EXPECT_TRUE(results.properties.empty());
        EXPECT_EQ(query.uninit(), 1);
    }
}

// Host objects that throw: the results object makes the save fail, a throwing callback does
// not take the module down, and the next query works.
TEST_F(CapabilityQueryTest, HostObjectsThatThrowAreContained) {
    class ThrowingResults : public host::CapabilityResults {
      public:
        void SetValue(int, int) override { throw std::runtime_error("host results failure"); }
    };
    camsim::CameraSimulator cam({.profile = "VN-V686"});
    cam.Start();
    RecordingCallback callback;
    ThrowingResults throwing;
    host::CapabilityResults results, after;
    EndQueryOnExit end{query};
    ASSERT_EQ(query.init(&callback, false), 1);
    ASSERT_EQ(Start(cam, throwing), 1);
    ASSERT_TRUE(callback.WaitFor(1));
    EXPECT_EQ(callback.Outcomes()[0].message, "Failed to save capability query results");
    EXPECT_EQ(query.uninit(), 1);

    ASSERT_EQ(query.init(&callback, false), 1);
    callback.ThrowNext();
    ASSERT_EQ(Start(cam, results), 1);
    ASSERT_TRUE(callback.WaitFor(2));
    EXPECT_TRUE(callback.Outcomes()[1].succeeded);
    EXPECT_EQ(query.uninit(), 1);

    ASSERT_EQ(query.init(&callback, false), 1);
    ASSERT_EQ(Start(cam, after), 1);
    ASSERT_TRUE(callback.WaitFor(3));
    EXPECT_TRUE(callback.Outcomes()[2].succeeded);
    EXPECT_EQ(after.deviceName, "JVC VN-V686U");
}

// A camera that accepts the connection and never answers: terminate (and uninit) cancel the
// request in flight, so the query ends at once instead of after the request time-out.
TEST_F(CapabilityQueryTest, StopsEndAQueryOnAStalledCameraPromptly) {
    for (const bool viaTerminate : {true, false}) {
        SCOPED_TRACE(viaTerminate ? "terminate" : "uninit");
        camsim::CameraSimulator cam({.profile = "VN-V686"});
        cam.Start();
        cam.SetNeverAnswer(true);
        RecordingCallback callback;
        host::CapabilityResults results;
        EndQueryOnExit end{query};
        ASSERT_EQ(query.init(&callback, false), 1);
        ASSERT_EQ(Start(cam, results), 1);
        ASSERT_TRUE(cam.WaitForConnections(1));

        const auto stopped = std::chrono::steady_clock::now();
        if (viaTerminate) {
            EXPECT_EQ(query.terminate(), 1);
            ASSERT_TRUE(callback.WaitFor(1, 5s));
            EXPECT_LT(std::chrono::steady_clock::now() - stopped, 1s);
            EXPECT_EQ(query.uninit(), 1);
        } else {
            EXPECT_EQ(query.uninit(), 1);
            EXPECT_LT(std::chrono::steady_clock::now() - stopped, 1s);
        }
        // The worker had ended by the time uninit returned: its one report came first.
        const auto outcomes = callback.Outcomes();
        ASSERT_EQ(outcomes.size(), 1u);
        EXPECT_EQ(outcomes[0].errorCode, 3);
        EXPECT_EQ(outcomes[0].message, "Failed to get camera properties");
        EXPECT_TRUE(results.deviceName.empty());
    }
}

// A host call that does not return within uninit's wait: uninit does not free anything the
// worker uses and returns only once the call is over; the worker then calls nothing more,
// and unloading the module waits for it.
TEST_F(CapabilityQueryTest, UninitNeverLeavesAWorkerInsideTheHostsObjects) {
    class SlowResults : public host::CapabilityResults {
      public:
        void SetDeviceName(const char* name) override {
            {
                std::unique_lock<std::mutex> lock(mutex);
                entered = true;
                cond.notify_all();
                // Longer than uninit's 5 s wait for the worker.
                cond.wait_for(lock, 7000ms, [&] { return released; });
                returned = true;
            }
            host::CapabilityResults::SetDeviceName(name);
        }
        std::mutex mutex;
        std::condition_variable cond;
        bool entered = false;
        bool released = false;
        bool returned = false;
    };
    camsim::CameraSimulator cam({.profile = "VN-V686"});
    cam.Start();
    RecordingCallback callback;
    SlowResults results;
    EndQueryOnExit end{query};
    ASSERT_EQ(query.init(&callback, false), 1);
    ASSERT_EQ(Start(cam, results), 1);
    {
        std::unique_lock<std::mutex> lock(results.mutex);
        ASSERT_TRUE(results.cond.wait_for(lock, 10s, [&] { return results.entered; }));
    }
    EXPECT_EQ(query.uninit(), 1);
    {
        std::lock_guard<std::mutex> lock(results.mutex);
        EXPECT_TRUE(results.returned);
    }
    EXPECT_EQ(results.deviceName, "JVC VN-V686U");  // the save in progress was finished
    // Unloading ends the module's query for good: an abandoned worker is waited for.
    dlclose(module.handle);
    module.handle = nullptr;
    query = {};
    EXPECT_TRUE(callback.Outcomes().empty());
}

// A host that ends the query from inside its own callback and is still in that callback a
// while later: the next uninit (or start) from another thread waits for that worker to end.
TEST_F(CapabilityQueryTest, AWorkerThatEndedItsOwnQueryIsWaitedForByTheNextCall) {
    class UninitInside : public RecordingCallback {
      public:
        explicit UninitInside(const QueryExports& query) : m_query(query) {}
        void OnSucceeded() override {
            RecordingCallback::OnSucceeded();
            m_query.uninit();
            uninitDone = true;
            std::this_thread::sleep_for(300ms);  // still in the host's code
            left = true;
        }
        std::atomic<bool> uninitDone{false};
        std::atomic<bool> left{false};

      private:
        const QueryExports& m_query;
    };
    camsim::CameraSimulator cam({.profile = "VN-X235"});
    cam.Start();
    for (const bool viaStart : {false, true}) {
        SCOPED_TRACE(viaStart ? "start" : "uninit");
        UninitInside callback(query);
        RecordingCallback next;
        host::CapabilityResults results, later;
        EndQueryOnExit end{query};
        ASSERT_EQ(query.init(&callback, false), 1);
        ASSERT_EQ(Start(cam, results), 1);
        ASSERT_TRUE(callback.WaitFor(1));
        while (!callback.uninitDone) {
            std::this_thread::yield();
        }
        if (viaStart) {
            ASSERT_EQ(query.init(&next, false), 1);
            ASSERT_EQ(Start(cam, later), 1);
            EXPECT_TRUE(callback.left);
            ASSERT_TRUE(next.WaitFor(1));
            EXPECT_EQ(query.uninit(), 1);
        } else {
            EXPECT_EQ(query.uninit(), 1);
            EXPECT_TRUE(callback.left);
        }
    }
}
