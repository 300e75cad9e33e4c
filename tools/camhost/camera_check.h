#pragma once
// camhost's own requests to a camera, beside the driver's: one parameter read over HTTP, and
// the look at what answers at a camera's address once the capability query has failed.
//
// The query alone reports a refused password, a server that is not a camera and a camera that
// never answers as the same failure. CheckCamera tells them apart from one plain read of the
// camera's model (GET /api/param?system.model, Accept: text/plain) with a short time-out:
// no connection, no answer within the time-out, an HTTP 401 or 403, an answer that is not the
// camera's parameter protocol (an HTML page without the model's data line, an HTTP 404, ...).
//
// Credentials: Digest first; Basic, which sends the password in clear, only to a camera that
// asks for Basic. Threads: callable from any thread; each call makes its own connections.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "command_line.h"

namespace camhost {

struct CameraAccess {
    std::string address;
    uint16_t port = 0;
    std::string user;
    std::string password;
};

// The camera's answer to one parameter request.
struct ParamReply {
    int status = 0;  // the HTTP status; 0 when no answer came
    std::string body;
    std::string contentType;
    // Why no answer came (status 0), in words: "connection refused", "no answer within 5 s",
    // "the connection was closed without an answer".
    std::string failure;
    bool connected = false;  // the TCP connection was made (with status 0: no answer on it)
};

// GET /api/param?QUERY with the camera's credentials, each connection and wait bounded by
// the time-out.
ParamReply ReadParameters(const CameraAccess& camera, const std::string& query,
                          std::chrono::milliseconds timeout);

// A parameter's value in an answer's data line ("name=value&200 OK", also inside the
// camera's HTML page); nullopt when the answer has no data line of it.
std::optional<std::string> DataLineValue(const std::string& body, const std::string& name);

struct CameraCheck {
    std::string error;  // why the camera cannot be queried, in a user's words; empty: it answers
    FailureCause cause = FailureCause::kOther;
    std::string model;  // what its system.model reads, when it answers
};

// Reads the camera's model (see the header's comment); the messages name the camera by its
// address and port ("127.0.0.1:8080 does not answer ...").
CameraCheck CheckCamera(const CameraAccess& camera, std::chrono::milliseconds timeout);

// Whether the module knows a model of that name (a VN-V or VN-X model).
bool IsKnownModel(const std::string& model);

// The words for a camera that answers as one but names a model the module does not know.
std::string UnknownModelWords(const CameraAccess& camera, const std::string& model);

}  // namespace camhost
