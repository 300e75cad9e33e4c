#include "platform/http.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <string_view>

#include "core/text.h"

namespace platform::http {

namespace {

using Clock = std::chrono::steady_clock;

// A wait never sleeps longer than this in one poll, so a lost wake-up costs little.
constexpr int kPollSliceMs = 200;
// Used for a time-out of 0 ("no limit") where libcurl needs a number.
constexpr long kVeryLongMs = 24L * 3600L * 1000L;

using vostrel::Utils::ToLower;
using vostrel::Utils::TrimChars;

// Header lines are trimmed of blanks and of their line end.
constexpr std::string_view kHeaderBlanks = " \t\r\n";

Error MapCurlError(CURLcode code) {
    switch (code) {
        case CURLE_OK:
            return Error::None;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
            return Error::CannotConnect;
        case CURLE_OPERATION_TIMEDOUT:
            return Error::TimedOut;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
            return Error::SecureFailure;
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_PARTIAL_FILE:
            return Error::ConnectionFailed;
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_UNSUPPORTED_PROTOCOL:  // an answer without an HTTP status line
            return Error::NotHttp;
        case CURLE_OUT_OF_MEMORY:
            return Error::OutOfResources;
        default:
            return Error::TransferFailed;
    }
}

// The request target as it goes on the request line. Characters that cannot appear on a
// request line (blanks, controls, '#') are always percent-encoded; other unsafe characters
// (non-ASCII and "<>\^`{|}) are encoded except in the query when escaping is disabled there.
std::string EscapeTarget(const std::string& target, bool escapeQuery) {
    static const char* hex = "0123456789ABCDEF";
    const auto query = target.find('?');
    std::string out;
    out.reserve(target.size());
    for (size_t i = 0; i < target.size(); ++i) {
        const auto c = static_cast<unsigned char>(target[i]);
        const bool inQuery = query != std::string::npos && i > query;
        const bool must = c <= 0x20 || c == 0x7f || c == '#';
        const bool unsafe = c >= 0x80 || std::strchr("\"<>\\^`{|}", c) != nullptr;
        if (must || (unsafe && (!inQuery || escapeQuery))) {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0xF]);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

long CurlAuthOf(uint32_t scheme) {
    switch (scheme) {
        case kAuthBasic:
            return static_cast<long>(CURLAUTH_BASIC);
        case kAuthDigest:
            return static_cast<long>(CURLAUTH_DIGEST);
        case kAuthNtlm:
            return static_cast<long>(CURLAUTH_NTLM);
        case kAuthNegotiate:
            return static_cast<long>(CURLAUTH_NEGOTIATE);
        default:
            return 0;
    }
}

}  // namespace

const char* ErrorName(Error error) {
    switch (error) {
        case Error::None:
            return "none";
        case Error::InvalidArgument:
            return "invalid argument";
        case Error::AlreadyInitialized:
            return "already initialized";
        case Error::OutOfResources:
            return "out of resources";
        case Error::CannotConnect:
            return "cannot connect";
        case Error::ConnectionFailed:
            return "connection failed";
        case Error::TimedOut:
            return "timed out";
        case Error::SecureFailure:
            return "secure failure";
        case Error::Cancelled:
            return "cancelled";
        case Error::Closed:
            return "closed";
        case Error::NotReady:
            return "not ready";
        case Error::NotFound:
            return "not found";
        case Error::TransferFailed:
            return "transfer failed";
        case Error::NotHttp:
            return "not HTTP";
    }
    return "unknown";
}

// ---------------------------------------------------------------------------------------
// Transfer state of one request. Touched only under the connection's mutex (the libcurl
// callbacks run inside curl calls made under that mutex).

struct Request::State {
    // Set before Send.
    std::string verb;
    std::string target;
    uint32_t flags = 0;
    bool hasCredentials = false;
    AuthTarget credentialTarget = AuthTarget::Server;
    uint32_t scheme = kAuthBasic;
    std::string user;
    std::string password;
    std::vector<std::pair<std::string, std::string>> headers;  // name, whole line
    bool redirectsOff = false;
    bool ignoreCertificates = false;
    std::string body;
    size_t bodySent = 0;

