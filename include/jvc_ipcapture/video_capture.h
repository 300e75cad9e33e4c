#pragma once
// The module's video capture object, obtained from an opened driver.
#include <cstdint>

#include "jvc_ipcapture/host_frame.h"

namespace vostrel::ipcapture {

// Settings of one video channel; each field holds a 16-bit value from the host.
struct ChannelSettings {
    uint32_t interval = 0;  // frame interval in milliseconds, 0 when none was given
    uint32_t quality = 0;   // 1 to 100
    uint32_t width = 0;
    uint32_t height = 0;
};

class IIPVideoCapture {
  public:
    virtual ~IIPVideoCapture() = default;
    virtual unsigned GetChannelCount() = 0;
    // Starts (or restarts) channel index, delivering its frames to sink.
    virtual bool StartChannel(unsigned index, IHostFrameSink* sink,
                              IHostVideoSettings* settings) = 0;
    virtual bool StopChannel(unsigned index) = 0;
    virtual bool UpdateChannel(unsigned index, IHostSize* size, unsigned interval) = 0;
    virtual int QueryReserved() = 0;
    // state: 0 receiving, 1 not yet connected, 2 lost or stopped.
    virtual bool GetChannelStatus(unsigned index, int* state, int* reserved, char* reservedFlag,
                                  int withFlag) = 0;
    virtual bool ControlReserved1(int a, int b, int c) = 0;
    virtual bool ControlReserved2(int a, int b, int c) = 0;
};

class IIPVideoCaptureEx : public IIPVideoCapture {
  public:
    virtual bool ExtendedQuerySecondOf(unsigned index) = 0;
    virtual bool ExtendedQueryFirstOf(unsigned index) = 0;
};

}  // namespace vostrel::ipcapture
