// How the preset file is treated on disk: Windows-style names.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "presets/xml_preposition_reader.h"
#include "temp_dir.h"

namespace {

using presets_test::ReadFile;
using presets_test::TempDir;

class PresetFileTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(dir.Path().empty()); }
    std::string File() const { return dir.File("presets.xml"); }
    TempDir dir;
};

TEST_F(PresetFileTest, BackslashesInTheFileNameSeparateFolders) {
    CXMLPrepositionReader reader("JVC", dir.Path());
    EXPECT_EQ(reader.FilePath("Presets\\JVC.preset"), dir.Path() + "/Presets/JVC.preset");
    ASSERT_EQ(mkdir(dir.File("Presets").c_str(), 0755), 0);
    ASSERT_TRUE(reader.Open("Presets\\JVC.preset"));
    ASSERT_TRUE(reader.WritePreposition(0, 0, {"Door", 5}));
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"Presets"});
    EXPECT_NE(ReadFile(dir.File("Presets/JVC.preset")).find("Door"), std::string::npos);
}

}  // namespace
