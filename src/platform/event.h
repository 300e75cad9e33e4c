#pragma once
// Events with timed waits: the wake-up primitive of every worker thread.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {

// Infinite wait, for the calls that take a time-out in milliseconds.
inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

enum class WaitResult { Signalled, TimedOut };

// An event is signalled by Set and cleared by Reset. An auto-reset event lets exactly one
// waiter through per Set and clears itself as that waiter passes; a manual-reset event stays
// signalled, letting every waiter through, until Reset. Setting a signalled event does nothing.
class Event {
  public:
    explicit Event(bool manualReset, bool initiallySignalled = false);
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    // Waits until the event is signalled or timeoutMs passes (kInfinite: no limit).
    WaitResult Wait(uint32_t timeoutMs);
    // The state without waiting; an auto-reset event is consumed when this reports it set.
    bool IsSet() { return Wait(0) == WaitResult::Signalled; }

  private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    const bool m_manualReset;
    bool m_signalled;
};

}  // namespace platform
