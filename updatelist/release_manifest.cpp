#include "updatelist/release_manifest.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <unordered_map>
#include <unordered_set>

#include "platform/crypto.h"
#include "updatelist/hex_base64.h"
#include "updatelist/record_fields.h"

namespace vmrk {
namespace {

constexpr std::string_view kManifestFormatLine = "vmrkxupdate-manifest ";

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's
// days_from_civil).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

Status Refuse(std::string reason) { return Status::Error(std::move(reason)); }

}  // namespace

bool IsMirrorAddress(std::string_view address) {
  const bool scheme = address.starts_with("http://") || address.starts_with("https://");
  const size_t host = address.find("//") + 2;
  return scheme && address.size() > host + 1 && address[host] != '/' && address.back() == '/' &&
         address.find_first_of(" \t\"<>\\") == std::string_view::npos;
}

bool IsChannelName(std::string_view name) {
  return !name.empty() && name.size() <= 32 &&
         name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-_") == std::string_view::npos;
}

std::string KeyFileLine(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ' || line.back() == '\t'))
    line.remove_suffix(1);
  while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
  return std::string(line);
}

std::int64_t UtcNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::vector<std::string> PublicKeysOfText(std::string_view text, size_t* bad) {
  std::vector<std::string> keys;
  if (bad != nullptr) *bad = 0;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string line = KeyFileLine(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line[0] == '#') continue;
    std::optional<std::string> key = FromBase64(line);
    if (key && key->size() == platform::kPublicKeyBytes && (*key)[0] == 0x04) keys.push_back(*key);
    else if (bad != nullptr) ++*bad;
  }
  return keys;
}

std::string FormatUtc(std::int64_t unixSeconds) {
  std::int64_t days = unixSeconds >= 0 ? unixSeconds / 86400 : (unixSeconds - 86399) / 86400;
  std::int64_t rest = unixSeconds - days * 86400;
  // civil_from_days
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(days - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
  char text[96];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ", static_cast<long long>(y), m, d,
                static_cast<long long>(rest / 3600), static_cast<long long>(rest / 60 % 60),
                static_cast<long long>(rest % 60));
  return text;
}

Result<std::int64_t> ParseUtc(std::string_view text) {
  auto notUtc = [&] {
    return Status::Error(Status::Kind::kInvalid,
                         "\"" + std::string(text) + "\" is not a UTC time of the form YYYY-MM-DDTHH:MM:SSZ");
  };
  // Exactly YYYY-MM-DDTHH:MM:SSZ.
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z')
    return notUtc();
  auto number = [&](size_t at, size_t width, unsigned* value) {
    auto [end, error] = std::from_chars(text.data() + at, text.data() + at + width, *value);
    return error == std::errc() && end == text.data() + at + width;
  };
  unsigned y, mo, d, h, mi, s;
  if (!number(0, 4, &y) || !number(5, 2, &mo) || !number(8, 2, &d) || !number(11, 2, &h) || !number(14, 2, &mi) ||
      !number(17, 2, &s))
    return notUtc();
  static const unsigned kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (mo < 1 || mo > 12 || d < 1 || d > kDays[mo - 1] || (mo == 2 && d == 29 && !leap) || h > 23 || mi > 59 ||
      s > 59)
    return notUtc();
  return DaysFromCivil(y, mo, d) * 86400 + h * 3600 + mi * 60 + s;
}

std::string KeyIdOf(std::string_view publicKey) { return platform::Sha256Bytes(publicKey).substr(0, 8); }

std::string SignatureRecord(const ManifestSignature& s) {
  return "signature " + ToHex(s.keyId) + " " + ToBase64(s.signature);
}

std::optional<ManifestSignature> ParseSignatureRecord(std::string_view line) {
  std::vector<std::string_view> f;
  std::optional<std::string> id, signature;
  if (!SplitRecord(line, 3, &f) || f[0] != "signature" || !(id = FromHex(f[1])) || id->size() != 8 ||
      !(signature = FromBase64(f[2])) || signature->size() != platform::kSignatureBytes)
    return std::nullopt;
  return ManifestSignature{*id, *signature};
}

std::string ManifestBody(const ReleaseManifest& m) {
  std::string body;
  body.reserve(128 + m.files.size() * 112);
  body += kManifestFormatLine;
  body += std::to_string(m.format);
  body += "\nserial " + std::to_string(m.serial);
  body += "\nexpires " + FormatUtc(m.expiresUnixSeconds);
  body += "\nlist " + ToHex(m.listSha256) + " " + std::to_string(m.listLength) + "\n";
  if (m.format == kRootedFormat) {
    if (!m.channel.empty()) body += "channel " + m.channel + "\n";
    if (m.rollout) body += "rollout " + RolloutFields(*m.rollout) + "\n";
    if (m.exact) body += "exact\n";
  }
  if (m.format >= kContentNamedFormat) {
    if (m.indexSha256) body += "index " + ToHex(*m.indexSha256) + " " + std::to_string(m.indexLength) + "\n";
    for (const std::string& mirror : m.mirrors) body += "mirror " + mirror + "\n";
  }
  for (const ManifestFile& f : m.files) {
    body += "file ";
    body += ToHex(f.sha256);
    body += ' ';
    body += std::to_string(f.length);
    body += ' ';
    body += f.location;
    body += '\n';
  }
  return body;
}

