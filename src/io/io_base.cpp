#include "io/io_base.h"

#include <algorithm>
#include <memory>

namespace vostrel {

CIOBase::CIOBase(IDriver* driver) : m_driver(driver) {
    CAutoLock hold(m_stateLock);
    for (uint32_t i = 0, count = InputCount(); i < count; ++i) {
        m_inputStates[i] = kIOStateNone;
    }
}

CIOBase::~CIOBase() {
    // Normally a no-op: the derived class has stopped both threads already.
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

bool CIOBase::Start() {
    // A thread stopped from within one of its own callbacks may still be on its way out; it
    // must have ended before callbacks are allowed again. On that very thread a start is
    // refused: it would run on beside the new one.
    if (!CWorkItemThread::JoinRetired() || !CTickerThread::JoinRetired()) {
        return false;
    }
    m_stopping = false;

    // 1. Synchronise: every input starts at none, so each one that reads make or break is
    // reported; then every output is driven to break.
    bool synchronised = true;
    if (InputCount() > 0 && !PollInputs()) {
        FailureReaction();
        synchronised = false;
    }
    if (synchronised) {
        for (uint32_t i = 0; i < OutputCount(); ++i) {
            {
                CAutoLock hold(m_stateLock);
                m_outputStates[i] = kIOStateBreak;
            }
            if (!SetOutputState(i, kIOStateBreak)) {
                FailureReaction();
                break;
            }
        }
    }

    // 2. The threads that have something to do. Starting one that already runs fails.
    bool started = true;
    if (OutputCount() > 0) {
        started = CWorkItemThread::Start(kOutputThreadName) && started;
    }
    if (InputCount() > 0) {
        started = CTickerThread::StartTicker(kInputThreadName) && started;
    }
    return started;
}

bool CIOBase::Stop() {
    m_stopping = true;
    // Cancel first: a worker blocked in an exchange with a stalled camera returns at once, so
    // the waits below are short.
    CancelExchanges();
    CWorkItemThread::Stop();
    CTickerThread::StopTicker();
    ResumeExchanges();
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
    if (callback == nullptr || m_stopping) {
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
    if (callback == nullptr || m_stopping) {
        return;
    }
    try {
        callback->OnIOFailure();
    } catch (...) {
        // The host's exception stays on the host's side.
    }
}

}  // namespace vostrel
