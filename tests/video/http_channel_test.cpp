// The HTTP channels' delivery of pictures to the host, fed block by block without a camera:
// what reaches the host once a stop is under way, and hosts that fail. And the opening of a
// stream on a camera that refuses the encoder settings to the account.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/test_server.h"
#include "mpeg_stream.h"
#include "reference_host.h"
#include "support/fake_driver.h"
#include "video/mjpeg_http_channel.h"
#include "video/mpeg_http_channel.h"

using namespace vostrel;
using namespace vostrel::ipcapture;
using testing_support::FakeDriver;
using Bytes = std::vector<uint8_t>;

namespace {

// A baseline JPEG as far as the parser walks it: start of image, start of frame with the size,
// start of scan, entropy bytes without markers, end of image.
Bytes Jpeg(unsigned width, unsigned height, size_t bodySize, uint8_t fill) {
    Bytes p = {0xFF, 0xD8, 0xFF, 0xC0, 0x00, 0x11, 0x08};
    for (unsigned value : {height, width}) {
        p.push_back(static_cast<uint8_t>(value >> 8));
        p.push_back(static_cast<uint8_t>(value));
    }
    const Bytes rest = {0x03, 1,    0x22, 0, 2, 0x11, 1,    3, 0x11, 1,    0xFF, 0xDA,
                        0x00, 0x0C, 0x03, 1, 0, 2,    0x11, 3, 0x11, 0x00, 0x3F, 0x00};
    p.insert(p.end(), rest.begin(), rest.end());
    p.insert(p.end(), bodySize, static_cast<uint8_t>(fill & 0x7F));
    p.push_back(0xFF);
    p.push_back(0xD9);
    return p;
}

// One part of a multipart stream: boundary, part headers, the picture.
void AppendPart(Bytes& block, const Bytes& picture) {
    const std::string head = "--camboundary\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                             std::to_string(picture.size()) + "\r\n\r\n";
    block.insert(block.end(), head.begin(), head.end());
    block.insert(block.end(), picture.begin(), picture.end());
    block.push_back('\r');
    block.push_back('\n');
}

// A host that stops the channel from inside its frame callback, as a host tearing down a
// view does; the stop returns before the rest of the block has been parsed.
class StopOnFirstFrameSink : public host::FrameSink {
  public:
    bool OnFrame(IHostFrame* frame) override {
        bool accepted = host::FrameSink::OnFrame(frame);
        if (channel != nullptr && FrameCount() == 1) {
            channel->Stop();
        }
        return accepted;
    }
    ICameraChannel* channel = nullptr;
};

struct Host {
    Host() {
        driver.info.m_address = "10.0.0.9";
        driver.parameters[2] = "1";
        driver.frameFactory = &frames;
    }
    FakeDriver driver;
    host::FrameFactory frames;
};

}  // namespace

TEST(HttpChannelDeliveryTest, NothingReachesTheHostOnceAStopIsUnderWay) {
    // MJPEG: four pictures in one block; the host stops the channel on the first.
    {
        Host h;
        StopOnFirstFrameSink sink;
        CMjpegHttpChannel channel(0, &h.driver, &sink);
        sink.channel = &channel;
        Bytes block;
        for (uint8_t i = 0; i < 4; ++i) {
            AppendPart(block, Jpeg(320, 240, 500, i));
        }
        channel.ProcessData(block.data(), block.size());
        EXPECT_EQ(sink.FrameCount(), 1u);
        EXPECT_EQ(h.frames.Created(), 1);  // no frame even asked for after the stop
        EXPECT_EQ(h.frames.Outstanding(), 0);
        EXPECT_EQ(channel.GetState(), kChannelStopped);
    }
    // MPEG-4: a key frame and three more pictures in one block.
    {
        Host h;
        StopOnFirstFrameSink sink;
        CMpegHttpChannel channel(0, &h.driver, &sink);
        ASSERT_TRUE(channel.Parser().HasHeaderRoutine());
        sink.channel = &channel;
        Bytes block = mpeg_test::SequenceHeader({});
        for (unsigned i = 0; i < 5; ++i) {
            Bytes picture = mpeg_test::Picture(300, i == 0 ? 0 : 1, static_cast<uint8_t>(i));
            block.insert(block.end(), picture.begin(), picture.end());
        }
        channel.ProcessData(block.data(), block.size());
        EXPECT_EQ(sink.FrameCount(), 1u);
        EXPECT_EQ(h.frames.Created(), 1);
        EXPECT_EQ(h.frames.Outstanding(), 0);
    }
}

