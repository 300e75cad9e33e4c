#include "presets/xml_settings_api.h"

#include <gtest/gtest.h>

#include "platform/system.h"
#include "temp_dir.h"

namespace {

using presets_test::ReadFile;
using presets_test::TempDir;
using presets_test::WriteFile;

const char kNewFile[] = "<?xml version='1.0' encoding='utf-8'?><JVC/>";

TEST(XmlSettingsApiTest, FilesLieInTheExecutablesDirectoryByDefault) {
    CXMLSettingsAPI settings;
    EXPECT_EQ(settings.FilePath("presets.xml"),
              platform::DirectoryOf(platform::ExecutablePath()) + "/presets.xml");
    CXMLSettingsAPI elsewhere("/some/dir");
    EXPECT_EQ(elsewhere.FilePath("a.xml"), "/some/dir/a.xml");
    EXPECT_EQ(elsewhere.FilePath("sub\\a.xml"), "/some/dir/sub/a.xml");
    // A full path is the file itself, not a name inside the folder.
    EXPECT_EQ(settings.FilePath("/var/lib/cams/a.xml"), "/var/lib/cams/a.xml");
    EXPECT_EQ(elsewhere.FilePath("/tmp/b.xml"), "/tmp/b.xml");
}

TEST(XmlSettingsApiTest, CreateDocumentFileWritesDeclarationAndEmptyRoot) {
    TempDir dir;
    CXMLSettingsAPI settings(dir.Path());
    WriteFile(dir.File("s.xml"), "<old><content/></old>");
    EXPECT_EQ(settings.CreateDocumentFile("JVC", "s.xml", true), 1);
    EXPECT_EQ(ReadFile(dir.File("s.xml")), kNewFile);
    EXPECT_EQ(settings.CreateDocumentFile("not a name", "t.xml", true), 0);
    EXPECT_EQ(settings.CreateDocumentFile("JVC", "missing-dir/t.xml", true), 0);
    EXPECT_EQ(dir.Entries().size(), 1u);  // no temporary file left behind
}

TEST(XmlSettingsApiTest, WritingCreatesIndentedElementsAndRewritingAddsNone) {
    TempDir dir;
    CXMLSettingsAPI settings(dir.Path());
    ASSERT_EQ(settings.CreateDocumentFile("JVC", "s.xml", true), 1);
    ASSERT_EQ(settings.Open("s.xml"), 0);
    EXPECT_EQ(settings.WriteValue(L"first", L"JVC/%ls%.2u/Name", L"PtzChannel", 1u), 1);
    EXPECT_EQ(settings.WriteValue(L"second", L"JVC/PtzChannel01/Name"), 1);
    ASSERT_TRUE(settings.Save());
    EXPECT_EQ(ReadFile(dir.File("s.xml")),
              "<?xml version='1.0' encoding='utf-8'?><JVC><PtzChannel01>\n\t\t"
              "<Name value=\"second\">\n\t\t</Name>\n\t</PtzChannel01>\n</JVC>");
    std::wstring value;
    settings.ReadValue(value, L"JVC/PtzChannel01/Name");
    EXPECT_EQ(value, L"second");
    EXPECT_EQ(settings.NodeExists("JVC/PtzChannel01"), 1);
    EXPECT_EQ(settings.NodeExists("JVC/PtzChannel01/Other"), 0);
    // Only the one root element: paths outside it cannot be created.
    EXPECT_EQ(settings.CreatePath(L"Other/Thing"), 0);
    EXPECT_EQ(settings.WriteValue(L"x", L"JVC/bad name"), 0);
    EXPECT_EQ(settings.WriteValue(L"x", L"JVC//Name"), 0);
    EXPECT_EQ(settings.NodeExists("Other"), 0);
    // The root element cannot be removed; a child element can.
    EXPECT_EQ(settings.RemoveNode("JVC"), 0);
    EXPECT_EQ(settings.RemoveNode("JVC/PtzChannel01/Name"), 1);
    EXPECT_EQ(settings.RemoveNode("JVC/PtzChannel01/Name"), 0);
    EXPECT_EQ(settings.Close(), 0);
}

TEST(XmlSettingsApiTest, OverlongPathsAddressNothing) {
    TempDir dir;
    CXMLSettingsAPI settings(dir.Path());
    ASSERT_EQ(settings.CreateDocumentFile("JVC", "s.xml", true), 1);
    ASSERT_EQ(settings.Open("s.xml"), 0);
    std::wstring longName(1100, L'a');
    EXPECT_EQ(settings.WriteValue(L"x", L"JVC/%ls", longName.c_str()), 0);
    std::wstring fits(1000, L'a');
    EXPECT_EQ(settings.WriteValue(L"x", L"JVC/%ls", fits.c_str()), 1);
    settings.Close();
}

TEST(XmlSettingsApiTest, AnUnchangedDocumentIsWrittenBackAsItWasRead) {
    TempDir dir;
    const std::string content =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<JVC>\r\n  <A value=\"1\"/>\r\n"
        "\t<!-- note -->\n<?app keep?></JVC>\n";
    WriteFile(dir.File("s.xml"), content);
    CXMLSettingsAPI settings(dir.Path());
    ASSERT_EQ(settings.Open("s.xml"), 0);
    ASSERT_TRUE(settings.Save());
    EXPECT_EQ(ReadFile(dir.File("s.xml")), content);
    std::wstring value;
    settings.ReadValue(value, L"JVC/A");
    EXPECT_EQ(value, L"1");
    settings.Close();
}

TEST(XmlSettingsApiTest, AttributesAreAddedSetAndRead) {
    TempDir dir;
    CXMLSettingsAPI settings(dir.Path());
    ASSERT_EQ(settings.CreateDocumentFile("JVC", "s.xml", true), 1);
    ASSERT_EQ(settings.Open("s.xml"), 0);
    pugi::xml_document scratch;
    pugi::xml_node node = scratch.append_child("N");
    EXPECT_FALSE(settings.SetAttribute(node, L"value", L"a"));  // absent
    EXPECT_TRUE(settings.AddAttribute(node, L"value", L"a"));
    EXPECT_TRUE(settings.AddAttribute(node, L"value", L"b"));  // replaces
    EXPECT_EQ(std::distance(node.attributes_begin(), node.attributes_end()), 1);
    EXPECT_TRUE(settings.SetAttribute(node, L"value", L"c"));
    EXPECT_EQ(settings.GetAttribute(node, L"value"), L"c");
    EXPECT_EQ(settings.GetAttribute(node, L"other"), L"");
    EXPECT_FALSE(settings.AddAttribute(node, L"1bad", L"x"));
    settings.Close();
}

TEST(XmlSettingsApiTest, OpenFailsForMissingEmptyAndUnloadableFiles) {
    TempDir dir;
    CXMLSettingsAPI settings(dir.Path());
    EXPECT_EQ(settings.Open("missing.xml"), CXMLSettingsAPI::kOpenFailed);
    WriteFile(dir.File("empty.xml"), "");
    EXPECT_EQ(settings.Open("empty.xml"), CXMLSettingsAPI::kOpenFailed);
    for (const char* bad : {"<JVC>", "<a/><b/>", "<?xml version='1.0'?>\n", "text<a/>", "\x01"}) {
        WriteFile(dir.File("bad.xml"), bad);
        EXPECT_EQ(settings.Open("bad.xml"), CXMLSettingsAPI::kOpenFailed) << bad;
    }
    EXPECT_EQ(settings.Open(""), CXMLSettingsAPI::kOpenFailed);
    EXPECT_EQ(settings.Open(nullptr), CXMLSettingsAPI::kOpenFailed);
    EXPECT_EQ(settings.OpenCount(), 0);
}

TEST(XmlSettingsApiTest, TwoOpensNeedTwoCloses) {
    TempDir dir;
    CXMLSettingsAPI settings(dir.Path());
    ASSERT_EQ(settings.CreateDocumentFile("JVC", "s.xml", true), 1);
    ASSERT_EQ(settings.Open("s.xml"), 0);
    ASSERT_EQ(settings.WriteValue(L"v", L"JVC/A"), 1);
    EXPECT_EQ(settings.Open("another-name.xml"), 0);  // only adds a reference
    EXPECT_EQ(settings.Close(), 1);
    std::wstring value;
    settings.ReadValue(value, L"JVC/A");
    EXPECT_EQ(value, L"v");
    EXPECT_EQ(settings.Close(), 0);
    settings.ReadValue(value, L"JVC/A");
    EXPECT_EQ(value, L"");
    EXPECT_EQ(settings.Close(), 0);  // never below 0
}

TEST(XmlSettingsApiTest, EveryOperationOnAClosedObjectFails) {
    TempDir dir;
    CXMLSettingsAPI settings(dir.Path());
    ASSERT_EQ(settings.CreateDocumentFile("JVC", "s.xml", true), 1);
    std::wstring value = L"stale";
    settings.ReadValue(value, L"JVC");
    EXPECT_EQ(value, L"");
    EXPECT_EQ(settings.WriteValue(L"v", L"JVC/A"), 0);
    EXPECT_EQ(settings.CreatePath(L"JVC/A"), 0);
    EXPECT_EQ(settings.NodeExists("JVC"), 0);
    EXPECT_EQ(settings.RemoveNode("JVC/A"), 0);
    EXPECT_FALSE(settings.Save());
    EXPECT_EQ(settings.Close(), 0);
    EXPECT_EQ(ReadFile(dir.File("s.xml")), kNewFile);
}

}  // namespace
