#include "camera_simulator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <list>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <httplib.h>

#include "auth.h"
#include "jpeg_pattern.h"
#include "param_store.h"

#ifndef CAMSIM_DEFAULT_DATA_DIR
#define CAMSIM_DEFAULT_DATA_DIR "tests/data"
#endif
#ifndef CAMSIM_INSTALLED_DATA_DIR
#define CAMSIM_INSTALLED_DATA_DIR "../share/jvc_ipcapture/camsim"
#endif

namespace camsim {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr size_t kMaxRequests = 10000;
constexpr size_t kMaxWrites = 10000;
constexpr auto kSlice = 20ms;  // how often waiting loops look at faults and Stop
// The multipart boundary as the camera names it; its parts open with this very line (not the
// RFC's "--" + boundary).
const char kBoundary[] = "--foo";

std::string Lower(std::string s) {
    for (auto& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

// An HTTP date (RFC 7231), for the Date line of every answer.
std::string HttpDate() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return text;
}

std::string Upper(std::string s) {
    for (auto& c : s) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return s;
}

using detail::PercentDecode;

// The connection this server thread serves (set by SimServer for its worker threads).
thread_local uint64_t t_connection = 0;
thread_local int t_socket = -1;
// Set by a handler whose answer has no length (a video stream): the connection ends with it.
thread_local bool t_close_after = false;
// Set while the answer to a parameter request is written: the byte-rate fault paces it.
thread_local bool t_pace_answer = false;

// Junk for the garbage fault: no 0xFF (no JPEG marker) and no zero byte (no MPEG start code).
std::string Garbage(size_t bytes) {
    static const char junk[] = "camsim-garbage-";
    std::string text;
    text.reserve(bytes);
    for (size_t g = 0; g < bytes; ++g) {
        text.push_back(junk[g % (sizeof(junk) - 1)]);
    }
    return text;
}

// True when the peer has closed its side or the socket failed.
bool PeerGone(int sock) {
    if (sock < 0) {
        return false;
    }
    pollfd p{sock, POLLRDHUP, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL));
}

struct FixtureData {
    // The stream as the camera sends it (see LoadFixture).
    std::vector<uint8_t> bytes;
    // Pictures: [start, end) byte ranges; a key picture's range begins with its headers.
    std::vector<std::pair<size_t, size_t>> units;
    std::vector<bool> key;
};

// The start codes of an MPEG-4 elementary stream, by byte offset.
std::vector<size_t> StartCodes(const std::vector<uint8_t>& d) {
    std::vector<size_t> at;
    for (size_t i = 0; i + 3 < d.size(); ++i) {
        if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
            at.push_back(i);
            i += 2;
        }
    }
    return at;
}

void AppendUserData(std::vector<uint8_t>& out, const std::string& text) {
    const uint8_t code[] = {0, 0, 1, 0xB2};
    out.insert(out.end(), code, code + 4);
    out.insert(out.end(), text.begin(), text.end());
}

// Reads a fixture and lays it out as the camera's encoder sends a stream: no visual object
// sequence or visual object headers, and in front of every I-VOP the VOL, user data (kept for
// the makers' own use), the GOV and user data with text items naming the camera.
FixtureData LoadFixture(const std::string& path, const std::string& model) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("camsim: cannot read MPEG-4 fixture " + path);
    }
    const std::vector<uint8_t> d{std::istreambuf_iterator<char>(in),
                                 std::istreambuf_iterator<char>()};
    const std::vector<size_t> codes = StartCodes(d);
    FixtureData f;
    size_t header = SIZE_MAX;  // where the headers of the next picture begin in f.bytes
    for (size_t c = 0; c < codes.size(); ++c) {
        const size_t begin = codes[c], end = c + 1 < codes.size() ? codes[c + 1] : d.size();
        const uint8_t code = d[begin + 3];
        if (code == 0xB0 || code == 0xB1 || code == 0xB5 || code <= 0x1F) {
            continue;  // the camera sends no sequence, visual object or video object codes
        }
        if (code >= 0x20 && code <= 0x2F && header == SIZE_MAX) {
            header = f.bytes.size();
        }
        if (code == 0xB6) {
            f.units.emplace_back(header != SIZE_MAX ? header : f.bytes.size(), 0);
            f.key.push_back(begin + 4 < d.size() && d[begin + 4] < 0x40);
            header = SIZE_MAX;
        }
        f.bytes.insert(f.bytes.end(), d.begin() + static_cast<std::ptrdiff_t>(begin),
                       d.begin() + static_cast<std::ptrdiff_t>(end));
        if (code >= 0x20 && code <= 0x2F) {
            AppendUserData(f.bytes, "reserved");  // contents not documented
        } else if (code == 0xB3) {
            AppendUserData(f.bytes, "type = " + model + "\r\nTimestamp = 2008/06/01 12:00:" +
                                        (f.units.size() / 25 < 10 ? "0" : "") +
                                        std::to_string(f.units.size() / 25 % 60) + ".000\r\n");
        }
    }
    if (f.units.empty()) {
        throw std::runtime_error("camsim: no pictures in MPEG-4 fixture " + path);
    }
    f.units[0].first = 0;
    for (size_t k = 0; k < f.units.size(); ++k) {
        f.units[k].second = k + 1 < f.units.size() ? f.units[k + 1].first : f.bytes.size();
    }
    return f;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

std::optional<AuthMode> ParseAuthMode(const std::string& text) {
    const std::string t = Lower(text);
    if (t == "none")
        return AuthMode::kNone;
    if (t == "basic")
        return AuthMode::kBasic;
    if (t == "digest")
        return AuthMode::kDigest;
    return std::nullopt;
}

const char* AuthModeName(AuthMode mode) {
    switch (mode) {
        case AuthMode::kNone:
            return "none";
        case AuthMode::kBasic:
            return "basic";
        case AuthMode::kDigest:
            return "digest";
    }
    return "none";
}

std::vector<ProfileInfo> KnownProfiles() {
    // The makers document two alarm outputs on a VN-V686. The pins of the VN-V686B and
    // VN-V685 are not documented: two inputs and one output, as before. The VN-V685 is a PTZ
    // dome of the same generation (its guide has the same PTZ requests, click on centre
    // always available). No VN-X guide was at hand: its name and password stay as they were.
    return {
        {"VN-V686", 1, true, 2, 2, "00:80:88:6A:86:01", "2.00", "VN-V686U", "vn-v686"},
        {"VN-V686B", 1, true, 2, 1, "00:80:88:6A:86:0B", "1.03", "VN-V686BU", "jvc"},
        {"VN-V685", 1, true, 2, 1, "00:80:88:6A:85:01", "2.00", "VN-V685U", "jvc"},
        {"VN-X235", 2, false, 1, 1, "00:80:88:2A:35:01", "", "VN-X235", "jvc"},
    };
}

