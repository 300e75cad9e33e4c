// CHttpClient and the platform HTTP layer against the raw-socket test server.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <thread>

#include "http/http_client.h"
#include "http/test_server.h"
#include "platform/http.h"
#include "platform/network.h"

using namespace testing_http;
using platform::http::Error;
using Clock = std::chrono::steady_clock;

namespace {

vostrel::DEVICE_INFO Device(uint16_t port, const std::string& user = "user",
                            const std::string& password = "secret", int timeoutMs = 3000) {
    vostrel::DEVICE_INFO info("127.0.0.1", port, user, password);
    info.m_timeout = timeoutMs;
    return info;
}

std::string Text(const std::vector<uint8_t>& bytes, uint32_t n) {
    return std::string(reinterpret_cast<const char*>(bytes.data()), n);
}

std::string Pattern(size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    }
    return s;
}

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Gives access to the protected steps of the client.
class TestClient : public Web::CHttpClient {
  public:
    using CHttpClient::CHttpClient;
    using CHttpClient::CloseHandles;
    using CHttpClient::OpenRoot;
    // Requests this client has sent (each attempt of a protocol detection counts).
    uint64_t Transfers() const { return m_root ? m_root->TransfersStarted() : 0; }
};

// Reads the current response as a stream up to its end (expected to come, not a failure).
std::string ReadToTheEnd(Web::CHttpClient& client) {
    std::vector<uint8_t> block;
    std::string text;
    Web::CHttpClient::StreamRead read;
    while ((read = client.ReadStream(block)) == Web::CHttpClient::StreamRead::kData) {
        text.append(block.begin(), block.end());
    }
    EXPECT_EQ(read, Web::CHttpClient::StreamRead::kEnded);
    return text;
}

}  // namespace

TEST(HttpClient, StatusCodesAreReported) {
    TestServer server(Serve([](const HttpRequest& r) {
        if (r.target == "/ok")
            return Response(200, "fine");
        if (r.target == "/none")
            return Response(204, "");
        if (r.target == "/missing")
            return Response(404, "no such thing");
        return Response(500, "broken");
    }));
    Web::CHttpClient client(Device(server.Port()), Web::CHttpClient::kUserAgent);
    std::vector<uint8_t> body;

    ASSERT_TRUE(client.SendRequest("GET", "/ok"));
    EXPECT_EQ(client.GetStatusCode(), 200u);
    EXPECT_EQ(client.GetContentLength(), 4u);
    EXPECT_EQ(client.GetProtocol(), Web::CHttpClient::kProtocolHttp);
    uint32_t n = client.ReadResponse(body);
    EXPECT_EQ(Text(body, n), "fine");

    ASSERT_TRUE(client.SendRequest("GET", "/none"));
    EXPECT_EQ(client.GetStatusCode(), 204u);
    EXPECT_EQ(client.GetContentLength(), 0u);
    EXPECT_EQ(client.ReadResponse(body), 0u);

    ASSERT_TRUE(client.SendRequest("GET", "/missing"));
    EXPECT_EQ(client.GetStatusCode(), 404u);
    EXPECT_EQ(client.ReadResponse(body), 13u);

    ASSERT_TRUE(client.SendRequest("GET", "/other"));
    EXPECT_EQ(client.GetStatusCode(), 500u);

    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].Header("user-agent"), "Vostrel::HttpClient");
    // Credentials go with the first request as Basic.
    EXPECT_EQ(requests[0].Header("authorization").rfind("Basic ", 0), 0u);
}

TEST(HttpClient, ChunkedAndLargeBodiesAreReadWhole) {
    const std::string big = Pattern(100000);
    TestServer server(Serve([&big](const HttpRequest& r) {
        if (r.target == "/chunked")
            return ChunkedResponse(200, "abc=1&200 OK\r\n", 5);
        if (r.target == "/bigchunked")
            return ChunkedResponse(200, big, 3000);
        return Response(200, big);
    }));
    Web::CHttpClient client(Device(server.Port()), Web::CHttpClient::kUserAgent);
    std::vector<uint8_t> body;

    ASSERT_TRUE(client.SendRequest("GET", "/chunked"));
    EXPECT_EQ(client.GetContentLength(), 0u);  // absent
    uint32_t n = client.ReadResponse(body);
    EXPECT_EQ(Text(body, n), "abc=1&200 OK\r\n");

    ASSERT_TRUE(client.SendRequest("GET", "/big"));
    EXPECT_EQ(client.GetContentLength(), big.size());
    n = client.ReadResponse(body);
    ASSERT_EQ(n, big.size());
    EXPECT_EQ(body.size(), big.size());
    EXPECT_TRUE(Text(body, n) == big);

    ASSERT_TRUE(client.SendRequest("GET", "/bigchunked"));
    n = client.ReadResponse(body);
    ASSERT_EQ(n, big.size());
    EXPECT_TRUE(Text(body, n) == big);
}

