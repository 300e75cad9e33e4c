#include "console.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace camhost {

void Console::ClearProgressLocked() {
    if (m_terminal && !m_progress.empty()) {
        std::fputs("\r\033[K", m_out);
    }
}

std::string Printable(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool c1 = c == 0xC2 && i + 1 < text.size() &&
                        static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if ((c < 0x20 && c != '\t') || c == 0x7F || c1) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X",
                          c1 ? static_cast<unsigned char>(text[++i]) : c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void Console::Line(const std::string& raw) {
    const std::string text = Printable(raw);
    std::lock_guard<std::mutex> guard(m_mutex);
    ClearProgressLocked();
    std::fputs(text.c_str(), m_out);
    std::fputc('\n', m_out);
    if (m_terminal && !m_progress.empty()) {
        std::fputs(m_progress.c_str(), m_out);
    }
    std::fflush(m_out);
}

void Console::Progress(const std::string& raw) {
    const std::string text = Printable(raw);
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_terminal) {
        ClearProgressLocked();
        // A line longer than the terminal would wrap, and only its last row would be redrawn.
        winsize size{};
        m_progress = text;
        if (ioctl(fileno(m_out), TIOCGWINSZ, &size) == 0 && size.ws_col > 1 &&
            m_progress.size() >= size.ws_col) {
            m_progress.resize(size.ws_col - 1u);
        }
        std::fputs(m_progress.c_str(), m_out);
    } else {
        std::fputs(text.c_str(), m_out);
        std::fputc('\n', m_out);
    }
    std::fflush(m_out);
}

void Console::EndProgress() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_terminal && !m_progress.empty()) {
        std::fputc('\n', m_out);
        m_progress.clear();
        std::fflush(m_out);
    }
}

}  // namespace camhost
