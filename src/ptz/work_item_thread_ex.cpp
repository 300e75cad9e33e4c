#include "ptz/work_item_thread_ex.h"

#include <chrono>

namespace vostrel {

CWorkItemThreadEx::~CWorkItemThreadEx() {
    // The worker reads this class's members: it ends before they go.
    Stop();
}

bool CWorkItemThreadEx::Start(const std::string& name) {
    if (IsRecorded()) {
        return false;
    }
    m_finishing = false;
    return CWorkItemThread::Start(name);
}

bool CWorkItemThreadEx::PostWorkItem(std::unique_ptr<IWorkItem> item, uint32_t maxQueued) {
    if (!m_running || m_finishing || item == nullptr || !m_queueEvent) {
        return false;
    }
    Items dropped;
    {
        CAutoLock hold(m_queueLock);
        TrimQueue(maxQueued, dropped);
        if (RepeatsWaitingItem(*item)) {
            dropped.push_back(std::move(item));
        } else {
            m_queue.push_back(std::move(item));
        }
    }
    m_queueEvent->Set();
    // The pushed-out and merged items are deleted here, outside the lock.
    return true;
}

void CWorkItemThreadEx::TrimQueue(uint32_t maxQueued, Items& dropped) {
    if (maxQueued == 0) {
        return;
    }
    auto it = m_queue.begin();
    while (m_queue.size() > maxQueued - 1 && it != m_queue.end()) {
        if (MustKeep(**it)) {
            ++it;
        } else {
            dropped.push_back(std::move(*it));
            it = m_queue.erase(it);
        }
    }
}

bool CWorkItemThreadEx::RepeatsWaitingItem(const IWorkItem& item) {
    if (!MustKeep(item)) {
        return false;
    }
    // Merging into an item that has others queued behind it would undo them: a stop waiting
    // before a start must not stand for a stop asked for after that start.
    for (auto it = m_queue.rbegin(); it != m_queue.rend(); ++it) {
        if (!MustKeep(**it)) {
            return false;
        }
        if (Repeats(item, **it)) {
            return true;
        }
    }
    return false;
}

size_t CWorkItemThreadEx::QueuedCount() {
    CAutoLock hold(m_queueLock);
    return m_queue.size();
}

bool CWorkItemThreadEx::IsIdle() {
    CAutoLock hold(m_queueLock);
    return m_queue.empty() && !m_busy;
}

bool CWorkItemThreadEx::FinishKeptItems(uint32_t timeoutMs) {
    m_finishing = true;
    Items discarded;
    {
        CAutoLock hold(m_queueLock);
        for (auto it = m_queue.begin(); it != m_queue.end();) {
            if (MustKeep(**it)) {
                ++it;
            } else {
                discarded.push_back(std::move(*it));
                it = m_queue.erase(it);
            }
        }
    }
    discarded.clear();
    if (!IsRecorded() || !m_running || IsCurrentThread()) {
        return false;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!IsIdle()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        m_idle.Wait(static_cast<uint32_t>(left.count()));
    }
    return true;
}

bool CWorkItemThreadEx::HandleNextItem() {
    std::unique_ptr<IWorkItem> item;
    {
        CAutoLock hold(m_queueLock);
        m_busy = !m_queue.empty();
        if (m_busy) {
            item = std::move(m_queue.front());
            m_queue.pop_front();
        }
    }
    if (item == nullptr) {
        m_idle.Set();
        return false;
    }
    if (!m_running) {
        return false;  // a stop discards the popped item with the rest
    }
    try {
        HandleWorkItem(item.get());
    } catch (...) {
        // A failing handler must not end the thread; the item is still deleted.
    }
    return true;
}

int CWorkItemThreadEx::Run() {
    while (m_running) {
        if (m_queueEvent->Wait(1000) != platform::WaitResult::Signalled) {
            continue;
        }
        while (HandleNextItem()) {
        }
    }
    ClearWorkItems();
    {
        CAutoLock hold(m_queueLock);
        m_busy = false;
    }
    m_idle.Set();
    return 0;
}

}  // namespace vostrel
