// Cost of an uncontended enter/leave of CLock against std::mutex in the same run. A second
// thread is alive throughout, as in the module (channel, PTZ and I/O threads), so that the
// runtime takes its multi-threaded paths.
#include <benchmark/benchmark.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "thread/lock.h"

namespace {

// A thread that waits until it is told to end.
class IdleThread {
  public:
    IdleThread()
        : m_thread([this] {
              std::unique_lock<std::mutex> lock(m_mutex);
              m_cond.wait(lock, [this] { return m_stop; });
          }) {}
    ~IdleThread() {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_stop = true;
        }
        m_cond.notify_all();
        m_thread.join();
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_stop = false;
    std::thread m_thread;
};

void CLockEnterLeave(benchmark::State& state) {
    IdleThread other;
    vostrel::CLock lock;
    for (auto _ : state) {
        lock.Enter();
        lock.Leave();
    }
}
BENCHMARK(CLockEnterLeave);

void CLockNestedEnterLeave(benchmark::State& state) {
    IdleThread other;
    vostrel::CLock lock;
    lock.Enter();
    for (auto _ : state) {
        lock.Enter();  // re-entry by the holder
        lock.Leave();
    }
    lock.Leave();
}
BENCHMARK(CLockNestedEnterLeave);

void StdMutexLockUnlock(benchmark::State& state) {
    IdleThread other;
    std::mutex mutex;
    for (auto _ : state) {
        mutex.lock();
        mutex.unlock();
    }
}
BENCHMARK(StdMutexLockUnlock);

void StdRecursiveMutexNested(benchmark::State& state) {
    IdleThread other;
    std::recursive_mutex mutex;
    mutex.lock();
    for (auto _ : state) {
        mutex.lock();
        mutex.unlock();
    }
    mutex.unlock();
}
BENCHMARK(StdRecursiveMutexNested);

}  // namespace

BENCHMARK_MAIN();
