#pragma once
// Output of camhost, shared by the module's threads (log lines) and the progress loop. On a
// terminal the progress is one line rewritten in place, and other lines are printed above it;
// otherwise every progress report is a plain line.
#include <cstdio>
#include <mutex>
#include <string>

namespace camhost {

// The text with every control character shown as \xNN (C0, DEL, and C1 in UTF-8): texts that
// come from cameras and web requests (names, log lines) must not drive the operator's
// terminal. Tabs stay.
std::string Printable(const std::string& text);

class Console {
  public:
    Console(FILE* out, bool terminal) : m_out(out), m_terminal(terminal) {}

    bool terminal() const { return m_terminal; }
    // A whole line (without its newline), made Printable.
    void Line(const std::string& text);
    // The live progress, made Printable: rewritten in place on a terminal, a line of its own
    // otherwise.
    void Progress(const std::string& text);
    // Leaves the progress line on the screen and goes on below it.
    void EndProgress();

  private:
    void ClearProgressLocked();

    std::mutex m_mutex;
    FILE* m_out;
    bool m_terminal;
    std::string m_progress;  // shown now (terminal only)
};

}  // namespace camhost
