// The release transaction at every one of its calls to the disk: refused
// there, killed there (and its recovery killed at each of its own calls),
// and the power cut there with every subset of the changes not yet durable
// kept. Whatever happened, the next start's recovery and sweep leave exactly
// the old or the new release, byte and time for time, nothing beside it, and
// a previous-release record whose copies are all there.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>
#include <random>

#include "install/leftovers.h"
#include "install/release_transaction.h"
#include "install/transaction_records.h"
#include "platform/file_time.h"
#include "platform/files.h"
#include "tests/support/simulated_disk.h"
#include "tests/support/temp_dir.h"

namespace vmrk {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::pair<std::string, std::int64_t>>;

// One spelling for the paths the folder walk gives and those the
// transaction writes (Windows accepts both separators, and mixes them).
std::string Norm(std::string path) {
  for (char& c : path)
    if (c == '\\') c = '/';
  return path;
}

// What a user and the next update see: the files and folders outside the
// staging folder, the hidden copies apart, and the previous release.
struct View {
  Files files;                      // visible files, with bytes and time
  std::set<std::string> folders;
  std::map<std::string, std::string> hidden;  // hidden files and their bytes
  std::string record;               // vmrkxupdate.previous ("" when none)
  bool journal = false;
};

class CrashRelease {
 public:
  enum Kind { kInstall, kRollback };
  CrashRelease(Kind kind, int extraFiles) : kind_(kind) {
    paths_ = {{dir_.Sub("app"), dir_.Sub("win"), dir_.Sub("app/vmrkxupdate")}, dir_.Sub("app/update/journal")};
    fs::create_directories(dir_.Sub("app/update"));
    fs::create_directories(dir_.Sub("win/system32"));
    for (const auto& [path, bytes] : std::vector<std::pair<std::string, std::string>>{
             {"app/a.dll", "a 0"}, {"app/c.txt", "c 0"}, {"win/system32/d.ocx", "d 0"}})
      Lay(path, bytes, 1000000000);
    // Release 1 over release 0, so that a previous release is kept.
    Install({{"app\\a.dll", "a 1"}, {"app\\c.txt", "c 1"}}, 1100000000);
    std::vector<std::pair<std::string, std::string>> second = {{"app\\a.dll", "a 2"},
                                                                {"app\\skins\\blue\\e.dat", "e 2"},
                                                                {"win\\system32\\d.ocx", "d 2"},
                                                                {"app\\vmrkxupdate", "updater 2"}};
    for (int i = 0; i < extraFiles; ++i)
      second.push_back({"app\\plugins\\" + std::string(i % 2 ? "new\\" : "") + "p" + std::to_string(i) + ".dll",
                        "p " + std::to_string(i)});
    if (kind == kRollback) Install(second, 1200000000);
    else items_ = Stage(second, 1200000000);
  }

  // Runs the transaction under test on fs; true when it says it succeeded.
  bool Run(platform::FileSystem& fs, TransactionFailure* failure) {
    return (kind_ == kInstall ? InstallRelease(fs, paths_, items_, failure) : RollbackRelease(fs, paths_, failure))
        .ok();
  }
  Recovery Recover(platform::FileSystem& fs, std::string* log) { return RecoverInterruptedRelease(fs, paths_, log); }
  // The next start, as the updater makes it: recovery, then the sweep.
  Recovery Restart(platform::FileSystem& fs, std::string* log) {
    Recovery recovery = RecoverInterruptedRelease(fs, paths_, log);
    if (recovery != Recovery::kFailed) SweepLeftovers(paths_.install.applicationPath, PreviousReleaseBackups(paths_.install));
    return recovery;
  }

