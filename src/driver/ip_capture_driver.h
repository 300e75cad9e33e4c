#pragma once
// CIPCaptureDriver: the driver object, hub of one camera's work objects. It is the host's
// IIPCaptureDriverEx3, the work objects' IDriver and the video capture's ICustomCreator.
#include <map>
#include <memory>
#include <string>

#include "core/driver_interface.h"
#include "driver/product_version.h"
#include "jvc_ipcapture/ip_capture_driver.h"
#include "video/custom_creator.h"

namespace vostrel {

class CJvcDigitalIO;
class CIPVideoCapture;
class CJvcPTZHandler;

class CIPCaptureDriver : public ipcapture::IIPCaptureDriverEx3,
                         public IDriver,
                         public ICustomCreator {
  public:
    CIPCaptureDriver();
    ~CIPCaptureDriver() override;

    // IIPCaptureDriver ... IIPCaptureDriverEx3
    bool Open(IDebugMessageSink* hostLog, ipcapture::IHostFrameFactory* frameFactory,
              ipcapture::IIPDeviceConfig* config) override;
    void Close() override;
    ipcapture::IIPVideoCapture* GetVideoCapture() override;
    ipcapture::ICaptureIOApi* GetCaptureIO() override;
    void* GetOptionalFacilityA() override { return nullptr; }
    ipcapture::IIPPTZDriver* GetPTZDriver() override;
    void* GetOptionalFacilityB() override { return nullptr; }
    ipcapture::IIPVideoCaptureEx* GetVideoCaptureEx() override;
    ipcapture::IIPPTZDriverEx* GetPTZDriverEx() override;
    virtual bool CreateDigitalIO() = 0;
    virtual bool CreatePTZHandler() = 0;
    virtual void LogOpened(ipcapture::IIPDeviceConfig* config, const std::string& firmware);

    // IDriver
    void DebugMessage(int type, const char* format, ...) override
        __attribute__((format(printf, 3, 4)));
    DEVICE_INFO* GetDeviceInfo() override { return &m_deviceInfo; }
    std::pair<int, int> GetDeviceValues() override { return {m_inputCount, m_outputCount}; }
    ipcapture::IHostFrameFactory* GetFrameFactory() override { return m_frameFactory; }
    int GetVideoStandard() override { return m_videoStandard; }
    int GetStreamType() override { return m_streamType; }
    int GetCameraCount() override { return m_cameraCount; }
    std::string GetParameterString(uint32_t index) override;
    int GetParameterInt(uint32_t index) override;
    ipcapture::ChannelSettings GetChannelRecord(uint32_t index) override;

    // ICustomCreator
    ICameraChannel* CreateChannel(int index, ipcapture::IHostFrameSink* sink) override;
    ICameraChannel* CreateCompanion(int, ipcapture::IHostFrameSink*) override { return nullptr; }

    const ProductVersion& CoreVersion() const { return m_coreVersion; }
    // The parameter as a decimal integer; false when it is absent or not an integer (unlike
    // GetParameterInt, this tells a missing parameter from one whose value is the marker).
    bool FindParameterInt(uint32_t index, int& value) const;

  protected:
    IDebugMessageSink* m_hostLog = nullptr;
    ipcapture::IHostFrameFactory* m_frameFactory = nullptr;
    DEVICE_INFO m_deviceInfo{"", 80, "", ""};
    int32_t m_inputCount = 0;
    int32_t m_outputCount = 0;
    int32_t m_cameraCount = 0;
    int32_t m_streamType = 0;
    int32_t m_videoStandard = 0;
    std::map<uint32_t, std::string> m_parameters;
    ProductVersion m_coreVersion;
    std::unique_ptr<CJvcDigitalIO> m_digitalIO;
    std::unique_ptr<CIPVideoCapture> m_videoCapture;
    std::unique_ptr<CJvcPTZHandler> m_ptzHandler;

  private:
    bool OpenSteps(IDebugMessageSink* hostLog, ipcapture::IHostFrameFactory* frameFactory,
                   ipcapture::IIPDeviceConfig* config);
    void WriteOpenedLine(ipcapture::IIPDeviceConfig* config, const std::string& firmware);
    void CloseWorkObjects();
};

}  // namespace vostrel
