#pragma once
// CIPVideoCapture: the video capture object of a driver. A fixed table of channels, one per
// camera input, each created on demand through the driver's channel factory.
#include <memory>
#include <vector>

#include "core/driver_interface.h"
#include "jvc_ipcapture/video_capture.h"
#include "thread/lock.h"
#include "video/camera_channel.h"
#include "video/custom_creator.h"

namespace vostrel {

class CIPVideoCapture : public ipcapture::IIPVideoCaptureEx {
  public:
    CIPVideoCapture(ICustomCreator* creator, int cameraCount);
    ~CIPVideoCapture() override;

    unsigned GetChannelCount() override;
    bool StartChannel(unsigned index, ipcapture::IHostFrameSink* sink,
                      ipcapture::IHostVideoSettings* settings) override;
    bool StopChannel(unsigned index) override;
    bool UpdateChannel(unsigned index, ipcapture::IHostSize* size, unsigned interval) override;
    int QueryReserved() override { return 0; }
    bool GetChannelStatus(unsigned index, int* state, int* reserved, char* reservedFlag,
                          int withFlag) override;
    bool ControlReserved1(int, int, int) override { return false; }
    bool ControlReserved2(int, int, int) override { return false; }
    bool ExtendedQuerySecondOf(unsigned index) override;
    bool ExtendedQueryFirstOf(unsigned index) override;

    // The settings of the channel at index; all zero without a channel.
    ipcapture::ChannelSettings GetChannelSettings(unsigned index);

  private:
    // Shared so that a channel looked up by one host thread stays alive while another host
    // thread stops the channel and takes it out of the table.
    struct Entry {
        std::shared_ptr<ICameraChannel> channel;
        std::shared_ptr<ICameraChannel> companion;
    };

    bool StartChannelUnguarded(unsigned index, ipcapture::IHostFrameSink* sink,
                               ipcapture::IHostVideoSettings* settings);
    // The channel at index, looked up under the lock; the call on it is made outside.
    std::shared_ptr<ICameraChannel> ChannelAt(unsigned index);

    ICustomCreator* m_creator;
    const size_t m_channelCount;  // the table never changes size
    CLock m_lock;
    std::vector<Entry> m_channels JVC_GUARDED_BY(m_lock);
};

}  // namespace vostrel
