#include "install/installer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "install/release_transaction.h"
#include "platform/file_time.h"
#include "tests/support/temp_dir.h"

namespace vmrk {
namespace {

namespace fs = std::filesystem;

class InstallerTest : public testing::Test {
 protected:
  InstallerTest() {
    fs::create_directories(dir_.Sub("app/update"));
    fs::create_directories(dir_.Sub("win/system32"));
    paths_ = {dir_.Sub("app"), dir_.Sub("win"), dir_.Sub("app/running-updater")};
  }
  // A staged file as the download left it, with the time the stamping gave it.
  void Stage(const std::string& name, const std::string& content, std::int64_t time = 1210573805) {
    std::string path = dir_.Write("app/update/" + name, content);
    ASSERT_TRUE(platform::SetFileModifiedTime(path, time).ok());
  }
  std::int64_t TimeOf(const std::string& relative) {
    Result<std::int64_t> t = platform::FileModifiedTime(dir_.Sub(relative));
    EXPECT_TRUE(t.ok());
    return t.ok() ? *t : 0;
  }
  size_t EntriesIn(const std::string& relative) {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir_.Sub(relative)), {}));
  }

  // The location planned as the list check plans its row, then installed as
  // a release of its own.
  Status Install(const std::string& location) { return Install(std::vector<std::string>{location}); }
  // One release of these, each staged under its file name.
  Status Install(const std::vector<std::string>& locations) {
    std::vector<InstallItem> items;
    for (const std::string& location : locations) {
      LocationParts where = PlanLocation(location, paths_.applicationPath, paths_.windowsFolder);
      const std::string staged = dir_.Sub("app/update/" + where.fileName);
      items.push_back({where, staged});
    }
    TransactionFailure failure;
    return InstallRelease(platform::HostFileSystem(), {paths_, dir_.Sub("app/update/journal")}, items, &failure);
  }

  test::TempDir dir_;
  InstallPaths paths_;
};

TEST_F(InstallerTest, NewFileBelowTheApplicationFolderWithItsFolders) {
  Stage("main.dll", "new");
  ASSERT_TRUE(Install("app\\skin\\blue\\main.dll").ok());
  EXPECT_EQ(dir_.Read("app/skin/blue/main.dll"), "new");
  EXPECT_EQ(TimeOf("app/skin/blue/main.dll"), 1210573805);
  EXPECT_FALSE(fs::exists(dir_.Sub("app/update/main.dll")));
  EXPECT_EQ(EntriesIn("app/skin/blue"), 1u);  // no temporary left beside it
}

