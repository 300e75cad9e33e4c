// MJPEG video end to end: the module loaded as a host loads it, a driver opened against the
// camera simulator, channels started through the host interface, and every picture checked
// against what the simulator sent.
#include <gtest/gtest.h>

#include <algorithm>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "camera_simulator.h"
#include "platform/event.h"
#include "reference_host.h"
#include "support/fake_driver.h"
#include "support/simulated_driver.h"
#include "video/mjpeg_http_channel.h"

using namespace vostrel;
using namespace vostrel::ipcapture;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testing_support::SimulatedDriver;

namespace {

// Every delivered frame is a whole simulator picture, byte for byte, of the expected size.
void ExpectRingPictures(camsim::CameraSimulator& cam, const std::vector<host::ReceivedFrame>& got,
                        unsigned width, unsigned height, int sizeClass) {
    std::map<unsigned, std::vector<uint8_t>> ring;
    for (const auto& picture : cam.JpegRing(width, height)) {
        ring[picture.frame_number] = picture.bytes;
    }
    ASSERT_FALSE(ring.empty());
    std::optional<unsigned> previous;
    for (const auto& frame : got) {
        EXPECT_EQ(frame.fourcc, kFourCCJpeg);
        EXPECT_EQ(frame.width, width);
        EXPECT_EQ(frame.height, height);
        EXPECT_EQ(frame.sizeClass, sizeClass);
        EXPECT_EQ(frame.capacity, frame.data.size());
        EXPECT_TRUE(frame.preparedAfterFields);
        auto number = camsim::ReadFrameNumber(frame.data);
        ASSERT_TRUE(number.has_value());
        ASSERT_TRUE(ring.count(*number));
        EXPECT_EQ(frame.data, ring[*number]);
        if (previous) {
            // Consecutive within a stream: no picture lost or repeated.
            EXPECT_EQ(*number, (*previous + 1) % ring.size());
        }
        previous = number;
    }
}

size_t CountRequests(camsim::CameraSimulator& cam, const std::string& target) {
    size_t n = 0;
    for (const auto& r : cam.Requests()) {
        n += r.target == target;
    }
    return n;
}

std::vector<std::string> WritesTo(camsim::CameraSimulator& cam, const std::string& name) {
    std::vector<std::string> values;
    for (const auto& w : cam.Writes()) {
        if (w.name == name) {
            values.push_back(w.value);
        }
    }
    return values;
}

}  // namespace

TEST(MjpegEndToEndTest, PicturesArriveWholeAndTheChannelGoesOnlineAndOffline) {
    camsim::CameraSimulator cam({.profile = "VN-V686"});
    cam.Start();
    cam.SetParam("encode(1).framesize", "QVGA");  // the camera holds another size
    SimulatedDriver fx(cam, 1, 1, 1);
    host::FrameSink sink;
    host::VideoSettings settings(640, 480, 40, 50);
    ASSERT_TRUE(fx.video->StartChannel(0, &sink, &settings));
    EXPECT_EQ(fx.Status(0), 1);  // started, no stream yet

    ASSERT_TRUE(sink.WaitForFrames(12, 20s));
    EXPECT_EQ(fx.Status(0), 0);
    ExpectRingPictures(cam, sink.Frames(), 640, 480, 4);

    // The encoder was configured before the stream: size, mode, quality, save, then video.
    EXPECT_EQ(cam.GetParam("encode(1).framesize"), "vga");
    EXPECT_EQ(WritesTo(cam, "encode(1).quality"), std::vector<std::string>{"30k"});
    EXPECT_EQ(WritesTo(cam, "encode(1).cbr_mode"), std::vector<std::string>{"vfs"});
    EXPECT_GE(cam.SaveCount(1), 1u);
    EXPECT_EQ(CountRequests(cam, "/api/video?encode=jpeg&framerate=25&boundary=on"), 1u);
    EXPECT_EQ(fx.log.CountContaining("Camera 127.0.0.1 is online"), 1u);

    ASSERT_TRUE(fx.video->StopChannel(0));
    EXPECT_EQ(fx.log.CountContaining("Camera 127.0.0.1 is offline. Channel was stopped"), 1u);
    EXPECT_EQ(fx.Status(0), -1);  // the entry is empty now
}

