// The real updater executable in a temporary application folder, against
// nginx on loopback, its window under Xvfb clicked with xdotool like a user
// would, and the result checked on disk.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "listgen/release_objects_writer.h"
#include "listgen/release_signing.h"
#include "platform/civil_time.h"
#include "platform/crypto.h"
#include "platform/file_time.h"
#include "tests/support/loopback_server.h"
#include "tests/support/nginx_server.h"
#include "tests/support/process.h"
#include "tests/support/release_writer.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_certificates.h"
#include "tests/support/test_keys.h"
#include "updatelist/document_loader.h"
#include "updatelist/hex_base64.h"
#include "updatelist/list_date.h"
#include "updatelist/rtf_writer.h"

namespace vmrk {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr platform::CivilTime kListed{2008, 5, 12, 14, 30, 5};
const char kPlayer[] = "#!/bin/sh\necho started > \"$(dirname \"$0\")/player-started.txt\"\n";

bool WaitFor(const std::function<bool()>& condition, int ms) {
  auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

struct File {
  std::string location;
  std::string content;
  std::string listedSize = "";
};

std::vector<test::ReleaseFile> Listed(const std::vector<File>& files) {
  std::vector<test::ReleaseFile> release;
  for (const File& f : files) release.push_back({f.location, f.content, kListed, f.listedSize});
  return release;
}

class UpdateE2ETest : public testing::Test {
 protected:
  UpdateE2ETest() {
    fs::copy_file(VMRK_UPDATER_EXE, app_.Sub("vmrkxupdate"));
    fs::permissions(app_.Sub("vmrkxupdate"), fs::perms::owner_all);
    std::string player = app_.Write("vmrPlayer", "#!/bin/sh\nexit 0\n");
    chmod(player.c_str(), 0755);
    EXPECT_TRUE(platform::SetFileModifiedTime(player, *platform::LocalToUnixSeconds({2000, 1, 1, 0, 0, 0})).ok());
    env_ = {{"DISPLAY", x_.display()},      {"XDG_CONFIG_HOME", config_.path()},
            {"XDG_RUNTIME_DIR", runtime_.path()}, {"WINDIR", windows_.path()},
            {"QT_QPA_PLATFORM", "xcb"}};
  }

  void Publish(const std::vector<File>& files) { test::WriteRelease(release_, Listed(files)); }

  void Start(const std::string& hostPort) {
    app_.Write("myip.txt", "seip:" + hostPort + "\r\n");
    if (launcher_.empty()) {
      updater_ = std::make_unique<test::Process>(app_.Sub("vmrkxupdate"), std::vector<std::string>{}, env_);
    } else {
      std::vector<std::string> arguments(launcher_.begin() + 1, launcher_.end());
      arguments.push_back(app_.Sub("vmrkxupdate"));
      updater_ = std::make_unique<test::Process>(launcher_[0], arguments, env_);
    }
    ASSERT_TRUE(WaitFor([&] { return !WindowId().empty(); }, 15000)) << "no window\n" << Diagnosis();
  }

  // Where the updater's processes wait, and what it logged: enough to tell a
  // slow start from a hang when a run on a loaded machine fails.
  std::string Diagnosis() {
    std::string processes = test::RunAndCapture(
        {"ps", "-o", "pid,stat,wchan:32,etime,args", "-g", std::to_string(updater_->pid())}, env_);
    std::string log = fs::exists(app_.Sub("vmrkxupdate.log")) ? app_.Read("vmrkxupdate.log") : "(no log)";
    return "processes:\n" + processes + "log:\n" + log;
  }

  std::string WindowId() {
    std::string out = test::RunAndCapture({"xdotool", "search", "--name", "Vmr播放器 - 在线升级"}, env_);
    return out.substr(0, out.find('\n'));
  }

  // A click at a point of the window given in twips, scaled to its size.
  void ClickAt(int leftTwips, int topTwips) {
    std::string id = WindowId();
    if (id.empty()) return;
    std::string geometry = test::RunAndCapture({"xdotool", "getwindowgeometry", "--shell", id}, env_);
    auto value = [&](const std::string& key) {
      size_t at = geometry.find(key + "=");
      return at == std::string::npos ? 0 : std::stoi(geometry.substr(at + key.size() + 1));
    };
    int x = value("WIDTH") * leftTwips / 9615, y = value("HEIGHT") * topTwips / 6135;
    test::RunAndCapture({"xdotool", "mousemove", "--window", id, std::to_string(x), std::to_string(y), "click", "1"},
                        env_);
  }
  void ClickMainButton() { ClickAt(2160 + 1335 / 2, 5505 + 390 / 2); }

  // Clicks the main button until the condition holds: a disabled button
  // ignores clicks, so early ones are harmless.
  bool ClickMainButtonUntil(const std::function<bool()>& condition, int ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
      if (Clock::now() > deadline) return false;
      ClickMainButton();
      WaitFor(condition, 400);
    }
    return true;
  }

  bool Exited() { return !updater_->Running(); }
  std::int64_t TimeOf(const std::string& path) {
    Result<std::int64_t> t = platform::FileModifiedTime(path);
    EXPECT_TRUE(t.ok());
    return t.ok() ? *t : 0;
  }
  bool RequestedFile(const std::vector<std::string>& requests, const std::string& path) {
    for (const std::string& r : requests)
      if (r == "GET " + path) return true;
    return false;
  }

  test::TempDir app_, release_, windows_, config_, runtime_;
  test::XvfbDisplay x_;
  test::Environment env_;
  std::unique_ptr<test::Process> updater_;
  std::vector<std::string> launcher_;  // a program that execs the updater, its path last
};

TEST_F(UpdateE2ETest, WholeUpdateFromNextToFinish) {
  Publish({{"app\\vmrPlayer", kPlayer},
           {"app\\plugins\\skins\\blue.dat", std::string(64 * 1024, 'b')},
           {"app\\皮肤\\默认.dat", "默认皮肤"},
           {"app\\empty.dat", ""},
           {"app\\uptodate.txt", "server copy"},
           {"win\\system32\\vmrcodec.dll", "MZ codec"},
           {"app\\vmrkxupdate", "new updater"}});
  app_.Write("uptodate.txt", "installed after the list was written");

  // The updater's own program is older than the list, so it is offered.
  EXPECT_TRUE(platform::SetFileModifiedTime(app_.Sub("vmrkxupdate"), *platform::LocalToUnixSeconds({2000, 1, 1, 0, 0, 0})).ok());
  test::NginxServer nginx(release_.path());
  Start(nginx.HostPort());

  // Next once the list is checked, then Finish once the last file is in: the
  // player starts and the updater ends. The button ignores clicks between.
  ASSERT_TRUE(ClickMainButtonUntil([&] { return Exited(); }, 60000));
  EXPECT_EQ(updater_->WaitExit(1000), 0);
  ASSERT_TRUE(WaitFor([&] { return fs::exists(app_.Sub("player-started.txt")); }, 5000));

  EXPECT_EQ(app_.Read("vmrPlayer"), kPlayer);
  EXPECT_EQ(app_.Read("plugins/skins/blue.dat"), std::string(64 * 1024, 'b'));
  EXPECT_EQ(app_.Read("皮肤/默认.dat"), "默认皮肤");
  EXPECT_EQ(app_.Read("empty.dat"), "");
  EXPECT_EQ(app_.Read("uptodate.txt"), "installed after the list was written");
  EXPECT_EQ(windows_.Read("system32/vmrcodec.dll"), "MZ codec");
  EXPECT_EQ(app_.Read("vmrkxupdate.new"), "new updater");
  EXPECT_NE(app_.Read("vmrkxupdate"), "new updater");
  const std::int64_t listed = *platform::LocalToUnixSeconds(kListed);
  EXPECT_EQ(TimeOf(app_.Sub("皮肤/默认.dat")), listed);
  EXPECT_EQ(TimeOf(windows_.Sub("system32/vmrcodec.dll")), listed);
  EXPECT_EQ(TimeOf(app_.Sub("vmrPlayer")), listed);
  EXPECT_TRUE(fs::is_empty(app_.Sub("update")));
  EXPECT_FALSE(fs::exists(app_.Sub("list.txt")));
  auto requests = nginx.Requests();
  EXPECT_TRUE(RequestedFile(requests, "/vmrkxupdate/list.txt"));
  EXPECT_FALSE(RequestedFile(requests, "/vmrkxupdate/app/uptodate.txt"));
  EXPECT_TRUE(RequestedFile(requests, "/vmrkxupdate/app/%E7%9A%AE%E8%82%A4/%E9%BB%98%E8%AE%A4.dat"));
}

TEST_F(UpdateE2ETest, NotFoundInTheMiddleInstallsNothingAndOffersOnlyClose) {
  Publish({{"app\\1.txt", "one"}, {"app\\2.txt", "two"}, {"app\\3.txt", "three"}, {"app\\vmrPlayer", kPlayer}});
  fs::remove(release_.Sub("vmrkxupdate/app/2.txt"));
  test::NginxServer nginx(release_.path());
  Start(nginx.HostPort());
  ASSERT_TRUE(
      ClickMainButtonUntil([&] { return RequestedFile(nginx.Requests(), "/vmrkxupdate/app/2.txt"); }, 30000));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  // The failure state's "关 闭" closes the window without starting the player.
  ASSERT_TRUE(ClickMainButtonUntil([&] { return Exited(); }, 15000));
  EXPECT_FALSE(fs::exists(app_.Sub("1.txt")));  // fetched, never installed
  EXPECT_FALSE(fs::exists(app_.Sub("2.txt")));
  EXPECT_FALSE(fs::exists(app_.Sub("3.txt")));
  EXPECT_EQ(app_.Read("vmrPlayer"), "#!/bin/sh\nexit 0\n");
  // Fetched side by side with 2.txt, perhaps, but never installed.
  EXPECT_TRUE(fs::is_empty(app_.Sub("update")));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(fs::exists(app_.Sub("player-started.txt")));
}

TEST_F(UpdateE2ETest, SizeMismatchInstallsNothing) {
  Publish({{"app\\a.dll", "12345", "9"}, {"app\\vmrPlayer", kPlayer}});
  app_.Write("a.dll", "");
  test::NginxServer nginx(release_.path());
  Start(nginx.HostPort());
  ASSERT_TRUE(ClickMainButtonUntil([&] { return RequestedFile(nginx.Requests(), "/vmrkxupdate/app/a.dll"); }, 30000));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_TRUE(ClickMainButtonUntil([&] { return Exited(); }, 15000));
  EXPECT_EQ(app_.Read("a.dll"), "");
  EXPECT_EQ(app_.Read("vmrPlayer"), "#!/bin/sh\nexit 0\n");
  EXPECT_FALSE(fs::exists(app_.Sub("player-started.txt")));
}

TEST_F(UpdateE2ETest, CutConnectionInstallsNothing) {
  // nginx cannot be told to hang up half way; the tests' own server can.
  Publish({{"app\\a.cut.dll", std::string(100000, 'n')}, {"app\\vmrPlayer", kPlayer}});
  app_.Write("a.cut.dll", "old");
  EXPECT_TRUE(platform::SetFileModifiedTime(app_.Sub("a.cut.dll"), 0).ok());
  test::LoopbackServer server(release_.path());
  Start(server.HostPort());
  ASSERT_TRUE(ClickMainButtonUntil(
      [&] {
        for (const auto& r : server.Requests())
          if (r.path == "/vmrkxupdate/app/a.cut.dll") return true;
        return false;
      },
      30000));
  // Three retries, 1 + 3 + 9 s apart, each cut at the same byte, before the
  // failure state offers Close.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ASSERT_TRUE(ClickMainButtonUntil([&] { return Exited(); }, 40000));
  EXPECT_EQ(app_.Read("a.cut.dll"), "old");
  EXPECT_EQ(app_.Read("vmrPlayer"), "#!/bin/sh\nexit 0\n");
  // Each retry asked for the rest (Qt may repeat a request by itself when a
  // connection drops before the answer is read: at least three).
  size_t resumed = 0;
  for (const auto& r : server.Requests())
    if (r.path == "/vmrkxupdate/app/a.cut.dll" && r.range == "bytes=50000-") ++resumed;
  EXPECT_GE(resumed, 3u);
  EXPECT_NE(app_.Read("vmrkxupdate.log").find("retry 3/3 of 1/2 app\\a.cut.dll"), std::string::npos);
}

TEST_F(UpdateE2ETest, ATargetThatCannotBeWrittenRollsTheReleaseBack) {
  Publish({{"app\\b.txt", "b"}, {"app\\adir", "file"}, {"app\\vmrPlayer", kPlayer}});
  fs::create_directories(app_.Sub("adir/inner"));
  test::NginxServer nginx(release_.path());
  Start(nginx.HostPort());
  ASSERT_TRUE(ClickMainButtonUntil([&] { return RequestedFile(nginx.Requests(), "/vmrkxupdate/app/vmrPlayer"); },
                                   30000));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  // Rolled back: "关 闭" closes the window and the player is not started.
  ASSERT_TRUE(ClickMainButtonUntil([&] { return Exited(); }, 30000));
  EXPECT_TRUE(fs::is_directory(app_.Sub("adir/inner")));
  EXPECT_FALSE(fs::exists(app_.Sub("b.txt")));
  EXPECT_EQ(app_.Read("vmrPlayer"), "#!/bin/sh\nexit 0\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(fs::exists(app_.Sub("player-started.txt")));
}

}  // namespace
}  // namespace vmrk