TEST_F(InstallerTest, ReplacedFileKeepsItsPermissionBits) {
  std::string player = dir_.Write("app/vmrPlayer", "old");
  chmod(player.c_str(), 0755);
  Stage("vmrPlayer", "new player");
  ASSERT_TRUE(Install("app\\vmrPlayer").ok());
  EXPECT_EQ(dir_.Read("app/vmrPlayer"), "new player");
  struct stat st;
  ASSERT_EQ(stat(player.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
  EXPECT_EQ(TimeOf("app/vmrPlayer"), 1210573805);
}

TEST_F(InstallerTest, MissingStagedFileLeavesTheInstalledFileAsItWas) {
  dir_.Write("app/a.dll", "installed");
  EXPECT_FALSE(Install("app\\a.dll").ok());
  EXPECT_EQ(dir_.Read("app/a.dll"), "installed");
  EXPECT_EQ(EntriesIn("app"), 2u);  // a.dll and update/
}

TEST_F(InstallerTest, AFolderWhereTheFileBelongsIsRefused) {
  fs::create_directories(dir_.Sub("app/adir/inner"));
  Stage("adir", "file");
  EXPECT_FALSE(Install("app\\adir").ok());
  EXPECT_TRUE(fs::is_directory(dir_.Sub("app/adir/inner")));
  EXPECT_EQ(EntriesIn("app"), 2u);  // adir and update/: nothing moved aside, no copy left
}

TEST_F(InstallerTest, FolderThatCannotBeMadeFails) {
  dir_.Write("app/blocker", "a file where a folder belongs");
  Stage("x.dll", "x");
  EXPECT_FALSE(Install("app\\blocker\\x.dll").ok());
  EXPECT_EQ(dir_.Read("app/blocker"), "a file where a folder belongs");
}

struct OwnProgramCase {
  const char* name;
  std::string location;
  std::string stagedName;
  friend void PrintTo(const OwnProgramCase& c, std::ostream* os) { *os << c.name; }
};

class OwnProgramTest : public InstallerTest, public testing::WithParamInterface<OwnProgramCase> {};

TEST_P(OwnProgramTest, BecomesTheSideFileOnly) {
  dir_.Write("app/vmrkxupdate", "running");
  Stage(GetParam().stagedName, "new updater");
  ASSERT_TRUE(Install(GetParam().location).ok());
  EXPECT_EQ(dir_.Read("app/vmrkxupdate"), "running");
  EXPECT_EQ(dir_.Read("app/vmrkxupdate.new"), "new updater");
  EXPECT_FALSE(fs::exists(dir_.Sub("app/update/" + GetParam().stagedName)));
  EXPECT_FALSE(fs::exists(dir_.Sub("win/tools")));
}

INSTANTIATE_TEST_SUITE_P(Names, OwnProgramTest,
                         testing::Values(OwnProgramCase{"appRoot", "app\\vmrkxupdate", "vmrkxupdate"},
                                         OwnProgramCase{"capitals", "app\\VMRKXUPDATE", "VMRKXUPDATE"},
                                         OwnProgramCase{"anyFolder", "win\\tools\\vmrkxupdate", "vmrkxupdate"},
                                         OwnProgramCase{"theRunningFileByAnotherName", "app\\running-updater",
                                                        "running-updater"}),
                         [](const testing::TestParamInfo<OwnProgramCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(InstallerTest, ComponentsBelowTheWindowsFolderAreRegisteredWithoutWaiting) {
  // A registration program of our own that notes its arguments.
  std::string record = dir_.Sub("registered.txt");
  std::string regsvr = dir_.Write("win/system32/regsvr32.exe",
                                  "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done >> '" + record +
                                      "'\necho >> '" + record + "'\n");
  chmod(regsvr.c_str(), 0755);
  // A component whose placement fails is not registered: regsvr32 would
  // register whatever older file sits there.
  fs::create_directories(dir_.Sub("win/h.dll/inner"));
  Stage("h.dll", "component");
  EXPECT_FALSE(Install("win\\h.dll").ok());
  Stage("b c.ocx", "component");
  ASSERT_TRUE(Install("win\\system32\\my dir\\b c.ocx").ok());
  Stage("d.DLL", "component");
  ASSERT_TRUE(Install("win\\d.DLL").ok());
  Stage("e.dll", "app component");
  ASSERT_TRUE(Install("app\\e.dll").ok());
  Stage("f.dll", "capital root");
  ASSERT_TRUE(Install("WIN\\f.dll").ok());
  EXPECT_EQ(dir_.Read("win/f.dll"), "capital root");

  std::string expected = "[" + dir_.Sub("win/system32/my dir/b c.ocx") + "][-s]\n[" + dir_.Sub("win/d.DLL") + "][-s]\n";
  for (int i = 0; i < 200 && (!fs::exists(record) || dir_.Read("registered.txt").size() < expected.size()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::string got = dir_.Read("registered.txt");
  // Two registrations, in any order (neither was waited for), and no others.
  EXPECT_EQ(got.size(), expected.size()) << got;
  EXPECT_NE(got.find("[" + dir_.Sub("win/system32/my dir/b c.ocx") + "][-s]"), std::string::npos) << got;
  EXPECT_NE(got.find("[" + dir_.Sub("win/d.DLL") + "][-s]"), std::string::npos) << got;
}

TEST_F(InstallerTest, TheRunningProgramIsKnownByItsIdentityNotItsSpelling) {
  dir_.Write("app/running-updater", "running");
  fs::create_directory_symlink(dir_.Sub("app"), dir_.Sub("alias"));
  fs::create_hard_link(dir_.Sub("app/running-updater"), dir_.Sub("app/hardlink"));
  paths_.runningProgram = dir_.Sub("alias/running-updater");
  for (const char* name : {"running-updater", "hardlink"}) {
    Stage(name, std::string("new ") + name);
    ASSERT_TRUE(Install(std::string("app\\") + name).ok()) << name;
    EXPECT_EQ(dir_.Read("app/running-updater"), "running") << name;
    EXPECT_EQ(dir_.Read("app/vmrkxupdate.new"), std::string("new ") + name);
  }
}

struct LinkCase {
  const char* name;
  std::string link, linkTarget;  // relative to the test folder
  std::string location;
  bool installs;
  std::string landsAt;  // where the file ends up when it installs
  friend void PrintTo(const LinkCase& c, std::ostream* os) { *os << c.name; }
};

class LinkTest : public InstallerTest, public testing::WithParamInterface<LinkCase> {};

TEST_P(LinkTest, FoldersAreNeverWrittenThroughALinkLeadingOut) {
  const LinkCase& c = GetParam();
  fs::create_directories(dir_.Sub("outside"));
  fs::create_directories(dir_.Sub(c.linkTarget));
  fs::create_directories(fs::path(dir_.Sub(c.link)).parent_path());
  fs::create_directory_symlink(dir_.Sub(c.linkTarget), dir_.Sub(c.link));
  std::string name = c.location.substr(c.location.rfind('\\') + 1);
  Stage(name, "payload");
  // First in the same release, a file in the folder that holds the link:
  // that folder checked once must not pass the link below it.
  std::string decoy = c.link.substr(0, c.link.rfind('/')) + "/decoy.dat";
  std::replace(decoy.begin(), decoy.end(), '/', '\\');
  Stage("decoy.dat", "decoy");
  EXPECT_EQ(Install({decoy, c.location}).ok(), c.installs);
  if (c.installs) EXPECT_EQ(dir_.Read(c.landsAt), "payload");
  EXPECT_TRUE(fs::is_empty(dir_.Sub("outside")));
  EXPECT_EQ(fs::exists(dir_.Sub("app/update/" + name)), !c.installs);  // placed, or left for the run to clear
}

INSTANTIATE_TEST_SUITE_P(
    Links, LinkTest,
    testing::Values(LinkCase{"appLinkOut", "app/sub", "outside", "app\\sub\\evil.dat", false, ""},
                    LinkCase{"deeperLinkOut", "app/a/b", "outside", "app\\a\\b\\c\\evil.dat", false, ""},
                    LinkCase{"winLinkOut", "win/fonts", "outside", "win\\fonts\\evil.ttf", false, ""},
                    LinkCase{"linkInsideTheRoot", "app/skin", "app/skins/blue", "app\\skin\\ok.dat", true,
                             "app/skins/blue/ok.dat"},
                    LinkCase{"linkToTheOtherRoot", "win/vmr", "app/shared", "win\\vmr\\ok.dll", true,
                             "app/shared/ok.dll"}),
    [](const testing::TestParamInfo<LinkCase>& info) { return std::string(info.param.name); });

TEST_F(InstallerTest, NoRegistrationProgramMeansNothingElseHappens) {
  Stage("g.dll", "component");
  EXPECT_TRUE(Install("win\\g.dll").ok());
  EXPECT_EQ(dir_.Read("win/g.dll"), "component");
}

TEST(Registration, CommandLinesQuoteThePath) {
  auto where = [](const char* location) { return PlanLocation(location, "C:\\Player", "C:\\WINDOWS"); };
  auto r = RegistrationFor(where("win\\system32\\b.ocx"), "C:\\WINDOWS");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(CommandLineOf(*r), "C:\\WINDOWS/system32/regsvr32.exe C:\\WINDOWS/system32/b.ocx -s");
  auto spaced = RegistrationFor(where("win\\My Codecs\\c.dll"), "C:\\WINDOWS");
  EXPECT_EQ(CommandLineOf(*spaced), "C:\\WINDOWS/system32/regsvr32.exe \"C:\\WINDOWS/My Codecs/c.dll\" -s");
  EXPECT_EQ(CommandLineOf({"a b\\", {"x\"y", "e\\\\"}}), "\"a b\\\\\" \"x\\\"y\" e\\\\");
  EXPECT_FALSE(RegistrationFor(where("app\\a.dll"), "w"));
  EXPECT_FALSE(RegistrationFor(where("WIN\\c.dll"), "w"));
  EXPECT_FALSE(RegistrationFor(where("win\\a.exe"), "w"));
  EXPECT_TRUE(RegistrationFor(where("win\\system32\\C.DLL"), "w"));
}

}  // namespace
}  // namespace vmrk
