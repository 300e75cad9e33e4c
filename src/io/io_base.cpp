#include "io/io_base.h"

#include <algorithm>
#include <memory>

namespace vostrel {

CIOBase::CIOBase(IDriver* driver) : m_driver(driver) {
    m_noHostCalls.Set();
    CAutoLock hold(m_stateLock);
    for (uint32_t i = 0, count = InputCount(); i < count; ++i) {
        m_inputStates[i] = kIOStateNone;
    }
}

CIOBase::~CIOBase() {
    // Normally a no-op: the derived class has stopped both threads already (and waited for
    // any that stopped from within a callback).
    CWorkItemThread::Stop();
    CTickerThread::StopTicker();
}

uint32_t CIOBase::InputCount() const {
    return static_cast<uint32_t>(std::max(0, m_driver->GetDeviceValues().first));
}

uint32_t CIOBase::OutputCount() const {
    return static_cast<uint32_t>(std::max(0, m_driver->GetDeviceValues().second));
}

uint32_t CIOBase::GetInputCount() {
    return InputCount();
}

uint32_t CIOBase::GetOutputCount() {
    return OutputCount();
}

bool CIOBase::SetCallback(ipcapture::ICaptureIOCallback* callback) {
    if (callback == nullptr) {
        return false;
    }
    m_callback = callback;
    return true;
}

namespace {
// The object whose host callback the calling thread is making, if any.
thread_local const CIOBase* t_hostCallOf = nullptr;
}  // namespace

// One host callback: counted while it runs, refused once a stop has begun.
class CIOBase::CHostCall {
  public:
    explicit CHostCall(CIOBase& io) : m_io(io), m_outer(t_hostCallOf) {
        CAutoLock hold(m_io.m_callLock);
        if (m_io.m_stopping) {
            return;
        }
        if (m_io.m_hostCalls++ == 0) {
            m_io.m_noHostCalls.Reset();
        }
        m_entered = true;
        t_hostCallOf = &m_io;
    }
    ~CHostCall() {
        if (!m_entered) {
            return;
        }
        t_hostCallOf = m_outer;
        CAutoLock hold(m_io.m_callLock);
        if (--m_io.m_hostCalls == 0) {
            m_io.m_noHostCalls.Set();
        }
    }
    CHostCall(const CHostCall&) = delete;
    CHostCall& operator=(const CHostCall&) = delete;
    bool Entered() const { return m_entered; }

  private:
    CIOBase& m_io;
    const CIOBase* const m_outer;
    bool m_entered = false;
};

// A Stop made inside one of this object's host callbacks: that callback is not waited for
// while the stop runs (it is the caller), and counts again once the stop returns into it.
class CIOBase::CStopInCall {
  public:
    explicit CStopInCall(CIOBase& io) : m_io(io), m_inCall(t_hostCallOf == &io) {
        if (m_inCall) {
            CAutoLock hold(m_io.m_callLock);
            if (--m_io.m_hostCalls == 0) {
                m_io.m_noHostCalls.Set();
            }
        }
    }
    ~CStopInCall() {
        if (m_inCall) {
            CAutoLock hold(m_io.m_callLock);
            if (m_io.m_hostCalls++ == 0) {
                m_io.m_noHostCalls.Reset();
            }
        }
    }
    CStopInCall(const CStopInCall&) = delete;
    CStopInCall& operator=(const CStopInCall&) = delete;

