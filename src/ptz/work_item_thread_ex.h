#pragma once
// CWorkItemThreadEx: a work-item thread whose queue stays short. Each post may push out the
// oldest waiting items, so however slow the worker is, only the newest requests wait behind
// the one in progress. Items a subclass declares kept (MustKeep) are never pushed out; a kept
// item that repeats one already waiting, with only kept items behind that one, is merged
// into it. Before the thread stops, FinishKeptItems lets the worker carry out the item in
// progress and the kept items, within a time bound, and discards the rest.
//
// Threads: PostWorkItem, QueuedCount and ClearQueue are thread-safe; Start, FinishKeptItems
// and Stop must be called from the owner's thread. Items are handled one at a time on the
// worker, outside the queue lock.
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "thread/event.h"
#include "thread/simple_thread.h"

namespace vostrel {

class CWorkItemThreadEx : public thread::CWorkItemThread {
  public:
    ~CWorkItemThreadEx() override;

    // Starts the worker; posts are accepted again after a FinishKeptItems.
    bool Start(const std::string& name);
    // Queues the item after deleting, unhandled, the oldest waiting items that are not kept
    // until fewer than maxQueued remain or only kept ones are left (0: no bound). A kept item
    // repeating a waiting one is deleted instead and counts as queued. False when the thread
    // is not running, is finishing or the item is null; the item is then deleted.
    bool PostWorkItem(std::unique_ptr<IWorkItem> item, uint32_t maxQueued)
        JVC_EXCLUDES(m_queueLock);
    // Refuses further posts, deletes the waiting items that are not kept and waits up to
    // timeoutMs for the worker to handle the item in progress and the kept ones. True when
    // nothing is left to do; false on time-out, when no worker runs or on the worker itself.
    bool FinishKeptItems(uint32_t timeoutMs) JVC_EXCLUDES(m_queueLock);
    // Deletes every queued item unhandled.
    void ClearQueue() { ClearWorkItems(); }
    size_t QueuedCount() JVC_EXCLUDES(m_queueLock);

    int Run() override;

  protected:
    // An item that must be carried out once accepted (never pushed out by the bound).
    virtual bool MustKeep(const IWorkItem&) const { return false; }
    // The kept item newer does the same work as the waiting kept item older.
    virtual bool Repeats(const IWorkItem& /*newer*/, const IWorkItem& /*older*/) const {
        return false;
    }

  private:
    using Items = std::deque<std::unique_ptr<IWorkItem>>;
    // Moves the oldest items that are not kept into dropped until fewer than maxQueued remain.
    void TrimQueue(uint32_t maxQueued, Items& dropped) JVC_REQUIRES(m_queueLock);
    bool RepeatsWaitingItem(const IWorkItem& item) JVC_REQUIRES(m_queueLock);
    bool IsIdle() JVC_EXCLUDES(m_queueLock);
    // Worker: takes and handles the next item; false when the queue is empty or stopping.
    bool HandleNextItem() JVC_EXCLUDES(m_queueLock);

    // An item has been taken and not yet handled and deleted.
    bool m_busy JVC_GUARDED_BY(m_queueLock) = false;
    // Set by the worker each time it finds the queue empty.
    CEvent m_idle;
    std::atomic<bool> m_finishing{false};
};

}  // namespace vostrel
