// The camera parameter protocol.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "http/fake_log.h"
#include "http/param_protocol.h"
#include "http/test_server.h"

using namespace testing_http;
using namespace vostrel;
using namespace vostrel::Utils;

namespace {

DEVICE_INFO Device(uint16_t port, int timeoutMs = 3000) {
    DEVICE_INFO info("127.0.0.1", port, "user", "secret");
    info.m_timeout = timeoutMs;
    return info;
}

std::string HostLabel(uint16_t port) {
    return "host 127.0.0.1:" + std::to_string(port);
}

}  // namespace

// --- CResultDef -------------------------------------------------------------------------

TEST(ResultDef, EmptyAndBuilt) {
    CResultDef empty;
    EXPECT_EQ(empty.level, 3);
    EXPECT_EQ(empty.code, 0);
    EXPECT_EQ(empty.message, "");
    CResultDef built(6, "text", 1);
    EXPECT_EQ(built.code, 6);
    EXPECT_EQ(built.level, 1);
    EXPECT_EQ(built.message, "text");
}

// --- SendRequestWrapper, SendAndLog, SendForStream ---------------------------------------

class ParamExchange : public ::testing::Test {
  protected:
    ParamExchange()
        : server(Serve([](const HttpRequest& r) {
              if (r.target == "/api/param?system.mode") {
                  return Response(200, "system.mode=normal&200 OK\r\n");
              }
              if (r.target == "/api/param?empty")
                  return Response(200, "");
              if (r.target == "/api/param?missing")
                  return Response(404, "gone");
              if (r.target == "/api/param?nothing")
                  return Response(204, "");
              if (r.target == "/api/param?moved")
                  return Response(302, "", "X-No-Location: 1\r\n");
              if (r.target == "/api/video?codec=jpeg") {
                  return Response(200, "--frame\r\nstream bytes");
              }
              return Response(500, "error");
          })),
          client(Device(server.Port()), Web::CHttpClient::kUserAgent) {}

    TestServer server;
    Web::CHttpClient client;
    FakeLog log;
};

TEST_F(ParamExchange, SuccessReadsBody) {
    std::string response = "old";
    CResultDef result(5, "x", 2);
    SendRequestWrapper(response, client, result, "/api/param?system.mode", true, 0);
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.level, 3);
    EXPECT_EQ(result.message, "");
    EXPECT_EQ(response, "system.mode=normal&200 OK\r\n");
}

TEST_F(ParamExchange, EmptyBodyIsCode10) {
    std::string response;
    CResultDef result;
    SendRequestWrapper(response, client, result, "/api/param?empty", true, 0);
    EXPECT_EQ(result.code, 10);
    EXPECT_EQ(result.level, 1);
    EXPECT_EQ(result.message,
              "vostrel::Utils::SendRequestWrapper: incorrect response for request "
              "\"/api/param?empty\" from " +
                  HostLabel(server.Port()));
    EXPECT_EQ(response, "");
    // Without readBody an empty body is fine.
    SendRequestWrapper(response, client, result, "/api/param?empty", false, 0);
    EXPECT_EQ(result.code, 0);
}

TEST_F(ParamExchange, NotFoundIsCode6UnlessExpected) {
    std::string response;
    CResultDef result;
    SendRequestWrapper(response, client, result, "/api/param?missing", true, 0);
    EXPECT_EQ(result.code, 6);
    EXPECT_EQ(result.level, 1);
    EXPECT_EQ(result.message, "vostrel::Utils::SendRequestWrapper: " + HostLabel(server.Port()) +
                                  " sent does not process request \"/api/param?missing\", "
                                  "status code = 404");
    EXPECT_EQ(response, "");  // the body is not read after a refused status

    SendRequestWrapper(response, client, result, "/api/param?missing", true, 404);
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(response, "gone");

    // expectedStatus set: a 200 is refused.
    SendRequestWrapper(response, client, result, "/api/param?system.mode", true, 404);
    EXPECT_EQ(result.code, 6);
    EXPECT_NE(result.message.find("status code = 200"), std::string::npos);
}

