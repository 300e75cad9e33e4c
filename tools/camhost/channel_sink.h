#pragma once
// One video channel's frames as the module delivers them, for capture (into files) and serve
// (to the page): counted, and handed to a consumer on the module's channel thread.
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "jvc_ipcapture/video_capture.h"

namespace camhost {

// Receives one channel's frames on the module's channel thread: counts them and hands the
// bytes to the consumer (a writer, the live view). It never refuses a frame (a refusal makes
// the driver reopen the stream).
class ChannelSink : public vostrel::ipcapture::IHostFrameSink {
  public:
    using Clock = std::chrono::steady_clock;
    // Called on the channel thread with the channel's index, whether the frame is a key frame
    // (an MPEG-4 group's start), and its bytes, valid during the call.
    using Consumer = std::function<void(unsigned, bool, const uint8_t*, size_t)>;

    ChannelSink(unsigned index, Consumer consumer)
        : m_index(index), m_consumer(std::move(consumer)) {}

    bool OnFrame(vostrel::ipcapture::IHostFrame* raw) override;
    void OnSignalLost() override;

    struct Counts {
        uint64_t frames = 0, keyFrames = 0, bytes = 0;
        int signalLost = 0;
        unsigned width = 0, height = 0;
        std::optional<Clock::time_point> first;
        Clock::time_point last;
    };
    Counts Get() const;

  private:
    const unsigned m_index;
    const Consumer m_consumer;
    mutable std::mutex m_mutex;
    uint64_t m_frames = 0, m_keyFrames = 0, m_bytes = 0;
    int m_signalLost = 0;
    unsigned m_width = 0, m_height = 0;
    Clock::time_point m_first, m_last;
};

// A channel's state as the driver reports it: "receiving", "connecting", "lost", or
// "stopped" when the channel does not run.
const char* ChannelStateName(vostrel::ipcapture::IIPVideoCapture* video, unsigned index);

}  // namespace camhost
