#include "listgen/list_generator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "platform/civil_time.h"
#include "platform/file_time.h"
#include "tests/support/temp_dir.h"
#include "tests/support/unsafe_locations.h"
#include "updatelist/document_loader.h"
#include "updatelist/list_date.h"

namespace vmrk {
namespace {

namespace fs = std::filesystem;

class ListGeneratorTest : public testing::Test {
 protected:
  std::string Root() const { return dir_.path() + "/"; }
  void File(const std::string& relative, size_t length = 1,
            platform::CivilTime local = platform::CivilTime{2008, 5, 12, 14, 30, 5}) {
    std::string path = dir_.Write(relative, std::string(length, 'x'));
    ASSERT_TRUE(platform::SetFileModifiedTime(path, *platform::LocalToUnixSeconds(local)).ok());
  }
  test::TempDir dir_;
};

TEST_F(ListGeneratorTest, OwnFilesSortedBeforeSubfoldersDepthFirst) {
  File("win/e");
  File("app/c/d");
  File("app/b");
  File("app/a");
  GeneratedList list = GenerateUpdateList(Root());
  ASSERT_TRUE(list.refusal.empty());
  EXPECT_EQ(list.ListText,
            "app\\a?1*2008-05-12 14:30:05\r\napp\\b?1*2008-05-12 14:30:05\r\n"
            "app\\c\\d?1*2008-05-12 14:30:05\r\nwin\\e?1*2008-05-12 14:30:05\r\n");
  EXPECT_EQ(list.files, 4u);
}

TEST_F(ListGeneratorTest, LineFormatSizeAndLocalDate) {
  File("app/a.exe", 512, {2008, 5, 12, 14, 30, 5});
  File("win/system32/b.dll", 0, {2008, 5, 12, 0, 0, 0});
  GeneratedList list = GenerateUpdateList(Root());
  EXPECT_EQ(list.ListText, "app\\a.exe?512*2008-05-12 14:30:05\r\nwin\\system32\\b.dll?0*2008-05-12\r\n");
}

TEST_F(ListGeneratorTest, NamesSortWithoutRegardToCase) {
  File("app/b.txt");
  File("app/A.txt");
  File("app/C.txt");
  GeneratedList list = GenerateUpdateList(Root());
  EXPECT_EQ(list.ListText.substr(0, 9), "app\\A.txt");
  EXPECT_LT(list.ListText.find("b.txt"), list.ListText.find("C.txt"));
}

TEST_F(ListGeneratorTest, HiddenFilesAndFilesInTheRootGetNoLine) {
  File("top.txt");
  File("app/.hidden");
  File("app/shown");
  // The server tree's own, beside a list written into the root.
  File("objects/0123.file");
  File("roots/2.root");
  File("channels/beta/list.txt");
  File("app/objects/listed");
  GeneratedList list = GenerateUpdateList(Root());
  EXPECT_EQ(list.ListText, "app\\shown?1*2008-05-12 14:30:05\r\napp\\objects\\listed?1*2008-05-12 14:30:05\r\n");
}

TEST_F(ListGeneratorTest, EmptyAndMissingRootsGiveEmptyLists) {
  File("only-at-the-top.txt");
  EXPECT_EQ(GenerateUpdateList(Root()).ListText, "");
  EXPECT_EQ(GenerateUpdateList(dir_.Sub("missing") + "/").ListText, "");
  EXPECT_TRUE(GenerateUpdateList(dir_.Sub("missing") + "/").refusal.empty());
}

TEST_F(ListGeneratorTest, ChineseNamesRoundTripThroughTheSavedList) {
  File("app/皮肤/蓝色 主题.dat", 7);
  File("win/system32/解码器.dll", 3);
  GeneratedList list = GenerateUpdateList(Root());
  ASSERT_TRUE(SaveUpdateList(dir_.Sub("list.txt"), list.ListText).ok());
  Result<std::string> read = LoadDocumentText(dir_.Sub("list.txt"));
  ASSERT_TRUE(read.ok()) << read.status().message();
  EXPECT_EQ(*read, list.ListText);
  EXPECT_NE(read->find("app\\皮肤\\蓝色 主题.dat?7*"), std::string::npos);
}

struct RefusalCase {
  const char* name;
  std::string relative;
  friend void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }
};

class RefusalTest : public ListGeneratorTest, public testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, AFileTheListCannotCarryRefusesTheWholeList) {
  File("app/fine.txt");
  File(GetParam().relative);
  GeneratedList list = GenerateUpdateList(Root());
  EXPECT_FALSE(list.refusal.empty());
  EXPECT_TRUE(list.ListText.empty());
}