TEST(HttpClient, BodyArrivingInPiecesIsReadWhole) {
    const std::string big = Pattern(50000);
    TestServer server([&big](ServerConnection& c, TestServer&) {
        HttpRequest r;
        if (!c.ReadRequest(r))
            return;
        std::string all = Response(200, big);
        for (size_t pos = 0; pos < all.size(); pos += 7000) {
            if (!c.Send(all.substr(pos, 7000)))
                return;
            // Paced on purpose: the body must reach the client in separate pieces.
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        c.ReadRequest(r, 2000);
    });
    Web::CHttpClient client(Device(server.Port()), Web::CHttpClient::kUserAgent);
    std::vector<uint8_t> body;
    ASSERT_TRUE(client.SendRequest("GET", "/slow"));
    uint32_t n = client.ReadResponse(body);
    ASSERT_EQ(n, big.size());
    EXPECT_TRUE(Text(body, n) == big);
}

TEST(HttpClient, SequentialRequestsShareOneConnection) {
    TestServer server(Serve([](const HttpRequest& r) { return Response(200, "v=" + r.target); }));
    Web::CHttpClient client(Device(server.Port()), Web::CHttpClient::kUserAgent);
    std::vector<uint8_t> body;
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(client.SendRequest("GET", "/api/param?n" + std::to_string(i)));
        uint32_t n = client.ReadResponse(body);
        EXPECT_EQ(Text(body, n), "v=/api/param?n" + std::to_string(i));
    }
    EXPECT_EQ(server.Accepted(), 1);
    EXPECT_EQ(server.Requests().size(), 6u);
}

TEST(HttpClient, ServerClosingTheConnectionIsReopened) {
    TestServer server(
        Serve([](const HttpRequest&) { return Response(200, "x", "Connection: close\r\n"); }));
    Web::CHttpClient client(Device(server.Port()), Web::CHttpClient::kUserAgent);
    std::vector<uint8_t> body;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(client.SendRequest("GET", "/x"));
        EXPECT_EQ(client.ReadResponse(body), 1u);
    }
    EXPECT_EQ(server.Accepted(), 3);
}

namespace {

const char* kDigestChallenge =
    "WWW-Authenticate: Digest realm=\"camera\", nonce=\"abcdef0123456789\", qop=\"auth\", "
    "algorithm=MD5\r\n";

}  // namespace

TEST(HttpClient, DigestAnswerToBasicRequestAuthenticates) {
    TestServer server(Serve([](const HttpRequest& r) {
        const std::string auth = r.Header("authorization");
        if (auth.rfind("Digest ", 0) == 0 && auth.find("username=\"user\"") != std::string::npos &&
            auth.find("response=\"") != std::string::npos &&
            auth.find("uri=\"/api/param?system.mode\"") != std::string::npos) {
            return Response(200, "system.mode=normal&200 OK\r\n");
        }
        return Response(401, "denied", kDigestChallenge);
    }));
    Web::CHttpClient client(Device(server.Port()), Web::CHttpClient::kUserAgent);
    ASSERT_TRUE(client.SendRequest("GET", "/api/param?system.mode"));
    EXPECT_EQ(client.GetStatusCode(), 200u);
    EXPECT_EQ(client.GetAuthScheme(), platform::http::kAuthDigest);
    EXPECT_EQ(client.GetAuthTarget(), 0u);
    std::vector<uint8_t> body;
    uint32_t n = client.ReadResponse(body);
    EXPECT_EQ(Text(body, n), "system.mode=normal&200 OK\r\n");
    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests.front().Header("authorization").rfind("Basic ", 0), 0u);
    EXPECT_EQ(requests.back().Header("authorization").rfind("Digest ", 0), 0u);

    // The scheme stays: the next request authenticates up front, in one request.
    ASSERT_TRUE(client.SendRequest("GET", "/api/param?system.mode"));
    EXPECT_EQ(client.GetStatusCode(), 200u);
    client.ReadResponse(body);
    EXPECT_EQ(server.Requests().size(), 3u);
    EXPECT_EQ(server.Accepted(), 1);
}

TEST(HttpClient, SecondIdentical401EndsWith401) {
    TestServer server(
        Serve([](const HttpRequest&) { return Response(401, "denied", kDigestChallenge); }));
    Web::CHttpClient client(Device(server.Port()), Web::CHttpClient::kUserAgent);
    ASSERT_TRUE(client.SendRequest("GET", "/api/param?system.mode"));
    EXPECT_EQ(client.GetStatusCode(), 401u);
    EXPECT_EQ(client.GetAuthScheme(), platform::http::kAuthDigest);
    // Basic, then the Digest answer to the challenge that came with its 401; refused the
    // same way, the loop ends there.
    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].Header("authorization").rfind("Basic ", 0), 0u);
    EXPECT_EQ(requests[1].Header("authorization").rfind("Digest ", 0), 0u);
}

TEST(HttpClient, OnlyBasicOfferedEndsAtOnce) {
    TestServer server(Serve([](const HttpRequest&) {
        return Response(401, "denied", "WWW-Authenticate: Basic realm=\"camera\"\r\n");
    }));
    Web::CHttpClient client(Device(server.Port()), Web::CHttpClient::kUserAgent);
    ASSERT_TRUE(client.SendRequest("GET", "/x"));
    EXPECT_EQ(client.GetStatusCode(), 401u);
    EXPECT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(client.GetAuthScheme(), platform::http::kAuthBasic);
}

