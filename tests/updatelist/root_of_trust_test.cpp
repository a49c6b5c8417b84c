// The chain of roots as an updater walks it: every broken link refuses the
// walk, and a release key the newest root dropped signs nothing.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "platform/crypto.h"
#include "updatelist/hex_base64.h"
#include "updatelist/root_of_trust.h"

namespace vmrk {
namespace {

constexpr std::int64_t kNow = 1800000000;  // 2027-01-15
constexpr std::int64_t kYear = 365 * 86400;

// Keys by name, made once for the whole file: signing is what is tested.
const std::string& Key(const std::string& name) {
  static std::map<std::string, std::string> keys;
  auto [at, made] = keys.try_emplace(name);
  if (made) {
    Result<platform::KeyPair> pair = platform::GenerateKey();
    EXPECT_TRUE(pair.ok());
    at->second = pair->privateKey;
  }
  return at->second;
}
std::string Public(const std::string& name) { return Key(name).substr(0, platform::kPublicKeyBytes); }

RootDocument Root(std::uint64_t version, std::vector<std::string> rootKeys, size_t rootThreshold,
                  std::vector<std::string> releaseKeys, size_t releaseThreshold, std::int64_t expires = kNow + kYear) {
  RootDocument root{version, expires, rootThreshold, {}, releaseThreshold, {}};
  for (const std::string& k : rootKeys) root.rootKeys.push_back(Public(k));
  for (const std::string& k : releaseKeys) root.releaseKeys.push_back(Public(k));
  return root;
}

std::string Signed(const RootDocument& root, const std::vector<std::string>& signers) {
  std::string text = RootBody(root);
  for (const std::string& k : signers) {
    Result<std::string> more = AddRootSignature(text, Key(k));
    EXPECT_TRUE(more.ok()) << k << ": " << more.status().message();
    if (more.ok()) text = *more;
  }
  return text;
}

std::string Manifest(const std::vector<std::string>& signers, std::int64_t expires = kNow + kYear) {
  ReleaseManifest m;
  m.serial = 20270115000000;
  m.expiresUnixSeconds = expires;
  m.listSha256 = platform::Sha256Bytes("list");
  m.listLength = 4;
  std::vector<std::string> keys;
  for (const std::string& k : signers) keys.push_back(Key(k));
  std::string text;
  EXPECT_TRUE(WriteSignedManifest(m, keys, &text).ok());
  return text;
}

// Root 1: root keys r1 r2 r3, two of them to sign the next; release key a.
const RootDocument kFirst = Root(1, {"r1", "r2", "r3"}, 2, {"a"}, 1);

TEST(RootOfTrust, EachBrokenLinkRefusesTheNextRoot) {
  struct Link {
    const char* name;
    std::function<std::string()> next;
    const char* refusal;  // nullptr: accepted
  };
  const Link links[] = {
      {"two of the old root keys, two of its own",
       [] { return Signed(Root(2, {"r1", "r4", "r5"}, 2, {"b"}, 1), {"r1", "r2", "r4"}); }, nullptr},
      {"the old keys are its own", [] { return Signed(Root(2, {"r1", "r2", "r3"}, 2, {"b"}, 1), {"r2", "r3"}); }, nullptr},
      {"a version that skips one", [] { return Signed(Root(3, {"r1", "r2"}, 2, {"b"}, 1), {"r1", "r2"}); },
       "root 3 where root 2 was asked for"},
      {"the same version again", [] { return Signed(Root(1, {"r1", "r2"}, 2, {"b"}, 1), {"r1", "r2"}); },
       "root 1 where root 2 was asked for"},
      {"one short of the old threshold",
       [] { return Signed(Root(2, {"r1", "r4", "r5"}, 2, {"b"}, 1), {"r1", "r4", "r5"}); },
       "root 2 has 1 of the 2 of root 1's signatures it needs"},
      {"one short of its own threshold",
       [] { return Signed(Root(2, {"r4", "r5", "r6"}, 2, {"b"}, 1), {"r1", "r2", "r4"}); },
       "root 2 has 1 of the 2 of its own signatures it needs"},
      {"the same key counted twice",
       [] {
         std::string once = Signed(Root(2, {"r1", "r4"}, 2, {"b"}, 1), {"r1"});
         return once + once.substr(once.rfind("signature "));
       },
       "root 2 has 1 of the 2 of root 1's signatures it needs"},
      {"a byte changed after signing",
       [] {
         std::string text = Signed(Root(2, {"r1", "r2"}, 2, {"b"}, 1), {"r1", "r2"});
         text.replace(text.find("expires 2028"), 12, "expires 2029");
         return text;
       },
       "root 2 has 0 of the 2 of root 1's signatures it needs"},
      {"a release key named twice",
       [] {
         std::string text = RootBody(Root(2, {"r1", "r2"}, 2, {"b"}, 1));
         return text + text.substr(text.rfind("release-key "));
       },
       "line 9: bad or repeated release key"},
      {"a threshold above its keys", [] { return RootBody(Root(2, {"r1", "r2"}, 3, {"b"}, 1)); },
       "the root threshold is above its number of root keys"},
      {"not a root", [] { return Manifest({"r1", "r2"}); }, "line 1: not a root of format 1"},
  };
  for (const Link& link : links) {
    Result<RootDocument> next = AcceptNextRoot(kFirst, link.next());
    EXPECT_EQ(next.ok(), link.refusal == nullptr) << link.name << ": " << next.status().message();
    if (link.refusal) {
      EXPECT_EQ(next.status().message(), link.refusal) << link.name;
    }
  }
}

TEST(RootOfTrust, AManifestCountsOnlyUnderAThresholdOfTheNewestRootsReleaseKeys) {
  const RootDocument two = Root(2, {"r1", "r2", "r3"}, 2, {"a", "b", "c"}, 2);
  struct Case {
    const char* name;
    const RootDocument& root;
    std::string manifest;
    const char* refusal;
  };
  const Case cases[] = {
      {"the one release key", kFirst, Manifest({"a"}), nullptr},
      {"two of three", two, Manifest({"a", "c"}), nullptr},
      {"one of the two needed", two, Manifest({"a"}), "the manifest has 1 of the 2 release key signatures it needs under root 2"},
      {"one key signing twice", two, Manifest({"a", "a"}), "the manifest has 1 of the 2 release key signatures it needs under root 2"},
      {"root keys are not release keys", kFirst, Manifest({"r1", "r2"}),
       "the manifest has 0 of the 1 release key signatures it needs under root 1"},
      {"expired", kFirst, Manifest({"a"}, kNow - 1), "the manifest expired at 2027-01-15T07:59:59Z"},
  };
  for (const Case& c : cases) {
    Result<ReleaseManifest> verified = VerifyManifestUnderRoot(c.manifest, c.root, kNow);
    EXPECT_EQ(verified.ok(), c.refusal == nullptr) << c.name << ": " << verified.status().message();
    if (c.refusal) {
      EXPECT_EQ(verified.status().message(), c.refusal) << c.name;
    }
  }
}

TEST(RootOfTrust, TheWalkEndsAtTheNewestRootOrRefusesWhole) {
  // Roots 2..40, each signed by the one before's keys and its own.
  std::vector<std::string> chain = {"", Signed(kFirst, {"r1", "r2"})};
  for (std::uint64_t v = 2; v <= 40; ++v)
    chain.push_back(Signed(Root(v, {"r1", "r2", "r3"}, 2, {v >= 3 ? "b" : "a"}, 1, kNow + kYear + v), {"r1", "r3"}));
  auto walk = [&](RootDocument kept, size_t available, std::function<std::string(std::uint64_t)> swap = {}) {
    RootWalk w(std::move(kept));
    while (std::optional<std::uint64_t> v = w.Wanted()) {
      if (*v >= available) w.Offer(std::nullopt).IgnoreError();
      else w.Offer(swap && !swap(*v).empty() ? swap(*v) : chain[*v]).IgnoreError();
    }
    return std::pair{w.Finish(kNow), w.accepted().size()};
  };
  struct Case {
    const char* name;
    std::pair<Result<RootDocument>, size_t> walked;
    std::uint64_t newest;  // 0: refused
    size_t advanced;
  };
  const RootDocument five = *AcceptNextRoot(
      Root(4, {"r1", "r2", "r3"}, 2, {"b"}, 1), chain[5]);
  const Case cases[] = {
      {"nothing newer on the server", walk(kFirst, 2), 1, 0},
      {"two newer", walk(kFirst, 4), 3, 2},
      {"from a kept root 5", walk(five, 8), 7, 2},
      {"no more than 32 a run", walk(kFirst, 41), 33, 32},
      {"a broken link refuses all", walk(kFirst, 8, [&](std::uint64_t v) {
         return v == 4 ? Signed(Root(4, {"r1"}, 1, {"b"}, 1), {"r1"}) : std::string();
       }), 0, 2},
      {"an older root where the next was asked for", walk(five, 8, [&](std::uint64_t v) {
         return v == 6 ? chain[3] : std::string();
       }), 0, 0},
      {"the newest expired", walk(kFirst, 3, [&](std::uint64_t v) {
         return v == 2 ? Signed(Root(2, {"r1", "r2", "r3"}, 2, {"a"}, 1, kNow - 1), {"r1", "r2"}) : std::string();
       }), 0, 1},
  };
  for (const Case& c : cases) {
    const Result<RootDocument>& newest = c.walked.first;
    EXPECT_EQ(newest.ok(), c.newest != 0) << c.name << ": " << newest.status().message();
    if (newest.ok()) {
      EXPECT_EQ(newest->version, c.newest) << c.name;
    }
    EXPECT_EQ(c.walked.second, c.advanced) << c.name;
  }

  // The leaked key: root 3 replaced release key a by b. An updater that has
  // seen root 3 refuses what a signs; one still at root 1 walks to root 3
  // first, in the same run, and refuses it too.
  const std::string hostile = Manifest({"a"});
  ASSERT_TRUE(VerifyManifestUnderRoot(hostile, kFirst, kNow).ok()) << "root 1 alone would take it";
  Result<RootDocument> walked = walk(kFirst, 41).first;
  ASSERT_TRUE(walked.ok());
  EXPECT_FALSE(VerifyManifestUnderRoot(hostile, *walked, kNow).ok());
  EXPECT_TRUE(VerifyManifestUnderRoot(Manifest({"b"}), *walked, kNow).ok());
}

// The roots a run kept are settings anyone may edit: each counts only while
// it follows the one before, from the shipped root.
TEST(RootOfTrust, KeptRootsCountOnlyAsFarAsTheirChainHolds) {
  const std::string two = Signed(Root(2, {"r1", "r2", "r3"}, 2, {"b"}, 1), {"r1", "r2"});
  const std::string three = Signed(Root(3, {"r1", "r2", "r3"}, 2, {"c"}, 1), {"r2", "r3"});
  const std::string planted = Signed(Root(2, {"x"}, 1, {"x"}, 1), {"x"});
  struct Case {
    const char* name;
    std::map<std::uint64_t, std::string> kept;
    std::uint64_t newest;
  } cases[] = {
      {"none kept", {}, 1},
      {"two kept", {{2, two}, {3, three}}, 3},
      {"a gap ends it", {{3, three}}, 1},
      {"a planted root adds nothing", {{2, planted}, {3, three}}, 1},
      {"a damaged one ends it there", {{2, two}, {3, "vmrkxupdate-root 1\nnonsense\n"}}, 2},
  };
  for (const Case& c : cases) {
    const RootDocument newest = FollowKeptRoots(kFirst, [&](std::uint64_t v) -> std::optional<std::string> {
      auto at = c.kept.find(v);
      if (at == c.kept.end()) return std::nullopt;
      return at->second;
    });
    EXPECT_EQ(newest.version, c.newest) << c.name;
  }
}

TEST(RootOfTrust, AShippedRootCarriesItsOwnThreshold) {
  EXPECT_TRUE(AcceptFirstRoot(Signed(kFirst, {"r1", "r3"})).ok());
  EXPECT_EQ(AcceptFirstRoot(Signed(kFirst, {"r1"})).status().message(),
            "root 1 has 1 of the 2 root key signatures it needs");
  EXPECT_EQ(AcceptFirstRoot(Signed(kFirst, {"a", "r2"})).status().message(),
            "root 1 has 1 of the 2 root key signatures it needs");
  EXPECT_EQ(AddRootSignature(Signed(kFirst, {"r1"}), Key("r1")).status().message(),
            "this key has signed the root already");
  Result<ParsedRoot> read = ParseRoot(RootBody(kFirst));
  ASSERT_TRUE(read.ok()) << "an unsigned root reads, to be signed";
  EXPECT_EQ(RootBody(read->root), RootBody(kFirst));
}

}  // namespace
}  // namespace vmrk