// The camera takes only its listed frame rates, and framerate=0 is one picture and the end.
TEST(MjpegEndToEndTest, TheFrameRateIsOneTheCameraTakes) {
    camsim::CameraSimulator cam({.profile = "VN-V686", .jpeg_ring_size = 10});
    cam.Start();
    cam.SetRefuseUnlistedFrameRate(true);  // an unlisted rate would fail the stream
    SimulatedDriver fx(cam, 1, 1, 1);
    {
        host::FrameSink sink;
        host::VideoSettings eight(320, 240, 125, 50);  // 8 pictures a second
        ASSERT_TRUE(fx.video->StartChannel(0, &sink, &eight));
        ASSERT_TRUE(sink.WaitForFrames(3, 20s));
        EXPECT_EQ(CountRequests(cam, "/api/video?encode=jpeg&framerate=7.5&boundary=on"), 1u);
        ASSERT_TRUE(fx.video->StopChannel(0));
    }
    // No interval given: the full rate, one stream that goes on.
    cam.ClearRequests();
    host::FrameSink sink;
    host::VideoSettings unset(320, 240, 0, 50);
    ASSERT_TRUE(fx.video->StartChannel(0, &sink, &unset));
    ASSERT_TRUE(sink.WaitForFrames(6, 20s));
    EXPECT_EQ(CountRequests(cam, "/api/video?encode=jpeg&framerate=30&boundary=on"), 1u);
    const auto requests = cam.Requests();
    EXPECT_EQ(std::count_if(requests.begin(), requests.end(),
                            [](const auto& r) { return r.path == "/api/video"; }),
              1);
    ASSERT_TRUE(fx.video->StopChannel(0));
}

// Old firmware has no boundary option: the answer's Content-Length is the first picture's,
// and the pictures follow one another on the same connection for as long as it lasts.
TEST(MjpegEndToEndTest, AStreamIsReadPastTheFirstPicturesContentLength) {
    camsim::CameraSimulator cam({.profile = "VN-V686", .jpeg_ring_size = 10});
    cam.Start();
    cam.SetOldFirmware(true);
    SimulatedDriver fx(cam, 1, 1, 1);
    host::FrameSink sink;
    host::VideoSettings settings(320, 240, 100, 50);
    ASSERT_TRUE(fx.video->StartChannel(0, &sink, &settings));
    ASSERT_TRUE(sink.WaitForFrames(15, 10s));
    ASSERT_TRUE(fx.video->StopChannel(0));
    ExpectRingPictures(cam, sink.Frames(), 320, 240, 2);
    EXPECT_EQ(CountRequests(cam, "/api/video?encode=jpeg&framerate=10&boundary=on"), 1u);
    EXPECT_EQ(sink.SignalLostCount(), 0);
}

// A view-only account is refused every encoder write; video needs no login, so both stream
// types still come, with the settings the camera holds, and the refusal is logged once.
TEST(MjpegEndToEndTest, AViewOnlyAccountGetsVideoWithTheCamerasOwnSettings) {
    camsim::CameraSimulator cam({.profile = "VN-V686", .jpeg_ring_size = 10});
    cam.Start();
    cam.SetParam("encode(1).framesize", "QVGA");
    const SimulatedDriver::Login viewer{"user", cam.profile().default_password};
    for (int streamType : {1, 2}) {
        SCOPED_TRACE(streamType);
        cam.ClearRequests();
        SimulatedDriver fx(cam, streamType, 1, 1, viewer);
        host::FrameSink sink;
        host::VideoSettings settings(640, 480, 100, 50);
        ASSERT_TRUE(fx.video->StartChannel(0, &sink, &settings));
        ASSERT_TRUE(sink.WaitForFrames(3, 30s));
        ASSERT_TRUE(fx.video->StopChannel(0));
        EXPECT_EQ(sink.SignalLostCount(), 0);
        EXPECT_EQ(fx.log.CountContaining("refuses parameter"), 1u);
        if (streamType == 1) {
            ExpectRingPictures(cam, sink.Frames(), 320, 240, 2);
        }
    }
}