TEST(HttpClient, EmptyUserNameSetsNoCredentials) {
    TestServer server(Serve([](const HttpRequest& r) {
        if (r.target == "/basic") {
            return Response(401, "denied", "WWW-Authenticate: Basic realm=\"camera\"\r\n");
        }
        return Response(401, "denied", kDigestChallenge);
    }));
    {
        Web::CHttpClient client(Device(server.Port(), "", ""), Web::CHttpClient::kUserAgent);
        ASSERT_TRUE(client.SendRequest("GET", "/basic"));
        EXPECT_EQ(client.GetStatusCode(), 401u);
        EXPECT_EQ(server.Requests().size(), 1u);
    }
    {
        Web::CHttpClient client(Device(server.Port(), "", ""), Web::CHttpClient::kUserAgent);
        ASSERT_TRUE(client.SendRequest("GET", "/digest"));
        EXPECT_EQ(client.GetStatusCode(), 401u);
        EXPECT_EQ(client.GetAuthScheme(), platform::http::kAuthDigest);  // switched once
        EXPECT_EQ(server.Requests().size(), 3u);                         // 1 + one resend
    }
    for (const auto& r : server.Requests()) {
        EXPECT_EQ(r.Header("authorization"), "");
    }
}

TEST(HttpClient, ServerThatNeverAnswersCostsOneAttemptAndOneTimeOut) {
    TestServer server([](ServerConnection& c, TestServer& s) {
        HttpRequest r;
        if (c.ReadRequest(r)) {
            s.Record(r);
        }
        s.WaitForRelease();
    });
    TestClient client(Device(server.Port(), "user", "secret", 500), Web::CHttpClient::kUserAgent);
    auto start = Clock::now();
    EXPECT_FALSE(client.SendRequest("GET", "/x"));
    auto elapsed = MsSince(start);
    // Silence is no sign of HTTPS: no second attempt, one time-out.
    EXPECT_EQ(client.Transfers(), 1u);
    EXPECT_EQ(server.Accepted(), 1);
    EXPECT_GE(elapsed, 450);
    EXPECT_LT(elapsed, 1000);
    EXPECT_EQ(client.GetStatusCode(), 0u);
    EXPECT_EQ(client.GetProtocol(), Web::CHttpClient::kProtocolUnknown);
    EXPECT_FALSE(client.GetRequest());
    server.Release();
}

TEST(HttpClient, RefusedConnectCostsOneAttempt) {
    uint16_t port;
    {
        TestServer probe(Serve([](const HttpRequest&) { return Response(200, ""); }));
        port = probe.Port();
    }
    TestClient client(Device(port, "user", "secret", 1000), Web::CHttpClient::kUserAgent);
    EXPECT_FALSE(client.SendRequest("GET", "/x"));
    EXPECT_EQ(client.Transfers(), 1u);  // nothing listens: HTTPS would be refused as well
    EXPECT_EQ(client.GetProtocol(), Web::CHttpClient::kProtocolUnknown);
    // The next exchange detects again, again with one attempt.
    EXPECT_FALSE(client.SendRequest("GET", "/x"));
    EXPECT_EQ(client.Transfers(), 2u);
}

TEST(HttpClient, PeerThatDropsOrGarblesPlainHttpIsTriedOverHttps) {
    // What a port that speaks only TLS does with a plain request: it closes the connection at
    // once, after reading the request, or answers with a TLS alert.
    enum class Peer { kCloseAtOnce, kCloseAfterRequest, kTlsAlert };
    for (Peer peer : {Peer::kCloseAtOnce, Peer::kCloseAfterRequest, Peer::kTlsAlert}) {
        SCOPED_TRACE(static_cast<int>(peer));
        TestServer server([peer](ServerConnection& c, TestServer&) {
            HttpRequest r;
            if (peer == Peer::kCloseAtOnce || !c.ReadRequest(r, 500)) {
                return;
            }
            if (peer == Peer::kTlsAlert) {
                c.Send(std::string("\x15\x03\x01\x00\x02\x02\x46", 7));
            }
        });
        TestClient client(Device(server.Port(), "user", "secret", 2000),
                          Web::CHttpClient::kUserAgent);
        EXPECT_FALSE(client.SendRequest("GET", "/x"));
        // Plain HTTP, then HTTPS (which this server does not speak either).
        EXPECT_EQ(client.Transfers(), 2u);
        EXPECT_EQ(server.Accepted(), 2);
        EXPECT_EQ(client.GetProtocol(), Web::CHttpClient::kProtocolUnknown);
    }
}

TEST(HttpClient, PlainHttpIsKeptAfterLaterFailures) {
    auto server =
        std::make_unique<TestServer>(Serve([](const HttpRequest&) { return Response(200, "x"); }));
    const uint16_t port = server->Port();
    Web::CHttpClient client(Device(port, "user", "secret", 1000), Web::CHttpClient::kUserAgent);
    ASSERT_TRUE(client.SendRequest("GET", "/x"));
    EXPECT_EQ(client.GetProtocol(), Web::CHttpClient::kProtocolHttp);
    server->Stop();
    EXPECT_FALSE(client.SendRequest("GET", "/x"));
    EXPECT_EQ(client.GetProtocol(), Web::CHttpClient::kProtocolHttp);
    EXPECT_EQ(client.GetStatusCode(), 0u);
    // The failed send leaves the previous request with the client.
    EXPECT_TRUE(client.GetRequest());
}

