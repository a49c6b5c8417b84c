#include "updatelist/root_of_trust.h"

#include <algorithm>
#include <set>

#include "platform/crypto.h"
#include "updatelist/hex_base64.h"
#include "updatelist/record_fields.h"

namespace vmrk {
namespace {

Status RootRefusal(std::string why) { return Status::Error(Status::Kind::kInvalid, std::move(why)); }

std::string SignaturesOf(size_t met, size_t needed, const std::string& whose) {
  return std::to_string(met) + " of the " + std::to_string(needed) + " " + whose + " signatures it needs";
}

}  // namespace

std::string RootBody(const RootDocument& root) {
  std::string body = std::string(kRootFormatLine) + "\n";
  body += "version " + std::to_string(root.version) + "\n";
  body += "expires " + FormatUtc(root.expiresUnixSeconds) + "\n";
  body += "root-threshold " + std::to_string(root.rootThreshold) + "\n";
  for (const std::string& key : root.rootKeys) body += "root-key " + ToBase64(key) + "\n";
  body += "release-threshold " + std::to_string(root.releaseThreshold) + "\n";
  for (const std::string& key : root.releaseKeys) body += "release-key " + ToBase64(key) + "\n";
  return body;
}

Result<ParsedRoot> ParseRoot(std::string_view text) {
  if (text.size() > kRootMaxBytes) return RootRefusal("the root is larger than 64 KiB");
  if (text.empty() || text.back() != '\n') return RootRefusal("the root does not end with a line break");
  if (text.find('\r') != std::string_view::npos) return RootRefusal("the root holds a carriage return");
  ParsedRoot parsed;
  RootDocument& r = parsed.root;
  std::vector<std::string_view> f;
  size_t lineNumber = 0, position = 0;
  // The records in their order: 0 format, 1 version, 2 expires, 3 root
  // threshold, 4 root keys, 5 release keys, 6 signatures.
  int expected = 0;
  std::uint64_t number = 0;
  auto key = [&](std::string_view field, std::vector<std::string>* keys) {
    std::optional<std::string> bytes = FromBase64(field);
    if (!bytes || bytes->size() != platform::kPublicKeyBytes || (*bytes)[0] != 0x04) return false;
    if (std::find(keys->begin(), keys->end(), *bytes) != keys->end()) return false;
    keys->push_back(*bytes);
    return keys->size() <= kRootMaxKeys;
  };
  while (position < text.size()) {
    const size_t end = text.find('\n', position);
    const std::string_view line = text.substr(position, end - position);
    const size_t lineStart = position;
    position = end + 1;
    ++lineNumber;
    auto bad = [&](const std::string& why) { return RootRefusal("line " + std::to_string(lineNumber) + ": " + why); };
    const std::string_view record = line.substr(0, line.find(' '));
    if (expected == 0) {
      if (line != kRootFormatLine) return bad("not a root of format 1");
      expected = 1;
    } else if (record == "version" && expected == 1) {
      if (!SplitRecord(line, 2, &f) || !ParseRecordNumber(f[1], &r.version) || r.version == 0)
        return bad("bad version");
      expected = 2;
    } else if (record == "expires" && expected == 2) {
      Result<std::int64_t> expires = SplitRecord(line, 2, &f) ? ParseUtc(f[1]) : Result<std::int64_t>(RootRefusal(""));
      if (!expires.ok()) return bad("bad expiry time");
      r.expiresUnixSeconds = *expires;
      expected = 3;
    } else if (record == "root-threshold" && expected == 3) {
      if (!SplitRecord(line, 2, &f) || !ParseRecordNumber(f[1], &number) || number == 0 || number > kRootMaxKeys)
        return bad("bad root threshold");
      r.rootThreshold = static_cast<size_t>(number);
      expected = 4;
    } else if (record == "root-key" && expected == 4) {
      if (!SplitRecord(line, 2, &f) || !key(f[1], &r.rootKeys)) return bad("bad or repeated root key");
    } else if (record == "release-threshold" && expected == 4) {
      if (!SplitRecord(line, 2, &f) || !ParseRecordNumber(f[1], &number) || number == 0 || number > kRootMaxKeys)
        return bad("bad release threshold");
      r.releaseThreshold = static_cast<size_t>(number);
      expected = 5;
    } else if (record == "release-key" && expected == 5) {
      if (!SplitRecord(line, 2, &f) || !key(f[1], &r.releaseKeys)) return bad("bad or repeated release key");
    } else if (record == "signature" && expected >= 5) {
      if (expected == 5) parsed.body = std::string(text.substr(0, lineStart));
      expected = 6;
      std::optional<ManifestSignature> signature = ParseSignatureRecord(line);
      if (!signature) return bad("bad signature record");
      if (parsed.signatures.size() == kRootMaxSignatures)
        return bad("more than " + std::to_string(kRootMaxSignatures) + " signatures");
      parsed.signatures.push_back(std::move(*signature));
    } else {
      return bad("unknown or misplaced record \"" + std::string(record) + "\"");
    }
  }
  if (expected < 5) return RootRefusal("the root ends before its release keys");
  if (expected == 5) parsed.body = std::string(text);
  if (r.rootThreshold > r.rootKeys.size()) return RootRefusal("the root threshold is above its number of root keys");
  if (r.releaseThreshold > r.releaseKeys.size())
    return RootRefusal("the release threshold is above its number of release keys");
  return parsed;
}

size_t CountSigners(const std::vector<std::string>& keys, std::string_view body,
                    const std::vector<ManifestSignature>& signatures) {
  std::set<std::string> counted;
  for (const std::string& key : keys) {
    const std::string id = KeyIdOf(key);
    for (const ManifestSignature& s : signatures)
      if (s.keyId == id && platform::VerifySignature(key, body, s.signature)) {
        counted.insert(key);
        break;
      }
  }
  return counted.size();
}

Result<std::string> AddRootSignature(std::string_view text, std::string_view privateKey) {
  Result<ParsedRoot> parsed = ParseRoot(text);
  if (!parsed.ok()) return parsed.status();
  if (privateKey.size() != platform::kPrivateKeyBytes) return RootRefusal("not a private key");
  const std::string publicKey(privateKey.substr(0, platform::kPublicKeyBytes));
  const std::string id = KeyIdOf(publicKey);
  for (const ManifestSignature& s : parsed->signatures)
    if (s.keyId == id) return RootRefusal("this key has signed the root already");
  if (parsed->signatures.size() == kRootMaxSignatures)
    return RootRefusal("the root has " + std::to_string(kRootMaxSignatures) + " signatures already");
  Result<std::string> signature = platform::Sign(privateKey, parsed->body);
  if (!signature.ok()) return signature.status();
  return std::string(text) + SignatureRecord({id, *signature}) + "\n";
}

Result<RootDocument> AcceptFirstRoot(std::string_view text) {
  Result<ParsedRoot> parsed = ParseRoot(text);
  if (!parsed.ok()) return parsed.status();
  const RootDocument& r = parsed->root;
  const size_t own = CountSigners(r.rootKeys, parsed->body, parsed->signatures);
  if (own < r.rootThreshold)
    return RootRefusal("root " + std::to_string(r.version) + " has " + SignaturesOf(own, r.rootThreshold, "root key"));
  return std::move(parsed->root);
}

Result<RootDocument> AcceptNextRoot(const RootDocument& trusted, std::string_view nextText) {
  Result<ParsedRoot> parsed = ParseRoot(nextText);
  if (!parsed.ok()) return parsed.status();
  const RootDocument& next = parsed->root;
  if (next.version != trusted.version + 1)
    return RootRefusal("root " + std::to_string(next.version) + " where root " + std::to_string(trusted.version + 1) +
                  " was asked for");
  const size_t byTrusted = CountSigners(trusted.rootKeys, parsed->body, parsed->signatures);
  if (byTrusted < trusted.rootThreshold)
    return RootRefusal("root " + std::to_string(next.version) + " has " +
                  SignaturesOf(byTrusted, trusted.rootThreshold, "of root " + std::to_string(trusted.version) + "'s"));
  const size_t own = CountSigners(next.rootKeys, parsed->body, parsed->signatures);
  if (own < next.rootThreshold)
    return RootRefusal("root " + std::to_string(next.version) + " has " + SignaturesOf(own, next.rootThreshold, "of its own"));
  return std::move(parsed->root);
}

Status CheckRootCurrent(const RootDocument& root, std::int64_t nowUnixSeconds) {
  if (root.expiresUnixSeconds <= nowUnixSeconds)
    return RootRefusal("root " + std::to_string(root.version) + " expired at " + FormatUtc(root.expiresUnixSeconds));
  return Status::Ok();
}

Result<ReleaseManifest> VerifyManifestUnderRoot(std::string_view text, const RootDocument& root,
                                                std::int64_t nowUnixSeconds) {
  Result<ParsedManifest> parsed = ParseManifest(text);
  if (!parsed.ok()) return parsed.status();
  const size_t signers = CountSigners(root.releaseKeys, parsed->body, parsed->signatures);
  if (signers < root.releaseThreshold)
    return RootRefusal("the manifest has " + SignaturesOf(signers, root.releaseThreshold, "release key") + " under root " +
                  std::to_string(root.version));
  const ReleaseManifest& m = parsed->manifest;
  if (m.expiresUnixSeconds <= nowUnixSeconds) return RootRefusal("the manifest expired at " + FormatUtc(m.expiresUnixSeconds));
  return std::move(parsed->manifest);
}

RootDocument FollowKeptRoots(RootDocument shipped,
                             const std::function<std::optional<std::string>(std::uint64_t version)>& kept) {
  RootDocument newest = std::move(shipped);
  while (std::optional<std::string> text = kept(newest.version + 1)) {
    Result<RootDocument> next = AcceptNextRoot(newest, *text);
    if (!next.ok()) break;
    newest = std::move(next).value();
  }
  return newest;
}

Result<ReleaseManifest> VerifyTrustedManifest(std::string_view text, const ReleaseTrust& trust,
                                              std::int64_t nowUnixSeconds) {
  if (trust.root) return VerifyManifestUnderRoot(text, *trust.root, nowUnixSeconds);
  return VerifyManifestSignature(text, trust.keys, nowUnixSeconds);
}

RootWalk::RootWalk(RootDocument kept) : newest_(std::move(kept)) {}

std::optional<std::uint64_t> RootWalk::Wanted() const {
  if (over_ || accepted_.size() >= kRootWalkCap) return std::nullopt;
  return newest_.version + 1;
}

Status RootWalk::Offer(std::optional<std::string_view> text) {
  if (!Wanted()) return refused_;
  if (!text) {
    over_ = true;
    return Status::Ok();
  }
  Result<RootDocument> next = AcceptNextRoot(newest_, *text);
  if (!next.ok()) {
    over_ = true;
    refused_ = next.status();
    return refused_;
  }
  newest_ = std::move(next).value();
  accepted_.emplace_back(*text);
  return Status::Ok();
}

Result<RootDocument> RootWalk::Finish(std::int64_t nowUnixSeconds) const {
  if (!refused_.ok()) return refused_;
  if (Status current = CheckRootCurrent(newest_, nowUnixSeconds); !current.ok()) return current;
  return newest_;
}

}  // namespace vmrk