Status WriteSignedManifest(const ReleaseManifest& manifest, const std::vector<std::string>& privateKeys,
                           std::string* text) {
  if (privateKeys.empty()) return Status::Error("no key to sign with");
  std::string body = ManifestBody(manifest);
  std::string signatures;
  for (const std::string& key : privateKeys) {
    Result<std::string> signature = platform::Sign(key, body);
    if (!signature.ok()) return signature.status();
    signatures += SignatureRecord({KeyIdOf(std::string_view(key).substr(0, platform::kPublicKeyBytes)), *signature}) + "\n";
  }
  *text = body + signatures;
  if (text->size() > kManifestMaxBytes)
    return Status::Error("the manifest would be " + std::to_string(text->size()) + " bytes, above its 1 MiB limit");
  return Status::Ok();
}

Result<ParsedManifest> ParseManifest(std::string_view text) {
  auto refuse = [](std::string why) { return Status::Error(Status::Kind::kInvalid, std::move(why)); };
  if (text.size() > kManifestMaxBytes) return refuse("the manifest is larger than 1 MiB");
  if (text.empty() || text.back() != '\n') return refuse("the manifest does not end with a line break");
  if (text.find('\r') != std::string_view::npos) return refuse("the manifest holds a carriage return");
  ParsedManifest parsed;
  ReleaseManifest& m = parsed.manifest;
  std::unordered_set<std::string_view> locations;
  std::vector<std::string_view> f;
  size_t lineNumber = 0;
  size_t position = 0;
  // 0 format, 1 serial, 2 expires, 3 list, 4 marks, index, mirrors and files, 5 signatures
  int expected = 0;
  // Format 3's marks, each at most once and in this order: 1 channel, 2 rollout, 3 exact.
  int marks = 0;
  auto placeForMarks = [&] {
    return expected == 4 && m.format == kRootedFormat && !m.indexSha256 && m.mirrors.empty() && m.files.empty();
  };
  while (position < text.size()) {
    size_t end = text.find('\n', position);
    std::string_view line = text.substr(position, end - position);
    const size_t lineStart = position;
    position = end + 1;
    ++lineNumber;
    auto bad = [&](const std::string& why) { return refuse("line " + std::to_string(lineNumber) + ": " + why); };
    std::string_view record = line.substr(0, line.find(' '));
    if (expected == 0) {
      if (line == std::string(kManifestFormatLine) + "1") m.format = 1;
      else if (line == std::string(kManifestFormatLine) + "2") m.format = kContentNamedFormat;
      else if (line == std::string(kManifestFormatLine) + "3") m.format = kRootedFormat;
      else return bad("not a release manifest of format 1, 2 or 3");
      expected = 1;
    } else if (record == "serial" && expected == 1) {
      if (!SplitRecord(line, 2, &f) || !ParseRecordNumber(f[1], &m.serial)) return bad("bad serial");
      expected = 2;
    } else if (record == "expires" && expected == 2) {
      if (!SplitRecord(line, 2, &f)) return bad("bad expiry time");
      Result<std::int64_t> expires = ParseUtc(f[1]);
      if (!expires.ok()) return bad("bad expiry time");
      m.expiresUnixSeconds = *expires;
      expected = 3;
    } else if (record == "list" && expected == 3) {
      std::optional<std::string> hash;
      if (!SplitRecord(line, 3, &f) || !(hash = FromHex(f[1])) || hash->size() != 32 || !ParseRecordNumber(f[2], &m.listLength))
        return bad("bad list record");
      m.listSha256 = *hash;
      expected = 4;
    } else if (record == "channel" && marks < 1 && placeForMarks()) {
      if (!SplitRecord(line, 2, &f) || !IsChannelName(f[1])) return bad("bad channel record");
      m.channel = std::string(f[1]);
      marks = 1;
    } else if (record == "rollout" && marks < 2 && placeForMarks()) {
      Result<Rollout> rollout = ParseRolloutFields(line.substr(std::min(line.size(), record.size() + 1)));
      if (line.size() <= record.size() + 1 || !rollout.ok()) return bad("bad rollout record");
      m.rollout = *rollout;
      marks = 2;
    } else if (line == "exact" && marks < 3 && placeForMarks()) {
      m.exact = true;
      marks = 3;
    } else if (record == "index" && expected == 4 && m.format >= kContentNamedFormat && !m.indexSha256 &&
               m.mirrors.empty() && m.files.empty()) {
      std::optional<std::string> hash;
      if (!SplitRecord(line, 3, &f) || !(hash = FromHex(f[1])) || hash->size() != 32 ||
          !ParseRecordNumber(f[2], &m.indexLength))
        return bad("bad index record");
      m.indexSha256 = *hash;
    } else if (record == "mirror" && expected == 4 && m.format >= kContentNamedFormat && m.files.empty()) {
      if (!SplitRecord(line, 2, &f) || !IsMirrorAddress(f[1])) return bad("bad mirror record");
      if (m.mirrors.size() == kManifestMaxMirrors)
        return bad("more than " + std::to_string(kManifestMaxMirrors) + " mirrors");
      m.mirrors.emplace_back(f[1]);
    } else if (record == "file" && expected == 4) {
      std::optional<std::string> hash;
      ManifestFile file;
      if (!SplitRecord(line, 4, &f) || !(hash = FromHex(f[1])) || hash->size() != 32 || !ParseRecordNumber(f[2], &file.length) ||
          f[3].empty())
        return bad("bad file record");
      if (!locations.insert(f[3]).second) return bad("the location " + std::string(f[3]) + " is named twice");
      file.sha256 = *hash;
      file.location = std::string(f[3]);
      m.files.push_back(std::move(file));
    } else if (record == "signature" && expected >= 4) {
      if (expected == 4) parsed.body = std::string(text.substr(0, lineStart));
      expected = 5;
      std::optional<ManifestSignature> signature = ParseSignatureRecord(line);
      if (!signature) return bad("bad signature record");
      if (parsed.signatures.size() == kManifestMaxSignatures)
        return bad("more than " + std::to_string(kManifestMaxSignatures) + " signatures");
      parsed.signatures.push_back(std::move(*signature));
    } else {
      return bad("unknown or misplaced record \"" + std::string(record) + "\"");
    }
  }
  if (expected != 5) return refuse("the manifest is not signed");
  return parsed;
}

