// The ground floor's helpers: the writer's name taken from a function signature, the log
// prefix and the shared text helpers.
#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <utility>
#include <vector>

#include "core/log.h"
#include "core/text.h"

namespace vostrel {
namespace coretest {

class Recorder : public IDebugMessage {
  public:
    void DebugMessage(int type, const char* format, ...) override
        __attribute__((format(printf, 3, 4))) {
        va_list args;
        va_start(args, format);
        lines.emplace_back(type, Utils::FormatStringV(format, args));
        va_end(args);
    }
    std::vector<std::pair<int, std::string>> lines;
};

class CWriter {
  public:
    CWriter() : here(JVC_HERE) {}
    std::string_view Method(int) const { return JVC_HERE; }
    std::pair<int, int> Pair() { return {1, std::string(JVC_HERE).size()}; }
    std::string_view here;
};

std::string_view FreeFunction(const std::vector<std::pair<int, int>>&) {
    return JVC_HERE;
}

}  // namespace coretest

using coretest::CWriter;
using coretest::FreeFunction;
using coretest::Recorder;

TEST(Core, WriterNameIsNamespaceClassAndMethod) {
    CWriter writer;
    EXPECT_EQ(writer.Method(1), "vostrel::coretest::CWriter::Method");
    EXPECT_EQ(writer.here, "vostrel::coretest::CWriter::CWriter");
    // A return type with blanks inside template brackets is not part of the name.
    EXPECT_EQ(writer.Pair().second,
              static_cast<int>(std::string_view("vostrel::coretest::CWriter::Pair").size()));
    EXPECT_EQ(FreeFunction({}), "vostrel::coretest::FreeFunction");
    static_assert(FunctionContext("void vostrel::CBaseCameraChannel::SetCameraState(bool)") ==
                  "vostrel::CBaseCameraChannel::SetCameraState");
    static_assert(FunctionContext("std::map<int, std::basic_string<char> > a::B::C(int (*)())") ==
                  "a::B::C");
    static_assert(FunctionContext("int f") == "f");
    // Unnamed namespaces as gcc and clang spell them.
    static_assert(FunctionContext("void vostrel::{anonymous}::CFoo::Bar(int)") ==
                  "vostrel::{anonymous}::CFoo::Bar");
    static_assert(FunctionContext("void vostrel::(anonymous namespace)::CFoo::Bar(int)") ==
                  "vostrel::(anonymous namespace)::CFoo::Bar");
    static_assert(FunctionContext("std::pair<int, int> (anonymous namespace)::F(char)") ==
                  "(anonymous namespace)::F");
}

TEST(Core, LogPrefixesTheWriterAndPassesTextAsData) {
    Recorder log;
    Log(&log, kLogFailure, "vostrel::CFoo::Bar", "value %d of %s", 7, "%s%n");
    Log(nullptr, kLogState, "ignored", "nothing");
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_EQ(log.lines[0].first, 1);
    EXPECT_EQ(log.lines[0].second, "vostrel::CFoo::Bar: value 7 of %s%n");
    EXPECT_EQ(WithContext("a::B::C", "text"), "a::B::C: text");
}

TEST(Core, TextHelpers) {
    EXPECT_EQ(Utils::FormatString("%s-%05d", "x", 42), "x-00042");
    EXPECT_EQ(Utils::FormatString(nullptr), "");
    const std::string longText(100000, 'y');
    EXPECT_EQ(Utils::FormatString("%s!", longText.c_str()), longText + "!");
    EXPECT_EQ(Utils::ToLower("VN-V686 ÄB"), "vn-v686 Äb");
    EXPECT_EQ(Utils::Trim(" \t a b \t"), "a b");
    EXPECT_EQ(Utils::Trim("\r\nab\r\n"), "\r\nab\r\n");
    EXPECT_EQ(Utils::TrimChars("\r\n ab \r\n", " \r\n"), "ab");
    EXPECT_EQ(Utils::TrimChars("    ", " "), "");
}

}  // namespace vostrel
