#include "platform/thread.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "platform/event.h"

namespace platform {

struct Thread::State {
    ThreadEntry entry = nullptr;
    void* arg = nullptr;
    pthread_t handle{};
    Event ended{true};
    Event idKnown{true};
    std::atomic<uint32_t> id{0};
    std::atomic<int> exitCode{0};
    std::atomic<bool> joined{false};
};

namespace {

void* ThreadMain(void* raw) {
    // The thread holds its own reference, so the state outlives a detached handle.
    auto* holder = static_cast<std::shared_ptr<Thread::State>*>(raw);
    std::shared_ptr<Thread::State> state = std::move(*holder);
    delete holder;
    state->id = CurrentThreadId();
    state->idKnown.Set();
    state->exitCode = state->entry(state->arg);
    state->ended.Set();
    return nullptr;
}

}  // namespace

std::unique_ptr<Thread> Thread::Start(ThreadEntry entry, void* arg) {
    auto state = std::make_shared<State>();
    state->entry = entry;
    state->arg = arg;
    auto* holder = new std::shared_ptr<State>(state);
    if (pthread_create(&state->handle, nullptr, &ThreadMain, holder) != 0) {
        delete holder;
        return nullptr;
    }
    state->idKnown.Wait(kInfinite);
    return std::unique_ptr<Thread>(new Thread(std::move(state)));
}

Thread::Thread(std::shared_ptr<State> state) : m_state(std::move(state)) {}

Thread::~Thread() {
    if (m_state->joined) {
        return;
    }
    if (HasEnded()) {
        pthread_join(m_state->handle, nullptr);
    } else {
        pthread_detach(m_state->handle);
    }
}

uint32_t Thread::Id() const {
    return m_state->id;
}

bool Thread::Join(uint32_t timeoutMs) {
    if (m_state->joined) {
        return true;
    }
    if (m_state->ended.Wait(timeoutMs) != WaitResult::Signalled) {
        return false;
    }
    pthread_join(m_state->handle, nullptr);
    m_state->joined = true;
    return true;
}

bool Thread::HasEnded() const {
    return m_state->ended.IsSet();
}

int Thread::ExitCode() const {
    return m_state->exitCode;
}

namespace {

// The calling thread's id, asked of the kernel once per thread (0: not asked yet). Locks ask
// for it on every entry, and a system call there would cost far more than the lock itself.
thread_local uint32_t t_threadId = 0;

// A child process runs on a new thread: the id its forking thread cached is not its own.
void ForgetThreadIdInChild() {
    t_threadId = 0;
}

}  // namespace

uint32_t CurrentThreadId() {
    uint32_t id = t_threadId;
    if (id == 0) [[unlikely]] {
        static const bool forkHandled =
            pthread_atfork(nullptr, nullptr, &ForgetThreadIdInChild) == 0;
        (void)forkHandled;
        id = static_cast<uint32_t>(syscall(SYS_gettid));
        t_threadId = id;
    }
    return id;
}

unsigned ProcessorCount() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1u;
}

}  // namespace platform