TEST_F(ParamExchange, StatusOutside2xxIsRefused) {
    std::string response;
    CResultDef result;
    SendRequestWrapper(response, client, result, "/api/param?moved", false, 0);
    EXPECT_EQ(result.code, 6);
    EXPECT_NE(result.message.find("status code = 302"), std::string::npos);
    SendRequestWrapper(response, client, result, "/api/param?other", false, 0);
    EXPECT_EQ(result.code, 6);
    EXPECT_NE(result.message.find("status code = 500"), std::string::npos);
    SendRequestWrapper(response, client, result, "/api/param?nothing", false, 0);
    EXPECT_EQ(result.code, 0);  // 204 is 2xx
}

TEST(ParamExchangeNoServer, NotSentIsCode9Level4) {
    uint16_t port;
    {
        TestServer probe(Serve([](const HttpRequest&) { return Response(200, ""); }));
        port = probe.Port();
    }
    Web::CHttpClient client(Device(port, 500), Web::CHttpClient::kUserAgent);
    std::string response;
    CResultDef result;
    SendRequestWrapper(response, client, result, "/api/param?system.mode", true, 0);
    EXPECT_EQ(result.code, 9);
    EXPECT_EQ(result.level, 4);
    EXPECT_EQ(result.message,
              "vostrel::Utils::SendRequestWrapper: can not send request "
              "\"/api/param?system.mode\" to " +
                  HostLabel(port));

    FakeLog log;
    EXPECT_FALSE(SendAndLog(response, client, &log, "/api/param?system.mode"));
    ASSERT_EQ(log.records.size(), 1u);
    EXPECT_EQ(log.records[0].first, 4);
    EXPECT_EQ(log.m_logCounter, 1u);
}

TEST_F(ParamExchange, SendAndLogLogsFailuresAsData) {
    std::string response;
    EXPECT_TRUE(SendAndLog(response, client, &log, "/api/param?system.mode"));
    EXPECT_EQ(response, "system.mode=normal&200 OK\r\n");
    EXPECT_TRUE(log.records.empty());
    EXPECT_EQ(log.m_logCounter, 0u);

    // A path with '%' conversions reaches the log unchanged: the message is data.
    EXPECT_FALSE(SendAndLog(response, client, &log, "/api/param?x=%s%n%d"));
    ASSERT_EQ(log.records.size(), 1u);
    EXPECT_EQ(log.records[0].first, 1);
    EXPECT_NE(log.records[0].second.find("\"/api/param?x=%s%n%d\""), std::string::npos);
    EXPECT_EQ(log.formats[0], "%s");

    // No log target: nothing to write, still false.
    EXPECT_FALSE(SendAndLog(response, client, nullptr, "/api/param?empty"));
}

TEST_F(ParamExchange, SendForStreamLeavesResponseOpen) {
    EXPECT_TRUE(SendForStream(client, "/api/video?codec=jpeg", &log, 0));
    EXPECT_TRUE(log.records.empty());
    auto request = client.GetRequest();
    ASSERT_TRUE(request);
    std::string all;
    char buffer[8];
    size_t n = 0;
    while (request->QueryDataAvailable(n) && n > 0) {
        size_t got = 0;
        ASSERT_TRUE(request->ReadData(buffer, std::min(n, sizeof buffer), got));
        all.append(buffer, got);
    }
    EXPECT_EQ(all, "--frame\r\nstream bytes");
    client.CloseRequest();
    EXPECT_FALSE(client.GetRequest());

    EXPECT_FALSE(SendForStream(client, "/api/param?missing", &log, 0));
    ASSERT_EQ(log.records.size(), 1u);
    EXPECT_EQ(log.records[0].first, 1);
    EXPECT_NE(log.records[0].second.find("status code = 404"), std::string::npos);
    EXPECT_TRUE(SendForStream(client, "/api/param?missing", &log, 404));
}

