#pragma once
// A stop request (Ctrl-C, SIGTERM) that a command waits on. The signal thread of camhost's
// main asks for it; a command's loops wait on it instead of sleeping, so a stop is seen at once.
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace camhost {

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

}  // namespace camhost