TEST(MjpegEndToEndTest, LostStreamsAreReopenedAndALongSilenceIsASignalLoss) {
    camsim::CameraSimulator cam({.profile = "VN-V686"});
    cam.Start();
    SimulatedDriver fx(cam, 1, 1, 1);
    host::FrameSink sink;
    host::VideoSettings settings(320, 240, 100, 100);

    // 1. The camera ends each stream after 4 pictures: state 2, reopened, no signal loss.
    cam.SetEndStreamAfter(4);
    ASSERT_TRUE(fx.video->StartChannel(0, &sink, &settings));
    ASSERT_TRUE(sink.WaitForFrames(4, 20s));
    ASSERT_TRUE(cam.WaitForRequest("framerate=10", 5s));
    // The host learns a channel's state only by asking, as a recording server polls it.
    auto deadline = Clock::now() + 10s;
    while (fx.Status(0) != 2 && Clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(fx.Status(0), 2);
    ASSERT_TRUE(sink.WaitForFrames(8, 20s));  // the second stream
    EXPECT_EQ(sink.SignalLostCount(), 0);

    // 2. A refused frame ends the stream on request; it is reopened and frames go on.
    cam.SetEndStreamAfter(-1);
    size_t videoRequests = CountRequests(cam, "/api/video?encode=jpeg&framerate=10&boundary=on");
    ASSERT_TRUE(sink.WaitForFrames(sink.FrameCount() + 1, 20s));
    sink.RefuseNext(1);
    ASSERT_TRUE(sink.WaitForRefused(1, 5s));
    // Ended on request (state 3), which the host sees as 2 until the stream is reopened.
    deadline = Clock::now() + 2s;
    while (fx.Status(0) != 2 && Clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(fx.Status(0), 2);
    ASSERT_TRUE(sink.WaitForFrames(sink.FrameCount() + 3, 20s));
    EXPECT_EQ(sink.RefusedCount(), 1);
    EXPECT_GT(CountRequests(cam, "/api/video?encode=jpeg&framerate=10&boundary=on"), videoRequests);
    EXPECT_EQ(sink.SignalLostCount(), 0);

    // 3. The camera stalls: after the receive time-out with no frame the signal is lost,
    //    reported once, and the channel keeps reconnecting.
    cam.SetStallStreamAfter(0);
    ASSERT_TRUE(sink.WaitForSignalLost(1, 20s));
    ASSERT_TRUE(fx.log.WaitForText("Signal was lost for camera 127.0.0.1", 5s));
    cam.SetStallStreamAfter(-1);
    size_t before = sink.FrameCount();
    ASSERT_TRUE(sink.WaitForFrames(before + 3, 30s));
    EXPECT_EQ(sink.SignalLostCount(), 1);
    EXPECT_EQ(fx.log.CountContaining("Signal was lost"), 1u);
    EXPECT_EQ(fx.log.CountContaining("Camera 127.0.0.1 is online"), 2u);

    // 4. A stop while the camera stalls mid-stream interrupts the read at once.
    cam.SetStallStreamAfter(0);
    ASSERT_TRUE(cam.WaitForRequest("framerate=10", 5s));
    auto start = Clock::now();
    ASSERT_TRUE(fx.video->StopChannel(0));
    // Far below the five-second receive time-out that would otherwise end the read.
    EXPECT_LT(Clock::now() - start, 2500ms);
}

namespace {

long long MsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

// The signal loss is declared at the stream time-out (5 s) after the last picture, give or
// take what a busy machine adds.
constexpr long long kLossEarliestMs = 4900;
constexpr long long kLossLatestMs = 6000;

size_t FailuresContaining(host::LogSink& log, const std::string& fragment) {
    size_t n = 0;
    for (const auto& r : log.Records()) {
        n += r.level == 1 && r.text && r.text->find(fragment) != std::string::npos;
    }
    return n;
}

}  // namespace

TEST(MjpegEndToEndTest, SignalLossIsDeclaredOnceWhateverKeepsThePicturesAway) {
    camsim::CameraSimulator cam({.profile = "VN-V686"});
    cam.Start();
    SimulatedDriver fx(cam, 1, 1, 1);
    host::FrameSink sink;
    host::VideoSettings settings(320, 240, 100, 50);
    const std::string lost = "Signal was lost for camera 127.0.0.1";
    const std::string online = "Camera 127.0.0.1 is online";

    // 1. Every open fails: the camera answers the video request with 204, not 200. The channel
    //    retries every 3 seconds and declares the signal lost 5 seconds after its start,
    //    although it never had a picture.
    cam.SetVideoStatusFault(204);
    const auto start = Clock::now();
    ASSERT_TRUE(fx.video->StartChannel(0, &sink, &settings));
    ASSERT_TRUE(cam.WaitForRequest("/api/video?", 5s));
    EXPECT_EQ(fx.Status(0), 1);  // a failed open leaves the state alone
    ASSERT_TRUE(sink.WaitForSignalLost(1, 10s));
    EXPECT_GE(MsBetween(start, sink.LastSignalLostTime()), kLossEarliestMs);
    EXPECT_LE(MsBetween(start, sink.LastSignalLostTime()), kLossLatestMs);
    EXPECT_EQ(fx.Status(0), 2);
    ASSERT_TRUE(fx.log.WaitForText(lost, 5s));  // written right after the sink heard of it
    EXPECT_EQ(FailuresContaining(fx.log, lost), 1u);
    cam.ClearRequests();
    ASSERT_TRUE(cam.WaitForRequest("/api/video?", 5s));  // the retry, 3 seconds on
    EXPECT_GE(MsBetween(start, Clock::now()), 5900);
    ASSERT_TRUE(fx.log.WaitForText("status code = 204", 5s, 2));
    EXPECT_EQ(sink.FrameCount(), 0u);
    cam.SetVideoStatusFault(0);
    ASSERT_TRUE(sink.WaitForFrames(3, 10s));
    EXPECT_EQ(fx.Status(0), 0);
    EXPECT_EQ(sink.SignalLostCount(), 1);  // not again for the second failed open
    EXPECT_EQ(FailuresContaining(fx.log, lost), 1u);
    EXPECT_EQ(fx.log.CountContaining(online), 1u);

    // 2. The camera reboots: it closes the stream and refuses connections. A host whose
    //    OnSignalLost throws does not stop the channel.
    sink.SetThrowOnSignalLost(true);
    cam.SetRefuseConnections(true);
    cam.SetEndStreamAfter(0);
    ASSERT_TRUE(sink.WaitForSignalLost(2, 10s));
    auto lastFrame = sink.Frames().back().when;
    EXPECT_GE(MsBetween(lastFrame, sink.LastSignalLostTime()), kLossEarliestMs);
    EXPECT_LE(MsBetween(lastFrame, sink.LastSignalLostTime()), kLossLatestMs);
    ASSERT_TRUE(fx.log.WaitForText(lost, 5s, 2));
    EXPECT_EQ(fx.Status(0), 2);
    cam.SetEndStreamAfter(-1);
    cam.SetRefuseConnections(false);
    size_t before = sink.FrameCount();
    ASSERT_TRUE(sink.WaitForFrames(before + 3, 10s));
    EXPECT_EQ(fx.Status(0), 0);
    EXPECT_EQ(fx.log.CountContaining(online), 2u);
    sink.SetThrowOnSignalLost(false);

    // 3. The stream stays open but carries no whole picture (each one is cut short).
    cam.ClearRequests();
    cam.SetTruncateEvery(1);
    ASSERT_TRUE(sink.WaitForSignalLost(3, 10s));
    lastFrame = sink.Frames().back().when;
    EXPECT_GE(MsBetween(lastFrame, sink.LastSignalLostTime()), kLossEarliestMs);
    EXPECT_LE(MsBetween(lastFrame, sink.LastSignalLostTime()), kLossLatestMs);
    ASSERT_TRUE(fx.log.WaitForText(lost, 5s, 3));
    EXPECT_EQ(fx.Status(0), 2);
    EXPECT_EQ(cam.OpenStreams(), 1);
    // Whole pictures again, on the same stream: the camera is back on line.
    cam.SetTruncateEvery(0);
    before = sink.FrameCount();
    ASSERT_TRUE(sink.WaitForFrames(before + 2, 5s));
    EXPECT_EQ(fx.Status(0), 0);
    EXPECT_EQ(fx.log.CountContaining(online), 3u);
    EXPECT_EQ(CountRequests(cam, "/api/video?encode=jpeg&framerate=10&boundary=on"), 0u);
    EXPECT_EQ(sink.SignalLostCount(), 3);
    EXPECT_EQ(FailuresContaining(fx.log, lost), 3u);
    ASSERT_TRUE(fx.video->StopChannel(0));  // before the sink goes
}

namespace {

// A family-1 camera simulator that streams, a driver pointed at it, and the host's frame
// factory and sink for one MJPEG channel.
struct StreamingCamera {
    StreamingCamera() {
        cam.Start();
        driver.info =
            DEVICE_INFO("127.0.0.1", cam.port(), cam.options().user, cam.options().password);
        driver.parameters[2] = "1";
        driver.frameFactory = &frames;
    }
    camsim::CameraSimulator cam{{.profile = "VN-V686"}};
    testing_support::FakeDriver driver;
    host::FrameFactory frames;
    host::FrameSink sink;
};

}  // namespace

TEST(MjpegChannelTest, AThrowingFrameCallbackEndsTheStreamWhichReopensThreeSecondsLater) {
    StreamingCamera rig;
    auto& [cam, driver, frames, sink] = rig;
    CMjpegHttpChannel channel(0, &driver, &sink);
    ASSERT_TRUE(channel.Start({100, 50, 320, 240}));
    ASSERT_TRUE(sink.WaitForFrames(3, 10s));

    // The host's exception counts as a refusal: the stream ends on request, in state 3 (which
    // the capture object reports as 2), with no signal loss.
    cam.ClearRequests();
    sink.SetThrowOnFrame(true);
    ASSERT_TRUE(sink.WaitForRefused(1, 5s));
    sink.SetThrowOnFrame(false);
    auto deadline = Clock::now() + 2s;
    while (channel.GetState() != kChannelStopped && Clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_EQ(channel.GetState(), kChannelStopped);
    EXPECT_TRUE(cam.WaitForOpenStreams(0, 2s));  // the client let the stream go

    // The next stream is opened after the retry delay, and frames go on.
    ASSERT_TRUE(cam.WaitForRequest("/api/video?", 6s));
    const long long reopenedAfter = MsBetween(sink.LastRefusalTime(), Clock::now());
    EXPECT_GE(reopenedAfter, 2900);
    EXPECT_LE(reopenedAfter, 4000);
    const size_t before = sink.FrameCount();
    ASSERT_TRUE(sink.WaitForFrames(before + 2, 5s));
    EXPECT_EQ(channel.GetState(), kChannelReceiving);
    EXPECT_EQ(sink.SignalLostCount(), 0);
    EXPECT_EQ(driver.CountContaining("Camera 127.0.0.1 is online"), 1u);  // never off line
    channel.Stop();
    EXPECT_EQ(frames.Outstanding(), 0);
}

namespace {

// An MJPEG channel that notes its state whenever a block of the stream reaches the parser.
class StateAtEveryBlock : public CMjpegHttpChannel {
  public:
    using CMjpegHttpChannel::CMjpegHttpChannel;
    ~StateAtEveryBlock() override { Stop(); }  // the thread uses the members below

    void ProcessData(const uint8_t* data, size_t size) override {
        {
            std::lock_guard<std::mutex> hold(m_mutex);
            m_states.push_back(GetState());
        }
        m_changed.notify_all();
        CMjpegHttpChannel::ProcessData(data, size);
    }
    size_t Blocks() {
        std::lock_guard<std::mutex> hold(m_mutex);
        return m_states.size();
    }
    // The states noted from block `from` on, once at least `count` blocks came (or the time
    // is up).
    std::vector<int> WaitForStates(size_t from, size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> hold(m_mutex);
        m_changed.wait_for(hold, timeout, [&] { return m_states.size() >= from + count; });
        return std::vector<int>(m_states.begin() + static_cast<ptrdiff_t>(from), m_states.end());
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<int> m_states;
};

}  // namespace

TEST(MjpegChannelTest, AfterASignalLossAReopenedStreamReadsLostUntilAPictureComes) {
    StreamingCamera rig;
    auto& [cam, driver, frames, sink] = rig;
    StateAtEveryBlock channel(0, &driver, &sink);
    ASSERT_TRUE(channel.Start({100, 50, 320, 240}));
    ASSERT_TRUE(sink.WaitForFrames(2, 10s));
    EXPECT_EQ(channel.GetState(), kChannelReceiving);

    // Every picture cut short on an open stream: the signal is declared lost.
    cam.SetTruncateEvery(1);
    ASSERT_TRUE(sink.WaitForSignalLost(1, 10s));
    EXPECT_EQ(channel.GetState(), kChannelLost);

    // The camera drops the stream and accepts the next one, which carries nothing usable
    // either: the channel opens it, yet the camera is still lost.
    cam.ClearRequests();
    cam.DropConnections();
    ASSERT_TRUE(cam.WaitForRequest("/api/video?", 10s));
    const size_t from = channel.Blocks();
    const std::vector<int> states = channel.WaitForStates(from, 5, 5s);
    ASSERT_GE(states.size(), 5u);
    for (int state : states) {
        EXPECT_EQ(state, kChannelLost);
    }
    EXPECT_EQ(channel.GetState(), kChannelLost);
    EXPECT_EQ(sink.SignalLostCount(), 1);

    // Whole pictures again: on line with the first of them.
    const size_t before = sink.FrameCount();
    cam.SetTruncateEvery(0);
    ASSERT_TRUE(sink.WaitForFrames(before + 1, 5s));
    EXPECT_EQ(channel.GetState(), kChannelReceiving);
    // The line is written once the host has taken the frame, before the next one comes.
    ASSERT_TRUE(sink.WaitForFrames(before + 2, 5s));
    EXPECT_EQ(driver.CountContaining("Camera 127.0.0.1 is online"), 2u);
    channel.Stop();
    EXPECT_EQ(frames.Outstanding(), 0);
}

TEST(MjpegEndToEndTest, EightChannelsOneUpdatedAndNamedByInput) {
    camsim::CameraSimulator cam({.profile = "VN-V686"});
    cam.Start();
    SimulatedDriver fx(cam, 1, 8, 1);
    std::vector<std::unique_ptr<host::FrameSink>> sinks;
    host::VideoSettings settings(640, 480, 100, 20);
    for (unsigned i = 0; i < 8; ++i) {
        sinks.push_back(std::make_unique<host::FrameSink>());
        sinks.back()->SetKeepLimit(4);
        ASSERT_TRUE(fx.video->StartChannel(i, sinks.back().get(), &settings));
    }
    for (unsigned i = 0; i < 8; ++i) {
        ASSERT_TRUE(sinks[i]->WaitForFrames(3, 30s)) << "channel " << i;
    }
    EXPECT_EQ(fx.log.CountContaining("Video-server 127.0.0.1 (channel 7) is online"), 1u);
    EXPECT_EQ(fx.log.CountContaining("Video-server 127.0.0.1 (channel 0) is online"), 1u);

    // Update one channel to another size: it restarts and keeps its quality.
    for (unsigned i = 1; i < 8; ++i) {
        ASSERT_TRUE(fx.video->StopChannel(i));
    }
    host::VideoSettings::Size small(1280, 960);
    ASSERT_TRUE(fx.video->UpdateChannel(0, &small, 100));
    ASSERT_TRUE(cam.WaitForRequest("encode(1).quality=80k", 10s));  // quality 20 at 1280
    sinks[0]->Clear();
    ASSERT_TRUE(sinks[0]->WaitForFrames(2, 20s));
    auto frames = sinks[0]->Frames();
    EXPECT_EQ(frames.back().width, 1280u);
    EXPECT_EQ(frames.back().sizeClass, 4);
    EXPECT_EQ(cam.GetParam("encode(1).framesize"), "quadvga");
    ASSERT_TRUE(fx.video->StopChannel(0));  // before the sinks go
}

namespace {

// A channel whose stream is opened synchronously by the test, without its thread.
class OpenOnlyChannel : public CMjpegHttpChannel {
  public:
    OpenOnlyChannel(IDriver* driver, const ChannelSettings& s, IHostFrameSink* sink = nullptr)
        : CMjpegHttpChannel(0, driver, sink) {
        m_settings = s;
    }
    // What the thread does after a stream: the request goes.
    void EndStream() { m_http.CloseRequest(); }
};

}  // namespace

TEST(MjpegOpenStreamTest, RequestSequenceReadCompareWriteAndQualityTable) {
    EXPECT_EQ(CMjpegHttpChannel::QualityValue(320, 1), "5k");
    EXPECT_EQ(CMjpegHttpChannel::QualityValue(320, 100), "27k");
    EXPECT_EQ(CMjpegHttpChannel::QualityValue(640, 100), "80k");
    EXPECT_EQ(CMjpegHttpChannel::QualityValue(640, 1), "15k");
    EXPECT_EQ(CMjpegHttpChannel::QualityValue(1280, 57), "120k");
    EXPECT_EQ(CMjpegHttpChannel::QualityValue(800, 50), "");
    EXPECT_EQ(CMjpegHttpChannel::QualityValue(640, 0), "");
    // Only the rates the camera takes; never 0, which would be one picture and the end.
    EXPECT_EQ(CMjpegHttpChannel::VideoRequestPath(0),
              "/api/video?encode=jpeg&framerate=30&boundary=on");
    EXPECT_EQ(CMjpegHttpChannel::VideoRequestPath(333),
              "/api/video?encode=jpeg&framerate=3&boundary=on");
    EXPECT_EQ(CMjpegHttpChannel::FrameRateValue(125), "7.5");  // 8 a second
    EXPECT_EQ(CMjpegHttpChannel::FrameRateValue(10), "30");
    EXPECT_EQ(CMjpegHttpChannel::FrameRateValue(40), "25");
    EXPECT_EQ(CMjpegHttpChannel::FrameRateValue(250), "5");  // 4 a second: nearer 5 by ratio
    EXPECT_EQ(CMjpegHttpChannel::FrameRateValue(1000), "1");
    EXPECT_EQ(CMjpegHttpChannel::FrameRateValue(4500), "-5");
    EXPECT_EQ(CMjpegHttpChannel::FrameRateValue(600000), "-60");

    // Family 2: the picture size goes through system.mode; a value the camera already holds,
    // in any letter case, is not written again.
    camsim::CameraSimulator cam({.profile = "VN-X235"});
    cam.Start();
    testing_support::FakeDriver driver;
    driver.info = DEVICE_INFO("127.0.0.1", cam.port(), cam.options().user, cam.options().password);
    driver.parameters[2] = "2";
    cam.SetParam("system.mode", "PATTERN3");
    cam.SetParam("encode(1).cbr_mode", "VFS");
    {
        OpenOnlyChannel channel(&driver, {100, 100, 640, 480});
        ASSERT_TRUE(channel.OpenStream());
    }
    std::vector<std::string> targets;
    for (const auto& r : cam.Requests()) {
        targets.push_back(r.target);
    }
    EXPECT_EQ(targets, (std::vector<std::string>{
                           "/api/param?system.mode", "/api/param?encode(1).cbr_mode",
                           "/api/param?encode(1).quality", "/api/param?encode(1).quality=80k",
                           "/api/param?encode(1).status=save",
                           "/api/video?encode=jpeg&framerate=10&boundary=on"}));

    // 320 x 240 selects pattern4; a width outside the quality table fails before any stream.
    cam.ClearRequests();
    {
        OpenOnlyChannel channel(&driver, {0, 50, 320, 240});
        ASSERT_TRUE(channel.OpenStream());
        EXPECT_EQ(cam.GetParam("system.mode"), "pattern4");
    }
    // Settings that no attempt can get past are logged once as failures, however often the
    // channel tries again.
    auto failuresContaining = [&](const std::string& fragment) {
        size_t n = 0;
        for (const auto& m : driver.Messages()) {
            n += m.type == 1 && m.text.find(fragment) != std::string::npos;
        }
        return n;
    };
    cam.ClearRequests();
    {
        OpenOnlyChannel channel(&driver, {0, 50, 800, 600});
        EXPECT_FALSE(channel.OpenStream());
        EXPECT_FALSE(channel.OpenStream());
        EXPECT_EQ(cam.GetParam("system.mode"), "pattern1");
    }
    EXPECT_EQ(CountRequests(cam, "/api/video?encode=jpeg&framerate=30&boundary=on"), 0u);
    EXPECT_EQ(failuresContaining("vostrel::CMjpegHttpChannel::OpenStream: No JPEG quality for a "
                                 "picture width of 800 on JVC camera 127.0.0.1"),
              1u);
    {
        OpenOnlyChannel channel(&driver, {0, 0, 640, 480});
        EXPECT_FALSE(channel.OpenStream());
    }
    EXPECT_EQ(failuresContaining("JPEG quality 0 is outside 1..100"), 1u);

    // Family 1 with a size outside the table fails at the size step, before any request.
    driver.parameters[2] = "1";
    cam.ClearRequests();
    {
        OpenOnlyChannel channel(&driver, {0, 50, 800, 600});
        EXPECT_FALSE(channel.OpenStream());
        EXPECT_FALSE(channel.OpenStream());
    }
    EXPECT_EQ(failuresContaining("vostrel::CCommonHttpChannel::SetFrameSize: Picture size 800x600 "
                                 "cannot be set on JVC camera 127.0.0.1"),
              1u);
    // A family the channel does not know: no request at all, and one line.
    driver.parameters[2] = "3";
    {
        OpenOnlyChannel channel(&driver, {0, 50, 640, 480});
        EXPECT_FALSE(channel.OpenStream());
        EXPECT_FALSE(channel.OpenStream());
    }
    EXPECT_TRUE(cam.Requests().empty());
    EXPECT_EQ(failuresContaining("JVC Camera Family 3 is not supported"), 1u);
    driver.parameters[2] = "2";
    // A camera that answers the video request with 204 instead of 200 fails the open, after
    // every parameter step went through (the thread's retry is checked end to end).
    cam.SetVideoStatusFault(204);
    cam.ClearRequests();
    {
        OpenOnlyChannel channel(&driver, {0, 50, 640, 480});
        EXPECT_FALSE(channel.OpenStream());
    }
    EXPECT_EQ(CountRequests(cam, "/api/param?encode(1).status=save"), 1u);
    EXPECT_EQ(failuresContaining("/api/video?encode=jpeg&framerate=30&boundary=on\", "
                                 "status code = 204"),
              1u);
}

TEST(MjpegOpenStreamTest, RefusedWriteIsLoggedWithTheCamerasReason) {
    camsim::CameraSimulator cam({.profile = "VN-V686"});
    cam.Start();
    cam.SetLineStatus("encode(1).cbr_mode", 500);
    testing_support::FakeDriver driver;
    driver.info = DEVICE_INFO("127.0.0.1", cam.port(), cam.options().user, cam.options().password);
    driver.parameters[2] = "1";
    OpenOnlyChannel channel(&driver, {0, 50, 640, 480});
    EXPECT_FALSE(channel.OpenStream());
    EXPECT_EQ(driver.CountContaining(
                  "vostrel::CCommonHttpChannel::UpdateJvcParameter: Cannot set parameter "
                  "encode(1).cbr_mode to JVC camera 127.0.0.1. Camera returns status code 500"),
              1u);
}

namespace {

// A host that stops the channel from inside its own frame callback, on the channel's thread.
// It is slow with the first frame, so that the camera's next pictures pile up and arrive
// together in one block; it stops the channel on the first of them.
class StopFromCallbackSink : public host::FrameSink {
  public:
    bool OnFrame(IHostFrame* frame) override {
        if (returned.IsSet()) {
            ++afterStop;  // the host may have let this sink go already
            return false;
        }
        bool accepted = host::FrameSink::OnFrame(frame);
        const int n = ++seen;
        if (n == 1) {
            const uint64_t target = cam->PicturesSent() + 4;
            const auto deadline = Clock::now() + 5s;
            while (cam->PicturesSent() < target && Clock::now() < deadline) {
                std::this_thread::sleep_for(10ms);
            }
            piledUp = cam->PicturesSent() >= target;
        } else if (n == 2 && !stopped.exchange(true)) {
            stopResult = video->StopChannel(0);
            returned.Set();
        }
        return accepted;
    }
    camsim::CameraSimulator* cam = nullptr;
    IIPVideoCapture* video = nullptr;
    std::atomic<int> seen{0};
    std::atomic<int> afterStop{0};
    std::atomic<bool> piledUp{false};
    std::atomic<bool> stopped{false};
    std::atomic<bool> stopResult{false};
    platform::Event returned{true};
};

}  // namespace

TEST(MjpegEndToEndTest, HostStopsTheChannelFromItsOwnFrameCallback) {
    // Small pictures, so that one read of the stream holds several.
    camsim::CameraSimulator cam({.profile = "VN-V686", .jpeg_quality = 5});
    cam.Start();
    SimulatedDriver fx(cam, 1, 1, 1);
    StopFromCallbackSink sink;
    sink.cam = &cam;
    sink.video = fx.video;
    host::VideoSettings settings(320, 240, 33, 50);
    ASSERT_TRUE(fx.video->StartChannel(0, &sink, &settings));
    ASSERT_TRUE(sink.returned.Wait(20000) == platform::WaitResult::Signalled);
    EXPECT_TRUE(sink.piledUp.load());
    EXPECT_TRUE(sink.stopResult.load());
    // The channel ends on its own thread and goes with it; the entry is empty at once.
    EXPECT_EQ(fx.Status(0), -1);
    ASSERT_TRUE(fx.log.WaitForText("Camera 127.0.0.1 is offline. Channel was stopped", 10s));
    // Nothing reached the host after the stop returned, although the block that held the
    // second picture held more.
    EXPECT_EQ(sink.afterStop.load(), 0);
    EXPECT_EQ(sink.FrameCount(), 2u);
    // The index can be started again.
    host::FrameSink second;
    ASSERT_TRUE(fx.video->StartChannel(0, &second, &settings));
    ASSERT_TRUE(second.WaitForFrames(2, 20s));
    ASSERT_TRUE(fx.video->StopChannel(0));  // before the sink goes
}

TEST(MjpegOpenStreamTest, APictureCutOffAtTheEndOfAStreamIsNotJoinedToTheNextStream) {
    StreamingCamera rig;
    auto& [cam, driver, frames, sink] = rig;
    OpenOnlyChannel channel(&driver, {0, 50, 320, 240}, &sink);
    const auto ring = cam.JpegRing(320, 240);
    ASSERT_GE(ring.size(), 2u);
    auto part = [](const std::vector<uint8_t>& bytes) {
        std::string head = "--camsimboundary\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                           std::to_string(bytes.size()) + "\r\n\r\n";
        std::vector<uint8_t> block(head.begin(), head.end());
        block.insert(block.end(), bytes.begin(), bytes.end());
        return block;
    };

    // The first stream ends inside the Huffman table segment of a picture.
    const std::vector<uint8_t>& cut = ring[0].bytes;
    size_t table = 0;
    for (size_t i = 2; i + 1 < cut.size() && table == 0; ++i) {
        if (cut[i] == 0xFF && cut[i + 1] == 0xC4) {
            table = i;
        }
    }
    ASSERT_NE(table, 0u);
    ASSERT_TRUE(channel.OpenStream());
    auto first = part(std::vector<uint8_t>(cut.begin(), cut.begin() + table + 40));
    channel.ProcessData(first.data(), first.size());
    channel.EndStream();

    // The next stream starts with a whole picture: it arrives as it was sent, alone.
    ASSERT_TRUE(channel.OpenStream());
    auto second = part(ring[1].bytes);
    channel.ProcessData(second.data(), second.size());
    channel.EndStream();
    const auto got = sink.Frames();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].data, ring[1].bytes);
    EXPECT_EQ(frames.Outstanding(), 0);
}
