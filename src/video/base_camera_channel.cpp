#include "video/base_camera_channel.h"

#include <cctype>

#include "core/log.h"
#include "platform/network.h"

namespace vostrel {

namespace {
// Every on-line and off-line line is written under this name, whichever path reports it.
constexpr std::string_view kStateWriter = "vostrel::CBaseCameraChannel::SetCameraState";
// The channel whose thread is the calling thread, if any.
thread_local CBaseCameraChannel* t_currentChannel = nullptr;
}  // namespace

CBaseCameraChannel::CBaseCameraChannel(uint32_t channelNumber, IDriver* driver,
                                       ipcapture::IHostFrameSink* sink)
    : m_channelNumber(channelNumber), m_driver(driver), m_sink(sink) {}

CBaseCameraChannel::~CBaseCameraChannel() {
    Shutdown();
}

void CBaseCameraChannel::Shutdown() {
    Stop();
    // A thread that outlived the bounded stop wait still uses this object: wait for it.
    CAutoLock hold(m_threadLock);
    if (m_thread && m_thread->Id() != platform::CurrentThreadId()) {
        m_thread->Join(platform::kInfinite);
        m_thread.reset();
    }
}

bool CBaseCameraChannel::Start(const ipcapture::ChannelSettings& settings) {
    Stop();
    {
        CAutoLock hold(m_settingsLock);
        m_settings = settings;
    }
    if (!m_networkStarted) {
        m_networkStarted = platform::NetworkStartup();
    }
    bool started = StartThread();
    if (!started && m_networkStarted) {
        platform::NetworkCleanup();
        m_networkStarted = false;
    }
    return started;
}

void CBaseCameraChannel::Stop() {
    // The stop event goes first: a frame delivered from now on no longer brings the camera
    // back on line, so the off-line line is written once.
    m_stopEvent.Set();
    SetState(kChannelStopped);
    {
        CAutoLock hold(m_onlineLock);
        SetCameraState(false);
    }
    StopThread();
    if (m_networkStarted) {
        platform::NetworkCleanup();
        m_networkStarted = false;
    }
}

bool CBaseCameraChannel::Update(const ipcapture::ChannelSettings& settings) {
    SetState(kChannelStopped);
    StopThread();
    {
        // The old thread has ended: the new one reads the new settings.
        CAutoLock hold(m_settingsLock);
        m_settings.interval = settings.interval;
        m_settings.width = settings.width;
        m_settings.height = settings.height;
    }
    return StartThread();
}

ipcapture::ChannelSettings CBaseCameraChannel::GetSettings() {
    CAutoLock hold(m_settingsLock);
    return m_settings;
}

int CBaseCameraChannel::GetState() {
    CAutoLock hold(m_stateLock);
    return m_state;
}

void CBaseCameraChannel::SetState(int state) {
    CAutoLock hold(m_stateLock);
    // Once a stop is under way the channel stays stopped, whatever its thread last saw.
    if (m_state == kChannelStopped && state != kChannelStopped && m_stopEvent.IsSet()) {
        return;
    }
    m_state = state;
}

int CBaseCameraChannel::ThreadEntry(void* raw) {
    auto* self = static_cast<CBaseCameraChannel*>(raw);
    t_currentChannel = self;
    int result = self->ThreadMain();
    t_currentChannel = nullptr;
    // Released on its own thread while running: the channel goes now, as the thread's last act.
    std::shared_ptr<ICameraChannel> last = std::move(self->m_self);
    last.reset();
    return result;
}

bool CBaseCameraChannel::ReleaseOnOwnThread(std::shared_ptr<ICameraChannel>& channel) {
    CBaseCameraChannel* current = t_currentChannel;
    if (current == nullptr || channel.get() != static_cast<ICameraChannel*>(current)) {
        return false;
    }
    current->m_self = std::move(channel);
    return true;
}

bool CBaseCameraChannel::StartThread() {
    // A start never waits: when a stop (or another start) holds the lock, it fails at once.
    if (!m_threadLock.TryEnter()) {
        return false;
    }
    bool started = false;
    if (!m_thread || m_thread->HasEnded()) {
        if (m_thread) {
            m_thread->Join(platform::kInfinite);
            m_thread.reset();
        }
        OnThreadStarting();
        m_stopEvent.Reset();
        // A started channel reports "not yet connected" at once, not only once its thread
        // has run.
        SetState(kChannelConnecting);
        m_thread = platform::Thread::Start(&CBaseCameraChannel::ThreadEntry, this);
        if (m_thread) {
            m_threadId = m_thread->Id();
            started = true;
        } else {
            SetState(kChannelStopped);
        }
    }
    m_threadLock.Leave();
    return started;
}

void CBaseCameraChannel::StopThread() {
    m_stopEvent.Set();
    CAutoLock hold(m_threadLock);
    if (!m_thread) {
        return;
    }
    OnThreadStopping();
    if (m_thread->Id() == platform::CurrentThreadId()) {
        return;  // the channel's own thread never waits for itself
    }
    int32_t timeout = m_driver ? m_driver->GetDeviceInfo()->m_timeout : 5000;
    uint32_t wait = timeout > 0 ? static_cast<uint32_t>(timeout) * 2 : 0;
    if (!m_thread->Join(wait)) {
        // Forcing a thread to end could leave its locks taken and its memory in use, so the
        // channel keeps the thread and waits for it when the channel itself goes.
        if (!m_reportedSlowStop && m_driver) {
            m_reportedSlowStop = true;
            Log(m_driver, kLogFailure, JVC_HERE, "channel %u thread did not end within %u ms",
                m_channelNumber, wait);
        }
        return;
    }
    m_thread.reset();
    m_threadId = 0;
}

void CBaseCameraChannel::ReportFrameAccepted() {
    CAutoLock hold(m_onlineLock);
    if (!m_stopEvent.IsSet()) {
        SetCameraState(true);
    }
}

std::string CBaseCameraChannel::CameraName() const {
    const std::string& address = m_driver->GetDeviceInfo()->m_address;
    if (m_driver->GetCameraCount() > 1) {
        return "Video-server " + address + " (channel " + std::to_string(m_channelNumber) + ")";
    }
    return "Camera " + address;
}

void CBaseCameraChannel::LogSignalLost() {
    std::string name = CameraName();
    name[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[0])));
    Log(m_driver, kLogFailure, kStateWriter, "Signal was lost for %s", name.c_str());
}

