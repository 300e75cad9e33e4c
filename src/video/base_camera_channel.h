#pragma once
// CBaseCameraChannel: thread control, state and the on-line/off-line messages shared by every
// camera channel. Subclasses supply the thread body.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "core/driver_interface.h"
#include "platform/thread.h"
#include "thread/event.h"
#include "thread/lock.h"
#include "thread/time.h"
#include "video/camera_channel.h"

namespace vostrel {

class CBaseCameraChannel : public ICameraChannel {
  public:
    CBaseCameraChannel(uint32_t channelNumber, IDriver* driver, ipcapture::IHostFrameSink* sink);
    ~CBaseCameraChannel() override;

    bool Start(const ipcapture::ChannelSettings& settings) override;
    void Stop() override;
    bool Update(const ipcapture::ChannelSettings& settings) override;
    int GetState() override;
    ipcapture::ChannelSettings GetSettings() override;

    // The body of the channel thread.
    virtual int ThreadMain() = 0;
    // Called while a stop is in progress, before waiting for the thread: lets a subclass
    // interrupt a blocking read so the thread notices the stop event at once.
    virtual void OnThreadStopping() {}
    // Called before a new thread is started (the previous one has ended).
    virtual void OnThreadStarting() {}

    // When the calling thread is this channel's own thread (the host stops the channel from
    // inside a frame or signal-loss callback), the channel cannot be destroyed here: it keeps
    // the last reference and releases it when its thread ends. True when it took it.
    static bool ReleaseOnOwnThread(std::shared_ptr<ICameraChannel>& channel);

    void SetState(int state);
    // Reports a change of the on-line state to the host's log; repeated states are silent.
    void SetCameraState(bool online);
    // Declares the signal lost, whether or not the camera was on line: state 2, the sink's
    // OnSignalLost and the "Signal was lost" line. The next accepted frame brings the camera
    // on line again. Nothing happens once a stop is under way.
    void ReportSignalLost();
    // Called on the channel thread for every frame the host accepted: the camera is on line,
    // unless a stop is under way.
    void ReportFrameAccepted();
    bool IsOnline() const { return m_online.load(); }
    uint32_t ChannelNumber() const { return m_channelNumber; }

  protected:
    // Ends the thread (and releases the network reference) before a subclass's members go.
    // Every concrete channel calls it first thing in its destructor.
    void Shutdown();
    bool StartThread();
    void StopThread();

    bool m_networkStarted = false;
    std::atomic<bool> m_online{false};  // changed by the host's stop and the channel thread
    CLock m_onlineLock;                 // orders a stop's off-line report after any on-line report
    CLock m_stateLock;
    int m_state JVC_GUARDED_BY(m_stateLock) = kChannelStopped;
    CLock m_threadLock;
    std::unique_ptr<platform::Thread> m_thread JVC_GUARDED_BY(m_threadLock);
    uint32_t m_threadId JVC_GUARDED_BY(m_threadLock) = 0;
    uint32_t m_channelNumber;
    IDriver* m_driver;
    ipcapture::IHostFrameSink* m_sink;
    CLock m_settingsLock;
    // Written by the host's start and update, read by the channel thread.
    ipcapture::ChannelSettings m_settings JVC_GUARDED_BY(m_settingsLock){};
    CManualEvent m_stopEvent;
    CSteadyTime m_lastFrameTime;  // when the camera last sent a whole picture

  private:
    static int ThreadEntry(void* self);
    // "Camera <address>", or "Video-server <address> (channel <n>)" with several inputs.
    std::string CameraName() const;
    void LogSignalLost();
    bool m_reportedSlowStop = false;
    std::shared_ptr<ICameraChannel> m_self;  // set when released on its own thread
};

}  // namespace vostrel
