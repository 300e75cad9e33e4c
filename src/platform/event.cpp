#include "platform/event.h"

namespace platform {

Event::Event(bool manualReset, bool initiallySignalled)
    : m_manualReset(manualReset), m_signalled(initiallySignalled) {}

void Event::Set() {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_signalled) {
            return;
        }
        m_signalled = true;
    }
    if (m_manualReset) {
        m_cond.notify_all();
    } else {
        m_cond.notify_one();
    }
}

void Event::Reset() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_signalled = false;
}

WaitResult Event::Wait(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto ready = [this] { return m_signalled; };
    if (timeoutMs == 0) {
        // A poll: a condition variable wait with a deadline already past still costs a
        // futex system call, and the channels poll their stop event for every block.
        if (!m_signalled) {
            return WaitResult::TimedOut;
        }
    } else if (timeoutMs == kInfinite) {
        m_cond.wait(lock, ready);
    } else if (!m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
        return WaitResult::TimedOut;
    }
    if (!m_manualReset) {
        m_signalled = false;
    }
    return WaitResult::Signalled;
}

}  // namespace platform