// --- answers that do not arrive whole ----------------------------------------------------

namespace {

enum class Cut { kClose, kReset, kSilence, kChunkedClose };

// Answers the first request with the start of a parameter answer and then ends it the given
// way; the answer's headers promise more (a Content-Length, or chunks without the last one).
TestServer::Handler CutAnswer(Cut cut) {
    return [cut](ServerConnection& c, TestServer& s) {
        HttpRequest r;
        if (!c.ReadRequest(r)) {
            return;
        }
        s.Record(r);
        const std::string part = "system.model=VN-V686000";
        if (cut == Cut::kChunkedClose) {
            c.Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n17\r\n" + part + "\r\n");
        } else {
            c.Send("HTTP/1.1 200 OK\r\nContent-Length: 40\r\n\r\n" + part);
        }
        if (cut == Cut::kReset) {
            // Disconnecting a TCP socket this way sends a reset.
            sockaddr unspec{};
            unspec.sa_family = AF_UNSPEC;
            connect(c.Fd(), &unspec, sizeof unspec);
        } else if (cut == Cut::kSilence) {
            s.WaitForRelease();
        }
    };
}

}  // namespace

TEST(CutAnswer, AnAnswerCutShortIsCode10AndNoValue) {
    for (Cut cut : {Cut::kClose, Cut::kReset, Cut::kSilence, Cut::kChunkedClose}) {
        SCOPED_TRACE(static_cast<int>(cut));
        TestServer server(CutAnswer(cut));
        Web::CHttpClient client(Device(server.Port(), 500), Web::CHttpClient::kUserAgent);
        FakeLog log;
        std::string response = "old";
        EXPECT_FALSE(SendAndLog(response, client, &log, "/api/param?system.model"));
        EXPECT_EQ(response, "");
        EXPECT_EQ(GetParameterValue("system.model", kParamSeparator, response, kParamDelimiters),
                  "");
        ASSERT_EQ(log.records.size(), 1u);
        EXPECT_EQ(log.records[0].first, 1);
        EXPECT_EQ(log.records[0].second,
                  "vostrel::Utils::SendRequestWrapper: incorrect response for request "
                  "\"/api/param?system.model\" from " +
                      HostLabel(server.Port()));
        server.Release();
    }
}

namespace {

// Sends a long answer slowly, a piece every 50 ms, until the client is gone or the test ends:
// the body a byte at a time, or (headersOnly) endless header lines. Counts the pieces sent.
struct TricklingServer {
    explicit TricklingServer(bool headersOnly) {
        server =
            std::make_unique<TestServer>([this, headersOnly](ServerConnection& c, TestServer& s) {
                HttpRequest r;
                if (!c.ReadRequest(r)) {
                    return;
                }
                s.Record(r);
                if (!c.Send(headersOnly ? "HTTP/1.1 200 OK\r\n"
                                        : "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n")) {
                    return;
                }
                for (int i = 0; i < 100000 && !s.Released(); ++i) {
                    if (!c.Send(headersOnly ? "X-Slow: 1\r\n" : "1")) {
                        return;
                    }
                    ++sent;
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                }
            });
    }
    std::atomic<int> sent{0};
    std::unique_ptr<TestServer> server;
};

}  // namespace