std::string DefaultDataDir() {
    const char* env = std::getenv("CAMSIM_DATA_DIR");
    if (env != nullptr && *env != '\0') {
        return env;
    }
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const auto installed = self.parent_path() / CAMSIM_INSTALLED_DATA_DIR;
        if (std::filesystem::exists(installed / "camsim_640x480.m4v", error)) {
            return installed.lexically_normal().string();
        }
    }
    return CAMSIM_DEFAULT_DATA_DIR;
}

std::optional<ProfileInfo> FindProfile(const std::string& name) {
    const std::string upper = Upper(name);
    for (auto& p : KnownProfiles()) {
        if (p.name == upper) {
            return p;
        }
    }
    // Any "VN-X" followed by digits (and an optional letter suffix) is a family-2 box camera.
    if (upper.size() > 4 && upper.rfind("VN-X", 0) == 0 &&
        std::isdigit(static_cast<unsigned char>(upper[4])) &&
        std::all_of(upper.begin() + 4, upper.end(),
                    [](char c) { return std::isalnum(static_cast<unsigned char>(c)); })) {
        ProfileInfo p = KnownProfiles().back();
        p.name = p.model = upper;
        return p;
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------

class SimServer;

struct CameraSimulator::Impl {
    explicit Impl(Options o);

    Options opt;
    ProfileInfo profile;

    // Guards the store, the faults, the logs and the switches.
    mutable std::mutex mu;
    std::unique_ptr<detail::ParamStore> store;
    FaultSettings faults;
    bool html = false;
    std::deque<RequestRecord> requests;
    uint64_t request_seq = 0;
    std::deque<WriteRecord> writes;
    // Notified when a request is logged and when the connection or open-stream counts change,
    // for the Wait* calls.
    mutable std::condition_variable observed;

    std::atomic<uint64_t> connections{0};
    std::atomic<uint64_t> pictures{0};
    std::atomic<int> open_streams{0};
    std::atomic<bool> stopping{false};

    std::unique_ptr<detail::Authenticator> auth;
    std::map<std::string, Role> roles;  // user name -> role
    std::map<std::pair<unsigned, unsigned>, std::shared_ptr<const std::vector<JpegPicture>>> rings;
    std::map<std::pair<unsigned, unsigned>, std::shared_ptr<const FixtureData>> fixtures;

    // Listening servers: the current one, and those stopped by the refuse fault (kept until
    // Stop because their connection threads may still be serving).
    std::mutex server_mu;
    std::unique_ptr<SimServer> current;
    std::thread listen_thread;
    std::vector<std::unique_ptr<SimServer>> retired;
    uint16_t port = 0;
    bool started = false;
    bool stopped = false;

    // Connection threads and their sockets.
    std::mutex conn_mu;
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::list<Worker> workers;
    std::map<uint64_t, int> sockets;  // connection id -> its socket (owned)

    void SpawnWorker(std::function<void()> fn);
    bool RegisterSocket(uint64_t id, int sock);  // false when stopping
    void UnregisterSocket(uint64_t id);

    void StartListening();  // with server_mu held
    void StopListening();   // with server_mu held

    FaultSettings Faults() const {
        std::lock_guard<std::mutex> lock(mu);
        return faults;
    }
    void Log(RequestRecord rec);
    // Wakes the Wait* calls after a counter changed. The empty locked section orders the
    // change before a waiter's check, so that the wake-up is not lost.
    void NotifyObservers() const {
        { std::lock_guard<std::mutex> lock(mu); }
        observed.notify_all();
    }
    void HandleParam(const httplib::Request& req, httplib::Response& res, RequestRecord rec);
    // The endless-headers fault: a status line, then header lines until the fault is
    // switched off, the client goes or Stop; then the connection is shut down.
    void SendEndlessHeaders(RequestRecord rec);
    static void CutAnswer(httplib::Response& res);
    // Bytes of the picture to send and whether the stream ends after them, for picture k.
    static size_t PictureLength(const FaultSettings& f, uint64_t k, size_t whole, bool& cut);
    void HandleVideo(const httplib::Request& req, httplib::Response& res, RequestRecord rec);
    void HandleJpeg(const httplib::Request& req, httplib::Response& res, RequestRecord rec);
    void HandleMpeg4(const httplib::Request& req, httplib::Response& res, RequestRecord rec);
    // Answers a request with an HTTP status and no stream, and logs it.
    void Refuse(httplib::Response& res, RequestRecord rec, int status);
    // The listed frame rate an MJPEG request's framerate value is served at, as the camera
    // writes it; nullopt when the value is refused.
    static std::optional<std::string> ServedJpegRate(const std::string& text, bool refuse_unlisted);
    static std::string FrameSizeName(std::pair<unsigned, unsigned> size);
    struct JpegStream {
        std::shared_ptr<const std::vector<JpegPicture>> ring;
        bool multipart = true;
        bool ptz_info = false;
        double fps = 10;
    };
    // The boundary line and headers of one multipart part.
    std::string PartHeaders(const JpegStream& stream, size_t announced);
    // Serve a stream until it ends; the result is the content provider's.
    bool ServeJpeg(const JpegStream& stream, httplib::DataSink& sink);
    bool ServeMpeg4(const FixtureData& fixture, double fps, bool mid_gop, httplib::DataSink& sink);
    // Waits until `until`, in slices; false when the stream must end (Stop or the client went).
    bool SleepUntil(Clock::time_point until) const;
    // Writes bytes of a stream, honouring the byte-rate fault; false when the stream ends.
    struct StreamPacer {
        Clock::time_point start = Clock::now();
        size_t sent = 0;  // bytes sent at the rate since start
        size_t rate = 0;  // the rate they were sent at (0: unpaced)
    };
    bool StreamWrite(httplib::DataSink& sink, const uint8_t* data, size_t size, StreamPacer& pacer);
    // Holds a stalled stream until Stop or the client goes.
    void Stall() const;
    // The stream faults and the pace before picture k of a stream: nullopt to send it, else
    // what the content provider returns (true: the stream ended, false: the connection goes).
    std::optional<bool> BeforePicture(const FaultSettings& f, uint64_t k, Clock::time_point next,
                                      httplib::DataSink& sink) const;
    // Counts a video stream as open for as long as it lives, waking the waiters both ways.
    class OpenStreamScope {
      public:
        explicit OpenStreamScope(Impl& impl) : m_impl(impl) {
            ++m_impl.open_streams;
            m_impl.NotifyObservers();
        }
        ~OpenStreamScope() {
            --m_impl.open_streams;
            m_impl.NotifyObservers();
        }
        OpenStreamScope(const OpenStreamScope&) = delete;
        OpenStreamScope& operator=(const OpenStreamScope&) = delete;

      private:
        Impl& m_impl;
    };
};

// The byte stream of one connection for cpp-httplib: plain socket reads and writes that wait
// in short slices, so that Stop ends them at once, and never raise SIGPIPE.
class ConnectionStream : public httplib::Stream {
  public:
    ConnectionStream(const CameraSimulator::Impl* impl, int sock, Clock::duration read_timeout,
                     Clock::duration write_timeout)
        : impl_(impl), sock_(sock), read_timeout_(read_timeout), write_timeout_(write_timeout) {}

    bool is_readable() const override { return Wait(POLLIN, read_timeout_); }
    bool is_writable() const override { return Wait(POLLOUT, write_timeout_); }

    ssize_t read(char* ptr, size_t size) override {
        if (!is_readable()) {
            return -1;
        }
        ssize_t n;
        do {
            n = ::recv(sock_, ptr, size, 0);
        } while (n < 0 && errno == EINTR);
        return n;
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (t_pace_answer) {
            // Byte-rate fault on a parameter answer: pieces of 1/20 s at the fault's rate.
            const size_t rate = impl_->Faults().stream_bytes_per_second;
            if (rate > 0) {
                size = std::min(size, std::max<size_t>(1, rate / 20));
                const auto until =
                    Clock::now() +
                    std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                        static_cast<double>(size) / static_cast<double>(rate)));
                while (Clock::now() < until) {
                    if (impl_->stopping) {
                        return -1;
                    }
                    std::this_thread::sleep_for(
                        std::min<Clock::duration>(until - Clock::now(), kSlice));
                }
            }
        }
        if (!is_writable()) {
            return -1;
        }
        ssize_t n;
        do {
            n = ::send(sock_, ptr, size, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        return n;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage addr{};
        socklen_t len = sizeof(addr);
        if (::getpeername(sock_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
            Describe(addr, ip, port);
        }
    }

    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage addr{};
        socklen_t len = sizeof(addr);
        if (::getsockname(sock_, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
            Describe(addr, ip, port);
        }
    }

    socket_t socket() const override { return sock_; }

  private:
    static void Describe(const sockaddr_storage& addr, std::string& ip, int& port) {
        char text[INET6_ADDRSTRLEN] = {};
        if (addr.ss_family == AF_INET) {
            const auto& a = reinterpret_cast<const sockaddr_in&>(addr);
            ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof(text));
            port = ntohs(a.sin_port);
        } else if (addr.ss_family == AF_INET6) {
            const auto& a = reinterpret_cast<const sockaddr_in6&>(addr);
            ::inet_ntop(AF_INET6, &a.sin6_addr, text, sizeof(text));
            port = ntohs(a.sin6_port);
        }
        ip = text;
    }

    bool Wait(short events, Clock::duration timeout) const {
        const auto deadline = Clock::now() + timeout;
        while (!impl_->stopping) {
            pollfd p{sock_, events, 0};
            const int n = ::poll(&p, 1, static_cast<int>(kSlice.count()));
            if (n > 0) {
                return true;  // ready, or an error that the next call reports
            }
            if ((n < 0 && errno != EINTR) || Clock::now() >= deadline) {
                return false;
            }
        }
        return false;
    }

    const CameraSimulator::Impl* impl_;
    int sock_;
    Clock::duration read_timeout_, write_timeout_;
};

// A cpp-httplib server whose connections run on the simulator's own threads, so that they can
// be counted, held (never-answer fault), and ended on Stop. Like httplib's own SSLServer, it
// replaces the per-connection loop and hands each request to Server::process_request.
class SimServer : public httplib::Server {
  public:
    explicit SimServer(CameraSimulator::Impl* impl) : impl_(impl) {}

  protected:
    bool process_and_close_socket(socket_t sock) override {
        const uint64_t id = ++impl_->connections;
        impl_->NotifyObservers();
        t_connection = id;
        t_socket = sock;
        bool ok = false;
        if (impl_->RegisterSocket(id, sock)) {
            // Fault: accept and never answer. The request stays unread until the fault is
            // switched off (then it is served), the client goes, or the simulator stops.
            while (impl_->Faults().never_answer && !impl_->stopping && !PeerGone(sock)) {
                std::this_thread::sleep_for(kSlice);
            }
            ConnectionStream stream(impl_, sock,
                                    std::chrono::seconds(read_timeout_sec_) +
                                        std::chrono::microseconds(read_timeout_usec_),
                                    std::chrono::seconds(write_timeout_sec_) +
                                        std::chrono::microseconds(write_timeout_usec_));
            // One request per connection: every answer says "Connection: close", as the
            // camera's do, and the connection ends with it.
            if (WaitForRequest(sock)) {
                bool connection_closed = false;
                t_close_after = false;
                t_pace_answer = false;
                ok = process_request(stream, true, connection_closed, nullptr);
            }
        }
        impl_->UnregisterSocket(id);  // shuts down and closes the socket
        t_socket = -1;
        t_connection = 0;
        return ok;
    }

  private:
    // Waits for the request's first bytes; false when the connection should end (the client
    // closed it, idle time-out, the listener stopped, or Stop).
    bool WaitForRequest(int sock) const {
        const auto deadline = Clock::now() + std::chrono::seconds(keep_alive_timeout_sec_);
        while (!impl_->stopping && Clock::now() < deadline) {
            pollfd p{sock, POLLIN | POLLRDHUP, 0};
            const int n = ::poll(&p, 1, static_cast<int>(kSlice.count()));
            if (n < 0 && errno != EINTR) {
                return false;
            }
            if (n > 0) {
                if (p.revents & (POLLERR | POLLNVAL)) {
                    return false;
                }
                if (p.revents & POLLIN) {
                    // Data, or the end of the stream (read gives 0 and the request fails).
                    return true;
                }
                if (p.revents & (POLLHUP | POLLRDHUP)) {
                    return false;
                }
            }
        }
        return false;
    }

    CameraSimulator::Impl* impl_;
};

class WorkerQueue : public httplib::TaskQueue {
  public:
    explicit WorkerQueue(CameraSimulator::Impl* impl) : impl_(impl) {}
    void enqueue(std::function<void()> fn) override { impl_->SpawnWorker(std::move(fn)); }
    void shutdown() override {}  // the simulator joins its threads in Stop

  private:
    CameraSimulator::Impl* impl_;
};

CameraSimulator::Impl::Impl(Options o) : opt(std::move(o)) {
    auto p = FindProfile(opt.profile);
    if (!p) {
        throw std::runtime_error("camsim: unknown camera profile \"" + opt.profile + "\"");
    }
    profile = *p;
    if (opt.input_pins >= 0)
        profile.input_pins = std::min(opt.input_pins, 15);
    if (opt.output_pins >= 0)
        profile.output_pins = std::min(opt.output_pins, 15);
    store = std::make_unique<detail::ParamStore>(profile, profile.input_pins, profile.output_pins);
    html = opt.html;
    for (std::string* password : {&opt.password, &opt.operator_password, &opt.user_password}) {
        if (password->empty()) {
            *password = profile.default_password;
        }
    }
    roles = {{opt.user, Role::kAdmin}, {"operator", Role::kOperator}, {"user", Role::kUser}};
    auth = std::make_unique<detail::Authenticator>(
        opt.auth,
        std::map<std::string, std::string>{{"user", opt.user_password},
                                           {"operator", opt.operator_password},
                                           {opt.user, opt.password}},
        opt.realm);
}

void CameraSimulator::Impl::SpawnWorker(std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(conn_mu);
    // Reap the threads that have finished, so that the list stays as long as the open
    // connections.
    for (auto it = workers.begin(); it != workers.end();) {
        if (it->done->load()) {
            it->thread.join();
            it = workers.erase(it);
        } else {
            ++it;
        }
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    workers.push_back(Worker{std::thread([fn = std::move(fn), done] {
                                 fn();
                                 done->store(true);
                             }),
                             done});
}

bool CameraSimulator::Impl::RegisterSocket(uint64_t id, int sock) {
    std::lock_guard<std::mutex> lock(conn_mu);
    sockets[id] = sock;
    if (stopping) {
        ::shutdown(sock, SHUT_RDWR);
        return false;
    }
    return true;
}

void CameraSimulator::Impl::UnregisterSocket(uint64_t id) {
    // Closed under the lock, so that Stop never shuts down a descriptor number that has been
    // reused elsewhere.
    std::lock_guard<std::mutex> lock(conn_mu);
    auto it = sockets.find(id);
    if (it != sockets.end()) {
        ::shutdown(it->second, SHUT_RDWR);
        ::close(it->second);
        sockets.erase(it);
    }
}

void CameraSimulator::Impl::StartListening() {
    auto server = std::make_unique<SimServer>(this);
    server->new_task_queue = [this] { return new WorkerQueue(this); };
    server->set_read_timeout(5, 0);
    server->set_write_timeout(5, 0);
    server->set_keep_alive_timeout(5);
    // Small answers go out at once; with Nagle on, a client that delays its ACKs waits
    // about 40 ms for the second segment of every answer.
    server->set_tcp_nodelay(true);
    // SO_REUSEADDR only, not cpp-httplib's default SO_REUSEPORT: a second simulator on a port
    // in use must fail to start rather than silently share the port with the first.
    server->set_socket_options([](int sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        RequestRecord rec;
        rec.connection = t_connection;
        rec.method = req.method;
        rec.target = req.target;
        rec.path = req.path;
        rec.had_credentials = req.has_header("Authorization");
        if (rec.had_credentials) {
            const std::string authorization = req.get_header_value("Authorization");
            rec.auth_scheme = Lower(authorization.substr(0, authorization.find(' ')));
        }
        rec.accept = req.get_header_value("Accept");
        res.set_header("Server", "JVC " + profile.name + " API Server");
        res.set_header("Date", HttpDate());
        const FaultSettings f = Faults();
        if (f.endless_headers) {
            SendEndlessHeaders(rec);
            res.status = 200;  // never written: the connection is shut down
            return httplib::Server::HandlerResponse::Handled;
        }
        if (f.http_status > 0) {
            res.status = f.http_status;
            rec.status = res.status;
            Log(rec);
            return httplib::Server::HandlerResponse::Handled;
        }
        if (f.unauthorized_forever) {
            res.status = 401;
            res.set_header("WWW-Authenticate", auth->mode() == AuthMode::kDigest
                                                   ? auth->Challenge()
                                                   : "Basic realm=\"" + opt.realm + "\"");
            rec.status = 401;
            Log(rec);
            return httplib::Server::HandlerResponse::Handled;
        }
        // Video requests need no authentication; everything else does.
        const auto verdict = req.path == "/api/video"
                                 ? detail::Authenticator::Verdict::kAccepted
                                 : auth->Check(req.method, req.target,
                                               req.get_header_value("Authorization"), &rec.user);
        if (verdict != detail::Authenticator::Verdict::kAccepted) {
            res.status = 401;
            res.set_header("WWW-Authenticate",
                           auth->Challenge(verdict == detail::Authenticator::Verdict::kStale));
            res.set_content("401 Unauthorized\r\n", "text/plain");
            rec.status = 401;
            Log(rec);
            return httplib::Server::HandlerResponse::Handled;
        }
        rec.authorized = true;
        if (req.method != "GET" && req.method != "HEAD") {
            res.status = 405;
            rec.status = 405;
            Log(rec);
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.path == "/api/param") {
            HandleParam(req, res, rec);
        } else if (req.path == "/api/video") {
            HandleVideo(req, res, rec);
        } else {
            res.status = 404;
            res.set_content("404 Not Found\r\n", "text/plain");
            rec.status = 404;
            Log(rec);
        }
        return httplib::Server::HandlerResponse::Handled;
    });

    const std::string& host = opt.bind_address;
    bool bound = false;
    if (port == 0) {
        const int p = server->bind_to_any_port(host);
        if (p > 0) {
            port = static_cast<uint16_t>(p);
            bound = true;
        }
    } else {
        // Binding the same port again after the refuse fault; retried briefly.
        for (int attempt = 0; attempt < 50 && !bound; ++attempt) {
            bound = server->bind_to_port(host, port);
            if (!bound) {
                std::this_thread::sleep_for(20ms);
            }
        }
    }
    if (!bound) {
        throw std::runtime_error("camsim: cannot bind " + host + ":" + std::to_string(port));
    }
    SimServer* raw = server.get();
    current = std::move(server);
    listen_thread = std::thread([raw] { raw->listen_after_bind(); });
    // Server::stop only works once the accept loop runs.
    const auto deadline = Clock::now() + 5s;
    while (!raw->is_running() && Clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
    }
}

void CameraSimulator::Impl::StopListening() {
    if (!current) {
        return;
    }
    while (!current->is_running() && listen_thread.joinable()) {
        std::this_thread::sleep_for(1ms);
    }
    current->stop();
    if (listen_thread.joinable()) {
        listen_thread.join();
    }
    retired.push_back(std::move(current));
}

void CameraSimulator::Impl::Log(RequestRecord rec) {
    std::lock_guard<std::mutex> lock(mu);
    rec.sequence = ++request_seq;
    requests.push_back(std::move(rec));
    while (requests.size() > kMaxRequests) {
        requests.pop_front();
    }
    observed.notify_all();
}

void CameraSimulator::Impl::HandleParam(const httplib::Request& req, httplib::Response& res,
                                        RequestRecord rec) {
    t_pace_answer = true;
    const auto q = req.target.find('?');
    const std::string query = q == std::string::npos ? "" : req.target.substr(q + 1);
    auto held = [&] {
        const std::string text = Faults().hold_param;
        return !text.empty() && query.find(text) != std::string::npos;
    };
    if (held()) {
        RequestRecord arrived = rec;
        arrived.status = 0;
        Log(std::move(arrived));
        // A client that went while held (or just as the hold ended) is not served.
        for (;;) {
            if (stopping || PeerGone(t_socket)) {
                res.status = 503;  // nobody reads it
                return;
            }
            if (!held()) {
                break;
            }
            std::this_thread::sleep_for(kSlice);
        }
    }
    // Without authentication every request is the admin's.
    auto role_it = roles.find(rec.user);
    const Role role =
        auth->mode() == AuthMode::kNone || role_it == roles.end() ? Role::kAdmin : role_it->second;
    std::vector<std::string> lines;
    {
        std::lock_guard<std::mutex> lock(mu);
        size_t pos = 0;
        while (pos <= query.size()) {
            size_t amp = query.find('&', pos);
            if (amp == std::string::npos)
                amp = query.size();
            const std::string item = query.substr(pos, amp - pos);
            pos = amp + 1;
            if (item.empty()) {
                continue;
            }
            const auto eq = item.find('=');
            const std::string name = PercentDecode(item.substr(0, eq));
            detail::DataLine line;
            auto fault = faults.line_status.find(name);
            if (fault != faults.line_status.end()) {
                line = detail::DataLine{name, "", fault->second, eq != std::string::npos, ""};
            } else if (!detail::ParamStore::Allowed(role, name, eq != std::string::npos)) {
                line = detail::DataLine{name, "", 401, eq != std::string::npos, ""};
            } else if (eq == std::string::npos) {
                line = store->Read(name);
            } else {
                line = store->Write(name, PercentDecode(item.substr(eq + 1)));
            }
            if (eq != std::string::npos) {
                writes.push_back(
                    WriteRecord{name, PercentDecode(item.substr(eq + 1)), line.status});
                while (writes.size() > kMaxWrites) {
                    writes.pop_front();
                }
            }
            lines.push_back(detail::FormatLine(line));
        }
    }
    if (lines.empty()) {
        res.status = 400;
        res.set_content("400 Bad Request\r\n", "text/plain");
    } else {
        std::string body;
        // "Accept: text/plain" gives plain text; no Accept line, "text/html" or anything else
        // (not documented) gives the HTML page, unless the html switch forces it.
        const bool as_html = [&] {
            std::lock_guard<std::mutex> lock(mu);
            return html;
        }() || Lower(rec.accept).find("text/plain") == std::string::npos;
        if (as_html) {
            // The camera's page is not documented: one answer line a row, in the body.
            body = "<html><head><title>" + profile.model + "</title></head><body>\r\n";
            for (size_t i = 0; i < lines.size(); ++i) {
                body += lines[i] + (i + 1 < lines.size() ? "<br>\r\n" : "\r\n");
            }
            body += "</body></html>\r\n";
            res.set_content(body, "text/html");
        } else {
            for (const auto& line : lines) {
                body += line + "\r\n";
            }
            res.set_content(body, "text/plain");
        }
        res.status = 200;
        const std::string cut = Faults().cut_param;
        if (!cut.empty() && query.find(cut) != std::string::npos) {
            CutAnswer(res);
        }
    }
    rec.status = res.status;
    Log(std::move(rec));
}

void CameraSimulator::Impl::CutAnswer(httplib::Response& res) {
    // The whole length is announced; half the body is sent, then the provider's failure
    // makes the server close the connection.
    auto body = std::make_shared<std::string>(std::move(res.body));
    const std::string type = res.get_header_value("Content-Type");
    res.body.clear();
    res.set_content_provider(body->size(), type,
                             [body](size_t offset, size_t, httplib::DataSink& sink) {
                                 if (offset == 0) {
                                     sink.write(body->data(), body->size() / 2);
                                 }
                                 return false;
                             });
}

size_t CameraSimulator::Impl::PictureLength(const FaultSettings& f, uint64_t k, size_t whole,
                                            bool& cut) {
    cut = f.cut_stream_after >= 0 && k >= static_cast<uint64_t>(f.cut_stream_after);
    if (cut || (f.truncate_every > 0 && (k + 1) % static_cast<uint64_t>(f.truncate_every) == 0)) {
        return whole / 2;
    }
    return whole;
}

void CameraSimulator::Impl::SendEndlessHeaders(RequestRecord rec) {
    rec.status = 0;
    Log(std::move(rec));
    const int sock = t_socket;
    auto send_text = [sock](const std::string& text) {
        return ::send(sock, text.data(), text.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(text.size());
    };
    bool open = send_text("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n");
    for (uint64_t n = 1; open; ++n) {
        for (auto until = Clock::now() + 50ms; Clock::now() < until;) {
            if (stopping || PeerGone(sock) || !Faults().endless_headers) {
                open = false;
                break;
            }
            std::this_thread::sleep_for(std::min<Clock::duration>(kSlice, until - Clock::now()));
        }
        open = open && send_text("X-Camsim-Header-" + std::to_string(n) + ": more to come\r\n");
    }
    ::shutdown(sock, SHUT_RDWR);
    t_close_after = true;
}

bool CameraSimulator::Impl::SleepUntil(Clock::time_point until) const {
    while (true) {
        if (stopping || PeerGone(t_socket)) {
            return false;
        }
        const auto now = Clock::now();
        if (now >= until) {
            return true;
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(until - now, kSlice));
    }
}

void CameraSimulator::Impl::Stall() const {
    while (!stopping && !PeerGone(t_socket)) {
        std::this_thread::sleep_for(kSlice);
    }
}

bool CameraSimulator::Impl::StreamWrite(httplib::DataSink& sink, const uint8_t* data, size_t size,
                                        StreamPacer& pacer) {
    size_t offset = 0;
    while (offset < size) {
        if (stopping) {
            return false;
        }
        size_t chunk = std::min<size_t>(size - offset, 16384);
        const size_t rate = Faults().stream_bytes_per_second;
        if (rate != pacer.rate) {
            // Switched on, off or to another rate: the count starts afresh, so that bytes sent
            // before do not delay the next ones.
            pacer = StreamPacer{Clock::now(), 0, rate};
        }
        if (rate > 0) {
            // Send no faster than `rate` bytes a second, in pieces of at most 1/20 s.
            chunk = std::min(chunk, std::max<size_t>(1, rate / 20));
            const auto due =
                pacer.start +
                std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                    static_cast<double>(pacer.sent + chunk) / static_cast<double>(rate)));
            // Waits in slices, so that the rate switched off (or changed) takes effect at once.
            bool changed = false;
            while (Clock::now() < due && !changed) {
                if (!SleepUntil(std::min(due, Clock::now() + kSlice))) {
                    return false;
                }
                changed = Faults().stream_bytes_per_second != rate;
            }
            if (changed) {
                continue;
            }
        }
        if (!sink.write(reinterpret_cast<const char*>(data + offset), chunk)) {
            return false;
        }
        offset += chunk;
        pacer.sent += chunk;
    }
    return true;
}

namespace {

// The MJPEG frame rates the camera takes, as it writes them; a negative n is one picture every
// |n| seconds, 0 is one picture and the end of the answer.
const char* const kJpegRates[] = {"30", "25", "15", "10", "7.5", "6",   "5",   "3",   "2",  "1",
                                  "0",  "-2", "-3", "-5", "-10", "-15", "-20", "-30", "-60"};

// Pictures per second of a frame rate value (a negative n: 1/|n|).
double PicturesPerSecond(double rate) {
    return rate < 0 ? 1.0 / -rate : rate;
}

// A number: an optional minus, digits, an optional fraction.
std::optional<double> ParseRate(const std::string& text) {
    size_t i = text.size() > 1 && text[0] == '-' ? 1 : 0;
    const size_t digits = i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
        ++i;
    }
    if (i == digits || text.size() > 8) {
        return std::nullopt;
    }
    if (i < text.size() && text[i] == '.') {
        const size_t fraction = ++i;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
            ++i;
        }
        if (i == fraction) {
            return std::nullopt;
        }
    }
    return i == text.size() ? std::optional<double>(std::atof(text.c_str())) : std::nullopt;
}

}  // namespace

