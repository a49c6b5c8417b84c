// The Win32 layer against the real Windows API (under Wine here).
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "app/built_in_keys.h"
#include "install/leftovers.h"
#include "install/link_confinement.h"
#include "updatelist/release_manifest.h"
#include "platform/codepage.h"
#include "platform/file_identity.h"
#include "platform/file_time.h"
#include "platform/files.h"
#include "platform/settings_store.h"
#include "platform/single_instance.h"
#include "platform/win32/utf16_win.h"
#include "tests/support/temp_dir.h"

namespace vmrk::platform {
namespace {

std::string Windows(const std::string& path) {
  std::string p = path;
  for (char& c : p)
    if (c == '/') c = '\\';
  return p;
}

TEST(Win32Layer, TheKeysFileOfTheBuildIsCompiledIn) {
  // This build was configured with tests/support/built_in_test_key.pub.
  std::vector<std::string> keys = PublicKeysOfText(BuiltInKeysText());
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].size(), 65u);
  EXPECT_NE(std::string(BuiltInKeysText()).find("# A test key"), std::string::npos);
}

TEST(Win32Layer, OneFileUnderAnotherSpellingIsTheSameFile) {
  test::TempDir dir;
  std::string program = Windows(dir.Write("Updater.exe", "running"));
  std::string other = Windows(dir.Write("other.exe", "other"));
  std::string shouted = program;
  for (char& c : shouted) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(SameFile(program, shouted));
  EXPECT_TRUE(SameFile(program, Windows(dir.path()) + "\\.\\Updater.exe"));
  EXPECT_FALSE(SameFile(program, other));
  EXPECT_FALSE(SameFile(program, Windows(dir.Sub("missing.exe"))));
}

TEST(Win32Layer, AFolderLinkLeadingOutOfTheRootsIsRefused) {
  test::TempDir dir;
  const std::string app = Windows(dir.Sub("app")), win = Windows(dir.Sub("win"));
  for (const char* folder : {"app", "win", "outside", "app\\real"})
    CreateDirectoryW(Widen(Windows(dir.Sub(folder))).c_str(), nullptr);
  if (!CreateSymbolicLinkW(Widen(app + "\\sub").c_str(), Widen(Windows(dir.Sub("outside"))).c_str(),
                           SYMBOLIC_LINK_FLAG_DIRECTORY))
    GTEST_SKIP() << "no folder links here: " << LastErrorText();
  Result<std::string> resolved = ResolvedPath(app + "\\sub");
  if (!resolved.ok() || resolved->find("outside") == std::string::npos)
    GTEST_SKIP() << "this system does not resolve the link it made (Wine keeps the spelled path): "
                 << (resolved.ok() ? *resolved : resolved.status().message());
  CreateSymbolicLinkW(Widen(app + "\\inner").c_str(), Widen(app + "\\real").c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY);
  EXPECT_FALSE(vmrk::CheckFoldersStayInside(app, "\\sub\\evil.dat", {app, win}).ok());
  EXPECT_TRUE(vmrk::CheckFoldersStayInside(app, "\\inner\\ok.dat", {app, win}).ok());
  EXPECT_TRUE(vmrk::CheckFoldersStayInside(app, "\\new\\deeper\\ok.dat", {app, win}).ok());
}

