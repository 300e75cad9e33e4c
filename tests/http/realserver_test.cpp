// CHttpClient and the parameter protocol against servers no one here wrote: lighttpd with
// Digest authentication (mod_auth, htdigest file), and lighttpd with TLS (mod_openssl) and a
// self-signed certificate. The fixture writes the configuration, the password file and the
// certificate into a temporary folder, starts lighttpd on a free loopback port and stops it
// at the end. ctest label: realserver.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "http/fake_log.h"
#include "http/param_protocol.h"
#include "platform/http.h"
#include "platform/network.h"

using namespace vostrel;
using namespace vostrel::Utils;

namespace {

const char* kBody = "system.mode=normal&200 OK\r\nsystem.model=VN-V686U&200 OK\r\n";

std::string Run(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return out;
    char buf[256];
    while (fgets(buf, sizeof buf, pipe) != nullptr)
        out += buf;
    pclose(pipe);
    return out;
}

std::string FindProgram(const std::string& name) {
    for (const char* dir :
         {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/", "/usr/local/sbin/", "/usr/local/bin/"}) {
        std::string path = std::string(dir) + name;
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return {};
}

uint16_t FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

bool CanConnect(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

// Sends a plain HTTP request to the port and returns what comes back within 2 s.
std::string PlainExchange(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    std::string got;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        const std::string request = "GET /open.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        timeval tv{2, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        char buf[512];
        ssize_t n;
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0)
            got.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return got;
}

class Lighttpd {
  public:
    Lighttpd(bool tls) : m_tls(tls) {}
    ~Lighttpd() { Stop(); }

    // Empty on success, otherwise the reason.
    std::string Start() {
        const std::string program = FindProgram("lighttpd");
        if (program.empty())
            return "lighttpd is not installed (scripts/setup installs it)";
        char pattern[] = "/tmp/jvc_lighttpd_XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            return "mkdtemp failed";
        m_dir = pattern;
        mkdir((m_dir + "/www").c_str(), 0755);
        mkdir((m_dir + "/www/api").c_str(), 0755);
        std::ofstream(m_dir + "/www/api/param") << kBody;
        std::ofstream(m_dir + "/www/open.txt") << "open";
        // htdigest line: user:realm:MD5(user:realm:password)
        std::string hash = Run("printf '%s' 'user:camera:secret' | md5sum");
        hash = hash.substr(0, hash.find(' '));
        if (hash.size() != 32)
            return "md5sum failed";
        std::ofstream(m_dir + "/htdigest") << "user:camera:" << hash << "\n";
        if (m_tls) {
            const std::string cmd =
                "openssl req -x509 -newkey rsa:2048 -nodes -days 2 "
                "-subj /CN=camera.invalid -keyout '" +
                m_dir + "/key.pem' -out '" + m_dir + "/cert.pem' >/dev/null 2>&1";
            if (std::system(cmd.c_str()) != 0)
                return "openssl could not make a certificate";
        }
        m_port = FreePort();
        std::ofstream conf(m_dir + "/lighttpd.conf");
        conf << "server.document-root = \"" << m_dir << "/www\"\n"
             << "server.port = " << m_port << "\n"
             << "server.bind = \"127.0.0.1\"\n"
             << "server.errorlog = \"" << m_dir << "/error.log\"\n"
             << "server.modules = (\"mod_auth\", \"mod_authn_file\""
             << (m_tls ? ", \"mod_openssl\"" : "") << ")\n"
             << "mimetype.assign = (\"\" => \"text/plain\")\n"
             << "auth.backend = \"htdigest\"\n"
             << "auth.backend.htdigest.userfile = \"" << m_dir << "/htdigest\"\n"
             << "auth.require = (\"/api/\" => (\"method\" => \"digest\", \"realm\" => "
                "\"camera\", \"require\" => \"valid-user\"))\n"
             // Every request line and response status goes to the error log as it happens.
             << "debug.log-request-header = \"enable\"\n"
             << "debug.log-response-header = \"enable\"\n";
        if (m_tls) {
            conf << "ssl.engine = \"enable\"\n"
                 << "ssl.pemfile = \"" << m_dir << "/cert.pem\"\n"
                 << "ssl.privkey = \"" << m_dir << "/key.pem\"\n";
        }
        conf.close();
        m_pid = fork();
        if (m_pid == 0) {
            const std::string confPath = m_dir + "/lighttpd.conf";
            execl(program.c_str(), "lighttpd", "-D", "-f", confPath.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        if (m_pid < 0)
            return "fork failed";
        // lighttpd gives no sign that it is ready, so its port is tried a bounded number of
        // times; a failed start is seen at once through waitpid.
        for (int i = 0; i < 100; ++i) {
            if (CanConnect(m_port))
                return {};
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return "lighttpd ended at start: " + ErrorLog();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return "lighttpd did not listen: " + ErrorLog();
    }

    void Stop() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status = 0;
            waitpid(m_pid, &status, 0);
            m_pid = -1;
        }
        if (!m_dir.empty()) {
            std::system(("rm -rf '" + m_dir + "'").c_str());
            m_dir.clear();
        }
    }

    std::string ErrorLog() const {
        std::ifstream in(m_dir + "/error.log");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // How often the TLS layer saw a plain HTTP request.
    int PlainAttempts() const {
        std::string log = ErrorLog();
        int n = 0;
        for (size_t p = log.find("http request"); p != std::string::npos;
             p = log.find("http request", p + 1)) {
            ++n;
        }
        return n;
    }
    // Requests received for the target, and responses sent with the status, so far.
    int RequestsFor(const std::string& target) const {
        return Occurrences(ErrorLog(), "rqst: GET " + target + " HTTP/");
    }
    int ResponsesWith(int status) const {
        return Occurrences(ErrorLog(), "resp: HTTP/1.1 " + std::to_string(status) + " ");
    }
    uint16_t Port() const { return m_port; }

  private:
    static int Occurrences(const std::string& text, const std::string& what) {
        int n = 0;
        for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) {
            ++n;
        }
        return n;
    }

    bool m_tls;
    std::string m_dir;
    uint16_t m_port = 0;
    pid_t m_pid = -1;
};

DEVICE_INFO Device(uint16_t port, const std::string& password) {
    DEVICE_INFO info("127.0.0.1", port, "user", password);
    info.m_timeout = 5000;
    return info;
}

}  // namespace

class LighttpdDigest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error = server.Start();
        ASSERT_EQ(error, "");
    }
    Lighttpd server{false};
};

TEST_F(LighttpdDigest, ClientAuthenticatesWithDigest) {
    Web::CHttpClient client(Device(server.Port(), "secret"), Web::CHttpClient::kUserAgent);
    testing_http::FakeLog log;
    std::string response;
    ASSERT_TRUE(SendAndLog(response, client, &log, "/api/param?system.mode&system.model"));
    EXPECT_TRUE(log.records.empty());
    EXPECT_EQ(response, kBody);
    EXPECT_EQ(client.GetStatusCode(), 200u);
    EXPECT_EQ(client.GetProtocol(), Web::CHttpClient::kProtocolHttp);
    EXPECT_EQ(client.GetAuthScheme(), platform::http::kAuthDigest);
    EXPECT_EQ(GetParameterValue("system.model", kParamSeparator, response, kParamDelimiters),
              "VN-V686U");
    unsigned status = 0;
    std::string errorText;
    EXPECT_TRUE(CheckResponse(response, status, errorText)) << errorText;

    // Later requests of the client keep authenticating (fresh nonces are handled).
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(SendAndLog(response, client, &log, "/api/param?system.mode"));
        EXPECT_EQ(response, kBody);
    }
    // A path outside the protected area, without a body problem.
    ASSERT_TRUE(SendAndLog(response, client, &log, "/open.txt"));
    EXPECT_EQ(response, "open");
    EXPECT_TRUE(log.records.empty());
}