std::optional<std::string> CameraSimulator::Impl::ServedJpegRate(const std::string& text,
                                                                 bool refuse_unlisted) {
    const auto rate = ParseRate(text);
    if (!rate) {
        return std::nullopt;
    }
    for (const char* listed : kJpegRates) {
        if (std::atof(listed) == *rate) {
            return std::string(listed);
        }
    }
    if (refuse_unlisted) {
        return std::nullopt;
    }
    // What the camera does with an unlisted rate is not documented: the nearest listed rate
    // below it, the slowest for one slower than all.
    const double wanted = PicturesPerSecond(*rate);
    std::string best = "-60";
    double best_pps = 0;
    for (const char* listed : kJpegRates) {
        const double pps = PicturesPerSecond(std::atof(listed));
        if (std::atof(listed) != 0 && pps <= wanted && pps > best_pps) {
            best = listed;
            best_pps = pps;
        }
    }
    return best;
}

std::string CameraSimulator::Impl::FrameSizeName(std::pair<unsigned, unsigned> size) {
    return size.first == 320 ? "qvga" : size.first == 1280 ? "quadvga" : "vga";
}

void CameraSimulator::Impl::Refuse(httplib::Response& res, RequestRecord rec, int status) {
    res.status = status;
    if (status == 400) {
        res.set_content("400 Bad Request\r\n", "text/plain");
    }
    rec.status = status;
    Log(std::move(rec));
}