TEST(Win32Layer, ALeftoverStillInUseStaysForTheNextStart) {
  test::TempDir dir;
  std::string aside = Windows(dir.Write(".vmrPlayer.exe.old-7-1", "old player, still running"));
  HANDLE held = CreateFileW(Widen(aside).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(SweepLeftovers(Windows(dir.path())), 0u);
  EXPECT_TRUE(PathExists(aside));
  CloseHandle(held);
  EXPECT_EQ(SweepLeftovers(Windows(dir.path())), 1u);
  EXPECT_FALSE(PathExists(aside));
}

// What callers act on: a missing file, a file another program holds.
TEST(Win32Layer, EachFailureSaysItsKind) {
  test::TempDir dir;
  const std::string held = Windows(dir.Write("held.dll", "in use"));
  HANDLE handle = CreateFileW(Widen(held).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  std::string bytes;
  Status missing = ReadWholeFile(Windows(dir.Sub("missing")), &bytes);
  Status inUse = ReadWholeFile(held, &bytes);
  Status removeInUse = RemoveFile(held);
  CloseHandle(handle);
  EXPECT_EQ(missing.kind(), Status::Kind::kNotFound) << missing.message();
  EXPECT_EQ(inUse.kind(), Status::Kind::kRefused) << inUse.message();
  EXPECT_EQ(removeInUse.kind(), Status::Kind::kRefused) << removeInUse.message();
}

TEST(Win32Layer, RegistryRoundTripUnderTheClassicKey) {
  auto store = OpenUserSettings();
  const std::string app = "vmrk-test-" + std::to_string(GetCurrentProcessId());
  EXPECT_EQ(store->Read(app, "vmrmovie", "maintimer", "0"), "0");
  ASSERT_TRUE(store->Write(app, "vmrmovie", "maintimer", "1").ok());
  EXPECT_EQ(store->Read(app, "vmrmovie", "maintimer", "0"), "1");
  ASSERT_TRUE(store->Write(app, "vmrmovie", "maintimer", "1 ").ok());
  EXPECT_EQ(store->Read(app, "vmrmovie", "maintimer", "0"), "1 ");
  wchar_t value[16];
  DWORD bytes = sizeof value;
  std::wstring key = L"Software\\VB and VBA Program Settings\\" + Widen(app) + L"\\vmrmovie";
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, key.c_str(), L"maintimer", RRF_RT_REG_SZ, nullptr, value, &bytes),
            ERROR_SUCCESS);
  EXPECT_EQ(std::wstring(value), L"1 ");
  RegDeleteTreeW(HKEY_CURRENT_USER, (L"Software\\VB and VBA Program Settings\\" + Widen(app)).c_str());
}

TEST(Win32Layer, OneInstanceLockPerName) {
  const std::string name = "vmrk-test-lock-" + std::to_string(GetCurrentProcessId());
  auto first = CreateInstanceLock(name);
  auto second = CreateInstanceLock(name);
  EXPECT_FALSE(first->AnotherInstanceRunning());
  EXPECT_TRUE(second->AnotherInstanceRunning());
  first.reset();
  EXPECT_FALSE(second->AnotherInstanceRunning());
}

TEST(Win32Layer, FileExistsRuleForHiddenSystemAndFolders) {
  test::TempDir dir;
  std::string plain = Windows(dir.Write("a.dll", "x"));
  std::string hidden = Windows(dir.Write("h.dll", "x"));
  std::string system = Windows(dir.Write("s.dll", "x"));
  ASSERT_TRUE(SetFileAttributesW(Widen(hidden).c_str(), FILE_ATTRIBUTE_HIDDEN));
  ASSERT_TRUE(SetFileAttributesW(Widen(system).c_str(), FILE_ATTRIBUTE_SYSTEM));
  EXPECT_TRUE(IsVisibleFile(plain));
  EXPECT_FALSE(IsVisibleFile(hidden));
  EXPECT_FALSE(IsVisibleFile(system));
  EXPECT_FALSE(IsVisibleFile(Windows(dir.path())));
  EXPECT_TRUE(IsVisibleEntry(Windows(dir.path())));
  EXPECT_FALSE(IsVisibleFile("Q:\\no\\such\\drive.dll"));
  EXPECT_FALSE(IsVisibleFile("C:\\bad<name>.dll"));
}

TEST(Win32Layer, SetFileTimeChangesOnlyTheLastWriteTime) {
  test::TempDir dir;
  std::string path = Windows(dir.Write("t.dll", "x"));
  HANDLE file = CreateFileW(Widen(path).c_str(), FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  FILETIME old{0x12345678, 0x01C00000};
  ASSERT_TRUE(SetFileTime(file, &old, &old, &old));
  CloseHandle(file);
  // What the file system keeps of them (a Linux file system under Wine keeps
  // no creation time of its own) must be the same before and after.
  WIN32_FILE_ATTRIBUTE_DATA before, after;
  ASSERT_TRUE(GetFileAttributesExW(Widen(path).c_str(), GetFileExInfoStandard, &before));
  ASSERT_TRUE(SetFileModifiedTime(path, 1210573805).ok());
  ASSERT_TRUE(GetFileAttributesExW(Widen(path).c_str(), GetFileExInfoStandard, &after));
  // Wine on a Linux file system reports the inode's change time as the
  // creation time, which any change of the file moves; Windows keeps it.
  if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr)
    EXPECT_EQ(after.ftCreationTime.dwLowDateTime, before.ftCreationTime.dwLowDateTime);
  EXPECT_EQ(after.ftLastAccessTime.dwLowDateTime, before.ftLastAccessTime.dwLowDateTime);
  EXPECT_EQ(after.ftLastAccessTime.dwLowDateTime, old.dwLowDateTime);
  Result<std::int64_t> written = FileModifiedTime(path);
  ASSERT_TRUE(written.ok());
  EXPECT_EQ(*written, 1210573805);
}

