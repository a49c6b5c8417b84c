// A release goes in whole or not at all, on real files: every failure leaves
// the installation as it was, byte for byte and time for time; a process
// killed at any moment is healed by the next start; the previous release
// comes back once.
#include "install/release_transaction.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "install/leftovers.h"
#include "platform/file_time.h"
#include "platform/files.h"
#include "tests/support/temp_dir.h"

namespace vmrk {
namespace {

namespace fs = std::filesystem;

// Every file below a folder: its bytes and modification time.
using Tree = std::map<std::string, std::pair<std::string, std::int64_t>>;

Tree Snapshot(const std::string& root, const std::string& skip = "app/update") {
  Tree tree;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
    std::string relative = fs::relative(it->path(), root).string();
    if (relative == skip) {
      it.disable_recursion_pending();
      continue;
    }
    if (!it->is_regular_file()) continue;
    Result<std::int64_t> time = platform::FileModifiedTime(it->path().string());
    EXPECT_TRUE(time.ok());
    tree[relative] = {test::ReadFileBytes(it->path().string()), time.ok() ? *time : 0};
  }
  return tree;
}

// The visible files only: a release as a user sees it.
Tree Visible(const Tree& tree) {
  Tree visible;
  for (const auto& [path, file] : tree)
    if (fs::path(path).filename().string()[0] != '.' && fs::path(path).filename() != kPreviousReleaseFile)
      visible[path] = file;
  return visible;
}

bool Immutable(const std::string& path, bool on) {
  return std::system(("chattr " + std::string(on ? "+i" : "-i") + " '" + path + "' 2>/dev/null").c_str()) == 0;
}

class ReleaseTransactionTest : public testing::Test {
 public:
  explicit ReleaseTransactionTest(const std::filesystem::path& base = {}) : dir_(base) {
    paths_ = {{dir_.Sub("app"), dir_.Sub("win"), dir_.Sub("app/vmrkxupdate")}, dir_.Sub("app/update/journal")};
    fs::create_directories(dir_.Sub("app/update"));
    fs::create_directories(dir_.Sub("win/system32"));
  }
  ~ReleaseTransactionTest() override {
    for (const std::string& path : immutable_) Immutable(path, false);
  }
  // The installed release: files below both roots, with old times.
  void InstallOld(const std::vector<std::pair<std::string, std::string>>& files) {
    for (const auto& [relative, bytes] : files) {
      std::string path = dir_.Write(relative, bytes);
      EXPECT_TRUE(platform::SetFileModifiedTime(path, 1000000000).ok());
    }
  }
  // A new release staged as the fetch leaves it: one folder per row.
  std::vector<InstallItem> Stage(const std::vector<std::pair<std::string, std::string>>& files) {
    std::vector<InstallItem> items;
    for (const auto& [location, bytes] : files) {
      InstallItem item{PlanLocation(location, paths_.install.applicationPath, paths_.install.windowsFolder), {}};
      item.staged = dir_.Write("app/update/" + std::to_string(items.size() + 1) + "/" + item.where.fileName, bytes);
      EXPECT_TRUE(platform::SetFileModifiedTime(item.staged, 1200000000).ok());
      items.push_back(std::move(item));
    }
    return items;
  }
  bool MakeImmutable(const std::string& relative) {
    if (!Immutable(dir_.Sub(relative), true)) return false;
    immutable_.push_back(dir_.Sub(relative));
    return true;
  }
  Tree Installation() { return Snapshot(dir_.path()); }

