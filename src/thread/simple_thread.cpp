#include "thread/simple_thread.h"

namespace vostrel::thread {

CSimpleThread::~CSimpleThread() {
    // Normally nothing is left: the derived class has stopped its thread. A thread set aside
    // is still waited for; only one destroying its own object finishes unwaited.
    JoinAndForget(JoinMode::kWait);
}

int CSimpleThread::Entry(void* self) {
    static_cast<CSimpleThread*>(self)->Run();
    return kExitCode;
}

bool CSimpleThread::Start(const std::string& name) {
    if (!JoinRetired()) {
        return false;
    }
    CAutoLock hold(m_recordLock);
    if (m_thread) {
        return false;
    }
    m_name = name;
    m_thread = platform::Thread::Start(&CSimpleThread::Entry, this);
    m_threadId = m_thread ? m_thread->Id() : 0;
    return m_thread != nullptr;
}

bool CSimpleThread::IsRecorded() const {
    CAutoLock hold(m_recordLock);
    return m_thread != nullptr;
}

uint32_t CSimpleThread::ThreadId() const {
    CAutoLock hold(m_recordLock);
    return m_threadId;
}

bool CSimpleThread::IsCurrentThread() const {
    CAutoLock hold(m_recordLock);
    return OnOwnThread();
}

bool CSimpleThread::OnOwnThread() const {
    const uint32_t self = platform::CurrentThreadId();
    if ((m_thread && m_thread->Id() == self) || m_joiningId == self) {
        return true;
    }
    for (const auto& retired : m_retired) {
        if (retired->Id() == self) {
            return true;
        }
    }
    return false;
}

void CSimpleThread::SetAside() {
    // Without memory to set it aside, the thread stays recorded: a later stop from another
    // thread still waits for it, and a start fails until then.
    try {
        m_retired.reserve(m_retired.size() + 1);
    } catch (...) {
        return;
    }
    m_retired.push_back(std::move(m_thread));
    m_threadId = 0;
}

std::unique_ptr<platform::Thread> CSimpleThread::TakeJoinable(bool all) {
    std::unique_ptr<platform::Thread> next;
    if (!m_retired.empty()) {
        next = std::move(m_retired.back());
        m_retired.pop_back();
    } else if (all && m_thread) {
        next = std::move(m_thread);
        m_threadId = 0;
    }
    m_joiningId = next ? next->Id() : 0;
    return next;
}

void CSimpleThread::JoinOthers(bool all) {
    // The thread waited for stays one of this object's (m_joiningId) until it ended, so a
    // stop it makes meanwhile sets nothing aside and never waits here.
    CAutoLock joining(m_joinLock);
    for (;;) {
        std::unique_ptr<platform::Thread> next;
        {
            CAutoLock hold(m_recordLock);
            next = TakeJoinable(all);
        }
        if (!next) {
            return;
        }
        next->Join(platform::kInfinite);
        CAutoLock hold(m_recordLock);
        m_joiningId = 0;
    }
}

void CSimpleThread::JoinAndForget(JoinMode mode) {
    {
        CAutoLock hold(m_recordLock);
        const bool own = OnOwnThread();
        if (m_thread && (own || mode == JoinMode::kSetAside)) {
            SetAside();
        }
        if (own || mode == JoinMode::kSetAside) {
            return;  // waited for by the next stop, start or destruction from elsewhere
        }
    }
    JoinOthers(true);
}

bool CSimpleThread::JoinRetired() {
    {
        CAutoLock hold(m_recordLock);
        if (OnOwnThread()) {
            return false;
        }
    }
    JoinOthers(false);
    return true;
}

// ---- CTickerThread ----

CTickerThread::~CTickerThread() {
    StopTicker();
}

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
    // A ticker set aside must have ended before the stop event is reset, or it would tick on.
    if (!JoinRetired() || IsRecorded()) {
        return false;
    }
    if (!m_stopEvent) {
        m_stopEvent = std::make_unique<platform::Event>(false);
    }
    m_stopEvent->Reset();
    return Start(name);
}

void CTickerThread::StopTicker(JoinMode mode) {
    // Also with no thread recorded: one that stopped itself may still be finishing its tick.
    if (m_stopEvent && IsRecorded()) {
        m_stopEvent->Set();
    }
    JoinAndForget(mode);
}

// ---- CWorkItemThread ----

CWorkItemThread::~CWorkItemThread() {
    Stop();
    m_queueEvent.reset();
}

bool CWorkItemThread::Start(const std::string& name) {
    // A worker set aside must have ended before the running flag is set again, or it would
    // handle items beside the new one.
    if (!JoinRetired() || IsRecorded()) {
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
    Stop(JoinMode::kWait);
}

void CWorkItemThread::Stop(JoinMode mode) {
    m_running = false;
    ClearWorkItems();
    if (m_queueEvent) {
        m_queueEvent->Set();
    }
    if (IsRecorded()) {
        OnStopping();
    }
    JoinAndForget(mode);
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
