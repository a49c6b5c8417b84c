#include "platform/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "platform/file_time.h"
#include "tests/support/temp_dir.h"

namespace vmrk::platform {
namespace {

TEST(Files, ApplicationPathIsTheFolderOfThisProgram) {
  std::string path = ApplicationPath();
  ASSERT_FALSE(path.empty());
  EXPECT_NE(path.back(), '/');
  EXPECT_TRUE(std::filesystem::exists(path + "/core_tests"));
}

TEST(Files, VisibleFileRule) {
  test::TempDir dir;
  dir.Write("a.txt", "x");
  dir.Write(".hidden", "x");
  dir.Write("sub/b.txt", "x");
  std::filesystem::create_directory(dir.Sub(".hiddenfolder"));
  struct {
    std::string path;
    bool file, entry;
  } cases[] = {
      {dir.Sub("a.txt"), true, true},          {dir.Sub(".hidden"), false, false},
      {dir.Sub("sub"), false, true},           {dir.Sub("sub/b.txt"), true, true},
      {dir.Sub(".hiddenfolder"), false, false}, {dir.Sub("missing"), false, false},
      {"/no/such/drive/x", false, false},      {"", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsVisibleFile(c.path), c.file) << c.path;
    EXPECT_EQ(IsVisibleEntry(c.path), c.entry) << c.path;
  }
}

TEST(Files, RemoveFilesInKeepsSubfoldersAndTheirContents) {
  test::TempDir dir;
  dir.Write("update/a.dll", "1");
  dir.Write("update/.b", "2");
  dir.Write("update/noext", "3");
  dir.Write("update/keep/c.txt", "4");
  ASSERT_TRUE(RemoveFilesIn(dir.Sub("update")).ok());
  EXPECT_FALSE(PathExists(dir.Sub("update/a.dll")));
  EXPECT_FALSE(PathExists(dir.Sub("update/.b")));
  EXPECT_FALSE(PathExists(dir.Sub("update/noext")));
  EXPECT_TRUE(PathExists(dir.Sub("update/keep/c.txt")));
  EXPECT_FALSE(RemoveFilesIn(dir.Sub("missing")).ok());
}

TEST(Files, AtomicWriteReplacesAndKeepsPermissions) {
  test::TempDir dir;
  std::string path = dir.Write("x.ini", "old");
  chmod(path.c_str(), 0640);
  ASSERT_TRUE(WriteFileAtomically(path, "new content").ok());
  EXPECT_EQ(dir.Read("x.ini"), "new content");
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  // Nothing left beside it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
  EXPECT_FALSE(WriteFileAtomically(dir.Sub("missing/x.ini"), "y").ok());
}

TEST(Files, LinkOrCopyGivesTheFileAnotherNameOrACopy) {
  test::TempDir dir;
  const std::string installed = dir.Write("app/a.dll", "signed a");
  ASSERT_TRUE(LinkOrCopy(installed, dir.Sub("a-staged")).ok());
  EXPECT_EQ(std::filesystem::hard_link_count(installed), 2u) << "the same volume: a name, not a copy";
  ASSERT_TRUE(SetFileModifiedTime(dir.Sub("a-staged"), 1210600000).ok());
  Result<std::int64_t> time = FileModifiedTime(installed);
  ASSERT_TRUE(time.ok());
  EXPECT_EQ(*time, 1210600000);
  EXPECT_FALSE(LinkOrCopy(installed, dir.Sub("a-staged")).ok()) << "never over a name already there";
  // Another volume (/dev/shm, a tmpfs) has no link to the file: it gets a
  // copy, time and all.
  if (std::filesystem::exists("/dev/shm")) {
    const std::string copy = "/dev/shm/vmrk-link-or-copy-" + std::to_string(::getpid());
    ASSERT_TRUE(LinkOrCopy(installed, copy).ok());
    EXPECT_EQ(std::filesystem::hard_link_count(installed), 2u);
    EXPECT_EQ(test::ReadFileBytes(copy), "signed a");
    time = FileModifiedTime(copy);
    ASSERT_TRUE(time.ok());
    EXPECT_EQ(*time, 1210600000);
    std::filesystem::remove(copy);
  }
}

TEST(Files, ReadWholeFileAndFolderCreation) {
  test::TempDir dir;
  std::string bytes(200000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  dir.Write("big.bin", bytes);
  std::string read;
  ASSERT_TRUE(ReadWholeFile(dir.Sub("big.bin"), &read).ok());
  EXPECT_EQ(read, bytes);
  EXPECT_FALSE(ReadWholeFile(dir.Sub("none"), &read).ok());
  EXPECT_TRUE(CreateFolder(dir.Sub("new")).ok());
  EXPECT_FALSE(CreateFolder(dir.Sub("new")).ok());
  EXPECT_FALSE(CreateFolder(dir.Sub("a/b")).ok());
}

// What callers act on: a missing file is told apart from a full volume and
// from any other failure, whatever the message says.
TEST(Files, EachFailureSaysItsKind) {
  test::TempDir dir;
  const std::string file = dir.Write("a-file", "x");
  std::string bytes;
  struct {
    const char* name;
    std::function<Status()> call;
    Status::Kind kind;
  } cases[] = {
      {"reading a missing file", [&] { return ReadWholeFile(dir.Sub("missing"), &bytes); }, Status::Kind::kNotFound},
      {"a folder in a missing one", [&] { return CreateFolder(dir.Sub("missing/sub")); }, Status::Kind::kNotFound},
      {"a folder below a file", [&] { return CreateFolder(file + "/sub"); }, Status::Kind::kNotFound},
      {"removing a missing file", [&] { return RemoveFile(dir.Sub("missing")); }, Status::Kind::kNotFound},
      {"writing to a full volume", [&] { return AppendToFile("/dev/full", "x"); }, Status::Kind::kNoRoom},
      {"reading a folder", [&] { return ReadWholeFile(dir.path(), &bytes); }, Status::Kind::kIo},
  };
  for (const auto& c : cases) {
    Status status = c.call();
    EXPECT_FALSE(status.ok()) << c.name;
    EXPECT_EQ(status.kind(), c.kind) << c.name << ": " << status.message();
  }
}

}  // namespace
}  // namespace vmrk::platform