TEST(Win32Layer, GbkThroughTheSystemsCodePages) {
  std::string text;
  ASSERT_TRUE(DecodeCodePage(936, "\xC6\xA4\xB7\xF4", &text));
  EXPECT_EQ(text, "皮肤");
  std::string bytes;
  ASSERT_TRUE(EncodeCodePage(936, "皮肤", &bytes));
  EXPECT_EQ(bytes, "\xC6\xA4\xB7\xF4");
  EXPECT_FALSE(EncodeCodePage(936, "\xF0\x9F\x98\x80", &bytes));
}

struct LongPathCase {
  const char* name;
  friend void PrintTo(const LongPathCase& c, std::ostream* os) { *os << c.name; }
  std::wstring path, wide, plain;  // plain: the wide form without its prefix
};

class WidePathTest : public testing::TestWithParam<LongPathCase> {};

TEST_P(WidePathTest, LongPathsTakeTheExtendedFormAndComeBackFromIt) {
  EXPECT_EQ(WidePath(Narrow(GetParam().path)), GetParam().wide);
  EXPECT_EQ(WithoutLongPrefix(GetParam().wide), GetParam().plain);
}

const std::wstring kLong(250, L'长');
INSTANTIATE_TEST_SUITE_P(
    Forms, WidePathTest,
    testing::Values(LongPathCase{"shortStaysAsItIs", L"C:\\app\\a.dll", L"C:\\app\\a.dll", L"C:\\app\\a.dll"},
                    LongPathCase{"longOnADrive", L"C:\\" + kLong, L"\\\\?\\C:\\" + kLong, L"C:\\" + kLong},
                    LongPathCase{"longWithSlashes", L"C:\\" + kLong + L"/x.dll", L"\\\\?\\C:\\" + kLong + L"\\x.dll",
                                 L"C:\\" + kLong + L"\\x.dll"},
                    LongPathCase{"longOnAShare", L"\\\\server\\share\\" + kLong,
                                 L"\\\\?\\UNC\\server\\share\\" + kLong, L"\\\\server\\share\\" + kLong},
                    LongPathCase{"alreadyExtended", L"\\\\?\\C:\\" + kLong, L"\\\\?\\C:\\" + kLong,
                                 L"C:\\" + kLong}),
    [](const testing::TestParamInfo<LongPathCase>& info) { return std::string(info.param.name); });

