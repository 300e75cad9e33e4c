#include "thread/simple_thread.h"

namespace vostrel::thread {

CSimpleThread::~CSimpleThread() = default;

int CSimpleThread::Entry(void* self) {
    static_cast<CSimpleThread*>(self)->Run();
    return kExitCode;
}

bool CSimpleThread::Start(const std::string& name) {
    if (m_thread || !JoinRetired()) {
        return false;
    }
    m_name = name;
    m_thread = platform::Thread::Start(&CSimpleThread::Entry, this);
    if (!m_thread) {
        m_threadId = 0;
        return false;
    }
    m_threadId = m_thread->Id();
    return true;
}

bool CSimpleThread::IsCurrentThread() const {
    return m_thread && m_thread->Id() == platform::CurrentThreadId();
}

bool CSimpleThread::JoinRetired() {
    // Joined and compacted in place, with no allocation: this runs inside stops and
    // destructors.
    const uint32_t self = platform::CurrentThreadId();
    size_t kept = 0;
    for (auto& retired : m_retired) {
        if (retired->Id() == self) {
            m_retired[kept++] = std::move(retired);
        } else {
            retired->Join(platform::kInfinite);
        }
    }
    m_retired.resize(kept);
    return kept == 0;
}

void CSimpleThread::JoinAndForget() {
    JoinRetired();
    if (!m_thread) {
        return;
    }
    if (IsCurrentThread()) {
        // A thread never waits for itself: it is set aside and ends once it is back in its
        // loop, which sees the stop. The next start or stop from another thread joins it.
        // Without memory to set it aside, it stays recorded (a later start then fails).
        try {
            m_retired.push_back(std::move(m_thread));
        } catch (...) {
            return;
        }
    } else {
        m_thread->Join(platform::kInfinite);
        m_thread.reset();
    }
    m_threadId = 0;
}

// ---- CTickerThread ----

CTickerThread::~CTickerThread() = default;

int CTickerThread::Run() {
    while (m_stopEvent->Wait(m_period) != platform::WaitResult::Signalled) {
        try {
            OnTick();
        } catch (...) {
            // A failing tick must not end the thread (nor the process): the next one comes.
        }
    }
    return 0;
}

bool CTickerThread::StartTicker(const std::string& name) {
    // A retired ticker must have ended before the stop event is reset, or it would tick on.
    if (m_thread || !JoinRetired()) {
        return false;
    }
    if (!m_stopEvent) {
        m_stopEvent = std::make_unique<platform::Event>(false);
    }
    m_stopEvent->Reset();
    return Start(name);
}

void CTickerThread::StopTicker() {
    if (!m_thread) {
        return;
    }
    m_stopEvent->Set();
    JoinAndForget();
}

// ---- CWorkItemThread ----

CWorkItemThread::~CWorkItemThread() {
    Stop();
    m_queueEvent.reset();
}

bool CWorkItemThread::Start(const std::string& name) {
    // A retired worker must have ended before the running flag is set again, or it would
    // handle items beside the new one.
    if (m_thread || !JoinRetired()) {
        return false;
    }
    if (!m_queueEvent) {
        m_queueEvent = std::make_unique<platform::Event>(false);
    }
    m_running = true;
    return CSimpleThread::Start(name);
}

bool CWorkItemThread::PostWorkItem(std::unique_ptr<IWorkItem> item) {
    if (!m_running || item == nullptr || !m_queueEvent) {
        return false;
    }
    {
        CAutoLock hold(m_queueLock);
        m_queue.push_back(std::move(item));
    }
    m_queueEvent->Set();
    return true;
}

std::unique_ptr<CWorkItemThread::IWorkItem> CWorkItemThread::PopWorkItem() {
    CAutoLock hold(m_queueLock);
    if (m_queue.empty()) {
        return nullptr;
    }
    std::unique_ptr<IWorkItem> item = std::move(m_queue.front());
    m_queue.pop_front();
    return item;
}

void CWorkItemThread::ClearWorkItems() {
    std::deque<std::unique_ptr<IWorkItem>> discarded;
    {
        CAutoLock hold(m_queueLock);
        discarded.swap(m_queue);
    }
    // The items are deleted outside the lock: a destructor may post or clear again.
}

void CWorkItemThread::Stop() {
    m_running = false;
    ClearWorkItems();
    if (m_queueEvent) {
        m_queueEvent->Set();
    }
    if (m_thread) {
        OnStopping();
    }
    JoinAndForget();
}

int CWorkItemThread::Run() {
    while (m_running) {
        if (m_queueEvent->Wait(1000) != platform::WaitResult::Signalled) {
            continue;
        }
        for (;;) {
            std::unique_ptr<IWorkItem> item = PopWorkItem();
            if (!m_running || item == nullptr) {
                break;  // a stop discards the popped item with the rest
            }
            try {
                HandleWorkItem(item.get());
            } catch (...) {
                // A failing handler must not end the thread; the item is still deleted.
            }
        }
    }
    ClearWorkItems();
    return 0;
}

}  // namespace vostrel::thread
