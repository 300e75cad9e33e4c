// Thread kit: the recursive lock under contention, the work-item queue's order and discard
// rules, the ticker's period and stop, events and the time stamp.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/system.h"
#include "thread/event.h"
#include "thread/lock.h"
#include "thread/simple_thread.h"
#include "thread/time.h"

using namespace vostrel;
using namespace vostrel::thread;
using namespace std::chrono_literals;

namespace {

// A latch the tests wait on instead of sleeping.
class Counter {
  public:
    void Add(int n = 1) {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_value += n;
        }
        m_cond.notify_all();
    }
    int Get() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_value;
    }
    bool WaitFor(int value, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, timeout, [&] { return m_value >= value; });
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    int m_value = 0;
};

}  // namespace

TEST(LockTest, ExcludesUnderContentionAndCountsExactly) {
    CLock lock;
    long long total = 0;  // deliberately not atomic: only the lock protects it
    constexpr int kThreads = 4;
    constexpr int kIterations = 50000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kIterations; ++i) {
                CAutoLock hold(lock);
                // Re-entering inside the section must not deadlock or break exclusion.
                if (i % 100 == 0) {
                    CAutoLock again(lock);
                    ++total;
                } else {
                    ++total;
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(total, static_cast<long long>(kThreads) * kIterations);
}

TEST(LockTest, RecursiveHolderMustLeaveAsOftenAsItEntered) {
    CLock lock;
    platform::Event enteredTwice(true), leftOnce(true), leaveSecond(true);
    std::thread holder([&] {
        lock.Enter();
        lock.Enter();
        enteredTwice.Set();
        lock.Leave();
        leftOnce.Set();
        leaveSecond.Wait(platform::kInfinite);
        lock.Leave();
    });
    enteredTwice.Wait(platform::kInfinite);
    leftOnce.Wait(platform::kInfinite);
    // Still held once: another thread can neither try nor take it.
    EXPECT_FALSE(lock.TryEnter());

    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        lock.Enter();
        acquired = true;
        lock.Leave();
    });
    EXPECT_FALSE(acquired.load());
    leaveSecond.Set();
    waiter.join();
    holder.join();
    EXPECT_TRUE(acquired.load());
    ASSERT_TRUE(lock.TryEnter());
    lock.Leave();
}

TEST(LockTest, TryEnterSucceedsForTheHolderAgain) {
    CLock lock;
    ASSERT_TRUE(lock.TryEnter());
    ASSERT_TRUE(lock.TryEnter());
    lock.Leave();
    lock.Leave();
    std::thread other([&] {
        EXPECT_TRUE(lock.TryEnter());
        lock.Leave();
    });
    other.join();
}

namespace {

struct Item : CWorkItemThread::IWorkItem {
    Item(int id, Counter& deleted) : id(id), deleted(deleted) {}
    ~Item() override { deleted.Add(); }
    int id;
    Counter& deleted;
};

class RecordingWorker : public CWorkItemThread {
  public:
    ~RecordingWorker() override { Stop(); }

    void HandleWorkItem(IWorkItem* raw) override {
        auto* item = static_cast<Item*>(raw);
        if (item->id == blockOn) {
            blocked.Set();
            release.Wait(platform::kInfinite);
        }
        if (item->id == throwOn) {
            handled.Add();
            throw std::runtime_error("handler failure");
        }
        {
            std::lock_guard<std::mutex> guard(orderMutex);
            order.push_back(item->id);
        }
        handled.Add();
        if (item->id == stopOn) {
            Stop();  // from the worker itself: must not wait for itself
        }
    }

    int blockOn = -1;
    int throwOn = -1;
    int stopOn = -1;
    platform::Event blocked{true};
    platform::Event release{true};
    std::mutex orderMutex;
    std::vector<int> order;
    Counter handled;
};

}  // namespace

TEST(WorkItemThreadTest, HandlesItemsInPostingOrder) {
    Counter deleted;
    RecordingWorker worker;
    worker.blockOn = 0;
    ASSERT_TRUE(worker.Start("worker"));
    EXPECT_FALSE(worker.Start("again"));  // one thread only
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(worker.PostWorkItem(std::make_unique<Item>(i, deleted)));
        if (i == 0) {
            worker.blocked.Wait(platform::kInfinite);  // items 1.. queue up behind it
        }
    }
    worker.release.Set();
    ASSERT_TRUE(worker.handled.WaitFor(50));
    ASSERT_TRUE(deleted.WaitFor(50));
    std::vector<int> expected(50);
    for (int i = 0; i < 50; ++i) {
        expected[static_cast<size_t>(i)] = i;
    }
    std::lock_guard<std::mutex> guard(worker.orderMutex);
    EXPECT_EQ(worker.order, expected);
}

