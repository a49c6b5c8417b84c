// What the release transaction relies on to never lose a file to a name
// that is already taken: calls that make a name fail rather than replace,
// and temporary names that no later run picks again.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "platform/files.h"
#include "platform/temp_name.h"
#include "tests/support/temp_dir.h"

namespace vmrk::platform {
namespace {

TEST(NewNames, ACallThatMakesANameNeverReplacesOne) {
  struct Case {
    const char* name;
    std::function<Status(const test::TempDir&)> call;
    bool ok;
    const char* from;  // the source's bytes afterwards ("" when it is gone)
    const char* to;    // the destination's bytes afterwards
  } cases[] = {
      {"rename onto a file", [](auto& d) { return RenameNoReplace(d.NativeSub("from"), d.NativeSub("taken")); }, false,
       "moving", "kept"},
      {"rename onto a free name", [](auto& d) { return RenameNoReplace(d.NativeSub("from"), d.NativeSub("free")); },
       true, "", "moving"},
      {"new file over a file", [](auto& d) { return WriteNewFile(d.NativeSub("taken"), "written"); }, false, "moving",
       "kept"},
      {"new file at a free name", [](auto& d) { return WriteNewFile(d.NativeSub("free"), "written"); }, true, "moving",
       "written"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    dir.Write("from", "moving");
    dir.Write("taken", "kept");
    EXPECT_EQ(c.call(dir).ok(), c.ok);
    EXPECT_EQ(PathExists(dir.NativeSub("from")) ? dir.Read("from") : "", c.from);
    EXPECT_EQ(dir.Read(c.ok ? "free" : "taken"), c.to);
    EXPECT_TRUE(FlushFolder(dir.Native()).ok());
  }
}

// A run whose process id an earlier run had (ids come round) never picks a
// name that run picked: the kept copies of a release live for months.
TEST(NewNames, ARunNeverPicksANameAnEarlierRunWithItsProcessIdPicked) {
  std::set<std::string> earlier;
  for (std::uint64_t n = 1; n <= 2000; ++n) earlier.insert(TempNameFor("a.dll", TempKind::kBackup, CurrentProcessId(), n));
  std::set<std::string> ours;
  for (int i = 0; i < 2000; ++i) {
    const std::string name = NextTempName("a.dll", TempKind::kBackup);
    EXPECT_TRUE(IsUpdaterTempName(name)) << name;
    EXPECT_FALSE(earlier.count(name)) << name;
    EXPECT_TRUE(ours.insert(name).second) << name;
  }
}

}  // namespace
}  // namespace vmrk::platform
