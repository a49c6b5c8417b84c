// Signed releases through the real window, downloader and server: an
// installation that trusts a key installs only what that key signed, and
// every attack ends in its refusal with nothing installed and the accepted
// serial where it was.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>

#include "app/texts.h"
#include "listgen/release_signing.h"
#include "platform/crypto.h"
#include "tests/app/window_fixture.h"
#include "tests/support/test_keys.h"
#include "updatelist/document_loader.h"
#include "updatelist/hex_base64.h"

namespace vmrk {
namespace {

namespace fs = std::filesystem;

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

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

}  // namespace
}  // namespace vmrk
