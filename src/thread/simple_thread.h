#pragma once
// The thread classes: CSimpleThread runs Run() on a thread of its own; CTickerThread calls
// OnTick() periodically until its stop event is signalled; CWorkItemThread handles queued
// work items one after another in posting order.
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

// A derived class whose Run uses its own members must stop its thread in its own destructor:
// by the time a base destructor runs, the derived part is gone.
class CSimpleThread {
  public:
    // Exit code of every thread started here.
    static constexpr int kExitCode = 123;

    virtual int Run() = 0;
    virtual ~CSimpleThread();

    // Starts the thread; false when one is already recorded, when called on a thread of this
    // object that was stopped from within itself and has not ended yet (it would run on
    // beside the new one), or when the system refuses.
    bool Start(const std::string& name);
    bool IsRecorded() const { return m_thread != nullptr; }
    bool IsCurrentThread() const;
    const std::string& Name() const { return m_name; }
    uint32_t ThreadId() const { return m_threadId; }

  protected:
    CSimpleThread() = default;
    // Waits for the recorded thread without limit and forgets it. Called on the thread
    // itself, it does not wait: the thread is set aside as retired (it ends once it returns
    // to its loop) and the object can be started again from another thread.
    void JoinAndForget();
    // Waits for the retired threads other than the calling one; false when the calling
    // thread is itself retired (a restart from there would leave two threads running).
    bool JoinRetired();

    std::string m_name;
    std::unique_ptr<platform::Thread> m_thread;
    uint32_t m_threadId = 0;
    // Threads stopped from within themselves that may still be finishing their last item or
    // tick. Owned like m_thread: by the owner's start and stop calls.
    std::vector<std::unique_ptr<platform::Thread>> m_retired;

  private:
    static int Entry(void* self);
};

class CTickerThread : public CSimpleThread {
  public:
    int Run() override;
    ~CTickerThread() override;
    // Called on the ticker's thread once per period; an exception it throws is swallowed and
    // the ticks go on.
    virtual void OnTick() = 0;

    // The owner's start: creates the stop event when missing, resets it and starts the thread.
    bool StartTicker(const std::string& name);
    // The owner's stop: signals the stop event and waits for the thread (unless called on it).
    void StopTicker();

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
    // Discards the queued items unhandled and waits for the thread (unless called on it).
    void Stop() JVC_EXCLUDES(m_queueLock);
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