    // Transfer progress.
    bool sent = false;       // Send was called (the transfer was started)
    bool connected = false;  // libcurl reported the connection ready for the request
    bool finished = false;   // the transfer ended (result holds how)
    bool detached = false;   // taken off the connection before it finished
    CURLcode result = CURLE_OK;
    bool ready = false;                    // the final response's headers are complete
    uint32_t status = 0;                   // of the response being received / the final one
    std::vector<std::string> headerLines;  // of that response
    size_t headerBytes = 0;                // all header bytes of the transfer
    Clock::time_point lastActivity{};
    // Every wait of the request ends with TimedOut at this moment, data or not.
    std::optional<Clock::time_point> deadline;

    // Body buffer: bytes [head, data.size()) are unread.
    std::vector<uint8_t> data;
    size_t head = 0;
    size_t peak = 0;
    bool paused = false;

    size_t Buffered() const { return data.size() - head; }
};

struct ConnectionCore {
    std::shared_ptr<Session> session;
    std::string host;
    uint16_t port = 0;

    std::mutex mutex;  // every libcurl call on easy/multi, and every Request::State
    CURL* easy = nullptr;
    CURLM* multi = nullptr;
    bool inMulti = false;
    Request::State* active = nullptr;  // the state the easy handle's callbacks write to
    curl_slist* headerList = nullptr;

    ~ConnectionCore() {
        if (multi != nullptr && easy != nullptr && inMulti) {
            curl_multi_remove_handle(multi, easy);
        }
        if (easy != nullptr) {
            curl_easy_cleanup(easy);
        }
        if (multi != nullptr) {
            curl_multi_cleanup(multi);
        }
        curl_slist_free_all(headerList);
    }

    // Resumes a paused transfer once the reader has made room for what libcurl holds back.
    // Called under mutex.
    void ResumeWhenDrained(Request::State* st) {
        if (st->paused && active == st && inMulti && st->Buffered() <= kBodyBufferLimit / 2) {
            st->paused = false;
            curl_easy_pause(easy, CURLPAUSE_CONT);
        }
    }

    // --- libcurl callbacks (called under mutex) ---
    static size_t OnHeader(char* bytes, size_t size, size_t count, void* user) {
        const size_t n = size * count;
        auto* st = static_cast<Request::State*>(user);
        if (st == nullptr) {
            return n;
        }
        st->lastActivity = Clock::now();
        // A peer that never ends its headers must not grow memory without bound: past the
        // limit the transfer is aborted.
        st->headerBytes += n;
        if (st->headerBytes > kHeaderLimit) {
            return 0;
        }
        std::string line(bytes, n);
        if (line.compare(0, 5, "HTTP/") == 0) {
            // A new response of the transfer (1xx, an auth challenge libcurl answers
            // itself, a redirect, or the final one): start over.
            st->headerLines.clear();
            st->ready = false;
            st->status = 0;
            auto space = line.find(' ');
            if (space != std::string::npos) {
                st->status =
                    static_cast<uint32_t>(std::strtoul(line.c_str() + space + 1, nullptr, 10));
            }
            st->headerLines.push_back(line);
        } else if (line == "\r\n" || line == "\n") {
            // End of this response's headers. A 401/407 may still be answered by libcurl
            // inside the transfer: it counts as final once its body starts or the
            // transfer ends.
            // So may a redirect that libcurl follows.
            bool followed = false;
            if (st->status >= 300 && st->status < 400 && !st->redirectsOff) {
                for (const auto& h : st->headerLines) {
                    if (ToLower(h.substr(0, 9)) == "location:") {
                        followed = true;
                    }
                }
            }
            if (st->status >= 200 && st->status != 401 && st->status != 407 && !followed) {
                st->ready = true;
            }
        } else {
            st->headerLines.push_back(line);
        }
        return n;
    }

