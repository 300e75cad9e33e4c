#include "command_line.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace camhost {

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    const int needed = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text(needed > 0 ? static_cast<size_t>(needed) : 0, '\0');
    if (needed > 0) {
        std::vsnprintf(text.data(), text.size() + 1, format, args);
    }
    va_end(args);
    return text;
}

std::string Upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::optional<long> ParseNumber(const std::string& text, long low, long high) {
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) {
        return std::nullopt;
    }
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

std::optional<double> ParseSeconds(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !(value >= 0) || value > 86400 * 365) {
        return std::nullopt;
    }
    return value;
}

std::string Json(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string TimeOfDay() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[16];
    std::strftime(text, sizeof(text), "%H:%M:%S", &local);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    return Format("%s.%03d", text, static_cast<int>(ms));
}

ParseOutcome UsageError(std::string text) {
    return {ParseOutcome::kUsageError, std::move(text)};
}

bool IsHelp(const std::string& arg) {
    return arg == "--help" || arg == "-h";
}

std::optional<std::string> ArgReader::Operand() {
    if (Done() || m_args[m_next].rfind("--", 0) == 0) {
        return std::nullopt;
    }
    return m_args[m_next++];
}

std::optional<std::string> ArgReader::Value(const std::string& option) {
    if (Done()) {
        Fail(option + " needs a value");
        return std::nullopt;
    }
    return m_args[m_next++];
}

std::optional<long> ArgReader::Number(const std::string& option, long low, long high) {
    const auto text = Value(option);
    if (!text) {
        return std::nullopt;
    }
    const auto number = ParseNumber(*text, low, high);
    if (!number) {
        Fail(Format("%s must be %ld..%ld", option.c_str(), low, high));
    }
    return number;
}

std::optional<double> ArgReader::Seconds(const std::string& option, double low, double high,
                                         bool aboveLow) {
    const auto text = Value(option);
    if (!text) {
        return std::nullopt;
    }
    const auto seconds = ParseSeconds(*text);
    if (!seconds || *seconds < low || *seconds > high || (aboveLow && *seconds == low)) {
        Fail(aboveLow ? Format("%s must be more than %.10g and at most %.10g seconds",
                               option.c_str(), low, high)
                      : Format("%s must be %.10g..%.10g seconds", option.c_str(), low, high));
        return std::nullopt;
    }
    return seconds;
}

void ArgReader::Fail(std::string error) {
    if (m_error.empty()) {
        m_error = std::move(error);
    }
}

ParseOutcome ArgReader::Outcome() const {
    return Failed() ? UsageError(m_error) : ParseOutcome{};
}

const char* CauseName(FailureCause cause) {
    switch (cause) {
        case FailureCause::kCredentials:
            return "credentials";
        case FailureCause::kUnreachable:
            return "unreachable";
        case FailureCause::kNoAnswer:
            return "no-answer";
        case FailureCause::kNotACamera:
            return "not-a-camera";
        case FailureCause::kUsage:
            return "usage";
        case FailureCause::kOther:
            break;
    }
    return "other";
}

std::string FailureJson(FailureCause cause, const std::string& error) {
    return "{\"ok\": false, \"error\": " + Json(error) + ", \"cause\": " + Json(CauseName(cause)) +
           "}";
}

int Fail(Console& console, const std::string& text) {
    console.Line("camhost: " + text);
    return 1;
}

const char* LevelName(int level) {
    switch (level) {
        case 1:
            return "failure";
        case 2:
        case 3:
            return "state";
        default:
            return "info";
    }
}

}  // namespace camhost
