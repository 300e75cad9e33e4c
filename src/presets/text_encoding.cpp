#include "presets/text_encoding.h"

#include <cstdint>

namespace presets {

namespace {

static_assert(sizeof(wchar_t) == 4, "wide strings hold one code point per character");

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one character at text[i] and advances i past it. An invalid sequence gives U+FFFD
// and advances past its maximal subpart (the longest start of a valid sequence), so that
// "\xE6\x9D" is one replacement and "\xFF\xFE" two.
char32_t DecodeOne(std::string_view text, size_t& i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    ++i;
    if (c < 0x80) {
        return c;
    }
    int follow = 0;
    char32_t value = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        follow = 1;
        value = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        follow = 2;
        value = c & 0x0F;
        low = c == 0xE0 ? 0xA0 : 0x80;   // no overlong forms
        high = c == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        follow = 3;
        value = c & 0x07;
        low = c == 0xF0 ? 0x90 : 0x80;   // no overlong forms
        high = c == 0xF4 ? 0x8F : 0xBF;  // nothing above U+10FFFF
    } else {
        return kReplacement;
    }
    for (int k = 0; k < follow; ++k) {
        if (i >= text.size()) {
            return kReplacement;
        }
        unsigned char d = static_cast<unsigned char>(text[i]);
        if (d < low || d > high) {
            return kReplacement;  // the offending byte starts the next character
        }
        low = 0x80;
        high = 0xBF;
        value = (value << 6) | (d & 0x3F);
        ++i;
    }
    return value;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        c = kReplacement;
    }
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::wstring Utf8ToWide(std::string_view text) {
    std::wstring out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        out += static_cast<wchar_t>(DecodeOne(text, i));
    }
    return out;
}

std::string WideToUtf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text) {
        AppendUtf8(out, static_cast<char32_t>(static_cast<uint32_t>(c)));
    }
    return out;
}

}  // namespace presets
