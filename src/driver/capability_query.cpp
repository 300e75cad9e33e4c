#include "driver/capability_query.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace vostrel {

namespace {

constexpr int kQueryFailed = 3;
constexpr int32_t kRequestTimeoutMs = 5000;

constexpr const char* kPropertiesExist = "Camera properties object already exists";
constexpr const char* kCannotCreate = "Failed to create camera properties object";
constexpr const char* kQueryFailedText = "Failed to get camera properties";
constexpr const char* kSaveFailed = "Failed to save capability query results";

}  // namespace

CCapabilityQuery& CCapabilityQuery::Instance() {
    static CCapabilityQuery query;
    return query;
}

CCapabilityQuery::~CCapabilityQuery() {
    std::vector<std::unique_ptr<platform::Thread>> workers;
    {
        CAutoLock hold(m_lock);
        ++m_generation;  // no worker calls a host object any more
        if (m_properties) {
            m_properties->Abort();
        }
        workers = std::move(m_detached);
        for (auto& worker : m_setAside) {
            workers.push_back(std::move(worker));
        }
        m_setAside.clear();
        if (m_thread) {
            workers.push_back(std::move(m_thread));
        }
    }
    // The workers run this module's code: they must end before it goes.
    for (auto& worker : workers) {
        if (worker->Id() != platform::CurrentThreadId()) {
            worker->Join(platform::kInfinite);
        }
    }
}

int CCapabilityQuery::Init(ipcapture::ICapabilityCallback* callback, bool videoStandard) {
    CAutoLock hold(m_lock);
    if (m_callback != nullptr) {
        return 0;
    }
    m_callback = callback;
    m_videoStandard = videoStandard ? 1 : 0;
    return 1;
}

int CCapabilityQuery::Start(const char* address, int port, const char* userName,
                            const char* password, ipcapture::ICapabilityResults* results) {
    if (port < 0 || port > 0xFFFF) {
        return 0;  // a port the camera cannot have, not another port cut from it
    }
    std::unique_ptr<Job> job;
    try {
        auto record = std::make_unique<DEVICE_INFO>(
            address != nullptr ? address : "", static_cast<uint16_t>(port),
            userName != nullptr ? userName : "", password != nullptr ? password : "");
        record->m_timeout = kRequestTimeoutMs;
        record->m_streamTimeout = kRequestTimeoutMs;
        job = std::make_unique<Job>(Job{this, std::move(record), 0});
    } catch (...) {
        return 0;
    }
    JoinSetAside();
    CAutoLock hold(m_lock);
    m_results = results;
    m_abortRequested = false;
    ReapEnded();
    job->generation = m_generation;
    // Only the latest worker is waited for by Uninit; an earlier one is joined once it ended.
    if (m_thread) {
        m_detached.push_back(std::move(m_thread));
    }
    m_thread = platform::Thread::Start(&CCapabilityQuery::WorkerEntry, job.get());
    if (!m_thread) {
        return 0;  // the record goes with the job
    }
    (void)job.release();  // the worker owns it now
    return 1;
}

int CCapabilityQuery::Terminate() {
    CAutoLock hold(m_lock);
    m_abortRequested = true;
    if (m_properties) {
        m_properties->Abort();
    }
    return 1;
}

int CCapabilityQuery::Uninit() {
    std::unique_ptr<platform::Thread> worker;
    {
        CAutoLock hold(m_lock);
        m_abortRequested = true;
        if (m_properties) {
            m_properties->Abort();
        }
        worker = std::move(m_thread);
    }
    bool ended = true;
    const bool fromWorker = worker && worker->Id() == platform::CurrentThreadId();
    if (worker && !fromWorker) {
        ended = worker->Join(kWorkerWaitMs);
    }
    JoinSetAside();
    {
        // From here on the worker starts no further call into a host object...
        CAutoLock hold(m_lock);
        ++m_generation;
    }
    // ...and a call in progress is waited for.
    CAutoLock host(m_hostLock);
    CAutoLock hold(m_lock);
    m_callback = nullptr;
    m_results = nullptr;
    m_properties.reset();  // an abandoned worker keeps its own reference
    if (fromWorker) {
        // Called from the worker itself (inside the host's callback): it ends after the
        // callback returns and cannot be waited for here; the next Start or Uninit does.
        m_setAside.push_back(std::move(worker));
    } else if (worker && !ended) {
        m_detached.push_back(std::move(worker));
    }
    ReapEnded();
    return 1;
}

