#pragma once
// CHttpClient: the one way the module speaks HTTP to the camera. A small
// synchronous client bound at construction to one camera address and one set of
// credentials, over the platform HTTP layer (platform/http.h, libcurl underneath).
//
// Use by the parameter protocol: SendRequest("GET", path, headers), then ReadResponse.
//
// Use by a video channel for an endless response stream:
//   1. SendForStream(client, "/api/video?...", log, 0)   (readBody false) — the
//      answered request stays open in the client.
//   2. Loop on the channel thread: client.ReadStream(block) waits for the next bytes and
//      hands over what the HTTP layer has buffered, without copying it; it tells apart data,
//      the end of the stream, a cancel and a failure (time-out after m_timeout ms without a
//      byte, broken transfer).
//   3. From any other thread, to stop at once: client.Cancel() — the pending (or next)
//      ReadStream returns kCancelled.
//   4. After the stream, on the channel thread: client.CloseRequest().
// The layer buffers at most platform::http::kBodyBufferLimit bytes of a stream; a slow
// reader slows the camera down instead of growing memory.
//
// Authentication: the credentials go with the scheme the camera last asked for. Once any
// client of the process has met a Digest challenge from a camera (host and port), every
// client offers that camera Digest from its first request on and never answers it with
// Basic, so the password is never sent in clear to it again.
//
// Protocol detection: a new client tries plain HTTP first; when the camera took the
// connection and then closed or reset it, or answered with something that is not HTTP (what
// a TLS-only port does), it tries HTTPS once (certificate errors ignored). A refused or
// timed-out connect, silence or a cancel is not a reason to try HTTPS. The protocol found
// then stays for the life of the client.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/device_info.h"
#include "platform/http.h"
#include "thread/lock.h"

namespace Web {

class CHttpClient {
  public:
    // Request options word of the internal send steps; SendRequest uses 4.
    static constexpr uint32_t kOptionEscapeDisableQuery = 1;
    static constexpr uint32_t kOptionNoRedirects = 2;
    static constexpr uint32_t kOptionIgnoreCertErrors = 4;
    static constexpr uint32_t kOptionNoWait = 8;
    static constexpr uint32_t kOptionBodyToClose = 16;

    // Protocols of m_protocol.
    static constexpr uint32_t kProtocolUnknown = 0;
    static constexpr uint32_t kProtocolHttp = 1;
    static constexpr uint32_t kProtocolHttps = 2;

    // Every creator passes this agent name.
    static constexpr const char* kUserAgent = "Vostrel::HttpClient";

    // Copies the settings and opens the root session at once; a failure there is not
    // reported (every later send fails).
    CHttpClient(const vostrel::DEVICE_INFO& info, const std::string& userAgent);
    virtual ~CHttpClient();
    CHttpClient(const CHttpClient&) = delete;
    CHttpClient& operator=(const CHttpClient&) = delete;

    // Most bytes of an answer that ReadResponse takes (a parameter answer is a few lines).
    static constexpr uint32_t kMaxAnswerBytes = 1024 * 1024;
    // An exchange (SendRequest and the ReadResponse after it) ends at the latest this many
    // request time-outs after it began, however slowly the camera keeps sending.
    static constexpr uint32_t kExchangeTimeouts = 3;

    // Sends one request (empty header list, no body, options 4) and waits for the response.
    // True when a response was received, whatever its status (see GetStatusCode()). Starts an
    // exchange: its sends and a ReadResponse after them share one deadline; the body of a
    // response read as a stream (ReadStream) has none.
    bool SendRequest(const std::string& verb, const std::string& path);
    // The same with request header lines ("Name: value") added to it.
    bool SendRequest(const std::string& verb, const std::string& path,
                     const std::vector<std::string>& headers);
    // SendRequest for a response read as a stream (ReadStream): its body lasts until the
    // camera closes the connection, whatever Content-Length says (older cameras, and later
    // ones asked for "boundary=off", give the size of the first picture only).
    bool SendStreamRequest(const std::string& verb, const std::string& path,
                           const std::vector<std::string>& headers);
    // Reads the whole body of the current response into buffer (emptied first), in chunks
    // of at most 10,240 bytes. Returns the bytes read; 0 (and an empty buffer) without a
    // request, for an empty body, and for a body that did not arrive whole: cut short by
    // the camera, a broken connection, a time-out or the exchange's deadline, or larger than
    // kMaxAnswerBytes. AnswerCut tells the last two apart.
    uint32_t ReadResponse(std::vector<uint8_t>& buffer);
    // True when the last ReadResponse ended before the end of the body (cut short, reset,
    // silent, past the deadline, too large, cancelled, or no request); false after a body
    // that came whole, an empty one included. For the thread that calls ReadResponse.
    bool AnswerCut() const { return m_answerCut; }