  View Look() const {
    View view;
    for (auto it = fs::recursive_directory_iterator(dir_.path()); it != fs::recursive_directory_iterator(); ++it) {
      const std::string path = Norm(test::Utf8Of(it->path()));
      if (path == Norm(dir_.Sub("app/update"))) {
        view.journal = fs::exists(paths_.journal);
        it.disable_recursion_pending();
        continue;
      }
      if (it->is_directory()) {
        view.folders.insert(path);
        continue;
      }
      const std::string name = test::Utf8Of(it->path().filename());
      if (name == kPreviousReleaseFile) view.record = test::ReadFileBytes(path);
      else if (name[0] == '.') view.hidden[path] = test::ReadFileBytes(path);
      else {
        Result<std::int64_t> time = platform::FileModifiedTime(path);
        EXPECT_TRUE(time.ok());
        view.files[path] = {test::ReadFileBytes(path), time.ok() ? *time : 0};
      }
    }
    return view;
  }

  const std::string& root() const { return dir_.path(); }
  std::string Sub(const std::string& relative) const { return dir_.Sub(relative); }

 private:
  void Lay(const std::string& relative, const std::string& bytes, std::int64_t time) {
    EXPECT_TRUE(platform::SetFileModifiedTime(dir_.Write(relative, bytes), time).ok());
  }
  std::vector<InstallItem> Stage(const std::vector<std::pair<std::string, std::string>>& files, std::int64_t time) {
    std::vector<InstallItem> items;
    for (const auto& [location, bytes] : files) {
      InstallItem item{PlanLocation(location, paths_.install.applicationPath, paths_.install.windowsFolder), {}};
      item.staged = dir_.Write("app/update/" + std::to_string(items.size() + 1) + "/" + item.where.fileName, bytes);
      EXPECT_TRUE(platform::SetFileModifiedTime(item.staged, time).ok());
      items.push_back(std::move(item));
    }
    return items;
  }
  void Install(const std::vector<std::pair<std::string, std::string>>& files, std::int64_t time) {
    TransactionFailure failure;
    Status installed = InstallRelease(platform::HostFileSystem(), paths_, Stage(files, time), &failure);
    ASSERT_TRUE(installed.ok()) << installed.message();
  }