// 300 characters and more, below the test's folder: every file operation of
// an installation works there.
TEST(Win32Layer, FilesBelowAFolderOfOver300CharactersAreInstalledAndStamped) {
  test::TempDir dir;
  std::string folder = Windows(dir.path());
  for (int i = 0; i < 5; ++i) {
    folder += "\\长路径文件夹测试" + std::string(60, 'x');
    ASSERT_TRUE(CreateFolder(folder).ok()) << folder;
  }
  ASSERT_GT(Widen(folder).size(), 300u);
  std::string staged = Windows(dir.Write("update/组件.dll", "new"));
  std::string target = folder + "\\组件.dll";
  ASSERT_TRUE(WriteFileAtomically(target, "old").ok());
  EXPECT_TRUE(IsVisibleFile(target));
  // As the release transaction does it: placed beside, the old one aside, the new one in.
  const std::string placed = folder + "\\.组件.dll.vmrk-1-1";
  ASSERT_TRUE(PlaceFile(staged, placed, target).ok());
  ASSERT_TRUE(FlushToDisk({placed}).ok());
  const std::string backup = folder + "\\.组件.dll.prev-1-1";
  ASSERT_TRUE(RenameReplacing(target, backup).ok());
  ASSERT_TRUE(RenameReplacing(placed, target).ok());
  EXPECT_TRUE(RemoveFile(backup).ok());
  ASSERT_TRUE(SetFileModifiedTime(target, 1210573805).ok());
  Result<std::int64_t> written = FileModifiedTime(target);
  ASSERT_TRUE(written.ok());
  EXPECT_EQ(*written, 1210573805);
  std::string bytes;
  ASSERT_TRUE(ReadWholeFile(target, &bytes).ok());
  EXPECT_EQ(bytes, "new");
  // An installed file staged under another name is the file itself: its
  // time given there is the installed file's.
  const std::string linked = Windows(dir.path()) + "\\update\\1-组件.dll";
  ASSERT_TRUE(LinkOrCopy(target, linked).ok());
  ASSERT_TRUE(SetFileModifiedTime(linked, 1210600000).ok());
  written = FileModifiedTime(target);
  ASSERT_TRUE(written.ok());
  EXPECT_EQ(*written, 1210600000);
  ASSERT_TRUE(RemoveFile(linked).ok());
  ASSERT_TRUE(ReadWholeFile(target, &bytes).ok());
  EXPECT_EQ(bytes, "new");
  Result<std::vector<FolderEntry>> entries = ListFolder(folder);
  ASSERT_TRUE(entries.ok());
  EXPECT_EQ(entries->size(), 1u);
  EXPECT_TRUE(RemoveFile(target).ok());
}

TEST(Win32Layer, PathsAndNames) {
  EXPECT_EQ(PathSeparator(), '\\');
  EXPECT_EQ(UpdaterProgramName(), "vmrkxupdate.exe");
  EXPECT_EQ(SideFileName(), "vmrkxupdate.exe.new");
  std::string app = ApplicationPath();
  ASSERT_FALSE(app.empty());
  EXPECT_NE(app.back(), '\\');
  EXPECT_EQ(ExecutablePath().substr(0, app.size()), app);
  std::string windows = WindowsFolder();
  ASSERT_FALSE(windows.empty());
  EXPECT_NE(windows.back(), '\\');
  EXPECT_EQ(windows, WindowsFolder());
  EXPECT_EQ(ReleaseRoot(), "e:\\vmrsoft\\");
}

}  // namespace
}  // namespace vmrk::platform

namespace vmrk::platform {
namespace {

// The shipped program's resources, read from the built exe beside this
// suite's folder: one language (Simplified Chinese, as the version block),
// and a manifest that names Windows 7 to 11.
TEST(Win32Resources, OneLanguageAndTheSupportedSystems) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring exe = self;
  exe = exe.substr(0, exe.find_last_of(L'\\'));
  exe = exe.substr(0, exe.find_last_of(L'\\')) + L"\\vmrkxupdate.exe";
  HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(module, nullptr) << Narrow(exe);
  const WORD chinese = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);
  for (LPCWSTR type : {RT_MANIFEST, RT_GROUP_ICON, RT_VERSION}) {
    std::vector<WORD> languages;
    EnumResourceLanguagesW(
        module, type, type == RT_MANIFEST ? MAKEINTRESOURCEW(1) : MAKEINTRESOURCEW(1),
        [](HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR found) -> BOOL {
          reinterpret_cast<std::vector<WORD>*>(found)->push_back(language);
          return TRUE;
        },
        reinterpret_cast<LONG_PTR>(&languages));
    EXPECT_EQ(languages, std::vector<WORD>{chinese}) << reinterpret_cast<uintptr_t>(type);
  }
  HRSRC found = FindResourceExW(module, RT_MANIFEST, MAKEINTRESOURCEW(1), chinese);
  ASSERT_NE(found, nullptr);
  std::string manifest(static_cast<const char*>(LockResource(LoadResource(module, found))), SizeofResource(module, found));
  for (const char* os : {"35138b9a-5d96-4fbd-8e2d-a2440225f93a", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
                         "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"})
    EXPECT_NE(manifest.find(os), std::string::npos) << os;
  FreeLibrary(module);
}

}  // namespace
}  // namespace vmrk::platform
