// Text in the preset file: encodings other than UTF-8, invalid UTF-8 in names, and which
// element a path finds when names repeat.
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

TEST(TextEncodingTest, DeclaredEncodingIsReadFromTheDeclarationOnly) {
    EXPECT_EQ(presets::DeclaredEncoding("<?xml version='1.0' encoding='windows-1252'?><a/>"),
              "windows-1252");
    EXPECT_EQ(presets::DeclaredEncoding("<?xml version=\"1.0\" encoding = \"Shift_JIS\" ?>"),
              "Shift_JIS");
    EXPECT_EQ(presets::DeclaredEncoding("<?xml version='1.0'?><a encoding='latin1'/>"), "");
    EXPECT_EQ(presets::DeclaredEncoding("<a/><?xml version='1.0' encoding='latin1'?>"), "");
    EXPECT_TRUE(presets::IsUtf8Name("utf-8"));
    EXPECT_TRUE(presets::IsUtf8Name("UTF8"));
    EXPECT_FALSE(presets::IsUtf8Name("UTF-16"));
}

TEST(TextEncodingTest, ReferencesStandOnlyInCharacterDataAndAttributeValues) {
    std::string bytes;
    EXPECT_EQ(presets::EncodeDocument("ISO-8859-1",
                                      "<a b=\"\xC3\xA9\xE6\x9D\xB1\" c='\xE6\x9D\xB1'>"
                                      "\xE4\xBA\xAC\xC3\xA9</a>",
                                      bytes),
              presets::ConversionResult::kOk);
    EXPECT_EQ(bytes, "<a b=\"\xE9&#26481;\" c='&#26481;'>&#20140;\xE9</a>");

    for (const char* markup :
         {"<\xE6\x9D\xB1/>", "<a \xE6\x9D\xB1=\"1\"/>", "<a><!--\xE6\x9D\xB1--></a>",
          "<a><?pi \xE6\x9D\xB1?></a>", "<a><![CDATA[\xE6\x9D\xB1]]></a>",
          "<!DOCTYPE a [<!ENTITY e '\xE6\x9D\xB1'>]><a/>"}) {
        EXPECT_EQ(presets::EncodeDocument("ISO-8859-1", markup, bytes),
                  presets::ConversionResult::kUnrepresentable)
            << markup;
    }
    EXPECT_EQ(presets::EncodeDocument("latin1//TRANSLIT", "<a/>", bytes),
              presets::ConversionResult::kUnknownEncoding);
    EXPECT_EQ(presets::DecodeDocument("x-no-such-encoding", "<a/>", bytes),
              presets::ConversionResult::kUnknownEncoding);
    EXPECT_EQ(presets::DecodeDocument("windows-1252", "<a>\x81</a>", bytes),
              presets::ConversionResult::kInvalidInput);
}

class PresetTextTest : public ::testing::Test {
  protected:
    std::string File() const { return dir.File("presets.xml"); }
    // A document with one record per name in channel 0.
    static std::string Document(const std::string& declaration,
                                const std::vector<std::string>& names) {
        std::string text = declaration + "\n<JVC>\n\t<PtzChannel01>";
        for (size_t i = 0; i < names.size(); ++i) {
            std::string index = "00" + std::to_string(i);
            text += "<Preposition" + index + "><Name value=\"" + names[i] + "\"/><Slot value=\"" +
                    std::to_string(i) + "\"/></Preposition" + index + ">";
        }
        return text + "</PtzChannel01>\n</JVC>\n";
    }
    TempDir dir;
};

TEST_F(PresetTextTest, ALatin1FileKeepsItsEncodingAndTakesAnyName) {
    const std::string declaration = "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>";
    WriteFile(File(), Document(declaration, {"Caf\xE9"}));
    {
        CXMLPrepositionReader reader("JVC", dir.Path());
        ASSERT_TRUE(reader.Open("presets.xml"));
        PrepositionRecord record;
        ASSERT_TRUE(reader.ReadPreposition(0, 0, record));
        EXPECT_EQ(record.name, "Caf\xC3\xA9");
        ASSERT_TRUE(reader.WritePreposition(0, 1, {"\xE6\x9D\xB1\xE4\xBA\xAC \xC3\xA9", 1}));
    }
    std::string content = ReadFile(File());
    EXPECT_EQ(content.rfind(declaration + "\n<JVC>\n\t<PtzChannel01><Preposition000><Name "
                                          "value=\"Caf\xE9\"/>",
                            0),
              0u)
        << content;
    EXPECT_NE(content.find("value=\"&#26481;&#20140; \xE9\""), std::string::npos) << content;

    CXMLPrepositionReader reader("JVC", dir.Path());
    ASSERT_TRUE(reader.Open("presets.xml"));
    PrepositionRecord record;
    ASSERT_TRUE(reader.ReadPreposition(0, 1, record));
    EXPECT_EQ(record.name, "\xE6\x9D\xB1\xE4\xBA\xAC \xC3\xA9");
}

