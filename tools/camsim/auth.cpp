#include "auth.h"

#include <algorithm>
#include <cctype>

#include <openssl/evp.h>
#include <openssl/rand.h>

namespace camsim::detail {
namespace {

constexpr size_t kMaxNonces = 256;
constexpr auto kNonceLifetime = std::chrono::minutes(10);

std::string Hex(const unsigned char* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 15]);
    }
    return out;
}

std::string RandomHex(size_t bytes) {
    std::string buffer(bytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(buffer.data()), static_cast<int>(bytes)) != 1) {
        throw std::runtime_error("camsim: RAND_bytes failed");
    }
    return Hex(reinterpret_cast<const unsigned char*>(buffer.data()), bytes);
}

std::string Lower(std::string s) {
    for (auto& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && Lower(text.substr(0, prefix.size())) == Lower(prefix);
}

}  // namespace

std::string Md5Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &size, EVP_md5(), nullptr) != 1) {
        throw std::runtime_error("camsim: MD5 failed");
    }
    return Hex(digest, size);
}

std::optional<std::string> Base64Decode(const std::string& text) {
    std::string trimmed;
    for (char c : text) {
        if (!std::isspace(static_cast<unsigned char>(c))) {
            trimmed.push_back(c);
        }
    }
    if (trimmed.empty() || trimmed.size() % 4 != 0) {
        return std::nullopt;
    }
    std::string out(trimmed.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(trimmed.data()),
                                  static_cast<int>(trimmed.size()));
    if (n < 0) {
        return std::nullopt;
    }
    // EVP_DecodeBlock keeps the bytes of the padding; drop them.
    size_t size = static_cast<size_t>(n);
    if (trimmed.back() == '=') {
        --size;
        if (trimmed[trimmed.size() - 2] == '=') {
            --size;
        }
    }
    out.resize(size);
    return out;
}

std::map<std::string, std::string> ParseAuthParams(const std::string& text) {
    std::map<std::string, std::string> out;
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        while (i < n && (text[i] == ' ' || text[i] == '\t' || text[i] == ',')) {
            ++i;
        }
        size_t name_start = i;
        while (i < n && text[i] != '=' && text[i] != ',') {
            ++i;
        }
        std::string name = text.substr(name_start, i - name_start);
        while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) {
            name.pop_back();
        }
        std::string value;
        if (i < n && text[i] == '=') {
            ++i;
            while (i < n && (text[i] == ' ' || text[i] == '\t')) {
                ++i;
            }
            if (i < n && text[i] == '"') {
                ++i;
                while (i < n && text[i] != '"') {
                    if (text[i] == '\\' && i + 1 < n) {
                        ++i;
                    }
                    value.push_back(text[i++]);
                }
                ++i;  // closing quote
            } else {
                size_t start = i;
                while (i < n && text[i] != ',') {
                    ++i;
                }
                value = text.substr(start, i - start);
                while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) {
                    value.pop_back();
                }
            }
        }
        if (!name.empty()) {
            out[Lower(name)] = value;
        }
    }
    return out;
}

std::string DigestResponse(const std::string& user, const std::string& realm,
                           const std::string& password, const std::string& method,
                           const std::string& uri, const std::string& nonce, const std::string& nc,
                           const std::string& cnonce) {
    const std::string ha1 = Md5Hex(user + ":" + realm + ":" + password);
    const std::string ha2 = Md5Hex(method + ":" + uri);
    return Md5Hex(ha1 + ":" + nonce + ":" + nc + ":" + cnonce + ":auth:" + ha2);
}

std::string PercentDecode(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() &&
            std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

Authenticator::Authenticator(AuthMode mode, std::map<std::string, std::string> users,
                             std::string realm)
    : mode_(mode), users_(std::move(users)), realm_(std::move(realm)), opaque_(RandomHex(8)) {}

std::string Authenticator::NewNonce() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string nonce = RandomHex(12) + std::to_string(++counter_);
    if (nonces_.size() >= kMaxNonces) {
        auto oldest = std::min_element(nonces_.begin(), nonces_.end(), [](auto& a, auto& b) {
            return a.second.issued < b.second.issued;
        });
        nonces_.erase(oldest);
    }
    nonces_[nonce] = NonceInfo{std::chrono::steady_clock::now(), 0};
    return nonce;
}

std::string Authenticator::Challenge(bool stale) {
    if (mode_ == AuthMode::kDigest) {
        std::string value = "Digest realm=\"" + realm_ +
                            "\", qop=\"auth\", algorithm=MD5, nonce=\"" + NewNonce() +
                            "\", opaque=\"" + opaque_ + "\"";
        if (stale) {
            value += ", stale=true";
        }
        return value;
    }
    return "Basic realm=\"" + realm_ + "\"";
}

Authenticator::Verdict Authenticator::Check(const std::string& method, const std::string& target,
                                            const std::string& authorization, std::string* user) {
    if (mode_ == AuthMode::kNone) {
        return Verdict::kAccepted;
    }
    if (authorization.empty()) {
        return Verdict::kMissing;
    }
    if (mode_ == AuthMode::kBasic) {
        if (!StartsWithNoCase(authorization, "Basic ")) {
            return Verdict::kRejected;
        }
        auto decoded = Base64Decode(authorization.substr(6));
        const size_t colon = decoded ? decoded->find(':') : std::string::npos;
        if (colon == std::string::npos) {
            return Verdict::kRejected;
        }
        auto known = users_.find(decoded->substr(0, colon));
        if (known == users_.end() || known->second != decoded->substr(colon + 1)) {
            return Verdict::kRejected;
        }
        if (user) {
            *user = known->first;
        }
        return Verdict::kAccepted;
    }
    // Digest, RFC 7616 with MD5 and qop=auth.
    if (!StartsWithNoCase(authorization, "Digest ")) {
        return Verdict::kRejected;
    }
    auto p = ParseAuthParams(authorization.substr(7));
    auto known = users_.find(p["username"]);
    // A client may send the uri as the request line has it or percent-decoded.
    if (known == users_.end() || p["realm"] != realm_ ||
        (p["uri"] != target && PercentDecode(p["uri"]) != PercentDecode(target)) ||
        Lower(p["qop"]) != "auth" || p["cnonce"].empty() || p["nc"].size() != 8 ||
        (p.count("algorithm") && Lower(p["algorithm"]) != "md5") ||
        (p.count("opaque") && p["opaque"] != opaque_)) {
        return Verdict::kRejected;
    }
    // The HTTP library hands header values over percent-decoded, so a client's uri that was
    // percent-encoded as in the request line arrives decoded: its hash is over the target.
    auto expected = [&](const std::string& uri) {
        return DigestResponse(known->first, realm_, known->second, method, uri, p["nonce"], p["nc"],
                              p["cnonce"]);
    };
    const std::string response = Lower(p["response"]);
    if (response != expected(p["uri"]) && response != expected(target)) {
        return Verdict::kRejected;
    }
    uint64_t nc = 0;
    try {
        nc = std::stoull(p["nc"], nullptr, 16);
    } catch (...) {
        return Verdict::kRejected;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = nonces_.find(p["nonce"]);
    if (it == nonces_.end() ||
        std::chrono::steady_clock::now() - it->second.issued > kNonceLifetime) {
        // A correct answer to a nonce we no longer know: ask again with stale=true.
        return Verdict::kStale;
    }
    if (nc <= it->second.last_nc) {
        return Verdict::kRejected;  // replayed nonce count
    }
    it->second.last_nc = nc;
    if (user) {
        *user = known->first;
    }
    return Verdict::kAccepted;
}

}  // namespace camsim::detail
