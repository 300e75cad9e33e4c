#pragma once
// The capability query behind the four exports InitCapabilityQuery, StartCapabilityQuery,
// TerminateCapabilityQuery and UninitCapabilityQuery: one query at a time, run on a worker
// thread by a CJvcCameraProperties, its outcome reported to the host's callback.
//
// Life of a query: Init stores the callback and the video-standard option; Start stores the
// results object and starts the worker with the connection record; the worker creates the
// properties object (kept until Uninit), queries, saves into the results and calls
// OnSucceeded or OnFailed(3, message); Uninit ends it all.
//
// Stopping: Terminate and Uninit abort the properties object, which cancels its request in
// flight, so the worker ends at once. Uninit waits up to 5000 ms for the worker (a worker
// that ended its own query from its callback is waited for by the next Start or Uninit from
// another thread, as long); a worker
// that has still not ended (only a host call that does not return can hold it) is never
// killed: it keeps what it uses and releases it when it ends, and it calls no host object
// after Uninit has returned. Uninit waits for a host call in progress to return.
//
// Threads: the exports may come from any host thread; the host calls them one at a time.
// The worker reads the shared state under m_lock and calls into the host's results and
// callback objects holding m_hostLock (taken before m_lock where both are held).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/device_info.h"
#include "core/thread_annotations.h"
#include "jvc_ipcapture/capability.h"
#include "platform/thread.h"
#include "properties/jvc_camera_properties.h"
#include "thread/lock.h"

namespace vostrel {

class CCapabilityQuery {
  public:
    // How long Uninit waits for the worker.
    static constexpr uint32_t kWorkerWaitMs = 5000;

    CCapabilityQuery() = default;
    // Aborts a running query and waits for every worker, so that none outlives the module.
    ~CCapabilityQuery();
    CCapabilityQuery(const CCapabilityQuery&) = delete;
    CCapabilityQuery& operator=(const CCapabilityQuery&) = delete;

    // The module's one query.
    static CCapabilityQuery& Instance();

    // 0 when a callback is already set; otherwise stores both and returns 1.
    int Init(ipcapture::ICapabilityCallback* callback, bool videoStandard) JVC_EXCLUDES(m_lock);
    // Stores results and starts a worker for the camera; 1, or 0 when no thread could start.
    int Start(const char* address, int port, const char* userName, const char* password,
              ipcapture::ICapabilityResults* results) JVC_EXCLUDES(m_lock, m_hostLock);
    // Aborts the running query; returns at once with 1.
    int Terminate() JVC_EXCLUDES(m_lock);
    // Aborts, waits for the worker, forgets the callback, the results and the properties
    // object. Returns 1.
    int Uninit() JVC_EXCLUDES(m_lock, m_hostLock);

  private:
    struct Job {
        CCapabilityQuery* owner;
        std::unique_ptr<DEVICE_INFO> record;
        uint64_t generation;  // the query's generation when it was started
    };
    static int WorkerEntry(void* arg);
    int RunWorker(Job& job) JVC_EXCLUDES(m_lock, m_hostLock);
    // Finds the outcome of one query: an empty text on success, else the failure message.
    std::string RunQuery(Job& job, int& errorCode) JVC_EXCLUDES(m_lock, m_hostLock);
    // Joins and forgets the workers that have ended.
    void ReapEnded() JVC_REQUIRES(m_lock);
    // Waits, up to kWorkerWaitMs in all, for the workers that ended their query from within
    // their own callback (all but the calling thread); one still running then is detached.
    void JoinSetAside() JVC_EXCLUDES(m_lock, m_hostLock);

    // Held while the worker calls into a host object and while Uninit forgets them.
    CLock m_hostLock;
    CLock m_lock;
    ipcapture::ICapabilityCallback* m_callback JVC_GUARDED_BY(m_lock) = nullptr;
    int32_t m_videoStandard JVC_GUARDED_BY(m_lock) = 0;
    ipcapture::ICapabilityResults* m_results JVC_GUARDED_BY(m_lock) = nullptr;
    // Shared with the worker that created it, so an abandoned worker keeps it alive.
    std::shared_ptr<CJvcCameraProperties> m_properties JVC_GUARDED_BY(m_lock);
    std::unique_ptr<platform::Thread> m_thread JVC_GUARDED_BY(m_lock);
    // Workers not waited for (a second Start without Uninit, or a wait that timed out);
    // joined once they have ended, at the latest by the destructor.
    std::vector<std::unique_ptr<platform::Thread>> m_detached JVC_GUARDED_BY(m_lock);
    // Workers that called Uninit from within their own callback, so that nobody had waited for
    // them: the next Start or Uninit from another thread waits for them.
    std::vector<std::unique_ptr<platform::Thread>> m_setAside JVC_GUARDED_BY(m_lock);
    // Set by Terminate and Uninit, cleared by Start: a stop that comes before the worker has
    // made its properties object is not lost.
    bool m_abortRequested JVC_GUARDED_BY(m_lock) = false;
    // Raised by Uninit: a worker of an older generation no longer calls host objects.
    uint64_t m_generation JVC_GUARDED_BY(m_lock) = 0;
};

}  // namespace vostrel