void CameraSimulator::Impl::HandleVideo(const httplib::Request& req, httplib::Response& res,
                                        RequestRecord rec) {
    if (const int status = Faults().video_status; status > 0) {
        Refuse(res, std::move(rec), status);
        return;
    }
    const std::string encode = Lower(req.get_param_value("encode"));
    if (encode == "jpeg") {
        HandleJpeg(req, res, std::move(rec));
    } else if (encode == "mpeg4") {
        HandleMpeg4(req, res, std::move(rec));
    } else {
        Refuse(res, std::move(rec), 400);
    }
}

void CameraSimulator::Impl::HandleJpeg(const httplib::Request& req, httplib::Response& res,
                                       RequestRecord rec) {
    const FaultSettings f0 = Faults();
    std::pair<unsigned, unsigned> size;
    {
        std::lock_guard<std::mutex> lock(mu);
        size = store->JpegSize();
    }
    // A request without a frame rate (not documented) is served at default_jpeg_fps.
    std::string rate_text = std::to_string(opt.default_jpeg_fps);
    if (req.has_param("framerate")) {
        auto served =
            ServedJpegRate(req.get_param_value("framerate"), f0.refuse_unlisted_framerate);
        if (!served) {
            Refuse(res, std::move(rec), 400);
            return;
        }
        rate_text = *served;
    }
    auto ring_it = rings.find(size);
    if (ring_it == rings.end()) {
        Refuse(res, std::move(rec), 503);
        return;
    }
    auto ring = ring_it->second;
    res.status = 200;
    rec.status = 200;
    Log(std::move(rec));
    res.set_header("Cache-Control", "no-cache");  // "Connection: close" as every answer
    t_close_after = true;
    if (rate_text == "0") {
        // One picture, no boundary, and the connection closes.
        const auto& pic = (*ring)[0];
        res.set_content(std::string(pic.bytes.begin(), pic.bytes.end()), "image/jpeg");
        ++pictures;
        return;
    }
    // Old firmware has no boundary option; later firmware gives the same form for anything
    // but boundary=on (no boundary item at all is not documented).
    JpegStream stream;
    stream.ring = ring;
    stream.multipart = !f0.old_firmware && Lower(req.get_param_value("boundary")) == "on";
    stream.ptz_info = Lower(req.get_param_value("ptz_info")) == "on";
    stream.fps = PicturesPerSecond(std::atof(rate_text.c_str()));
    std::string echo = "encode=jpeg&framerate=" + rate_text + "&framesize=" + FrameSizeName(size);
    if (!f0.old_firmware) {
        echo += stream.multipart ? "&boundary=on" : "&boundary=off";
    }
    res.set_header("x-vnv686_response",
                   echo + (stream.ptz_info ? "&ptz_info=on" : "&ptz_info=off"));
    if (!stream.multipart) {
        // The answer's length is that of the first picture; the others follow it.
        res.set_header("Content-Length", std::to_string((*ring)[0].bytes.size()));
    }
    const std::string type = stream.multipart
                                 ? std::string("multipart/x-mixed-replace;boundary=") + kBoundary
                                 : "image/jpeg";
    res.set_content_provider(type.c_str(), [this, stream](size_t, httplib::DataSink& sink) {
        return ServeJpeg(stream, sink);
    });
}

