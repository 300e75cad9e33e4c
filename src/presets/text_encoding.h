#pragma once
// Text conversions of the preset file: UTF-8 to and from wide strings, and whole documents
// from and to the character encoding their XML declaration names.
//
// Invalid UTF-8 is never dropped silently: each maximal invalid sequence becomes one U+FFFD,
// so a name made only of invalid bytes still reads back as a (replacement) character.
#include <string>
#include <string_view>

namespace presets {

// UTF-8 to wide characters; every invalid sequence becomes U+FFFD.
std::wstring Utf8ToWide(std::string_view text);
// Wide characters to UTF-8; values that are no Unicode scalar value become U+FFFD.
std::string WideToUtf8(std::wstring_view text);

// Whether the document starts with a byte order mark or the first bytes of a UTF-16 or UTF-32
// document; such documents are decoded by the XML parser itself.
bool HasWideSignature(std::string_view document);
// The encoding named by the XML declaration at the very start of an ASCII-compatible document;
// empty when there is no declaration or it names no encoding.
std::string DeclaredEncoding(std::string_view document);
// Whether an encoding name means UTF-8.
bool IsUtf8Name(std::string_view name);

enum class ConversionResult {
    kOk,
    kUnknownEncoding,  // the name is not an encoding name iconv can convert
    kInvalidInput,     // the bytes are not valid text in the encoding
    kUnrepresentable,  // a character the encoding cannot hold, where no reference may stand
};

// Decodes a document in the named encoding to UTF-8.
ConversionResult DecodeDocument(const std::string& encoding, std::string_view bytes,
                                std::string& utf8);
// Encodes a serialized UTF-8 document in the named encoding. A character the encoding cannot
// hold is written as a numeric character reference ("&#26481;") in character data and
// attribute values; in names, comments, processing instructions, CDATA sections and the
// document type no reference can stand for it and the conversion fails.
ConversionResult EncodeDocument(const std::string& encoding, std::string_view utf8,
                                std::string& bytes);

}  // namespace presets
