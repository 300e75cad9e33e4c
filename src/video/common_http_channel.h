#pragma once
// CCommonHttpChannel: a camera channel that pulls video over HTTP. Its thread configures the
// camera, opens the stream, reads it block by block into the subclass's parser, reconnects
// every 3 seconds after a failure and declares the signal lost, once, when the camera has
// sent nothing usable for the stream time-out: whether the stream broke, the opens fail, or
// the stream stays open and yields nothing the parser can use (pictures the parser
// recognises but may not deliver yet, such as those before an MPEG-4 stream's first key
// frame, count as video). The state then reads lost, on
// streams opened afterwards too, until a picture comes.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "http/http_client.h"
#include "video/base_camera_channel.h"

namespace vostrel {

class CCommonHttpChannel : public CBaseCameraChannel {
  public:
    // Wait between the thread's start (or the end of a stream) and the next attempt.
    static constexpr uint32_t kRetryDelayMs = 3000;

    CCommonHttpChannel(uint32_t channelNumber, IDriver* driver, ipcapture::IHostFrameSink* sink);
    ~CCommonHttpChannel() override;

    int ThreadMain() override;
    // Interrupts a blocking read or request so that a stop returns at once.
    void OnThreadStopping() override;
    // Lets the new thread's requests through again after a stop cancelled the old one's.
    void OnThreadStarting() override;

    // True when the stream ended on request (stop or refused frame), false when it was lost.
    virtual bool ReceiveStream();
    // Configures the camera and opens the video request.
    virtual bool OpenStream() = 0;
    // Hands one block of received bytes to the stream parser.
    virtual void ProcessData(const uint8_t* data, size_t size) = 0;
    // Hands one frame to the host's sink; a refusal ends the current stream.
    virtual bool DeliverFrame(ipcapture::IHostFrame* frame);

    // Makes the camera parameter name hold value: read, compare ignoring case, write. A camera
    // that refuses the parameter to the account (an answer line with status 401) marks the
    // open's writes refused and is logged once per run of the thread.
    bool UpdateJvcParameter(const std::string& value, const std::string& name);
    // Sets the picture size of encoder 1 (JPEG) or 2 (MPEG-4) from the channel settings.
    bool SetFrameSize(unsigned encoder);

    int CameraFamily() const { return m_cameraFamily; }

  protected:
    // Fills a host frame with a picture and delivers it; the frame goes back to the factory
    // whatever the delivery gave. False when no frame could be made or the sink refused it.
    bool DeliverPicture(const std::vector<uint8_t>& picture, uint32_t fourcc, unsigned capacity,
                        unsigned width, unsigned height);
    bool StopRequested() { return m_stopEvent.IsSet(); }
    // The camera is sending video the parser recognises, though not a picture to deliver yet
    // (an MPEG-4 stream before its first key frame): no loss of signal is due meanwhile.
    void NoteVideoArriving() { m_lastFrameTime.Touch(); }
    // Declares the signal lost when the camera has delivered no picture for the stream
    // time-out and that has not been reported yet.
    void CheckSignalLoss();
    // Milliseconds until the signal is due to be declared lost; 0 when it is due or reported.
    uint64_t MsUntilSignalLoss() const;
    // Waits the retry delay before the next attempt, declaring the signal lost on time if it
    // falls due meanwhile. False when a stop came.
    bool WaitBeforeAttempt();
    // Runs configure (the encoder writes), then opens the video request. When configure
    // failed because the camera refused the writes to the account, the video is opened with
    // the camera's current settings; any other failure fails the open.
    bool OpenConfigured(const std::function<bool()>& configure, const std::string& videoPath);
    // Asks the camera to keep encoder 1's (JPEG) or 2's (MPEG-4) settings.
    bool SaveEncoder(unsigned encoder);
    void ReportWritesRefused(const std::string& name, const std::string& reason);
    // Logs, once per run of the thread, a setting that no attempt can get past (the thread
    // goes on retrying: the host may change the setting, the camera may be replaced).
    void ReportUnusableSetting(std::string_view where, const std::string& text);

    int m_cameraFamily;
    Web::CHttpClient m_http;
    bool m_refused = false;
    bool m_settingReported = false;  // channel thread only
    // The camera refused an encoder write to the account during this open / this run of the
    // thread; channel thread only.
    bool m_writesRefused = false;
    bool m_writesRefusedReported = false;
    // The signal loss was declared and no picture has come since; channel thread only.
    bool m_signalLossReported = false;
    // The block being parsed; only the channel thread touches it. Its storage is traded with
    // the HTTP layer's buffer on every read.
    std::vector<uint8_t> m_block;
};

// Size class of a picture for the host: 4 for wide pictures, 2 for small ones, 3 for very
// wide and flat ones (such as 704 x 240).
int SizeClassOf(unsigned width, unsigned height);

}  // namespace vostrel
