#pragma once
// The driver's failure lines as camhost's commands read them: what a line says happened, in
// the words of the person at the camera, and a record of the lines since a mark that a
// command waits on to tell whether what it asked for failed, and the echo of the driver's
// log that feeds them.
//
// Threads: FailureLines is thread-safe; Add runs on the module's threads (the log echo),
// the other calls on the command's own.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "console.h"
#include "reference_host.h"

namespace camhost {

// A login the camera refuses (HTTP 401), in a user's words with what to check; userGiven:
// --user named an account (otherwise the camera asks for one).
std::string RefusedLoginWords(bool userGiven);

// What a driver failure line says about an exchange with the camera or the driver's presets,
// in a user's words ("the camera refused the user name or password (HTTP 401): check --user
// and --password ...", "presets cannot be kept: REASON ..."); empty for any other line.
std::string FailureInUserWords(const std::string& line);

// When a failure line makes it certain that a video channel will get no picture as things
// stand (the camera refuses the login, does not know the request, or cannot give the picture
// size), what happened in a user's words; empty when waiting may still help.
std::string CertainVideoFailure(const std::string& line);

class FailureLines {
  public:
    // A failure line of the driver, or a failure camhost saw itself (in a user's words).
    void Add(const std::string& line);
    // A mark for the lines to come.
    uint64_t Mark() const;
    // The first failure since the mark, in a user's words when the line says what happened,
    // otherwise the line itself; nullopt when none came.
    std::optional<std::string> Since(uint64_t mark) const;
    // Waits up to the time-out for a failure since the mark; as Since.
    std::optional<std::string> WaitSince(uint64_t mark, std::chrono::milliseconds timeout);

  private:
    std::optional<std::string> SinceLocked(uint64_t mark) const;

    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<std::string> m_lines;  // the newest kKept of them
    uint64_t m_count = 0;              // every line ever added
    static constexpr size_t kKept = 64;
};

// Prints the driver's log lines as they come, with their level ("driver [1 failure] ..."), and
// notes them for the command: every failure line in failures, and in certain, in a user's
// words, those that make it certain no picture will come. Either may be null.
void EchoDriverLog(host::LogSink& log, Console& console, FailureLines* failures,
                   FailureLines* certain);

}  // namespace camhost
