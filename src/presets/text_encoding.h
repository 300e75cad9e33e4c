#pragma once
// Text conversions of the preset file: UTF-8 to and from wide strings.
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

}  // namespace presets
