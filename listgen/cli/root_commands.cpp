#include "listgen/cli/root_commands.h"

#include <cstdio>
#include <cstdlib>

#include "listgen/release_signing.h"
#include "platform/files.h"
#include "updatelist/hex_base64.h"
#include "updatelist/root_of_trust.h"

namespace vmrk {
namespace {

constexpr int kOk = 0, kRefused = 1;

int Failed(const std::string& message) {
  std::fprintf(stderr, "vmrkxupdate-listgen: %s\n", message.c_str());
  return kRefused;
}

// What init and next take: keys by file (each file's every key), thresholds,
// days.
struct RootOptions {
  std::vector<std::string> rootKeyFiles, releaseKeyFiles;
  std::optional<size_t> threshold, releaseThreshold;
  long days = 365;
};

Result<std::vector<std::string>> KeysOf(const std::vector<std::string>& files) {
  std::vector<std::string> keys;
  for (const std::string& file : files) {
    std::string text;
    if (Status read = platform::ReadWholeFile(file, &text); !read.ok()) return read;
    size_t bad = 0;
    std::vector<std::string> these = PublicKeysOfText(text, &bad);
    if (bad > 0 || these.empty()) return Status::Error(file + ": not a public key file");
    keys.insert(keys.end(), these.begin(), these.end());
  }
  return keys;
}

Status WriteNew(const std::string& path, const std::string& text) {
  if (platform::PathExists(path)) return Status::Error(path + " exists: a root, once written, is not replaced");
  return platform::WriteFileAtomically(path, text);
}

// The keys a root names, then whether it is a root at all.
Status Fill(RootDocument& root, const RootOptions& o) {
  if (!o.rootKeyFiles.empty()) {
    Result<std::vector<std::string>> keys = KeysOf(o.rootKeyFiles);
    if (!keys.ok()) return keys.status();
    root.rootKeys = *keys;
  }
  if (!o.releaseKeyFiles.empty()) {
    Result<std::vector<std::string>> keys = KeysOf(o.releaseKeyFiles);
    if (!keys.ok()) return keys.status();
    root.releaseKeys = *keys;
  }
  if (o.threshold) root.rootThreshold = *o.threshold;
  if (o.releaseThreshold) root.releaseThreshold = *o.releaseThreshold;
  root.expiresUnixSeconds = UtcNow() + o.days * 86400;
  // Read back as an updater would: repeated keys and thresholds above the
  // keys are refused here rather than on a million installations.
  Result<ParsedRoot> check = ParseRoot(RootBody(root));
  return check.ok() ? Status::Ok() : check.status();
}

int Show(const std::string& path, const std::string& after) {
  std::string text;
  if (Status read = platform::ReadWholeFile(path, &text); !read.ok()) return Failed(read.message());
  Result<ParsedRoot> parsed = ParseRoot(text);
  if (!parsed.ok()) return Failed(path + ": " + parsed.status().message());
  const RootDocument& r = parsed->root;
  std::printf("root %llu, expires %s\n", static_cast<unsigned long long>(r.version),
              FormatUtc(r.expiresUnixSeconds).c_str());
  for (const std::string& key : r.rootKeys) std::printf("root key %s\n", ToHex(KeyIdOf(key)).c_str());
  for (const std::string& key : r.releaseKeys) std::printf("release key %s\n", ToHex(KeyIdOf(key)).c_str());
  for (const ManifestSignature& s : parsed->signatures) std::printf("signed by %s\n", ToHex(s.keyId).c_str());
  const size_t own = CountSigners(r.rootKeys, parsed->body, parsed->signatures);
  std::printf("its own root keys: %zu of %zu signatures: %s\n", own, r.rootThreshold,
              own >= r.rootThreshold ? "met" : "not met");
  bool met = own >= r.rootThreshold;
  if (!after.empty()) {
    std::string previousText;
    if (Status read = platform::ReadWholeFile(after, &previousText); !read.ok()) return Failed(read.message());
    Result<ParsedRoot> previous = ParseRoot(previousText);
    if (!previous.ok()) return Failed(after + ": " + previous.status().message());
    const RootDocument& p = previous->root;
    const size_t byPrevious = CountSigners(p.rootKeys, parsed->body, parsed->signatures);
    const bool follows = r.version == p.version + 1;
    std::printf("root %llu's root keys: %zu of %zu signatures: %s%s\n", static_cast<unsigned long long>(p.version),
                byPrevious, p.rootThreshold, byPrevious >= p.rootThreshold ? "met" : "not met",
                follows ? "" : " (but it does not follow that root)");
    met = met && follows && byPrevious >= p.rootThreshold;
  }
  // Exit status 1 until it would be accepted: a release script can wait on it.
  return met ? kOk : kRefused;
}

}  // namespace

int RootCommand(const std::vector<std::string>& args, const std::function<int(const std::string&)>& usage) {
  const std::string what = args.empty() ? "" : args[0];
  std::vector<std::string> files;
  RootOptions o;
  std::string key, after;
  auto count = [&](const std::string& text, size_t* value) {
    char* end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || n < 1 || n > static_cast<long>(kRootMaxKeys)) return false;
    *value = static_cast<size_t>(n);
    return true;
  };
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& a = args[i];
    const bool takesValue = a == "--root-key" || a == "--release-key" || a == "--threshold" ||
                            a == "--release-threshold" || a == "--expires" || a == "--key" || a == "--after";
    if (takesValue && i + 1 == args.size()) return usage(a + " needs a value");
    if (a == "--root-key") {
      o.rootKeyFiles.push_back(args[++i]);
    } else if (a == "--release-key") {
      o.releaseKeyFiles.push_back(args[++i]);
    } else if (a == "--threshold" || a == "--release-threshold") {
      size_t n = 0;
      if (!count(args[++i], &n)) return usage(a + " takes 1 to 16");
      (a == "--threshold" ? o.threshold : o.releaseThreshold) = n;
    } else if (a == "--expires") {
      char* end = nullptr;
      o.days = std::strtol(args[++i].c_str(), &end, 10);
      if (*end != '\0' || o.days < 1 || o.days > 3650) return usage("--expires takes 1 to 3650 days");
    } else if (a == "--key") {
      key = args[++i];
    } else if (a == "--after") {
      after = args[++i];
    } else if (!a.empty() && a[0] == '-') {
      return usage("unknown option " + a);
    } else {
      files.push_back(a);
    }
  }
  const bool keysGiven = !o.rootKeyFiles.empty() || !o.releaseKeyFiles.empty() || o.threshold || o.releaseThreshold;
  if (!after.empty() && what != "show") return usage("--after goes with root show");
  if (!key.empty() && what != "sign") return usage("--key goes with root sign");
  if (what == "init") {
    if (files.size() != 1) return usage("root init needs one file to write");
    if (o.rootKeyFiles.empty() || o.releaseKeyFiles.empty() || !o.threshold)
      return usage("root init needs --root-key, --threshold and --release-key");
    RootDocument root;
    root.version = 1;
    root.releaseThreshold = 1;
    if (Status filled = Fill(root, o); !filled.ok()) return Failed(filled.message());
    if (Status written = WriteNew(files[0], RootBody(root)); !written.ok()) return Failed(written.message());
    std::fprintf(stderr, "root 1 written to %s, unsigned: sign it with root sign\n", files[0].c_str());
    return kOk;
  }
  if (what == "next") {
    if (files.size() != 2) return usage("root next needs the root it follows and a file to write");
    std::string text;
    if (Status read = platform::ReadWholeFile(files[0], &text); !read.ok()) return Failed(read.message());
    Result<ParsedRoot> previous = ParseRoot(text);
    if (!previous.ok()) return Failed(files[0] + ": " + previous.status().message());
    RootDocument root = previous->root;
    ++root.version;
    if (Status filled = Fill(root, o); !filled.ok()) return Failed(filled.message());
    if (Status written = WriteNew(files[1], RootBody(root)); !written.ok()) return Failed(written.message());
    std::fprintf(stderr,
                 "root %llu written to %s, unsigned: it needs %zu signatures of root %llu's root keys and %zu of "
                 "its own\n",
                 static_cast<unsigned long long>(root.version), files[1].c_str(), previous->root.rootThreshold,
                 static_cast<unsigned long long>(previous->root.version), root.rootThreshold);
    return kOk;
  }
  if (what == "sign") {
    if (files.size() != 1 || key.empty() || keysGiven) return usage("root sign needs one root file and --key PRIVATE");
    std::string text;
    if (Status read = platform::ReadWholeFile(files[0], &text); !read.ok()) return Failed(read.message());
    Result<std::string> privateKey = ReadPrivateKeyFile(key);
    if (!privateKey.ok()) return Failed(key + ": " + privateKey.status().message());
    Result<std::string> signedText = AddRootSignature(text, *privateKey);
    if (!signedText.ok()) return Failed(files[0] + ": " + signedText.status().message());
    if (Status written = platform::WriteFileAtomically(files[0], *signedText); !written.ok())
      return Failed(written.message());
    std::fprintf(stderr, "%s signed by %s\n", files[0].c_str(),
                 ToHex(KeyIdOf(std::string_view(*privateKey).substr(0, 65))).c_str());
    return kOk;
  }
  if (what == "show") {
    if (files.size() != 1 || keysGiven || !key.empty()) return usage("root show needs one root file [--after PREVIOUS]");
    return Show(files[0], after);
  }
  return usage("root takes init, next, sign or show");
}

}  // namespace vmrk
