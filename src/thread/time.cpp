#include "thread/time.h"

#include "platform/system.h"

namespace vostrel {

CTime::CTime() : m_time(platform::CurrentFileTime()) {}

void CTime::Touch() {
    uint64_t now = platform::CurrentFileTime();
    CAutoLock hold(m_lock);
    m_time = now;
}

uint64_t CTime::Get() {
    CAutoLock hold(m_lock);
    return m_time;
}

CSteadyTime::CSteadyTime() : m_ms(platform::SteadyMilliseconds()) {}

void CSteadyTime::Touch() {
    m_ms.store(platform::SteadyMilliseconds(), std::memory_order_relaxed);
}

uint64_t CSteadyTime::ElapsedMs() const {
    const uint64_t now = platform::SteadyMilliseconds();
    const uint64_t then = m_ms.load(std::memory_order_relaxed);
    return now > then ? now - then : 0;
}

}  // namespace vostrel
