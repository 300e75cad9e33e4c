#pragma once
// What camhost serve's page reaches: the live view's state (LiveView) and the HTTP endpoints
// over it. An action answers "ok" only when the camera did it: an output only once the camera
// reads the pin at the new state, a PTZ command only when the driver logged no failure for it
// within a short wait (the driver queues PTZ commands and says nothing when they succeed).
//
// Threads: the endpoints run on the server's threads, several at once; LiveView's members
// are set before the server starts, except what its own locks guard.
#include <httplib.h>

#include <atomic>
#include <mutex>
#include <string>

#include "driver_lines.h"
#include "jvc_ipcapture/capture_io.h"
#include "jvc_ipcapture/ptz.h"
#include "jvc_ipcapture/video_capture.h"
#include "live_feed.h"
#include "output_check.h"

namespace camhost {

struct LiveView {
    vostrel::ipcapture::IIPVideoCapture* video = nullptr;
    vostrel::ipcapture::IIPPTZApiEx* ptz = nullptr;  // null without an identified PTZ head
    bool center = false;                             // the head centres on a clicked point
    // The driver's digital I/O, set up but started only when the user asks: starting it
    // drives every output to break. Null when the camera has no pins or the driver none.
    vostrel::ipcapture::ICaptureIOApi* io = nullptr;
    int outputs = 0;
    CameraAccess camera;    // for reading an output back
    FailureLines failures;  // the driver's failure lines, as they come
    std::string info;       // the /api/info answer
    PictureSlot picture;
    EventHub hub;
    std::mutex ptzMutex;  // one PTZ call at a time, whichever viewer sends it

    // Starts the digital I/O once; true when it runs. Every output is then at break.
    bool StartIo();
    bool IoRunning() const { return m_ioRunning.load(); }
    // Stops the digital I/O when it runs.
    void StopIo();
    // {"presets": [...]}
    std::string PresetList();

  private:
    std::mutex m_ioMutex;
    std::atomic<bool> m_ioRunning{false};
};

// Every endpoint of the page. loopbackOnly: the server listens on loopback, so a Host header
// naming another machine is refused (DNS rebinding).
void AddRoutes(httplib::Server& server, LiveView& view, bool loopbackOnly);

}  // namespace camhost
