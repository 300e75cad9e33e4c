#pragma once
// camhost serve run as a child process for the tests: started on an ephemeral loopback port,
// found by the line with its URL, stopped with SIGTERM as a person's Ctrl-C would. Its preset
// file (--presets, in the temporary folder) has a name of its own and is removed.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace camhost_test {

// Starts args[0] with standard input, output and error on /dev/null, then each pair of
// `fds` (the descriptor in the child, ours) in place. The child's pid; -1 with `error` set
// when it did not start.
inline pid_t Spawn(std::vector<std::string> args, const std::vector<std::pair<int, int>>& fds,
                   int& error) {
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    for (const auto& [child, ours] : fds) {
        posix_spawn_file_actions_adddup2(&actions, ours, child);
    }
    pid_t pid = -1;
    error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

class ServeProcess {
  public:
    ServeProcess() = default;
    ServeProcess(const ServeProcess&) = delete;
    ServeProcess& operator=(const ServeProcess&) = delete;
    ~ServeProcess() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_reader.joinable()) {
            m_reader.join();
        }
        if (!m_presets.empty()) {
            std::error_code ignored;
            std::filesystem::remove(m_presets, ignored);
        }
    }

    // Starts `camhost serve ARGS --listen 127.0.0.1:0` and waits for its URL. False (with the
    // output in Output()) when it did not serve within the time-out.
    bool Start(const std::string& program, std::vector<std::string> args,
               std::chrono::milliseconds timeout) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) {
            return false;
        }
        static int count = 0;
        const std::string presets =
            "camhost-test-" + std::to_string(getpid()) + "-" + std::to_string(++count) + ".xml";
        m_presets = std::filesystem::temp_directory_path() / presets;
        args.insert(args.begin(), {program, "serve"});
        args.insert(args.end(), {"--listen", "127.0.0.1:0", "--presets", m_presets.string()});
        int error = 0;
        m_pid = Spawn(args, {{1, out[1]}, {2, out[1]}}, error);
        close(out[1]);
        if (m_pid < 0) {
            close(out[0]);
            return false;
        }
        m_reader = std::thread([this, fd = out[0]] {
            char buffer[4096];
            for (;;) {
                const ssize_t n = read(fd, buffer, sizeof buffer);
                if (n <= 0) {
                    break;
                }
                std::lock_guard<std::mutex> guard(m_mutex);
                m_output.append(buffer, static_cast<size_t>(n));
                m_cond.notify_all();
            }
            close(fd);
            std::lock_guard<std::mutex> guard(m_mutex);
            m_ended = true;
            m_cond.notify_all();
        });
        // "serving http://127.0.0.1:PORT/"
        const std::string prefix = "serving http://127.0.0.1:";
        std::unique_lock<std::mutex> lock(m_mutex);
        size_t at = std::string::npos;
        m_cond.wait_for(lock, timeout, [&] {
            at = m_output.find(prefix);
            return m_ended || (at != std::string::npos &&
                               m_output.find('/', at + prefix.size()) != std::string::npos);
        });
        const size_t begin = at + prefix.size();
        const size_t end = at == std::string::npos ? at : m_output.find('/', begin);
        if (end == std::string::npos) {
            return false;
        }
        const std::string number = m_output.substr(begin, end - begin);
        port = static_cast<uint16_t>(std::atoi(number.c_str()));
        url = "http://127.0.0.1:" + number + "/";
        return true;
    }

    std::string Output() const {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_output;
    }

    // SIGTERM, then the exit status once it ended; nullopt when it did not end within the
    // time-out (it is killed then).
    std::optional<int> Stop(std::chrono::milliseconds timeout) {
        if (m_pid <= 0) {
            return std::nullopt;
        }
        kill(m_pid, SIGTERM);
        auto status = Reap(timeout);
        if (!status) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
        if (m_reader.joinable()) {
            m_reader.join();
        }
        return status;
    }

    uint16_t port = 0;
    std::string url;

  private:
    // Waits for the end of its output (the program has ended then), then for the program.
    std::optional<int> Reap(std::chrono::milliseconds timeout) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (!m_cond.wait_for(lock, timeout, [&] { return m_ended; })) {
                return std::nullopt;
            }
        }
        int status = 0;
        if (waitpid(m_pid, &status, 0) != m_pid) {
            return std::nullopt;
        }
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    pid_t m_pid = -1;
    std::filesystem::path m_presets;
    std::thread m_reader;
    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    std::string m_output;
    bool m_ended = false;
};

}  // namespace camhost_test
