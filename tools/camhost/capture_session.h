#pragma once
// One capture: the module loaded, a driver opened against the camera (or the simulator),
// every channel started into a FrameWriter, live progress, then a clean stop and a summary.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "capture_options.h"
#include "console.h"
#include "jvc_ipcapture/video_capture.h"

namespace camhost {

// A stop request (Ctrl-C) that the capture waits on.
class StopSignal {
  public:
    void Request();
    bool Requested() const;
    // Waits up to the timeout; true when a stop was requested.
    bool WaitFor(std::chrono::milliseconds timeout);

  private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_requested = false;
};

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

// What one channel did, for the summary table.
struct ChannelSummary {
    std::string label;  // "ch0", or "MJPEG ch0" in the demo
    uint64_t frames = 0;
    uint64_t keyFrames = 0;
    uint64_t bytes = 0;
    double seconds = 0;    // from its first frame to the stop
    double frameRate = 0;  // frames per second between its first and last frame
    int signalLost = 0;
    uint64_t dropped = 0;            // not written: the writer's queue was full
    unsigned width = 0, height = 0;  // of the last frame
    std::string output;              // where the frames went
    uint64_t filesWritten = 0;
};

struct CaptureResult {
    int exitCode = 1;  // 0 when every channel received frames
    bool interrupted = false;
    bool credentialsRefused = false;  // the camera answered 401
    std::string error;                // a reason to stop before capturing (printed already)
    std::vector<ChannelSummary> channels;
};

// Runs a capture to its end (time, Ctrl-C, or no frame within the connect time-out), printing
// driver log lines and progress to the console. Does not print the summary.
CaptureResult RunCapture(const CaptureOptions& options, Console& console, StopSignal& stop,
                         const std::string& defaultModule);

// The summary table.
std::string FormatSummary(const std::vector<ChannelSummary>& channels);

// Why no frame came, in words a person can act on; empty when every channel had frames.
std::string ExplainNoFrames(const CaptureOptions& options, const CaptureResult& result);

// Tries a TCP connection to address:port within the time-out; empty when it connected,
// otherwise the reason ("Connection refused", "timed out", ...).
std::string ProbeTcp(const std::string& address, uint16_t port, std::chrono::milliseconds timeout);

}  // namespace camhost
