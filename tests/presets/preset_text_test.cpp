// Text in the preset file: invalid UTF-8 in names, and which element a path finds when
// names repeat.
#include <gtest/gtest.h>

#include "presets/text_encoding.h"
#include "presets/xml_preposition_reader.h"
#include "temp_dir.h"

namespace {

using presets_test::ReadFile;
using presets_test::TempDir;
using presets_test::WriteFile;

const std::string kReplacement = "\xEF\xBF\xBD";

TEST(TextEncodingTest, InvalidUtf8BecomesOneReplacementPerMaximalSubpart) {
    struct Case {
        std::string input;
        std::wstring expected;
    };
    const Case cases[] = {
        {"a\xFF\xFE"
         "b",
         L"a\uFFFD\uFFFDb"},
        {"\xFF", L"\uFFFD"},
        {"\xE6\x9D", L"\uFFFD"},  // a character cut short
        {"\xE6\x9D"
         "x",
         L"\uFFFDx"},                                       // the byte that breaks it is kept
        {"\xC0\x80", L"\uFFFD\uFFFD"},                      // overlong form
        {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},            // surrogate
        {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"\xE6\x9D\xB1\xF0\x9F\x8E\xA5", L"\u6771\U0001F3A5"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(presets::Utf8ToWide(c.input), c.expected) << c.input;
    }
    std::wstring badWide = {L'a', static_cast<wchar_t>(0xD800), static_cast<wchar_t>(0x110000)};
    EXPECT_EQ(presets::WideToUtf8(badWide), "a" + kReplacement + kReplacement);
}

class PresetTextTest : public ::testing::Test {
  protected:
    std::string File() const { return dir.File("presets.xml"); }
    TempDir dir;
};

TEST_F(PresetTextTest, InvalidUtf8InANameIsStoredAsReplacementCharacters) {
    CXMLPrepositionReader reader("JVC", dir.Path());
    ASSERT_TRUE(reader.Open("presets.xml"));
    ASSERT_TRUE(reader.WritePreposition(0, 0,
                                        {"a\xFF\xFE"
                                         "b",
                                         1}));
    ASSERT_TRUE(reader.WritePreposition(0, 1, {"\xFF", 2}));
    PrepositionRecord record;
    ASSERT_TRUE(reader.ReadPreposition(0, 0, record));
    EXPECT_EQ(record.name, "a" + kReplacement + kReplacement + "b");
    ASSERT_TRUE(reader.ReadPreposition(0, 1, record));
    EXPECT_EQ(record.name, kReplacement);
    EXPECT_NE(ReadFile(File()).find("value=\"" + kReplacement + "\""), std::string::npos);
}

TEST_F(PresetTextTest, APathFindsTheFirstElementThatMatchesItWhole) {
    // Two elements of channel 0: the first holds record 0, the second record 1.
    WriteFile(File(),
              "<?xml version='1.0' encoding='utf-8'?><JVC>"
              "<PtzChannel01><Preposition000><Name value=\"first\"/><Slot value=\"1\"/>"
              "</Preposition000></PtzChannel01>"
              "<PtzChannel01><Preposition001><Name value=\"second\"/><Slot value=\"2\"/>"
              "</Preposition001></PtzChannel01></JVC>");
    CXMLPrepositionReader reader("JVC", dir.Path());
    ASSERT_TRUE(reader.Open("presets.xml"));
    PrepositionRecord record;
    ASSERT_TRUE(reader.ReadPreposition(0, 1, record));
    EXPECT_EQ(record.name, "second");

    // Writing record 1 changes it where it is; a new record goes to the first channel element.
    ASSERT_TRUE(reader.WritePreposition(0, 1, {"changed", 3}));
    ASSERT_TRUE(reader.WritePreposition(0, 2, {"third", 4}));
    std::string content = ReadFile(File());
    EXPECT_EQ(content.find("second"), std::string::npos);
    size_t secondChannel = content.find("<PtzChannel01>", 1 + content.find("<PtzChannel01>"));
    EXPECT_GT(content.find("changed"), secondChannel);
    EXPECT_LT(content.find("third"), secondChannel);

    // Removing the channel removes the first element; the second is found then.
    ASSERT_TRUE(reader.RemoveChannel(0));
    EXPECT_FALSE(reader.ReadPreposition(0, 0, record));
    ASSERT_TRUE(reader.ReadPreposition(0, 1, record));
    EXPECT_EQ(record.name, "changed");
}

}  // namespace
