// MPEG-4 video end to end: the module loaded as a host loads it, a driver with stream type 2
// opened against the camera simulator, and the delivered pictures checked as a stream.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <memory>

#include "camera_simulator.h"
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
    ASSERT_TRUE(fx.video->StopChannel(0));

    // The encoder was configured before the stream.
    EXPECT_EQ(cam.GetParam("encode(2).framesize"), "vga");
    EXPECT_EQ(cam.GetParam("encode(2).bitrate"), "3991000");
    EXPECT_EQ(cam.GetParam("encode(2).framerate"), "25");
    EXPECT_EQ(cam.GetParam("encode(2).iframeinterval"), "30");
    EXPECT_GE(cam.SaveCount(2), 1u);

    auto frames = sink.Frames();
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
            // A key frame carries the sequence header in front.
            ASSERT_GE(f.data.size(), 4u);
            EXPECT_EQ(f.data[3], 0xB0);
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

TEST(Mpeg4StreamValuesTest, LargePicturesAreAskedForAtHalfSize) {
    camsim::CameraSimulator cam({.profile = "VN-V686"});
    cam.Start();
    testing_support::FakeDriver driver;
    driver.info = DEVICE_INFO("127.0.0.1", cam.port(), "", "");
    driver.parameters[2] = "1";
    struct Probe : CMpegHttpChannel {
        Probe(IDriver* d) : CMpegHttpChannel(0, d, nullptr) { m_settings = {40, 50, 1280, 960}; }
    } channel(&driver);
    ASSERT_TRUE(channel.SetFrameSize(2));
    EXPECT_EQ(cam.GetParam("encode(2).framesize"), "vga");
    ASSERT_TRUE(channel.SetFrameSize(1));
    EXPECT_EQ(cam.GetParam("encode(1).framesize"), "quadvga");
}
