#pragma once
// ICameraChannel: one video channel of the capture object, pulling video on a thread of its
// own and handing frames to the host's frame sink.
#include "jvc_ipcapture/video_capture.h"

namespace vostrel {

class ICameraChannel {
  public:
    virtual ~ICameraChannel() = default;
    virtual bool Start(const ipcapture::ChannelSettings& settings) = 0;
    virtual void Stop() = 0;
    virtual bool Update(const ipcapture::ChannelSettings& settings) = 0;
    virtual bool ExtendedQueryFirst() { return false; }
    virtual bool ExtendedQuerySecond() { return false; }
    // 0 receiving, 1 started and not yet connected, 2 stream lost, 3 stopped.
    virtual int GetState() = 0;
    virtual ipcapture::ChannelSettings GetSettings() = 0;
};

// Channel states.
enum ChannelState : int {
    kChannelReceiving = 0,
    kChannelConnecting = 1,
    kChannelLost = 2,
    kChannelStopped = 3,
};

}  // namespace vostrel