INSTANTIATE_TEST_SUITE_P(Names, RefusalTest,
                         testing::Values(RefusalCase{"questionMark", "app/what?.txt"},
                                         RefusalCase{"star", "app/a*b.txt"},
                                         RefusalCase{"backslash", "app/a\\b.txt"},
                                         RefusalCase{"lineBreak", "app/a\nb.txt"},
                                         RefusalCase{"folderWithStar", "app/x*y/c.txt"}),
                         [](const testing::TestParamInfo<RefusalCase>& info) { return std::string(info.param.name); });

TEST(ListGeneratorRefusal, EveryLocationTheUpdatersRefuseIsRefusedByName) {
  for (const test::UnsafeLocation& c : test::UnsafeLocations()) {
    if (!c.makeableAsFile) continue;
    test::TempDir dir;
    std::string relative = c.location;
    std::replace(relative.begin(), relative.end(), '\\', '/');
    dir.Write("app/fine.txt", "x");
    dir.Write(relative, "x");
    GeneratedList list = GenerateUpdateList(dir.path() + "/");
    EXPECT_NE(list.refusal.find(c.location), std::string::npos) << c.name << ": " << list.refusal;
    EXPECT_TRUE(list.ListText.empty()) << c.name;
  }
}

TEST_F(ListGeneratorTest, AFileTooLongForTheListIsRefusedByName) {
  File("app/small");
  std::string big = dir_.Write("app/huge.bin", "");
  fs::resize_file(big, 2147483648ull);  // sparse: takes no disk
  GeneratedList list = GenerateUpdateList(Root());
  EXPECT_NE(list.refusal.find("app\\huge.bin"), std::string::npos) << list.refusal;
  EXPECT_TRUE(list.ListText.empty());
  fs::resize_file(big, 2147483647ull);
  EXPECT_NE(GenerateUpdateList(Root()).ListText.find("app\\huge.bin?2147483647*"), std::string::npos);
}

TEST_F(ListGeneratorTest, ASecondSaveReplacesTheFirst) {
  File("app/a");
  File("app/b");
  ASSERT_TRUE(SaveUpdateList(dir_.Sub("list.txt"), GenerateUpdateList(Root()).ListText).ok());
  fs::remove(dir_.Sub("app/b"));
  ASSERT_TRUE(SaveUpdateList(dir_.Sub("list.txt"), GenerateUpdateList(Root()).ListText).ok());
  Result<std::string> read = LoadDocumentText(dir_.Sub("list.txt"));
  ASSERT_TRUE(read.ok()) << read.status().message();
  EXPECT_EQ(*read, "app\\a?1*2008-05-12 14:30:05\r\n");
}

TEST_F(ListGeneratorTest, ProgressIsReportedOnBigTrees) {
  for (int i = 0; i < 2100; ++i) dir_.Write("app/f" + std::to_string(i), "");
  size_t reports = 0, last = 0;
  GeneratedList list = GenerateUpdateList(Root(), [&](size_t files) {
    ++reports;
    EXPECT_GT(files, last);
    last = files;
  });
  EXPECT_EQ(list.files, 2100u);
  EXPECT_EQ(reports, 2u);
}

}  // namespace
}  // namespace vmrk