TEST(SlowAnswer, ATricklingAnswerEndsAtTheExchangeDeadline) {
    // Never silent for as long as the 300 ms time-out, but far too slow: the exchange ends
    // after three time-outs, whether the body or the headers trickle.
    for (bool headersOnly : {false, true}) {
        SCOPED_TRACE(headersOnly);
        TricklingServer trickle(headersOnly);
        Web::CHttpClient client(Device(trickle.server->Port(), 300), Web::CHttpClient::kUserAgent);
        FakeLog log;
        std::string response;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(SendAndLog(response, client, &log, "/api/param?x"));
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - start)
                              .count();
        EXPECT_GE(took, 850);
        EXPECT_LT(took, 5000);  // the whole answer would take more than an hour
        EXPECT_LT(trickle.sent.load(), 200);
        EXPECT_EQ(response, "");
        ASSERT_EQ(log.records.size(), 1u);
        // A body that did not come whole is code 10; headers that never ended, code 9.
        EXPECT_NE(log.records[0].second.find(headersOnly ? "can not send request"
                                                         : "incorrect response for request"),
                  std::string::npos);
        trickle.server->Release();
    }
}

TEST(LargeAnswer, AnAnswerBeyondOneMebibyteIsNoAnswer) {
    const std::string fits(Web::CHttpClient::kMaxAnswerBytes, 'a');
    const std::string tooLarge = fits + "a";
    TestServer server(Serve([&](const HttpRequest& r) {
        return Response(200, r.target == "/api/param?fits" ? fits : tooLarge);
    }));
    Web::CHttpClient client(Device(server.Port()), Web::CHttpClient::kUserAgent);
    FakeLog log;
    std::string response;
    EXPECT_TRUE(SendAndLog(response, client, &log, "/api/param?fits"));
    EXPECT_EQ(response.size(), fits.size());
    EXPECT_FALSE(SendAndLog(response, client, &log, "/api/param?large"));
    EXPECT_EQ(response, "");
    ASSERT_EQ(log.records.size(), 1u);
    EXPECT_NE(log.records[0].second.find("incorrect response"), std::string::npos);
    // The client goes on with the next exchange.
    EXPECT_TRUE(SendAndLog(response, client, &log, "/api/param?fits"));
}

// --- CheckResponse -----------------------------------------------------------------------

TEST(CheckResponse, EmptyBody) {
    unsigned status = 7;
    std::string error = "old";
    EXPECT_FALSE(CheckResponse("", status, error));
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(error, "The response is empty!");
}

TEST(CheckResponse, PlainLines) {
    unsigned status = 0;
    std::string error;
    EXPECT_TRUE(CheckResponse("a=1&200 OK\r\nb=2&200 OK", status, error));
    EXPECT_EQ(status, 200u);
    EXPECT_EQ(error, "");
    EXPECT_TRUE(CheckResponse("a=1&209 OK\n\n\rb=2&201 Done\r\n", status, error));
    EXPECT_EQ(status, 201u);
    EXPECT_TRUE(CheckResponse("a=1&200\tOK", status, error));
}

TEST(CheckResponse, HtmlPageWithTwoLines) {
    unsigned status = 0;
    std::string error;
    const std::string good =
        "<html><HEAD><title>t</title></HEAD><BODY>a=1&200 OK\r\nb=2&200 OK</BODY></html>";
    EXPECT_TRUE(CheckResponse(good, status, error)) << error;
    EXPECT_EQ(status, 200u);

    const std::string bad = "<html><body>a=1&200 OK\r\nb=2&404 NotFound</body></html>";
    EXPECT_FALSE(CheckResponse(bad, status, error));
    EXPECT_EQ(status, 404u);
    EXPECT_EQ(error, "Camera returns status code 404, error message: \"b=2&404 NotFound\"");

    // Lines separated by tags instead of line ends.
    EXPECT_TRUE(CheckResponse("<body><p>a=1&200 OK</p><p>b=2&200 OK</p></body>", status, error));
    // The title outside <body> is not looked at.
    EXPECT_TRUE(CheckResponse("<head>junk line</head><body>a=1&200 OK</body>", status, error));
}

TEST(CheckResponse, BodyWithoutEndFailsWithEmptyText) {
    unsigned status = 0;
    std::string error = "old";
    EXPECT_FALSE(CheckResponse("<html><body>a=1&200 OK\r\n", status, error));
    EXPECT_EQ(error, "");
    EXPECT_EQ(status, 0u);
}