TEST(WorkItemThreadTest, StopDiscardsQueuedItemsUnhandled) {
    Counter deleted;
    RecordingWorker worker;
    worker.blockOn = 0;
    ASSERT_TRUE(worker.Start("worker"));
    ASSERT_TRUE(worker.PostWorkItem(std::make_unique<Item>(0, deleted)));
    worker.blocked.Wait(platform::kInfinite);
    for (int i = 1; i <= 5; ++i) {
        ASSERT_TRUE(worker.PostWorkItem(std::make_unique<Item>(i, deleted)));
    }
    std::thread stopper([&] { worker.Stop(); });
    // The five queued items are deleted by Stop while item 0 is still being handled.
    ASSERT_TRUE(deleted.WaitFor(5));
    EXPECT_EQ(worker.handled.Get(), 0);
    worker.release.Set();
    stopper.join();
    EXPECT_EQ(deleted.Get(), 6);
    EXPECT_EQ(worker.handled.Get(), 1);
    // Stopped: nothing more is accepted, and the refused item is deleted unhandled.
    EXPECT_FALSE(worker.PostWorkItem(std::make_unique<Item>(99, deleted)));
    EXPECT_EQ(deleted.Get(), 7);
    EXPECT_EQ(worker.handled.Get(), 1);
}

TEST(WorkItemThreadTest, PostBeforeStartIsRefusedAndTheItemDeletedUnhandled) {
    Counter deleted;
    RecordingWorker worker;
    EXPECT_FALSE(worker.PostWorkItem(std::make_unique<Item>(1, deleted)));
    EXPECT_EQ(deleted.Get(), 1);
    EXPECT_EQ(worker.handled.Get(), 0);
    EXPECT_FALSE(worker.PostWorkItem(nullptr));
}

TEST(WorkItemThreadTest, ThrowingHandlerStillDeletesItemAndGoesOn) {
    Counter deleted;
    RecordingWorker worker;
    worker.throwOn = 1;
    ASSERT_TRUE(worker.Start("worker"));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(worker.PostWorkItem(std::make_unique<Item>(i, deleted)));
    }
    ASSERT_TRUE(worker.handled.WaitFor(3));
    ASSERT_TRUE(deleted.WaitFor(3));
    std::lock_guard<std::mutex> guard(worker.orderMutex);
    EXPECT_EQ(worker.order, (std::vector<int>{0, 2}));
}

// Starts the worker and has it stop itself while it handles its first item.
static void StopItselfOnItsFirstItem(RecordingWorker& worker, Counter& deleted) {
    worker.stopOn = 0;
    ASSERT_TRUE(worker.Start("worker"));
    ASSERT_TRUE(worker.PostWorkItem(std::make_unique<Item>(0, deleted)));
    ASSERT_TRUE(worker.handled.WaitFor(1));
    ASSERT_TRUE(deleted.WaitFor(1));
}

TEST(WorkItemThreadTest, StopFromTheWorkerItselfDoesNotDeadlock) {
    Counter deleted;
    RecordingWorker worker;
    ASSERT_NO_FATAL_FAILURE(StopItselfOnItsFirstItem(worker, deleted));
    worker.Stop();  // the owner's stop joins the ended thread
    EXPECT_FALSE(worker.IsRecorded());
}

TEST(WorkItemThreadTest, AWorkerStoppedFromWithinCanBeStartedAgain) {
    Counter deleted;
    RecordingWorker worker;
    ASSERT_NO_FATAL_FAILURE(StopItselfOnItsFirstItem(worker, deleted));
    // No second stop: the start itself waits for the thread that stopped itself.
    ASSERT_TRUE(worker.Start("worker again"));
    ASSERT_TRUE(worker.PostWorkItem(std::make_unique<Item>(1, deleted)));
    ASSERT_TRUE(worker.handled.WaitFor(2));
    std::lock_guard<std::mutex> guard(worker.orderMutex);
    EXPECT_EQ(worker.order, (std::vector<int>{0, 1}));
}

namespace {

class CountingTicker : public CTickerThread {
  public:
    explicit CountingTicker(uint32_t period) { m_period = period; }
    ~CountingTicker() override { StopTicker(); }
    void OnTick() override {
        ticks.Add();
        if (throwEvery != 0 && ticks.Get() % throwEvery == 0) {
            throw std::runtime_error("tick failure");
        }
        if (throwOther) {
            throw 42;  // not even a std::exception
        }
    }
    Counter ticks;
    int throwEvery = 0;
    bool throwOther = false;
};

}  // namespace

TEST(TickerThreadTest, TicksRepeatedlyUntilStopped) {
    CountingTicker ticker(5);
    ASSERT_TRUE(ticker.StartTicker("ticker"));
    EXPECT_FALSE(ticker.StartTicker("again"));
    ASSERT_TRUE(ticker.ticks.WaitFor(3));
    ticker.StopTicker();
    int after = ticker.ticks.Get();
    EXPECT_FALSE(ticker.IsRecorded());
    // No tick after the stop has returned.
    EXPECT_EQ(ticker.ticks.Get(), after);
    // It can be started again.
    ASSERT_TRUE(ticker.StartTicker("ticker"));
    ASSERT_TRUE(ticker.ticks.WaitFor(after + 1));
}

