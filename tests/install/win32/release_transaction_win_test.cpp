// The release transaction on Windows' own file rules: a file held open with
// delete sharing (a loaded DLL) is still replaced, one held without it puts
// the whole release back, and a process killed in its commit is healed by
// the next start.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "install/release_transaction.h"
#include "platform/file_time.h"
#include "platform/files.h"
#include "platform/win32/utf16_win.h"
#include "tests/support/temp_dir.h"

namespace vmrk {
namespace {

std::string Windows(std::string p) {
  for (char& c : p)
    if (c == '/') c = '\\';
  return p;
}

// An installation of `count` files below app\plugins and a release of new
// ones staged for it, the same for the test and for its child process.
struct Release {
  explicit Release(const std::string& root, int count = 40) : root(Windows(root)) {
    paths = {{this->root + "\\app", this->root + "\\win", this->root + "\\app\\vmrkxupdate.exe"},
             this->root + "\\app\\update\\journal"};
    for (int i = 0; i < count; ++i) {
      InstallItem item{PlanLocation("app\\plugins\\p" + std::to_string(i) + ".dll", paths.install.applicationPath,
                                    paths.install.windowsFolder),
                       this->root + "\\app\\update\\" + std::to_string(i + 1) + "\\p" + std::to_string(i) + ".dll"};
      items.push_back(item);
    }
  }
  void Lay(const test::TempDir& dir) const {
    for (size_t i = 0; i < items.size(); ++i) {
      dir.Write("app/plugins/p" + std::to_string(i) + ".dll", "old " + std::to_string(i));
      dir.Write("app/update/" + std::to_string(i + 1) + "/p" + std::to_string(i) + ".dll",
                "new " + std::to_string(i) + std::string(i * 1000, 'n'));
    }
  }
  std::string Read(size_t i) const { return test::ReadFileBytes(root + "\\app\\plugins\\p" + std::to_string(i) + ".dll"); }
  std::string root;
  TransactionPaths paths;
  std::vector<InstallItem> items;
};

HANDLE Hold(const std::string& path, DWORD share) {
  return CreateFileW(platform::WidePath(path).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

TEST(ReleaseTransactionWin, AHeldFileIsReplacedWhenItMayBeDeletedAndRollsTheReleaseBackWhenNot) {
  struct Case {
    const char* name;
    DWORD share;
    bool installs;
  } cases[] = {
      {"heldLikeALoadedDll", FILE_SHARE_READ | FILE_SHARE_DELETE, true},
      {"heldWithoutSharing", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir dir;
    Release release(dir.path(), 5);
    release.Lay(dir);
    HANDLE held = Hold(release.items[3].where.target, c.share);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    TransactionFailure failure;
    Status installed = InstallRelease(platform::HostFileSystem(), release.paths, release.items, &failure);
    CloseHandle(held);
    EXPECT_EQ(installed.ok(), c.installs) << installed.message();
    for (size_t i = 0; i < 5; ++i)
      EXPECT_EQ(release.Read(i), c.installs ? "new " + std::to_string(i) + std::string(i * 1000, 'n')
                                            : "old " + std::to_string(i));
    if (!c.installs) EXPECT_EQ(failure.item, 3u);
    EXPECT_FALSE(platform::PathExists(release.paths.journal));
    Result<std::vector<platform::FolderEntry>> entries = platform::ListFolder(release.root + "\\app\\plugins");
    ASSERT_TRUE(entries.ok());
    // Installed: the old files stay as the previous release; put back: no copy left.
    EXPECT_EQ(entries->size(), c.installs ? 10u : 5u);
  }
}

TEST(ReleaseTransactionWin, AFolderWhereTheFileBelongsStaysAndTheReleaseIsRefused) {
  test::TempDir dir;
  Release release(dir.path(), 2);
  release.Lay(dir);
  DeleteFileW(platform::WidePath(release.items[1].where.target).c_str());
  dir.Write("app/plugins/p1.dll/inner/kept.txt", "the user's");
  TransactionFailure failure;
  EXPECT_FALSE(InstallRelease(platform::HostFileSystem(), release.paths, release.items, &failure).ok());
  EXPECT_EQ(failure.item, 1u);
  EXPECT_EQ(release.Read(0), "old 0");
  EXPECT_EQ(dir.Read("app/plugins/p1.dll/inner/kept.txt"), "the user's");
}

// Run by the next test in a process of its own, which it kills.
TEST(ReleaseTransactionWinChild, DISABLED_Install) {
  const char* root = std::getenv("VMRK_TRANSACTION_ROOT");
  ASSERT_NE(root, nullptr);
  Release release(root);
  TransactionFailure failure;
  EXPECT_TRUE(InstallRelease(platform::HostFileSystem(), release.paths, release.items, &failure).ok());
}

// Killed once its commit has begun, and once while it prepares: the next
// start finds the old release or the new one whole, and nothing left over.
TEST(ReleaseTransactionWin, AProcessKilledHalfWayIsHealedByTheNextStart) {
  const char* marks[] = {"commit\n", "place\t"};
  for (const char* mark : marks) {
    SCOPED_TRACE(mark);
    test::TempDir dir;
    Release release(dir.path());
    release.Lay(dir);
    SetEnvironmentVariableW(L"VMRK_TRANSACTION_ROOT", platform::Widen(release.root).c_str());
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(self) +
                           L"\" --gtest_filter=ReleaseTransactionWinChild.DISABLED_Install --gtest_also_run_disabled_tests";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child));
    bool killed = false;
    for (int i = 0; i < 20000 && WaitForSingleObject(child.hProcess, 0) == WAIT_TIMEOUT; ++i) {
      std::string journal;
      if (platform::ReadWholeFile(release.paths.journal, &journal).ok() && journal.find(mark) != std::string::npos) {
        killed = TerminateProcess(child.hProcess, 9) != 0;
        break;
      }
      Sleep(1);
    }
    WaitForSingleObject(child.hProcess, 10000);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    SetEnvironmentVariableW(L"VMRK_TRANSACTION_ROOT", nullptr);
    std::string log;
    Recovery recovery = RecoverInterruptedRelease(platform::HostFileSystem(), release.paths, &log);
    ASSERT_NE(recovery, Recovery::kFailed) << log;
    EXPECT_FALSE(platform::PathExists(release.paths.journal));
    const bool isNew = release.Read(0) != "old 0";
    for (size_t i = 0; i < release.items.size(); ++i)
      EXPECT_EQ(release.Read(i), isNew ? "new " + std::to_string(i) + std::string(i * 1000, 'n')
                                       : "old " + std::to_string(i))
          << i << (killed ? " (killed)" : " (ended by itself)");
    Result<std::vector<platform::FolderEntry>> entries = platform::ListFolder(release.root + "\\app\\plugins");
    ASSERT_TRUE(entries.ok());
    size_t hidden = 0;
    for (const platform::FolderEntry& entry : *entries) hidden += entry.name[0] == '.';
    EXPECT_EQ(hidden, isNew ? release.items.size() : 0u) << log;  // the previous release's copies, or nothing
  }
}

}  // namespace
}  // namespace vmrk