TEST(CheckResponse, NoDataLines) {
    unsigned status = 0;
    std::string error;
    EXPECT_FALSE(CheckResponse("\r\n", status, error));
    EXPECT_EQ(error, "HTTP response does not contains data lines to be processed");
    EXPECT_FALSE(CheckResponse("<html><body></body></html>", status, error));
    EXPECT_EQ(error, "HTTP response does not contains data lines to be processed");
    EXPECT_FALSE(CheckResponse("<p><br>", status, error));
    EXPECT_EQ(error, "HTTP response does not contains data lines to be processed");
}

TEST(CheckResponse, UnexpectedLines) {
    unsigned status = 0;
    std::string error;
    EXPECT_FALSE(CheckResponse("a=1&200", status, error));  // no word
    EXPECT_EQ(error, "Unexpected line in HTTP response: a=1&200");
    EXPECT_FALSE(CheckResponse("&200 OK", status, error));  // starts with "&"
    EXPECT_EQ(error, "Unexpected line in HTTP response: &200 OK");
    EXPECT_FALSE(CheckResponse("just text", status, error));
    EXPECT_EQ(error, "Unexpected line in HTTP response: just text");
    EXPECT_FALSE(CheckResponse("a=1&OK 200", status, error));
    EXPECT_EQ(error, "Unexpected line in HTTP response: a=1&OK 200");
    // The first failing line ends the check.
    EXPECT_FALSE(CheckResponse("a=1&200 OK\r\noops\r\nb=1&500 Bad", status, error));
    EXPECT_EQ(error, "Unexpected line in HTTP response: oops");
    EXPECT_EQ(status, 200u);
}

TEST(CheckResponse, StatusOutside200To209) {
    unsigned status = 0;
    std::string error;
    EXPECT_FALSE(CheckResponse("a=1&210 Odd", status, error));
    EXPECT_EQ(status, 210u);
    EXPECT_EQ(error, "Camera returns status code 210, error message: \"a=1&210 Odd\"");
    EXPECT_FALSE(CheckResponse("a=1&199 Odd", status, error));
    EXPECT_EQ(status, 199u);
    EXPECT_TRUE(CheckResponse("a=1&209 Fine", status, error));
}

TEST(CheckResponse, UnclosedTagEndsTheScan) {
    unsigned status = 0;
    std::string error;
    EXPECT_TRUE(CheckResponse("a=1&200 OK<junk without end", status, error));
    EXPECT_EQ(status, 200u);
}

// --- GetParameterValue -------------------------------------------------------------------

TEST(GetParameterValue, FindsValueInDataLine) {
    const std::string text = "system.mode=normal&200 OK\r\nsystem.model=VN-V686&200 OK\r\n";
    EXPECT_EQ(GetParameterValue("system.mode", "=", text, kParamDelimiters), "normal");
    EXPECT_EQ(GetParameterValue("system.model", "=", text, kParamDelimiters), "VN-V686");
    EXPECT_EQ(GetParameterValue("system.none", "=", text, kParamDelimiters), "");
}

TEST(GetParameterValue, EmptyArguments) {
    EXPECT_EQ(GetParameterValue("", "=", "a=1", kParamDelimiters), "");
    EXPECT_EQ(GetParameterValue("a", "", "a=1", kParamDelimiters), "");
    EXPECT_EQ(GetParameterValue("a", "=", "a=1", ""), "");
    EXPECT_EQ(GetParameterValue("a", "=", "", kParamDelimiters), "");
}

TEST(GetParameterValue, SkipsEmptyFirstValue) {
    const std::string text = "encode(1).framerate=&200 OK\r\nencode(1).framerate=5&200 OK\r\n";
    EXPECT_EQ(GetParameterValue("encode(1).framerate", "=", text, kParamDelimiters), "5");
    EXPECT_EQ(GetParameterValue("a", "=", "a=\r\n", kParamDelimiters), "");
    EXPECT_EQ(GetParameterValue("a", "=", "a=", kParamDelimiters), "");
}

