#pragma once
// Helpers for the camera simulator's tests: child processes (curl, ffmpeg, ffprobe) with a
// time limit, and a small streaming reader built on cpp-httplib's client.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

extern char** environ;

namespace camsim_test {

struct ProcessResult {
    int exit_code = -1;  // -1 when killed by a signal other than the polite stop
    bool timed_out = false;
    std::string out, err;
};

// Runs argv[0] (searched in PATH) with stdin from /dev/null. After `stop_after` (if not zero),
// or as soon as `stop_when` returns true for the output so far, the child gets SIGINT (ffmpeg
// then finishes its output cleanly); after `timeout` SIGKILL.
inline ProcessResult RunProcess(const std::vector<std::string>& argv,
                                std::chrono::milliseconds timeout,
                                std::chrono::milliseconds stop_after = std::chrono::milliseconds(0),
                                std::function<bool(const std::string& out)> stop_when = nullptr) {
    ProcessResult result;
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (rc != 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        result.err = std::string("cannot start ") + argv[0] + ": " + std::strerror(rc);
        return result;
    }
    const auto start = std::chrono::steady_clock::now();
    bool stopped = false, killed = false;
    bool out_open = true, err_open = true;
    char buffer[65536];
    while (out_open || err_open) {
        pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
        poll(fds, 2, 20);
        for (int i = 0; i < 2; ++i) {
            if (fds[i].revents & (POLLIN | POLLHUP)) {
                const ssize_t n = read(fds[i].fd, buffer, sizeof(buffer));
                if (n > 0) {
                    (i == 0 ? result.out : result.err).append(buffer, static_cast<size_t>(n));
                } else if (n == 0) {
                    (i == 0 ? out_open : err_open) = false;
                }
            }
        }
        const auto elapsed = std::chrono::steady_clock::now() - start;
        if (!stopped && ((stop_after.count() > 0 && elapsed >= stop_after) ||
                         (stop_when && stop_when(result.out)))) {
            kill(pid, SIGINT);
            stopped = true;
        }
        if (!killed && elapsed >= timeout) {
            kill(pid, SIGKILL);
            killed = true;
            result.timed_out = true;
        }
    }
    close(out_pipe[0]);
    close(err_pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status)) {
        result.exit_code = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGINT && stopped) {
        result.exit_code = 0;
    }
    return result;
}

// Reads a response body as a stream with cpp-httplib's client. `on_data` gets every block and
// answers whether to go on; the read also ends after `limit`. Returns the status (0 when no
// answer came) and all bytes received.
struct StreamResult {
    int status = 0;
    httplib::Error error = httplib::Error::Success;
    std::string headers_content_type;
    std::string body;
    bool ended_by_server = false;  // the server closed the stream (not our limit or callback)
};

inline StreamResult ReadStream(uint16_t port, const std::string& target,
                               std::chrono::milliseconds limit,
                               std::function<bool(const std::string& body)> on_data = nullptr,
                               std::chrono::milliseconds read_timeout = std::chrono::seconds(5)) {
    StreamResult result;
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(read_timeout);
    client.set_connection_timeout(std::chrono::seconds(2));
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool stopped_by_us = false;
    auto res = client.Get(
        target,
        [&](const httplib::Response& response) {
            result.status = response.status;
            result.headers_content_type = response.get_header_value("Content-Type");
            return true;
        },
        [&](const char* data, size_t size) {
            result.body.append(data, size);
            if (on_data && !on_data(result.body)) {
                stopped_by_us = true;
                return false;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                stopped_by_us = true;
                return false;
            }
            return true;
        });
    result.error = res.error();
    if (res) {
        result.status = res->status;
    }
    result.ended_by_server = !stopped_by_us && res.error() == httplib::Error::Success;
    return result;
}

// Splits a multipart/x-mixed-replace body into its parts' bytes, using each part's
// Content-Length header. Stops at the first part that is not complete. `line` is the line
// that opens a part: the camera's is its boundary value itself ("--foo"), not "--" + boundary.
inline std::vector<std::string> SplitParts(const std::string& body, const std::string& line) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (true) {
        const size_t b = body.find(line + "\r\n", pos);
        if (b == std::string::npos)
            break;
        const size_t headers_end = body.find("\r\n\r\n", b);
        if (headers_end == std::string::npos)
            break;
        const std::string headers = body.substr(b, headers_end - b);
        const size_t cl = headers.find("Content-Length: ");
        if (cl == std::string::npos)
            break;
        const size_t length = std::stoul(headers.substr(cl + 16));
        const size_t data = headers_end + 4;
        if (data + length > body.size())
            break;
        parts.push_back(body.substr(data, length));
        pos = data + length;
    }
    return parts;
}

}  // namespace camsim_test
