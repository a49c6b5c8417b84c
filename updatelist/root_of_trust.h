// The root of trust: a chain of root documents, each naming the root keys
// (which sign the next root) and the release keys (which sign manifests),
// each set with its threshold. Root N+1 counts only when a threshold of root
// N's root keys and a threshold of its own signed it, so a leaked release
// key is withdrawn by publishing the next root without it, and a leaked root
// key below its threshold can sign nothing alone. docs/root-of-trust.md is
// the format; this is its one reader, writer and judge. Pure: fetching the
// roots and keeping the newest belong to the run.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"
#include "updatelist/release_manifest.h"

namespace vmrk {

inline constexpr char kRootFormatLine[] = "vmrkxupdate-root 1";
inline constexpr size_t kRootMaxBytes = 64 << 10;
// Keys of either role, and signatures: more is not a root but an attack on
// the check's time.
inline constexpr size_t kRootMaxKeys = 16;
inline constexpr size_t kRootMaxSignatures = 16;
// Roots walked in one run at most (python-tuf's figure): a server that
// serves endless roots costs a run that many requests, no more.
inline constexpr size_t kRootWalkCap = 32;

struct RootDocument {
  std::uint64_t version = 0;
  std::int64_t expiresUnixSeconds = 0;
  size_t rootThreshold = 0;
  std::vector<std::string> rootKeys;  // 65-byte public keys
  size_t releaseThreshold = 0;
  std::vector<std::string> releaseKeys;
};

// The signed part: every record above the first signature line.
std::string RootBody(const RootDocument& root);

struct ParsedRoot {
  RootDocument root;
  std::string body;  // the signed bytes
  std::vector<ManifestSignature> signatures;
};

// Strict, as the manifest is: the records in their order, thresholds from 1
// to their key count, no key twice in one role, at most kRootMaxKeys a role,
// kRootMaxSignatures signatures and kRootMaxBytes. Unsigned roots read (the
// maintainer's tool signs them one key at a time); a failure is of kind
// kInvalid and names the line where there is one.
Result<ParsedRoot> ParseRoot(std::string_view text);

// How many of `keys` have a valid signature on `body` among `signatures`: a
// key counts once however many of its lines there are, and a line that
// names no key of these counts for nothing.
size_t CountSigners(const std::vector<std::string>& keys, std::string_view body,
                    const std::vector<ManifestSignature>& signatures);

// The root text with one more signature, by privateKey; refused when that key
// signed it already (a second line would not count, and reads as a mistake).
Result<std::string> AddRootSignature(std::string_view text, std::string_view privateKey);

// The root an updater ships with (root 1, or any it was built with): it must
// read and carry its own root threshold.
Result<RootDocument> AcceptFirstRoot(std::string_view text);

// Root `nextText` after `trusted`: version exactly one more, a threshold of
// trusted's root keys and a threshold of its own. Expiry is not asked here:
// a root in the middle of the chain may have expired since its successor
// came; only the newest must not have (CheckRootCurrent).
Result<RootDocument> AcceptNextRoot(const RootDocument& trusted, std::string_view nextText);

Status CheckRootCurrent(const RootDocument& root, std::int64_t nowUnixSeconds);

// A manifest under a root: a threshold of its release keys signed it, and it
// has not expired. The refusal says which fell short.
Result<ReleaseManifest> VerifyManifestUnderRoot(std::string_view text, const RootDocument& root,
                                                std::int64_t nowUnixSeconds);

// The walk an updater makes on every check: from the newest root it kept,
// roots/N+1, N+2, ... until the server has none (or kRootWalkCap of them),
// each accepted after the one before it. One broken link refuses the walk,
// and with it the manifest; a root the server lacks ends it.
class RootWalk {
 public:
  explicit RootWalk(RootDocument kept);
  // The version to ask for next; none when the walk is over.
  std::optional<std::uint64_t> Wanted() const;
  // The server's answer for Wanted(): the root's text, or none when it has
  // no such root. A refusal ends the walk, refused.
  Status Offer(std::optional<std::string_view> text);
  // The newest root, once the walk is over: refused when it has expired or
  // a link was refused.
  Result<RootDocument> Finish(std::int64_t nowUnixSeconds) const;
  // The texts of the roots accepted in this walk, in order: what the run
  // keeps.
  const std::vector<std::string>& accepted() const { return accepted_; }

 private:
  RootDocument newest_;
  std::vector<std::string> accepted_;
  bool over_ = false;
  Status refused_ = Status::Ok();
};

// The root a run starts its walk from: the shipped root, then each root kept
// after it (kept(version): that root's text, or none), as long as each
// follows the one before. The kept roots are settings a user can edit, so
// each counts only through its chain from the shipped root: a planted root
// adds no key, a damaged one only costs the walk from there.
RootDocument FollowKeptRoots(RootDocument shipped,
                             const std::function<std::optional<std::string>(std::uint64_t version)>& kept);

// What a manifest is trusted by: with a root, a threshold of its release
// keys alone; with none, one valid signature by any of the keys (the
// built-in ones and vmrkxupdate.keys), as before there were roots.
struct ReleaseTrust {
  std::vector<std::string> keys;
  std::optional<RootDocument> root;
  bool any() const { return root.has_value() || !keys.empty(); }
};

Result<ReleaseManifest> VerifyTrustedManifest(std::string_view text, const ReleaseTrust& trust,
                                              std::int64_t nowUnixSeconds);

}  // namespace vmrk