    static size_t OnBody(char* bytes, size_t size, size_t count, void* user) {
        const size_t n = size * count;
        auto* st = static_cast<Request::State*>(user);
        if (st == nullptr) {
            return n;  // detached: discard
        }
        st->lastActivity = Clock::now();
        st->ready = true;
        if (st->Buffered() > 0 && st->Buffered() + n > kBodyBufferLimit) {
            st->paused = true;
            return CURL_WRITEFUNC_PAUSE;  // libcurl keeps these bytes and stops reading
        }
        if (st->head > 0 && st->head >= st->data.size() / 2) {
            st->data.erase(st->data.begin(), st->data.begin() + static_cast<long>(st->head));
            st->head = 0;
        }
        const auto* first = reinterpret_cast<const uint8_t*>(bytes);
        st->data.insert(st->data.end(), first, first + n);
        st->peak = std::max(st->peak, st->Buffered());
        return n;
    }

    static size_t OnReadBody(char* buffer, size_t size, size_t count, void* user) {
        auto* st = static_cast<Request::State*>(user);
        if (st == nullptr) {
            return CURL_READFUNC_ABORT;
        }
        size_t n = std::min(size * count, st->body.size() - st->bodySent);
        std::memcpy(buffer, st->body.data() + st->bodySent, n);
        st->bodySent += n;
        st->lastActivity = Clock::now();
        return n;
    }

    static int OnPrereq(void* user, char*, char*, int, int) {
        auto* st = static_cast<Request::State*>(user);
        if (st != nullptr) {
            st->connected = true;
            st->lastActivity = Clock::now();
        }
        return CURL_PREREQFUNC_OK;
    }

    // Takes the easy handle away from the active request (under mutex).
    void DetachActive() {
        if (active == nullptr) {
            return;
        }
        Request::State* st = active;
        active = nullptr;
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, nullptr);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, nullptr);
        curl_easy_setopt(easy, CURLOPT_READDATA, nullptr);
        curl_easy_setopt(easy, CURLOPT_PREREQDATA, nullptr);
        if (inMulti) {
            if (st->paused) {
                // Let libcurl flush what it holds into the void before the handle leaves.
                st->paused = false;
                curl_easy_pause(easy, CURLPAUSE_CONT);
            }
            curl_multi_remove_handle(multi, easy);
            inMulti = false;
        }
        if (!st->finished) {
            st->detached = true;
        }
    }

