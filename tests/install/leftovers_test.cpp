#include "install/leftovers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/files.h"
#include "platform/temp_name.h"

#include "tests/support/temp_dir.h"

namespace vmrk {
namespace {

TEST(Leftovers, OnlyTheUpdatersOwnShapesAreLeftovers) {
  for (const char* name : {".a.dll.vmrk-123-4", ".vmrPlayer.exe.old-55-1", ".list.txt.new-9-2", ".b 皮肤.dat.part-1-2",
                           "list.txt.part-4242-7"})
    EXPECT_TRUE(IsUpdaterLeftover(name)) << name;
  for (const char* name : {".notes.old", "a.dll.old-1-2", ".a.dll.vmrk-x-1", ".a.dll.vmrk-1", ".a.dll.vmrk--1",
                           "..vmrk-1-2", ".a.dll.keep-1-2", "backup.vmrk-old", ".part-1-2", "a.part-1", "",
                           ".a.dll.vmrk-1-2x"})
    EXPECT_FALSE(IsUpdaterLeftover(name)) << name;
}

// Every kind of temporary the updater makes, made by the very code that makes
// them, is recognised; a name a user might choose is not.
TEST(Leftovers, EveryKindTheUpdaterMakesIsSweptAndNothingElse) {
  test::TempDir app;
  const platform::TempKind kinds[] = {platform::TempKind::kPlacing, platform::TempKind::kAside,
                                      platform::TempKind::kAtomicWrite, platform::TempKind::kPartial};
  std::vector<std::string> made;
  for (platform::TempKind kind : kinds) {
    made.push_back(platform::NextTempPathBeside(app.Native() + platform::PathSeparator() + "a 皮肤.dll", kind));
    std::ofstream(test::PathOf(made.back())) << "x";
  }
  const char* similar[] = {"a 皮肤.dll", "a.dll.new", ".a.dll.new", "list.txt.Ab12Cd", ".a.dll.part", "a.dll.vmrk-1-2"};
  for (const char* f : similar) app.Write(f, "mine");
  EXPECT_EQ(SweepLeftovers(app.Native()), made.size());
  for (const std::string& f : made) EXPECT_FALSE(std::filesystem::exists(test::PathOf(f))) << f;
  for (const char* f : similar) EXPECT_EQ(app.Read(f), "mine") << f;
}

TEST(Leftovers, AnInterruptedRunsLeftoversGoAndTheUsersFilesStay) {
  test::TempDir app;
  const char* leftovers[] = {".a.dll.vmrk-123-4", "plugins/.b.dll.old-55-1", "plugins/skins/.c.dat.part-9-2",
                             "list.txt.part-77-1"};
  const char* kept[] = {"a.dll", "plugins/.notes.old", "plugins/b.dll.old-1-2", ".config/settings.ini",
                        "plugins/skins/c.dat"};
  for (const char* f : leftovers) app.Write(f, "x");
  for (const char* f : kept) app.Write(f, "mine");
  EXPECT_EQ(SweepLeftovers(app.Native()), 4u);
  for (const char* f : leftovers) EXPECT_FALSE(std::filesystem::exists(test::PathOf(app.Sub(f)))) << f;
  for (const char* f : kept) EXPECT_EQ(app.Read(f), "mine") << f;
}

}  // namespace
}  // namespace vmrk
