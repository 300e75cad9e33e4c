#include "thread/lock.h"

#include "platform/thread.h"

namespace vostrel {

namespace {

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

}  // namespace

uint32_t CLock::DefaultSpinCount() {
    // Decided once, on the first lock created in the process.
    static const bool singleProcessor = platform::ProcessorCount() == 1;
    return singleProcessor ? 0u : 4000u;
}

CLock::CLock() : m_block(std::make_unique<ControlBlock>()) {
    m_block->spinCount = DefaultSpinCount();
}

CLock::~CLock() = default;

void CLock::TakeOwnership(uint32_t self) {
    m_block->owner.store(self, std::memory_order_relaxed);
    m_block->recursion = 1;
}

bool CLock::TryEnter() {
    const uint32_t self = platform::CurrentThreadId();
    ControlBlock& block = *m_block;
    for (uint32_t attempt = 0; attempt <= block.spinCount; ++attempt) {
        int32_t expected = 0;
        if (block.lockCount.compare_exchange_strong(expected, 1, std::memory_order_acquire)) {
            TakeOwnership(self);
            return true;
        }
        // Only the holder itself can find its own id here.
        if (block.owner.load(std::memory_order_relaxed) == self) {
            block.lockCount.fetch_add(1, std::memory_order_relaxed);
            ++block.recursion;
            return true;
        }
        CpuRelax();
    }
    return false;
}

void CLock::Enter() {
    if (TryEnter()) {
        return;
    }
    const uint32_t self = platform::CurrentThreadId();
    ControlBlock& block = *m_block;
    if (block.lockCount.fetch_add(1, std::memory_order_acquire) + 1 == 1) {
        // Freed between the spin and the increment.
        TakeOwnership(self);
        return;
    }
    if (block.owner.load(std::memory_order_relaxed) == self) {
        ++block.recursion;
        return;
    }
    m_event.Wait(platform::kInfinite);
    TakeOwnership(self);
}

void CLock::Leave() {
    ControlBlock& block = *m_block;
    if (--block.recursion > 0) {
        block.lockCount.fetch_sub(1, std::memory_order_release);
        return;
    }
    block.owner.store(0, std::memory_order_relaxed);
    if (block.lockCount.fetch_sub(1, std::memory_order_acq_rel) - 1 > 0) {
        // Someone waits: let exactly one waiter through.
        m_event.Set();
    }
}

}  // namespace vostrel
