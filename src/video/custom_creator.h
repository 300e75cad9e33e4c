#pragma once
// ICustomCreator: the factory the video capture object asks for the channels of a driver's
// stream type. The driver implements it; the capture object owns what it returns.
#include "jvc_ipcapture/video_capture.h"
#include "video/camera_channel.h"

namespace vostrel {

class ICustomCreator {
  public:
    virtual ~ICustomCreator() = default;
    // A new channel for the driver's stream type, owned by the caller; null for other types.
    virtual ICameraChannel* CreateChannel(int index, ipcapture::IHostFrameSink* sink) = 0;
    virtual ICameraChannel* CreateCompanion(int index, ipcapture::IHostFrameSink* sink) = 0;
};

}  // namespace vostrel