    // Sets the easy handle up for st and starts its transfer (under mutex).
    bool Attach(Request::State* st) {
        DetachActive();
        const bool secure = (st->flags & kRequestSecure) != 0;
        std::string hostPart = host;
        if (hostPart.find(':') != std::string::npos && hostPart.front() != '[') {
            hostPart = "[" + hostPart + "]";  // IPv6 literal
        }
        // The target goes in the URL (not CURLOPT_REQUEST_TARGET): libcurl's Digest answer
        // takes its "uri" from the URL.
        std::string target =
            EscapeTarget(st->target, (st->flags & kRequestEscapeDisableQuery) == 0);
        if (target.front() != '/') {
            target.insert(0, "/");
        }
        const std::string url = std::string(secure ? "https://" : "http://") + hostPart + ":" +
                                std::to_string(port) + target;

        curl_slist* list = nullptr;
        for (const auto& header : st->headers) {
            list = curl_slist_append(list, header.second.c_str());
        }
        if (!st->body.empty()) {
            list = curl_slist_append(list, "Expect:");
        }
        if ((st->flags & kRequestBodyToClose) != 0) {
            // The body is read until the server closes, so ask it to close after this answer
            // (a keep-alive server would otherwise hold the connection and the read would end
            // in a time-out; answers to an authentication round close too).
            list = curl_slist_append(list, "Connection: close");
        }

        const uint32_t connectMs = session->GetOption(SessionOption::ConnectTimeoutMs);
        CURL* e = easy;
        bool ok = true;
        auto set = [&ok](CURLcode code) { ok = ok && code == CURLE_OK; };
        set(curl_easy_setopt(e, CURLOPT_URL, url.c_str()));
        set(curl_easy_setopt(e, CURLOPT_PATH_AS_IS, 1L));
        set(curl_easy_setopt(e, CURLOPT_PROXY, ""));
        set(curl_easy_setopt(e, CURLOPT_NOPROXY, "*"));
        set(curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1)));
        set(curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L));
        set(curl_easy_setopt(e, CURLOPT_USERAGENT, session->UserAgent().c_str()));
        set(curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS,
                             connectMs == 0 ? kVeryLongMs : static_cast<long>(connectMs)));
        set(curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, 0L));
        set(curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, st->redirectsOff ? 0L : 1L));
        set(curl_easy_setopt(e, CURLOPT_MAXREDIRS, 10L));
        set(curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, st->ignoreCertificates ? 0L : 1L));
        set(curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, st->ignoreCertificates ? 0L : 2L));
        set(curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, nullptr));
        set(curl_easy_setopt(e, CURLOPT_IGNORE_CONTENT_LENGTH,
                             (st->flags & kRequestBodyToClose) != 0 ? 1L : 0L));
        set(curl_easy_setopt(e, CURLOPT_HTTPHEADER, list));

        const bool serverCredentials =
            st->hasCredentials && st->credentialTarget == AuthTarget::Server;
        set(curl_easy_setopt(e, CURLOPT_USERNAME, serverCredentials ? st->user.c_str() : nullptr));
        set(curl_easy_setopt(e, CURLOPT_PASSWORD,
                             serverCredentials ? st->password.c_str() : nullptr));
        set(curl_easy_setopt(
            e, CURLOPT_HTTPAUTH,
            serverCredentials ? CurlAuthOf(st->scheme) : static_cast<long>(CURLAUTH_BASIC)));

        // Verb and body.
        set(curl_easy_setopt(e, CURLOPT_HTTPGET, 1L));
        set(curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, nullptr));
        if (st->verb == "HEAD") {
            set(curl_easy_setopt(e, CURLOPT_NOBODY, 1L));
        } else if (!st->body.empty() || st->verb == "POST" || st->verb == "PUT") {
            set(curl_easy_setopt(e, CURLOPT_POST, 1L));
            set(curl_easy_setopt(e, CURLOPT_POSTFIELDS, nullptr));
            set(curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE,
                                 static_cast<curl_off_t>(st->body.size())));
            set(curl_easy_setopt(e, CURLOPT_READFUNCTION, &ConnectionCore::OnReadBody));
            set(curl_easy_setopt(e, CURLOPT_READDATA, st));
            if (st->verb != "POST") {
                set(curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, st->verb.c_str()));
            }
        } else if (st->verb != "GET") {
            set(curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, st->verb.c_str()));
        }

        set(curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &ConnectionCore::OnHeader));
        set(curl_easy_setopt(e, CURLOPT_HEADERDATA, st));
        set(curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &ConnectionCore::OnBody));
        set(curl_easy_setopt(e, CURLOPT_WRITEDATA, st));
        set(curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &ConnectionCore::OnPrereq));
        set(curl_easy_setopt(e, CURLOPT_PREREQDATA, st));

        curl_slist_free_all(headerList);
        headerList = list;
        if (!ok) {
            return false;
        }
        curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS,
                          static_cast<long>(session->GetOption(SessionOption::MaxConnsPerServer)));
        st->sent = true;
        st->lastActivity = Clock::now();
        if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
            st->finished = true;
            st->result = CURLE_FAILED_INIT;
            return false;
        }
        inMulti = true;
        active = st;
        ++session->m_transfers;
        return true;
    }

    void CollectMessages() {
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
            if (msg->msg != CURLMSG_DONE || msg->easy_handle != easy) {
                continue;
            }
            if (active != nullptr) {
                active->finished = true;
                active->result = msg->data.result;
                if (msg->data.result == CURLE_OK) {
                    active->ready = true;
                }
            }
            curl_multi_remove_handle(multi, easy);
            inMulti = false;
        }
    }

    // Drives the transfer of st until done() holds (Error::None) or it fails. Under mutex.
    Error Wait(Request& request, Request::State* st, const std::function<bool()>& done) {
        const auto waitStart = Clock::now();
        for (;;) {
            if (request.IsCancelled()) {
                return Error::Cancelled;
            }
            if (done()) {
                return Error::None;
            }
            if (st->finished) {
                return st->result == CURLE_OK ? Error::ConnectionFailed : MapCurlError(st->result);
            }
            if (st->detached || active != st || !inMulti) {
                return Error::Closed;
            }
            int running = 0;
            curl_multi_perform(multi, &running);
            CollectMessages();
            if (request.IsCancelled()) {
                return Error::Cancelled;
            }
            if (done() || st->finished) {
                continue;
            }
            // Inactivity limit: before the connection is ready, libcurl's connect time-out
            // rules (ours is a backstop); then the send time-out while a body is going out,
            // the receive time-out after.
            uint32_t limit;
            if (!st->connected) {
                const uint32_t c = session->GetOption(SessionOption::ConnectTimeoutMs);
                const uint32_t r = session->GetOption(SessionOption::ReceiveTimeoutMs);
                limit = (c == 0 || r == 0) ? 0 : c + r;
            } else if (st->bodySent < st->body.size()) {
                limit = session->GetOption(SessionOption::SendTimeoutMs);
            } else {
                limit = session->GetOption(SessionOption::ReceiveTimeoutMs);
            }
            int sliceMs = kPollSliceMs;
            const auto now = Clock::now();
            if (limit != 0) {
                const auto since = std::max(waitStart, st->lastActivity);
                const auto elapsed =
                    std::chrono::duration_cast<std::chrono::milliseconds>(now - since).count();
                if (elapsed >= static_cast<long long>(limit)) {
                    return Error::TimedOut;
                }
                sliceMs = static_cast<int>(
                    std::min<long long>(kPollSliceMs, static_cast<long long>(limit) - elapsed));
            }
            // The deadline counts whole time, not silence: a peer that sends a byte now and
            // then cannot hold the request past it.
            if (st->deadline) {
                if (now >= *st->deadline) {
                    return Error::TimedOut;
                }
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(*st->deadline - now)
                        .count();
                sliceMs = static_cast<int>(std::min<long long>(sliceMs, left + 1));
            }
            curl_multi_poll(multi, nullptr, 0, sliceMs, nullptr);
        }
    }
};

