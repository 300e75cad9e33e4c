// MPEG-4 video end to end: the module loaded as a host loads it, a driver with stream type 2
// opened against the camera simulator, and the delivered pictures checked as a stream.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "camera_simulator.h"
#include "mpeg_stream.h"
#include "reference_host.h"
#include "support/fake_driver.h"
#include "support/run_command.h"
#include "support/simulated_driver.h"
#include "video/mpeg_http_channel.h"

using namespace vostrel;
using namespace vostrel::ipcapture;
using namespace std::chrono_literals;
using testing_support::RunCommand;
using testing_support::SimulatedDriver;

TEST(Mpeg4EndToEndTest, KeyFramesAtTheGopLengthAndAStreamFfprobeReads) {
    camsim::CameraSimulator cam({.profile = "VN-V686"});
    cam.Start();
    SimulatedDriver fx(cam, 2, 1, 1);
    host::FrameSink sink;
    host::VideoSettings settings(640, 480, 40, 50);
    ASSERT_TRUE(fx.video->StartChannel(0, &sink, &settings));
    ASSERT_TRUE(sink.WaitForFrames(60, 30s));
    const auto frames = sink.Frames();

    // A refused picture ends the stream; the next one is opened 3 seconds later and starts
    // with a key frame that carries the sequence header.
    cam.ClearRequests();
    sink.RefuseNext(1);
    ASSERT_TRUE(sink.WaitForRefused(1, 5s));
    const size_t delivered = sink.FrameCount();
    ASSERT_TRUE(cam.WaitForRequest("/api/video?encode=mpeg4", 8s));
    EXPECT_GE(std::chrono::steady_clock::now() - sink.LastRefusalTime(), 2900ms);
    ASSERT_TRUE(sink.WaitForFrames(delivered + 2, 5s));
    const auto reopened = sink.Frames();
    EXPECT_EQ(reopened[delivered].fourcc, kFourCCDivx);
    // (the camera sends no visual object sequence code: its headers open with the VOL)
    EXPECT_EQ(reopened[delivered].data[3] & 0xF0, 0x20);
    EXPECT_EQ(sink.SignalLostCount(), 0);
    ASSERT_TRUE(fx.video->StopChannel(0));

    // The encoder was configured before the stream.
    EXPECT_EQ(cam.GetParam("encode(2).framesize"), "vga");
    EXPECT_EQ(cam.GetParam("encode(2).bitrate"), "3991000");
    EXPECT_EQ(cam.GetParam("encode(2).framerate"), "25");
    EXPECT_EQ(cam.GetParam("encode(2).iframeinterval"), "30");
    EXPECT_GE(cam.SaveCount(2), 1u);

    ASSERT_GE(frames.size(), 60u);
    // The stream starts at a key frame; key frames come every 25 pictures (the fixture's GOP).
    std::vector<size_t> keys;
    for (size_t i = 0; i < frames.size(); ++i) {
        const auto& f = frames[i];
        EXPECT_TRUE(f.fourcc == kFourCCDivx || f.fourcc == kFourCCDivi);
        EXPECT_EQ(f.width, 640u);
        EXPECT_EQ(f.height, 480u);
        EXPECT_EQ(f.sizeClass, 4);
        EXPECT_EQ(f.capacity, CMpegHttpChannel::FrameCapacity(f.data.size()));
        EXPECT_GE(f.data.size(), 100u);
        if (f.fourcc == kFourCCDivx) {
            keys.push_back(i);
            // A key frame carries the sequence header (from the VOL) in front.
            ASSERT_GE(f.data.size(), 4u);
            EXPECT_EQ(f.data[3] & 0xF0, 0x20);
        }
    }
    ASSERT_GE(keys.size(), 3u);
    EXPECT_EQ(keys[0], 0u);
    for (size_t k = 1; k < keys.size(); ++k) {
        EXPECT_EQ(keys[k] - keys[k - 1], 25u);
    }
    // Nothing delivered that the camera did not send, and no picture lost on the way.
    EXPECT_LE(frames.size(), cam.PicturesSent());

    // The delivered pictures, concatenated, are a stream that ffprobe reads.
    if (system("ffprobe -version >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "ffprobe not installed";
    }
    char dirTemplate[] = "/tmp/mpeg4_e2e_XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    std::string file = std::string(dirTemplate) + "/stream.m4v";
    {
        std::ofstream out(file, std::ios::binary);
        for (const auto& f : frames) {
            out.write(reinterpret_cast<const char*>(f.data.data()),
                      static_cast<std::streamsize>(f.data.size()));
        }
    }
    std::string probed = RunCommand(
        "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
        "stream=width,height,nb_read_frames -of csv=p=0:s=x " +
        file);
    EXPECT_EQ(probed, "640x480x" + std::to_string(frames.size()) + "\n");
    std::remove(file.c_str());
    rmdir(dirTemplate);
}

TEST(Mpeg4EndToEndTest, MidGopStartWaitsForAKeyFrameOnAFamilyTwoCamera) {
    camsim::CameraSimulator cam({.profile = "VN-X235"});
    cam.Start();
    cam.SetMpeg4MidGop(true);
    SimulatedDriver fx(cam, 2, 1, 2);
    host::FrameSink sink;
    host::VideoSettings settings(704, 576, 40, 100);
    ASSERT_TRUE(fx.video->StartChannel(0, &sink, &settings));
    ASSERT_TRUE(sink.WaitForFrames(20, 30s));
    fx.video->StopChannel(0);
    auto frames = sink.Frames();
    EXPECT_EQ(frames[0].fourcc, kFourCCDivx);
    EXPECT_EQ(frames[0].width, 704u);
    EXPECT_EQ(frames[0].height, 576u);
    // The pictures before the first key frame were withheld.
    EXPECT_LT(frames.size(), cam.PicturesSent());
    EXPECT_EQ(cam.GetParam("encode(2).framerate"), "25");
    EXPECT_EQ(cam.GetParam("encode(2).iframeinterval"), "30");  // a multiple of 15
    EXPECT_EQ(cam.GetParam("encode(2).bitrate"), "8000000");
}

// At one picture a second the stream, starting half way through a group of 25, carries
// predicted pictures for about 12 seconds before its first key frame: the camera is sending
// video all along, so no signal loss is declared (the stream time-out is 5 seconds).
TEST(Mpeg4EndToEndTest, PredictedPicturesBeforeTheFirstKeyFrameAreNoSignalLoss) {
    camsim::CameraSimulator cam({.profile = "VN-V686"});
    cam.Start();
    SimulatedDriver fx(cam, 2, 1, 1);
    host::FrameSink sink;
    host::VideoSettings settings(320, 240, 1000, 50);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(fx.video->StartChannel(0, &sink, &settings));
    ASSERT_TRUE(sink.WaitForFrames(1, 30s));
    const auto firstFrame = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(fx.video->StopChannel(0));
    EXPECT_EQ(cam.GetParam("encode(2).framerate"), "1");
    EXPECT_GT(firstFrame, 6s);  // long enough for the old rule to have declared a loss
    EXPECT_EQ(sink.Frames()[0].fourcc, kFourCCDivx);
    EXPECT_EQ(sink.SignalLostCount(), 0);
    EXPECT_EQ(fx.log.CountContaining("Signal was lost"), 0u);
    EXPECT_EQ(cam.OpenStreams(), 1);
}

TEST(Mpeg4EndToEndTest, WithoutTheHeaderLibraryStreamsOpenButTheSignalIsLost) {
    // The module alone in a folder: the header library beside it is missing, and nothing on
    // the loader's search path provides it.
    char dirTemplate[] = "/tmp/mpeg4_nolib_XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    struct RemoveAtEnd {
        std::filesystem::path dir;
        ~RemoveAtEnd() { std::filesystem::remove_all(dir); }
    } folder{dirTemplate};
    const std::filesystem::path module =
        folder.dir / std::filesystem::path(JVC_MODULE_PATH).filename();
    std::filesystem::copy_file(JVC_MODULE_PATH, module);
    {
        // The stream starts on a key frame, so nothing before it counts as video.
        camsim::CameraSimulator cam({.profile = "VN-V686", .mpeg4_mid_gop = false});
        cam.Start();
        SimulatedDriver fx(cam, 2, 1, 1, module.string());
        host::FrameSink sink;
        host::VideoSettings settings(640, 480, 40, 50);
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(fx.video->StartChannel(0, &sink, &settings));
        ASSERT_TRUE(sink.WaitForSignalLost(1, 10s));
        const auto after =
            std::chrono::duration_cast<std::chrono::milliseconds>(sink.LastSignalLostTime() - start)
                .count();
        EXPECT_GE(after, 4900);
        EXPECT_LE(after, 6000);
        ASSERT_TRUE(fx.log.WaitForText("Signal was lost for camera 127.0.0.1", 5s));
        EXPECT_EQ(fx.Status(0), 2);
        // The stream was opened and carried pictures; none passed the key frame check.
        EXPECT_EQ(cam.OpenStreams(), 1);
        EXPECT_GT(cam.PicturesSent(), 25u);
        EXPECT_EQ(sink.FrameCount(), 0u);
        EXPECT_EQ(fx.frames.Created(), 0);
        ASSERT_TRUE(fx.video->StopChannel(0));
        EXPECT_EQ(fx.log.CountContaining("is offline"), 0u);  // it was never on line
        EXPECT_EQ(sink.SignalLostCount(), 1);
    }
}