TEST(HttpChannelDeliveryTest, HostFailuresStayInsideTheChannel) {
    Host h;
    host::FrameSink sink;
    CMjpegHttpChannel channel(0, &h.driver, &sink);
    Bytes block;
    AppendPart(block, Jpeg(640, 480, 800, 1));

    // A sink that throws refuses the frame; the frame still goes back to the factory.
    sink.SetThrowOnFrame(true);
    EXPECT_NO_THROW(channel.ProcessData(block.data(), block.size()));
    EXPECT_EQ(sink.RefusedCount(), 1);
    host::Frame frame(kFourCCJpeg, 16, "test");
    EXPECT_FALSE(channel.DeliverFrame(&frame));
    sink.SetThrowOnFrame(false);

    // Frames whose every method throws: the picture is dropped, the frame released.
    h.frames.SetThrowingFrames(true);
    EXPECT_NO_THROW(channel.ProcessData(block.data(), block.size()));
    h.frames.SetThrowingFrames(false);

    // A factory that makes no frame: the picture is dropped.
    h.frames.SetRefuseCreate(true);
    EXPECT_NO_THROW(channel.ProcessData(block.data(), block.size()));
    h.frames.SetRefuseCreate(false);

    EXPECT_EQ(sink.FrameCount(), 0u);
    EXPECT_EQ(h.frames.Outstanding(), 0);
    EXPECT_EQ(h.driver.CountContaining("is online"), 0u);

    // The channel goes on: the next picture reaches the host whole and brings it on line.
    const Bytes picture = Jpeg(640, 480, 900, 2);
    block.clear();
    AppendPart(block, picture);
    channel.ProcessData(block.data(), block.size());
    ASSERT_EQ(sink.FrameCount(), 1u);
    const auto got = sink.Frames();
    EXPECT_EQ(got[0].data, picture);
    EXPECT_EQ(got[0].width, 640u);
    EXPECT_EQ(got[0].height, 480u);
    EXPECT_EQ(h.driver.CountContaining("Camera 10.0.0.9 is online"), 1u);
    EXPECT_EQ(h.frames.Outstanding(), 0);
}

namespace {

// A camera whose account may watch but not configure: reads answer a value other than the
// one the channel wants, every write answers "name&401 Unauthorized", the video comes.
std::string WatchOnlyCamera(const testing_http::HttpRequest& r) {
    const std::string close = "Connection: close\r\n";
    if (r.target.rfind("/api/video?", 0) == 0) {
        return testing_http::Response(200, "", close);
    }
    const std::string query = r.target.substr(r.target.find('?') + 1);
    const auto eq = query.find('=');
    const std::string line =
        eq == std::string::npos ? query + "=old&200 OK" : query.substr(0, eq) + "&401 Unauthorized";
    return testing_http::Response(200, line + "\r\n", close);
}

template <class Channel>
class ConfiguredChannel : public Channel {
  public:
    ConfiguredChannel(IDriver* driver, const ChannelSettings& s) : Channel(0, driver, nullptr) {
        this->m_settings = s;
    }
    void EndStream() { this->m_http.CloseRequest(); }
};

template <class Channel>
void ExpectVideoDespiteRefusedSettings(const std::string& videoPrefix) {
    testing_http::TestServer server(testing_http::Serve(WatchOnlyCamera));
    FakeDriver driver;
    driver.info = DEVICE_INFO("127.0.0.1", server.Port(), "user", "jvc");
    driver.parameters[2] = "1";
    ConfiguredChannel<Channel> channel(&driver, {100, 50, 640, 480});
    for (int open = 0; open < 2; ++open) {
        ASSERT_TRUE(channel.OpenStream());
        channel.EndStream();
        const auto requests = server.Requests();
        ASSERT_FALSE(requests.empty());
        EXPECT_EQ(requests.back().target.rfind(videoPrefix, 0), 0u) << requests.back().target;
    }
    for (const auto& r : server.Requests()) {
        EXPECT_EQ(r.target.find("status=save"), std::string::npos);  // nothing to keep
    }
    EXPECT_EQ(driver.CountContaining("refuses parameter"), 1u);
    EXPECT_EQ(driver.CountContaining("Cannot set parameter"), 0u);
}

}  // namespace

TEST(HttpChannelOpenTest, RefusedEncoderSettingsAreLoggedOnceAndTheVideoStillOpens) {
    ExpectVideoDespiteRefusedSettings<CMjpegHttpChannel>("/api/video?encode=jpeg");
    ExpectVideoDespiteRefusedSettings<CMpegHttpChannel>("/api/video?encode=mpeg4");
}
