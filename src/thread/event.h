#pragma once
// CEvent owns an event handle (auto-reset unless made otherwise); CManualEvent is a
// manual-reset event that starts not signalled.
#include <cstdint>
#include <memory>

#include "platform/event.h"

namespace vostrel {

class CEvent {
  public:
    CEvent() : CEvent(false) {}
    virtual ~CEvent() = default;
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    void Set() { m_handle->Set(); }
    void Reset() { m_handle->Reset(); }
    // True when signalled within timeoutMs (platform::kInfinite: no limit).
    bool Wait(uint32_t timeoutMs) {
        return m_handle->Wait(timeoutMs) == platform::WaitResult::Signalled;
    }
    bool IsSet() { return m_handle->IsSet(); }
    platform::Event& Handle() { return *m_handle; }

  protected:
    explicit CEvent(bool manualReset) : m_handle(std::make_unique<platform::Event>(manualReset)) {}

  private:
    std::unique_ptr<platform::Event> m_handle;
};

class CManualEvent : public CEvent {
  public:
    CManualEvent() : CEvent(true) {}
};

}  // namespace vostrel
