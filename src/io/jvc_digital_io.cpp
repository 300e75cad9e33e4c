#include "io/jvc_digital_io.h"

#include "core/log.h"
#include "http/param_protocol.h"

namespace vostrel {

namespace {

constexpr const char* kParamPath = "/api/param?";

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

bool CJvcDigitalIO::SendInput(const std::string& path, std::string& answer) {
    CAutoLock hold(m_inputLock);
    return Utils::SendAndLog(answer, m_inputClient, m_driver, path);
}

bool CJvcDigitalIO::SendOutput(const std::string& path, std::string& answer) {
    CAutoLock hold(m_outputLock);
    return Utils::SendAndLog(answer, m_outputClient, m_driver, path);
}

bool CJvcDigitalIO::PollInputs() {
    // The count is asked again after each input.
    for (uint32_t i = 0; i < GetInputCount(); ++i) {
        if (StopRequested()) {
            return true;  // stopped from a callback of this poll: nothing more is read
        }
        const std::string name = InputParameter(i + 1);
        std::string answer;
        if (!SendInput(kParamPath + name, answer)) {
            return false;
        }
        int32_t state = kIOStateNone;
        unsigned status = 0;
        std::string errorText;
        if (Utils::CheckResponse(answer, status, errorText)) {
            // The words are compared exactly: "MAKE" is no state.
            const std::string value = Utils::GetParameterValue(name, Utils::kParamSeparator, answer,
                                                               Utils::kParamDelimiters);
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

bool CJvcDigitalIO::SetOutputState(uint32_t output, int32_t state) {
    const char* word = StateWord(state);
    if (word == nullptr) {
        return true;
    }
    // The pin's duration is written as 0 before its status; a camera that refuses the
    // duration never receives the status.
    const std::string prefix =
        Utils::FormatString("%speripheral.output_pin.pin(%u).", kParamPath, output + 1);
    std::string answer;
    if (!SendOutput(prefix + "duration=0", answer)) {
        return false;
    }
    unsigned status = 0;
    std::string errorText;
    if (Utils::CheckResponse(answer, status, errorText)) {
        if (!SendOutput(prefix + "status=" + word, answer)) {
            return false;
        }
        Utils::CheckResponse(answer, status, errorText);
    }
    if (!errorText.empty()) {
        const std::string& address = m_driver->GetDeviceInfo()->m_address;
        const std::string text = Utils::FormatString(
            "Cannot set output %u state for JVC camera %s. ", output, address.c_str());
        Utils::LogResult(
            CResultDef(kResultNotSet, WithContext(JVC_HERE, text) + errorText, kLogFailure),
            m_driver);
    }
    return true;
}

}  // namespace vostrel