  test::TempDir dir_;
  TransactionPaths paths_;
  std::vector<std::string> immutable_;
};

const std::vector<std::pair<std::string, std::string>> kOld = {
    {"app/a.dll", "old a"}, {"app/plugins/b.dll", "old b"}, {"app/c.txt", "old c"}, {"win/system32/d.ocx", "old d"}};
const std::vector<std::pair<std::string, std::string>> kNew = {
    {"app\\a.dll", "new a"},     {"app\\plugins\\b.dll", "new b"}, {"app\\skins\\blue\\e.dat", "new e"},
    {"app\\c.txt", "new c"},     {"win\\system32\\d.ocx", "new d"}, {"app\\vmrkxupdate", "new updater"}};

// A registration program of our own that notes what it was given.
std::string FakeRegistrations(const test::TempDir& dir) {
  const std::string record = dir.Sub("registered.txt");
  std::string program = dir.Write("win/system32/regsvr32.exe", "#!/bin/sh\necho \"$1\" >> '" + record + "'\n");
  chmod(program.c_str(), 0755);
  EXPECT_TRUE(platform::SetFileModifiedTime(program, 1000000000).ok());
  return record;
}

std::string Registered(const std::string& record, size_t lines) {
  for (int i = 0; i < 200; ++i) {
    std::string text = fs::exists(record) ? test::ReadFileBytes(record) : "";
    if (static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) >= lines) return text;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return fs::exists(record) ? test::ReadFileBytes(record) : "";
}

// Each failure, at the first, a middle and the last step of its kind, puts
// everything back: the tree is the one before, nothing is left, no journal.
TEST_F(ReleaseTransactionTest, EveryFailureLeavesTheInstallationAsItWas) {
  struct Case {
    const char* name;
    std::function<bool(ReleaseTransactionTest&, std::vector<InstallItem>&)> fault;  // false: cannot be had here
    size_t failedItem;
  } cases[] = {
      {"firstRenameRefused", [](auto& t, auto&) { return t.MakeImmutable("app/a.dll"); }, 0},
      {"middleRenameRefused", [](auto& t, auto&) { return t.MakeImmutable("app/c.txt"); }, 3},
      {"lastRenameRefused", [](auto& t, auto&) { return t.MakeImmutable("win/system32/d.ocx"); }, 4},
      {"folderCannotBeMade", [](auto& t, auto&) { return t.MakeImmutable("app/skins"); }, 2},
      {"fileWhereAFolderBelongs",
       [](auto& t, auto&) {
         t.dir_.Write("app/skins/blue", "a user's file");
         return true;
       },
       2},
      {"folderWhereTheFileBelongs",
       [](auto& t, auto&) {
         fs::remove(t.dir_.Sub("app/c.txt"));
         fs::create_directories(t.dir_.Sub("app/c.txt/inner"));
         return true;
       },
       3},
      {"stagedCopyGone", [](auto&, auto& items) { return fs::remove(items[3].staged); }, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(dir_.Sub("app"));
    fs::remove_all(dir_.Sub("win"));
    fs::create_directories(dir_.Sub("app/update"));
    InstallOld(kOld);
    fs::create_directories(dir_.Sub("app/skins"));
    std::vector<InstallItem> items = Stage(kNew);
    if (!c.fault(*this, items)) {
      std::cout << "skipped " << c.name << ": chattr is not to be had here\n";
      continue;
    }
    const std::string record = FakeRegistrations(dir_);
    const Tree before = Installation();
    TransactionFailure failure;
    Status installed = InstallRelease(platform::HostFileSystem(), paths_, items, &failure);
    EXPECT_FALSE(installed.ok());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(fs::exists(record)) << "a release put back registered a component";
    EXPECT_EQ(failure.item, c.failedItem) << installed.message();
    EXPECT_FALSE(fs::exists(paths_.journal));
    EXPECT_EQ(Installation(), before) << installed.message();
    for (const std::string& path : immutable_) Immutable(path, false);
    immutable_.clear();
  }
}

TEST_F(ReleaseTransactionTest, AFullDiskDuringPreparationPutsEverythingBack) {
  InstallOld(kOld);
  const std::string win = dir_.Sub("win");
  if (getuid() != 0 || mount("tmpfs", win.c_str(), "tmpfs", 0, "size=64k") != 0)
    GTEST_SKIP() << "a small tmpfs needs root";
  struct Unmount {
    std::string at;
    ~Unmount() { umount(at.c_str()); }
  } unmount{win};
  InstallOld({{"win/system32/d.ocx", "old d"}});
  std::vector<InstallItem> items = Stage({{"app\\a.dll", "new a"}, {"win\\big.dat", std::string(200000, 'b')}});
  const Tree before = Installation();
  TransactionFailure failure;
  EXPECT_FALSE(InstallRelease(platform::HostFileSystem(), paths_, items, &failure).ok());
  EXPECT_EQ(failure.item, 1u);
  EXPECT_EQ(Installation(), before);
}

TEST_F(ReleaseTransactionTest, ACommittedReleaseIsInAndTheOldOneComesBackOnce) {
  InstallOld(kOld);
  const std::string record = FakeRegistrations(dir_);
  const Tree before = Installation();
  std::vector<InstallItem> items = Stage(kNew);
  TransactionFailure failure;
  ASSERT_TRUE(InstallRelease(platform::HostFileSystem(), paths_, items, &failure).ok());
  // The one component below the Windows folder, once the release is in.
  EXPECT_EQ(Registered(record, 1), dir_.Sub("win/system32/d.ocx") + "\n");
  fs::remove(record);
  EXPECT_FALSE(fs::exists(paths_.journal));
  EXPECT_EQ(dir_.Read("app/a.dll"), "new a");
  EXPECT_EQ(dir_.Read("app/skins/blue/e.dat"), "new e");
  EXPECT_EQ(dir_.Read("win/system32/d.ocx"), "new d");
  EXPECT_EQ(dir_.Read("app/vmrkxupdate.new"), "new updater");  // the running program is never replaced
  Result<std::int64_t> time = platform::FileModifiedTime(dir_.Sub("app/plugins/b.dll"));
  ASSERT_TRUE(time.ok());
  EXPECT_EQ(*time, 1200000000);
  EXPECT_TRUE(HasPreviousRelease(paths_.install));

  ASSERT_TRUE(RollbackRelease(platform::HostFileSystem(), paths_, &failure).ok());
  EXPECT_FALSE(failure.nothing);
  EXPECT_EQ(Registered(record, 1), dir_.Sub("win/system32/d.ocx") + "\n");  // the old one, registered again
  fs::remove(record);
  EXPECT_EQ(Installation(), before);  // and the folders the update made are gone
  EXPECT_FALSE(fs::exists(dir_.Sub("app/skins")));
  EXPECT_FALSE(RollbackRelease(platform::HostFileSystem(), paths_, &failure).ok());
  EXPECT_TRUE(failure.nothing);
  EXPECT_EQ(Installation(), before);
}

TEST_F(ReleaseTransactionTest, ASecondReleaseDropsTheFirstOnesCopies) {
  InstallOld(kOld);
  TransactionFailure failure;
  ASSERT_TRUE(InstallRelease(platform::HostFileSystem(), paths_, Stage(kNew), &failure).ok());
  fs::remove_all(dir_.Sub("app/update"));
  fs::create_directories(dir_.Sub("app/update"));
  const Tree afterFirst = Installation();
  ASSERT_TRUE(InstallRelease(platform::HostFileSystem(), paths_, Stage({{"app\\a.dll", "newer a"}}), &failure).ok());
  Tree now = Installation();
  size_t copies = 0;
  for (const auto& [path, file] : now) copies += path.find(".prev-") != std::string::npos;
  EXPECT_EQ(copies, 1u);  // only the copy of a.dll as the first release left it
  ASSERT_TRUE(RollbackRelease(platform::HostFileSystem(), paths_, &failure).ok());
  EXPECT_EQ(Visible(Installation()), Visible(afterFirst));
}

// A killed process leaves what it wrote in the system's cache, flushed or
// not: these runs take place in memory, where their 60 installations' flushes
// cost nothing.
class KilledTransactionTest : public ReleaseTransactionTest {
 public:
  KilledTransactionTest() : ReleaseTransactionTest(test::MemoryBackedBase()) {}
};

// SIGKILL at 60 moments spread over the time a whole installation of 200
// files takes, then the next start's recovery: every time the installation
// is exactly the old release or exactly the new one, and nothing is left over.
TEST_F(KilledTransactionTest, AKillAtAnyMomentIsHealedByTheNextStart) {
  std::vector<std::pair<std::string, std::string>> oldFiles, newFiles;
  for (int i = 0; i < 200; ++i) {
    const std::string name = "lib" + std::to_string(i) + ".dll";
    if (i % 4 != 0) oldFiles.push_back({"app/plugins/" + name, "old " + std::to_string(i)});
    newFiles.push_back({"app\\plugins\\" + std::string(i % 5 == 0 ? "new\\" : "") + name,
                        "new " + std::to_string(i) + std::string(static_cast<size_t>(i) * 37, 'x')});
  }
  auto reset = [&] {
    fs::remove_all(dir_.Sub("app"));
    fs::create_directories(dir_.Sub("app/update"));
    InstallOld(oldFiles);
    return Stage(newFiles);
  };
  std::vector<InstallItem> items = reset();
  const Tree oldTree = Installation();
  // Killed killAfter into its run (never, when negative); how long it ran.
  auto runOnce = [&](std::chrono::microseconds killAfter) {
    auto begun = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child == 0) {
      TransactionFailure failure;
      _exit(InstallRelease(platform::HostFileSystem(), paths_, items, &failure).ok() ? 0 : 1);
    }
    if (killAfter.count() >= 0) {
      std::this_thread::sleep_for(killAfter);
      kill(child, SIGKILL);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - begun);
  };
  std::vector<std::chrono::microseconds> whole;
  for (int i = 0; i < 3; ++i) {
    items = reset();
    whole.push_back(runOnce(std::chrono::microseconds(-1)));
  }
  std::sort(whole.begin(), whole.end());
  const Tree newTree = Visible(Installation());

  int preparing = 0, committing = 0, finished = 0;
  constexpr int kTrials = 60;
  std::chrono::microseconds estimate = whole[1];
  for (int trial = 0; trial < kTrials; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    // Its flushes take what the machine's other work makes them take: the
    // length of a whole run is measured again now and then.
    if (trial % 10 == 9) {
      items = reset();
      estimate = runOnce(std::chrono::microseconds(-1));
    }
    items = reset();
    runOnce(estimate * trial / (kTrials - 6));  // the last few after the end
    std::string journal;
    if (fs::exists(paths_.journal)) journal = test::ReadFileBytes(paths_.journal);
    // What the next start does first: recover, then sweep what is not the
    // previous release's.
    std::string log;
    Recovery recovery = RecoverInterruptedRelease(platform::HostFileSystem(), paths_, &log);
    ASSERT_NE(recovery, Recovery::kFailed) << log;
    SweepLeftovers(paths_.install.applicationPath, PreviousReleaseBackups(paths_.install));
    EXPECT_FALSE(fs::exists(paths_.journal));
    const Tree now = Installation();
    if (recovery == Recovery::kCompleted || (recovery == Recovery::kNothing && HasPreviousRelease(paths_.install))) {
      ++finished;
      EXPECT_EQ(Visible(now), newTree);
      for (const auto& [path, file] : now)  // hidden: only the previous release's copies
        if (path != kPreviousReleaseFile && fs::path(path).filename().string()[0] == '.')
          EXPECT_NE(path.find(".prev-"), std::string::npos) << path;
    } else {
      EXPECT_EQ(now, oldTree) << log;
      if (journal.find("\ncommit\n") != std::string::npos) ++committing;
      else ++preparing;
    }
  }
  std::cout << "killed while preparing " << preparing << ", while committing " << committing << ", after "
            << finished << " of " << kTrials << "\n";
  EXPECT_GE(preparing, 5);
  EXPECT_GE(committing + finished, 5);
}

}  // namespace
}  // namespace vmrk
