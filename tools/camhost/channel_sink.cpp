#include "channel_sink.h"

#include <algorithm>

#include "reference_host.h"

namespace camhost {

namespace ipc = vostrel::ipcapture;

bool ChannelSink::OnFrame(ipc::IHostFrame* raw) {
    // The frames come from host::FrameFactory, so they are host::Frame objects.
    auto* frame = static_cast<host::Frame*>(raw);
    const size_t size = std::min<size_t>(frame->m_dataSize, frame->m_buffer.size());
    const bool key = frame->m_format == ipc::kFourCCDivx;
    const auto now = Clock::now();
    m_consumer(m_index, key, frame->m_buffer.data(), size);
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_frames == 0) {
        m_first = now;
    }
    ++m_frames;
    m_last = now;
    m_keyFrames += key ? 1 : 0;
    m_bytes += size;
    m_width = frame->m_width;
    m_height = frame->m_height;
    return true;
}

void ChannelSink::OnSignalLost() {
    std::lock_guard<std::mutex> guard(m_mutex);
    ++m_signalLost;
}

ChannelSink::Counts ChannelSink::Get() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    Counts c{m_frames, m_keyFrames, m_bytes, m_signalLost, m_width, m_height, std::nullopt, {}};
    if (m_frames > 0) {
        c.first = m_first;
        c.last = m_last;
    }
    return c;
}

const char* ChannelStateName(ipc::IIPVideoCapture* video, unsigned index) {
    int state = -1;
    if (!video->GetChannelStatus(index, &state, nullptr, nullptr, 0)) {
        return "stopped";
    }
    switch (state) {
        case 0:
            return "receiving";
        case 1:
            return "connecting";
        default:
            return "lost";
    }
}

}  // namespace camhost