TEST(HttpClient, NothingListeningFailsAndProtocolStaysUnknown) {
    uint16_t port;
    {
        TestServer probe(Serve([](const HttpRequest&) { return Response(200, ""); }));
        port = probe.Port();
    }
    Web::CHttpClient client(Device(port, "user", "secret", 1000), Web::CHttpClient::kUserAgent);
    EXPECT_FALSE(client.SendRequest("GET", "/x"));
    EXPECT_EQ(client.GetProtocol(), Web::CHttpClient::kProtocolUnknown);
    std::vector<uint8_t> body;
    EXPECT_EQ(client.ReadResponse(body), 0u);
}

TEST(HttpClient, RootThatFailedToOpenMakesEverySendFail) {
    TestServer server(Serve([](const HttpRequest&) { return Response(200, "x"); }));
    TestClient client(Device(server.Port()), Web::CHttpClient::kUserAgent);
    EXPECT_TRUE(client.HasRoot());
    EXPECT_EQ(client.OpenRoot(), 1247u);  // already open: nothing changes
    EXPECT_TRUE(client.HasRoot());
    client.CloseHandles();
    EXPECT_FALSE(client.HasRoot());
    EXPECT_FALSE(client.SendRequest("GET", "/x"));
    EXPECT_FALSE(client.SendRequest("GET", "/x"));
    EXPECT_EQ(server.Accepted(), 0);
    EXPECT_EQ(client.OpenRoot(), 0u);
    EXPECT_TRUE(client.SendRequest("GET", "/x"));
}

TEST(HttpClient, EmptyVerbOrPathFails) {
    TestServer server(Serve([](const HttpRequest&) { return Response(200, "x"); }));
    Web::CHttpClient client(Device(server.Port()), Web::CHttpClient::kUserAgent);
    EXPECT_FALSE(client.SendRequest("", "/x"));
    EXPECT_FALSE(client.SendRequest("GET", ""));
    EXPECT_EQ(server.Accepted(), 0);
}

TEST(HttpClient, CloseRequestWithoutRequestDoesNothing) {
    Web::CHttpClient client(Device(1), Web::CHttpClient::kUserAgent);
    client.CloseRequest();
    client.Cancel();
    EXPECT_FALSE(client.GetRequest());
}

TEST(HttpClient, ClientHoldsNetworkReference) {
    const int before = platform::NetworkReferenceCount();
    {
        Web::CHttpClient a(Device(1), Web::CHttpClient::kUserAgent);
        Web::CHttpClient b(Device(1), Web::CHttpClient::kUserAgent);
        EXPECT_EQ(platform::NetworkReferenceCount(), before + 2);
    }
    EXPECT_EQ(platform::NetworkReferenceCount(), before);
}

TEST(HttpClient, QueryIsSentVerbatimAndUnsafeCharactersEscaped) {
    TestServer server(Serve([](const HttpRequest&) { return Response(200, "x"); }));
    Web::CHttpClient client(Device(server.Port()), Web::CHttpClient::kUserAgent);
    ASSERT_TRUE(client.SendRequest("GET", "/api/param?camera.preset(1).comment=a%20b&x=1"));
    ASSERT_TRUE(client.SendRequest("GET", "/api/param?a=b c"));
    auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].target, "/api/param?camera.preset(1).comment=a%20b&x=1");
    EXPECT_EQ(requests[1].target, "/api/param?a=b%20c");
}

// --- streaming, time-outs and cancel ------------------------------------------------------

namespace {

// Answers with stream headers, then bytes as the test asks.
struct StreamServer {
    std::atomic<bool> stop{false};
    std::atomic<size_t> sent{0};
    size_t total = 0;      // bytes of body to send as fast as possible (0: none)
    int trickleMs = 0;     // then one byte every trickleMs ...
    int trickleCount = 0;  // ... this many times
    std::unique_ptr<TestServer> server;

    void Start() {
        server = std::make_unique<TestServer>([this](ServerConnection& c, TestServer& s) {
            HttpRequest r;
            if (!c.ReadRequest(r))
                return;
            s.Record(r);
            std::string head =
                "HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace;boundary=frame\r\n"
                "Connection: close\r\n\r\n";
            if (!c.Send(head))
                return;
            const std::string block = Pattern(65536);
            size_t left = total;
            while (left > 0 && !stop) {
                size_t n = std::min(left, block.size());
                if (!c.SendCounted(block.substr(0, n), &sent))
                    return;
                left -= n;
            }
            for (int i = 0; i < trickleCount && !stop; ++i) {
                // Trickled on purpose: the stream outlasts the client's receive time-out.
                std::this_thread::sleep_for(std::chrono::milliseconds(trickleMs));
                if (!c.SendCounted("z", &sent))
                    return;
            }
            // Holds the connection open until the test ends (Stop releases it).
            s.WaitForRelease();
        });
    }
    ~StreamServer() {
        stop = true;
        if (server)
            server->Stop();
    }
};

}  // namespace