TEST(Mpeg4StreamValuesTest, BitRateFrameRateAndIFrameInterval) {
    EXPECT_EQ(CMpegHttpChannel::BitRateValue(1), "64000");
    EXPECT_EQ(CMpegHttpChannel::BitRateValue(50), "3991000");
    EXPECT_EQ(CMpegHttpChannel::BitRateValue(100), "8000000");
    // Outside 1..100 the rate is held to the encoder's range: quality 0 wraps around to a
    // product far above it.
    EXPECT_EQ(CMpegHttpChannel::BitRateValue(0), "8000000");
    EXPECT_EQ(CMpegHttpChannel::BitRateValue(101), "8000000");
    EXPECT_EQ(CMpegHttpChannel::BitRateValue(65535), "8000000");

    EXPECT_EQ(CMpegHttpChannel::FrameRateValue(40), "25");
    EXPECT_EQ(CMpegHttpChannel::FrameRateValue(200), "7.5");
    EXPECT_EQ(CMpegHttpChannel::FrameRateValue(111), "9");
    EXPECT_EQ(CMpegHttpChannel::FrameRateValue(250), "7.5");
    EXPECT_EQ(CMpegHttpChannel::FrameRateValue(334), "1");
    EXPECT_EQ(CMpegHttpChannel::FrameRateValue(0), "1");

    EXPECT_EQ(CMpegHttpChannel::IFrameIntervalValue(40, 1), "30");
    EXPECT_EQ(CMpegHttpChannel::IFrameIntervalValue(200, 1), "30");
    EXPECT_EQ(CMpegHttpChannel::IFrameIntervalValue(0, 1), "30");
    EXPECT_EQ(CMpegHttpChannel::IFrameIntervalValue(0, 2), "15");
    EXPECT_EQ(CMpegHttpChannel::IFrameIntervalValue(40, 2), "30");
    EXPECT_EQ(CMpegHttpChannel::IFrameIntervalValue(33, 2), "30");
    EXPECT_EQ(CMpegHttpChannel::IFrameIntervalValue(50, 2), "30");
    EXPECT_EQ(CMpegHttpChannel::IFrameIntervalValue(100, 2), "15");
    EXPECT_EQ(CMpegHttpChannel::IFrameIntervalValue(40, 3), "25");
    EXPECT_EQ(CMpegHttpChannel::IFrameIntervalValue(200, 3), "10");

    EXPECT_EQ(CMpegHttpChannel::FrameCapacity(1), 4096u);
    EXPECT_EQ(CMpegHttpChannel::FrameCapacity(4096), 4096u);
    EXPECT_EQ(CMpegHttpChannel::FrameCapacity(5000), 16384u);
    EXPECT_EQ(CMpegHttpChannel::FrameCapacity(32769), 131072u);
    EXPECT_EQ(CMpegHttpChannel::FrameCapacity(200000), 200000u);
}

