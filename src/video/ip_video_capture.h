#pragma once
// The video capture object of a driver: a fixed table of channels, one per camera input.
// This first form has the table size only; it starts no channel.
#include "driver/driver.h"
#include "jvc_ipcapture/video_capture.h"

namespace vostrel {

class CIPVideoCapture : public ipcapture::IIPVideoCaptureEx {
  public:
    CIPVideoCapture(ICustomCreator* creator, int cameraCount)
        : m_creator(creator), m_channelCount(cameraCount > 0 ? unsigned(cameraCount) : 0u) {}
    ~CIPVideoCapture() override = default;

    unsigned GetChannelCount() override { return m_channelCount; }
    bool StartChannel(unsigned, ipcapture::IHostFrameSink*,
                      ipcapture::IHostVideoSettings*) override {
        return false;
    }
    bool StopChannel(unsigned) override { return false; }
    bool UpdateChannel(unsigned, ipcapture::IHostSize*, unsigned) override { return false; }
    int QueryReserved() override { return 0; }
    bool GetChannelStatus(unsigned, int*, int*, char*, int) override { return false; }
    bool ControlReserved1(int, int, int) override { return false; }
    bool ControlReserved2(int, int, int) override { return false; }
    bool ExtendedQuerySecondOf(unsigned) override { return false; }
    bool ExtendedQueryFirstOf(unsigned) override { return false; }

    ipcapture::ChannelSettings GetChannelSettings(unsigned) { return {}; }
    ICustomCreator* Creator() const { return m_creator; }

  private:
    ICustomCreator* m_creator;
    unsigned m_channelCount;
};

}  // namespace vostrel
