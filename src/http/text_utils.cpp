#include "http/text_utils.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <map>
#include <vector>

namespace vostrel::Utils {

namespace {

using FrameSizeTable = std::map<std::string, std::pair<uint16_t, uint16_t>>;

// Built when the module is loaded and only read afterwards.
const FrameSizeTable g_frameSizes = {
    {"quadvga", {1280, 960}},
    {"vga", {640, 480}},
    {"qvga", {320, 240}},
};

}  // namespace

std::string EraseChars(const std::string& text, const std::string& set) {
    std::string kept;
    kept.reserve(text.size());
    for (char c : text) {
        if (set.find(c) == std::string::npos) {
            kept.push_back(c);
        }
    }
    return kept;
}

bool ParseInt(const std::string& text, int& out) {
    size_t pos = 0;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    if (pos == text.size()) {
        return false;
    }
    long long value = 0;
    for (; pos < text.size(); ++pos) {
        char c = text[pos];
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) {
            return false;  // does not fit 32 bits
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT_MAX || value < INT_MIN) {
        return false;
    }
    out = static_cast<int>(value);
    return true;
}

unsigned FrameIntervalMs(unsigned x) {
    if (x == 0) {
        return 1;
    }
    return static_cast<unsigned>(1000.0 / x + 0.5);
}

std::pair<uint16_t, uint16_t> FrameSizeFromName(const std::string& name) {
    if (name.empty()) {
        return {0, 0};
    }
    auto it = g_frameSizes.find(ToLower(name));
    if (it == g_frameSizes.end()) {
        return {0, 0};
    }
    return it->second;
}

std::string FrameSizeName(unsigned width, unsigned height) {
    for (const auto& [name, size] : g_frameSizes) {
        if (size.first == width && size.second == height) {
            return name;
        }
    }
    return {};
}

}  // namespace vostrel::Utils
