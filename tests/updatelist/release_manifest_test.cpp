// The release manifest as the updater judges it: every attack ends in a
// refusal with a reason, and only the maintainer's own release is accepted.
#include "updatelist/release_manifest.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/crypto.h"
#include "tests/support/test_keys.h"

namespace vmrk {
namespace {

constexpr std::int64_t kNow = 1796000000;  // 2026-12-01
constexpr std::uint64_t kSerial = 20261207153000;

using Key = test::KeyPair;

std::string Digest(std::string_view bytes) {
  platform::Sha256Digest d = platform::Sha256Of(bytes);
  return std::string(reinterpret_cast<const char*>(d.data()), d.size());
}

struct SignedListRelease {
  std::string list = "{\\rtf1 app\\\\a.dll?1*2008-5-12\\par win\\\\b c.dll?2*2008-5-12\\par\\par}";
  std::vector<std::string> locations = {"app\\a.dll", "win\\b c.dll"};
  ReleaseManifest manifest;
  SignedListRelease() {
    manifest.serial = kSerial;
    manifest.expiresUnixSeconds = kNow + 86400 * 365;
    manifest.listSha256 = Digest(list);
    manifest.listLength = list.size();
    manifest.files = {{"app\\a.dll", Digest("a"), 1}, {"win\\b c.dll", Digest("bc"), 2}};
  }
};

std::string Signed(const ReleaseManifest& m, const std::vector<const Key*>& keys) {
  std::vector<std::string> privateKeys;
  for (const Key* k : keys) privateKeys.push_back(k->privateKey);
  std::string text;
  EXPECT_TRUE(WriteSignedManifest(m, privateKeys, &text).ok());
  return text;
}

const Key& Maintainer() {
  static Key key;
  return key;
}

// The manifest's verdict as the updater sees it, with what it named.
Status Verify(const std::string& text, const std::vector<std::string>& keys, const SignedListRelease& release,
              std::uint64_t lastSerial = 0, ReleaseManifest* manifest = nullptr, size_t* checks = nullptr) {
  ReleaseManifest ignored;
  return VerifyManifest(text, keys, release.list, release.locations, kNow, lastSerial,
                        manifest != nullptr ? manifest : &ignored, checks);
}

struct AttackCase {
  const char* name;
  std::function<void(SignedListRelease&, std::string& text)> attack;  // the text is signed before the attack runs
  std::uint64_t lastSerial = 0;
  friend void PrintTo(const AttackCase& c, std::ostream* os) { *os << c.name; }
};

class ManifestAttackTest : public testing::TestWithParam<AttackCase> {};

TEST_P(ManifestAttackTest, IsRefusedWithAReason) {
  SignedListRelease release;
  std::string text = Signed(release.manifest, {&Maintainer()});
  ASSERT_TRUE(Verify(text, {Maintainer().publicKey}, release).ok());
  GetParam().attack(release, text);
  Status verdict = Verify(text, {Maintainer().publicKey}, release, GetParam().lastSerial);
  EXPECT_FALSE(verdict.ok());
  EXPECT_FALSE(verdict.message().empty());
}

ReleaseManifest Resigned(SignedListRelease& r, const std::function<void(ReleaseManifest&)>& change, std::string& text) {
  change(r.manifest);
  text = Signed(r.manifest, {&Maintainer()});
  return r.manifest;
}

INSTANTIATE_TEST_SUITE_P(
    Attacks, ManifestAttackTest,
    testing::Values(
        AttackCase{"listByteChanged", [](SignedListRelease& r, std::string&) { r.list[10] ^= 1; }},
        AttackCase{"listExtended", [](SignedListRelease& r, std::string&) { r.list += " "; }},
        AttackCase{"bodyByteChanged",
                   [](SignedListRelease&, std::string& t) { t[t.find("file ") + 5] = t[t.find("file ") + 5] == '0' ? '1' : '0'; }},
        AttackCase{"signatureChanged", [](SignedListRelease&, std::string& t) { t[t.rfind(' ') + 3] ^= 1; }},
        AttackCase{"untrustedKey",
                   [](SignedListRelease& r, std::string& t) {
                     static Key stranger;
                     t = Signed(r.manifest, {&stranger});
                   }},
        AttackCase{"olderSerialReplayed", [](SignedListRelease&, std::string&) {}, kSerial + 1},
        AttackCase{"expired",
                   [](SignedListRelease& r, std::string& t) { Resigned(r, [](ReleaseManifest& m) { m.expiresUnixSeconds = kNow; }, t); }},
        AttackCase{"locationOutsideTheList",
                   [](SignedListRelease& r, std::string& t) {
                     Resigned(r, [](ReleaseManifest& m) { m.files.push_back({"app\\evil.dll", Digest("e"), 1}); }, t);
                   }},
        AttackCase{"listEntryNotInTheManifest",
                   [](SignedListRelease& r, std::string& t) { Resigned(r, [](ReleaseManifest& m) { m.files.pop_back(); }, t); }},
        AttackCase{"tenMebibytes", [](SignedListRelease&, std::string& t) { t.insert(0, std::string(10 << 20, '#')); }},
        AttackCase{"unsigned", [](SignedListRelease&, std::string& t) { t = t.substr(0, t.find("signature ")); }},
        AttackCase{"empty", [](SignedListRelease&, std::string& t) { t.clear(); }}),
    [](const testing::TestParamInfo<AttackCase>& info) { return std::string(info.param.name); });

TEST(Manifest, SameSerialIsARerunAndANewerOneIsAccepted) {
  SignedListRelease release;
  std::string text = Signed(release.manifest, {&Maintainer()});
  EXPECT_TRUE(Verify(text, {Maintainer().publicKey}, release, kSerial).ok());
  ReleaseManifest manifest;
  Status verdict = Verify(text, {Maintainer().publicKey}, release, 1, &manifest);
  ASSERT_TRUE(verdict.ok()) << verdict.message();
  EXPECT_EQ(manifest.serial, kSerial);
  ASSERT_EQ(manifest.files.size(), 2u);
  EXPECT_EQ(manifest.files[1].location, "win\\b c.dll");
  EXPECT_EQ(manifest.files[1].sha256, Digest("bc"));
}

TEST(Manifest, ARolloverManifestIsAcceptedByEitherKey) {
  Key newer;
  SignedListRelease release;
  std::string text = Signed(release.manifest, {&Maintainer(), &newer});
  for (const std::string& trusted : {Maintainer().publicKey, newer.publicKey})
    EXPECT_TRUE(Verify(text, {trusted}, release).ok());
  Key stranger;
  EXPECT_FALSE(Verify(text, {stranger.publicKey}, release).ok());
}

// A manifest cannot make the window check signatures without end: at most
// one check per trusted key, and no more signature lines than a rollover
// needs. Counted, not timed.
TEST(Manifest, SignatureChecksAreBoundedByTheTrustedKeys) {
  Key newer, stranger;
  SignedListRelease release;
  const std::string good = Signed(release.manifest, {&Maintainer()});
  const size_t sig = good.find("signature ");
  const std::string goodLine = good.substr(sig);
  // Well formed and of the maintainer's key, but over another body.
  ReleaseManifest other = release.manifest;
  ++other.serial;
  const std::string otherText = Signed(other, {&Maintainer()});
  const std::string badLine = otherText.substr(otherText.find("signature "));
  auto withLines = [&](int bad, bool goodLast) {
    std::string t = good.substr(0, sig);
    for (int i = 0; i < bad; ++i) t += badLine;
    return goodLast ? t + goodLine : t;
  };
  struct Case {
    const char* name;
    std::string text;
    std::vector<std::string> keys;
    bool accepted;
    size_t checks;
  } cases[] = {
      {"oneGoodLine", good, {Maintainer().publicKey}, true, 1},
      {"rolloverTriesEachKeyOnce", Signed(release.manifest, {&newer, &Maintainer()}),
       {stranger.publicKey, newer.publicKey, Maintainer().publicKey}, true, 1},
      {"badLinesOfATrustedIdThenAGoodOne", withLines(7, true), {Maintainer().publicKey}, false, 1},
      {"aBadLineOfOneKeyThenAGoodOneOfAnother",
       withLines(1, false) + Signed(release.manifest, {&newer}).substr(sig),
       {Maintainer().publicKey, newer.publicKey}, true, 2},
      {"moreLinesThanARolloverNeeds", withLines(9038, true), {Maintainer().publicKey}, false, 0},
      {"noTrustedIdAtAll", good, {stranger.publicKey}, false, 0},
  };
  for (const Case& c : cases) {
    size_t checks = 99;
    EXPECT_EQ(Verify(c.text, c.keys, release, 0, nullptr, &checks).ok(), c.accepted) << c.name;
    EXPECT_EQ(checks, c.checks) << c.name;
  }
}

TEST(Manifest, ReadingIsStrict) {
  SignedListRelease release;
  const std::string good = Signed(release.manifest, {&Maintainer()});
  const size_t file = good.find("file "), sig = good.find("signature ");
  const std::string fileLine = good.substr(file, good.find('\n', file) + 1 - file);
  struct Case {
    const char* name;
    std::string text;
  } cases[] = {
      {"unknownRecord", good.substr(0, sig) + "note hello\n" + good.substr(sig)},
      {"duplicateLocation", good.substr(0, file) + fileLine + good.substr(file)},
      {"fileAfterSignature", good + fileLine},
      {"upperCaseHex", good.substr(0, file + 5) + "A" + good.substr(file + 6)},
      {"shortHash", good.substr(0, file + 5) + good.substr(file + 7)},
      {"badBase64", good.substr(0, good.size() - 2) + "!\n"},
      {"carriageReturns", [&] {
         std::string t;
         for (char c : good) t += c == '\n' ? std::string("\r\n") : std::string(1, c);
         return t;
       }()},
      {"noFinalLineBreak", good.substr(0, good.size() - 1)},
      {"leadingZeroSerial", "vmrkxupdate-manifest 1\nserial 0" + good.substr(good.find("serial ") + 7)},
      {"otherFormat", "vmrkxupdate-manifest 4" + good.substr(good.find('\n'))},
      {"indexInFormat1", good.substr(0, file) + "index " + std::string(64, 'a') + " 10\n" + good.substr(file)},
      {"mirrorInFormat1", good.substr(0, file) + "mirror http://m/\n" + good.substr(file)},
      {"serialTwice", good.substr(0, good.find("expires")) + "serial 1\n" + good.substr(good.find("expires"))},
  };
  for (const Case& c : cases) {
    Result<ParsedManifest> parsed = ParseManifest(c.text);
    EXPECT_FALSE(parsed.ok()) << c.name;
    EXPECT_EQ(parsed.status().kind(), Status::Kind::kInvalid) << c.name;
  }
  Result<ParsedManifest> parsed = ParseManifest(good);
  ASSERT_TRUE(parsed.ok()) << parsed.status().message();
  EXPECT_EQ(parsed->body, good.substr(0, sig));
}

// Format 3 (release3.sig) is format 2 with its marks, each once and in its
// place; earlier formats never carry them.
TEST(Manifest, TheRootedFormatCarriesItsMarksInTheirPlace) {
  SignedListRelease release;
  ReleaseManifest m = release.manifest;
  m.format = kRootedFormat;
  m.channel = "beta";
  m.rollout = Rollout{10, 1800000000, 7};
  m.exact = true;
  m.mirrors = {"http://mirror.example/"};
  const std::string good = Signed(m, {&Maintainer()});
  Result<ReleaseManifest> read = VerifyManifestSignature(good, {Maintainer().publicKey}, kNow);
  ASSERT_TRUE(read.ok()) << read.status().message();
  EXPECT_EQ(read->channel, "beta");
  EXPECT_EQ(read->rollout, m.rollout);
  EXPECT_TRUE(read->exact);
  EXPECT_EQ(read->mirrors, m.mirrors);

  const size_t channel = good.find("channel "), rollout = good.find("rollout "), exact = good.find("exact\n"),
               mirror = good.find("mirror ");
  const std::string marks = good.substr(channel, mirror - channel);
  auto replaced = [&](size_t at, size_t length, const std::string& with) {
    return good.substr(0, at) + with + good.substr(at + length);
  };
  const std::pair<const char*, std::string> refused[] = {
      {"in format 2", replaced(0, good.find('\n'), "vmrkxupdate-manifest 2")},
      {"out of order", replaced(channel, mirror - channel,
                                good.substr(rollout, exact - rollout) + good.substr(channel, rollout - channel) + "exact\n")},
      {"twice", replaced(exact, 6, "exact\nexact\n")},
      {"after a mirror", replaced(channel, mirror - channel, "") .insert(good.find("file ") - marks.size(), marks)},
      {"a channel that is no name", replaced(channel, rollout - channel, "channel Beta\n")},
      {"a share above 100", replaced(rollout, exact - rollout, "rollout 101\n")},
      {"days without a start", replaced(rollout, exact - rollout, "rollout 10 7\n")},
      {"no days", replaced(rollout, exact - rollout, "rollout 10 2027-01-15T08:00:00Z 0\n")},
      {"a bare rollout", replaced(rollout, exact - rollout, "rollout\n")},
      {"exact with a value", replaced(exact, 6, "exact yes\n")},
  };
  for (const auto& [name, text] : refused) EXPECT_FALSE(ParseManifest(text).ok()) << name;
}

// Format 2 (release.sig) adds the object index and mirrors between the list
// and the files, each in its place, and is as strict as format 1.
TEST(Manifest, TheContentNamedFormatNamesItsIndexAndMirrorsInTheirPlace) {
  SignedListRelease release;
  ReleaseManifest m = release.manifest;
  m.format = kContentNamedFormat;
  m.indexSha256 = Digest("index");
  m.indexLength = 5;
  m.mirrors = {"http://mirror.example/releases/", "https://[::1]:8443/"};
  const std::string good = Signed(m, {&Maintainer()});
  Result<ReleaseManifest> read = VerifyManifestSignature(good, {Maintainer().publicKey}, kNow);
  ASSERT_TRUE(read.ok()) << read.status().message();
  EXPECT_EQ(read->format, kContentNamedFormat);
  EXPECT_EQ(read->indexSha256, m.indexSha256);
  EXPECT_EQ(read->indexLength, 5u);
  EXPECT_EQ(read->mirrors, m.mirrors);
  EXPECT_EQ(read->files.size(), 2u);
  EXPECT_TRUE(CheckManifestList(*read, release.list, release.locations).ok());

  const size_t index = good.find("index "), mirror = good.find("mirror "), file = good.find("file ");
  const std::string indexLine = good.substr(index, mirror - index);
  auto withMirror = [&](const std::string& address) {
    return good.substr(0, mirror) + "mirror " + address + "\n" + good.substr(mirror);
  };
  std::string seventeen = good.substr(0, mirror);
  for (int i = 0; i < 17; ++i) seventeen += "mirror http://m" + std::to_string(i) + "/\n";
  seventeen += good.substr(mirror);
  struct Case {
    const char* name;
    std::string text;
  } cases[] = {
      {"indexTwice", good.substr(0, mirror) + indexLine + good.substr(mirror)},
      {"indexAfterMirror", good.substr(0, index) + good.substr(mirror, file - mirror) + indexLine + good.substr(file)},
      {"mirrorAfterFile", good.substr(0, file) + good.substr(file, good.find('\n', file) + 1 - file) +
                              "mirror http://late/\n" + good.substr(good.find('\n', file) + 1)},
      {"indexShortHash", good.substr(0, index) + "index abcd 5\n" + good.substr(mirror)},
      {"mirrorWithoutScheme", withMirror("mirror.example/")},
      {"mirrorOfFtp", withMirror("ftp://mirror.example/")},
      {"mirrorWithoutFinalSlash", withMirror("http://mirror.example/releases")},
      {"mirrorWithoutHost", withMirror("http:///releases/")},
      {"seventeenMirrors", seventeen},
  };
  for (const Case& c : cases) {
    Result<ParsedManifest> parsed = ParseManifest(c.text);
    EXPECT_FALSE(parsed.ok()) << c.name;
    EXPECT_EQ(parsed.status().kind(), Status::Kind::kInvalid) << c.name;
  }
}

TEST(Manifest, UtcTimesRoundTripAndOnlyRealDatesParse) {
  for (std::int64_t t : {0ll, 951782400ll, 1796000000ll, 4102444799ll}) {
    Result<std::int64_t> back = ParseUtc(FormatUtc(t));
    ASSERT_TRUE(back.ok()) << FormatUtc(t);
    EXPECT_EQ(*back, t);
  }
  EXPECT_EQ(FormatUtc(951782400), "2000-02-29T00:00:00Z");
  for (const char* bad : {"2001-02-29T00:00:00Z", "2026-13-01T00:00:00Z", "2026-12-07T24:00:00Z",
                          "2026-12-07 15:30:00Z", "2026-12-07T15:30:00", "2026-12-07T15:30:00+08:00"}) {
    Result<std::int64_t> t = ParseUtc(bad);
    EXPECT_FALSE(t.ok()) << bad;
    EXPECT_EQ(t.status().kind(), Status::Kind::kInvalid) << bad;
    EXPECT_NE(t.status().message().find(bad), std::string::npos) << t.status().message();
  }
}

}  // namespace
}  // namespace vmrk