// ---------------------------------------------------------------------------------------
// Session

std::shared_ptr<Session> Session::Open(const std::string& userAgent, Error* error) {
    if (error != nullptr) {
        *error = Error::None;
    }
    return std::shared_ptr<Session>(new Session(userAgent));
}

Session::~Session() = default;

bool Session::SetOption(SessionOption option, uint32_t value) {
    switch (option) {
        case SessionOption::ReceiveTimeoutMs:
            m_receiveTimeout = value;
            return true;
        case SessionOption::SendTimeoutMs:
            m_sendTimeout = value;
            return true;
        case SessionOption::ConnectTimeoutMs:
            m_connectTimeout = value;
            return true;
        case SessionOption::MaxConnsPerServer:
            if (value == 0) {
                return false;
            }
            m_maxConns = value;
            return true;
        case SessionOption::MaxConnsPerHttp10Server:
            if (value == 0) {
                return false;
            }
            m_maxConns10 = value;
            return true;
    }
    return false;
}

uint32_t Session::GetOption(SessionOption option) const {
    switch (option) {
        case SessionOption::ReceiveTimeoutMs:
            return m_receiveTimeout;
        case SessionOption::SendTimeoutMs:
            return m_sendTimeout;
        case SessionOption::ConnectTimeoutMs:
            return m_connectTimeout;
        case SessionOption::MaxConnsPerServer:
            return m_maxConns;
        case SessionOption::MaxConnsPerHttp10Server:
            return m_maxConns10;
    }
    return 0;
}

