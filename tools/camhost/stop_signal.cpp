#include "stop_signal.h"

namespace camhost {

void StopSignal::Request() {
    // Notified under the lock: a waiter that wakes and ends the program (destroying this
    // object) can only do so after the notifying thread has let go of it.
    std::lock_guard<std::mutex> guard(m_mutex);
    m_requested = true;
    m_cond.notify_all();
}

bool StopSignal::Requested() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_requested;
}

bool StopSignal::WaitFor(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cond.wait_for(lock, timeout, [&] { return m_requested; });
}

}  // namespace camhost
