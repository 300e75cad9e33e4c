#pragma once
// The camera parameter protocol, the one place that knows it: how parameter paths are built,
// how every request to the camera is sent and judged, how a response body is checked line by
// line (a refusal comes as a line of its own, "name&401 Unauthorized"), how one parameter's
// value is taken out of a response, and how failures are logged without flooding the log.
// The channels, the PTZ sender, the digital I/O object and the camera probes all go through
// it.
//
// Wire format: GET "/api/param?" + names joined by "&" to read, "/api/param?" + name + "=" +
// value to write. Response data lines: name "=" value "&" status " " word for a read,
// name "&" status " " word for a write, separated by CR/LF or HTML tags.
//
// Threads: the functions keep no state between calls (except each log target's flood
// counter, which is atomic); they use the caller's client, one exchange per client at a time.
#include <cstdint>
#include <functional>
#include <string>

#include "core/codes.h"
#include "core/log.h"
#include "http/http_client.h"
#include "http/text_utils.h"
#include "jvc_ipcapture/debug_message.h"

namespace vostrel {

// The result of one exchange: log type, error code (0 success), message to log.
//   code 6 (level 1)  status not accepted
//   code 9 (level 4)  request not sent or no status code
//   code 10 (level 1) the body asked for was empty
//   code 11 (level 1) a channel parameter / digital output was not set
class CResultDef {
  public:
    CResultDef() = default;
    CResultDef(int32_t code_, std::string message_, int32_t level_)
        : level(level_), code(code_), message(std::move(message_)) {}
    CResultDef(const CResultDef&) = default;
    CResultDef& operator=(const CResultDef&) = default;
    virtual ~CResultDef() = default;

    int32_t level = kLogState;
    int32_t code = kResultOk;
    std::string message;
};

namespace Utils {

// Delimiters and separator every caller passes to GetParameterValue.
inline constexpr const char* kParamSeparator = "=";
inline constexpr const char* kParamDelimiters = "\r\n<>&";

// The camera's parameter resource: every parameter request's path starts with it.
inline constexpr const char* kParamPath = "/api/param?";
// kParamPath followed by query: names joined by "&" to read, name "=" value to write.
std::string ParamPath(const std::string& query);

// What the camera made of one parameter request.
struct ParamAnswer {
    enum class Verdict {
        kNotSent,   // not sent, refused at HTTP level or no body (logged by SendAndLog)
        kAccepted,  // every answer line has a status of 200 to 209
        kRefused,   // CheckResponse refused the answer; errorText says why
    };
    Verdict verdict = Verdict::kNotSent;
    std::string body;         // the answer as received
    std::string errorText;    // CheckResponse's reason, when refused
    unsigned lineStatus = 0;  // status number of the last answer line looked at

    bool Accepted() const { return verdict == Verdict::kAccepted; }
    bool Refused() const { return verdict == Verdict::kRefused; }
    bool NotSent() const { return verdict == Verdict::kNotSent; }
};

// Sends ParamPath(query) through SendAndLog (failures logged there) and judges the answer
// with CheckResponse.
ParamAnswer ExchangeParam(Web::CHttpClient& client, IDebugMessage* logTarget,
                          const std::string& query);
// The value of name in a parameter answer; empty when not found.
std::string ParamValue(const std::string& name, const std::string& body);
// Read-compare-write: makes the camera's parameter name hold value. The read's answer when it
// was not accepted or the camera already holds value (compared ignoring case); otherwise the
// write's. stopped, when given, is asked between the read and the write: true gives the
// read's answer as kNotSent.
ParamAnswer UpdateParam(Web::CHttpClient& client, IDebugMessage* logTarget, const std::string& name,
                        const std::string& value, const std::function<bool()>& stopped = nullptr);

// Sends one GET of path and judges it into result; with readBody, the whole body goes to
// response. expectedStatus 0 accepts any 2xx status. With readBody false the answered
// request stays open in the client (a stream for the caller to read).
void SendRequestWrapper(std::string& response, Web::CHttpClient& client, CResultDef& result,
                        const std::string& path, bool readBody, int expectedStatus);
// SendRequestWrapper with readBody true and expectedStatus 0; a failure is logged through
// LogResult. True when the code is 0.
bool SendAndLog(std::string& response, Web::CHttpClient& client, IDebugMessage* logTarget,
                const std::string& path);
// SendRequestWrapper with readBody false (the response stays open for the caller to read
// through client.GetRequest()); a failure is logged through LogResult. True when code is 0.
bool SendForStream(Web::CHttpClient& client, const std::string& path, IDebugMessage* logTarget,
                   int expectedStatus);

// Judges a response body line by line. errorText is emptied first and holds the reason on
// failure; statusOut is the status number of the last line looked at (0 if none).
bool CheckResponse(const std::string& response, unsigned& statusOut, std::string& errorText);

// The value of name in text (see the rules in param_protocol.cpp); empty when not found.
std::string GetParameterValue(const std::string& name, const std::string& separator,
                              const std::string& text, const std::string& delimiters);

// Writes result.message (as data, never as a format) through logTarget with result.level as
// the type, when the message is not empty, logTarget is given and ShouldLog(logTarget).
void LogResult(const CResultDef& result, IDebugMessage* logTarget);
// Flood limiter over logTarget->m_logCounter: the first 14 messages, then every 16th up to
// 254, every 256th up to 4094, every 4096th after; the count wraps from 65535 to 4095.
bool ShouldLog(IDebugMessage* logTarget);

}  // namespace Utils
}  // namespace vostrel
