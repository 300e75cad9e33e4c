#pragma once
// The text helpers every layer shares: printf-style formatting into a string, lower-casing
// and trimming. Pure functions, callable from any thread.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>

namespace vostrel::Utils {

// printf-style formatting into a string measured first: no length limit. Empty for a null
// format or a formatting error.
inline std::string FormatStringV(const char* format, va_list args) {
    if (format == nullptr) {
        return {};
    }
    va_list measure;
    va_copy(measure, args);
    const int needed = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (needed <= 0) {
        return {};
    }
    std::string text(static_cast<size_t>(needed), '\0');
    vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

inline std::string FormatString(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline std::string FormatString(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatStringV(format, args);
    va_end(args);
    return text;
}

// Lower-case copy, character by character (C library rule).
inline std::string ToLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

// Copy without the leading and trailing characters that are in set.
inline std::string TrimChars(std::string_view text, std::string_view set) {
    const size_t first = text.find_first_not_of(set);
    if (first == std::string_view::npos) {
        return {};
    }
    const size_t last = text.find_last_not_of(set);
    return std::string(text.substr(first, last - first + 1));
}

// Copy without leading and trailing blanks and tabs.
inline std::string Trim(std::string_view text) {
    return TrimChars(text, " \t");
}

}  // namespace vostrel::Utils