std::shared_ptr<Connection> Session::Connect(const std::string& host, uint16_t port, Error* error) {
    auto report = [error](Error e) {
        if (error != nullptr) {
            *error = e;
        }
    };
    if (host.empty()) {
        report(Error::InvalidArgument);
        return nullptr;
    }
    auto core = std::make_shared<ConnectionCore>();
    core->session = shared_from_this();
    core->host = host;
    core->port = port;
    core->easy = curl_easy_init();
    core->multi = curl_multi_init();
    if (core->easy == nullptr || core->multi == nullptr) {
        report(Error::OutOfResources);
        return nullptr;
    }
    report(Error::None);
    return std::shared_ptr<Connection>(new Connection(std::move(core)));
}

// ---------------------------------------------------------------------------------------
// Connection

Connection::~Connection() = default;

const std::string& Connection::Host() const {
    return m_core->host;
}
uint16_t Connection::Port() const {
    return m_core->port;
}

std::shared_ptr<Request> Connection::OpenRequest(const std::string& verb, const std::string& path,
                                                 uint32_t flags, Error* error) {
    if (verb.empty() || path.empty()) {
        if (error != nullptr) {
            *error = Error::InvalidArgument;
        }
        return nullptr;
    }
    if (error != nullptr) {
        *error = Error::None;
    }
    return std::shared_ptr<Request>(new Request(m_core, verb, path, flags));
}

// ---------------------------------------------------------------------------------------
// Request

Request::Request(std::shared_ptr<ConnectionCore> core, std::string verb, std::string target,
                 uint32_t flags)
    : m_core(std::move(core)), m_state(std::make_unique<State>()) {
    m_state->verb = std::move(verb);
    m_state->target = std::move(target);
    m_state->flags = flags;
}

Request::~Request() {
    std::lock_guard<std::mutex> guard(m_core->mutex);
    if (m_core->active == m_state.get()) {
        m_core->DetachActive();
    }
}

bool Request::SetCredentials(AuthTarget target, uint32_t scheme, const std::string& user,
                             const std::string& password) {
    std::lock_guard<std::mutex> guard(m_core->mutex);
    if (m_state->sent || CurlAuthOf(scheme) == 0) {
        return Fail(Error::InvalidArgument);
    }
    m_state->hasCredentials = true;
    m_state->credentialTarget = target;
    m_state->scheme = scheme;
    m_state->user = user;
    m_state->password = password;
    m_lastError = Error::None;
    return true;
}

bool Request::AddHeaders(const std::string& lines, bool replace) {
    std::lock_guard<std::mutex> guard(m_core->mutex);
    if (m_state->sent) {
        return Fail(Error::InvalidArgument);
    }
    size_t pos = 0;
    bool any = false;
    while (pos < lines.size()) {
        auto end = lines.find_first_of("\r\n", pos);
        std::string line =
            lines.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? lines.size() : lines.find_first_not_of("\r\n", end);
        if (pos == std::string::npos) {
            pos = lines.size();
        }
        line = TrimChars(line, kHeaderBlanks);
        auto colon = line.find(':');
        if (line.empty() || colon == std::string::npos || colon == 0) {
            continue;
        }
        const std::string name = ToLower(TrimChars(line.substr(0, colon), kHeaderBlanks));
        auto& headers = m_state->headers;
        if (replace) {
            headers.erase(std::remove_if(headers.begin(), headers.end(),
                                         [&name](const auto& h) { return h.first == name; }),
                          headers.end());
        }
        headers.emplace_back(name, line);
        any = true;
    }
    if (!any) {
        return Fail(Error::InvalidArgument);
    }
    m_lastError = Error::None;
    return true;
}

void Request::SetDeadline(std::optional<std::chrono::steady_clock::time_point> deadline) {
    std::lock_guard<std::mutex> guard(m_core->mutex);
    m_state->deadline = deadline;
}

