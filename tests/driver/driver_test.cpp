// The driver object from the inside: parameters, logging rules and the driver interface.
#include <gtest/gtest.h>

#include "driver/jvc_ip_capture_driver.h"
#include "reference_host.h"
#include "video/mjpeg_http_channel.h"
#include "video/mpeg_http_channel.h"

using namespace vostrel;

namespace {

host::DeviceSettings Settings() {
    host::DeviceSettings s;
    s.address = "127.0.0.1";
    s.port = 8080;
    s.userName = "admin";
    s.password = "secret";
    s.model = "VN-X235";
    s.streamType = 3;
    s.inputCount = 2;
    s.outputCount = 1;
    s.parameters = {{1, "1"}, {2, "2"}, {3, "(none)"}, {4, "+0"}, {5, "(none)"}};
    return s;
}

class DriverTest : public ::testing::Test {
  protected:
    void Open(host::DeviceSettings settings = Settings()) {
        config = std::make_unique<host::DeviceConfig>(std::move(settings));
        ASSERT_TRUE(driver.Open(&log, &frames, config.get()));
        log.Clear();
    }

    host::LogSink log;
    host::FrameFactory frames;
    std::unique_ptr<host::DeviceConfig> config;
    CJvcIPCaptureDriver driver;
};

}  // namespace

TEST_F(DriverTest, KeepsTheConnectionRecordAndParameters) {
    IDriver& d = driver;
    DEVICE_INFO* info = d.GetDeviceInfo();
    // Open sets both time-outs, whatever the record held before.
    info->m_timeout = 1;
    info->m_streamTimeout = 2;
    Open();
    EXPECT_EQ(info->m_address, "127.0.0.1");
    EXPECT_EQ(info->m_port, 8080);
    EXPECT_EQ(info->m_userName, "admin");
    EXPECT_EQ(info->m_password, "secret");
    EXPECT_EQ(info->m_model, "VN-X235");
    EXPECT_EQ(info->m_timeout, 5000);
    EXPECT_EQ(info->m_streamTimeout, 5000);
    EXPECT_EQ(d.GetDeviceValues(), std::make_pair(2, 1));
    EXPECT_EQ(d.GetFrameFactory(), &frames);
    EXPECT_EQ(d.GetVideoStandard(), 1);
    EXPECT_EQ(d.GetStreamType(), 3);
    EXPECT_EQ(d.GetDriverName(), "Brennick");
    EXPECT_EQ(d.GetParameterInt(2), 2);
    EXPECT_EQ(d.GetParameterInt(4), 0);
    EXPECT_EQ(d.GetParameterString(3), "");  // "(none)" stands for empty
    EXPECT_EQ(d.GetParameterString(2), "2");
    EXPECT_EQ(d.GetParameterString(9), "");
    EXPECT_EQ(d.GetParameterInt(9), kNoIntParameter);
    EXPECT_EQ(d.GetParameterInt(3), kNoIntParameter);
    // Without channels the channel record is all zero.
    auto record = d.GetChannelRecord(0);
    EXPECT_EQ(record.interval + record.quality + record.width + record.height, 0u);
    // Stream type 3 creates no channel.
    EXPECT_EQ(driver.CreateChannel(0, nullptr), nullptr);
    EXPECT_EQ(driver.CreateCompanion(0, nullptr), nullptr);
}

TEST_F(DriverTest, SmallestIntegerIsAVideoStandardNotAMissingParameter) {
    host::DeviceSettings s = Settings();
    s.parameters[1] = "-2147483648";
    Open(s);
    EXPECT_EQ(driver.GetVideoStandard(), static_cast<int>(0x80000000u));
    int value = 0;
    EXPECT_TRUE(driver.FindParameterInt(1, value));
    EXPECT_EQ(value, static_cast<int>(0x80000000u));
    EXPECT_FALSE(driver.FindParameterInt(9, value));  // absent
    EXPECT_FALSE(driver.FindParameterInt(3, value));  // "(none)": not an integer
}