Result<ReleaseManifest> VerifyManifestSignature(std::string_view text, const std::vector<std::string>& trustedKeys,
                                                std::int64_t nowUnixSeconds, size_t* signatureChecks) {
  if (signatureChecks != nullptr) *signatureChecks = 0;
  Result<ParsedManifest> read = ParseManifest(text);
  if (!read.ok()) return read.status();
  ParsedManifest& parsed = *read;
  bool signedByTrustedKey = false;
  for (const std::string& key : trustedKeys) {
    const std::string id = KeyIdOf(key);
    auto line = std::find_if(parsed.signatures.begin(), parsed.signatures.end(),
                             [&](const ManifestSignature& s) { return s.keyId == id; });
    if (line == parsed.signatures.end()) continue;
    if (signatureChecks != nullptr) ++*signatureChecks;
    if ((signedByTrustedKey = platform::VerifySignature(key, parsed.body, line->signature))) break;
  }
  if (!signedByTrustedKey) return Refuse("no trusted key has a valid signature on the manifest");
  const ReleaseManifest& m = parsed.manifest;
  if (m.expiresUnixSeconds <= nowUnixSeconds) return Refuse("the manifest expired at " + FormatUtc(m.expiresUnixSeconds));
  return std::move(parsed.manifest);
}

Status CheckManifestSerial(const ReleaseManifest& m, std::uint64_t lastSerial) {
  if (m.serial < lastSerial)
    return Refuse("serial " + std::to_string(m.serial) + " is older than the accepted " + std::to_string(lastSerial));
  return Status::Ok();
}

Status CheckManifestList(const ReleaseManifest& m, std::string_view listBytes,
                         const std::vector<std::string>& listLocations) {
  if (m.listLength != listBytes.size() || platform::Sha256Bytes(listBytes) != m.listSha256)
    return Refuse("the list is not the one the manifest names");
  std::unordered_set<std::string_view> listed(listLocations.begin(), listLocations.end());
  for (const ManifestFile& file : m.files)
    if (!listed.count(file.location)) return Refuse("the manifest names " + file.location + ", which the list does not");
  std::unordered_set<std::string_view> named;
  for (const ManifestFile& file : m.files) named.insert(file.location);
  for (const std::string& location : listLocations)
    if (!named.count(location)) return Refuse("the list entry " + location + " is not in the manifest");
  return Status::Ok();
}

Status VerifyManifest(std::string_view text, const std::vector<std::string>& trustedKeys, std::string_view listBytes,
                      const std::vector<std::string>& listLocations, std::int64_t nowUnixSeconds,
                      std::uint64_t lastSerial, ReleaseManifest* manifest, size_t* signatureChecks) {
  *manifest = ReleaseManifest{};
  Result<ReleaseManifest> verified = VerifyManifestSignature(text, trustedKeys, nowUnixSeconds, signatureChecks);
  if (!verified.ok()) return verified.status();
  Status checked = CheckManifestSerial(*verified, lastSerial);
  if (checked.ok()) checked = CheckManifestList(*verified, listBytes, listLocations);
  if (checked.ok()) *manifest = std::move(verified).value();
  return checked;
}

}  // namespace vmrk