std::string CameraSimulator::Impl::PartHeaders(const JpegStream& stream, size_t announced) {
    std::string part = std::string(kBoundary) + "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                       std::to_string(announced) + "\r\n";
    if (stream.ptz_info) {
        std::lock_guard<std::mutex> lock(mu);
        part += "X-Puls-Pan: 0\r\nX-Puls-Tilt: 0\r\nX-Posi-Zoom: " + store->head().zoom_position +
                "\r\n";
    }
    return part + "\r\n";
}

std::optional<bool> CameraSimulator::Impl::BeforePicture(const FaultSettings& f, uint64_t k,
                                                         Clock::time_point next,
                                                         httplib::DataSink& sink) const {
    if (f.end_stream_after >= 0 && k >= static_cast<uint64_t>(f.end_stream_after)) {
        sink.done();
        return true;
    }
    if (f.stall_stream_after >= 0 && k >= static_cast<uint64_t>(f.stall_stream_after)) {
        Stall();
        return false;
    }
    if (!SleepUntil(next)) {
        return false;
    }
    return std::nullopt;
}

bool CameraSimulator::Impl::ServeJpeg(const JpegStream& stream, httplib::DataSink& sink) {
    OpenStreamScope counted(*this);
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / stream.fps));
    auto next = Clock::now();
    StreamPacer pacer;
    std::string part;
    for (uint64_t k = 0;; ++k) {
        const FaultSettings f = Faults();
        if (const auto ended = BeforePicture(f, k, next, sink)) {
            return *ended;
        }
        const JpegPicture& pic = (*stream.ring)[k % stream.ring->size()];
        bool cut = false;
        size_t length = PictureLength(f, k, pic.bytes.size(), cut);
        part = stream.multipart ? PartHeaders(stream, cut ? pic.bytes.size() : length) : "";
        part.append(reinterpret_cast<const char*>(pic.bytes.data()), length);
        if (cut) {
            // Closed in the middle of the picture.
            StreamWrite(sink, reinterpret_cast<const uint8_t*>(part.data()), part.size(), pacer);
            return false;
        }
        if (stream.multipart) {
            part += "\r\n";
        }
        part += Garbage(f.garbage_bytes);
        if (!StreamWrite(sink, reinterpret_cast<const uint8_t*>(part.data()), part.size(), pacer)) {
            return false;
        }
        ++pictures;
        next += interval;
        if (Clock::now() - next > 1s) {
            next = Clock::now();  // fell far behind (byte-rate fault): do not burst
        }
    }
}