void CBaseCameraChannel::ReportSignalLost() {
    if (m_stopEvent.IsSet()) {
        return;
    }
    SetState(kChannelLost);
    if (m_sink != nullptr) {
        try {
            m_sink->OnSignalLost();
        } catch (...) {
            // The host's failure must not end the channel.
        }
    }
    CAutoLock hold(m_onlineLock);
    // The host may have stopped the channel from inside OnSignalLost: then the stop's own
    // line is the last word.
    if (m_stopEvent.IsSet() || m_driver == nullptr) {
        return;
    }
    m_online = false;
    LogSignalLost();
}

void CBaseCameraChannel::SetCameraState(bool online) {
    if (m_online.exchange(online) == online) {
        return;
    }
    if (m_driver == nullptr) {
        return;
    }
    const std::string name = CameraName();
    if (online) {
        Log(m_driver, kLogState, kStateWriter, "%s is online", name.c_str());
        return;
    }
    switch (GetState()) {
        case kChannelLost:
            LogSignalLost();
            break;
        case kChannelStopped:
            Log(m_driver, kLogState, kStateWriter, "%s is offline. Channel was stopped",
                name.c_str());
            break;
        default:
            Log(m_driver, kLogFailure, kStateWriter, "%s is offline or failed", name.c_str());
            break;
    }
}

}  // namespace vostrel
