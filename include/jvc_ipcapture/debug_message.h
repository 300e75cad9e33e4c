#pragma once
// Logging between the module and the host. The host hands its sink to Open; the module
// writes every log record to it as a CDebugInfoIf that is valid only during the call.
#include <atomic>
#include <cstdint>

// A log record: level and text (null when the message was empty).
class CDebugInfoIf {
  public:
    virtual ~CDebugInfoIf() = default;
    virtual char GetLevel() const = 0;
    virtual const char* GetText() const = 0;
};

// The host's log sink. Called from any thread of the module, possibly concurrently; it
// copies what it keeps.
class IDebugMessageSink {
  public:
    virtual ~IDebugMessageSink() = default;
    virtual void Write(CDebugInfoIf* record) = 0;
};

// The module's logging interface: printf-style formatting, then delivery to the host sink.
// Types: 1 failures, 3 state reports; type 4 never reaches the host.
class IDebugMessage {
  public:
    virtual ~IDebugMessage() = default;
    virtual void DebugMessage(int type, const char* format, ...)
        __attribute__((format(printf, 3, 4))) = 0;

    // Counter of the log flood limiter for messages written through this target. Threads log
    // through one target at the same time, so it is atomic; no order with other data is
    // needed.
    std::atomic<uint32_t> m_logCounter{0};
};
