#pragma once
// CJvcDigitalIO: the digital I/O object of a JVC camera. It reads an input pin's status and
// writes an output pin's status through the camera's parameter protocol (http/param_protocol.h);
// the camera calls a pin's two states "make" and "break". The zero-based input or output index i is
// the camera's pin i + 1. Threads, state caches and callbacks are CIOBase's.
//
// Each worker has a client of its own (m_inputClient for polling, m_outputClient for output
// commands), so a slow output command never delays polling. Start uses both on the caller's
// thread while the workers may run too; a lock per client keeps its exchanges one at a time.
#include <cstdint>
#include <string>
#include <string_view>

#include "http/http_client.h"
#include "http/param_protocol.h"
#include "io/io_base.h"
#include "thread/lock.h"

namespace vostrel {

class CJvcDigitalIO : public CIOBase {
  public:
    explicit CJvcDigitalIO(IDriver* driver);
    // Stops both threads before the clients they use go.
    ~CJvcDigitalIO() override;

    bool SetOutputState(uint32_t output, int32_t state) override;
    bool PollInputs() override;

    // The parameter that holds input pin N's state word.
    static std::string InputParameter(uint32_t pin);

  protected:
    void CancelExchanges() override;
    void ResumeExchanges() override;

  private:
    // One exchange of the parameter protocol with the client under its lock (a failed send is
    // logged by the protocol).
    Utils::ParamAnswer SendInput(const std::string& query) JVC_EXCLUDES(m_inputLock);
    Utils::ParamAnswer SendOutput(const std::string& query) JVC_EXCLUDES(m_outputLock);

    // Logs "Cannot set output ..." under where with the camera's reason when it refused.
    void ReportRefusal(std::string_view where, uint32_t output, const Utils::ParamAnswer& answer);

    CLock m_inputLock;
    Web::CHttpClient m_inputClient JVC_GUARDED_BY(m_inputLock);
    CLock m_outputLock;
    Web::CHttpClient m_outputClient JVC_GUARDED_BY(m_outputLock);
};

}  // namespace vostrel
