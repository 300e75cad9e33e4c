#pragma once
// The module's digital I/O object and the host's callback for it. Inputs and outputs are
// counted from 0; states are 0 none, 1 break, 2 make.
#include <cstdint>

namespace vostrel::ipcapture {

class ICaptureIOCallback {
  public:
    virtual ~ICaptureIOCallback() = default;
    virtual void OnInputChanged(uint32_t input, int32_t state) = 0;
    // An exchange with the camera failed; every cached state was forgotten.
    virtual void OnIOFailure() = 0;
};

class ICaptureIOApi {
  public:
    virtual ~ICaptureIOApi() = default;
    virtual bool SetCallback(ICaptureIOCallback* callback) = 0;
    virtual bool Start() = 0;
    virtual bool Stop() = 0;
    virtual uint32_t GetInputCount() = 0;
    virtual uint32_t GetOutputCount() = 0;
    // Queues an output request; it is carried out later on the output thread.
    virtual bool SetOutput(uint32_t output, int32_t state) = 0;
};

}  // namespace vostrel::ipcapture