TEST(GetParameterValue, NameThatOnlyEndsAnotherNameDoesNotMatch) {
    const std::string text = "camera.mode=auto&200 OK\r\nmode=manual&200 OK\r\n";
    EXPECT_EQ(GetParameterValue("mode", "=", text, kParamDelimiters), "manual");
    EXPECT_EQ(GetParameterValue("mode", "=", "camera.mode=auto&200 OK", kParamDelimiters), "");
    // Case matters.
    EXPECT_EQ(GetParameterValue("Mode", "=", "mode=1", kParamDelimiters), "");
}

TEST(GetParameterValue, KeyIsTrimmedAndValueRunsToEnd) {
    EXPECT_EQ(GetParameterValue("a.b", "=", "x\r\n  a.b\t=value", kParamDelimiters), "value");
    EXPECT_EQ(GetParameterValue("a.b", "=", "<p>a.b=7</p>", kParamDelimiters), "7");
    // The name appears in a value first: the search goes on with the next line.
    EXPECT_EQ(GetParameterValue("a", "=", "x=a&200 OK\r\nb=1\r\na=2&200 OK", kParamDelimiters),
              "2");
    // Also when the name starts the very next line, right before its separator.
    EXPECT_EQ(GetParameterValue("a", "=", "x=a&200 OK\r\na=2&200 OK", kParamDelimiters), "2");
    EXPECT_EQ(GetParameterValue("status", "=", "camera.status=x&200 OK\r\nstatus=on&200 OK",
                                kParamDelimiters),
              "on");
    // A name without separator on its line.
    EXPECT_EQ(GetParameterValue("a", "=", "a\r\nb=1", kParamDelimiters), "");
}

// --- LogResult and ShouldLog -----------------------------------------------------------

TEST(LogResult, WritesOnlyMessagesThatPass) {
    FakeLog log;
    LogResult(CResultDef(), &log);  // empty message
    EXPECT_TRUE(log.records.empty());
    EXPECT_EQ(log.m_logCounter, 0u);  // the limiter is not consulted
    LogResult(CResultDef(6, "100% wrong %s", 1), nullptr);
    LogResult(CResultDef(6, "100% wrong %s", 1), &log);
    ASSERT_EQ(log.records.size(), 1u);
    EXPECT_EQ(log.records[0].first, 1);
    EXPECT_EQ(log.records[0].second, "100% wrong %s");
    EXPECT_EQ(log.m_logCounter, 1u);
}

TEST(ShouldLog, FloodLimiterCounts) {
    FakeLog log;
    std::vector<uint32_t> logged;
    for (uint32_t i = 1; i <= 70000; ++i) {
        if (ShouldLog(&log)) {
            logged.push_back(i);
        }
    }
    // 1..14 all; 16..240 every 16th; 256..3840 every 256th; 4096..61440 every 4096th.
    std::vector<uint32_t> expected;
    for (uint32_t n = 1; n <= 14; ++n)
        expected.push_back(n);
    for (uint32_t n = 16; n <= 254; n += 16)
        expected.push_back(n);
    for (uint32_t n = 256; n <= 4094; n += 256)
        expected.push_back(n);
    for (uint32_t n = 4096; n <= 65534; n += 4096)
        expected.push_back(n);
    // After 65534 the count is 4095 again: call 65535 gives 4095, so call c gives
    // c - 61440 from then on, logging at counts 8192, 12288 ... i.e. calls 69632 ...
    for (uint32_t c = 65535; c <= 70000; ++c) {
        uint32_t n = c - 65535 + 4095;
        if (n % 4096 == 0)
            expected.push_back(c);
    }
    EXPECT_EQ(logged, expected);
    EXPECT_EQ(log.m_logCounter, 70000u - 65535u + 4095u);
}

