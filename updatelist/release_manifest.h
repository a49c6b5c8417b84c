// The signed release manifest (list.txt.sig) beside the update list: what
// the maintainer published, byte for byte. docs/release-manifest.md is its
// definition; this is the one reader and writer of it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"
#include "updatelist/rollout.h"

namespace vmrk {

inline constexpr size_t kManifestMaxBytes = 1 << 20;

struct ManifestFile {
  std::string location;  // exactly as in the list
  std::string sha256;    // 32 bytes
  std::uint64_t length = 0;
};

// Format 2 is the release's one file at a fixed name (release.sig) for
// updaters that fetch everything else by its content: it names the list,
// the object index and each file by SHA-256, and the mirrors that serve
// them. Format 1 (list.txt.sig) stays for updaters of earlier releases.
inline constexpr int kContentNamedFormat = 2;
// Format 3 is format 2 with the marks that steer a release after it ships
// (its channel, a rollout share, exact), read only by updaters that follow a
// root of trust, from a file of its own (release3.sig): updaters of earlier
// releases read release.sig, refuse an unknown record, and so never see
// the marks.
inline constexpr int kRootedFormat = 3;
// More mirrors than this are not a release's but an attack on a run's time.
inline constexpr size_t kManifestMaxMirrors = 16;

// A mirror's base address: http or https, a host, and a path that ends with
// "/" (the tree's vmrkxupdate/ folder is below it), nothing that would need
// escaping.
bool IsMirrorAddress(std::string_view address);

// A channel's name, which is also its folder on the server: 1 to 32 of
// a-z, 0-9, "-" and "_". The default channel has none.
bool IsChannelName(std::string_view name);

struct ReleaseManifest {
  int format = 1;
  std::uint64_t serial = 0;
  std::int64_t expiresUnixSeconds = 0;
  std::string listSha256;  // 32 bytes, of list.txt's exact bytes
  std::uint64_t listLength = 0;
  // Format 2 only: the object index, when the release has objects, and the
  // base addresses ("http://host/path/") of servers that hold the same tree.
  std::optional<std::string> indexSha256;
  std::uint64_t indexLength = 0;
  std::vector<std::string> mirrors;
  // Format 3 only. The channel the release was published to ("" the
  // default), so that a server cannot pass one channel's release off as
  // another's.
  std::string channel;
  std::optional<Rollout> rollout;
  // Every file whose installed bytes differ from the manifest's is offered,
  // whatever its date: a pull-back to an earlier release, and a repair.
  bool exact = false;
  std::vector<ManifestFile> files;
};

struct ManifestSignature {
  std::string keyId;      // 8 bytes
  std::string signature;  // 64 bytes, r then s
};

// The first 8 bytes of the SHA-256 of a 65-byte public key.
std::string KeyIdOf(std::string_view publicKey);

// A "signature <key id hex> <signature base64>" line, as manifests and roots
// carry them (without its line break), and back; none for a line that is
// not one.
std::string SignatureRecord(const ManifestSignature& signature);
std::optional<ManifestSignature> ParseSignatureRecord(std::string_view line);

// The signed part: every record above the first signature line.
std::string ManifestBody(const ReleaseManifest& manifest);

// The whole manifest, signed by each private key in turn (several keys let a
// maintainer roll over to a new one).
Status WriteSignedManifest(const ReleaseManifest& manifest, const std::vector<std::string>& privateKeys,
                           std::string* text);

struct ParsedManifest {
  ReleaseManifest manifest;
  std::string body;  // the signed bytes
  std::vector<ManifestSignature> signatures;
};

// More signature lines than a key rollover needs are an attack on the
// window's time (each check costs a signature verification), not a release.
inline constexpr size_t kManifestMaxSignatures = 8;

// Strict: an unknown or misplaced record, a duplicate location, bad hex or
// base64, a CR, a missing final line break, no signature or more than
// kManifestMaxSignatures, or more than kManifestMaxBytes all refuse it, with
// a failure of kind kInvalid that names the line where there is one.
Result<ParsedManifest> ParseManifest(std::string_view text);

// What a manifest must pass before anything it names is fetched: it reads,
// a trusted key's valid signature, not expired at now. Each trusted key is
// tried against the first signature line that carries its id and no other,
// so a manifest costs at most one check per trusted key; *signatureChecks,
// when given, counts them. A refusal says why, for the log and the
// maintainer's tool.
Result<ReleaseManifest> VerifyManifestSignature(std::string_view text, const std::vector<std::string>& trustedKeys,
                                                std::int64_t nowUnixSeconds, size_t* signatureChecks = nullptr);

// The list as fetched is the one the manifest names: hash, length, and the
// same set of locations.
Status CheckManifestList(const ReleaseManifest& manifest, std::string_view listBytes,
                         const std::vector<std::string>& listLocations);

// A serial below the accepted one: an older release replayed, or a cache
// or mirror that lags.
Status CheckManifestSerial(const ReleaseManifest& manifest, std::uint64_t lastSerial);

// Everything an updater asks before it offers a single row: the three above.
Status VerifyManifest(std::string_view text, const std::vector<std::string>& trustedKeys, std::string_view listBytes,
                      const std::vector<std::string>& listLocations, std::int64_t nowUnixSeconds,
                      std::uint64_t lastSerial, ReleaseManifest* manifest, size_t* signatureChecks = nullptr);

// The public keys of a key file (vmrkxupdate.keys, KEYFILE.pub): one base64
// key a line, blank lines and lines beginning "#" ignored; *bad counts the
// lines that are not keys.
std::vector<std::string> PublicKeysOfText(std::string_view text, size_t* bad = nullptr);

// One line of a key file as it counts: surrounding blanks and the line end
// dropped.
std::string KeyFileLine(std::string_view line);

// The system clock in whole seconds since 1970 (UTC): what expiry and
// serials are measured against.
std::int64_t UtcNow();

// "2027-12-07T15:30:00Z" and back; UTC only. Reading takes exactly that form
// and a real date and time, and fails, of kind kInvalid, for anything else.
std::string FormatUtc(std::int64_t unixSeconds);
Result<std::int64_t> ParseUtc(std::string_view text);

}  // namespace vmrk
