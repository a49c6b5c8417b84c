// The maintainer's side of signed releases: key files, the manifest of a
// generated list, and checking a published release as an updater would.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"
#include "updatelist/release_manifest.h"

namespace vmrk {

// Key files are text. A private key file holds one line,
// "vmrkxupdate-private-key 1 <base64 of 97 bytes>"; a public key file (and
// vmrkxupdate.keys) one base64 public key a line, with blank lines and lines
// beginning "#" ignored.
std::string PrivateKeyFileText(std::string_view privateKey);
// The private key's bytes. Fails with the kind the file's reading gave, or
// kInvalid for a file that is not a private key file of that form.
Result<std::string> ReadPrivateKeyFile(const std::string& path);

// A new key pair: the private key file is created owner-only and never
// overwrites anything; its public key goes to path + ".pub" and is given
// back as that file's text, base64 without the line break. A failure after
// the private key file was made leaves that file.
Result<std::string> GenerateKeyFiles(const std::string& path);

// The release's serial from its time: 2026-12-07 15:30:00 UTC is 20261207153000.
std::uint64_t SerialOf(std::int64_t unixSeconds);

// A file of the release folder for a location: root + the location with the
// host's separators ("app\a.dll" is ROOT/app/a.dll).
std::string ReleaseFileOf(const std::string& releaseRoot, const std::string& location);

// The manifest of a list (listBytes, the RTF as published; listText its plain
// text) over the files below releaseRoot, signed by every key; *built, when
// given, is what it signed.
Status BuildSignedManifest(const std::string& releaseRoot, std::string_view listBytes, std::string_view listText,
                           const std::vector<std::string>& privateKeys, std::int64_t nowUnixSeconds,
                           std::int64_t expiresUnixSeconds, std::string* manifestText,
                           ReleaseManifest* built = nullptr);

// What is wrong with a published release, one line a fault; empty when it
// verifies. releaseRoot may be empty (the files are then not checked).
std::vector<std::string> CheckPublishedRelease(std::string_view listBytes, std::string_view manifestText,
                                               const std::vector<std::string>& trustedKeys,
                                               const std::string& releaseRoot, std::int64_t nowUnixSeconds);

// The same for release.sig and what it names below objectsFolder: the list
// (which must be listBytes), the index, and each file as itself or as its
// smaller copy, as PublishedAsItself says it is published.
std::vector<std::string> CheckReleaseByContent(std::string_view releaseManifestText,
                                               const std::vector<std::string>& trustedKeys, std::string_view listBytes,
                                               const std::string& objectsFolder, std::int64_t nowUnixSeconds);

}  // namespace vmrk
