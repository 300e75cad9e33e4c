#pragma once
// Logging helper: every line the module writes reads "<writer>: <text>", where the writer is
// "namespace::class::method". Log makes that prefix in one place, so callers pass the writer
// and their own text only. Callable from any thread; the target's DebugMessage decides what
// reaches the host.
#include <cstdarg>
#include <string>
#include <string_view>

#include "core/codes.h"
#include "core/text.h"
#include "jvc_ipcapture/debug_message.h"

namespace vostrel {

// The writer's name of a function from its compiler signature (__PRETTY_FUNCTION__):
// "void vostrel::CFoo::Bar(int)" gives "vostrel::CFoo::Bar". The view points into the
// signature text, which lives for the whole program. An unnamed namespace is spelt
// "{anonymous}" by gcc and "(anonymous namespace)" by clang; both stay in the name.
constexpr std::string_view FunctionContext(std::string_view signature) {
    constexpr std::string_view kClangAnonymous = "(anonymous namespace)";
    // The parameter list is the first '(' outside template brackets.
    int depth = 0;
    size_t open = signature.size();
    for (size_t i = 0; i < signature.size(); ++i) {
        const char c = signature[i];
        if (c == '<') {
            ++depth;
        } else if (c == '>') {
            --depth;
        } else if (c == '(' && signature.substr(i).starts_with(kClangAnonymous)) {
            i += kClangAnonymous.size() - 1;  // part of the name, not the parameter list
        } else if (c == '(' && depth == 0) {
            open = i;
            break;
        }
    }
    // The name starts after the last blank outside template brackets before it (the return
    // type ends there; constructors and destructors have none).
    size_t start = 0;
    depth = 0;
    for (size_t i = open; i-- > 0;) {
        const char c = signature[i];
        if (c == '>') {
            ++depth;
        } else if (c == '<') {
            --depth;
        } else if (c == ')' && i + 1 >= kClangAnonymous.size() &&
                   signature.substr(i + 1 - kClangAnonymous.size(), kClangAnonymous.size()) ==
                       kClangAnonymous) {
            i -= kClangAnonymous.size() - 1;  // its blank does not end the return type
        } else if (c == ' ' && depth == 0) {
            start = i + 1;
            break;
        }
    }
    return signature.substr(start, open - start);
}

// The writer's name of the enclosing function.
#define JVC_HERE (::vostrel::FunctionContext(__PRETTY_FUNCTION__))

// Formats the text and writes "<where>: <text>" through target with the given type. The
// finished text is passed as data, never as a format. Nothing happens without a target.
inline void Log(IDebugMessage* target, LogType type, std::string_view where, const char* format,
                ...) __attribute__((format(printf, 4, 5)));
inline void Log(IDebugMessage* target, LogType type, std::string_view where, const char* format,
                ...) {
    if (target == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    try {
        const std::string text = Utils::FormatStringV(format, args);
        target->DebugMessage(type, "%.*s: %s", static_cast<int>(where.size()), where.data(),
                             text.c_str());
    } catch (...) {
        // A log line that cannot be made (no memory) is dropped; the writer goes on.
    }
    va_end(args);
}

// The same prefix for a text that is kept before it is logged (a result record's message).
inline std::string WithContext(std::string_view where, const std::string& text) {
    std::string line(where);
    line += ": ";
    line += text;
    return line;
}

}  // namespace vostrel
