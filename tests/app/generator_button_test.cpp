// The hidden "生成列表" button: Shift+F8 shows it, a click writes list.txt.
#include <gtest/gtest.h>

#include <filesystem>

#include "app/texts.h"
#include "listgen/release_signing.h"
#include "tests/app/window_fixture.h"
#include "updatelist/document_loader.h"

namespace vmrk {
namespace {

namespace fs = std::filesystem;

class GeneratorButtonTest : public test::WindowFixture {
 protected:
  void ReleaseFile(const std::string& relative, const std::string& content) {
    std::string path = releaseRoot_.Write(relative, content);
    ASSERT_TRUE(platform::SetFileModifiedTime(path, *platform::LocalToUnixSeconds({2008, 5, 12, 14, 30, 5})).ok());
  }
  std::string SavedListText() {
    Result<std::string> text = LoadDocumentText(app_.Sub("list.txt"));
    EXPECT_TRUE(text.ok()) << text.status().message();
    return text.ok() ? *text : std::string();
  }
};

TEST_F(GeneratorButtonTest, WritesTheListIntoTheApplicationFolderAndSaysDone) {
  ReleaseFile("app/a.exe", std::string(512, 'a'));
  ReleaseFile("win/system32/b.dll", "b");
  ReleaseFile("loose.txt", "not listed");
  Window().Form_KeyDown(119, 1);
  ASSERT_TRUE(State().Command2.visible);
  Window().Command2_Click();
  const std::string expected = "app\\a.exe?512*2008-05-12 14:30:05\r\nwin\\system32\\b.dll?1*2008-05-12 14:30:05\r\n";
  EXPECT_EQ(State().ListText, expected);
  EXPECT_EQ(SavedListText(), expected);
  ASSERT_EQ(desktop_.messages.size(), 1u);
  EXPECT_EQ(desktop_.messages[0].first, "Vmr在线升级");
  EXPECT_EQ(desktop_.messages[0].second, "完成！");
  EXPECT_FALSE(fs::exists(releaseRoot_.Sub("list.txt")));
}

TEST_F(GeneratorButtonTest, ASecondRunReplacesTheFirst) {
  ReleaseFile("app/a", "1");
  ReleaseFile("app/b", "2");
  Window().Command2_Click();
  fs::remove(releaseRoot_.Sub("app/b"));
  Window().Command2_Click();
  EXPECT_EQ(SavedListText(), "app\\a?1*2008-05-12 14:30:05\r\n");
  EXPECT_EQ(desktop_.messages.size(), 2u);
}

TEST_F(GeneratorButtonTest, AnEmptyReleaseGivesAnEmptyListAndDone) {
  Window().Command2_Click();
  EXPECT_EQ(SavedListText(), "");
  ASSERT_EQ(desktop_.messages.size(), 1u);
  EXPECT_EQ(desktop_.messages[0].second, "完成！");
}

TEST_F(GeneratorButtonTest, ARefusedFileLeavesTheOlderListAndNamesTheFile) {
  app_.Write("list.txt", "older list");
  ReleaseFile("app/what?.txt", "x");
  Window().Command2_Click();
  EXPECT_EQ(app_.Read("list.txt"), "older list");
  ASSERT_EQ(desktop_.messages.size(), 1u);
  EXPECT_NE(desktop_.messages[0].second.find("app\\what?.txt"), std::string::npos);
  EXPECT_EQ(desktop_.messages[0].second.rfind(texts::kGeneratorRefused, 0), 0u);
}

TEST_F(GeneratorButtonTest, AFailedSaveIsReportedNotDone) {
  fs::create_directories(app_.Sub("list.txt/in-the-way"));  // a folder where the list belongs
  ReleaseFile("app/a", "1");
  Window().Command2_Click();
  ASSERT_EQ(desktop_.messages.size(), 1u);
  EXPECT_NE(desktop_.messages[0].second, "完成！");
  EXPECT_EQ(desktop_.messages[0].second.rfind(texts::kGeneratorSaveFailed, 0), 0u);
  EXPECT_TRUE(fs::is_directory(app_.Sub("list.txt/in-the-way")));
  EXPECT_EQ(std::distance(fs::directory_iterator(app_.path()), {}), 1);  // no temporary left
}

}  // namespace
}  // namespace vmrk

namespace vmrk {
namespace {

TEST_F(GeneratorButtonTest, WithTheMaintainersKeyTheListIsSignedAndVerifies) {
  ReleaseFile("app/a.exe", "signed");
  const std::string keyFile = config_.Sub("maintainer.key");
  ASSERT_TRUE(GenerateKeyFiles(keyFile).ok());
  keyFile_ = keyFile;
  Window().Command2_Click();
  ASSERT_EQ(desktop_.messages.size(), 1u);
  EXPECT_EQ(desktop_.messages[0].second, texts::kGeneratorDoneSigned);
  std::string list = app_.Read("list.txt"), manifest = app_.Read("list.txt.sig");
  std::string keys = config_.Read("maintainer.key.pub");
  EXPECT_TRUE(CheckPublishedRelease(list, manifest, PublicKeysOfText(keys), releaseRoot_.path(), 0).empty());
}

TEST_F(GeneratorButtonTest, AKeyInsideTheReleaseFolderIsNeverUsed) {
  ReleaseFile("app/a.exe", "x");
  ASSERT_TRUE(GenerateKeyFiles(releaseRoot_.Sub("maintainer.key")).ok());
  keyFile_ = releaseRoot_.Sub("maintainer.key");
  Window().Command2_Click();
  ASSERT_EQ(desktop_.messages.size(), 1u);
  EXPECT_EQ(desktop_.messages[0].second.rfind(texts::kGeneratorSignFailed, 0), 0u);
  EXPECT_FALSE(fs::exists(app_.Sub("list.txt.sig")));
}

}  // namespace
}  // namespace vmrk