bool Request::DisableRedirects() {
    std::lock_guard<std::mutex> guard(m_core->mutex);
    m_state->redirectsOff = true;
    m_lastError = Error::None;
    return true;
}

bool Request::IgnoreCertificateErrors() {
    std::lock_guard<std::mutex> guard(m_core->mutex);
    m_state->ignoreCertificates = true;
    m_lastError = Error::None;
    return true;
}

bool Request::Send(const void* body, size_t bodyLength, uint64_t totalLength) {
    if (totalLength > bodyLength || (bodyLength > 0 && body == nullptr)) {
        return Fail(Error::InvalidArgument);
    }
    std::lock_guard<std::mutex> guard(m_core->mutex);
    State* st = m_state.get();
    if (st->sent) {
        return Fail(Error::InvalidArgument);
    }
    if (bodyLength > 0) {
        st->body.assign(static_cast<const char*>(body), bodyLength);
    }
    if (IsCancelled()) {
        return Fail(Error::Cancelled);
    }
    if (!m_core->Attach(st)) {
        return Fail(Error::TransferFailed);
    }
    Error e = m_core->Wait(*this, st, [st] {
        return st->ready || st->finished || (st->connected && st->bodySent >= st->body.size());
    });
    // A transfer that already failed fails the send, unless the response had arrived: then the
    // request was sent and answered, and the failure belongs to the body (its reader sees it).
    if (e == Error::None && st->finished && st->result != CURLE_OK && !st->ready) {
        e = MapCurlError(st->result);
    }
    if (e != Error::None) {
        return Fail(e);
    }
    m_lastError = Error::None;
    return true;
}

bool Request::ReceiveResponse() {
    std::lock_guard<std::mutex> guard(m_core->mutex);
    State* st = m_state.get();
    if (!st->sent) {
        return Fail(Error::NotReady);
    }
    Error e = m_core->Wait(*this, st, [st] { return st->ready; });
    if (e != Error::None) {
        return Fail(e);
    }
    m_lastError = Error::None;
    return true;
}

bool Request::QueryStatusCode(uint32_t& status) const {
    std::lock_guard<std::mutex> guard(m_core->mutex);
    if (!m_state->ready || m_state->status == 0) {
        return false;
    }
    status = m_state->status;
    return true;
}

bool Request::QueryHeader(const std::string& name, std::string& value) const {
    std::lock_guard<std::mutex> guard(m_core->mutex);
    if (!m_state->ready) {
        return false;
    }
    const std::string wanted = ToLower(name);
    for (size_t i = 1; i < m_state->headerLines.size(); ++i) {
        const std::string& line = m_state->headerLines[i];
        auto colon = line.find(':');
        if (colon != std::string::npos &&
            ToLower(TrimChars(line.substr(0, colon), kHeaderBlanks)) == wanted) {
            value = TrimChars(line.substr(colon + 1), kHeaderBlanks);
            return true;
        }
    }
    return false;
}

std::string Request::RawHeaders() const {
    std::lock_guard<std::mutex> guard(m_core->mutex);
    std::string all;
    for (const auto& line : m_state->headerLines) {
        all += line;
    }
    return all;
}

bool Request::QueryContentLength(uint32_t& length) const {
    std::string value;
    if (!QueryHeader("Content-Length", value) || value.empty()) {
        return false;
    }
    char* end = nullptr;
    unsigned long long n = std::strtoull(value.c_str(), &end, 10);
    if (end == value.c_str() || *end != '\0' || value[0] == '-' || n > 0xFFFFFFFFull) {
        return false;
    }
    length = static_cast<uint32_t>(n);
    return true;
}

