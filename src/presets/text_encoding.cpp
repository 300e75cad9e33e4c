#include "presets/text_encoding.h"

#include <iconv.h>
#include <strings.h>

#include <cerrno>
#include <cstdint>
#include <vector>

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

bool IsXmlSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// An encoding name as XML allows it: a letter, then letters, digits, '.', '_' and '-'. This
// also keeps iconv's "//TRANSLIT" and "//IGNORE" suffixes out of a name taken from a file.
bool IsEncodingName(const std::string& name) {
    if (name.empty() || name.size() > 64) {
        return false;
    }
    for (size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        bool other = (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        if (!letter && (i == 0 || !other)) {
            return false;
        }
    }
    return true;
}

class Converter {
  public:
    Converter(const char* to, const char* from) : m_cd(iconv_open(to, from)) {}
    ~Converter() {
        if (Valid()) {
            iconv_close(m_cd);
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    bool Valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }

    // Converts input until it is used up (0) or a sequence stops the conversion (the errno,
    // with input pointing at that sequence).
    int Run(std::string_view& input, std::string& out) {
        while (!input.empty()) {
            size_t used = out.size();
            out.resize(used + input.size() * 4 + 16);
            char* in = const_cast<char*>(input.data());
            size_t inLeft = input.size();
            char* outPtr = out.data() + used;
            size_t outLeft = out.size() - used;
            size_t result = iconv(m_cd, &in, &inLeft, &outPtr, &outLeft);
            int error = result == static_cast<size_t>(-1) ? errno : 0;
            input.remove_prefix(input.size() - inLeft);
            out.resize(static_cast<size_t>(outPtr - out.data()));
            if (error != 0 && error != E2BIG) {
                return error;
            }
        }
        return 0;
    }

    // Writes what a stateful encoding needs to return to its initial state.
    bool Finish(std::string& out) {
        char buffer[64];
        char* outPtr = buffer;
        size_t outLeft = sizeof(buffer);
        if (iconv(m_cd, nullptr, nullptr, &outPtr, &outLeft) == static_cast<size_t>(-1)) {
            return false;
        }
        out.append(buffer, static_cast<size_t>(outPtr - buffer));
        return true;
    }

  private:
    iconv_t m_cd;
};

// A stretch of a serialized document and whether a character reference may stand in it.
struct Run {
    size_t start;
    size_t length;
    bool references;
};

size_t EndAfter(std::string_view text, size_t from, std::string_view terminator) {
    size_t at = text.find(terminator, from);
    return at == std::string_view::npos ? text.size() : at + terminator.size();
}

// End of a document type declaration starting at from: the first '>' outside quotes and
// outside the internal subset's brackets.
size_t EndOfDoctype(std::string_view text, size_t from) {
    int depth = 0;
    char quote = 0;
    for (size_t i = from; i < text.size(); ++i) {
        char c = text[i];
        if (quote != 0) {
            quote = c == quote ? 0 : quote;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '[') {
            ++depth;
        } else if (c == ']') {
            --depth;
        } else if (c == '>' && depth <= 0) {
            return i + 1;
        }
    }
    return text.size();
}

// Splits a serialized document into character data and attribute values (where references
// may stand) and the markup around them.
std::vector<Run> SplitMarkup(std::string_view text) {
    std::vector<Run> runs;
    auto add = [&runs](size_t from, size_t to, bool references) {
        if (to > from) {
            runs.push_back({from, to - from, references});
        }
    };
    size_t textStart = 0;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '<') {
            ++i;
            continue;
        }
        add(textStart, i, true);
        size_t end = 0;
        std::string_view rest = text.substr(i);
        if (rest.substr(0, 4) == "<!--") {
            end = EndAfter(text, i + 4, "-->");
        } else if (rest.substr(0, 9) == "<![CDATA[") {
            end = EndAfter(text, i + 9, "]]>");
        } else if (rest.substr(0, 2) == "<?") {
            end = EndAfter(text, i + 2, "?>");
        } else if (rest.substr(0, 2) == "<!") {
            end = EndOfDoctype(text, i + 2);
        } else {
            // A start or end tag: names are markup, quoted attribute values are not.
            size_t markupStart = i;
            size_t j = i + 1;
            while (j < text.size() && text[j] != '>') {
                if (text[j] == '"' || text[j] == '\'') {
                    size_t close = text.find(text[j], j + 1);
                    if (close == std::string_view::npos) {
                        close = text.size();
                    }
                    add(markupStart, j + 1, false);
                    add(j + 1, close, true);
                    markupStart = close;
                    j = close;
                    if (j < text.size()) {
                        ++j;
                    }
                    continue;
                }
                ++j;
            }
            end = j < text.size() ? j + 1 : text.size();
            add(markupStart, end, false);
            textStart = i = end;
            continue;
        }
        add(i, end, false);
        textStart = i = end;
    }
    add(textStart, text.size(), true);
    return runs;
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

bool HasWideSignature(std::string_view document) {
    auto starts = [document](std::string_view prefix) {
        return document.substr(0, prefix.size()) == prefix;
    };
    using namespace std::string_view_literals;
    return starts("\xFE\xFF"sv) || starts("\xFF\xFE"sv) || starts("\0"sv) || starts("<\0"sv);
}

std::string DeclaredEncoding(std::string_view document) {
    if (document.substr(0, 5) != "<?xml" || document.size() < 6 || !IsXmlSpace(document[5])) {
        return {};
    }
    size_t end = document.find("?>", 6);
    if (end == std::string_view::npos) {
        return {};
    }
    std::string_view declaration = document.substr(0, end);
    for (size_t at = declaration.find("encoding"); at != std::string_view::npos;
         at = declaration.find("encoding", at + 8)) {
        if (!IsXmlSpace(declaration[at - 1])) {
            continue;
        }
        size_t i = at + 8;
        while (i < declaration.size() && IsXmlSpace(declaration[i])) {
            ++i;
        }
        if (i >= declaration.size() || declaration[i] != '=') {
            continue;
        }
        ++i;
        while (i < declaration.size() && IsXmlSpace(declaration[i])) {
            ++i;
        }
        if (i >= declaration.size() || (declaration[i] != '"' && declaration[i] != '\'')) {
            return {};
        }
        size_t close = declaration.find(declaration[i], i + 1);
        if (close == std::string_view::npos) {
            return {};
        }
        return std::string(declaration.substr(i + 1, close - i - 1));
    }
    return {};
}

bool IsUtf8Name(std::string_view name) {
    std::string text(name);
    return strcasecmp(text.c_str(), "UTF-8") == 0 || strcasecmp(text.c_str(), "UTF8") == 0;
}

ConversionResult DecodeDocument(const std::string& encoding, std::string_view bytes,
                                std::string& utf8) {
    utf8.clear();
    if (!IsEncodingName(encoding)) {
        return ConversionResult::kUnknownEncoding;
    }
    Converter converter("UTF-8", encoding.c_str());
    if (!converter.Valid()) {
        return ConversionResult::kUnknownEncoding;
    }
    if (converter.Run(bytes, utf8) != 0 || !converter.Finish(utf8)) {
        return ConversionResult::kInvalidInput;
    }
    return ConversionResult::kOk;
}

ConversionResult EncodeDocument(const std::string& encoding, std::string_view utf8,
                                std::string& bytes) {
    bytes.clear();
    if (!IsEncodingName(encoding)) {
        return ConversionResult::kUnknownEncoding;
    }
    Converter converter(encoding.c_str(), "UTF-8");
    if (!converter.Valid()) {
        return ConversionResult::kUnknownEncoding;
    }
    for (const Run& run : SplitMarkup(utf8)) {
        std::string_view input = utf8.substr(run.start, run.length);
        while (!input.empty()) {
            int error = converter.Run(input, bytes);
            if (error == 0) {
                break;
            }
            if (error != EILSEQ || !run.references) {
                return ConversionResult::kUnrepresentable;
            }
            size_t length = 0;
            char32_t c = DecodeOne(input, length);
            std::string reference = "&#" + std::to_string(static_cast<uint32_t>(c)) + ";";
            std::string_view referenceInput = reference;
            if (converter.Run(referenceInput, bytes) != 0) {
                return ConversionResult::kUnrepresentable;
            }
            input.remove_prefix(length);
        }
    }
    return converter.Finish(bytes) ? ConversionResult::kOk : ConversionResult::kUnrepresentable;
}

}  // namespace presets
