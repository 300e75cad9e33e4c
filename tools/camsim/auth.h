#pragma once
// Authentication of the simulated camera: HTTP Basic and Digest (RFC 7616, MD5, qop=auth)
// with nonce checking. Hashing goes through OpenSSL's libcrypto.
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "camera_simulator.h"

namespace camsim::detail {

std::string Md5Hex(const std::string& text);
std::optional<std::string> Base64Decode(const std::string& text);
// Parses the parameters of a Digest Authorization header (after "Digest "): name=value or
// name="value" pairs separated by commas. Names are lower-cased.
std::map<std::string, std::string> ParseAuthParams(const std::string& text);

// The "response" value of RFC 7616 with MD5 and qop=auth.
std::string DigestResponse(const std::string& user, const std::string& realm,
                           const std::string& password, const std::string& method,
                           const std::string& uri, const std::string& nonce, const std::string& nc,
                           const std::string& cnonce);

// Decodes %XX sequences ("+" stays as it is).
std::string PercentDecode(const std::string& text);

class Authenticator {
  public:
    // users: name -> password.
    Authenticator(AuthMode mode, std::map<std::string, std::string> users, std::string realm);

    enum class Verdict { kAccepted, kMissing, kRejected, kStale };
    // Judges the Authorization header (empty when none came) of a request; on kAccepted,
    // *user is the user named (untouched with mode none). A Digest "uri" may spell the
    // request target with or without percent-encoding: both name the same resource.
    Verdict Check(const std::string& method, const std::string& target,
                  const std::string& authorization, std::string* user = nullptr);
    // The WWW-Authenticate value for a 401 answer (a fresh nonce for Digest).
    std::string Challenge(bool stale = false);
    AuthMode mode() const { return mode_; }

  private:
    struct NonceInfo {
        std::chrono::steady_clock::time_point issued;
        uint64_t last_nc = 0;
    };
    std::string NewNonce();

    AuthMode mode_;
    std::map<std::string, std::string> users_;
    std::string realm_, opaque_;
    std::mutex mutex_;
    std::map<std::string, NonceInfo> nonces_;  // at most kMaxNonces, oldest dropped
    uint64_t counter_ = 0;
};

}  // namespace camsim::detail