  Kind kind_;
  // Thousands of trees laid without a flush: in memory, where their dirty
  // pages slow no real flush of the tests beside them.
  test::TempDir dir_{test::MemoryBackedBase()};
  TransactionPaths paths_;
  std::vector<InstallItem> items_;
};

// The record as a transaction reads it: nothing when there is none.
PreviousRelease RecordOf(const std::string& text) {
  Result<PreviousRelease> record = ParsePreviousRelease(text);
  return record.ok() ? std::move(record).value() : PreviousRelease{};
}

// The tree is the old release or the new one, whole, with the record of its
// own previous release and no other copy; the journal is gone.
void ExpectWhole(const View& now, const View& before, const View& after, const std::string& how) {
  SCOPED_TRACE(how);
  EXPECT_FALSE(now.journal);
  const PreviousRelease record = RecordOf(now.record);
  // A copy that could not be removed is named, and keeps its folders.
  auto foldersOf = [&](const View& view) {
    std::set<std::string> folders = view.folders;
    for (const std::string& copy : record.dropped)
      for (fs::path folder = fs::path(Norm(copy)).parent_path(); folder.has_relative_path();
           folder = folder.parent_path())
        folders.erase(Norm(test::Utf8Of(folder)));
    return folders;
  };
  const bool old = now.files == before.files && foldersOf(now) == foldersOf(before);
  const bool whole = now.files == after.files && foldersOf(now) == foldersOf(after);
  ASSERT_TRUE(old || whole) << "neither release";
  const View& expected = old ? before : after;
  const PreviousRelease expectedRecord = RecordOf(expected.record);
  EXPECT_EQ(record.restorable(), expectedRecord.restorable());
  // Every copy beside the release is one the record names: kept, or let go
  // and still to be removed by the next transaction.
  std::set<std::string> named;
  for (const std::string& copy : record.dropped) named.insert(Norm(copy));
  for (const PreviousRelease::Replaced& r : record.replaced) named.insert(Norm(r.backup));
  for (const auto& [path, bytes] : now.hidden) EXPECT_TRUE(named.count(path)) << "a copy beside the release: " << path;
  ASSERT_EQ(record.replaced.size(), expectedRecord.replaced.size());
  for (size_t i = 0; i < record.replaced.size(); ++i) {
    EXPECT_EQ(record.replaced[i].target, expectedRecord.replaced[i].target);
    auto copy = now.hidden.find(Norm(record.replaced[i].backup));
    ASSERT_NE(copy, now.hidden.end()) << "the record names a copy that is gone: " << record.replaced[i].backup;
    EXPECT_EQ(copy->second, expected.hidden.at(Norm(expectedRecord.replaced[i].backup)));
  }
  EXPECT_EQ(record.added, expectedRecord.added);
  EXPECT_EQ(record.made, expectedRecord.made);
}

struct CrashCase {
  const char* name;
  CrashRelease::Kind kind;
  int extraFiles;
  size_t subsetsPerCut;  // all subsets up to this many, else this many drawn
};

class Faults : public testing::TestWithParam<CrashCase> {
 protected:
  Faults() : release_(GetParam().kind, GetParam().extraFiles), disk_(release_.root()) {
    disk_.AddVolume(release_.Sub("win"));
    start_ = disk_.Save();
    before_ = release_.Look();
    TransactionFailure failure;
    disk_.StopAt(0);
    EXPECT_TRUE(release_.Run(disk_, &failure));
    calls_ = disk_.calls();
    callNames_ = disk_.callNames();
    after_ = release_.Look();
  }
  // The transaction from the start, stopped before its call n.
  void StopAt(size_t n) {
    disk_.Load(start_);
    disk_.StopAt(n);
    TransactionFailure failure;
    bool stopped = false;
    try {
      release_.Run(disk_, &failure);
    } catch (const test::ProcessStopped&) {
      stopped = true;
    }
    disk_.StopAt(0);
    EXPECT_EQ(stopped, n <= calls_);
  }
  void ExpectHealed(const std::string& how) {
    std::string log;
    ASSERT_NE(release_.Restart(disk_, &log), Recovery::kFailed) << how << ": " << log;
    ExpectWhole(release_.Look(), before_, after_, how);
  }
  std::vector<std::uint64_t> Subsets(size_t pending, std::mt19937_64& random) const {
    std::vector<std::uint64_t> masks;
    const size_t most = GetParam().subsetsPerCut;
    if (pending < 63 && (std::uint64_t{1} << pending) <= most) {
      for (std::uint64_t mask = 0; mask < (std::uint64_t{1} << pending); ++mask) masks.push_back(mask);
    } else {
      for (size_t i = 0; i < most; ++i) masks.push_back(random());
    }
    return masks;
  }
  std::string At(size_t n) const {
    return "call " + std::to_string(n) + " (" + (n <= callNames_.size() ? callNames_[n - 1] : "after the end") + ")";
  }