TEST_F(LighttpdDigest, FirstExchangeTwoRequestsThenOneEach) {
    const std::string path = "/api/param?system.mode";
    Web::CHttpClient client(Device(server.Port(), "secret"), Web::CHttpClient::kUserAgent);
    testing_http::FakeLog log;
    std::string response;
    ASSERT_TRUE(SendAndLog(response, client, &log, path));
    // The first attempt is refused with the challenge; its answer is accepted.
    EXPECT_EQ(server.RequestsFor(path), 2);
    EXPECT_EQ(server.ResponsesWith(401), 1);
    EXPECT_EQ(server.ResponsesWith(200), 1);
    for (int i = 1; i <= 5; ++i) {
        ASSERT_TRUE(SendAndLog(response, client, &log, path));
        EXPECT_EQ(server.RequestsFor(path), 2 + i);
    }
    EXPECT_EQ(server.ResponsesWith(401), 1);
    EXPECT_TRUE(log.records.empty());
}

TEST_F(LighttpdDigest, WrongPasswordGivesCode6With401) {
    Web::CHttpClient client(Device(server.Port(), "wrong"), Web::CHttpClient::kUserAgent);
    std::string response;
    CResultDef result;
    SendRequestWrapper(response, client, result, "/api/param?system.mode", true, 0);
    EXPECT_EQ(client.GetStatusCode(), 401u);
    EXPECT_EQ(result.code, 6);
    EXPECT_EQ(result.level, 1);
    EXPECT_EQ(result.message, "vostrel::Utils::SendRequestWrapper: host 127.0.0.1:" +
                                  std::to_string(server.Port()) +
                                  " sent does not process request \"/api/param?system.mode\", "
                                  "status code = 401");
    testing_http::FakeLog log;
    EXPECT_FALSE(SendAndLog(response, client, &log, "/api/param?system.mode"));
    ASSERT_EQ(log.records.size(), 1u);
    EXPECT_EQ(log.records[0].first, 1);
}