TEST_F(DriverTest, ParametersStopAtTheFirstMissingIndex) {
    host::DeviceSettings s = Settings();
    s.parameters.erase(3);
    s.parameters[6] = "after the gap";
    Open(s);
    EXPECT_EQ(driver.GetParameterInt(2), 2);
    EXPECT_EQ(driver.GetParameterInt(4), kNoIntParameter);
    EXPECT_EQ(driver.GetParameterString(6), "");
}

TEST_F(DriverTest, DebugMessageLevelsAndTexts) {
    Open();
    driver.DebugMessage(1, "%s: failed %d%%", "ctx", 5);
    driver.DebugMessage(4, "%s: never shown", "ctx");
    driver.DebugMessage(3, "%s", "");
    driver.DebugMessage(0x13, "%s", "high bits dropped");
    auto records = log.Records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].level, 1);
    EXPECT_EQ(records[0].text.value_or(""), "ctx: failed 5%");
    EXPECT_EQ(records[1].level, 3);
    EXPECT_FALSE(records[1].text.has_value());  // empty message: null text
    EXPECT_EQ(records[2].level, 3);
    EXPECT_EQ(records[2].text.value_or(""), "high bits dropped");
    // Long messages are not cut.
    std::string longText(10000, 'x');
    driver.DebugMessage(1, "%s", longText.c_str());
    EXPECT_EQ(log.Records().back().text.value_or(""), longText);
}

TEST_F(DriverTest, ChannelsAreMadeByStreamType) {
    host::DeviceSettings s = Settings();
    s.streamType = 1;
    Open(s);
    std::unique_ptr<ICameraChannel> mjpeg(driver.CreateChannel(0, nullptr));
    EXPECT_NE(dynamic_cast<CMjpegHttpChannel*>(mjpeg.get()), nullptr);

    CJvcIPCaptureDriver mpegDriver;
    s.streamType = 2;
    host::DeviceConfig mpegConfig(s);
    ASSERT_TRUE(mpegDriver.Open(&log, &frames, &mpegConfig));
    std::unique_ptr<ICameraChannel> mpeg(mpegDriver.CreateChannel(1, nullptr));
    EXPECT_NE(dynamic_cast<CMpegHttpChannel*>(mpeg.get()), nullptr);
    // The channel record is the running channel's settings as the capture holds them.
    host::FrameSink sink;
    host::VideoSettings settings(640, 480, 40, 50);
    ASSERT_TRUE(mpegDriver.GetVideoCapture()->StartChannel(0, &sink, &settings));
    const ipcapture::ChannelSettings record = mpegDriver.GetChannelRecord(0);
    EXPECT_EQ(record.interval, 40u);
    EXPECT_EQ(record.quality, 50u);
    EXPECT_EQ(record.width, 640u);
    EXPECT_EQ(record.height, 480u);
    const ipcapture::ChannelSettings none = mpegDriver.GetChannelRecord(1);  // not started
    EXPECT_EQ(none.interval + none.quality + none.width + none.height, 0u);
    EXPECT_TRUE(mpegDriver.GetVideoCapture()->StopChannel(0));

    CJvcIPCaptureDriver other;
    s.streamType = 0;
    host::DeviceConfig otherConfig(s);
    ASSERT_TRUE(other.Open(&log, &frames, &otherConfig));
    EXPECT_EQ(other.CreateChannel(0, nullptr), nullptr);
    EXPECT_FALSE(other.GetVideoCapture()->StartChannel(0, nullptr, nullptr));
}

TEST(DriverWithoutSinkTest, MessagesBeforeOpenAreDropped) {
    CJvcIPCaptureDriver driver;
    driver.DebugMessage(1, "%s", "nowhere to go");  // must not crash
    EXPECT_EQ(driver.GetDeviceInfo()->m_port, 80);
    EXPECT_EQ(driver.GetVideoCapture(), nullptr);
    driver.Close();
}