void CCapabilityQuery::JoinSetAside() {
    std::vector<std::unique_ptr<platform::Thread>> waiting;
    {
        CAutoLock hold(m_lock);
        const uint32_t self = platform::CurrentThreadId();
        for (auto it = m_setAside.begin(); it != m_setAside.end();) {
            if ((*it)->Id() == self) {
                ++it;
            } else {
                waiting.push_back(std::move(*it));
                it = m_setAside.erase(it);
            }
        }
    }
    if (waiting.empty()) {
        return;
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kWorkerWaitMs);
    std::vector<std::unique_ptr<platform::Thread>> running;
    for (auto& worker : waiting) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (!worker->Join(static_cast<uint32_t>(std::max<int64_t>(0, left.count())))) {
            running.push_back(std::move(worker));
        }
    }
    CAutoLock hold(m_lock);
    for (auto& worker : running) {
        m_detached.push_back(std::move(worker));
    }
}

void CCapabilityQuery::ReapEnded() {
    std::erase_if(m_detached, [](const std::unique_ptr<platform::Thread>& worker) {
        return worker->HasEnded() && worker->Join(0);
    });
}

int CCapabilityQuery::WorkerEntry(void* arg) {
    std::unique_ptr<Job> job(static_cast<Job*>(arg));
    try {
        return job->owner->RunWorker(*job);
    } catch (...) {
        return 0;
    }
}

int CCapabilityQuery::RunWorker(Job& job) {
    {
        CAutoLock hold(m_lock);
        if (m_callback == nullptr || job.generation != m_generation || !job.record) {
            return 0;
        }
    }
    int errorCode = kQueryFailed;
    const std::string message = RunQuery(job, errorCode);
    job.record.reset();

    CAutoLock host(m_hostLock);
    ipcapture::ICapabilityCallback* callback = nullptr;
    {
        CAutoLock hold(m_lock);
        if (job.generation != m_generation) {
            return 0;  // the host has ended the query: its objects may be gone
        }
        callback = m_callback;
    }
    if (callback == nullptr) {
        return 0;
    }
    try {
        if (message.empty()) {
            callback->OnSucceeded();
        } else {
            callback->OnFailed(errorCode, message.c_str());
        }
    } catch (...) {
        // A failing host callback ends the worker all the same.
    }
    return message.empty() ? 1 : 0;
}

std::string CCapabilityQuery::RunQuery(Job& job, int& errorCode) {
    int32_t videoStandard = 0;
    {
        CAutoLock hold(m_lock);
        if (m_properties) {
            return kPropertiesExist;
        }
        videoStandard = m_videoStandard;
    }
    std::shared_ptr<CJvcCameraProperties> properties;
    try {
        properties = std::make_shared<CJvcCameraProperties>(*job.record, &videoStandard);
    } catch (...) {
        return kCannotCreate;
    }
    {
        CAutoLock hold(m_lock);
        if (job.generation != m_generation) {
            return kQueryFailedText;  // ended before it began; nobody is told
        }
        m_properties = properties;
        if (m_abortRequested) {
            properties->Abort();
        }
    }

    bool queried = false;
    try {
        queried = properties->Query(&errorCode);
    } catch (...) {
        errorCode = kQueryFailed;
    }
    if (!queried) {
        return kQueryFailedText;
    }

    CAutoLock host(m_hostLock);
    ipcapture::ICapabilityResults* results = nullptr;
    {
        CAutoLock hold(m_lock);
        if (job.generation != m_generation) {
            return kSaveFailed;
        }
        results = m_results;
    }
    bool saved = false;
    try {
        saved = properties->Save(results);
    } catch (...) {
        saved = false;  // the host's results object failed
    }
    return saved ? std::string() : std::string(kSaveFailed);
}

}  // namespace vostrel