TEST_F(LighttpdDigest, StreamIsReadThroughTheRequest) {
    Web::CHttpClient client(Device(server.Port(), "secret"), Web::CHttpClient::kUserAgent);
    testing_http::FakeLog log;
    ASSERT_TRUE(SendForStream(client, "/api/param?system.mode", &log, 0));
    auto request = client.GetRequest();
    ASSERT_TRUE(request);
    std::string all;
    size_t n = 0;
    char buffer[16];
    while (request->QueryDataAvailable(n) && n > 0) {
        size_t got = 0;
        ASSERT_TRUE(request->ReadData(buffer, std::min(n, sizeof buffer), got));
        all.append(buffer, got);
    }
    EXPECT_EQ(request->LastError(), platform::http::Error::None);
    EXPECT_EQ(all, kBody);
    client.CloseRequest();
}

class LighttpdTls : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error = server.Start();
        ASSERT_EQ(error, "");
    }
    Lighttpd server{true};
};

TEST_F(LighttpdTls, PlainHttpGetsNoHttpAnswer) {
    std::string answer = PlainExchange(server.Port());
    EXPECT_NE(answer.rfind("HTTP/", 0), 0u) << answer;
}

TEST_F(LighttpdTls, ClientFindsHttpsIgnoresCertificateAndKeepsIt) {
    Web::CHttpClient client(Device(server.Port(), "secret"), Web::CHttpClient::kUserAgent);
    testing_http::FakeLog log;
    std::string response;
    ASSERT_TRUE(SendAndLog(response, client, &log, "/open.txt"));
    EXPECT_EQ(response, "open");
    EXPECT_EQ(client.GetProtocol(), Web::CHttpClient::kProtocolHttps);
    const int plainAttempts = server.PlainAttempts();
    EXPECT_GE(plainAttempts, 1);

    // Digest over HTTPS, and HTTPS is kept: no more plain attempts.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(SendAndLog(response, client, &log, "/api/param?system.mode"));
        EXPECT_EQ(response, kBody);
    }
    EXPECT_EQ(client.GetProtocol(), Web::CHttpClient::kProtocolHttps);
    EXPECT_EQ(client.GetAuthScheme(), platform::http::kAuthDigest);
    EXPECT_EQ(server.PlainAttempts(), plainAttempts);
    // Over HTTPS too: the challenge once, then one request per exchange.
    EXPECT_EQ(server.RequestsFor("/api/param?system.mode"), 4);
    EXPECT_EQ(server.ResponsesWith(401), 1);
    EXPECT_TRUE(log.records.empty());
}

TEST_F(LighttpdTls, CertificateIsCheckedUnlessIgnored) {
    ASSERT_TRUE(platform::NetworkStartup());
    {
        auto session = platform::http::Session::Open("agent");
        auto connection = session->Connect("127.0.0.1", server.Port());
        auto strict = connection->OpenRequest("GET", "/open.txt", platform::http::kRequestSecure);
        EXPECT_FALSE(strict->Send() && strict->ReceiveResponse());
        EXPECT_EQ(strict->LastError(), platform::http::Error::SecureFailure);

        auto lenient = connection->OpenRequest("GET", "/open.txt", platform::http::kRequestSecure);
        ASSERT_TRUE(lenient->IgnoreCertificateErrors());
        ASSERT_TRUE(lenient->Send());
        ASSERT_TRUE(lenient->ReceiveResponse());
        uint32_t status = 0;
        ASSERT_TRUE(lenient->QueryStatusCode(status));
        EXPECT_EQ(status, 200u);
    }
    platform::NetworkCleanup();
}
