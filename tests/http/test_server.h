#pragma once
// A raw-socket HTTP test server on the loopback interface: the tests write every byte of
// each answer themselves. Each accepted connection runs the handler on its own thread.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_http {

struct HttpRequest {
    std::string method;
    std::string target;
    std::map<std::string, std::string> headers;  // lower-case names
    std::string body;
    std::string Header(const std::string& lowerName) const {
        auto it = headers.find(lowerName);
        return it == headers.end() ? std::string() : it->second;
    }
};

class ServerConnection {
  public:
    explicit ServerConnection(int fd) : m_fd(fd) {}
    // Reads one request (headers and a Content-Length body). False on close or time-out.
    bool ReadRequest(HttpRequest& request, int timeoutMs = 10000);
    // Sends all bytes; false when the peer is gone.
    bool Send(const std::string& bytes);
    // Sends bytes and counts them in *counter as they go.
    bool SendCounted(const std::string& bytes, std::atomic<size_t>* counter);
    int Fd() const { return m_fd; }

  private:
    int m_fd;
    std::string m_pending;
};

class TestServer {
  public:
    using Handler = std::function<void(ServerConnection&, TestServer&)>;
    explicit TestServer(Handler handler);
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    uint16_t Port() const { return m_port; }
    int Accepted() const { return m_accepted.load(); }
    // Requests recorded by Record (handlers call it for each request they read).
    void Record(const HttpRequest& request);
    std::vector<HttpRequest> Requests();
    // Waits until at least count requests have been recorded; false on time-out.
    bool WaitForRequests(size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Handlers that hold their connection open until the test has made its checks wait for
    // Release. Stop releases too, so a test that ends early never leaves a handler waiting.
    void Release();
    bool Released();
    // True once released; false when the time-out passed first.
    bool WaitForRelease(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // Stops accepting, breaks every connection and joins the threads.
    void Stop();

  private:
    void AcceptLoop();

    Handler m_handler;
    int m_listen = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_accepted{0};
    std::thread m_acceptThread;
    std::mutex m_mutex;
    std::condition_variable m_changed;  // a request was recorded, or Release
    bool m_released = false;
    std::vector<int> m_fds;
    std::vector<std::thread> m_threads;
    std::vector<HttpRequest> m_requests;
};

// "HTTP/1.1 <status> <reason>" response with Content-Length and the extra header lines
// (each ending in CR LF).
std::string Response(int status, const std::string& body, const std::string& extraHeaders = "");
// The same with a chunked body cut into pieces of the given size.
std::string ChunkedResponse(int status, const std::string& body, size_t pieceSize,
                            const std::string& extraHeaders = "");

// Reads requests and answers each with answer(request) until the peer closes.
TestServer::Handler Serve(std::function<std::string(const HttpRequest&)> answer);

}  // namespace testing_http