TEST_F(PresetTextTest, EncodingsTheParserDoesNotKnowGoThroughIconv) {
    // windows-1252: 0x80 is the euro sign, 0x8C the OE ligature.
    const std::string original =
        Document("<?xml version='1.0' encoding='windows-1252'?>", {"\x80 \x8C"});
    WriteFile(File(), original);
    {
        CXMLPrepositionReader reader("JVC", dir.Path());
        ASSERT_TRUE(reader.Open("presets.xml"));
        PrepositionRecord record;
        ASSERT_TRUE(reader.ReadPreposition(0, 0, record));
        EXPECT_EQ(record.name, "\xE2\x82\xAC \xC5\x92");
        reader.SetAutoSave(false);
        reader.SetAutoSave(true);  // saves the unchanged document
        EXPECT_EQ(ReadFile(File()), original);
        ASSERT_TRUE(reader.WritePreposition(0, 0, {"\xCE\xA9\xE2\x82\xAC", 0}));  // "Ω€"
    }
    EXPECT_NE(ReadFile(File()).find("value=\"&#937;\x80\""), std::string::npos);

    // A multi-byte encoding takes what it can hold as its own bytes.
    WriteFile(dir.File("sjis.xml"), Document("<?xml version='1.0' encoding='Shift_JIS'?>", {}));
    CXMLPrepositionReader reader("JVC", dir.Path());
    ASSERT_TRUE(reader.Open("sjis.xml"));
    ASSERT_TRUE(reader.WritePreposition(0, 0, {"\xE6\x9D\xB1\xE4\xBA\xAC", 1}));  // "東京"
    EXPECT_NE(ReadFile(dir.File("sjis.xml")).find("value=\"\x93\x8C\x8B\x9E\""), std::string::npos);
}

TEST_F(PresetTextTest, AnEncodingNobodyKnowsFailsTheOpenAndLeavesTheFile) {
    const std::string original =
        Document("<?xml version='1.0' encoding='x-no-such-encoding'?>", {"\xE9\xE8"});
    WriteFile(File(), original);
    CXMLPrepositionReader reader("JVC", dir.Path());
    EXPECT_FALSE(reader.Open("presets.xml"));
    EXPECT_NE(reader.LastError().find("\"x-no-such-encoding\""), std::string::npos)
        << reader.LastError();
    EXPECT_EQ(ReadFile(File()), original);
    EXPECT_EQ(dir.Entries().size(), 1u);
}

TEST_F(PresetTextTest, ACharacterThatCannotBeWrittenFailsTheSave) {
    const std::string original = Document("<?xml version='1.0' encoding='latin1'?>", {"a"});
    WriteFile(File(), original);
    CXMLSettingsAPI settings(dir.Path());
    ASSERT_EQ(settings.Open("presets.xml"), 0);
    // An element name can hold no character reference.
    ASSERT_EQ(settings.WriteValue(L"1", L"JVC/\u6771"), 1);
    EXPECT_FALSE(settings.Save());
    EXPECT_EQ(ReadFile(File()), original);
    settings.Close();
}

TEST_F(PresetTextTest, AnEncodingThatDoesNotKeepTheMarkupFailsTheSaveAndKeepsThePresets) {
    // UTF-7 reads plain ASCII as it is, but writes '<' and '"' as "+ADw-" and "+ACI-": the
    // written file would no longer open.
    const std::string original = Document("<?xml version=\"1.0\" encoding=\"utf-7\"?>", {"Gate"});
    WriteFile(File(), original);
    CXMLPrepositionReader reader("JVC", dir.Path());
    ASSERT_TRUE(reader.Open("presets.xml"));
    PrepositionRecord record;
    ASSERT_TRUE(reader.ReadPreposition(0, 0, record));
    EXPECT_EQ(record.name, "Gate");
    EXPECT_FALSE(reader.WritePreposition(0, 1, {"Door", 2}));
    EXPECT_EQ(ReadFile(File()), original);
}

TEST_F(PresetTextTest, ADeclarationClosedBySlashDoesNotLoadAndIsKeptAside) {
    // Not XML: the declaration ends at "/>", and a parser that took it would change the first
    // "?>" after it (in a name here) to "/>".
    const std::string original =
        "<?xml version=\"1.0\" encoding=\"utf-8\"/>\n<JVC><PtzChannel01><Preposition000>"
        "<Name value=\"a<?b?>c\"/><Slot value=\"4\"/></Preposition000></PtzChannel01></JVC>";
    WriteFile(File(), original);
    CXMLSettingsAPI settings(dir.Path());
    EXPECT_EQ(settings.Open("presets.xml"), CXMLSettingsAPI::kOpenFailed);
    EXPECT_NE(settings.LastError().find("declaration"), std::string::npos) << settings.LastError();

    CXMLPrepositionReader reader("JVC", dir.Path());
    ASSERT_TRUE(reader.Open("presets.xml"))
        << reader.LastError();  // a new file; the old kept aside
    ASSERT_TRUE(reader.WritePreposition(1, 2, {"Door", 7}));
    bool kept = false;
    for (const std::string& name : dir.Entries()) {
        kept = kept || (name.rfind("presets.xml.unreadable-", 0) == 0 &&
                        ReadFile(dir.File(name)) == original);
    }
    EXPECT_TRUE(kept);
}

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
