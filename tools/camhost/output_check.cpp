#include "output_check.h"

#include <httplib.h>

#include <cstdio>
#include <thread>

namespace camhost {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr auto kReadBackInterval = 100ms;

httplib::Result GetParam(const CameraAccess& camera, const std::string& name, bool basic) {
    httplib::Client client(camera.address, camera.port);
    client.set_connection_timeout(2, 0);
    client.set_read_timeout(3, 0);
    if (!camera.user.empty()) {
        if (basic) {
            client.set_basic_auth(camera.user, camera.password);
        } else {
            client.set_digest_auth(camera.user, camera.password);
        }
    }
    return client.Get("/api/param?" + name, httplib::Headers{{"Accept", "text/plain"}});
}

}  // namespace

std::optional<std::string> ReadOutputPin(const CameraAccess& camera, int pin) {
    char name[64];
    std::snprintf(name, sizeof name, "peripheral.output_pin.pin(%d).status", pin);
    auto answer = GetParam(camera, name, false);
    if (answer && answer->status == 401 && !camera.user.empty() &&
        answer->get_header_value("WWW-Authenticate").rfind("Basic", 0) == 0) {
        answer = GetParam(camera, name, true);
    }
    if (!answer || answer->status != 200) {
        return std::nullopt;
    }
    // A data line: name "=" value "&" status " " word.
    const std::string& body = answer->body;
    const std::string key = std::string(name) + "=";
    const size_t at = body.find(key);
    if (at == std::string::npos) {
        return std::nullopt;
    }
    const size_t begin = at + key.size();
    const size_t end = body.find_first_of("&\r\n<", begin);
    return body.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

std::string ConfirmOutput(const CameraAccess& camera, int pin, const std::string& state,
                          const FailureLines& failures, uint64_t mark,
                          std::chrono::milliseconds timeout,
                          const std::function<bool(std::chrono::milliseconds)>& wait) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (auto failure = failures.Since(mark)) {
            return *failure;
        }
        const auto reads = ReadOutputPin(camera, pin);
        if (reads == state) {
            return {};
        }
        if (Clock::now() >= deadline) {
            const std::string now = reads ? "\"" + *reads + "\"" : "nothing";
            return "no confirmation within " +
                   std::to_string(
                       std::chrono::duration_cast<std::chrono::seconds>(timeout).count()) +
                   " s: the camera reads " + now;
        }
        if (wait(kReadBackInterval)) {
            return "interrupted";
        }
    }
}

}  // namespace camhost
