#include "http/param_protocol.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace vostrel::Utils {

namespace {

// Header lines of a request. The cameras' makers document that "Accept: text/plain" gets a
// parameter answer as plain text (without it the camera answers with an HTML page, which
// CheckResponse still reads for a camera that ignores the line); video requests carry none.
std::vector<std::string> RequestHeaders(const std::string& path) {
    if (path.rfind(kParamPath, 0) == 0) {
        return {"Accept: text/plain"};
    }
    return {};
}

}  // namespace

void SendRequestWrapper(std::string& response, Web::CHttpClient& client, CResultDef& result,
                        const std::string& path, bool readBody, int expectedStatus) {
    result = CResultDef();
    const std::string hostLabel = FormatString("host %s:%u", client.GetHost().c_str(),
                                               static_cast<unsigned>(client.GetPort()));
    response.clear();

    const bool sent = readBody ? client.SendRequest("GET", path, RequestHeaders(path))
                               : client.SendStreamRequest("GET", path, RequestHeaders(path));
    const uint32_t status = client.GetStatusCode();
    if (!sent || status == 0) {
        result = CResultDef(kResultNotSent,
                            WithContext(JVC_HERE, FormatString("can not send request \"%s\" to %s",
                                                               path.c_str(), hostLabel.c_str())),
                            kLogHidden);
    } else if ((expectedStatus != 0 && status != static_cast<uint32_t>(expectedStatus)) ||
               (expectedStatus == 0 && status / 100 != 2)) {
        result = CResultDef(
            kResultStatusRejected,
            WithContext(JVC_HERE,
                        FormatString("%s sent does not process request \"%s\", status code = %d",
                                     hostLabel.c_str(), path.c_str(), static_cast<int>(status))),
            kLogFailure);
    }
    if (readBody && result.code == kResultOk) {
        std::vector<uint8_t> buffer;
        const uint32_t read = client.ReadResponse(buffer);
        if (read == 0) {
            result = CResultDef(
                kResultEmptyBody,
                WithContext(JVC_HERE, FormatString("incorrect response for request \"%s\" from %s",
                                                   path.c_str(), hostLabel.c_str())),
                kLogFailure);
        }
        response.assign(reinterpret_cast<const char*>(buffer.data()),
                        std::min<size_t>(read, buffer.size()));
    }
}

bool SendAndLog(std::string& response, Web::CHttpClient& client, IDebugMessage* logTarget,
                const std::string& path) {
    CResultDef result;
    SendRequestWrapper(response, client, result, path, true, 0);
    // An exchange cut short by a stop is not a camera failure: nothing is logged for it.
    if (result.code != 0 && !client.IsCancelled()) {
        LogResult(result, logTarget);
    }
    return result.code == 0;
}

bool SendForStream(Web::CHttpClient& client, const std::string& path, IDebugMessage* logTarget,
                   int expectedStatus) {
    CResultDef result;
    std::string unused;
    SendRequestWrapper(unused, client, result, path, false, expectedStatus);
    if (result.code != 0 && !client.IsCancelled()) {
        LogResult(result, logTarget);
    }
    return result.code == 0;
}

std::string ParamPath(const std::string& query) {
    return kParamPath + query;
}

ParamAnswer ExchangeParam(Web::CHttpClient& client, IDebugMessage* logTarget,
                          const std::string& query) {
    ParamAnswer answer;
    if (!SendAndLog(answer.body, client, logTarget, ParamPath(query))) {
        return answer;
    }
    answer.verdict = CheckResponse(answer.body, answer.lineStatus, answer.errorText)
                         ? ParamAnswer::Verdict::kAccepted
                         : ParamAnswer::Verdict::kRefused;
    return answer;
}

std::string ParamValue(const std::string& name, const std::string& body) {
    return GetParameterValue(name, kParamSeparator, body, kParamDelimiters);
}

ParamAnswer UpdateParam(Web::CHttpClient& client, IDebugMessage* logTarget, const std::string& name,
                        const std::string& value, const std::function<bool()>& stopped) {
    ParamAnswer read = ExchangeParam(client, logTarget, name);
    if (!read.Accepted() || ToLower(ParamValue(name, read.body)) == ToLower(value)) {
        return read;
    }
    if (stopped && stopped()) {
        read.verdict = ParamAnswer::Verdict::kNotSent;
        return read;
    }
    return ExchangeParam(client, logTarget, name + "=" + value);
}