TEST(HttpStream, CancelFromAnotherThreadReturnsAtOnce) {
    StreamServer stream;
    stream.Start();
    Web::CHttpClient client(Device(stream.server->Port(), "user", "secret", 20000),
                            Web::CHttpClient::kUserAgent);
    ASSERT_TRUE(client.SendRequest("GET", "/api/video?x"));
    auto request = client.GetRequest();
    ASSERT_TRUE(request);
    std::string type;
    EXPECT_TRUE(request->QueryHeader("content-type", type));
    EXPECT_EQ(type, "multipart/x-mixed-replace;boundary=frame");

    std::atomic<long long> waited{-1};
    std::atomic<bool> ok{true};
    std::atomic<Error> error{Error::None};
    std::latch reading(1);
    std::thread reader([&] {
        auto start = Clock::now();
        size_t n = 0;
        reading.count_down();
        ok = client.GetRequest()->QueryDataAvailable(n);
        error = request->LastError();
        waited = MsSince(start);
    });
    reading.wait();
    // The reader blocks inside the library, which offers no event for that; the short pause
    // makes a cancel of a waiting reader likely, but the checks hold either way: a cancel
    // must end the wait whether it lands before or during it.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto cancelAt = Clock::now();
    client.Cancel();
    reader.join();
    EXPECT_LT(MsSince(cancelAt), 1000);
    EXPECT_FALSE(ok);
    EXPECT_EQ(error.load(), Error::Cancelled);
    EXPECT_TRUE(request->IsCancelled());
    // Sticky: a later wait fails at once the same way.
    size_t n = 0;
    EXPECT_FALSE(request->QueryDataAvailable(n));
    EXPECT_EQ(request->LastError(), Error::Cancelled);
    client.CloseRequest();
    EXPECT_FALSE(client.GetRequest());
}

TEST(HttpStream, CloseRequestFromAnotherThreadStopsReader) {
    StreamServer stream;
    stream.Start();
    Web::CHttpClient client(Device(stream.server->Port(), "user", "secret", 20000),
                            Web::CHttpClient::kUserAgent);
    ASSERT_TRUE(client.SendRequest("GET", "/api/video?x"));
    std::atomic<Error> error{Error::None};
    std::latch reading(1);
    std::thread reader([&] {
        auto request = client.GetRequest();
        size_t n = 0;
        reading.count_down();
        request->QueryDataAvailable(n);
        error = request->LastError();
    });
    reading.wait();
    // As above: no event for "the reader now blocks"; the close must stop it either way.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    auto start = Clock::now();
    client.CloseRequest();
    reader.join();
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_EQ(error.load(), Error::Cancelled);
}

TEST(HttpStream, CancelDuringSendReturnsAtOnceWithoutHttpsAttempt) {
    TestServer server([](ServerConnection& c, TestServer& s) {
        HttpRequest r;
        if (c.ReadRequest(r))
            s.Record(r);
        s.WaitForRelease();
    });
    Web::CHttpClient client(Device(server.Port(), "user", "secret", 20000),
                            Web::CHttpClient::kUserAgent);
    std::atomic<bool> result{true};
    std::atomic<long long> took{0};
    std::thread sender([&] {
        auto start = Clock::now();
        result = client.SendRequest("GET", "/x");
        took = MsSince(start);
    });
    // The request has reached the server: the sender now waits for an answer that never comes.
    EXPECT_TRUE(server.WaitForRequests(1));
    client.Cancel();
    sender.join();
    EXPECT_FALSE(result);
    EXPECT_LT(took, 3000);
    EXPECT_EQ(server.Accepted(), 1);  // no HTTPS attempt after a cancel
    EXPECT_EQ(client.GetProtocol(), Web::CHttpClient::kProtocolUnknown);
    server.Release();
}

TEST(HttpStream, ReceiveTimeOutIsInactivityNotWholeStream) {
    StreamServer stream;
    stream.total = 1000;
    stream.trickleMs = 100;
    stream.trickleCount = 20;  // 2 s of data, a byte every 100 ms: beyond the exchange deadline
    stream.Start();
    Web::CHttpClient client(Device(stream.server->Port(), "user", "secret", 400),
                            Web::CHttpClient::kUserAgent);
    ASSERT_TRUE(client.SendRequest("GET", "/api/video?x"));
    auto request = client.GetRequest();
    size_t received = 0;
    char buffer[4096];
    auto start = Clock::now();
    for (;;) {
        size_t n = 0;
        if (!request->QueryDataAvailable(n))
            break;
        ASSERT_NE(n, 0u);
        size_t got = 0;
        ASSERT_TRUE(request->ReadData(buffer, std::min(n, sizeof buffer), got));
        received += got;
    }
    // Every trickled byte came although the stream lasted longer than the time-out, and than
    // the deadline of a parameter exchange; then the silence ran into the time-out.
    EXPECT_EQ(request->LastError(), Error::TimedOut);
    EXPECT_EQ(received, 1020u);
    EXPECT_GE(MsSince(start), 2000);
}

