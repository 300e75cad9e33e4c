#pragma once
// The thread classes: CSimpleThread runs Run() on a thread of its own; CTickerThread calls
// OnTick() periodically until its stop event is signalled; CWorkItemThread handles queued
// work items one after another in posting order.
//
// One stop rule for every thread of the module: a stop never waits for the calling thread
// itself. Made on the thread (from inside a tick, a work item or a host callback they make),
// the stop sets the thread aside once; the next stop, start or destruction made on any other
// thread waits for it. So a stop that returned on another thread means the thread has ended,
// and no thread object is destroyed while its thread still runs (only an object destroyed
// on its own thread lets that thread finish unwaited).
//
// Threads: Start, the stops and the destructor are the owner's; IsRecorded, IsCurrentThread
// and ThreadId are thread-safe. A stop from the thread itself and a stop from the owner may
// meet: the record is guarded by a lock that is never held while waiting.
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "platform/event.h"
#include "platform/thread.h"
#include "thread/lock.h"

namespace vostrel::thread {

// How a stop treats a thread that is not the calling one: wait for it, or set it aside
// without waiting (for a stop made on another thread of the same owner, which must not wait
// for a sibling that may be waiting for it).
enum class JoinMode { kWait, kSetAside };

// A derived class whose Run uses its own members must stop its thread in its own destructor:
// by the time a base destructor runs, the derived part is gone.
class CSimpleThread {
  public:
    // Exit code of every thread started here.
    static constexpr int kExitCode = 123;

    virtual int Run() = 0;
    // Waits for every thread of this object that is still running, but the calling one.
    virtual ~CSimpleThread();

    // Starts the thread; false when one is already recorded, when called on a thread of this
    // object (a thread stopped from within itself would run on beside the new one), or when
    // the system refuses. A thread set aside by an earlier stop is waited for first.
    bool Start(const std::string& name) JVC_EXCLUDES(m_recordLock, m_joinLock);
    bool IsRecorded() const JVC_EXCLUDES(m_recordLock);
    // True on the recorded thread and on a thread set aside that has not been waited for.
    bool IsCurrentThread() const JVC_EXCLUDES(m_recordLock);
    const std::string& Name() const { return m_name; }
    uint32_t ThreadId() const JVC_EXCLUDES(m_recordLock);

  protected:
    CSimpleThread() = default;
    // Forgets the recorded thread. On the thread itself, or with kSetAside, it is set aside
    // without waiting (it ends once it is back in its loop, which sees the stop); otherwise
    // it is waited for without limit, with every thread set aside before.
    void JoinAndForget(JoinMode mode = JoinMode::kWait) JVC_EXCLUDES(m_recordLock, m_joinLock);
    // Waits for the threads set aside; false (and no wait) when called on a thread of this
    // object: a start from there would leave two threads running.
    bool JoinRetired() JVC_EXCLUDES(m_recordLock, m_joinLock);

    std::string m_name;

  private:
    static int Entry(void* self);
    bool OnOwnThread() const JVC_REQUIRES(m_recordLock);
    void SetAside() JVC_REQUIRES(m_recordLock);
    // Waits, one after another, for the threads set aside and, with all, the recorded one.
    void JoinOthers(bool all) JVC_EXCLUDES(m_recordLock, m_joinLock);
    std::unique_ptr<platform::Thread> TakeJoinable(bool all) JVC_REQUIRES(m_recordLock);

    // Held by the thread that waits for this object's threads: a second waiter waits until
    // the first has done. Never taken by a thread of this object.
    CLock m_joinLock;
    // Guards the record; short, never held while waiting.
    mutable CLock m_recordLock;
    std::unique_ptr<platform::Thread> m_thread JVC_GUARDED_BY(m_recordLock);
    uint32_t m_threadId JVC_GUARDED_BY(m_recordLock) = 0;
    // Threads stopped without being waited for; they may still finish their last item, tick
    // or host callback.
    std::vector<std::unique_ptr<platform::Thread>> m_retired JVC_GUARDED_BY(m_recordLock);
    // The thread being waited for, taken out of the record: still one of this object's.
    uint32_t m_joiningId JVC_GUARDED_BY(m_recordLock) = 0;
};

class CTickerThread : public CSimpleThread {
  public:
    int Run() override;
    // Stops the thread if its owner has not (a safety net: the owner's OnTick must still
    // exist while the thread runs, so the owner stops it first).
    ~CTickerThread() override;
    // Called on the ticker's thread once per period; an exception it throws is swallowed and
    // the ticks go on.
    virtual void OnTick() = 0;

    // The owner's start: creates the stop event when missing, resets it and starts the thread.
    bool StartTicker(const std::string& name);
    // The owner's stop: signals the stop event and waits for the thread (see JoinMode; never
    // on the thread itself), and for a ticker that was stopped from within itself before.
    void StopTicker(JoinMode mode = JoinMode::kWait);

  protected:
    std::unique_ptr<platform::Event> m_stopEvent;
    uint32_t m_period = 2000;
};

class CWorkItemThread : public CSimpleThread {
  public:
    class IWorkItem {
      public:
        virtual ~IWorkItem() = default;
    };

    int Run() override;
    ~CWorkItemThread() override;
    // Called on the worker for each item in posting order; the queue still owns the item
    // and deletes it afterwards, also when the handler throws.
    virtual void HandleWorkItem(IWorkItem* item) = 0;

    bool Start(const std::string& name);
    // Queues an item (any thread); false when not running or the item is null. The queue
    // owns what it takes; a refused item is deleted on return, so nothing can leak.
    bool PostWorkItem(std::unique_ptr<IWorkItem> item) JVC_EXCLUDES(m_queueLock);
    std::unique_ptr<IWorkItem> PopWorkItem() JVC_EXCLUDES(m_queueLock);
    // Deletes every queued item unhandled (any thread).
    void ClearWorkItems() JVC_EXCLUDES(m_queueLock);
    // Discards the queued items unhandled and waits for the thread (unless called on it),
    // and for a worker that was stopped from within itself before.
    void Stop() JVC_EXCLUDES(m_queueLock);
    // The same, choosing how a worker that is not the calling thread is treated.
    void Stop(JoinMode mode) JVC_EXCLUDES(m_queueLock);
    // Called by Stop before it waits for the worker: lets a subclass interrupt an item in
    // progress (cancel a request to a stalled peer) so that the stop returns at once.
    virtual void OnStopping() {}

  protected:
    CLock m_queueLock;
    std::deque<std::unique_ptr<IWorkItem>> m_queue JVC_GUARDED_BY(m_queueLock);
    // Made by Start before the worker runs and released by the destructor after it ended.
    std::unique_ptr<platform::Event> m_queueEvent;
    std::atomic<bool> m_running{false};
};

}  // namespace vostrel::thread
