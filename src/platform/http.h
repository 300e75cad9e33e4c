#pragma once
// The HTTP layer of the platform: a small synchronous HTTP/1.1 client API over libcurl with
// the semantics the camera client and the video read loop rely on.
//
//   Session     the root: receive, send and connect time-outs and the per-server
//               connection limit. Creates connections.
//   Connection  one server (host, port). Owns ONE libcurl easy handle and ONE multi handle,
//               reused by every request opened on it, so that sequential requests share one
//               keep-alive TCP connection while the server keeps it open. Only one request
//               uses the connection's transfer at a time: sending a new request detaches
//               the previous one (its buffered body stays readable; an unfinished transfer
//               is dropped and that request then reports Error::Closed).
//   Request     one exchange: open (verb, path, flags), credentials, header lines,
//               redirects off, ignore certificate errors, Send, ReceiveResponse, status code
//               and Content-Length, QueryDataAvailable / ReadData, QueryAuthSchemes,
//               Cancel (thread-safe).
//
// Threads: a connection and its requests are used by one thread at a time (all libcurl
// calls are serialised by the connection's mutex, so a hand-over between threads is safe).
// Request::Cancel may be called from any thread at any time, also while another thread is
// blocked in Send/ReceiveResponse/QueryDataAvailable; the blocked call then returns false
// at once with LastError() == Error::Cancelled. Cancel is sticky: every later wait of that
// request fails the same way.
//
// Response bodies are pulled by the reader: at most kBodyBufferLimit bytes are buffered per
// request; when the buffer is full the transfer is paused (no more bytes are taken from the
// socket, so TCP flow control slows the server) and resumed when the reader has drained it.
//
// Time-outs: the connect time-out bounds name resolution, TCP connect and TLS handshake; the
// receive time-out is "no data for that long" while waiting for a response or for body data
// (never a limit on a whole stream); the send time-out is the same for an upload of a body.
// A request may also carry a deadline (SetDeadline): a moment at which each of its waits ends
// with TimedOut however much data is still coming.
//
// Authentication: libcurl may answer a Digest (or NTLM) challenge itself inside one
// transfer. "The response" of a request is always the final response of its transfer; the
// headers, status code and auth schemes reported are those of that final response.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform::http {

enum class Error : uint32_t {
    None = 0,
    InvalidArgument,     // empty verb/path/host, unknown option or scheme
    AlreadyInitialized,  // a session option step that found the session already open
    OutOfResources,      // libcurl handle could not be created
    CannotConnect,       // name resolution or TCP connect failed
    ConnectionFailed,    // the connection broke, or the server closed without an answer
    TimedOut,            // connect time-out, or no data within the receive/send time-out
    SecureFailure,       // TLS handshake or certificate failure
    Cancelled,           // Cancel() was called on the request
    Closed,              // the request was detached from its connection before it finished
    NotReady,            // the call needs a response that has not been received
    NotFound,            // queried header absent
    TransferFailed,      // any other libcurl failure
    NotHttp,             // the server answered with something that is not HTTP
};
const char* ErrorName(Error error);

// Authentication schemes (values as WinHTTP's, so they can be combined in a bit set).
inline constexpr uint32_t kAuthBasic = 1;
inline constexpr uint32_t kAuthNtlm = 2;
inline constexpr uint32_t kAuthPassport = 4;
inline constexpr uint32_t kAuthDigest = 8;
inline constexpr uint32_t kAuthNegotiate = 16;

enum class AuthTarget : uint32_t { Server = 0, Proxy = 1 };

// Flags of Connection::OpenRequest.
inline constexpr uint32_t kRequestSecure = 0x1;              // HTTPS
inline constexpr uint32_t kRequestEscapeDisableQuery = 0x2;  // query sent as given
// The body lasts until the server closes the connection, whatever its Content-Length says:
// some cameras declare the length of the first picture of an endless stream. The request
// carries "Connection: close".
inline constexpr uint32_t kRequestBodyToClose = 0x4;

enum class SessionOption {
    ReceiveTimeoutMs,        // 0: no limit
    SendTimeoutMs,           // 0: no limit
    ConnectTimeoutMs,        // 0: no limit
    MaxConnsPerServer,       // at least 1
    MaxConnsPerHttp10Server  // at least 1 (kept for completeness; HTTP/1.1 is always used)
};

// Most body bytes a request buffers before its transfer is paused.
inline constexpr size_t kBodyBufferLimit = 256 * 1024;
// Most header bytes one transfer may receive (all its responses together).
inline constexpr size_t kHeaderLimit = 256 * 1024;

class Connection;
class Request;
struct ConnectionCore;

class Session : public std::enable_shared_from_this<Session> {
  public:
    // Opens a root session (no proxy, synchronous). Null on failure, with *error set.
    static std::shared_ptr<Session> Open(const std::string& userAgent, Error* error = nullptr);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool SetOption(SessionOption option, uint32_t value);
    uint32_t GetOption(SessionOption option) const;
    const std::string& UserAgent() const { return m_userAgent; }

    // A connection to host:port (no network traffic yet). Null when host is empty or libcurl
    // handles could not be made.
    std::shared_ptr<Connection> Connect(const std::string& host, uint16_t port,
                                        Error* error = nullptr);

