#include "http/test_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace testing_http {

namespace {

std::string Lower(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

const char* Reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 204:
            return "No Content";
        case 401:
            return "Unauthorized";
        case 404:
            return "Not Found";
        case 407:
            return "Proxy Authentication Required";
        case 500:
            return "Internal Server Error";
        default:
            return "Status";
    }
}

}  // namespace

bool ServerConnection::ReadRequest(HttpRequest& request, int timeoutMs) {
    request = HttpRequest();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    auto fill = [&]() -> bool {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            return false;
        }
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) {
            return false;
        }
        char buf[4096];
        ssize_t n = recv(m_fd, buf, sizeof buf, 0);
        if (n <= 0) {
            return false;
        }
        m_pending.append(buf, static_cast<size_t>(n));
        return true;
    };
    size_t end;
    while ((end = m_pending.find("\r\n\r\n")) == std::string::npos) {
        if (!fill()) {
            return false;
        }
    }
    std::string head = m_pending.substr(0, end + 2);
    m_pending.erase(0, end + 4);
    size_t lineEnd = head.find("\r\n");
    std::string first = head.substr(0, lineEnd);
    auto s1 = first.find(' ');
    auto s2 = first.find(' ', s1 + 1);
    request.method = first.substr(0, s1);
    request.target = first.substr(s1 + 1, s2 - s1 - 1);
    size_t pos = lineEnd + 2;
    while (pos < head.size()) {
        size_t e = head.find("\r\n", pos);
        std::string line = head.substr(pos, e - pos);
        pos = e + 2;
        auto colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        std::string value = line.substr(colon + 1);
        while (!value.empty() && value.front() == ' ') {
            value.erase(0, 1);
        }
        request.headers[Lower(line.substr(0, colon))] = value;
    }
    size_t length = std::strtoul(request.Header("content-length").c_str(), nullptr, 10);
    while (m_pending.size() < length) {
        if (!fill()) {
            return false;
        }
    }
    request.body = m_pending.substr(0, length);
    m_pending.erase(0, length);
    return true;
}

bool ServerConnection::Send(const std::string& bytes) {
    return SendCounted(bytes, nullptr);
}

bool ServerConnection::SendCounted(const std::string& bytes, std::atomic<size_t>* counter) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(m_fd, bytes.data() + sent, std::min<size_t>(bytes.size() - sent, 65536),
                         MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
        if (counter != nullptr) {
            *counter += static_cast<size_t>(n);
        }
    }
    return true;
}

TestServer::TestServer(Handler handler) : m_handler(std::move(handler)) {
    m_listen = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(m_listen, 64) != 0) {
        throw std::runtime_error("test server: cannot listen");
    }
    socklen_t len = sizeof addr;
    getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
    m_port = ntohs(addr.sin_port);
    m_acceptThread = std::thread([this] { AcceptLoop(); });
}

TestServer::~TestServer() {
    Stop();
}

void TestServer::AcceptLoop() {
    for (;;) {
        pollfd p{m_listen, POLLIN, 0};
        int r = poll(&p, 1, 50);
        if (m_stopping) {
            return;
        }
        if (r <= 0) {
            continue;
        }
        int fd = accept(m_listen, nullptr, nullptr);
        if (fd < 0) {
            continue;
        }
        ++m_accepted;
        std::lock_guard<std::mutex> guard(m_mutex);
        if (m_stopping) {
            close(fd);
            return;
        }
        m_fds.push_back(fd);
        m_threads.emplace_back([this, fd] {
            ServerConnection connection(fd);
            m_handler(connection, *this);
            shutdown(fd, SHUT_RDWR);
        });
    }
}

void TestServer::Stop() {
    if (m_stopping.exchange(true)) {
        return;
    }
    // Handlers waiting for the test must not hold up the join below.
    Release();
    if (m_acceptThread.joinable()) {
        m_acceptThread.join();
    }
    close(m_listen);
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        for (int fd : m_fds) {
            shutdown(fd, SHUT_RDWR);
        }
        threads.swap(m_threads);
    }
    for (auto& t : threads) {
        t.join();
    }
    for (int fd : m_fds) {
        close(fd);
    }
}

void TestServer::Record(const HttpRequest& request) {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_requests.push_back(request);
    }
    m_changed.notify_all();
}

bool TestServer::WaitForRequests(size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_requests.size() >= count; });
}

void TestServer::Release() {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_released = true;
    }
    m_changed.notify_all();
}

bool TestServer::Released() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_released;
}

bool TestServer::WaitForRelease(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [this] { return m_released; });
}

std::vector<HttpRequest> TestServer::Requests() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_requests;
}

std::string Response(int status, const std::string& body, const std::string& extraHeaders) {
    std::string r = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
    r += extraHeaders;
    if (status != 204) {
        r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    }
    r += "\r\n";
    r += body;
    return r;
}

std::string ChunkedResponse(int status, const std::string& body, size_t pieceSize,
                            const std::string& extraHeaders) {
    std::string r = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
    r += extraHeaders;
    r += "Transfer-Encoding: chunked\r\n\r\n";
    char size[32];
    for (size_t pos = 0; pos < body.size(); pos += pieceSize) {
        size_t n = std::min(pieceSize, body.size() - pos);
        std::snprintf(size, sizeof size, "%zx\r\n", n);
        r += size;
        r += body.substr(pos, n);
        r += "\r\n";
    }
    r += "0\r\n\r\n";
    return r;
}

TestServer::Handler Serve(std::function<std::string(const HttpRequest&)> answer) {
    return [answer](ServerConnection& connection, TestServer& server) {
        HttpRequest request;
        while (connection.ReadRequest(request)) {
            server.Record(request);
            if (!connection.Send(answer(request))) {
                return;
            }
        }
    };
}

}  // namespace testing_http
