#include "listgen/release_signing.h"

#include "platform/crypto.h"
#include "platform/files.h"
#include "updatelist/document_loader.h"
#include "updatelist/hex_base64.h"
#include "updatelist/location.h"
#include "listgen/release_objects_writer.h"
#include "updatelist/release_objects.h"
#include "updatelist/rtf_reader.h"
#include "updatelist/update_list.h"

namespace vmrk {
namespace {

constexpr std::string_view kPrivateKeyTag = "vmrkxupdate-private-key 1 ";

}  // namespace

std::string PrivateKeyFileText(std::string_view privateKey) {
  return std::string(kPrivateKeyTag) + ToBase64(privateKey) + "\n";
}

Result<std::string> ReadPrivateKeyFile(const std::string& path) {
  std::string text;
  Status read = platform::ReadWholeFile(path, &text);
  if (!read.ok()) return read;
  std::string line = KeyFileLine(text);
  std::optional<std::string> key;
  if (line.rfind(kPrivateKeyTag, 0) != 0 || !(key = FromBase64(line.substr(kPrivateKeyTag.size()))) ||
      key->size() != platform::kPrivateKeyBytes)
    return Status::Error(Status::Kind::kInvalid, path + " is not a vmrkxupdate private key file");
  return std::move(*key);
}

Result<std::string> GenerateKeyFiles(const std::string& path) {
  if (platform::PathExists(path) || platform::PathExists(path + ".pub"))
    return Status::Error(path + " or " + path + ".pub exists already; a key is never overwritten");
  Result<platform::KeyPair> made = platform::GenerateKey();
  if (!made.ok()) return made.status();
  Status saved = platform::CreateOwnerOnlyFile(path, PrivateKeyFileText(made->privateKey));
  if (!saved.ok()) return saved;
  std::string publicKeyText = ToBase64(made->publicKey);
  if (Status published = platform::WriteFileAtomically(path + ".pub", publicKeyText + "\n"); !published.ok())
    return published;
  return publicKeyText;
}

std::uint64_t SerialOf(std::int64_t unixSeconds) {
  std::string utc = FormatUtc(unixSeconds);  // 2026-12-07T15:30:00Z
  std::string digits;
  for (char c : utc)
    if (c >= '0' && c <= '9') digits += c;
  return std::stoull(digits);
}

std::string ReleaseFileOf(const std::string& releaseRoot, const std::string& location) {
  std::string root = releaseRoot;
  if (!root.empty() && root.back() != platform::PathSeparator()) root += platform::PathSeparator();
  return root + NativeSeparators(location);
}

Status BuildSignedManifest(const std::string& releaseRoot, std::string_view listBytes, std::string_view listText,
                           const std::vector<std::string>& privateKeys, std::int64_t nowUnixSeconds,
                           std::int64_t expiresUnixSeconds, std::string* manifestText, ReleaseManifest* built) {
  ReleaseManifest manifest;
  manifest.serial = SerialOf(nowUnixSeconds);
  manifest.expiresUnixSeconds = expiresUnixSeconds;
  manifest.listSha256 = platform::Sha256Bytes(listBytes);
  manifest.listLength = listBytes.size();
  // A list the generator wrote reads whole; were it not, the manifest names
  // the lines before the bad one and the check below refuses the pair.
  for (const std::string& location : LocationsOf(WellFormedUpdateListPrefix(listText))) {
    ManifestFile file;
    file.location = location;
    Result<platform::FileDigest> hashed = platform::Sha256OfFile(ReleaseFileOf(releaseRoot, location));
    if (!hashed.ok()) return hashed.status();
    file.sha256 = std::move(hashed->sha256);
    file.length = hashed->length;
    manifest.files.push_back(std::move(file));
  }
  Status written = WriteSignedManifest(manifest, privateKeys, manifestText);
  if (written.ok() && built != nullptr) *built = std::move(manifest);
  return written;
}

std::vector<std::string> CheckPublishedRelease(std::string_view listBytes, std::string_view manifestText,
                                               const std::vector<std::string>& trustedKeys,
                                               const std::string& releaseRoot, std::int64_t nowUnixSeconds) {
  std::vector<std::string> faults;
  std::string listText;
  if (!LooksLikeRtf(listBytes)) {
    listText = PlainTextOf(listBytes);
  } else if (Result<std::string> rtf = RtfToPlainText(listBytes); rtf.ok()) {
    listText = std::move(rtf).value();
  } else {
    faults.push_back("list: the rich text is not whole");
  }
  // A list that fails is still held against the manifest, as far as it reads.
  Result<std::vector<UpdateListEntry>> read = ReadUpdateList(listText);
  if (!read.ok()) faults.push_back("list: " + read.status().message());
  const std::vector<std::string> locations = LocationsOf(read.ok() ? *read : WellFormedUpdateListPrefix(listText));
  ReleaseManifest manifest;
  Status verified = VerifyManifest(manifestText, trustedKeys, listBytes, locations, nowUnixSeconds, 0, &manifest);
  if (!verified.ok()) {
    faults.push_back("manifest: " + verified.message());
    return faults;
  }
  if (releaseRoot.empty()) return faults;
  for (const ManifestFile& file : manifest.files) {
    Result<platform::FileDigest> hashed = platform::Sha256OfFile(ReleaseFileOf(releaseRoot, file.location));
    if (!hashed.ok()) faults.push_back("file " + file.location + ": " + hashed.status().message());
    else if (hashed->length != file.length) faults.push_back("file " + file.location + ": its length differs from the manifest's");
    else if (hashed->sha256 != file.sha256) faults.push_back("file " + file.location + ": its SHA-256 differs from the manifest's");
  }
  return faults;
}

std::vector<std::string> CheckReleaseByContent(std::string_view releaseManifestText,
                                               const std::vector<std::string>& trustedKeys, std::string_view listBytes,
                                               const std::string& objectsFolder, std::int64_t nowUnixSeconds) {
  std::vector<std::string> faults;
  Result<ReleaseManifest> verified = VerifyManifestSignature(releaseManifestText, trustedKeys, nowUnixSeconds);
  if (verified.ok() && verified->format != kContentNamedFormat)
    verified = Status::Error(Status::Kind::kInvalid, "not of format 2");
  if (!verified.ok()) {
    faults.push_back("release.sig: " + verified.status().message());
    return faults;
  }
  const ReleaseManifest& m = *verified;
  // An object with the bytes its name promises, or why not.
  auto check = [&](const std::string& what, const std::string& relative, const std::string& sha256,
                   std::uint64_t length) {
    Result<platform::FileDigest> hashed = platform::Sha256OfFile(ObjectFileIn(objectsFolder, relative));
    if (!hashed.ok()) faults.push_back(what + ": " + hashed.status().message());
    else if (hashed->length != length || hashed->sha256 != sha256)
      faults.push_back(what + ": " + relative + " is not what release.sig names");
  };
  if (m.listLength != listBytes.size() || platform::Sha256Bytes(listBytes) != m.listSha256)
    faults.push_back("release.sig: it names another list than this one");
  check("list", ListObjectPath(m.listSha256), m.listSha256, m.listLength);
  std::optional<ObjectIndex> index;
  if (m.indexSha256) {
    check("index", IndexObjectPath(*m.indexSha256), *m.indexSha256, m.indexLength);
    std::string text;
    if (platform::ReadWholeFile(ObjectFileIn(objectsFolder, IndexObjectPath(*m.indexSha256)), &text).ok())
      if (Result<ObjectIndex> parsed = ParseObjectIndex(text); parsed.ok()) index = std::move(parsed).value();
  }
  for (const ManifestFile& file : m.files) {
    const ContentId content{file.sha256, file.length};
    if (PublishedAsItself(index ? &*index : nullptr, content)) {
      check("file " + file.location, FileObjectPath(file.sha256), file.sha256, file.length);
      continue;
    }
    const CompressedCopy& copy = *CopyOf(*index, content);
    check("file " + file.location, CopyObjectPath(copy), copy.sha256, copy.frame.length);
  }
  return faults;
}

}  // namespace vmrk
