// What an exchange costs on the wire, counted in the camera simulator's request log: on a
// Digest camera the first exchange of a client takes two requests (the first attempt, then
// the answer to the challenge) and every later one a single request (the challenge is kept
// with the client and the credentials go with the request). A change in the HTTP layer or in
// libcurl that doubles the requests fails here.
#include <gtest/gtest.h>

#include <string>

#include "camera_simulator.h"
#include "http/fake_log.h"
#include "http/param_protocol.h"

using namespace vostrel;
using namespace vostrel::Utils;

namespace {

DEVICE_INFO Device(uint16_t port, const std::string& user, const std::string& password) {
    DEVICE_INFO info("127.0.0.1", port, user, password);
    info.m_timeout = 5000;
    return info;
}

camsim::Options Camera(camsim::AuthMode auth) {
    camsim::Options options;
    options.auth = auth;
    options.user = "bob";
    options.password = "pw";
    return options;
}

}  // namespace

TEST(RequestCost, DigestCameraTwoRequestsFirstThenOneEach) {
    camsim::CameraSimulator cam(Camera(camsim::AuthMode::kDigest));
    cam.Start();
    Web::CHttpClient client(Device(cam.port(), "bob", "pw"), Web::CHttpClient::kUserAgent);
    testing_http::FakeLog log;
    std::string response;

    ASSERT_TRUE(SendAndLog(response, client, &log, "/api/param?system.model"));
    EXPECT_EQ(GetParameterValue("system.model", kParamSeparator, response, kParamDelimiters),
              "VN-V686U");
    auto requests = cam.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].status, 401);
    EXPECT_FALSE(requests[0].authorized);
    EXPECT_TRUE(requests[1].authorized);
    EXPECT_EQ(requests[1].status, 200);

    for (size_t i = 1; i <= 5; ++i) {
        ASSERT_TRUE(SendAndLog(response, client, &log, "/api/param?system.mode"));
        requests = cam.Requests();
        ASSERT_EQ(requests.size(), 2 + i);
        EXPECT_TRUE(requests.back().had_credentials);
        EXPECT_TRUE(requests.back().authorized);
        EXPECT_EQ(requests.back().status, 200);
    }
    // A write costs the same as a read.
    ASSERT_TRUE(SendAndLog(response, client, &log, "/api/param?encode(1).quality=30k"));
    EXPECT_EQ(cam.Requests().size(), 8u);
    EXPECT_TRUE(log.records.empty());
}

TEST(RequestCost, BasicAndOpenCamerasOneRequestEach) {
    for (camsim::AuthMode auth : {camsim::AuthMode::kBasic, camsim::AuthMode::kNone}) {
        SCOPED_TRACE(camsim::AuthModeName(auth));
        camsim::CameraSimulator cam(Camera(auth));
        cam.Start();
        Web::CHttpClient client(Device(cam.port(), "bob", "pw"), Web::CHttpClient::kUserAgent);
        testing_http::FakeLog log;
        std::string response;
        for (size_t i = 1; i <= 3; ++i) {
            ASSERT_TRUE(SendAndLog(response, client, &log, "/api/param?system.mode"));
            EXPECT_EQ(cam.Requests().size(), i);
        }
    }
}

TEST(RequestCost, WrongPasswordOnDigestCameraStopsAfterTheSecondRefusal) {
    camsim::CameraSimulator cam(Camera(camsim::AuthMode::kDigest));
    cam.Start();
    Web::CHttpClient client(Device(cam.port(), "bob", "wrong"), Web::CHttpClient::kUserAgent);
    testing_http::FakeLog log;
    std::string response;
    EXPECT_FALSE(SendAndLog(response, client, &log, "/api/param?system.mode"));
    EXPECT_EQ(client.GetStatusCode(), 401u);
    EXPECT_EQ(cam.Requests().size(), 2u);  // the first attempt, the refused Digest answer
    EXPECT_FALSE(SendAndLog(response, client, &log, "/api/param?system.mode"));
    EXPECT_EQ(cam.Requests().size(), 4u);
}
