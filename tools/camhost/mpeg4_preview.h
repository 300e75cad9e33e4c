#pragma once
// Turns a channel's MPEG-4 pictures into JPEG pictures a browser shows: decoded with
// libavcodec's MPEG-4 decoder, encoded with its JPEG encoder, on a thread of its own. The
// pictures wait in a bounded queue; when the decoder falls behind, the waiting ones are dropped
// and decoding resumes at the next key picture.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace camhost {

class Mpeg4Preview {
  public:
    static constexpr size_t kQueueLimit = 50;
    using Output = std::function<void(std::string jpeg, unsigned width, unsigned height)>;

    explicit Mpeg4Preview(Output output);
    ~Mpeg4Preview();
    Mpeg4Preview(const Mpeg4Preview&) = delete;
    Mpeg4Preview& operator=(const Mpeg4Preview&) = delete;

    // False when libavcodec lacks the decoder or the encoder (the reason in error()).
    bool Start();
    // One picture as the module delivered it; key: it starts a group (with its header).
    void Feed(const uint8_t* data, size_t size, bool key);
    // Ends the thread; pictures still waiting are dropped.
    void Stop();
    const std::string& error() const { return m_error; }
    uint64_t Dropped() const;

  private:
    struct Codecs;
    void Run();

    Output m_output;
    std::string m_error;
    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    std::deque<std::string> m_queue;
    bool m_waitForKey = true;
    bool m_stopping = false;
    uint64_t m_dropped = 0;
    std::thread m_thread;
};

}  // namespace camhost
