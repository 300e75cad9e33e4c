#pragma once
// Threads started with an entry function, joinable with a time-out. There is no forced
// termination: every worker of the module must end by itself once asked to stop.
#include <cstdint>
#include <memory>

namespace platform {

using ThreadEntry = int (*)(void* arg);

class Thread {
  public:
    // Starts a thread that runs entry(arg); null when the system refuses to start one.
    static std::unique_ptr<Thread> Start(ThreadEntry entry, void* arg);
    ~Thread();  // Joins when the thread has ended, otherwise detaches it.
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    uint32_t Id() const;
    // Waits up to timeoutMs (kInfinite: no limit) for the thread to end; true when it ended.
    bool Join(uint32_t timeoutMs);
    bool HasEnded() const;
    int ExitCode() const;  // The entry's result, once the thread has ended.

    struct State;

  private:
    explicit Thread(std::shared_ptr<State> state);
    std::shared_ptr<State> m_state;
};

// Id of the calling thread (the kernel's thread id: never 0). Cached per thread, so it costs
// no system call after the first (also right in a child process after fork).
uint32_t CurrentThreadId();
// Number of processors available to the process.
unsigned ProcessorCount();

}  // namespace platform
