#include "io/jvc_digital_io.h"

#include "core/log.h"
#include "http/param_protocol.h"

namespace vostrel {

namespace {

// The camera's word for a state; null for a state the camera has no word for.
const char* StateWord(int32_t state) {
    switch (state) {
        case kIOStateBreak:
            return "break";
        case kIOStateMake:
            return "make";
        default:
            return nullptr;
    }
}

}  // namespace

CJvcDigitalIO::CJvcDigitalIO(IDriver* driver)
    : CIOBase(driver),
      m_inputClient(*driver->GetDeviceInfo(), Web::CHttpClient::kUserAgent),
      m_outputClient(*driver->GetDeviceInfo(), Web::CHttpClient::kUserAgent) {}

CJvcDigitalIO::~CJvcDigitalIO() {
    Stop();
}

std::string CJvcDigitalIO::InputParameter(uint32_t pin) {
    return Utils::FormatString("peripheral.input_pin.pin(%u).status", pin);
}

// Cancel and ResetCancel are thread-safe on their own: a stop must reach a client while a
// worker holds its lock in an exchange.
void CJvcDigitalIO::CancelExchanges() JVC_NO_THREAD_SAFETY_ANALYSIS {
    m_inputClient.Cancel();
    m_outputClient.Cancel();
}

void CJvcDigitalIO::ResumeExchanges() JVC_NO_THREAD_SAFETY_ANALYSIS {
    m_inputClient.ResetCancel();
    m_outputClient.ResetCancel();
}

Utils::ParamAnswer CJvcDigitalIO::SendInput(const std::string& query) {
    CAutoLock hold(m_inputLock);
    return Utils::ExchangeParam(m_inputClient, m_driver, query);
}

Utils::ParamAnswer CJvcDigitalIO::SendOutput(const std::string& query) {
    CAutoLock hold(m_outputLock);
    return Utils::ExchangeParam(m_outputClient, m_driver, query);
}

bool CJvcDigitalIO::PollInputs() {
    // The count is asked again after each input.
    for (uint32_t i = 0; i < GetInputCount(); ++i) {
        if (StopRequested()) {
            return true;  // stopped from a callback of this poll: nothing more is read
        }
        const std::string name = InputParameter(i + 1);
        const Utils::ParamAnswer answer = SendInput(name);
        if (answer.NotSent()) {
            return false;
        }
        int32_t state = kIOStateNone;
        if (answer.Accepted()) {
            // The words are compared exactly: "MAKE" is no state.
            const std::string value = Utils::ParamValue(name, answer.body);
            if (value == "break") {
                state = kIOStateBreak;
            } else if (value == "make") {
                state = kIOStateMake;
            }
        }
        UpdateInputState(i, state);
    }
    return true;
}

void CJvcDigitalIO::ReportRefusal(std::string_view where, uint32_t output,
                                  const Utils::ParamAnswer& answer) {
    if (!answer.Refused() || answer.errorText.empty()) {
        return;
    }
    const std::string& address = m_driver->GetDeviceInfo()->m_address;
    const std::string text = Utils::FormatString("Cannot set output %u state for JVC camera %s. ",
                                                 output, address.c_str());
    Utils::LogResult(
        CResultDef(kResultNotSet, WithContext(where, text) + answer.errorText, kLogFailure),
        m_driver);
}

bool CJvcDigitalIO::SetOutputState(uint32_t output, int32_t state) {
    const char* word = StateWord(state);
    if (word == nullptr) {
        return true;
    }
    // The pin's duration is written as 0 (the output stays) before its status. The cameras'
    // makers print the duration's setter under the input pin's name, so a camera may well
    // refuse this write: the refusal is logged and the status is written all the same.
    const std::string prefix = Utils::FormatString("peripheral.output_pin.pin(%u).", output + 1);
    const Utils::ParamAnswer duration = SendOutput(prefix + "duration=0");
    if (duration.NotSent()) {
        return false;
    }
    ReportRefusal(JVC_HERE, output, duration);
    const Utils::ParamAnswer status = SendOutput(prefix + "status=" + word);
    if (status.NotSent()) {
        return false;
    }
    ReportRefusal(JVC_HERE, output, status);
    return true;
}

}  // namespace vostrel