    // What one ReadStream found.
    enum class StreamRead {
        kData,       // block holds the next bytes of the stream
        kEnded,      // the camera ended the stream
        kCancelled,  // Cancel or CloseRequest ended the wait
        kFailed,     // no open stream, no byte within the time-out, or a broken transfer
    };
    // Waits for the next bytes of the current response and hands over everything the HTTP
    // layer has buffered in block (emptied first; its storage goes back to the layer, so a
    // reader that passes the same vector each time allocates nothing). For the one thread
    // that reads the stream.
    StreamRead ReadStream(std::vector<uint8_t>& block);

    uint32_t GetStatusCode() const { return m_statusCode; }
    uint32_t GetContentLength() const { return m_contentLength; }

    // The current (last successfully answered) request, or null. Thread-safe.
    std::shared_ptr<platform::http::Request> GetRequest();
    // Closes the current request, if any (a wait on it in another thread ends as
    // Cancelled). Thread-safe.
    void CloseRequest();
    // Thread-safe: cancels the pending and later waits of the current request and of a send
    // in progress, and refuses every later send until ResetCancel: a stop that lands between
    // two requests is never missed.
    void Cancel();
    void ResetCancel();
    bool IsCancelled();

    const std::string& GetHost() const { return m_host; }
    uint16_t GetPort() const { return m_port; }
    uint32_t GetProtocol() const { return m_protocol; }
    uint32_t GetAuthScheme() const { return m_authScheme; }
    uint32_t GetAuthTarget() const { return m_authTarget; }
    uint32_t GetTimeout() const { return m_timeout; }
    bool HasRoot() const { return m_root != nullptr; }

  protected:
    // Opens the root session (the first step of a client's life). 0 on success; 1247 when it is
    // already open; otherwise an error code, and every handle is closed.
    uint32_t OpenRoot();
    // Closes request, connection and root (for tests of a client without a root).
    void CloseHandles();

    // The layers of one send: protocol detection, authentication, one send.
    bool SendDetect(const std::string& verb, const std::string& path,
                    const std::vector<std::string>& headers, const std::string& body,
                    uint32_t totalLength, uint32_t options);
    bool SendAuth(const std::string& verb, const std::string& path,
                  const std::vector<std::string>& headers, const std::string& body,
                  uint32_t totalLength, uint32_t options);
    bool SendOnce(const std::string& verb, const std::string& path,
                  const std::vector<std::string>& headers, const std::string& body,
                  uint32_t totalLength, uint32_t options);
    std::shared_ptr<platform::http::Request> OpenRequest(const std::string& verb,
                                                         const std::string& path, uint32_t options);

    uint32_t m_timeout;
    vostrel::CLock m_lock;
    std::shared_ptr<platform::http::Request> m_request JVC_GUARDED_BY(m_lock);
    std::shared_ptr<platform::http::Session> m_root;
    std::shared_ptr<platform::http::Connection> m_connect;
    uint32_t m_protocol = kProtocolUnknown;
    uint32_t m_authScheme = platform::http::kAuthBasic;
    uint32_t m_authTarget = 0;
    bool m_autoAuth = true;
    bool m_bodyPending = false;
    bool m_answerCut = false;  // see AnswerCut
    std::string m_userAgent;
    std::string m_userName;
    std::string m_password;
    std::string m_host;
    uint16_t m_port;
    uint32_t m_statusCode = 0;
    uint32_t m_contentLength = 0;
    // End of the current exchange; none when the time-out is 0 (no limits).
    std::optional<std::chrono::steady_clock::time_point> m_exchangeDeadline;

  private:
    // Sets the deadline of an exchange that begins now.
    void StartExchange();
    // "host:port": the camera as the Digest memory knows it.
    std::string CameraKey() const;
    // The scheme to answer the current 401/407 with (the strongest offered), 0 for none. A
    // Digest offer is remembered for the camera, for every client of the process; Basic is
    // never chosen for a camera remembered so.
    uint32_t ChallengeScheme(platform::http::AuthTarget& target);
    // The plain HTTP attempt of a detection failed in a way that a TLS-only port causes.
    bool PlainHttpRefusedByPeer() const;

    // Request of a send in progress.
    std::shared_ptr<platform::http::Request> m_sending JVC_GUARDED_BY(m_lock);
    bool m_networkStarted = false;     // holds a NetworkStartup reference
    bool m_lastSendCancelled = false;  // the last send ended by Cancel
    bool m_lastSendConnected = false;  // the last send got a connection to the camera
    platform::http::Error m_lastSendError = platform::http::Error::None;  // how it failed
    bool m_answered = false;  // a response came during the current protocol detection
    bool m_cancelRequested JVC_GUARDED_BY(m_lock) = false;
};

}  // namespace Web
