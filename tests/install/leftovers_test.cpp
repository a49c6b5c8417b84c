#include "install/leftovers.h"

#include <gtest/gtest.h>

#include <filesystem>

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
