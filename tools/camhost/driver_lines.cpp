#include "driver_lines.h"

#include <cstdio>
#include <cstdlib>

#include "camera_options.h"
#include "command_line.h"

namespace camhost {

namespace {

// The number after a fragment of the line ("status code = 401" gives 401); 0 when absent.
int NumberAfter(const std::string& line, const std::string& fragment) {
    const size_t at = line.find(fragment);
    return at == std::string::npos ? 0 : std::atoi(line.c_str() + at + fragment.size());
}

std::string HttpStatusInWords(int status) {
    char text[160];
    switch (status) {
        case 401:
            return RefusedLoginWords(true);
        case 403:
            return "the camera does not allow this user to do that (HTTP 403)";
        case 404:
            return "the camera does not know the request (HTTP 404): is --model right?";
        default:
            std::snprintf(text, sizeof text, "the camera answered HTTP %d", status);
            return text;
    }
}

// What a line of the driver's preset list says went wrong with a preset; empty for another
// line.
std::string PresetFailureInWords(const std::string& line) {
    const std::string unkept = "presets cannot be kept: ";
    if (const size_t at = line.find(unkept); at != std::string::npos) {
        return line.substr(at) + " (--presets FILE names another file)";
    }
    if (line.find("\" cannot be added - the name is invalid") != std::string::npos) {
        return "the driver does not take that name: a preset's name is not empty and has none of "
               "& ! < > ' \" nor control characters";
    }
    if (const int most = NumberAfter(line, "Camera supports saving not more than "); most != 0) {
        return Format("the camera keeps at most %d presets: delete one first", most);
    }
    return {};
}

}  // namespace

std::string RefusedLoginWords(bool userGiven) {
    return userGiven ? "the camera refused the user name or password (HTTP 401): check --user "
                       "and --password (or --password-file, " +
                           std::string(kPasswordVariable) + ")"
                     : "the camera asks for a user name and password (HTTP 401): give --user "
                       "and --password (or --password-file, " +
                           std::string(kPasswordVariable) + ")";
}

std::string FailureInUserWords(const std::string& line) {
    if (const int status = NumberAfter(line, "status code = "); status != 0) {
        return HttpStatusInWords(status);
    }
    if (std::string words = PresetFailureInWords(line); !words.empty()) {
        return words;
    }
    // The camera took the request but refused an item in its answer line.
    if (const int status = NumberAfter(line, "Camera returns status code "); status != 0) {
        char text[160];
        if (status == 401) {
            return "the camera refused it: this user may not change that setting (401 in the "
                   "camera's answer)";
        }
        std::snprintf(text, sizeof text, "the camera refused it (%d in the camera's answer)",
                      status);
        return text;
    }
    if (line.find("Camera received incorrect data") != std::string::npos ||
        line.find("incorrect response for request") != std::string::npos) {
        return "the camera's answer made no sense: is this a camera of a known model?";
    }
    return {};
}

std::string CertainVideoFailure(const std::string& line) {
    const int status = NumberAfter(line, "status code = ");
    if (status == 401 || status == 403 || status == 404) {
        return HttpStatusInWords(status);
    }
    if (line.find("Picture size ") != std::string::npos &&
        line.find(" cannot be set on ") != std::string::npos) {
        const size_t takes = line.find("it takes ");
        return "the camera cannot give that picture size" +
               (takes == std::string::npos ? std::string() : " (" + line.substr(takes) + ")");
    }
    return {};
}

void FailureLines::Add(const std::string& line) {
    {
        std::lock_guard<std::mutex> hold(m_mutex);
        if (m_lines.size() == kKept) {
            m_lines.erase(m_lines.begin());
        }
        m_lines.push_back(line);
        ++m_count;
    }
    m_cond.notify_all();
}

uint64_t FailureLines::Mark() const {
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_count;
}

std::optional<std::string> FailureLines::Since(uint64_t mark) const {
    std::lock_guard<std::mutex> hold(m_mutex);
    return SinceLocked(mark);
}

std::optional<std::string> FailureLines::WaitSince(uint64_t mark,
                                                   std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> hold(m_mutex);
    m_cond.wait_for(hold, timeout, [&] { return m_count > mark; });
    return SinceLocked(mark);
}

std::optional<std::string> FailureLines::SinceLocked(uint64_t mark) const {
    if (m_count <= mark) {
        return std::nullopt;
    }
    // The oldest line kept after the mark (older ones may have been dropped).
    const uint64_t first = m_count - m_lines.size();
    const std::string& line = m_lines[mark >= first ? mark - first : 0];
    std::string words = FailureInUserWords(line);
    return words.empty() ? line : words;
}

void EchoDriverLog(host::LogSink& log, Console& console, FailureLines* failures,
                   FailureLines* certain) {
    log.SetEcho([&console, failures, certain](const host::LogRecord& record) {
        const std::string text = record.text.value_or("");
        if (failures != nullptr && record.level == 1) {
            failures->Add(text);
        }
        if (const std::string why = CertainVideoFailure(text); certain != nullptr && !why.empty()) {
            certain->Add(why);
        }
        console.Line(Format("driver [%d %s] ", record.level, LevelName(record.level)) + text);
    });
}

}  // namespace camhost