  CrashRelease release_;
  test::SimulatedDisk disk_;
  test::SimulatedDisk::State start_;
  View before_, after_;
  size_t calls_ = 0;
  std::vector<std::string> callNames_;
};

using CrashPoint = Faults;
using PowerCut = Faults;

TEST_P(CrashPoint, EveryCallRefusedLeavesOneReleaseOrTheOther) {
  ASSERT_GT(calls_, 10u);
  for (size_t n = 1; n <= calls_; ++n) {
    disk_.Load(start_);
    disk_.FailAt(n);
    TransactionFailure failure;
    const bool ok = release_.Run(disk_, &failure);
    disk_.FailAt(0);
    // One refused step is undone by the run itself; a refusal after the
    // commit leaves the rest to the next start.
    if (!ok) {
      EXPECT_TRUE(failure.undone) << At(n);
      const View now = release_.Look();
      EXPECT_EQ(now.files, before_.files) << At(n);
      EXPECT_FALSE(now.journal) << At(n);
    }
    ExpectHealed("refused at " + At(n));
  }
}

TEST_P(CrashPoint, KilledAtEveryCallAndThenAtEveryCallOfItsRecovery) {
  size_t recoveries = 0;
  for (size_t n = 1; n <= calls_ + 1; ++n) {
    StopAt(n);
    const test::SimulatedDisk::State killed = disk_.Save();
    std::string log;
    release_.Recover(disk_, &log);
    const size_t recoveryCalls = disk_.calls();
    ExpectHealed("killed at " + At(n));
    for (size_t m = 1; m <= recoveryCalls; ++m) {
      disk_.Load(killed);
      disk_.StopAt(m);
      EXPECT_THROW(release_.Recover(disk_, &log), test::ProcessStopped);
      disk_.StopAt(0);
      ExpectHealed("killed at " + At(n) + ", its recovery killed at its call " + std::to_string(m));
      ++recoveries;
    }
  }
  std::cout << calls_ << " calls; " << recoveries << " recoveries killed part way\n";
  EXPECT_GT(recoveries, 10u);
}

TEST_P(PowerCut, AtEveryCallWithWhatAnyOrderOfWritesKept) {
  std::mt19937_64 random(7);
  size_t images = 0, mostPending = 0;
  for (size_t n = 1; n <= calls_ + 1; ++n) {
    StopAt(n);
    const test::SimulatedDisk::State cut = disk_.Save();
    mostPending = std::max(mostPending, disk_.pending());
    for (std::uint64_t keep : Subsets(disk_.pending(), random)) {
      disk_.Load(cut);
      disk_.Restart(keep);
      ExpectHealed("power cut at " + At(n) + " keeping " + std::to_string(keep));
      if (HasFailure()) return;
      ++images;
    }
  }
  std::cout << calls_ << " calls, at most " << mostPending << " changes pending, " << images << " images\n";
  // Every subset where there are few, else a sample of at least a thousand.
  if ((std::uint64_t{1} << std::min<size_t>(mostPending, 63)) > GetParam().subsetsPerCut) EXPECT_GE(images, 1000u);
}

// The recovery of a killed run has barriers of its own: the power cut while
// it works (any subset of its own changes, and of the killed run's) leaves
// what one more start puts right.
TEST_P(PowerCut, DuringTheRecoveryOfAKilledRun) {
  std::mt19937_64 random(11);
  size_t images = 0;
  // Every call of a small release; a sample of a larger one's.
  const size_t stride = GetParam().extraFiles > 0 ? 5 : 1;
  for (size_t n = 1; n <= calls_; n += stride) {
    StopAt(n);
    const test::SimulatedDisk::State killed = disk_.Save();
    std::string log;
    release_.Recover(disk_, &log);
    const size_t recoveryCalls = disk_.calls();
    for (size_t m = 1; m <= recoveryCalls; ++m) {
      disk_.Load(killed);
      disk_.StopAt(m);
      EXPECT_THROW(release_.Recover(disk_, &log), test::ProcessStopped);
      disk_.StopAt(0);
      const test::SimulatedDisk::State cut = disk_.Save();
      for (int i = 0; i < 8; ++i) {
        disk_.Load(cut);
        disk_.Restart(random());
        ExpectHealed("killed at " + At(n) + ", power cut at its recovery's call " + std::to_string(m));
        if (HasFailure()) return;
        ++images;
      }
    }
  }
  EXPECT_GT(images, 50u);
}

const CrashCase kCrashCases[] = {
    {"Install", CrashRelease::kInstall, 0, 1024},
    {"Rollback", CrashRelease::kRollback, 0, 1024},
    {"InstallOfFourteenFiles", CrashRelease::kInstall, 10, 40},
};
INSTANTIATE_TEST_SUITE_P(Transactions, CrashPoint, testing::ValuesIn(kCrashCases),
                         [](const testing::TestParamInfo<CrashCase>& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Transactions, PowerCut, testing::ValuesIn(kCrashCases),
                         [](const testing::TestParamInfo<CrashCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vmrk