TEST(Mpeg4StreamValuesTest, RequestOrderUnchangedValuesAndAFreshParserPerStream) {
    camsim::CameraSimulator cam({.profile = "VN-V686"});
    cam.Start();
    cam.SetParam("encode(2).framesize", "VGA");
    cam.SetParam("encode(2).framerate", "25");
    testing_support::FakeDriver driver;
    driver.info = DEVICE_INFO("127.0.0.1", cam.port(), cam.options().user, cam.options().password);
    driver.parameters[2] = "1";
    struct Probe : CMpegHttpChannel {
        Probe(IDriver* d) : CMpegHttpChannel(0, d, nullptr) { m_settings = {40, 0, 640, 480}; }
    } channel(&driver);

    // Bytes of a stream that ended inside a key frame.
    auto partial = mpeg_test::SequenceHeader({});
    auto picture = mpeg_test::Picture(400, 0, 1);
    partial.insert(partial.end(), picture.begin(), picture.begin() + 200);
    channel.ProcessData(partial.data(), partial.size());
    EXPECT_GT(channel.Parser().BufferedSize(), 0u);

    // Quality 0 asks for the encoder's highest rate, which it takes; values the camera holds
    // already (in any letter case) are read and not written.
    ASSERT_TRUE(channel.OpenStream());
    std::vector<std::string> targets;
    for (const auto& r : cam.Requests()) {
        targets.push_back(r.target);
    }
    EXPECT_EQ(targets, (std::vector<std::string>{
                           "/api/param?encode(2).framesize", "/api/param?encode(2).bitrate",
                           "/api/param?encode(2).bitrate=8000000", "/api/param?encode(2).framerate",
                           "/api/param?encode(2).iframeinterval",
                           "/api/param?encode(2).status=save", "/api/video?encode=mpeg4"}));
    EXPECT_EQ(cam.GetParam("encode(2).bitrate"), "8000000");
    // The new stream starts from nothing and waits for a key frame.
    EXPECT_EQ(channel.Parser().BufferedSize(), 0u);
    EXPECT_TRUE(channel.Parser().WaitingForKeyFrame());
}

TEST(Mpeg4StreamValuesTest, LargePicturesAreAskedForAtHalfSize) {
    camsim::CameraSimulator cam({.profile = "VN-V686"});
    cam.Start();
    testing_support::FakeDriver driver;
    driver.info = DEVICE_INFO("127.0.0.1", cam.port(), cam.options().user, cam.options().password);
    driver.parameters[2] = "1";
    struct Probe : CMpegHttpChannel {
        Probe(IDriver* d) : CMpegHttpChannel(0, d, nullptr) { m_settings = {40, 50, 1280, 960}; }
    } channel(&driver);
    ASSERT_TRUE(channel.SetFrameSize(2));
    EXPECT_EQ(cam.GetParam("encode(2).framesize"), "vga");
    ASSERT_TRUE(channel.SetFrameSize(1));
    EXPECT_EQ(cam.GetParam("encode(1).framesize"), "quadvga");
}
