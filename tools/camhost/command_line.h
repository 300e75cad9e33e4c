#pragma once
// Small helpers every camhost command shares: formatting, the outcome of a command line and
// the reader that walks its arguments, with the usage errors a person reads ("--port must be
// 1..65535", "unknown option --jsn").
#include <optional>
#include <string>
#include <vector>

#include "console.h"

namespace camhost {

// printf into a string of any length.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Upper(std::string text);
std::string Lower(std::string text);
// A whole decimal number within [low, high]; nullopt otherwise.
std::optional<long> ParseNumber(const std::string& text, long low, long high);
// Seconds from 0 to a year, fractions allowed.
std::optional<double> ParseSeconds(const std::string& text);

// What a command line asks for: run the command, print its help, or a usage error (one line,
// without "camhost: ").
struct ParseOutcome {
    enum Status { kRun, kHelp, kUsageError } status = kRun;
    std::string error;  // for kUsageError
};
ParseOutcome UsageError(std::string text);

// Walks a command's arguments (those after the command's name). Each option takes its value
// from the next argument. The first mistake is kept (Failed(), error()) and ends the walk:
// Done() is then true, so a parser's loop stops at it.
class ArgReader {
  public:
    explicit ArgReader(const std::vector<std::string>& args) : m_args(args) {}

    bool Done() const { return Failed() || m_next >= m_args.size(); }
    // The next argument; call only when not Done().
    const std::string& Next() { return m_args[m_next++]; }
    // The next argument, not taken; null when there is none.
    const std::string* Peek() const { return Done() ? nullptr : &m_args[m_next]; }
    // The next argument when there is one and it is not an option ("--..."), taken.
    std::optional<std::string> Operand();
    // The value of `option`: the next argument; "OPTION needs a value" when none follows.
    std::optional<std::string> Value(const std::string& option);
    // A whole number in [low, high]; "OPTION must be LOW..HIGH" otherwise.
    std::optional<long> Number(const std::string& option, long low, long high);
    // Seconds in [low, high], fractions allowed (above low only, with aboveLow); otherwise
    // "OPTION must be LOW..HIGH seconds" (or "more than LOW and at most HIGH seconds").
    std::optional<double> Seconds(const std::string& option, double low, double high,
                                  bool aboveLow = false);

    // Records a mistake (the first one counts).
    void Fail(std::string error);
    // The usage error for an option the command does not know: "unknown option --jsn".
    void Unknown(const std::string& option) { Fail("unknown option " + option); }
    bool Failed() const { return !m_error.empty(); }
    const std::string& error() const { return m_error; }
    // The outcome so far: kRun, or the usage error recorded.
    ParseOutcome Outcome() const;

  private:
    const std::vector<std::string>& m_args;
    size_t m_next = 0;
    std::string m_error;
};

// Whether an argument asks for help.
bool IsHelp(const std::string& arg);
// The local time of day with milliseconds, "14:03:07.412".
std::string TimeOfDay();
// The text as a JSON string, quotes included.
std::string Json(const std::string& text);

// Why a command failed, as the "cause" of its JSON error object names it (the README lists
// them): the camera refused the login, could not be reached, took the connection but did not
// answer, is not a camera of a known model; a mistake on the command line; anything else.
enum class FailureCause { kCredentials, kUnreachable, kNoAnswer, kNotACamera, kUsage, kOther };
// "credentials", "unreachable", "no-answer", "not-a-camera", "usage", "other".
const char* CauseName(FailureCause cause);
// The JSON error object of a --json command, one line without its line end:
// {"ok": false, "error": "...", "cause": "..."}.
std::string FailureJson(FailureCause cause, const std::string& error);

// Prints "camhost: TEXT" and gives 1, the exit status of a command that failed.
int Fail(Console& console, const std::string& text);

// The level names of the driver's log lines.
const char* LevelName(int level);

}  // namespace camhost