namespace {

// One non-empty line of a response (CheckResponse step 6).
bool CheckLine(const std::string& line, unsigned& statusOut, std::string& errorText) {
    const auto amp = line.find('&');
    if (amp != std::string::npos && amp != 0) {
        char word[256] = {0};
        unsigned status = 0;
        const int scanned = std::sscanf(line.c_str() + amp, "&%u %255s", &status, word);
        if (scanned >= 1) {
            statusOut = status;
        }
        if (scanned == 2) {
            if (status / 10 == 20) {
                return true;
            }
            errorText = FormatString("Camera returns status code %d, error message: \"",
                                     static_cast<int>(status)) +
                        line + "\"";
            return false;
        }
    }
    errorText = "Unexpected line in HTTP response: " + line;
    return false;
}

}  // namespace

bool CheckResponse(const std::string& response, unsigned& statusOut, std::string& errorText) {
    statusOut = 0;
    errorText.clear();
    if (response.empty()) {
        errorText = "The response is empty!";
        return false;
    }
    const std::string lower = ToLower(response);
    const auto bodyOpen = lower.find("<body>");
    const auto bodyClose =
        bodyOpen == std::string::npos ? std::string::npos : lower.find("</body>", bodyOpen);
    std::string text;
    if (bodyOpen == std::string::npos) {
        text = response;
    } else if (bodyClose == std::string::npos) {
        return false;  // "<body>" without "</body>": no reason given
    } else {
        const size_t from = bodyOpen + 6;
        text = from <= bodyClose ? response.substr(from, bodyClose - from) : std::string();
    }

    size_t lines = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        const auto next = text.find_first_of("\r\n<", pos);
        const std::string line =
            text.substr(pos, next == std::string::npos ? std::string::npos : next - pos);
        if (!line.empty()) {
            ++lines;
            if (!CheckLine(line, statusOut, errorText)) {
                return false;
            }
        }
        if (next == std::string::npos) {
            break;
        }
        if (text[next] == '<') {
            const auto close = text.find('>', next);
            if (close == std::string::npos) {
                break;  // an unclosed tag ends the scan
            }
            pos = close + 1;
        } else {
            pos = text.find_first_not_of("\r\n", next);
            if (pos == std::string::npos) {
                break;
            }
        }
    }
    if (lines == 0) {
        errorText = "HTTP response does not contains data lines to be processed";
        return false;
    }
    return true;
}

std::string GetParameterValue(const std::string& name, const std::string& separator,
                              const std::string& text, const std::string& delimiters) {
    if (name.empty() || separator.empty() || delimiters.empty()) {
        return {};
    }
    size_t p = text.find(name);
    while (p != std::string::npos) {
        const auto lastDelimiter = text.find_last_of(delimiters, p);
        const size_t start = lastDelimiter == std::string::npos ? 0 : lastDelimiter + 1;
        const auto lineEnd = text.find_first_of(delimiters, p);
        const auto sep = text.find(separator, p);
        size_t resume;
        if (sep == std::string::npos) {
            break;
        }
        if (lineEnd != std::string::npos && sep >= lineEnd) {
            // No separator on this line: go on with the next line. (Resuming at the separator
            // would skip a name that stands right before it on a later line.)
            resume = lineEnd;
        } else if (Trim(text.substr(start, sep - start)) != name) {
            if (lineEnd == std::string::npos) {
                break;
            }
            resume = lineEnd;
        } else {
            const size_t valueStart = sep + separator.size();
            if (valueStart < text.size()) {
                const std::string value =
                    text.substr(valueStart, lineEnd == std::string::npos ? std::string::npos
                                                                         : lineEnd - valueStart);
                if (!value.empty()) {
                    return value;
                }
            }
            if (lineEnd == std::string::npos) {
                break;
            }
            resume = lineEnd;
        }
        const size_t found = text.find(name, resume);
        p = (found != std::string::npos && found <= p) ? text.find(name, p + 1) : found;
    }
    return {};
}

void LogResult(const CResultDef& result, IDebugMessage* logTarget) {
    if (result.message.empty() || logTarget == nullptr || !ShouldLog(logTarget)) {
        return;
    }
    logTarget->DebugMessage(result.level, "%s", result.message.c_str());
}

bool ShouldLog(IDebugMessage* logTarget) {
    if (logTarget == nullptr) {
        return false;
    }
    // Each caller takes its own count, also when several threads log through one target.
    std::atomic<uint32_t>& counter = logTarget->m_logCounter;
    uint32_t previous = counter.load(std::memory_order_relaxed);
    uint32_t n;
    do {
        n = previous + 1;
        if (n >= 65535) {
            n = 4095;
        }
    } while (!counter.compare_exchange_weak(previous, n, std::memory_order_relaxed));
    if (n <= 14) {
        return n >= 1;
    }
    if (n <= 254) {
        return n % 16 == 0;
    }
    if (n <= 4094) {
        return n % 256 == 0;
    }
    return n % 4096 == 0;
}

}  // namespace vostrel::Utils