void CameraSimulator::Impl::HandleMpeg4(const httplib::Request& req, httplib::Response& res,
                                        RequestRecord rec) {
    std::pair<unsigned, unsigned> size;
    double fps = 0;
    std::string rate_text;
    {
        std::lock_guard<std::mutex> lock(mu);
        size = store->Mpeg4Size();
        fps = store->Mpeg4FrameRate();
        rate_text = store->Get("encode(2).framerate").value_or("15");
    }
    auto fx_it = fixtures.find(size);
    if (fx_it == fixtures.end()) {
        Refuse(res, std::move(rec), 503);
        return;
    }
    auto fixture = fx_it->second;
    const bool mid_gop = opt.mpeg4_mid_gop || Faults().mpeg4_mid_gop;
    res.status = 200;
    rec.status = 200;
    Log(std::move(rec));
    res.set_header("Cache-Control", "no-cache");  // "Connection: close" as every answer
    res.set_header(
        "x-vnv686_response",
        "encode=mpeg4&framerate=" + rate_text + "&framesize=" + FrameSizeName(size) +
            (Lower(req.get_param_value("ptz_info")) == "on" ? "&ptz_info=on" : "&ptz_info=off"));
    t_close_after = true;
    res.set_content_provider("video/mp4v-es",
                             [this, fixture, fps, mid_gop](size_t, httplib::DataSink& sink) {
                                 return ServeMpeg4(*fixture, fps, mid_gop, sink);
                             });
}

