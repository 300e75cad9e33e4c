#pragma once
// CIOBase: the device-neutral part of the digital I/O object the driver hands to the host.
// Two worker threads do the work: the "Digital Input thread" reads every input each period
// (2000 ms) and reports the inputs whose state changed, and the "Digital Output thread"
// carries out the host's output requests one after another. The last known state of every
// input and output is kept, so the host hears only of changes and an output is commanded only
// when its state really changes. A failed exchange with the camera forgets every state and
// tells the host (OnIOFailure); the next successful poll then reports every input anew.
//
// How the inputs are read and how one output is set is the camera-specific class's part
// (PollInputs, SetOutputState); it also cancels its requests in flight when asked, so that a
// stop never waits for a stalled camera.
//
// Threads: the host's threads call the ICaptureIOApi operations; PollInputs runs on the input
// thread and on the thread that calls Start, SetOutputState on the output thread and on the
// thread that calls Start. Both state maps are guarded by one lock, taken around each
// read-compare-store and around ResetStates; callbacks into the host are made outside it.
//
// Stopping: a Stop that has returned wins over everything before it. From then on no host
// callback starts, none made on another thread is still in progress (unless that one is
// itself inside a Stop), a Start under way drives no output and starts no thread, and a
// Stop made on the host's own thread has waited for both workers. A Stop made inside a
// callback on a worker (or on both at once) waits for neither worker: they end once their
// callbacks return, and the next Stop, Start or the destructor waits for them.
#include <atomic>
#include <cstdint>
#include <map>

#include "core/driver_interface.h"
#include "jvc_ipcapture/capture_io.h"
#include "thread/event.h"
#include "thread/lock.h"
#include "thread/simple_thread.h"

namespace vostrel {

// States of an input or output.
enum IOState : int32_t {
    kIOStateNone = 0,   // not read yet, forgotten after a failure, or no usable answer
    kIOStateBreak = 1,  // the camera's "break"
    kIOStateMake = 2,   // the camera's "make"
};

class CIOBase : public ipcapture::ICaptureIOApi,
                public thread::CWorkItemThread,
                public thread::CTickerThread {
  public:
    static constexpr const char* kOutputThreadName = "Digital Output thread";
    static constexpr const char* kInputThreadName = "Digital Input thread";

    // One output request of the host, queued for the output thread.
    class CWorkItem : public IWorkItem {
      public:
        CWorkItem(uint32_t output, int32_t state) : m_output(output), m_state(state) {}

        const uint32_t m_output;  // zero-based output index
        const int32_t m_state;    // requested state
    };

    explicit CIOBase(IDriver* driver);
    // Stops what still runs. A derived class whose operations use its own members stops the
    // threads in its own destructor (Stop), before those members go.
    ~CIOBase() override;
    CIOBase(const CIOBase&) = delete;
    CIOBase& operator=(const CIOBase&) = delete;

    // ICaptureIOApi
    bool SetCallback(ipcapture::ICaptureIOCallback* callback) override;
    // Synchronises (reads every input, drives every output to break), then starts the threads
    // that have something to do. False when a thread that was to start did not, when called
    // on a worker, or when a Stop came meanwhile (nothing more is driven or started then).
    bool Start() override;
    // Ends both threads (queued requests are discarded unhandled, a request in flight is
    // cancelled), forgets every state; no callback is made from the moment Stop is called
    // until the next Start, and a Start under way gives up. Called from inside a callback
    // on a worker, it waits for no worker: they end once their callbacks return, and the
    // next Stop, Start or destruction from another thread waits for them.
    bool Stop() override;
    uint32_t GetInputCount() override;
    uint32_t GetOutputCount() override;
    // Queues the request for the output thread; false when that thread does not run.
    bool SetOutput(uint32_t output, int32_t state) override;

    // The camera-specific part. SetOutputState makes one output take the state; false only
    // when an exchange with the camera failed (a refusal stated in the answer is reported by
    // the implementation and counts as done). PollInputs reads every input once and passes
    // each state to UpdateInputState; false when an exchange failed, the inputs after the
    // failing one then not being read.
    virtual bool SetOutputState(uint32_t output, int32_t state) = 0;
    virtual bool PollInputs() = 0;

  protected:
    // Output thread: one request, in posting order.
    void HandleWorkItem(IWorkItem* item) override;
    // Input thread: one poll every period.
    void OnTick() override;

    // Ends the camera-specific part's exchanges in flight and refuses new ones (Stop, before
    // it waits for the threads); ResumeExchanges allows them again (Start, once every worker
    // of the last run has ended).
    virtual void CancelExchanges() {}
    virtual void ResumeExchanges() {}

    // For PollInputs: when the input has a cached state that differs from state, stores the
    // state and reports the change to the host. True when it changed.
    bool UpdateInputState(uint32_t input, int32_t state) JVC_EXCLUDES(m_stateLock);
    // For PollInputs: true once Stop was called (until the next Start); a poll under way
    // then reads no further input.
    bool StopRequested() const { return m_stopping; }
    // Every cached state back to none: outputs 0 .. output count - 1, then the inputs.
    void ResetStates() JVC_EXCLUDES(m_stateLock);
    // After a failed exchange: every state forgotten, then the host is told. Nothing happens
    // while a stop is under way (the stop itself forgets the states and makes no callback).
    void FailureReaction() JVC_EXCLUDES(m_stateLock);

    IDriver* const m_driver;

  private:
    class CHostCall;
    class CStopInCall;

    void ReportInputChanged(uint32_t input, int32_t state) JVC_EXCLUDES(m_callLock);
    void ReportFailure() JVC_EXCLUDES(m_callLock);
    // Start's steps; each one is skipped once a stop has come since serial was taken.
    bool Synchronise(uint64_t serial) JVC_EXCLUDES(m_callLock, m_stateLock);
    bool StartThreads(uint64_t serial) JVC_EXCLUDES(m_callLock);
    bool StoppedSince(uint64_t serial) JVC_EXCLUDES(m_callLock);
    // Waits until no thread but the calling one is inside a host callback (a thread inside a
    // Stop does not count).
    void WaitForHostCalls() JVC_EXCLUDES(m_callLock);
    bool OnOwnThread() const;
    // Counts from the driver each time they are needed; a negative count is taken as none.
    uint32_t InputCount() const;
    uint32_t OutputCount() const;

    std::atomic<ipcapture::ICaptureIOCallback*> m_callback{nullptr};
    // Held by Start throughout and by a Stop from outside the workers while it waits for
    // them, so that the two never overlap. Never taken on a worker.
    CLock m_lifeLock;
    // Guards the stop bookkeeping; short, never held while calling out or waiting.
    CLock m_callLock;
    // Set from the start of Stop until the next Start: a worker's exchange failing because of
    // the cancel is no failure of the camera, and the host hears nothing once it stopped.
    // Written under m_callLock, read anywhere.
    std::atomic<bool> m_stopping{false};
    // Counts the stops; a Start that sees it change gives up.
    uint64_t m_stopSerial JVC_GUARDED_BY(m_callLock) = 0;
    // Threads inside a host callback, those inside a Stop not counted; m_noHostCalls is set
    // while the count is 0.
    uint32_t m_hostCalls JVC_GUARDED_BY(m_callLock) = 0;
    CManualEvent m_noHostCalls;
    CLock m_stateLock;
    std::map<uint32_t, int32_t> m_inputStates JVC_GUARDED_BY(m_stateLock);
    std::map<uint32_t, int32_t> m_outputStates JVC_GUARDED_BY(m_stateLock);
};

}  // namespace vostrel