  private:
    CIOBase& m_io;
    const bool m_inCall;
};

bool CIOBase::OnOwnThread() const {
    return CWorkItemThread::IsCurrentThread() || CTickerThread::IsCurrentThread();
}

bool CIOBase::StoppedSince(uint64_t serial) {
    CAutoLock hold(m_callLock);
    return m_stopSerial != serial;
}

void CIOBase::WaitForHostCalls() {
    for (;;) {
        {
            CAutoLock hold(m_callLock);
            if (m_hostCalls == 0) {
                return;
            }
        }
        m_noHostCalls.Wait(platform::kInfinite);
    }
}

bool CIOBase::Start() {
    // On a worker a start is refused: it would have to wait for itself.
    if (OnOwnThread()) {
        return false;
    }
    CAutoLock life(m_lifeLock);
    // A worker stopped from within one of its own callbacks may still be on its way out; it
    // must have ended before callbacks and exchanges are allowed again.
    if (!CWorkItemThread::JoinRetired() || !CTickerThread::JoinRetired()) {
        return false;
    }
    uint64_t serial = 0;
    {
        CAutoLock hold(m_callLock);
        serial = m_stopSerial;
        m_stopping = false;
    }
    ResumeExchanges();
    // A stop that came meanwhile has cancelled the exchanges again, or Synchronise sees it.
    if (!Synchronise(serial)) {
        return false;
    }
    return StartThreads(serial);
}

bool CIOBase::Synchronise(uint64_t serial) {
    // Every input starts at none, so each one that reads make or break is reported; then
    // every output is driven to break. The outcome does not change Start's result.
    if (InputCount() > 0 && !PollInputs()) {
        FailureReaction();
        return !StoppedSince(serial);
    }
    for (uint32_t i = 0; i < OutputCount(); ++i) {
        if (StoppedSince(serial)) {
            return false;
        }
        {
            CAutoLock hold(m_stateLock);
            m_outputStates[i] = kIOStateBreak;
        }
        if (!SetOutputState(i, kIOStateBreak)) {
            FailureReaction();
            break;
        }
    }
    return !StoppedSince(serial);
}

bool CIOBase::StartThreads(uint64_t serial) {
    // The threads that have something to do. Starting one that already runs fails. A stop
    // made from now on finds them recorded and stops them.
    bool started = true;
    if (OutputCount() > 0) {
        started = CWorkItemThread::Start(kOutputThreadName) && started;
    }
    if (InputCount() > 0) {
        started = CTickerThread::StartTicker(kInputThreadName) && started;
    }
    return started && !StoppedSince(serial);
}

bool CIOBase::Stop() {
    CStopInCall self(*this);
    {
        CAutoLock hold(m_callLock);
        m_stopping = true;
        ++m_stopSerial;
    }
    // Cancel first: a worker (or a Start) blocked in an exchange with a stalled camera
    // returns at once. The exchanges stay refused until the next Start, when the workers
    // have ended.
    CancelExchanges();
    WaitForHostCalls();
    if (OnOwnThread()) {
        // Inside a callback on a worker: the sibling may be stopping from its own callback
        // and waiting for this one, so neither is waited for here.
        CWorkItemThread::Stop(thread::JoinMode::kSetAside);
        CTickerThread::StopTicker(thread::JoinMode::kSetAside);
    } else {
        CAutoLock life(m_lifeLock);
        CWorkItemThread::Stop();
        CTickerThread::StopTicker();
    }
    ResetStates();
    return true;
}

bool CIOBase::SetOutput(uint32_t output, int32_t state) {
    try {
        return PostWorkItem(std::make_unique<CWorkItem>(output, state));
    } catch (...) {
        return false;  // no memory for the request
    }
}

void CIOBase::HandleWorkItem(IWorkItem* workItem) {
    const auto* item = dynamic_cast<const CWorkItem*>(workItem);
    if (item == nullptr) {
        return;
    }
    {
        CAutoLock hold(m_stateLock);
        auto entry = m_outputStates.find(item->m_output);
        // No entry: an output at or beyond the count at the last reset. The same state: the
        // output already has it (or was asked for it), nothing to send.
        if (entry == m_outputStates.end() || entry->second == item->m_state) {
            return;
        }
        entry->second = item->m_state;
    }
    if (!SetOutputState(item->m_output, item->m_state)) {
        FailureReaction();
    }
}

void CIOBase::OnTick() {
    try {
        if (!PollInputs()) {
            FailureReaction();
        }
    } catch (...) {
        // A poll must never end the input thread; the next tick polls again.
    }
}

bool CIOBase::UpdateInputState(uint32_t input, int32_t state) {
    {
        CAutoLock hold(m_stateLock);
        auto entry = m_inputStates.find(input);
        if (entry == m_inputStates.end() || entry->second == state) {
            return false;
        }
        entry->second = state;
    }
    ReportInputChanged(input, state);
    return true;
}

void CIOBase::ResetStates() {
    const uint32_t outputs = OutputCount();
    const uint32_t inputs = InputCount();
    CAutoLock hold(m_stateLock);
    m_outputStates.clear();
    for (uint32_t i = 0; i < outputs; ++i) {
        m_outputStates[i] = kIOStateNone;
    }
    m_inputStates.clear();
    for (uint32_t i = 0; i < inputs; ++i) {
        m_inputStates[i] = kIOStateNone;
    }
}

void CIOBase::FailureReaction() {
    if (m_stopping) {
        return;
    }
    ResetStates();
    ReportFailure();
}

void CIOBase::ReportInputChanged(uint32_t input, int32_t state) {
    ipcapture::ICaptureIOCallback* callback = m_callback;
    CHostCall call(*this);
    if (callback == nullptr || !call.Entered()) {
        return;
    }
    try {
        callback->OnInputChanged(input, state);
    } catch (...) {
        // The host's exception stays on the host's side.
    }
}

void CIOBase::ReportFailure() {
    ipcapture::ICaptureIOCallback* callback = m_callback;
    CHostCall call(*this);
    if (callback == nullptr || !call.Entered()) {
        return;
    }
    try {
        callback->OnIOFailure();
    } catch (...) {
        // The host's exception stays on the host's side.
    }
}

}  // namespace vostrel
