#pragma once
// CTime: a UTC file time stamp (100 ns units since 1601-01-01) read and written under a lock.
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
    uint64_t m_time = 0;
};

}  // namespace vostrel