bool CameraSimulator::Impl::ServeMpeg4(const FixtureData& fixture, double fps, bool mid_gop,
                                       httplib::DataSink& sink) {
    OpenStreamScope counted(*this);
    const auto interval =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / fps));
    // Mid-GOP: begin half way between the first two key pictures.
    size_t first = 0;
    if (mid_gop) {
        size_t second_key = 1;
        while (second_key < fixture.key.size() && !fixture.key[second_key]) {
            ++second_key;
        }
        first = std::max<size_t>(1, second_key / 2);
    }
    auto next = Clock::now();
    StreamPacer pacer;
    for (uint64_t k = 0;; ++k) {
        const FaultSettings f = Faults();
        if (const auto ended = BeforePicture(f, k, next, sink)) {
            return *ended;
        }
        const auto [begin, end] = fixture.units[(first + k) % fixture.units.size()];
        bool cut = false;
        const size_t length = PictureLength(f, k, end - begin, cut);
        if (!StreamWrite(sink, fixture.bytes.data() + begin, length, pacer) || cut) {
            return false;
        }
        if (f.garbage_bytes > 0) {
            const std::string junk = Garbage(f.garbage_bytes);
            if (!StreamWrite(sink, reinterpret_cast<const uint8_t*>(junk.data()), junk.size(),
                             pacer)) {
                return false;
            }
        }
        ++pictures;
        next += interval;
        if (Clock::now() - next > 1s) {
            next = Clock::now();
        }
    }
}

// ---------------------------------------------------------------------------------------------

CameraSimulator::CameraSimulator(Options options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

CameraSimulator::~CameraSimulator() {
    Stop();
}

uint16_t CameraSimulator::Start() {
    Impl& m = *impl_;
    std::lock_guard<std::mutex> lock(m.server_mu);
    if (m.started) {
        return m.port;
    }
    const unsigned ring = std::max(1u, m.opt.jpeg_ring_size);
    const int quality = std::clamp(m.opt.jpeg_quality, 1, 100);
    for (auto [w, h] : {std::pair{320u, 240u}, std::pair{640u, 480u}, std::pair{1280u, 960u}}) {
        m.rings[{w, h}] = detail::JpegRingFor(w, h, ring, quality, m.profile.model);
    }
    const std::string dir = m.opt.data_dir.empty() ? DefaultDataDir() : m.opt.data_dir;
    for (auto [w, h] : {std::pair{320u, 240u}, std::pair{640u, 480u}, std::pair{704u, 576u}}) {
        m.fixtures[{w, h}] = std::make_shared<const FixtureData>(
            LoadFixture(dir + "/camsim_" + std::to_string(w) + "x" + std::to_string(h) + ".m4v",
                        m.profile.model));
    }
    m.port = m.opt.port;
    m.StartListening();
    m.started = true;
    if (m.Faults().refuse_connections) {
        m.StopListening();
    }
    return m.port;
}

void CameraSimulator::Stop() {
    Impl& m = *impl_;
    std::lock_guard<std::mutex> lock(m.server_mu);
    if (!m.started || m.stopped) {
        return;
    }
    m.stopped = true;
    {
        std::lock_guard<std::mutex> conn_lock(m.conn_mu);
        m.stopping = true;
        for (auto& [id, sock] : m.sockets) {
            ::shutdown(sock, SHUT_RDWR);
        }
    }
    m.StopListening();
    std::list<Impl::Worker> workers;
    {
        std::lock_guard<std::mutex> conn_lock(m.conn_mu);
        workers.swap(m.workers);
    }
    for (auto& w : workers) {
        w.thread.join();
    }
    m.retired.clear();
}

uint16_t CameraSimulator::port() const {
    return impl_->port;
}
std::string CameraSimulator::address() const {
    return impl_->opt.bind_address;
}
std::string CameraSimulator::base_url() const {
    return "http://" + address() + ":" + std::to_string(port());
}
const Options& CameraSimulator::options() const {
    return impl_->opt;
}
const ProfileInfo& CameraSimulator::profile() const {
    return impl_->profile;
}

std::optional<std::string> CameraSimulator::GetParam(const std::string& name) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->store->Get(name);
}

