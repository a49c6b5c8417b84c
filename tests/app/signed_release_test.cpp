// Signed releases through the real window, downloader and server: an
// installation that trusts a key installs only what that key signed, and
// every attack ends in its refusal with nothing installed and the accepted
// serial where it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

#include "app/texts.h"
#include "listgen/release_objects_writer.h"
#include "listgen/release_signing.h"
#include "platform/crypto.h"
#include "tests/app/window_fixture.h"
#include "tests/support/mute_listener.h"
#include "tests/support/process.h"
#include "tests/support/test_keys.h"
#include "updatelist/document_loader.h"
#include "updatelist/hex_base64.h"
#include "updatelist/root_of_trust.h"

namespace vmrk {
namespace {

namespace fs = std::filesystem;

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

constexpr std::int64_t kOlder = 1796000000, kNewer = 1796086400;  // 2026-12-01, a day later

class SignedReleaseTest : public test::WindowFixture {
 public:
  const test::TempDir& ReleaseDir() const { return release_; }
  SignedReleaseTest() { app_.Write("vmrkxupdate.keys", "# the maintainer\n" + ToBase64(test::MaintainerKey().publicKey) + "\n"); }

  // Publishes files with a manifest signed at `when` by keys; returns the
  // manifest text as written.
  std::string PublishSigned(const std::vector<test::ReleaseFile>& files,
                            std::vector<const test::KeyPair*> keys = {&test::MaintainerKey()}, std::int64_t when = Now(),
                            std::int64_t expires = Now() + 86400) {
    Publish(files);
    return SignPublished(keys, when, expires);
  }
  std::string SignPublished(std::vector<const test::KeyPair*> keys = {&test::MaintainerKey()}, std::int64_t when = Now(),
                            std::int64_t expires = Now() + 86400) {
    std::string list = release_.Read("vmrkxupdate/list.txt");
    Result<std::string> text = DocumentTextOf(list);
    EXPECT_TRUE(text.ok()) << text.status().message();
    std::vector<std::string> privateKeys;
    for (const test::KeyPair* k : keys) privateKeys.push_back(k->privateKey);
    std::string manifest;
    EXPECT_TRUE(BuildSignedManifest(release_.Sub("vmrkxupdate"), list, text.ok() ? *text : std::string(), privateKeys,
                                    when, expires, &manifest)
                    .ok());
    release_.Write("vmrkxupdate/list.txt.sig", manifest);
    return manifest;
  }
  // Publishes files as today's tool does for release.sig alone: the list and
  // each file named by its content below objects/, and release.sig naming
  // them. Nothing at the fixed names: each test puts there what it needs.
  std::string PublishByContent(const std::vector<test::ReleaseFile>& files, std::int64_t when = Now(),
                               const std::string& manifestName = "vmrkxupdate/release.sig",
                               std::vector<std::string> mirrors = {},
                               const std::function<void(ReleaseManifest&)>& mark = {}) {
    test::TempDir staging;
    test::WriteRelease(staging, files);
    const std::string list = staging.Read("vmrkxupdate/list.txt");
    Result<std::string> text = DocumentTextOf(list);
    EXPECT_TRUE(text.ok());
    std::string fixedNamed, byContent;
    ReleaseManifest built;
    EXPECT_TRUE(BuildSignedManifest(staging.Sub("vmrkxupdate"), list, text.ok() ? *text : "",
                                    {test::MaintainerKey().privateKey}, when, Now() + 86400, &fixedNamed, &built)
                    .ok());
    built.format = kContentNamedFormat;
    built.mirrors = std::move(mirrors);
    if (mark) mark(built);
    EXPECT_TRUE(WriteSignedManifest(built, {test::MaintainerKey().privateKey}, &byContent).ok());
    std::uint64_t bytes = 0;
    release_.Write("vmrkxupdate/" + ListObjectPath(built.listSha256), list);
    Status written = WriteFileObjects(staging.Sub("vmrkxupdate"), built, nullptr, release_.Sub("vmrkxupdate/objects"), &bytes);
    EXPECT_TRUE(written.ok()) << written.message();
    release_.Write(manifestName, byContent);
    return byContent;
  }
  // The requests for the release's files, as "METHOD path".
  std::vector<std::string> Asked() const {
    std::vector<std::string> asked;
    for (const test::LoggedRequest& r : server_.Requests()) asked.push_back(r.method + " " + r.path);
    return asked;
  }

