#pragma once
// CWorkItemThreadEx: a work-item thread whose queue stays short. Each post may push out the
// oldest items that have not started yet, so however slow the worker is, only the newest
// requests wait behind the one in progress. Posts come from any thread; items are handled
// one at a time on the worker, outside the queue lock.
#include <cstdint>
#include <memory>

#include "thread/simple_thread.h"

namespace vostrel {

class CWorkItemThreadEx : public thread::CWorkItemThread {
  public:
    // Queues the item after deleting, unhandled, the oldest queued items until fewer than
    // maxQueued remain (0: no bound). False when the thread is not running or the item is
    // null; the item is then deleted.
    bool PostWorkItem(std::unique_ptr<IWorkItem> item, uint32_t maxQueued)
        JVC_EXCLUDES(m_queueLock);
    // Deletes every queued item unhandled.
    void ClearQueue() { ClearWorkItems(); }
    size_t QueuedCount() JVC_EXCLUDES(m_queueLock);
};

}  // namespace vostrel