void CameraSimulator::SetParam(const std::string& name, const std::string& value) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->store->Set(name, value);
}

void CameraSimulator::RemoveParam(const std::string& name) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->store->Remove(name);
}

std::map<std::string, std::string> CameraSimulator::Params() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->store->All();
}

std::vector<WriteRecord> CameraSimulator::Writes() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return {impl_->writes.begin(), impl_->writes.end()};
}

uint64_t CameraSimulator::SaveCount(int encoder) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->store->save_count(encoder);
}

void CameraSimulator::SetInputPin(int pin, bool make) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (pin >= 1 && pin <= impl_->store->input_pins()) {
        impl_->store->Set("peripheral.input_pin.pin(" + std::to_string(pin) + ").status",
                          make ? "make" : "break");
    }
}

std::optional<bool> CameraSimulator::InputPin(int pin) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (pin < 1 || pin > impl_->store->input_pins()) {
        return std::nullopt;
    }
    auto v = impl_->store->Get("peripheral.input_pin.pin(" + std::to_string(pin) + ").status");
    if (!v) {
        return std::nullopt;
    }
    return *v == "make";
}

std::optional<OutputPinState> CameraSimulator::OutputPin(int pin) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->store->output_pin(pin);
}

HeadState CameraSimulator::Head() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->store->head();
}

PresetState CameraSimulator::Preset(int position) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->store->preset(position);
}

std::vector<RequestRecord> CameraSimulator::Requests() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return {impl_->requests.begin(), impl_->requests.end()};
}

void CameraSimulator::ClearRequests() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->requests.clear();
}

uint64_t CameraSimulator::ConnectionsAccepted() const {
    return impl_->connections.load();
}
int CameraSimulator::OpenStreams() const {
    return impl_->open_streams.load();
}
uint64_t CameraSimulator::PicturesSent() const {
    return impl_->pictures.load();
}

std::vector<JpegPicture> CameraSimulator::JpegRing(unsigned width, unsigned height) const {
    auto ring = impl_->rings.find({width, height});
    if (ring == impl_->rings.end()) {
        // Before Start, or a size the camera does not make.
        return {};
    }
    return *ring->second;
}

std::pair<unsigned, unsigned> CameraSimulator::JpegSizeNow() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->store->JpegSize();
}

std::pair<unsigned, unsigned> CameraSimulator::Mpeg4SizeNow() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->store->Mpeg4Size();
}

std::vector<uint8_t> CameraSimulator::Mpeg4Fixture(unsigned width, unsigned height) const {
    auto it = impl_->fixtures.find({width, height});
    return it == impl_->fixtures.end() ? std::vector<uint8_t>{} : it->second->bytes;
}

double CameraSimulator::Mpeg4FrameRate() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->store->Mpeg4FrameRate();
}

void CameraSimulator::SetHtml(bool html) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->html = html;
}

FaultSettings CameraSimulator::GetFaults() const {
    return impl_->Faults();
}

void CameraSimulator::SetFaults(const FaultSettings& faults) {
    bool refuse_changed = false;
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        refuse_changed = impl_->faults.refuse_connections != faults.refuse_connections;
        impl_->faults = faults;
    }
    if (refuse_changed) {
        SetRefuseConnections(faults.refuse_connections);
    }
}

void CameraSimulator::ClearFaults() {
    SetFaults(FaultSettings{});
}

void CameraSimulator::SetRefuseConnections(bool on) {
    Impl& m = *impl_;
    std::lock_guard<std::mutex> server_lock(m.server_mu);
    {
        std::lock_guard<std::mutex> lock(m.mu);
        m.faults.refuse_connections = on;
    }
    if (!m.started || m.stopped) {
        return;  // Start applies it
    }
    if (on && m.current) {
        m.StopListening();
    } else if (!on && !m.current) {
        m.StartListening();
    }
}

#define CAMSIM_FAULT_SETTER(Method, Type, field)     \
    void CameraSimulator::Method(Type value) {       \
        std::lock_guard<std::mutex> lock(impl_->mu); \
        impl_->faults.field = value;                 \
    }
CAMSIM_FAULT_SETTER(SetHttpStatusFault, int, http_status)
CAMSIM_FAULT_SETTER(SetVideoStatusFault, int, video_status)
CAMSIM_FAULT_SETTER(SetUnauthorizedForever, bool, unauthorized_forever)
CAMSIM_FAULT_SETTER(SetNeverAnswer, bool, never_answer)
CAMSIM_FAULT_SETTER(SetStallStreamAfter, int, stall_stream_after)
CAMSIM_FAULT_SETTER(SetEndStreamAfter, int, end_stream_after)
CAMSIM_FAULT_SETTER(SetTruncateEvery, int, truncate_every)
CAMSIM_FAULT_SETTER(SetGarbageBytes, size_t, garbage_bytes)
CAMSIM_FAULT_SETTER(SetStreamByteRate, size_t, stream_bytes_per_second)
CAMSIM_FAULT_SETTER(SetMpeg4MidGop, bool, mpeg4_mid_gop)
CAMSIM_FAULT_SETTER(SetOldFirmware, bool, old_firmware)
CAMSIM_FAULT_SETTER(SetRefuseUnlistedFrameRate, bool, refuse_unlisted_framerate)
CAMSIM_FAULT_SETTER(SetHoldParam, const std::string&, hold_param)
CAMSIM_FAULT_SETTER(SetCutParam, const std::string&, cut_param)
CAMSIM_FAULT_SETTER(SetCutStreamAfter, int, cut_stream_after)
CAMSIM_FAULT_SETTER(SetEndlessHeaders, bool, endless_headers)
#undef CAMSIM_FAULT_SETTER

void CameraSimulator::DropConnections() {
    std::lock_guard<std::mutex> lock(impl_->conn_mu);
    for (auto& [id, sock] : impl_->sockets) {
        ::shutdown(sock, SHUT_RDWR);
    }
}

void CameraSimulator::SetLineStatus(const std::string& name, int status) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (status == 0) {
        impl_->faults.line_status.erase(name);
    } else {
        impl_->faults.line_status[name] = status;
    }
}

void CameraSimulator::ClearLineStatus() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->faults.line_status.clear();
}

bool CameraSimulator::WaitForRequest(const std::string& target_substring,
                                     std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(impl_->mu);
    return impl_->observed.wait_for(lock, timeout, [&] {
        for (const auto& r : impl_->requests) {
            if (r.target.find(target_substring) != std::string::npos) {
                return true;
            }
        }
        return false;
    });
}

bool CameraSimulator::WaitForOpenStreams(int count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(impl_->mu);
    return impl_->observed.wait_for(lock, timeout,
                                    [&] { return impl_->open_streams.load() == count; });
}

bool CameraSimulator::WaitForConnections(uint64_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(impl_->mu);
    return impl_->observed.wait_for(lock, timeout,
                                    [&] { return impl_->connections.load() >= count; });
}

}  // namespace camsim