TEST(TickerThreadTest, ThrowingTickDoesNotEndTheThread) {
    CountingTicker ticker(2);
    ticker.throwEvery = 2;
    ASSERT_TRUE(ticker.StartTicker("throwing"));
    // Ticks 2 and 4 throw; the thread lives on to tick again.
    ASSERT_TRUE(ticker.ticks.WaitFor(5));
    ticker.StopTicker();

    CountingTicker other(2);
    other.throwOther = true;
    ASSERT_TRUE(other.StartTicker("throwing anything"));
    ASSERT_TRUE(other.ticks.WaitFor(3));
    other.StopTicker();
}

namespace {

// A ticker that stops itself inside its first tick and stays in that tick for a while: the
// owner's next stop (or the destruction) must wait for it to leave.
class SelfStoppingTicker : public CTickerThread {
  public:
    SelfStoppingTicker() { m_period = 1; }
    ~SelfStoppingTicker() override { StopTicker(); }
    void OnTick() override {
        if (ticks.Get() > 0) {
            return;
        }
        ticks.Add();
        StopTicker();  // from the ticker itself: must not wait for itself
        stopped.Set();
        ownerReturnedDuringTick = ownerReturned.Wait(300);
        leftTick.Set();
    }
    Counter ticks;
    CManualEvent stopped, ownerReturned, leftTick;
    std::atomic<bool> ownerReturnedDuringTick{false};
};

}  // namespace

TEST(TickerThreadTest, AStopFromWithinATickIsWaitedForByTheOwnersNextStop) {
    SelfStoppingTicker ticker;
    ASSERT_TRUE(ticker.StartTicker("self-stopping"));
    ASSERT_TRUE(ticker.stopped.Wait(10000));
    EXPECT_FALSE(ticker.IsRecorded());
    ticker.StopTicker();
    ticker.ownerReturned.Set();
    EXPECT_TRUE(ticker.leftTick.Wait(0));
    EXPECT_FALSE(ticker.ownerReturnedDuringTick.load());
    EXPECT_EQ(ticker.ticks.Get(), 1);
}

TEST(TickerThreadTest, StopEndsTheWaitAtOnceWithoutATick) {
    // A period far beyond the test time-out: only the stop event can end the wait.
    CountingTicker ticker(3600 * 1000);
    ASSERT_TRUE(ticker.StartTicker("slow"));
    ticker.StopTicker();
    EXPECT_EQ(ticker.ticks.Get(), 0);
}

TEST(EventTest, ManualStaysSignalledAutoLetsOneWaiterThrough) {
    CManualEvent manual;
    EXPECT_FALSE(manual.Wait(0));
    manual.Set();
    EXPECT_TRUE(manual.Wait(0));
    EXPECT_TRUE(manual.Wait(0));
    manual.Reset();
    EXPECT_FALSE(manual.Wait(0));

    CEvent automatic;
    automatic.Set();
    automatic.Set();  // setting a signalled event does not count twice
    EXPECT_TRUE(automatic.Wait(0));
    EXPECT_FALSE(automatic.Wait(0));

    // A waiter on another thread is woken by Set.
    std::thread waiter([&] { EXPECT_TRUE(automatic.Wait(platform::kInfinite)); });
    automatic.Set();
    waiter.join();
}

TEST(TimeTest, StampIsAFileTimeAndTouchMovesItForward) {
    CTime stamp;
    uint64_t first = stamp.Get();
    // 2020-01-01 as a file time; any current clock is later.
    EXPECT_GT(first, 132223104000000000ull);
    // Waits until the clock has moved past the stamp (bounded), so a touch must change it.
    platform::Event never(true);
    for (int i = 0; i < 1000 && platform::CurrentFileTime() <= first; ++i) {
        never.Wait(1);
    }
    const uint64_t before = platform::CurrentFileTime();
    ASSERT_GT(before, first);
    stamp.Touch();
    const uint64_t touched = stamp.Get();
    EXPECT_GE(touched, before);
    EXPECT_LE(touched, platform::CurrentFileTime());
}

TEST(TimeTest, SteadyStampMeasuresElapsedTimeFromTheLastTouch) {
    CSteadyTime stamp;
    platform::Event never(true);
    never.Wait(30);  // nothing sets it: a 30 ms pause
    const uint64_t elapsed = stamp.ElapsedMs();
    EXPECT_GE(elapsed, 30u);
    EXPECT_LT(elapsed, 60000u);
    stamp.Touch();
    EXPECT_LT(stamp.ElapsedMs(), elapsed);
}