TEST(ShouldLog, Thresholds) {
    FakeLog log;
    auto at = [&log](uint32_t previous) {
        log.m_logCounter = previous;
        return ShouldLog(&log);
    };
    EXPECT_TRUE(at(0));       // 1
    EXPECT_TRUE(at(13));      // 14
    EXPECT_FALSE(at(14));     // 15
    EXPECT_TRUE(at(15));      // 16
    EXPECT_FALSE(at(16));     // 17
    EXPECT_TRUE(at(239));     // 240
    EXPECT_FALSE(at(253));    // 254
    EXPECT_FALSE(at(254));    // 255
    EXPECT_TRUE(at(255));     // 256
    EXPECT_FALSE(at(271));    // 272: multiple of 16, not of 256
    EXPECT_TRUE(at(3839));    // 3840
    EXPECT_FALSE(at(4094));   // 4095
    EXPECT_TRUE(at(4095));    // 4096
    EXPECT_FALSE(at(4351));   // 4352: multiple of 256, not of 4096
    EXPECT_TRUE(at(61439));   // 61440
    EXPECT_FALSE(at(65533));  // 65534
    EXPECT_FALSE(at(65534));  // 65535 -> 4095
    EXPECT_EQ(log.m_logCounter, 4095u);
    EXPECT_TRUE(ShouldLog(&log));  // 4096
    EXPECT_FALSE(ShouldLog(nullptr));
}

namespace {

// A log target that several threads may write to at once.
class CountingLog : public IDebugMessage {
  public:
    void DebugMessage(int, const char*, ...) override {
        std::lock_guard<std::mutex> guard(m_mutex);
        ++m_written;
    }
    size_t Written() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_written;
    }

  private:
    std::mutex m_mutex;
    size_t m_written = 0;
};

}  // namespace

TEST(ShouldLog, ThreadsLoggingThroughOneTargetCountEveryMessage) {
    // Camera failures of a video channel, the PTZ thread and the I/O threads all go through
    // the driver at the same time.
    CountingLog log;
    constexpr int kThreads = 4;
    constexpr int kMessages = 1000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&log] {
            for (int i = 0; i < kMessages; ++i) {
                LogResult(CResultDef(6, "camera failed", 1), &log);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    // Every message took its own count, so exactly the messages at counts 1..14, every 16th
    // up to 254 and every 256th up to 4000 were written: 14 + 15 + 15.
    EXPECT_EQ(static_cast<uint32_t>(log.m_logCounter), static_cast<uint32_t>(kThreads * kMessages));
    EXPECT_EQ(log.Written(), 44u);
}

// --- Parameter exchanges against a camera that answers as its makers document ------------

namespace {

// Answers as the documented camera does: plain text for "Accept: text/plain", an HTML page
// otherwise; write answers carry no value; one parameter lasts only once saved (202); one
// is refused to this account in the body.
std::string DocumentedCamera(const HttpRequest& r) {
    const std::string query = r.target.substr(r.target.find('?') + 1);
    std::string line;
    if (query == "encode(1).quality") {
        line = "encode(1).quality=60k&200 OK";
    } else if (query == "encode(1).quality=80k") {
        line = "encode(1).quality&200 OK";
    } else if (query == "camera.motion.position.speed=40") {
        line = "camera.motion.position.speed&202 Accepted(camera.status=save)";
    } else if (query == "encode(1).bitrate=9") {
        line = "encode(1).bitrate&401 Unauthorized";
    } else {
        return Response(404, "");
    }
    const std::string plain = "text/plain";
    if (r.Header("accept") == plain) {
        return Response(200, line + "\r\n", "Content-type: text/plain\r\nConnection: close\r\n");
    }
    return Response(200, "<html><body>" + line + "<br></body></html>",
                    "Content-type: text/html\r\nConnection: close\r\n");
}

}  // namespace

TEST(ParamProtocol, ParameterRequestsAskForPlainTextAndVideoRequestsDoNot) {
    TestServer server(Serve(DocumentedCamera));
    Web::CHttpClient client(Device(server.Port()), Web::CHttpClient::kUserAgent);
    FakeLog log;
    const ParamAnswer read = ExchangeParam(client, &log, "encode(1).quality");
    ASSERT_TRUE(read.Accepted());
    EXPECT_EQ(read.body, "encode(1).quality=60k&200 OK\r\n");
    EXPECT_EQ(ParamValue("encode(1).quality", read.body), "60k");
    SendForStream(client, "/api/video?encode=jpeg", &log, 0);
    client.CloseRequest();
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].Header("accept"), "text/plain");
    EXPECT_NE(requests[1].Header("accept"), "text/plain");
}

