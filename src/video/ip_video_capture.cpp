#include "video/ip_video_capture.h"

#include "video/base_camera_channel.h"

namespace vostrel {

namespace {

void StopAndDelete(std::shared_ptr<ICameraChannel>& channel) {
    if (channel) {
        channel->Stop();
        if (!CBaseCameraChannel::ReleaseOnOwnThread(channel)) {
            channel.reset();
        }
    }
}

}  // namespace

CIPVideoCapture::CIPVideoCapture(ICustomCreator* creator, int cameraCount)
    : m_creator(creator),
      m_channelCount(cameraCount > 0 ? static_cast<size_t>(cameraCount) : 0),
      m_channels(m_channelCount) {}

CIPVideoCapture::~CIPVideoCapture() {
    for (Entry& entry : m_channels) {
        Entry taken;
        {
            CAutoLock hold(m_lock);
            taken = std::move(entry);
        }
        StopAndDelete(taken.companion);
        StopAndDelete(taken.channel);
    }
}

unsigned CIPVideoCapture::GetChannelCount() {
    return static_cast<unsigned>(m_channelCount);
}

bool CIPVideoCapture::StartChannel(unsigned index, ipcapture::IHostFrameSink* sink,
                                   ipcapture::IHostVideoSettings* settings) {
    // The host's settings objects may throw, and so may an allocation: no exception reaches
    // the host, the start fails instead.
    try {
        return StartChannelUnguarded(index, sink, settings);
    } catch (...) {
        return false;
    }
}

bool CIPVideoCapture::StartChannelUnguarded(unsigned index, ipcapture::IHostFrameSink* sink,
                                            ipcapture::IHostVideoSettings* settings) {
    if (index >= m_channelCount || settings == nullptr) {
        return false;
    }
    StopChannel(index);

    ipcapture::IHostEncoding* encoding = settings->GetEncoding();
    ipcapture::IHostSize* size =
        settings->GetPicture() ? settings->GetPicture()->GetSize() : nullptr;
    if (encoding == nullptr || size == nullptr) {
        return false;
    }
    ipcapture::ChannelSettings record;
    record.interval = encoding->GetFrameInterval();
    record.quality = encoding->GetQuality();
    record.width = size->GetWidth();
    record.height = size->GetHeight();

    std::shared_ptr<ICameraChannel> channel(
        m_creator->CreateChannel(static_cast<int>(index), sink));
    if (!channel) {
        return false;
    }
    bool ok = channel->Start(record);
    std::shared_ptr<ICameraChannel> companion;
    if (ok && encoding->WantsCompanion() != 0) {
        companion.reset(m_creator->CreateCompanion(static_cast<int>(index), sink));
        if (companion) {
            ok = companion->Start(record);
        }
    }
    Entry displaced;
    {
        CAutoLock hold(m_lock);
        displaced = std::move(m_channels[index]);
        m_channels[index].channel = std::move(channel);
        m_channels[index].companion = std::move(companion);
    }
    // Another host thread started the same index meanwhile: its channel goes, outside the lock.
    StopAndDelete(displaced.companion);
    StopAndDelete(displaced.channel);
    return ok;
}

bool CIPVideoCapture::StopChannel(unsigned index) {
    if (index >= m_channelCount) {
        return false;
    }
    Entry taken;
    {
        CAutoLock hold(m_lock);
        taken = std::move(m_channels[index]);
    }
    bool hadChannel = taken.channel != nullptr;
    bool hadCompanion = taken.companion != nullptr;
    StopAndDelete(taken.companion);
    StopAndDelete(taken.channel);
    return hadChannel || hadCompanion;
}

std::shared_ptr<ICameraChannel> CIPVideoCapture::ChannelAt(unsigned index) {
    if (index >= m_channelCount) {
        return nullptr;
    }
    CAutoLock hold(m_lock);
    return m_channels[index].channel;
}

bool CIPVideoCapture::UpdateChannel(unsigned index, ipcapture::IHostSize* size, unsigned interval) {
    std::shared_ptr<ICameraChannel> channel = ChannelAt(index);
    if (channel == nullptr || size == nullptr) {
        return false;
    }
    ipcapture::ChannelSettings record;
    record.interval = interval;
    record.quality = 0;
    try {
        record.width = size->GetWidth();
        record.height = size->GetHeight();
        return channel->Update(record);
    } catch (...) {
        return false;  // a host size object that throws changes nothing
    }
}

bool CIPVideoCapture::GetChannelStatus(unsigned index, int* state, int* reserved,
                                       char* reservedFlag, int withFlag) {
    if (reserved) {
        *reserved = 0;
    }
    if (withFlag != 0 && reservedFlag != nullptr) {
        *reservedFlag = 0;
    }
    std::shared_ptr<ICameraChannel> channel = ChannelAt(index);
    if (channel == nullptr) {
        return false;
    }
    int value = channel->GetState();
    if (state) {
        *state = value == kChannelStopped ? kChannelLost : value;
    }
    return true;
}

bool CIPVideoCapture::ExtendedQuerySecondOf(unsigned index) {
    std::shared_ptr<ICameraChannel> channel = ChannelAt(index);
    return channel != nullptr && channel->ExtendedQuerySecond();
}

bool CIPVideoCapture::ExtendedQueryFirstOf(unsigned index) {
    std::shared_ptr<ICameraChannel> channel = ChannelAt(index);
    return channel != nullptr && channel->ExtendedQueryFirst();
}

ipcapture::ChannelSettings CIPVideoCapture::GetChannelSettings(unsigned index) {
    std::shared_ptr<ICameraChannel> channel = ChannelAt(index);
    return channel ? channel->GetSettings() : ipcapture::ChannelSettings{};
}

}  // namespace vostrel
