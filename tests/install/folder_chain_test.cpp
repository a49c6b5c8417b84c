#include "install/folder_chain.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "tests/support/temp_dir.h"
#include "updatelist/file_helpers.h"

namespace vmrk {
namespace {

namespace fs = std::filesystem;

struct ChainCase {
  const char* name;
  std::vector<std::string> existing;  // folders made before
  std::string folderPart;
  std::vector<std::string> created;   // folders that must exist after, in creation order
  std::vector<std::string> absent;
  friend void PrintTo(const ChainCase& c, std::ostream* os) { *os << c.name; }
};

class FolderChainTest : public testing::TestWithParam<ChainCase> {};

TEST_P(FolderChainTest, CreatesTheMissingLevelsParentFirst) {
  test::TempDir dir;
  std::string base = dir.Sub("base");
  fs::create_directory(base);
  for (const std::string& folder : GetParam().existing) fs::create_directories(base + "/" + folder);
  ASSERT_TRUE(MakeFolderChain(base, GetParam().folderPart).ok());
  for (const std::string& folder : GetParam().created) EXPECT_TRUE(fs::is_directory(base + "/" + folder)) << folder;
  for (const std::string& folder : GetParam().absent) EXPECT_FALSE(fs::exists(dir.Sub(folder))) << folder;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FolderChainTest,
    testing::Values(ChainCase{"bothMissing", {}, "app\\a\\b\\", {"a", "a/b"}, {}},
                    ChainCase{"parentPresent", {"a"}, "app\\a\\b\\", {"a/b"}, {}},
                    ChainCase{"allPresent", {"system32"}, "win\\system32\\", {"system32"}, {}},
                    ChainCase{"fileDirectlyInRoot", {}, "app\\", {}, {"base/app"}},
                    ChainCase{"chineseNames", {}, "app\\皮肤\\蓝色\\", {"皮肤", "皮肤/蓝色"}, {}},
                    ChainCase{"noBackslash", {}, "app", {}, {}},
                    ChainCase{"leadingBackslash", {}, "\\a\\b\\", {}, {"base/a", "base/b"}},
                    // The root is three characters, not three bytes.
                    ChainCase{"nonAsciiRoot", {}, "窗口s\\newdir\\", {"newdir"}, {"base口s"}},
                    ChainCase{"belowAHiddenFolder", {".hidden"}, "app\\.hidden\\deeper\\", {".hidden/deeper"}, {}}),
    [](const testing::TestParamInfo<ChainCase>& info) { return std::string(info.param.name); });

TEST(FolderChain, CutsAtTheFourthCharacterWhateverTheRootsLength) {
  // "abcd\x\" names the candidate base + "d\x", with no separator: below a
  // folder "based" that does not exist, so nothing can be created.
  test::TempDir dir;
  fs::create_directory(dir.Sub("base"));
  EXPECT_FALSE(MakeFolderChain(dir.Sub("base"), "abcd\\x\\").ok());
  EXPECT_FALSE(fs::exists(dir.Sub("based")));
  EXPECT_TRUE(fs::is_empty(dir.Sub("base")));
  fs::create_directory(dir.Sub("based"));
  EXPECT_TRUE(MakeFolderChain(dir.Sub("base"), "abcd\\x\\").ok());
  EXPECT_TRUE(fs::is_directory(dir.Sub("based/x")));
}

TEST(FolderChain, AnOrdinaryFileOfTheNameCountsAsPresent) {
  test::TempDir dir;
  dir.Write("base/a", "a file");
  EXPECT_TRUE(MakeFolderChain(dir.Sub("base"), "app\\a\\").ok());
  EXPECT_TRUE(fs::is_regular_file(dir.Sub("base/a")));
}

TEST(FolderChain, ALevelThatCannotBeCreatedEndsTheChain) {
  test::TempDir dir;
  dir.Write("base/blocker", "a file where a folder should go");
  Status status = MakeFolderChain(dir.Sub("base"), "app\\blocker\\x\\y\\");
  // "blocker" counts as present; "blocker/x" cannot be made below a file.
  EXPECT_FALSE(status.ok());
  EXPECT_FALSE(fs::exists(dir.Sub("base/blocker/x/y")));
}

TEST(FolderChain, WindowsFolderComesFromWindirWithoutTrailingSeparator) {
  test::TempDir dir;
  setenv("WINDIR", (dir.Sub("WINDOWS") + "/").c_str(), 1);
  fs::create_directory(dir.Sub("WINDOWS"));
  EXPECT_EQ(WindowsFolder(), dir.Sub("WINDOWS"));
  EXPECT_EQ(WindowsFolder(), WindowsFolder());
  ASSERT_TRUE(MakeWinFolders("win\\system32\\drivers\\").ok());
  EXPECT_TRUE(fs::is_directory(dir.Sub("WINDOWS/system32/drivers")));
  EXPECT_TRUE(MakeAppFolders(dir.path(), "app\\plugins\\").ok());
  EXPECT_TRUE(fs::is_directory(dir.Sub("plugins")));
  unsetenv("WINDIR");
  EXPECT_EQ(WindowsFolder().substr(WindowsFolder().size() - 8), "/windows");
}

}  // namespace
}  // namespace vmrk
