#include "http/http_client.h"

#include <algorithm>
#include <set>

#include "platform/network.h"

namespace Web {

namespace {

using platform::http::AuthTarget;
using platform::http::Error;
using platform::http::SessionOption;

constexpr uint32_t kErrorAlreadyInitialized = 1247;  // ERROR_ALREADY_INITIALIZED
constexpr uint32_t kErrorNotInitialized = 12004;     // ERROR_WINHTTP_INTERNAL_ERROR
constexpr uint32_t kErrorInvalidParameter = 87;      // ERROR_INVALID_PARAMETER
constexpr uint32_t kMaxConnsPerServer = 16;
constexpr uint32_t kReadChunk = 10240;
constexpr int kMaxAuthAttempts = 5;

// The cameras (host:port) that have answered with a Digest challenge, for the whole process:
// every client of such a camera offers Digest from its first request on, so none sends the
// password in clear again, whichever client or connection it uses.
class CDigestCameras {
  public:
    void Add(const std::string& camera) JVC_EXCLUDES(m_lock) {
        vostrel::CAutoLock guard(m_lock);
        m_cameras.insert(camera);
    }
    bool Has(const std::string& camera) JVC_EXCLUDES(m_lock) {
        vostrel::CAutoLock guard(m_lock);
        return m_cameras.count(camera) != 0;
    }

