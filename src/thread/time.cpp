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

}  // namespace vostrel
