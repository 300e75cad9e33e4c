#pragma once
// CLock: a recursive lock that spins before it sleeps, so short critical sections cost no
// kernel call. CAutoLock holds a CLock for the life of a scope.
#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/event.h"

namespace vostrel {

class CLock {
  public:
    CLock();
    ~CLock();
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;

    // Waits until the lock is free or already held by the calling thread.
    void Enter();
    // Must be called once for every successful Enter or TryEnter.
    void Leave();
    // Spins for the lock but never sleeps; false when another thread holds it.
    bool TryEnter();

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

class CAutoLock {
  public:
    explicit CAutoLock(CLock& lock) : m_lock(lock) { m_lock.Enter(); }
    ~CAutoLock() { m_lock.Leave(); }
    CAutoLock(const CAutoLock&) = delete;
    CAutoLock& operator=(const CAutoLock&) = delete;

  private:
    CLock& m_lock;
};

}  // namespace vostrel
