#include "listgen/list_generator.h"

#include <algorithm>
#include <vector>

#include "platform/civil_time.h"
#include "platform/files.h"
#include "updatelist/list_date.h"
#include "updatelist/location.h"
#include "updatelist/rtf_writer.h"

namespace vmrk {
namespace {

constexpr std::uint64_t kLargestListedLength = 2147483647;


// The file-list control's order: by name without regard to case, ties by the
// exact bytes so that the order is the same on every run.
bool NameOrder(const platform::FolderEntry* a, const platform::FolderEntry* b) {
  size_t n = std::min(a->name.size(), b->name.size());
  for (size_t i = 0; i < n; ++i) {
    char x = LowerAscii(a->name[i]), y = LowerAscii(b->name[i]);
    if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  }
  if (a->name.size() != b->name.size()) return a->name.size() < b->name.size();
  return a->name < b->name;
}

// Why a name cannot stand in a list line, or "" when it can. Windows forbids
// these characters anyway; other systems allow them, and a list carrying them
// would be refused by every updater.
std::string NameProblem(const std::string& name) {
  for (unsigned char c : name) {
    if (c == '?' || c == '*') return "its name holds \"?\" or \"*\", the list's separators";
    if (c == '\\') return "its name holds a backslash, the list's folder separator";
    if (c < 0x20 || c == 0x7F) return "its name holds a control character";
  }
  return {};
}

class Walker {
 public:
  Walker(const std::string& root, const WalkProgress& progress) : root_(root), progress_(progress) {}

  GeneratedList Run() {
    ListFolder(root_);
    return std::move(result_);
  }

 private:
  // folderPath is the root with its trailing separator, or a subfolder's path
  // without one.
  void ListFolder(const std::string& folderPath) {
    if (!result_.refusal.empty()) return;
    Result<std::vector<platform::FolderEntry>> listed = platform::ListFolder(folderPath);
    if (!listed.ok()) return;
    const std::vector<platform::FolderEntry>& entries = *listed;

    std::string folder = folderPath;
    const char sep = platform::PathSeparator();
    if (folder.size() > 1 && folder.back() == sep) folder.pop_back();
    // The folder relative to the root: its path less the root's length. The
    // root itself has none, so its own files get no line.
    std::string relative = folder.size() > root_.size() ? folder.substr(root_.size()) : std::string();
    for (char& c : relative)
      if (c == sep) c = '\\';  // locations use backslashes whatever wrote them

    std::vector<const platform::FolderEntry*> files, folders;
    for (const platform::FolderEntry& entry : entries) {
      if (entry.isFolder) folders.push_back(&entry);
      else if (entry.isFile && !entry.hidden) files.push_back(&entry);
    }
    std::sort(files.begin(), files.end(), NameOrder);
    std::sort(folders.begin(), folders.end(), NameOrder);

    if (!relative.empty()) {
      for (const platform::FolderEntry* file : files) {
        if (!file->factsKnown) continue;  // a line is written whole or not at all
        std::string location = relative + "\\" + file->name;
        if (std::string problem = NameProblem(file->name); !problem.empty()) return Refuse(location, problem);
        // The updaters' own rule, asked directly: a list that any of them
        // would refuse is never written.
        if (Status safe = CheckLocationIsSafe(location); !safe.ok()) return Refuse(location, safe.message());
        if (file->length > kLargestListedLength)
          return Refuse(location, "it is longer than 2147483647 bytes, the most a list can carry");
        std::string& text = result_.ListText;
        text += location;
        text += '?';
        text += std::to_string(file->length);
        text += '*';
        text += FormatListDate(platform::UnixSecondsToLocal(file->modifiedUnixSeconds));
        text += "\r\n";
        if (++result_.files % 1024 == 0 && progress_) progress_(result_.files);
      }
    }
    for (const platform::FolderEntry* sub : folders) {
      // The server tree's own folders beside a list written into the root
      // (objects, the roots of trust, the channels' trees): no location can
      // begin there (a root has three characters).
      if (relative.empty() && (sub->name == "objects" || sub->name == "roots" || sub->name == "channels")) continue;
      if (std::string problem = NameProblem(sub->name); !problem.empty())
        return Refuse(relative.empty() ? sub->name : relative + "\\" + sub->name, "the folder " + problem.substr(4));
      ListFolder(folder + sep + sub->name);
      if (!result_.refusal.empty()) return;
    }
  }

  void Refuse(const std::string& location, const std::string& reason) {
    result_.refusal = location + ": " + reason;
  }

  const std::string& root_;
  const WalkProgress& progress_;
  GeneratedList result_;
};

}  // namespace

GeneratedList GenerateUpdateList(const std::string& releaseRoot, const WalkProgress& progress) {
  GeneratedList list = Walker(releaseRoot, progress).Run();
  if (!list.refusal.empty()) list.ListText.clear();
  return list;
}

Status SaveUpdateList(const std::string& path, std::string_view listText) {
  return platform::WriteFileAtomically(path, PlainTextToRtf(listText));
}

}  // namespace vmrk