TEST(ParamProtocol, WriteAnswersWithoutValueAndSavingRequestsAreAcceptedRefusalsAreNot) {
    TestServer server(Serve(DocumentedCamera));
    Web::CHttpClient client(Device(server.Port()), Web::CHttpClient::kUserAgent);
    FakeLog log;
    EXPECT_TRUE(ExchangeParam(client, &log, "encode(1).quality=80k").Accepted());
    const ParamAnswer saving = ExchangeParam(client, &log, "camera.motion.position.speed=40");
    EXPECT_TRUE(saving.Accepted()) << saving.errorText;
    EXPECT_EQ(saving.lineStatus, 202u);

    const ParamAnswer refused = ExchangeParam(client, &log, "encode(1).bitrate=9");
    EXPECT_TRUE(refused.Refused());
    EXPECT_EQ(refused.lineStatus, 401u);
    EXPECT_EQ(refused.errorText,
              "Camera returns status code 401, error message: "
              "\"encode(1).bitrate&401 Unauthorized\"");
    // A failure at HTTP level is no refusal by the camera: it is logged by the exchange.
    EXPECT_EQ(ExchangeParam(client, &log, "unknown").verdict, ParamAnswer::Verdict::kNotSent);
    EXPECT_EQ(log.records.size(), 1u);
}

TEST(ParamProtocol, UpdateWritesOnlyAValueTheCameraDoesNotHold) {
    TestServer server(Serve(DocumentedCamera));
    Web::CHttpClient client(Device(server.Port()), Web::CHttpClient::kUserAgent);
    FakeLog log;
    EXPECT_TRUE(UpdateParam(client, &log, "encode(1).quality", "60K").Accepted());
    EXPECT_EQ(server.Requests().size(), 1u);
    EXPECT_TRUE(UpdateParam(client, &log, "encode(1).quality", "80k").Accepted());
    ASSERT_EQ(server.Requests().size(), 3u);
    EXPECT_EQ(server.Requests()[2].target, "/api/param?encode(1).quality=80k");
    // Asked to stop between the read and the write: nothing is written.
    const ParamAnswer stopped =
        UpdateParam(client, &log, "encode(1).quality", "80k", [] { return true; });
    EXPECT_EQ(stopped.verdict, ParamAnswer::Verdict::kNotSent);
    EXPECT_EQ(server.Requests().size(), 4u);
}

TEST(ParamProtocol, AnHtmlAnswerOfACameraThatIgnoresTheAcceptLineIsStillRead) {
    TestServer server(Serve([](const HttpRequest& r) {
        HttpRequest html = r;
        html.headers.erase("accept");
        return DocumentedCamera(html);
    }));
    Web::CHttpClient client(Device(server.Port()), Web::CHttpClient::kUserAgent);
    FakeLog log;
    const ParamAnswer read = ExchangeParam(client, &log, "encode(1).quality");
    ASSERT_TRUE(read.Accepted()) << read.errorText;
    EXPECT_EQ(ParamValue("encode(1).quality", read.body), "60k");
}