  // Start-up, the list, then its manifest: until the window offers a button.
  void LoadAndVerify() {
    PointAtServer();
    ASSERT_EQ(Window().Form_Load(), UpdaterWindow::LoadOutcome::kShowWindow);
    ASSERT_TRUE(test::PumpUntil([&] { return State().cmdBegin.enabled; }, 15000));
  }
  std::string Serial() { return settings_.Read("tesk", "vmrmovie", "releaseserial", "none"); }
  void ExpectRefusedList() {
    EXPECT_EQ(State().statusText, texts::kStatusListRefused);
    EXPECT_EQ(State().statusColor, kRed);
    EXPECT_EQ(State().cmdBegin.caption, texts::kClose);
    EXPECT_TRUE(State().rows.empty());
  }
};

TEST_F(SignedReleaseTest, AWholeSignedUpdateInstallsAndRecordsTheSerial) {
  const std::int64_t when = Now();
  PublishSigned({{"app\\a.dll", "signed a"}, {"win\\system32\\b.dll", "signed b"}}, {&test::MaintainerKey()}, when);
  LoadAndVerify();
  ASSERT_EQ(State().rows.size(), 2u) << State().statusText;
  EXPECT_EQ(Serial(), "none");  // recorded once the release is in
  RunUpdate();
  EXPECT_EQ(Serial(), std::to_string(SerialOf(when)));
  EXPECT_EQ(State().statusText, texts::kStatusCompleted);
  EXPECT_EQ(app_.Read("a.dll"), "signed a");
  EXPECT_EQ(windows_.Read("system32/b.dll"), "signed b");
  EXPECT_FALSE(fs::exists(app_.Sub("list.txt.sig")));
}

// Three servers, the first at fault; the release is whole from the others.
// Any server may serve any file: each is checked against the manifest, and
// a server that failed is asked last for the rest of the run.
class MirrorTest : public SignedReleaseTest {
 public:
  MirrorTest() {
    sideBySide_ = true;  // the manifest round and the files, as the program fetches them
    threaded_ = true;
  }
  // The release each update must install; older is what a lagging mirror has.
  const std::vector<test::ReleaseFile> newer_{
      {"app\\a.dll", "a of the newer release"}, {"app\\sub\\b.dll", "b of the newer release"},
      {"win\\system32\\c.dll", "c of the newer release"}};
  // Serves a copy of what release_ holds now, changed by `change`.
  std::string CopyServer(const std::function<void(const fs::path&)>& change = {}) {
    fs::copy(release_.path(), faultyRoot_.path(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    if (change) change(faultyRoot_.Sub("vmrkxupdate"));
    faulty_ = std::make_unique<test::LoopbackServer>(faultyRoot_.path());
    return faulty_->HostPort();
  }
  void ExpectNewerInstalled() {
    EXPECT_EQ(State().statusText, texts::kStatusCompleted) << app_.Read("vmrkxupdate.log");
    EXPECT_EQ(app_.Read("a.dll"), "a of the newer release");
    EXPECT_EQ(app_.Read("sub/b.dll"), "b of the newer release");
    EXPECT_EQ(windows_.Read("system32/c.dll"), "c of the newer release");
    EXPECT_EQ(Serial(), std::to_string(SerialOf(kNewer)));
  }
  // Lines of the log that name the server.
  std::vector<std::string> LogLinesNaming(const std::string& hostPort) {
    std::vector<std::string> lines;
    std::string log = app_.Read("vmrkxupdate.log");
    for (size_t at = 0, end; at < log.size(); at = end + 1) {
      end = std::min(log.find('\n', at), log.size());
      std::string line = log.substr(at, end - at);
      if (line.find("http://" + hostPort + "/") != std::string::npos) lines.push_back(line);
    }
    return lines;
  }

  const test::LoopbackServer& Origin() const { return server_; }
  test::LoopbackServer mirror_{release_.path()};
  test::TempDir faultyRoot_;
  std::unique_ptr<test::LoopbackServer> faulty_;
  std::unique_ptr<test::BlackHole> hole_;
};

// Every object, or only the release's files, one bit off.
void CorruptObjects(const fs::path& folder, bool filesOnly) {
  for (const fs::directory_entry& e : fs::recursive_directory_iterator(folder / "objects")) {
    if (!e.is_regular_file() || (filesOnly && e.path().extension() != ".file")) continue;
    std::string bytes = test::ReadFileBytes(e.path().string());
    bytes.back() ^= 1;
    std::ofstream(e.path(), std::ios::binary | std::ios::trunc) << bytes;
  }
}

struct MirrorFault {
  const char* name;
  // Publishes what the test needs and returns the faulty server's host:port.
  std::function<std::string(MirrorTest&)> faulty;
  // Only the faulty server is in myip.txt: the others are the mirrors its
  // release.sig names.
  bool namedByTheRelease = false;
  // Log lines of a transfer the faulty server failed, and of the files
  // asked of it: once it has failed it is asked last, so only those asked
  // at once before it failed.
  long failuresLogged = 1, filesAskedOfIt = 0;
  friend void PrintTo(const MirrorFault& c, std::ostream* os) { *os << c.name; }
};

class MirrorFaultTest : public MirrorTest, public testing::WithParamInterface<MirrorFault> {};

TEST_P(MirrorFaultTest, InstallsTheNewestReleaseWholeFromTheOthers) {
  const std::string faulty = GetParam().faulty(*this);
  std::string servers = "seip:" + faulty + "\r\n";
  if (!GetParam().namedByTheRelease) servers += "seip:" + server_.HostPort() + "\r\nseip:" + mirror_.HostPort() + "\r\n";
  WriteAddressFile(servers);
  ASSERT_EQ(Window().Form_Load(), UpdaterWindow::LoadOutcome::kShowWindow);
  ASSERT_TRUE(test::PumpUntil([&] { return State().cmdBegin.enabled; }, 15000)) << app_.Read("vmrkxupdate.log");
  ASSERT_EQ(State().rows.size(), 3u) << app_.Read("vmrkxupdate.log");
  RunUpdate();
  ExpectNewerInstalled();
  // The log says which server failed what; whatever failed once is not
  // asked again while another server serves: a silent one is waited for
  // once a run (a short while, as the others answered), not once a file.
  const std::vector<std::string> named = LogLinesNaming(faulty);
  auto count = [&](const char* what) {
    return std::count_if(named.begin(), named.end(),
                         [&](const std::string& line) { return line.find(what) != std::string::npos; });
  };
  EXPECT_EQ(count("transfer failed") + count("asking another server") + count("no answer while"),
            GetParam().failuresLogged)
      << app_.Read("vmrkxupdate.log");
  EXPECT_EQ(count("fetching ") - count("while fetching"), GetParam().filesAskedOfIt) << app_.Read("vmrkxupdate.log");
}

INSTANTIATE_TEST_SUITE_P(
    Servers, MirrorFaultTest,
    testing::Values(
        MirrorFault{"refusingConnections",
                    [](MirrorTest& t) {
                      t.PublishByContent(t.newer_, kNewer);
                      return "127.0.0.1:" + std::to_string(test::FreeLoopbackPort());
                    }},
        MirrorFault{"blackHoled",
                    [](MirrorTest& t) {
                      t.PublishByContent(t.newer_, kNewer);
                      t.hole_ = std::make_unique<test::BlackHole>();
                      return "127.0.0.1:" + std::to_string(t.hole_->port());
                    }},
        MirrorFault{"servingCorruptObjects",
                    [](MirrorTest& t) {
                      t.PublishByContent(t.newer_, kNewer);
                      return t.CopyServer([](const fs::path& folder) { CorruptObjects(folder, false); });
                    }},
        MirrorFault{"servingCorruptFiles",
                    [](MirrorTest& t) {
                      t.PublishByContent(t.newer_, kNewer);
                      return t.CopyServer([](const fs::path& folder) { CorruptObjects(folder, true); });
                    },
                    false, 3, 3},
        MirrorFault{"servingAnOlderManifest",
                    [](MirrorTest& t) {
                      t.PublishByContent({{"app\\a.dll", "a of the older release"}}, kOlder);
                      std::string older = t.CopyServer();
                      fs::remove_all(t.ReleaseDir().Sub("vmrkxupdate"));
                      t.PublishByContent(t.newer_, kNewer);
                      return older;
                    },
                    false, 0},
        MirrorFault{"aloneInMyipWithCorruptObjectsAndTheRestNamedByItsRelease",
                    [](MirrorTest& t) {
                      t.PublishByContent(t.newer_, kNewer, "vmrkxupdate/release.sig",
                                         {"http://" + t.Origin().HostPort() + "/", "http://" + t.mirror_.HostPort() + "/"});
                      return t.CopyServer([](const fs::path& folder) { CorruptObjects(folder, false); });
                    },
                    true}),
    [](const testing::TestParamInfo<MirrorFault>& info) { return std::string(info.param.name); });

struct ListAttack {
  const char* name;
  std::function<void(SignedReleaseTest&)> attack;  // after a good release was published
  friend void PrintTo(const ListAttack& c, std::ostream* os) { *os << c.name; }
};

class ListAttackTest : public SignedReleaseTest, public testing::WithParamInterface<ListAttack> {};

TEST_P(ListAttackTest, RefusesTheListInstallsNothingAndKeepsTheSerial) {
  ASSERT_TRUE(settings_.Write("tesk", "vmrmovie", "releaseserial", "20200101000000").ok());
  PublishSigned({{"app\\a.dll", "signed a"}, {"app\\b.dll", "signed b"}});
  GetParam().attack(*this);
  LoadAndVerify();
  ExpectRefusedList();
  EXPECT_EQ(Serial(), "20200101000000");
  EXPECT_FALSE(fs::exists(app_.Sub("a.dll")));
  EXPECT_FALSE(fs::exists(app_.Sub("list.txt.sig")));
}

INSTANTIATE_TEST_SUITE_P(
    Attacks, ListAttackTest,
    testing::Values(
        ListAttack{"oneByteOfTheListChanged",
                   [](SignedReleaseTest& t) {
                     std::string list = t.ReleaseDir().Read("vmrkxupdate/list.txt");
                     list[list.find("a.dll")] = 'x';
                     t.ReleaseDir().Write("vmrkxupdate/list.txt", list);
                   }},
        ListAttack{"anOlderReleaseReplayed",
                   [](SignedReleaseTest& t) { t.SignPublished({&test::MaintainerKey()}, 1500000000); }},  // 2017
        ListAttack{"expired", [](SignedReleaseTest& t) { t.SignPublished({&test::MaintainerKey()}, Now(), Now() - 60); }},
        ListAttack{"signedByAnUntrustedKey",
                   [](SignedReleaseTest& t) {
                     static test::KeyPair stranger;
                     t.SignPublished({&stranger});
                   }},
        ListAttack{"manifestRemoved", [](SignedReleaseTest& t) { fs::remove(t.ReleaseDir().Sub("vmrkxupdate/list.txt.sig")); }},
        ListAttack{"manifestNamesALocationOutsideTheList",
                   [](SignedReleaseTest& t) {
                     t.ReleaseDir().Write("vmrkxupdate/app/evil.dll", "evil");
                     std::string list = t.ReleaseDir().Read("vmrkxupdate/list.txt");
                     std::string withEvil = PlainTextToRtf("app\\a.dll?8*2008-05-12 14:30:05\r\napp\\b.dll?8*2008-05-12 "
                                                           "14:30:05\r\napp\\evil.dll?4*2008-05-12 14:30:05\r\n");
                     t.ReleaseDir().Write("vmrkxupdate/list.txt", withEvil);
                     t.SignPublished();
                     t.ReleaseDir().Write("vmrkxupdate/list.txt", list);  // the list without it, the manifest with it
                   }},
        ListAttack{"tenMebibyteManifest",
                   [](SignedReleaseTest& t) {
                     t.ReleaseDir().Write("vmrkxupdate/list.txt.sig", std::string(10 << 20, 'x'));
                   }}),
    [](const testing::TestParamInfo<ListAttack>& info) { return std::string(info.param.name); });

TEST_F(SignedReleaseTest, AChangedFileIsRefusedBeforeItIsInstalled) {
  ASSERT_TRUE(settings_.Write("tesk", "vmrmovie", "releaseserial", "20200101000000").ok());
  PublishSigned({{"app\\a.dll", "signed a"}, {"app\\b.dll", "signed b"}});
  release_.Write("vmrkxupdate/app/b.dll", "signed B");  // same length, one byte changed
  LoadAndVerify();
  ASSERT_EQ(State().rows.size(), 2u);
  RunUpdate();
  EXPECT_EQ(State().statusText, texts::kStatusFileRefused);
  EXPECT_EQ(State().cmdBegin.caption, texts::kClose);
  EXPECT_FALSE(fs::exists(app_.Sub("a.dll")));  // whole, but only staged: the release is not in
  EXPECT_FALSE(fs::exists(app_.Sub("b.dll")));
  EXPECT_TRUE(fs::is_empty(app_.Sub("update")));
  EXPECT_EQ(Serial(), "20200101000000");
}

TEST_F(SignedReleaseTest, AFileCutHalfWayIsResumedAndStillMatchesItsSignature) {
  std::string big;
  for (int i = 0; i < 300000; ++i) big += static_cast<char>(i % 253);
  PublishSigned({{"app\\a.dll", big}});
  release_.Write("vmrkxupdate/app/a.dll.cutonce", "150000");
  LoadAndVerify();
  ASSERT_EQ(State().rows.size(), 1u);
  std::vector<std::string> shown;
  forwarder_.afterRetrying = [&] { shown.push_back(State().rows[0].status); };
  RunUpdate();
  EXPECT_EQ(shown, std::vector<std::string>{"重试 1/3"});
  EXPECT_EQ(State().statusText, texts::kStatusCompleted);
  EXPECT_TRUE(app_.Read("a.dll") == big);
  std::vector<test::LoggedRequest> requests = server_.Requests();
  ASSERT_GE(requests.size(), 2u);
  EXPECT_EQ(requests.back().range, "bytes=150000-");
  EXPECT_NE(app_.Read(kUpdateLogFile).find("retry 1/3 of 1/1 app\\a.dll after: "), std::string::npos);
}

TEST_F(SignedReleaseTest, AFileOfAnotherSignedReleaseIsRefused) {
  // Both releases are the maintainer's, but this manifest names other bytes.
  PublishSigned({{"app\\a.dll", "release 2"}});
  PublishSigned({{"app\\a.dll", "release 1"}});
  release_.Write("vmrkxupdate/app/a.dll", "release 2");
  LoadAndVerify();
  RunUpdate();
  EXPECT_EQ(State().statusText, texts::kStatusFileRefused);
  EXPECT_FALSE(fs::exists(app_.Sub("a.dll")));
  EXPECT_EQ(Serial(), "none");
}

TEST_F(SignedReleaseTest, ARolloverManifestIsAcceptedByInstallationsTrustingEitherKey) {
  test::KeyPair newer;
  PublishSigned({{"app\\a.dll", "a"}}, {&test::MaintainerKey(), &newer});
  app_.Write("vmrkxupdate.keys", ToBase64(newer.publicKey) + "\n");
  LoadAndVerify();
  EXPECT_EQ(State().rows.size(), 1u) << State().statusText;
}

TEST_F(SignedReleaseTest, TheSameSerialAgainIsARerunAndTheSerialNeverMovesBack) {
  const std::int64_t when = Now();
  PublishSigned({{"app\\a.dll", "a"}}, {&test::MaintainerKey()}, when);
  ASSERT_TRUE(settings_.Write("tesk", "vmrmovie", "releaseserial", std::to_string(SerialOf(when))).ok());
  LoadAndVerify();
  EXPECT_EQ(State().rows.size(), 1u) << State().statusText;
  EXPECT_EQ(Serial(), std::to_string(SerialOf(when)));
}

// The rollout holds back unattended runs only: a user who opened the window
// asked for the release, as Sparkle treats a check its user starts.
TEST_F(SignedReleaseTest, AWindowAUserOpenedIsOfferedAReleaseItsRolloutHoldsBack) {
  const std::string key = test::MaintainerKey().publicKey;
  RootDocument root{1, Now() + 86400, 1, {key}, 1, {key}};
  Result<std::string> signedRoot = AddRootSignature(RootBody(root), test::MaintainerKey().privateKey);
  ASSERT_TRUE(signedRoot.ok());
  app_.Write("vmrkxupdate.root", *signedRoot);
  PublishByContent({{"app\\a.dll", "a"}}, Now(), "vmrkxupdate/release3.sig", {}, [](ReleaseManifest& m) {
    m.format = kRootedFormat;
    m.rollout = Rollout{0};
  });
  LoadAndVerify();
  EXPECT_EQ(State().rows.size(), 1u) << State().statusText;
  const std::vector<std::string> asked = Asked();
  EXPECT_NE(std::find(asked.begin(), asked.end(), "REVALIDATE-GET /vmrkxupdate/roots/2.root"), asked.end()) << testing::PrintToString(asked);
  EXPECT_EQ(settings_.Read("tesk", "vmrmovie", "rolloutnumber", "none"), "none") << "no number is drawn for a window";
}

TEST_F(SignedReleaseTest, WithoutATrustedKeyAListWithoutManifestWorksAsBefore) {
  fs::remove(app_.Sub("vmrkxupdate.keys"));
  Publish({{"app\\a.dll", "a"}});
  LoadAndVerify();
  EXPECT_EQ(State().rows.size(), 1u);
  EXPECT_EQ(Serial(), "none");
}

}  // namespace
}  // namespace vmrk

namespace vmrk {
namespace {

// A signed release names each file's bytes: an installed file already equal
// to them is not fetched, only given the list's time with the rest of the
// release; an installed file that differs by one byte is fetched.
TEST_F(SignedReleaseTest, FilesAlreadyInstalledAsSignedAreNotFetched) {
  struct Case {
    const char* name;
    std::string installedA;  // app/a.dll before the update
    bool aFetched;
  } cases[] = {{"sameBytesOlderTime", "signed a", false}, {"oneByteOff", "signed A", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    window_.reset();
    forwarder_.finished = forwarder_.failed = 0;
    const std::string a = app_.Write("a.dll", c.installedA);
    ASSERT_TRUE(platform::SetFileModifiedTime(a, 946684800).ok());  // older than the list's
    fs::remove(app_.Sub("b.dll"));
    PublishSigned({{"app\\a.dll", "signed a"}, {"app\\b.dll", "signed b"}});
    const size_t requestsBefore = server_.Requests().size();
    LoadAndVerify();
    ASSERT_EQ(State().rows.size(), 2u) << State().statusText;
    RunUpdate();
    EXPECT_EQ(State().statusText, texts::kStatusCompleted);
    EXPECT_EQ(app_.Read("a.dll"), "signed a");
    EXPECT_EQ(app_.Read("b.dll"), "signed b");
    Result<std::int64_t> time = platform::FileModifiedTime(a);
    ASSERT_TRUE(time.ok());
    EXPECT_EQ(*time, *platform::LocalToUnixSeconds({2008, 5, 12, 14, 30, 5}));  // the list's time
    bool fetchedA = false;
    for (size_t i = requestsBefore; i < server_.Requests().size(); ++i)
      fetchedA = fetchedA || server_.Requests()[i].path == "/vmrkxupdate/app/a.dll";
    EXPECT_EQ(fetchedA, c.aFetched);
    EXPECT_EQ(State().rows[0].status, "√");
  }
}

// A release published by content through whatever a cache kept: release.sig
// is the one file read at its name (asked so that caches revalidate it),
// and what the fixed names hold does not matter.
struct ByContentCase {
  const char* name;
  friend void PrintTo(const ByContentCase& c, std::ostream* os) { *os << c.name; }
  std::function<void(SignedReleaseTest&)> publish;  // the new release is "new a"; an older one was "old a"
  const char* accepted;                             // the serial accepted before
  bool installs;                                    // else: up to date, nothing installed
  const char* logged;                               // a line of the log says this
  bool listByName = false;                          // list.txt is asked for (never list.txt.sig)
};

class ByContentTest : public SignedReleaseTest, public testing::WithParamInterface<ByContentCase> {};


TEST_P(ByContentTest, InstallsExactlyOneReleaseWhateverTheFixedNamesHold) {
  const ByContentCase& c = GetParam();
  ASSERT_TRUE(settings_.Write("tesk", "vmrmovie", "releaseserial", c.accepted).ok());
  c.publish(*this);
  PointAtServer();
  ASSERT_EQ(Window().Form_Load(), UpdaterWindow::LoadOutcome::kShowWindow);
  ASSERT_TRUE(test::PumpUntil([&] { return State().cmdBegin.enabled; }, 15000));
  const std::string log = app_.Read("vmrkxupdate.log");
  if (c.installs) {
    ASSERT_EQ(State().cmdBegin.caption, "下一步") << log;
    RunUpdate();
    EXPECT_EQ(State().statusText, texts::kStatusCompleted);
    EXPECT_EQ(app_.Read("a.dll"), "new a");
    EXPECT_EQ(Serial(), std::to_string(SerialOf(kNewer)));
  } else {
    EXPECT_EQ(State().statusText, texts::kStatusUpToDate);
    EXPECT_FALSE(fs::exists(app_.Sub("a.dll")));
    EXPECT_EQ(Serial(), c.accepted);
  }
  const std::vector<std::string> asked = Asked();
  ASSERT_FALSE(asked.empty());
  EXPECT_EQ(asked[0], "REVALIDATE-GET /vmrkxupdate/release.sig");
  EXPECT_EQ(std::count(asked.begin(), asked.end(), "GET /vmrkxupdate/list.txt"), c.listByName ? 1 : 0);
  EXPECT_EQ(std::count(asked.begin(), asked.end(), "GET /vmrkxupdate/list.txt.sig"), 0);
  EXPECT_NE(app_.Read("vmrkxupdate.log").find(c.logged), std::string::npos) << app_.Read("vmrkxupdate.log");
}

void PublishOldAtFixedNames(SignedReleaseTest& t) {
  t.PublishSigned({{"app\\a.dll", "old a"}}, {&test::MaintainerKey()}, kOlder);
}

INSTANTIATE_TEST_SUITE_P(
    Caches, ByContentTest,
    testing::Values(
        ByContentCase{"theFixedNamesHoldTheReleaseBefore",
                      [](SignedReleaseTest& t) {
                        PublishOldAtFixedNames(t);
                        t.PublishByContent({{"app\\a.dll", "new a"}}, kNewer);
                      },
                      "0", true, "fetching 1/1 app\\a.dll by its content name"},
        ByContentCase{"aCacheLagsTheOriginDoesNot",
                      [](SignedReleaseTest& t) {
                        t.PublishByContent({{"app\\a.dll", "old a"}}, kOlder);
                        t.PublishByContent({{"app\\a.dll", "new a"}}, kNewer, "vmrkxupdate/release.sig.origin");
                      },
                      "20261201000000", true, "older than the accepted 20261201000000: asked again past the caches"},
        ByContentCase{"everyServerLags",
                      [](SignedReleaseTest& t) { t.PublishByContent({{"app\\a.dll", "old a"}}, kOlder); },
                      "20261201000000", false, "older than the accepted 20261201000000 again: up to date"},
        ByContentCase{"theObjectsAreNotThereYet",
                      [](SignedReleaseTest& t) {
                        t.PublishByContent({{"app\\a.dll", "new a"}}, kNewer);
                        fs::remove_all(t.ReleaseDir().Sub("vmrkxupdate/objects"));
                        test::WriteRelease(t.ReleaseDir(), {{"app\\a.dll", "new a"}});  // by their names only
                      },
                      "0", true, "now the plain file", true}),
    [](const testing::TestParamInfo<ByContentCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vmrk
