#pragma once
// CLock: a recursive lock that spins before it sleeps, so short critical sections cost no
// kernel call. CAutoLock holds a CLock for the life of a scope. Both are annotated for the
// thread-safety analysis: a member declared JVC_GUARDED_BY(m_lock) may only be touched with
// m_lock held. (The analysis does not follow re-entry; a function that enters a lock it may
// already hold takes it through a CAutoLock of its own scope.)
#include <atomic>
#include <cstdint>
#include <memory>

#include "core/thread_annotations.h"
#include "platform/event.h"

namespace vostrel {

class JVC_CAPABILITY("lock") CLock {
  public:
    CLock();
    ~CLock();
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;

    // Waits until the lock is free or already held by the calling thread.
    void Enter() JVC_ACQUIRE();
    // Must be called once for every successful Enter or TryEnter.
    void Leave() JVC_RELEASE();
    // Spins for the lock but never sleeps; false when another thread holds it.
    bool TryEnter() JVC_TRY_ACQUIRE(true);

    // Spin attempts before sleeping: 4000 on a multi-processor machine, 0 on one processor.
    static uint32_t DefaultSpinCount();

  private:
    struct ControlBlock {
        uint32_t spinCount = 0;
        std::atomic<int32_t> lockCount{0};  // holders plus waiters
        std::atomic<uint32_t> owner{0};     // thread id of the holder, 0 when free
        uint32_t recursion = 0;             // times the holder has entered
    };

    void TakeOwnership(uint32_t self);

    platform::Event m_event{false};
    [[maybe_unused]] void* m_mapping = nullptr;  // shared placement of the block; never used here
    std::unique_ptr<ControlBlock> m_block;
};

class JVC_SCOPED_CAPABILITY CAutoLock {
  public:
    explicit CAutoLock(CLock& lock) JVC_ACQUIRE(lock) : m_lock(lock) { m_lock.Enter(); }
    ~CAutoLock() JVC_RELEASE() { m_lock.Leave(); }
    CAutoLock(const CAutoLock&) = delete;
    CAutoLock& operator=(const CAutoLock&) = delete;

  private:
    CLock& m_lock;
};

}  // namespace vostrel
