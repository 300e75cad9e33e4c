#include "ptz/work_item_thread_ex.h"

#include <deque>

namespace vostrel {

bool CWorkItemThreadEx::PostWorkItem(std::unique_ptr<IWorkItem> item, uint32_t maxQueued) {
    if (!m_running || item == nullptr || !m_queueEvent) {
        return false;
    }
    std::deque<std::unique_ptr<IWorkItem>> dropped;
    {
        CAutoLock hold(m_queueLock);
        while (maxQueued != 0 && m_queue.size() > maxQueued - 1) {
            dropped.push_back(std::move(m_queue.front()));
            m_queue.pop_front();
        }
        m_queue.push_back(std::move(item));
    }
    m_queueEvent->Set();
    // The pushed-out items are deleted here, outside the lock.
    return true;
}

size_t CWorkItemThreadEx::QueuedCount() {
    CAutoLock hold(m_queueLock);
    return m_queue.size();
}

}  // namespace vostrel
