#include "camera_check.h"

#include <httplib.h>

#include "driver_lines.h"

namespace camhost {

namespace {

using Clock = std::chrono::steady_clock;

std::string Seconds(std::chrono::milliseconds timeout) {
    return Format("%g s", static_cast<double>(timeout.count()) / 1000);
}

httplib::Result Get(const CameraAccess& camera, const std::string& query,
                    std::chrono::milliseconds timeout, bool basic) {
    httplib::Client client(camera.address, camera.port);
    client.set_connection_timeout(timeout);
    client.set_read_timeout(timeout);
    if (!camera.user.empty()) {
        if (basic) {
            client.set_basic_auth(camera.user, camera.password);
        } else {
            client.set_digest_auth(camera.user, camera.password);
        }
    }
    return client.Get("/api/param?" + query, httplib::Headers{{"Accept", "text/plain"}});
}

// Why a request got no answer, from httplib's error and how long it waited.
std::string NoAnswerWords(httplib::Error error, Clock::duration waited,
                          std::chrono::milliseconds timeout) {
    switch (error) {
        case httplib::Error::Connection:
            return "the connection failed (refused, or no route to it)";
        case httplib::Error::ConnectionTimeout:
            return "no answer to the connection within " + Seconds(timeout);
        case httplib::Error::Read:
            // A read that ran out of time, or a connection closed before the answer.
            return waited >= timeout * 9 / 10 ? "no answer within " + Seconds(timeout)
                                              : "the connection was closed without an answer";
        default:
            return "the request failed (" + httplib::to_string(error) + ")";
    }
}

std::string Where(const CameraAccess& camera) {
    return camera.address + ":" + std::to_string(camera.port);
}

// What an HTTP answer that is not the camera's data line of its model is, in words.
std::string AnswerInWords(const ParamReply& reply) {
    if (reply.status != 200) {
        return Format("HTTP %d", reply.status);
    }
    if (reply.contentType.find("html") != std::string::npos ||
        reply.body.find("<html") != std::string::npos ||
        reply.body.find("<HTML") != std::string::npos) {
        return "an HTML page";
    }
    return reply.body.empty() ? "empty" : "text that is not the camera's parameter protocol";
}

}  // namespace

ParamReply ReadParameters(const CameraAccess& camera, const std::string& query,
                          std::chrono::milliseconds timeout) {
    const auto start = Clock::now();
    auto answer = Get(camera, query, timeout, false);
    if (answer && answer->status == 401 && !camera.user.empty() &&
        answer->get_header_value("WWW-Authenticate").rfind("Basic", 0) == 0) {
        answer = Get(camera, query, timeout, true);
    }
    ParamReply reply;
    if (!answer) {
        reply.connected = answer.error() != httplib::Error::Connection &&
                          answer.error() != httplib::Error::ConnectionTimeout;
        reply.failure = NoAnswerWords(answer.error(), Clock::now() - start, timeout);
        return reply;
    }
    reply.connected = true;
    reply.status = answer->status;
    reply.body = answer->body;
    reply.contentType = answer->get_header_value("Content-Type");
    return reply;
}

std::optional<std::string> DataLineValue(const std::string& body, const std::string& name) {
    const std::string key = name + "=";
    size_t at = body.find(key);
    // The name starts a line or follows the HTML page's markup.
    while (at != std::string::npos && at > 0 && body[at - 1] != '\n' && body[at - 1] != '>') {
        at = body.find(key, at + 1);
    }
    if (at == std::string::npos) {
        return std::nullopt;
    }
    const size_t begin = at + key.size();
    const size_t end = body.find_first_of("&\r\n<", begin);
    if (end == std::string::npos || body[end] != '&') {
        return std::nullopt;  // no line status: not a data line
    }
    return body.substr(begin, end - begin);
}

bool IsKnownModel(const std::string& model) {
    return model.find("VN-V") != std::string::npos || model.find("VN-X") != std::string::npos;
}

std::string UnknownModelWords(const CameraAccess& camera, const std::string& model) {
    return Where(camera) + " answers as a camera but names a model the module does not know: \"" +
           model + "\" (it works with VN-V and VN-X cameras)";
}

CameraCheck CheckCamera(const CameraAccess& camera, std::chrono::milliseconds timeout) {
    CameraCheck check;
    const ParamReply reply = ReadParameters(camera, "system.model", timeout);
    if (reply.status == 0) {
        check.cause = reply.connected ? FailureCause::kNoAnswer : FailureCause::kUnreachable;
        check.error = Where(camera) +
                      (reply.connected ? " takes the connection but does not answer ("
                                       : " does not answer (") +
                      reply.failure +
                      (reply.connected ? "): is it a camera, and is it working?"
                                       : "): check --address and --port");
    } else if (reply.status == 401) {
        check.cause = FailureCause::kCredentials;
        check.error = RefusedLoginWords(!camera.user.empty());
    } else if (reply.status == 403) {
        check.cause = FailureCause::kCredentials;
        check.error = "the camera does not let the user \"" + camera.user +
                      "\" read its settings (HTTP 403): give another account with --user";
    } else if (reply.status >= 500) {
        check.error = Format(
            "%s answers the parameter request with HTTP %d (a fault of its own): "
            "try again, or restart the camera",
            Where(camera).c_str(), reply.status);
    } else if (auto model = DataLineValue(reply.body, "system.model");
               reply.status == 200 && model) {
        check.model = *model;
    } else {
        check.cause = FailureCause::kNotACamera;
        check.error = Where(camera) +
                      " answers HTTP but is not a camera of a known model (its answer to the "
                      "parameter request was " +
                      AnswerInWords(reply) + "): check --address and --port";
    }
    return check;
}

}  // namespace camhost