namespace vmrk {
namespace {

class SignedE2ETest : public UpdateE2ETest {
 protected:
  SignedE2ETest() {
    app_.Write("vmrkxupdate.keys", ToBase64(key_.publicKey) + "\n");
  }
  // With a delta package from the release below oldRoot, and compressed
  // copies, as vmrkxupdate-listgen --delta-from writes them.
  void Sign(const std::string& oldRoot = "") {
    std::string list = release_.Read("vmrkxupdate/list.txt"), manifest;
    Result<std::string> text = DocumentTextOf(list);
    ASSERT_TRUE(text.ok()) << text.status().message();
    const std::int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
    ReleaseManifest built;
    ASSERT_TRUE(BuildSignedManifest(release_.Sub("vmrkxupdate"), list, *text, {key_.privateKey}, now, now + 86400, &manifest,
                                    &built)
                    .ok());
    release_.Write("vmrkxupdate/list.txt.sig", manifest);
    if (oldRoot.empty()) return;
    ObjectIndex index;
    ObjectsReport report;
    ASSERT_TRUE(WriteReleaseObjects(release_.Sub("vmrkxupdate"), built, {oldRoot}, release_.Sub("vmrkxupdate/objects"),
                                    kObjectLevel, {}, &index, &report)
                    .ok());
    release_.Write("vmrkxupdate/list.txt.objects", WriteObjectIndex(index));
    packagePath_ = "/vmrkxupdate/" + PackageObjectPath(index.packages.at(0));
  }
  std::string packagePath_;
  const test::KeyPair key_;
};

TEST_F(SignedE2ETest, ASignedReleaseInstallsAndAChangedFileNever) {
  Publish({{"app\\vmrPlayer", kPlayer}, {"app\\a.dll", "signed a"}});
  Sign();
  test::NginxServer nginx(release_.path());
  Start(nginx.HostPort());
  ASSERT_TRUE(ClickMainButtonUntil([&] { return Exited(); }, 60000));
  EXPECT_EQ(app_.Read("a.dll"), "signed a");
  EXPECT_NE(test::ReadFileBytes(config_.Sub("tesk.ini")).find("releaseserial="), std::string::npos);
  EXPECT_TRUE(RequestedFile(nginx.Requests(), "/vmrkxupdate/list.txt.sig"));

  // A later release whose file was changed after signing: refused at the
  // download, the installed copy untouched, and only Close offered.
  Publish({{"app\\vmrPlayer", kPlayer}, {"app\\b.dll", "signed b"}});
  Sign();
  release_.Write("vmrkxupdate/app/b.dll", "SIGNED B");
  Start(nginx.HostPort());
  ASSERT_TRUE(ClickMainButtonUntil([&] { return RequestedFile(nginx.Requests(), "/vmrkxupdate/app/b.dll"); }, 20000));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(fs::exists(app_.Sub("b.dll")));
  EXPECT_FALSE(Exited());  // no Finish: the failure state offers only Close
  ASSERT_TRUE(ClickMainButtonUntil([&] { return Exited(); }, 20000));
  EXPECT_FALSE(fs::exists(app_.Sub("b.dll")));
}

TEST_F(SignedE2ETest, ADeltaUpdateThroughNginxTakesOnlyTheFramesItNeeds) {
  std::string a0 = test::IncompressibleBytes(1, 200 << 10), a1 = a0;
  a1.replace(1000, 5, "patch");
  const std::string big0 = test::IncompressibleBytes(2, 300 << 10), big1 = test::IncompressibleBytes(3, 300 << 10), fresh = test::IncompressibleBytes(4, 10 << 10);
  test::TempDir old;
  old.Write("app/vmrPlayer", kPlayer);
  old.Write("app/a.dll", a0);
  old.Write("app/big.dll", big0);
  // Installed: a.dll at the old release, big.dll already the new one, so
  // the large patch of big.dll lies between the two frames wanted.
  for (const auto& [name, content] : {std::pair{"a.dll", a0}, std::pair{"big.dll", big1}})
    ASSERT_TRUE(platform::SetFileModifiedTime(app_.Write(name, content), 946684800).ok());
  Publish({{"app\\vmrPlayer", kPlayer}, {"app\\a.dll", a1}, {"app\\big.dll", big1}, {"app\\new.dll", fresh}});
  Sign(old.path());
  test::NginxServer nginx(release_.path());
  Start(nginx.HostPort());
  ASSERT_TRUE(ClickMainButtonUntil([&] { return Exited(); }, 60000));
  EXPECT_TRUE(app_.Read("a.dll") == a1);
  EXPECT_TRUE(app_.Read("new.dll") == fresh);
  EXPECT_TRUE(app_.Read("big.dll") == big1);
  auto requests = nginx.Requests();
  EXPECT_FALSE(RequestedFile(requests, "/vmrkxupdate/app/a.dll"));
  EXPECT_FALSE(RequestedFile(requests, "/vmrkxupdate/app/new.dll"));
  EXPECT_FALSE(RequestedFile(requests, "/vmrkxupdate/app/big.dll"));
  size_t partial = 0;
  for (const std::string& line : nginx.LogLines())
    partial += line.find("GET " + packagePath_) != std::string::npos && line.find("\" 206 ") != std::string::npos;
  EXPECT_EQ(partial, 2u) << "two ranges of the package, each answered 206 by nginx";
}

TEST_F(SignedE2ETest, ASignedUpdateOverHttps) {
  // The updater reads the system's trust store as it is. Here that store is
  // swapped, for the updater's process alone (a private mount namespace),
  // for one that holds only the test CA: nothing outside the test trusts it.
  test::TempDir tls;
  test::TestCertificates certificates = test::MakeTestCertificates(tls.path());
  if (std::system("unshare -m --propagation private true 2>/dev/null") != 0)
    GTEST_SKIP() << "no private mount namespace here (needs root)";
  std::filesystem::create_directories(tls.Sub("store"));
  std::filesystem::copy_file(certificates.caFile, tls.Sub("store/ca-certificates.crt"));
  launcher_ = {"unshare", "-m", "--propagation", "private", "sh", "-c",
               "mount --bind '" + tls.Sub("store") + "' /etc/ssl/certs && exec \"$0\""};
  Publish({{"app\\vmrPlayer", kPlayer}, {"app\\tls.dll", "over TLS"}});
  Sign();
  test::NginxServer nginx(release_.path(), certificates.good);
  Start("https://" + nginx.HostPort());
  ASSERT_TRUE(ClickMainButtonUntil([&] { return Exited(); }, 60000)) << Diagnosis();
  EXPECT_EQ(app_.Read("tls.dll"), "over TLS");
  EXPECT_TRUE(RequestedFile(nginx.Requests(), "/vmrkxupdate/list.txt.sig"));
}

}  // namespace
}  // namespace vmrk
