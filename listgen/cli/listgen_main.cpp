// vmrkxupdate-listgen: the update list generator for release pipelines.
//   vmrkxupdate-listgen generate RELEASE_ROOT [-o OUTPUT] [--sign KEYFILE]... [--expires DAYS]
//                                [--delta-from OLD_ROOT]... [--compressed] [--mirror URL]...
//   vmrkxupdate-listgen show LIST [--entries]
//   vmrkxupdate-listgen keygen KEYFILE
//   vmrkxupdate-listgen verify LIST [--key PUBFILE]... [--files RELEASE_ROOT]
//   vmrkxupdate-listgen root init|next|sign|show ...
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "listgen/cli/root_commands.h"
#include "listgen/list_generator.h"
#include "listgen/release_objects_writer.h"
#include "listgen/release_signing.h"
#include "platform/crypto.h"
#include "platform/files.h"
#include "updatelist/rtf_writer.h"
#include "updatelist/document_loader.h"
#include "updatelist/update_list.h"

namespace {

constexpr int kOk = 0, kRefused = 1, kUsage = 2;

const char kUsageText[] =
    "usage: vmrkxupdate-listgen generate RELEASE_ROOT [-o|--output OUTPUT] [--sign KEYFILE]... [--expires DAYS]\n"
    "                                    [--delta-from OLD_ROOT]... [--compressed] [--mirror URL]...\n"
    "                                    [--channel NAME] [--rollout PERCENT [--rollout-days DAYS]] [--exact]\n"
    "       vmrkxupdate-listgen show LIST [--entries]\n"
    "       vmrkxupdate-listgen keygen KEYFILE\n"
    "       vmrkxupdate-listgen verify LIST [--key PUBFILE]... [--files RELEASE_ROOT]\n"
    "       vmrkxupdate-listgen root init OUT --root-key PUB... --threshold K --release-key PUB...\n"
    "                                [--release-threshold M] [--expires DAYS]\n"
    "       vmrkxupdate-listgen root next IN OUT [--root-key PUB...] [--threshold K] [--release-key PUB...]\n"
    "                                [--release-threshold M] [--expires DAYS]\n"
    "       vmrkxupdate-listgen root sign FILE --key PRIVATE\n"
    "       vmrkxupdate-listgen root show FILE [--after PREVIOUS]\n"
    "       vmrkxupdate-listgen --help | -h | --version\n"
    "\n"
    "generate  walks RELEASE_ROOT and writes the update list that the server\n"
    "          publishes as vmrkxupdate/list.txt (OUTPUT, default list.txt).\n"
    "          RELEASE_ROOT holds app/ (the application folder) and win/ (the\n"
    "          Windows folder); files directly in it are not listed.\n"
    "show      reads LIST as the updater reads it and prints its plain text;\n"
    "          with --entries one entry a line: location, size and date\n"
    "          separated by tabs.\n"
    "keygen    makes a P-256 key pair: KEYFILE (private, owner-only, never\n"
    "          overwritten) and KEYFILE.pub, whose key is also printed.\n"
    "--sign    writes OUTPUT.sig beside the list, the release manifest signed\n"
    "          with KEYFILE (twice for a key rollover); it expires after DAYS\n"
    "          (default 365). Also writes release.sig beside it, the manifest\n"
    "          that today's updaters read, and into objects/ the list and every\n"
    "          file named by its SHA-256, so that each published file but\n"
    "          release.sig never changes. Publish objects/ first, release.sig\n"
    "          last.\n"
    "--delta-from  (with --sign) writes, into the folder objects/ beside\n"
    "          OUTPUT, a delta package from the earlier release OLD_ROOT (a\n"
    "          folder of the same shape as RELEASE_ROOT; once per earlier\n"
    "          release) and a compressed copy of every file, and names them\n"
    "          in OUTPUT.objects. Publish objects/ before the list.\n"
    "--compressed  (with --sign) the compressed copies and OUTPUT.objects\n"
    "          without any delta package.\n"
    "--mirror  (with --sign) names in release.sig a server that serves the same\n"
    "          tree as the one it is published to (http:// or https://, ending\n"
    "          in /; up to 16, in the order they are tried after the servers\n"
    "          of myip.txt). Every file is checked against release.sig, so a\n"
    "          mirror is trusted with nothing.\n"
    "          Also writes release3.sig, the same for updaters that follow a\n"
    "          root of trust, with these marks, which earlier updaters never see:\n"
    "--channel NAME  the release is of the channel NAME (publish OUTPUT below\n"
    "          vmrkxupdate/channels/NAME/); an installation that follows\n"
    "          another refuses it.\n"
    "--rollout PERCENT  unattended runs take it only on that share of the\n"
    "          installations (0 halts the release); with --rollout-days the\n"
    "          share grows from now to 100 over DAYS.\n"
    "--exact   every installed file whose bytes differ is offered, whatever\n"
    "          its date: publish an earlier release again with --exact to take\n"
    "          every installation back to it.\n"
    "verify    checks LIST and LIST.sig as an updater would (with the keys of\n"
    "          PUBFILE), and with --files each file below RELEASE_ROOT; where\n"
    "          release.sig lies beside LIST, it and the objects it names too;\n"
    "          prints every failing record.\n"
    "root      the root of trust, published as vmrkxupdate/roots/N.root: init\n"
    "          writes root 1 (the keys of every PUB file; M defaults to 1), next\n"
    "          the root after IN with the keys and thresholds not named carried\n"
    "          over, both unsigned and expiring after DAYS (default 365). sign\n"
    "          adds one signature, by PRIVATE: a threshold of the previous\n"
    "          root's root keys and of the root's own must sign it, each on its\n"
    "          own machine if need be. show prints it and which thresholds are\n"
    "          met (exit status 1 while one is not).\n"
    "\n"
    "Exit status: 0 done, 1 a refused or unreadable input, 2 a usage error.\n";

int Usage(const char* problem) {
  std::fprintf(stderr, "vmrkxupdate-listgen: %s\n%s", problem, kUsageText);
  return kUsage;
}

int Failed(const std::string& message) {
  std::fprintf(stderr, "vmrkxupdate-listgen: %s\n", message.c_str());
  return kRefused;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of(vmrk::platform::PathSeparator());
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string Megabytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
  return text;
}

// The compressed copies and the delta packages, with a progress line for a
// person watching (deltas of a large release take minutes).
int WriteObjects(const std::string& root, const std::string& output, const vmrk::ReleaseManifest& manifest,
                 const std::vector<std::string>& oldRoots, std::string* indexText, vmrk::ObjectIndex* index) {
  const bool terminal = vmrk::platform::StandardErrorIsTerminal();
  auto last = std::chrono::steady_clock::now() - std::chrono::seconds(1);
  bool printed = false;
  auto show = [&](const vmrk::ObjectsProgress& p) {
    const auto now = std::chrono::steady_clock::now();
    if (!terminal || (now - last < std::chrono::milliseconds(200) && p.filesDone != p.filesTotal)) return;
    last = now;
    std::fprintf(stderr, "\robjects: %zu/%zu files, %s of %s  ", p.filesDone, p.filesTotal,
                 Megabytes(p.bytesDone).c_str(), Megabytes(p.bytesTotal).c_str());
    printed = true;
  };
  vmrk::ObjectsReport report;
  vmrk::Status written = vmrk::WriteReleaseObjects(root, manifest, oldRoots, FolderOf(output) + "/objects",
                                                   vmrk::kObjectLevel, show, index, &report);
  if (printed) std::fprintf(stderr, "\n");
  if (!written.ok()) return Failed("objects: " + written.message());
  std::fprintf(stderr, "full files: %llu bytes\ncompressed copies: %llu bytes\nfull package: %llu bytes\n",
               static_cast<unsigned long long>(report.fullBytes), static_cast<unsigned long long>(report.copyBytes),
               static_cast<unsigned long long>(report.fullPackageBytes));
  for (const vmrk::PackageReport& p : report.packages)
    std::fprintf(stderr, "package from %s: %llu bytes (%zu patches, %zu new files)\n", p.oldRoot.c_str(),
                 static_cast<unsigned long long>(p.bytes), p.patches, p.wholes);
  *indexText = vmrk::WriteObjectIndex(*index);
  return kOk;
}

// What release3.sig carries beyond release.sig.
struct ReleaseMarks {
  std::string channel;
  std::optional<vmrk::Rollout> rollout;
  bool exact = false;
};

int Generate(std::string root, const std::string& output, const std::vector<std::string>& keyFiles, long days,
             const ReleaseMarks& marks,
             const std::vector<std::string>& oldRoots, bool objects, const std::vector<std::string>& mirrors) {
  const char sep = vmrk::platform::PathSeparator();
  if (root.empty() || root.back() != sep) root += sep;
  if (!vmrk::platform::PathExists(root)) {
    std::fprintf(stderr, "vmrkxupdate-listgen: %s: no such folder\n", root.c_str());
    return kRefused;
  }
  // A progress line only for a person watching a long walk.
  const bool terminal = vmrk::platform::StandardErrorIsTerminal();
  const auto started = std::chrono::steady_clock::now();
  bool printed = false;
  vmrk::GeneratedList list = vmrk::GenerateUpdateList(root, [&](size_t files) {
    if (!terminal || std::chrono::steady_clock::now() - started < std::chrono::seconds(1)) return;
    std::fprintf(stderr, "\r%zu files listed", files);
    printed = true;
  });
  if (printed) std::fprintf(stderr, "\r%zu files listed\n", list.files);
  if (!list.refusal.empty()) {
    std::fprintf(stderr, "vmrkxupdate-listgen: refused, no list written: %s\n", list.refusal.c_str());
    return kRefused;
  }
  if (keyFiles.empty()) {
    vmrk::Status saved = vmrk::SaveUpdateList(output, list.ListText);
    if (!saved.ok()) return Failed(saved.message());
    std::fprintf(stderr, "%zu files listed in %s\n", list.files, output.c_str());
    return kOk;
  }
  // Signed: both files are made before either is written, so a failure
  // leaves the old pair as it was.
  std::vector<std::string> keys;
  for (const std::string& file : keyFiles) {
    vmrk::Result<std::string> key = vmrk::ReadPrivateKeyFile(file);
    if (!key.ok()) return Failed(key.status().message());
    keys.push_back(std::move(key).value());
  }
  const std::string rtf = vmrk::PlainTextToRtf(list.ListText);
  const std::int64_t now = vmrk::UtcNow();
  std::string manifest;
  vmrk::ReleaseManifest signedManifest;
  vmrk::Status built =
      vmrk::BuildSignedManifest(root, rtf, list.ListText, keys, now, now + days * 86400, &manifest, &signedManifest);
  if (!built.ok()) return Failed(built.message());
  // Objects first: they are named by their bytes and harm nothing, and an
  // index is never published before the objects it names.
  std::string indexText;
  vmrk::ObjectIndex index;
  if (objects)
    if (int failed = WriteObjects(root, output, signedManifest, oldRoots, &indexText, &index); failed != kOk)
      return failed;
  // Today's updaters read release.sig alone at its name; everything it names
  // is an object, so no cache can hand them a list or a file of another
  // release beside it.
  const std::string objectsFolder = FolderOf(output) + "/objects";
  vmrk::ReleaseManifest contentNamed = signedManifest;
  contentNamed.format = vmrk::kContentNamedFormat;
  contentNamed.mirrors = mirrors;
  if (objects) {
    contentNamed.indexSha256 = vmrk::platform::Sha256Bytes(indexText);
    contentNamed.indexLength = indexText.size();
  }
  std::uint64_t fileBytes = 0;
  vmrk::Status saved = vmrk::WriteFileObjects(root, contentNamed, objects ? &index : nullptr, objectsFolder, &fileBytes);
  if (saved.ok())
    saved = vmrk::WriteObjectFile(objectsFolder, vmrk::ListObjectPath(contentNamed.listSha256), rtf);
  if (saved.ok() && objects)
    saved = vmrk::WriteObjectFile(objectsFolder, vmrk::IndexObjectPath(*contentNamed.indexSha256), indexText);
  std::string releaseManifest, rootedManifest;
  if (saved.ok()) saved = vmrk::WriteSignedManifest(contentNamed, keys, &releaseManifest);
  vmrk::ReleaseManifest rooted = contentNamed;
  rooted.format = vmrk::kRootedFormat;
  rooted.channel = marks.channel;
  rooted.rollout = marks.rollout;
  rooted.exact = marks.exact;
  if (saved.ok()) saved = vmrk::WriteSignedManifest(rooted, keys, &rootedManifest);
  if (!saved.ok()) return Failed(saved.message());
  if (fileBytes > 0) std::fprintf(stderr, "files as they are: %llu new bytes\n", static_cast<unsigned long long>(fileBytes));
  saved = vmrk::platform::WriteFileAtomically(output, rtf);
  if (saved.ok()) saved = vmrk::platform::WriteFileAtomically(output + ".sig", manifest);
  if (saved.ok() && objects) saved = vmrk::platform::WriteFileAtomically(output + ".objects", indexText);
  if (saved.ok()) saved = vmrk::platform::WriteFileAtomically(FolderOf(output) + "/release.sig", releaseManifest);
  if (saved.ok()) saved = vmrk::platform::WriteFileAtomically(FolderOf(output) + "/release3.sig", rootedManifest);
  if (!saved.ok()) return Failed(saved.message());
  std::fprintf(stderr, "%zu files listed in %s, signed with %zu key(s) in %s.sig\n", list.files, output.c_str(),
               keys.size(), output.c_str());
  return kOk;
}

int Show(const std::string& path, bool asEntries) {
  const vmrk::Result<std::string> text = vmrk::LoadDocumentText(path);
  if (!text.ok()) {
    std::fprintf(stderr, "vmrkxupdate-listgen: %s\n", text.status().message().c_str());
    return kRefused;
  }
  if (!asEntries) {
    std::fwrite(text->data(), 1, text->size(), stdout);
    return kOk;
  }
  // A malformed list is shown up to its first bad line, then refused.
  const vmrk::Result<std::vector<vmrk::UpdateListEntry>> read = vmrk::ReadUpdateList(*text);
  for (const vmrk::UpdateListEntry& e : read.ok() ? *read : vmrk::WellFormedUpdateListPrefix(*text))
    std::printf("%s\t%s\t%s\n", e.Location.c_str(), e.Size.c_str(), e.Modified.c_str());
  if (!read.ok()) {
    std::fprintf(stderr, "vmrkxupdate-listgen: %s: malformed %s\n", path.c_str(), read.status().message().c_str());
    return kRefused;
  }
  return kOk;
}

int Keygen(const std::string& path) {
  const vmrk::Result<std::string> publicKey = vmrk::GenerateKeyFiles(path);
  if (!publicKey.ok()) return Failed(publicKey.status().message());
  std::printf("%s\n", publicKey->c_str());
  std::fprintf(stderr, "private key in %s (keep it off the server), public key in %s.pub\n", path.c_str(), path.c_str());
  return kOk;
}

int Verify(const std::string& list, const std::vector<std::string>& keyFiles, const std::string& root) {
  std::string listBytes, manifest;
  vmrk::Status read = vmrk::platform::ReadWholeFile(list, &listBytes);
  if (!read.ok()) return Failed(read.message());
  read = vmrk::platform::ReadWholeFile(list + ".sig", &manifest);
  if (!read.ok()) return Failed(read.message());
  std::vector<std::string> keys;
  for (const std::string& file : keyFiles) {
    std::string text;
    read = vmrk::platform::ReadWholeFile(file, &text);
    if (!read.ok()) return Failed(read.message());
    for (std::string& key : vmrk::PublicKeysOfText(text)) keys.push_back(std::move(key));
  }
  std::vector<std::string> faults = vmrk::CheckPublishedRelease(listBytes, manifest, keys, root, vmrk::UtcNow());
  // Today's updaters read release.sig beside the list, where there is one.
  const std::string releaseManifest = FolderOf(list) + "/release.sig";
  std::string byContent;
  const bool hasByContent = vmrk::platform::PathExists(releaseManifest);
  if (hasByContent) {
    read = vmrk::platform::ReadWholeFile(releaseManifest, &byContent);
    if (!read.ok()) return Failed(read.message());
    for (std::string& fault : vmrk::CheckReleaseByContent(byContent, keys, listBytes, FolderOf(list) + "/objects",
                                                          vmrk::UtcNow()))
      faults.push_back(std::move(fault));
  }
  for (const std::string& fault : faults) std::printf("%s\n", fault.c_str());
  if (!faults.empty()) return kRefused;
  std::fprintf(stderr, "%s and %s.sig verify%s%s\n", list.c_str(), list.c_str(),
               hasByContent ? ", release.sig and its objects too" : "", root.empty() ? "" : ", and so do the files");
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty()) return Usage("no command");
  if (args[0] == "--help" || args[0] == "-h") {
    std::fputs(kUsageText, stdout);
    return kOk;
  }
  if (args[0] == "--version") {
    std::printf("vmrkxupdate-listgen %s\n", VMRK_VERSION);
    return kOk;
  }
  if (args[0] == "generate") {
    std::string root, output = "list.txt";
    std::vector<std::string> keyFiles, oldRoots, mirrors;
    bool compressed = false;
    long days = 365;
    ReleaseMarks marks;
    long rolloutDays = 0;
    for (size_t i = 1; i < args.size(); ++i) {
      if (args[i] == "-o" || args[i] == "--output") {
        if (++i == args.size()) return Usage("-o needs a file name");
        output = args[i];
      } else if (args[i] == "--sign") {
        if (++i == args.size()) return Usage("--sign needs a key file");
        keyFiles.push_back(args[i]);
      } else if (args[i] == "--delta-from") {
        if (++i == args.size()) return Usage("--delta-from needs an earlier release's folder");
        oldRoots.push_back(args[i]);
      } else if (args[i] == "--compressed") {
        compressed = true;
      } else if (args[i] == "--mirror") {
        if (++i == args.size()) return Usage("--mirror needs a server's address");
        if (!vmrk::IsMirrorAddress(args[i]))
          return Usage((args[i] + ": not a mirror's address (http:// or https://, a host, ending in /)").c_str());
        mirrors.push_back(args[i]);
      } else if (args[i] == "--channel") {
        if (++i == args.size() || !vmrk::IsChannelName(args[i]))
          return Usage("--channel needs a name of 1 to 32 of a-z, 0-9, - and _");
        marks.channel = args[i];
      } else if (args[i] == "--rollout" || args[i] == "--rollout-days") {
        const bool share = args[i] == "--rollout";
        if (++i == args.size()) return Usage(share ? "--rollout needs a percentage" : "--rollout-days needs days");
        char* end = nullptr;
        const long value = std::strtol(args[i].c_str(), &end, 10);
        if (share && (*end != '\0' || end == args[i].c_str() || value < 0 || value > 100))
          return Usage("--rollout takes 0 to 100 per cent");
        if (!share && (*end != '\0' || value < 1 || value > static_cast<long>(vmrk::kLongestRolloutDays)))
          return Usage("--rollout-days takes 1 to 3650 days");
        if (share) marks.rollout = vmrk::Rollout{static_cast<std::uint32_t>(value)};
        else rolloutDays = value;
      } else if (args[i] == "--exact") {
        marks.exact = true;
      } else if (args[i] == "--expires") {
        if (++i == args.size()) return Usage("--expires needs a number of days");
        char* end = nullptr;
        days = std::strtol(args[i].c_str(), &end, 10);
        if (*end != '\0' || days < 1 || days > 3650) return Usage("--expires takes 1 to 3650 days");
      } else if (!args[i].empty() && args[i][0] == '-') {
        return Usage(("unknown option " + args[i]).c_str());
      } else if (root.empty()) {
        root = args[i];
      } else {
        return Usage("one release root only");
      }
    }
    if (root.empty()) return Usage("generate needs a release root");
    if (keyFiles.empty() && days != 365) return Usage("--expires goes with --sign");
    const bool objects = compressed || !oldRoots.empty();
    if (keyFiles.empty() && objects) return Usage("--delta-from and --compressed go with --sign");
    if (keyFiles.empty() && !mirrors.empty()) return Usage("--mirror goes with --sign");
    if (mirrors.size() > vmrk::kManifestMaxMirrors) return Usage("--mirror: at most 16 mirrors");
    if (rolloutDays > 0 && !marks.rollout) return Usage("--rollout-days goes with --rollout");
    if (rolloutDays > 0) {
      marks.rollout->startUnixSeconds = vmrk::UtcNow();
      marks.rollout->days = static_cast<std::uint32_t>(rolloutDays);
    }
    if (keyFiles.empty() && (marks.rollout || marks.exact || !marks.channel.empty()))
      return Usage("--channel, --rollout and --exact go with --sign");
    for (const std::string& old : oldRoots)
      if (!vmrk::platform::PathExists(old)) return Usage((old + ": no such folder").c_str());
    return Generate(root, output, keyFiles, days, marks, oldRoots, objects, mirrors);
  }
  if (args[0] == "keygen") {
    if (args.size() != 2 || args[1].empty() || args[1][0] == '-') return Usage("keygen needs one key file name");
    return Keygen(args[1]);
  }
  if (args[0] == "verify") {
    std::string list, root;
    std::vector<std::string> keyFiles;
    for (size_t i = 1; i < args.size(); ++i) {
      if (args[i] == "--key") {
        if (++i == args.size()) return Usage("--key needs a public key file");
        keyFiles.push_back(args[i]);
      } else if (args[i] == "--files") {
        if (++i == args.size()) return Usage("--files needs a release root");
        root = args[i];
      } else if (!args[i].empty() && args[i][0] == '-') {
        return Usage(("unknown option " + args[i]).c_str());
      } else if (list.empty()) {
        list = args[i];
      } else {
        return Usage("one list only");
      }
    }
    if (list.empty()) return Usage("verify needs a list");
    if (keyFiles.empty()) return Usage("verify needs --key PUBFILE");
    return Verify(list, keyFiles, root);
  }
  if (args[0] == "show") {
    std::string list;
    bool entries = false;
    for (size_t i = 1; i < args.size(); ++i) {
      if (args[i] == "--entries") entries = true;
      else if (!args[i].empty() && args[i][0] == '-') return Usage(("unknown option " + args[i]).c_str());
      else if (list.empty()) list = args[i];
      else return Usage("one list only");
    }
    if (list.empty()) return Usage("show needs a list");
    return Show(list, entries);
  }
  if (args[0] == "root")
    return vmrk::RootCommand(std::vector<std::string>(args.begin() + 1, args.end()),
                             [](const std::string& problem) { return Usage(problem.c_str()); });
  return Usage(("unknown command " + args[0]).c_str());
}