  private:
    vostrel::CLock m_lock;
    std::set<std::string> m_cameras JVC_GUARDED_BY(m_lock);
};

CDigestCameras& DigestCameras() {
    static CDigestCameras cameras;
    return cameras;
}

}  // namespace

CHttpClient::CHttpClient(const vostrel::DEVICE_INFO& info, const std::string& userAgent)
    : m_timeout(static_cast<uint32_t>(info.m_timeout)),
      m_userAgent(userAgent),
      m_userName(info.m_userName),
      m_password(info.m_password),
      m_host(info.m_address),
      m_port(info.m_port) {
    m_networkStarted = platform::NetworkStartup();
    (void)OpenRoot();  // a failure leaves the client without a root: every send fails
}

CHttpClient::~CHttpClient() {
    CloseRequest();
    m_sending.reset();
    m_connect.reset();
    m_root.reset();
    if (m_networkStarted) {
        platform::NetworkCleanup();
    }
}

uint32_t CHttpClient::OpenRoot() {
    if (m_root) {
        return kErrorAlreadyInitialized;
    }
    uint32_t error = 0;
    if (!m_networkStarted) {
        error = kErrorNotInitialized;
    } else {
        m_root = platform::http::Session::Open(m_userAgent);
        if (!m_root) {
            error = kErrorNotInitialized;
        } else if (!m_root->SetOption(SessionOption::ReceiveTimeoutMs, m_timeout) ||
                   !m_root->SetOption(SessionOption::SendTimeoutMs, m_timeout) ||
                   !m_root->SetOption(SessionOption::ConnectTimeoutMs, m_timeout) ||
                   !m_root->SetOption(SessionOption::MaxConnsPerServer, kMaxConnsPerServer) ||
                   !m_root->SetOption(SessionOption::MaxConnsPerHttp10Server, kMaxConnsPerServer)) {
            error = kErrorInvalidParameter;
        }
    }
    if (error != 0) {
        CloseHandles();
    }
    return error;
}

void CHttpClient::CloseHandles() {
    CloseRequest();
    m_connect.reset();
    m_root.reset();
}

std::shared_ptr<platform::http::Request> CHttpClient::GetRequest() {
    vostrel::CAutoLock guard(m_lock);
    return m_request;
}

void CHttpClient::CloseRequest() {
    std::shared_ptr<platform::http::Request> old;
    {
        vostrel::CAutoLock guard(m_lock);
        if (!m_request) {
            return;
        }
        m_request->Cancel();  // a reader in another thread stops at once
        old = std::move(m_request);
        m_request.reset();
    }
    // old is released here; the request detaches from the connection when the last holder
    // lets it go.
}

void CHttpClient::Cancel() {
    vostrel::CAutoLock guard(m_lock);
    m_cancelRequested = true;
    if (m_request) {
        m_request->Cancel();
    }
    if (m_sending) {
        m_sending->Cancel();
    }
}

void CHttpClient::ResetCancel() {
    vostrel::CAutoLock guard(m_lock);
    m_cancelRequested = false;
}

bool CHttpClient::IsCancelled() {
    vostrel::CAutoLock guard(m_lock);
    return m_cancelRequested;
}

bool CHttpClient::SendRequest(const std::string& verb, const std::string& path) {
    return SendRequest(verb, path, {});
}

bool CHttpClient::SendRequest(const std::string& verb, const std::string& path,
                              const std::vector<std::string>& headers) {
    StartExchange();
    return SendDetect(verb, path, headers, std::string(), 0, kOptionIgnoreCertErrors);
}

bool CHttpClient::SendStreamRequest(const std::string& verb, const std::string& path,
                                    const std::vector<std::string>& headers) {
    StartExchange();
    return SendDetect(verb, path, headers, std::string(), 0,
                      kOptionIgnoreCertErrors | kOptionBodyToClose);
}

void CHttpClient::StartExchange() {
    // One exchange, its sends and the reading of its answer, may take this long in all.
    m_exchangeDeadline.reset();
    if (m_timeout != 0) {
        m_exchangeDeadline = std::chrono::steady_clock::now() +
                             std::chrono::milliseconds(uint64_t{m_timeout} * kExchangeTimeouts);
    }
}

std::shared_ptr<platform::http::Request> CHttpClient::OpenRequest(const std::string& verb,
                                                                  const std::string& path,
                                                                  uint32_t options) {
    if (!m_connect || verb.empty() || path.empty()) {
        return nullptr;
    }
    uint32_t flags = 0;
    if (m_protocol == kProtocolHttps) {
        flags |= platform::http::kRequestSecure;
    }
    if ((options & kOptionEscapeDisableQuery) != 0) {
        flags |= platform::http::kRequestEscapeDisableQuery;
    }
    if ((options & kOptionBodyToClose) != 0) {
        flags |= platform::http::kRequestBodyToClose;
    }
    auto request = m_connect->OpenRequest(verb, path, flags);
    if (!request) {
        return nullptr;
    }
    request->SetDeadline(m_exchangeDeadline);
    if (!m_userName.empty() && !request->SetCredentials(static_cast<AuthTarget>(m_authTarget),
                                                        m_authScheme, m_userName, m_password)) {
        return nullptr;
    }
    if (m_protocol == kProtocolHttps && (options & kOptionIgnoreCertErrors) != 0 &&
        !request->IgnoreCertificateErrors()) {
        return nullptr;
    }
    return request;
}

bool CHttpClient::SendOnce(const std::string& verb, const std::string& path,
                           const std::vector<std::string>& headers, const std::string& body,
                           uint32_t totalLength, uint32_t options) {
    m_statusCode = 0;
    m_contentLength = 0;
    m_bodyPending = totalLength > body.size();
    m_lastSendCancelled = false;
    m_lastSendConnected = false;
    m_lastSendError = Error::None;
    if (!m_root) {
        return false;
    }
    if (!m_connect) {
        m_connect = m_root->Connect(m_host, m_port);
        if (!m_connect) {
            return false;
        }
    }
    auto request = OpenRequest(verb, path, options);
    if (!request) {
        return false;
    }
    for (const auto& line : headers) {
        (void)request->AddHeaders(line, true);  // a header that cannot be added is ignored
    }
    if ((options & kOptionNoRedirects) != 0 && !request->DisableRedirects()) {
        return false;
    }
    {
        vostrel::CAutoLock guard(m_lock);
        if (m_cancelRequested) {
            // Cancelled before this send could be reached: it is not started at all.
            m_lastSendCancelled = true;
            return false;
        }
        m_sending = request;
    }
    const uint64_t total = std::max<uint64_t>(body.size(), totalLength);
    bool ok = request->Send(body.data(), body.size(), total);
    bool received = false;
    if (ok && (options & kOptionNoWait) == 0 && !m_bodyPending) {
        ok = request->ReceiveResponse();
        received = ok;
    }
    m_lastSendCancelled = !ok && request->LastError() == Error::Cancelled;
    m_lastSendConnected = request->WasConnected();
    m_lastSendError = ok ? Error::None : request->LastError();
    m_answered = m_answered || received;
    // The response's body has no overall deadline of its own: a stream goes on as long as
    // data comes. ReadResponse sets the exchange's deadline again for a whole answer.
    request->SetDeadline(std::nullopt);
    std::shared_ptr<platform::http::Request> old;
    {
        vostrel::CAutoLock guard(m_lock);
        m_sending.reset();
        if (ok) {
            old = std::move(m_request);
            m_request = request;
            if (received) {
                uint32_t value = 0;
                if (request->QueryStatusCode(value)) {
                    m_statusCode = value;
                }
                value = 0;
                if (request->QueryContentLength(value)) {
                    m_contentLength = value;
                }
            }
        }
    }
    return ok;
}

std::string CHttpClient::CameraKey() const {
    return m_host + ":" + std::to_string(m_port);
}

uint32_t CHttpClient::ChallengeScheme(AuthTarget& target) {
    auto request = GetRequest();
    uint32_t supported = 0;
    uint32_t first = 0;
    if (!request || !request->QueryAuthSchemes(supported, first, target)) {
        return 0;
    }
    for (uint32_t scheme :
         {platform::http::kAuthNegotiate, platform::http::kAuthNtlm, platform::http::kAuthPassport,
          platform::http::kAuthDigest, platform::http::kAuthBasic}) {
        if ((supported & scheme) != 0) {
            if (scheme == platform::http::kAuthDigest) {
                DigestCameras().Add(CameraKey());
            }
            // A camera that has asked for Digest never gets the password in clear.
            if (scheme == platform::http::kAuthBasic && DigestCameras().Has(CameraKey())) {
                return 0;
            }
            return scheme;
        }
    }
    return 0;
}

bool CHttpClient::SendAuth(const std::string& verb, const std::string& path,
                           const std::vector<std::string>& headers, const std::string& body,
                           uint32_t totalLength, uint32_t options) {
    if (m_authScheme == platform::http::kAuthBasic && DigestCameras().Has(CameraKey())) {
        m_authScheme = platform::http::kAuthDigest;
        m_authTarget = static_cast<uint32_t>(AuthTarget::Server);
    }
    if (!m_autoAuth) {
        return SendOnce(verb, path, headers, body, totalLength, options);
    }
    uint32_t previousChallenge = 0;
    int attempts = 0;
    for (;;) {
        if (!SendOnce(verb, path, headers, body, totalLength, options)) {
            return false;
        }
        if (m_statusCode != 401 && m_statusCode != 407) {
            return true;
        }
        if (m_statusCode == previousChallenge) {
            return true;  // refused the same way twice in a row: the caller sees the status
        }
        AuthTarget target = AuthTarget::Server;
        const uint32_t choice = ChallengeScheme(target);
        if (choice == 0 || choice == m_authScheme) {
            return true;
        }
        m_authScheme = choice;
        m_authTarget = static_cast<uint32_t>(target);
        previousChallenge = m_statusCode;
        if (++attempts >= kMaxAuthAttempts) {
            return true;
        }
    }
}

bool CHttpClient::SendDetect(const std::string& verb, const std::string& path,
                             const std::vector<std::string>& headers, const std::string& body,
                             uint32_t totalLength, uint32_t options) {
    if (m_protocol == kProtocolHttp || m_protocol == kProtocolHttps) {
        return SendAuth(verb, path, headers, body, totalLength, options);
    }
    m_protocol = kProtocolHttp;
    m_answered = false;
    bool ok = SendAuth(verb, path, headers, body, totalLength, options);
    if (!ok && PlainHttpRefusedByPeer()) {
        // A camera that speaks only HTTPS takes the connection and then drops the plain
        // request or answers it with TLS: HTTPS is tried once.
        m_protocol = kProtocolHttps;
        ok = SendAuth(verb, path, headers, body, totalLength, options);
    }
    if (!ok) {
        m_protocol = kProtocolUnknown;
    }
    return ok;
}

bool CHttpClient::PlainHttpRefusedByPeer() const {
    // Not after a refused or timed-out connect (nothing listens there, or nothing answers:
    // HTTPS would fare no better), not after silence (a time-out), not after a cancel and not
    // once any HTTP answer came.
    return !m_answered && !m_lastSendCancelled && m_lastSendConnected &&
           (m_lastSendError == Error::ConnectionFailed || m_lastSendError == Error::NotHttp);
}

uint32_t CHttpClient::ReadResponse(std::vector<uint8_t>& buffer) {
    buffer.clear();
    m_answerCut = true;
    auto request = GetRequest();
    if (!request) {
        return 0;
    }
    request->SetDeadline(m_exchangeDeadline);
    // The whole answer or nothing: a body cut short (a declared length not reached, a reset
    // connection, silence, the exchange's deadline) or larger than any parameter answer is
    // no answer at all.
    uint32_t total = 0;
    for (;;) {
        size_t chunk = 0;
        if (!request->QueryDataAvailable(chunk)) {
            break;
        }
        if (chunk == 0) {
            buffer.resize(total);
            m_answerCut = false;
            return total;  // the end of the body
        }
        if (chunk > kMaxAnswerBytes - total) {
            break;
        }
        chunk = std::min<size_t>(chunk, kReadChunk);
        buffer.resize(total + chunk, 0);
        request = GetRequest();
        if (!request) {
            break;
        }
        size_t got = 0;
        if (!request->ReadData(buffer.data() + total, chunk, got)) {
            break;
        }
        total += static_cast<uint32_t>(got);
        request = GetRequest();
        if (!request) {
            break;
        }
    }
    buffer.clear();
    return 0;
}

CHttpClient::StreamRead CHttpClient::ReadStream(std::vector<uint8_t>& block) {
    block.clear();
    std::shared_ptr<platform::http::Request> request = GetRequest();
    if (!request) {
        return IsCancelled() ? StreamRead::kCancelled : StreamRead::kFailed;
    }
    size_t available = 0;
    if (!request->QueryDataAvailable(available) || (available > 0 && !request->TakeData(block))) {
        return request->LastError() == platform::http::Error::Cancelled ? StreamRead::kCancelled
                                                                        : StreamRead::kFailed;
    }
    return block.empty() ? StreamRead::kEnded : StreamRead::kData;
}

}  // namespace Web
