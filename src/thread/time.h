#pragma once
// CTime: a UTC file time stamp (100 ns units since 1601-01-01) read and written under a lock.
#include <atomic>
#include <cstdint>

#include "thread/lock.h"

namespace vostrel {

class CTime {
  public:
    CTime();  // the current time
    virtual ~CTime() = default;

    void Touch();  // sets the stamp to the current time
    uint64_t Get();

  private:
    CLock m_lock;
    uint64_t m_time JVC_GUARDED_BY(m_lock) = 0;
};

// CSteadyTime: a time stamp for elapsed times, from a clock that never goes back, so setting
// the wall clock neither stretches nor stops them. Lock-free; any thread may touch or read it.
class CSteadyTime {
  public:
    CSteadyTime();  // the current time

    void Touch();  // sets the stamp to the current time
    // Milliseconds since the last touch (or construction).
    uint64_t ElapsedMs() const;

  private:
    std::atomic<uint64_t> m_ms;
};

}  // namespace vostrel