TEST(HttpStream, LargeStreamReadSlowlyStaysBounded) {
    constexpr size_t kTotal = 48u * 1024 * 1024;
    StreamServer stream;
    stream.total = kTotal;
    stream.Start();
    Web::CHttpClient client(Device(stream.server->Port(), "user", "secret", 10000),
                            Web::CHttpClient::kUserAgent);
    ASSERT_TRUE(client.SendRequest("GET", "/api/video?x"));
    auto request = client.GetRequest();
    // The reader does not read for a while on purpose: the camera must be held back.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    size_t n = 0;
    ASSERT_TRUE(request->QueryDataAvailable(n));
    EXPECT_LE(request->PeakBufferedBytes(), platform::http::kBodyBufferLimit);
    EXPECT_LT(stream.sent.load(), kTotal / 2);  // kernel buffers plus ours, not the stream

    const std::string block = Pattern(65536);
    std::vector<char> buffer(40000);
    size_t received = 0;
    bool same = true;
    int reads = 0;
    while (received < kTotal) {
        ASSERT_TRUE(request->QueryDataAvailable(n))
            << platform::http::ErrorName(request->LastError());
        ASSERT_NE(n, 0u);
        size_t got = 0;
        ASSERT_TRUE(request->ReadData(buffer.data(), std::min(n, buffer.size()), got));
        for (size_t i = 0; i < got && same; i += 997) {
            same = buffer[i] == block[(received + i) % block.size()];
        }
        received += got;
        if (++reads % 64 == 0) {
            // A slow reader on purpose, so that the buffer limit is reached again and again.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    EXPECT_TRUE(same);
    EXPECT_EQ(received, kTotal);
    EXPECT_LE(request->PeakBufferedBytes(), platform::http::kBodyBufferLimit);
    client.CloseRequest();
}

TEST(HttpStream, ReadStreamHandsOverTheStreamInOrderWithoutGrowing) {
    constexpr size_t kTotal = 8u * 1024 * 1024;
    StreamServer stream;
    stream.total = kTotal;
    stream.Start();
    Web::CHttpClient client(Device(stream.server->Port(), "user", "secret", 400),
                            Web::CHttpClient::kUserAgent);
    using Read = Web::CHttpClient::StreamRead;
    std::vector<uint8_t> block;
    EXPECT_EQ(client.ReadStream(block), Read::kFailed);  // no stream yet
    ASSERT_TRUE(client.SendRequest("GET", "/api/video?x"));

    const std::string pattern = Pattern(65536);
    size_t received = 0;
    size_t blocks = 0;
    bool same = true;
    const uint8_t* storage = nullptr;
    int reused = 0;
    while (received < kTotal) {
        ASSERT_EQ(client.ReadStream(block), Read::kData);
        ASSERT_FALSE(block.empty());
        ASSERT_LE(block.size(), platform::http::kBodyBufferLimit + 64 * 1024);
        for (size_t i = 0; i < block.size() && same; ++i) {
            same = block[i] == static_cast<uint8_t>(pattern[(received + i) % pattern.size()]);
        }
        // Two buffers change hands: every second block comes back in the same storage.
        reused += blocks >= 2 && block.data() == storage;
        if (blocks % 2 == 0) {
            storage = block.data();
        }
        received += block.size();
        ++blocks;
    }
    EXPECT_TRUE(same);
    EXPECT_EQ(received, kTotal);
    EXPECT_GT(reused, 0);
    // Then silence: the receive time-out is a failure, not the end of the stream.
    EXPECT_EQ(client.ReadStream(block), Read::kFailed);
    EXPECT_TRUE(block.empty());
    client.Cancel();
    EXPECT_EQ(client.ReadStream(block), Read::kCancelled);
    client.CloseRequest();
}

TEST(HttpStream, ReadStreamReportsTheEndOfAStream) {
    TestServer server([](ServerConnection& c, TestServer& s) {
        HttpRequest r;
        if (!c.ReadRequest(r))
            return;
        s.Record(r);
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
        s.WaitForRelease();
    });
    Web::CHttpClient client(Device(server.Port(), "user", "secret", 5000),
                            Web::CHttpClient::kUserAgent);
    ASSERT_TRUE(client.SendRequest("GET", "/api/video?x"));
    EXPECT_EQ(ReadToTheEnd(client), "hello");
    server.Release();
}

// Older cameras declare the first picture's length and then send picture after picture on
// the same connection until it closes: a stream request reads all of it, an ordinary request
// stops at the declared length.
TEST(HttpStream, AStreamRequestReadsPastTheDeclaredLengthUntilTheClose) {
    TestServer server([](ServerConnection& c, TestServer& s) {
        HttpRequest r;
        if (!c.ReadRequest(r))
            return;
        s.Record(r);
        c.Send("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 5\r\n\r\nhello");
        c.Send(" and more after it");
    });
    Web::CHttpClient stream(Device(server.Port(), "user", "secret", 5000),
                            Web::CHttpClient::kUserAgent);
    ASSERT_TRUE(stream.SendStreamRequest("GET", "/api/video?x", {}));
    EXPECT_EQ(stream.GetContentLength(), 5u);
    EXPECT_EQ(ReadToTheEnd(stream), "hello and more after it");
    // A keep-alive server is asked to close, or the read would end in a time-out.
    ASSERT_EQ(server.Requests().size(), 1u);
    EXPECT_EQ(server.Requests()[0].Header("connection"), "close");
    Web::CHttpClient plain(Device(server.Port(), "user", "secret", 5000),
                           Web::CHttpClient::kUserAgent);
    ASSERT_TRUE(plain.SendRequest("GET", "/api/video?x"));
    EXPECT_EQ(ReadToTheEnd(plain), "hello");
}

// --- the platform layer directly --------------------------------------------------------

TEST(PlatformHttp, RequestStepsAndAuthSchemes) {
    ASSERT_TRUE(platform::NetworkStartup());
    TestServer server(Serve([](const HttpRequest& r) {
        if (r.target == "/proxy") {
            return Response(407, "", "Proxy-Authenticate: NTLM\r\n");
        }
        if (r.Header("x-test") == "2") {
            return Response(401, "",
                            "WWW-Authenticate: Negotiate\r\nWWW-Authenticate: Basic "
                            "realm=\"a, Digest b\"\r\nWWW-Authenticate: Digest realm=\"c\", "
                            "nonce=\"n\"\r\n");
        }
        return Response(200, "body");
    }));
    {
        auto session = platform::http::Session::Open("agent");
        ASSERT_TRUE(session);
        EXPECT_TRUE(session->SetOption(platform::http::SessionOption::ReceiveTimeoutMs, 2000));
        EXPECT_FALSE(session->SetOption(platform::http::SessionOption::MaxConnsPerServer, 0));
        auto connection = session->Connect("127.0.0.1", server.Port());
        ASSERT_TRUE(connection);
        EXPECT_FALSE(session->Connect("", 80));
        EXPECT_FALSE(connection->OpenRequest("", "/x", 0));
        EXPECT_FALSE(connection->OpenRequest("GET", "", 0));

        auto request = connection->OpenRequest("GET", "/x", 0);
        ASSERT_TRUE(request);
        EXPECT_TRUE(request->AddHeaders("X-Test: 1\r\nX-Other: o"));
        EXPECT_TRUE(request->AddHeaders("X-Test: 2", true));
        EXPECT_FALSE(request->AddHeaders("not a header"));
        EXPECT_FALSE(request->SetCredentials(platform::http::AuthTarget::Server,
                                             platform::http::kAuthPassport, "u", "p"));
        EXPECT_TRUE(request->DisableRedirects());
        uint32_t status = 0;
        EXPECT_FALSE(request->QueryStatusCode(status));
        ASSERT_TRUE(request->Send());
        EXPECT_FALSE(request->Send());  // once only
        ASSERT_TRUE(request->ReceiveResponse());
        ASSERT_TRUE(request->QueryStatusCode(status));
        EXPECT_EQ(status, 401u);
        uint32_t length = 99;
        EXPECT_TRUE(request->QueryContentLength(length));
        EXPECT_EQ(length, 0u);
        uint32_t supported = 0, first = 0;
        platform::http::AuthTarget target = platform::http::AuthTarget::Proxy;
        ASSERT_TRUE(request->QueryAuthSchemes(supported, first, target));
        EXPECT_EQ(supported, platform::http::kAuthBasic | platform::http::kAuthDigest);
        EXPECT_EQ(first, platform::http::kAuthBasic);
        EXPECT_EQ(target, platform::http::AuthTarget::Server);
        size_t n = 7;
        EXPECT_TRUE(request->QueryDataAvailable(n));
        EXPECT_EQ(n, 0u);

        auto proxy = connection->OpenRequest("GET", "/proxy", 0);
        ASSERT_TRUE(proxy->Send());
        ASSERT_TRUE(proxy->ReceiveResponse());
        ASSERT_TRUE(proxy->QueryAuthSchemes(supported, first, target));
        EXPECT_EQ(supported, platform::http::kAuthNtlm);
        EXPECT_EQ(target, platform::http::AuthTarget::Proxy);

        auto plain = connection->OpenRequest("GET", "/plain", 0);
        ASSERT_TRUE(plain->Send());
        ASSERT_TRUE(plain->ReceiveResponse());
        EXPECT_FALSE(plain->QueryAuthSchemes(supported, first, target));
        ASSERT_TRUE(plain->QueryDataAvailable(n));
        EXPECT_EQ(n, 4u);
        char text[8] = {0};
        size_t got = 0;
        ASSERT_TRUE(plain->ReadData(text, sizeof text, got));
        EXPECT_EQ(std::string(text, got), "body");
        ASSERT_TRUE(plain->QueryDataAvailable(n));
        EXPECT_EQ(n, 0u);
    }
    EXPECT_EQ(server.Accepted(), 1);
    platform::NetworkCleanup();
}

TEST(PlatformHttp, NewRequestDetachesUnfinishedOne) {
    ASSERT_TRUE(platform::NetworkStartup());
    StreamServer stream;
    stream.total = 1u << 20;
    stream.Start();
    {
        auto session = platform::http::Session::Open("agent");
        auto connection = session->Connect("127.0.0.1", stream.server->Port());
        auto first = connection->OpenRequest("GET", "/a", 0);
        ASSERT_TRUE(first->Send());
        ASSERT_TRUE(first->ReceiveResponse());
        size_t n = 0;
        ASSERT_TRUE(first->QueryDataAvailable(n));
        auto second = connection->OpenRequest("GET", "/b", 0);
        ASSERT_TRUE(second->Send());
        // What the first had buffered stays readable; then it reports Closed.
        std::vector<char> buffer(1 << 16);
        size_t got = 0;
        while (first->QueryDataAvailable(n) && n > 0) {
            ASSERT_TRUE(first->ReadData(buffer.data(), buffer.size(), got));
        }
        EXPECT_EQ(first->LastError(), Error::Closed);
        ASSERT_TRUE(second->ReceiveResponse());
    }
    platform::NetworkCleanup();
}

TEST(HttpClient, CancelRefusesLaterSendsUntilReset) {
    TestServer server(Serve([](const HttpRequest&) { return Response(200, "fine"); }));
    Web::CHttpClient client(Device(server.Port()), Web::CHttpClient::kUserAgent);
    client.Cancel();
    EXPECT_TRUE(client.IsCancelled());
    // A stop that lands between two requests is not missed: the next one is not sent.
    EXPECT_FALSE(client.SendRequest("GET", "/x"));
    EXPECT_EQ(server.Accepted(), 0);
    client.ResetCancel();
    ASSERT_TRUE(client.SendRequest("GET", "/x"));
    EXPECT_EQ(client.GetStatusCode(), 200u);
}

TEST(HttpClient, EndlessResponseHeadersAbortTheTransfer) {
    TestServer server([](ServerConnection& c, TestServer& s) {
        HttpRequest r;
        if (!c.ReadRequest(r)) {
            return;
        }
        c.Send("HTTP/1.1 200 OK\r\n");
        std::string line = "X-Filler: " + std::string(1000, 'a') + "\r\n";
        // Far more header bytes than any response has; the client must give up first.
        for (int i = 0; i < 100000 && !s.Released(); ++i) {
            if (!c.Send(line)) {
                return;
            }
        }
    });
    Web::CHttpClient client(Device(server.Port()), Web::CHttpClient::kUserAgent);
    EXPECT_FALSE(client.SendRequest("GET", "/x"));
    server.Release();
}

namespace {

// A camera behind Digest that closes the connection after every answer, as the documented
// camera does. The other variant refuses every Digest answer with a Basic-only challenge.
TestServer::Handler DigestCamera(bool offerBasicToo) {
    return Serve([offerBasicToo](const HttpRequest& r) {
        const std::string close = "Connection: close\r\n";
        const std::string auth = r.Header("authorization");
        if (auth.rfind("Digest ", 0) == 0 && offerBasicToo) {
            return Response(401, "denied", "WWW-Authenticate: Basic realm=\"camera\"\r\n" + close);
        }
        if (auth.rfind("Digest ", 0) == 0 && auth.find("response=\"") != std::string::npos) {
            return Response(200, "system.mode=normal&200 OK\r\n", close);
        }
        return Response(401, "denied", kDigestChallenge + close);
    });
}

size_t BasicRequests(TestServer& server) {
    size_t basic = 0;
    for (const auto& request : server.Requests()) {
        basic += request.Header("authorization").rfind("Basic ", 0) == 0 ? 1 : 0;
    }
    return basic;
}

}  // namespace

TEST(HttpClient, ACameraThatAskedForDigestNeverGetsBasicAgain) {
    TestServer server(DigestCamera(false));
    std::vector<uint8_t> body;
    {
        // The first client of the camera learns it from the challenge.
        Web::CHttpClient client(Device(server.Port()), Web::CHttpClient::kUserAgent);
        ASSERT_TRUE(client.SendRequest("GET", "/api/param?system.mode"));
        EXPECT_EQ(client.GetStatusCode(), 200u);
        client.ReadResponse(body);
    }
    const size_t learnt = BasicRequests(server);
    EXPECT_LE(learnt, 1u);
    // Every later client, on new connections each time, offers Digest from the start.
    for (int i = 0; i < 2; ++i) {
        Web::CHttpClient client(Device(server.Port()), Web::CHttpClient::kUserAgent);
        EXPECT_EQ(client.GetAuthScheme(), platform::http::kAuthBasic);
        for (int n = 0; n < 2; ++n) {
            ASSERT_TRUE(client.SendRequest("GET", "/api/param?system.mode"));
            EXPECT_EQ(client.GetStatusCode(), 200u);
            client.ReadResponse(body);
        }
        EXPECT_EQ(client.GetAuthScheme(), platform::http::kAuthDigest);
    }
    EXPECT_EQ(BasicRequests(server), learnt);
    EXPECT_GE(server.Accepted(), 5);
}

TEST(HttpClient, ABasicChallengeFromACameraThatAskedForDigestIsNotAnswered) {
    TestServer server(DigestCamera(true));
    {
        Web::CHttpClient first(Device(server.Port()), Web::CHttpClient::kUserAgent);
        ASSERT_TRUE(first.SendRequest("GET", "/api/param?system.mode"));
        EXPECT_EQ(first.GetStatusCode(), 401u);
    }
    const size_t learnt = BasicRequests(server);
    // A later client offers Digest at once; refused with a Basic challenge, it stops there.
    Web::CHttpClient client(Device(server.Port()), Web::CHttpClient::kUserAgent);
    ASSERT_TRUE(client.SendRequest("GET", "/api/param?system.mode"));
    EXPECT_EQ(client.GetStatusCode(), 401u);
    EXPECT_EQ(BasicRequests(server), learnt);
    EXPECT_EQ(client.GetAuthScheme(), platform::http::kAuthDigest);
}