    // For tests and diagnostics: requests sent on the session's connections so far (a
    // request that libcurl answers an authentication challenge for counts once).
    uint64_t TransfersStarted() const { return m_transfers.load(); }

  private:
    friend struct ConnectionCore;
    explicit Session(std::string userAgent) : m_userAgent(std::move(userAgent)) {}
    std::string m_userAgent;
    std::atomic<uint32_t> m_receiveTimeout{30000};
    std::atomic<uint32_t> m_sendTimeout{30000};
    std::atomic<uint32_t> m_connectTimeout{60000};
    std::atomic<uint32_t> m_maxConns{16};
    std::atomic<uint32_t> m_maxConns10{16};
    std::atomic<uint64_t> m_transfers{0};
};

class Connection {
  public:
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Opens a request. Null (with *error InvalidArgument) when verb or path is empty.
    // path is the request target: "/api/param?system.mode".
    std::shared_ptr<Request> OpenRequest(const std::string& verb, const std::string& path,
                                         uint32_t flags, Error* error = nullptr);

    const std::string& Host() const;
    uint16_t Port() const;

  private:
    friend class Session;
    explicit Connection(std::shared_ptr<ConnectionCore> core) : m_core(std::move(core)) {}
    std::shared_ptr<ConnectionCore> m_core;
};

class Request {
  public:
    ~Request();  // detaches from the connection (an unfinished transfer is dropped)
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    // --- before Send ---
    // Credentials offered with the given scheme (one of kAuth*; Passport is refused).
    bool SetCredentials(AuthTarget target, uint32_t scheme, const std::string& user,
                        const std::string& password);
    // Adds header lines ("Name: value", several separated by CR LF). With replace, a header
    // of the same name added earlier is replaced.
    bool AddHeaders(const std::string& lines, bool replace = true);
    bool DisableRedirects();
    // Over HTTPS: accept an untrusted, expired or mismatching certificate.
    bool IgnoreCertificateErrors();

    // Sends the request with body (may be empty). totalLength must equal body length (a
    // larger declared length is refused: the module never streams an upload).
    bool Send(const void* body = nullptr, size_t bodyLength = 0, uint64_t totalLength = 0);
    // Waits for the final response's headers.
    bool ReceiveResponse();

    // Any time (thread-safe): from the given moment on, every wait of the request fails with
    // TimedOut; nullopt lifts the deadline.
    void SetDeadline(std::optional<std::chrono::steady_clock::time_point> deadline);

    // --- after ReceiveResponse ---
    bool QueryStatusCode(uint32_t& status) const;
    // The Content-Length header as a number; false when absent or not a number.
    bool QueryContentLength(uint32_t& length) const;
    // Value of a response header (first of that name, case-insensitive); false when absent.
    bool QueryHeader(const std::string& name, std::string& value) const;
    // All header lines of the final response, status line first, each ending in CR LF.
    std::string RawHeaders() const;
    // Schemes (kAuth* bits: Basic, Digest and NTLM are recognised) offered by the final
    // response's WWW-Authenticate (401) or Proxy-Authenticate (407) headers, the first one
    // offered, and the target. False when the response is not 401/407 or offers none of them.
    bool QueryAuthSchemes(uint32_t& supported, uint32_t& first, AuthTarget& target) const;

    // Blocks until at least one body byte is buffered (available = count, true), the body
    // has ended (available = 0, true), or it fails: no byte within the receive time-out
    // (TimedOut), Cancel (Cancelled), a broken transfer.
    bool QueryDataAvailable(size_t& available);
    // Copies up to size buffered bytes (does not wait; 0 when nothing is buffered).
    bool ReadData(void* buffer, size_t size, size_t& read);
    // Hands every buffered byte to the caller without copying them: block (emptied first)
    // takes the request's buffer and the request keeps block's storage for the next bytes.
    // Does not wait; block is empty when nothing is buffered.
    bool TakeData(std::vector<uint8_t>& block);

    // Thread-safe: ends any pending or later wait of this request with Error::Cancelled.
    void Cancel();
    bool IsCancelled() const { return m_cancelled.load(); }

    // Error of the last failed call on this request (None after a success).
    Error LastError() const { return m_lastError.load(); }
    // True once a connection to the server was made for the request (for HTTPS: with its
    // TLS handshake done), whatever happened after.
    bool WasConnected() const;

    // For tests and diagnostics: the most body bytes this request ever held buffered.
    size_t PeakBufferedBytes() const;

    struct State;  // transfer state, shared with the connection's callbacks

  private:
    friend class Connection;
    friend struct ConnectionCore;
    Request(std::shared_ptr<ConnectionCore> core, std::string verb, std::string target,
            uint32_t flags);
    bool Fail(Error error) {
        m_lastError = error;
        return false;
    }

    std::shared_ptr<ConnectionCore> m_core;
    std::unique_ptr<State> m_state;  // guarded by the connection's mutex
    std::atomic<bool> m_cancelled{false};
    std::atomic<Error> m_lastError{Error::None};
};

}  // namespace platform::http