bool Request::QueryAuthSchemes(uint32_t& supported, uint32_t& first, AuthTarget& target) const {
    std::lock_guard<std::mutex> guard(m_core->mutex);
    const State* st = m_state.get();
    if (!st->ready || (st->status != 401 && st->status != 407)) {
        return false;
    }
    const std::string headerName = st->status == 401 ? "www-authenticate" : "proxy-authenticate";
    uint32_t all = 0;
    uint32_t firstSeen = 0;
    for (size_t i = 1; i < st->headerLines.size(); ++i) {
        const std::string& line = st->headerLines[i];
        auto colon = line.find(':');
        if (colon == std::string::npos ||
            ToLower(TrimChars(line.substr(0, colon), kHeaderBlanks)) != headerName) {
            continue;
        }
        // Challenges are comma-separated, as are their parameters: a piece (outside quotes)
        // whose first token carries no '=' names a scheme.
        const std::string value = line.substr(colon + 1);
        std::vector<std::string> pieces(1);
        bool quoted = false;
        for (char c : value) {
            if (c == '"') {
                quoted = !quoted;
            }
            if (c == ',' && !quoted) {
                pieces.emplace_back();
            } else {
                pieces.back().push_back(c);
            }
        }
        for (const auto& piece : pieces) {
            std::string text = TrimChars(piece, kHeaderBlanks);
            std::string token = ToLower(text.substr(0, text.find_first_of(" \t")));
            if (token.empty() || token.find('=') != std::string::npos) {
                continue;
            }
            uint32_t scheme = 0;
            if (token == "basic") {
                scheme = kAuthBasic;
            } else if (token == "digest") {
                scheme = kAuthDigest;
            } else if (token == "ntlm") {
                scheme = kAuthNtlm;
            }
            if (scheme != 0) {
                all |= scheme;
                if (firstSeen == 0) {
                    firstSeen = scheme;
                }
            }
        }
    }
    if (all == 0) {
        return false;
    }
    supported = all;
    first = firstSeen;
    target = st->status == 401 ? AuthTarget::Server : AuthTarget::Proxy;
    return true;
}

bool Request::QueryDataAvailable(size_t& available) {
    std::lock_guard<std::mutex> guard(m_core->mutex);
    State* st = m_state.get();
    if (!st->sent) {
        return Fail(Error::NotReady);
    }
    Error e = m_core->Wait(
        *this, st, [st] { return st->Buffered() > 0 || (st->finished && st->result == CURLE_OK); });
    if (e != Error::None) {
        return Fail(e);
    }
    available = st->Buffered();
    m_lastError = Error::None;
    return true;
}

bool Request::ReadData(void* buffer, size_t size, size_t& read) {
    read = 0;
    if (IsCancelled()) {
        return Fail(Error::Cancelled);
    }
    std::lock_guard<std::mutex> guard(m_core->mutex);
    State* st = m_state.get();
    const size_t n = std::min(size, st->Buffered());
    if (n > 0) {
        std::memcpy(buffer, st->data.data() + st->head, n);
        st->head += n;
        if (st->head == st->data.size()) {
            st->data.clear();
            st->head = 0;
        }
    }
    read = n;
    m_core->ResumeWhenDrained(st);
    m_lastError = Error::None;
    return true;
}

bool Request::TakeData(std::vector<uint8_t>& block) {
    block.clear();
    if (IsCancelled()) {
        return Fail(Error::Cancelled);
    }
    std::lock_guard<std::mutex> guard(m_core->mutex);
    State* st = m_state.get();
    if (st->head == 0) {
        // The whole buffer changes hands; the caller's emptied vector becomes the new buffer,
        // so both keep their capacity from one block to the next.
        block.swap(st->data);
    } else {
        block.assign(st->data.begin() + static_cast<long>(st->head), st->data.end());
        st->data.clear();
        st->head = 0;
    }
    m_core->ResumeWhenDrained(st);
    m_lastError = Error::None;
    return true;
}

void Request::Cancel() {
    m_cancelled = true;
    curl_multi_wakeup(m_core->multi);  // thread-safe; wakes a waiter in curl_multi_poll
}

bool Request::WasConnected() const {
    std::lock_guard<std::mutex> guard(m_core->mutex);
    return m_state->connected;
}

size_t Request::PeakBufferedBytes() const {
    std::lock_guard<std::mutex> guard(m_core->mutex);
    return m_state->peak;
}

}  // namespace platform::http
