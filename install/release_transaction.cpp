#include "install/release_transaction.h"

#include <algorithm>
#include <initializer_list>
#include <set>

#include "install/folder_chain.h"
#include "install/link_confinement.h"
#include "platform/file_identity.h"
#include "platform/files.h"
#include "platform/temp_name.h"
#include "updatelist/file_helpers.h"

namespace vmrk {
namespace {

constexpr char kJournalHeader[] = "vmrkxupdate-journal 1";
constexpr char kPreviousHeader[] = "vmrkxupdate-previous 1";

// One journal or record line: a verb and its fields, tab-separated. Paths
// may hold anything but NUL, so "%", tab and line breaks are escaped.
struct Entry {
  std::string verb;
  std::vector<std::string> fields;
  const std::string& at(size_t i) const {
    static const std::string kNone;
    return i < fields.size() ? fields[i] : kNone;
  }
};

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '%') out += "%25";
    else if (c == '\t') out += "%09";
    else if (c == '\n') out += "%0A";
    else if (c == '\r') out += "%0D";
    else out += c;
  }
  return out;
}

std::string Unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      std::string_view code = text.substr(i + 1, 2);
      char c = code == "25" ? '%' : code == "09" ? '\t' : code == "0A" ? '\n' : code == "0D" ? '\r' : 0;
      if (c != 0) {
        out += c;
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

std::string Line(const std::string& verb, std::initializer_list<std::string> fields) {
  std::string line = verb;
  for (const std::string& field : fields) line += "\t" + Escape(field);
  return line + "\n";
}

// The complete lines of a file: a last line without its line break was torn
// by a crash while it was written, and never counts.
std::vector<Entry> ParseLines(std::string_view text) {
  std::vector<Entry> entries;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string_view::npos; start = end + 1) {
    std::string_view line = text.substr(start, end - start);
    Entry entry;
    size_t tab = line.find('\t');
    entry.verb = std::string(line.substr(0, tab));
    while (tab != std::string_view::npos) {
      size_t next = line.find('\t', tab + 1);
      entry.fields.push_back(Unescape(line.substr(tab + 1, next == std::string_view::npos ? next : next - tab - 1)));
      tab = next;
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

// The journal as it is written: steps are recorded in batches, and a batch
// is on disk (Flush) before the first of its steps is taken. A step recorded
// but never taken is harmless to undo.
class Journal {
 public:
  explicit Journal(std::string path) : path_(std::move(path)) {}
  Status Begin(const std::string& kind) {
    if (platform::PathExists(path_)) {
      if (Status removed = platform::RemoveFile(path_); !removed.ok()) return removed;
    }
    entries_.clear();
    pending_.clear();
    return platform::AppendDurably(path_, std::string(kJournalHeader) + "\t" + kind + "\n");
  }
  void Record(const std::string& verb, std::initializer_list<std::string> fields) {
    entries_.push_back(Entry{verb, fields});
    pending_ += Line(verb, fields);
  }
  Status Flush() {
    Status written = platform::AppendDurably(path_, pending_);
    pending_.clear();
    return written;
  }
  const std::vector<Entry>& entries() const { return entries_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::vector<Entry> entries_;
  std::string pending_;
};

bool Exists(const std::string& path) { return platform::PathExists(path); }

Status Rename(const std::string& from, const std::string& to) { return platform::RenameReplacing(from, to); }

// Undoes every recorded step, last first. Each undo looks at what is there,
// so a step recorded but never taken is skipped. The journal goes once all
// is undone; if anything could not be, it stays for the next start.
Status Undo(const std::vector<Entry>& entries, const std::string& journal) {
  Status result;
  auto keep = [&](Status s) {
    if (result.ok() && !s.ok()) result = s;
  };
  for (auto e = entries.rbegin(); e != entries.rend(); ++e) {
    if (e->verb == "in") {
      // The new file back where it was placed (a backup being restored
      // stays a backup).
      if (!Exists(e->at(0)) && Exists(e->at(1))) keep(Rename(e->at(1), e->at(0)));
    } else if (e->verb == "aside") {
      if (Exists(e->at(1)) && !Exists(e->at(0))) keep(Rename(e->at(1), e->at(0)));
    } else if (e->verb == "place") {
      if (Exists(e->at(0))) keep(platform::RemoveFile(e->at(0)));
    } else if (e->verb == "mkdir") {
      // Only when empty: anything put there since is not ours to remove.
      if (platform::IsFolder(e->at(0))) platform::RemoveEmptyFolder(e->at(0)).IgnoreError();
    }
  }
  if (result.ok()) keep(platform::RemoveFile(journal));
  return result;
}

struct PreviousRelease {
  struct Replaced {
    std::string target, backup;
    bool registers = false;
  };
  std::vector<Replaced> replaced;
  std::vector<std::string> added;
  std::vector<std::string> made;  // folders the release made, parent first
};

std::string PreviousFile(const InstallPaths& paths) {
  return paths.applicationPath + platform::PathSeparator() + kPreviousReleaseFile;
}

bool ReadPrevious(const InstallPaths& paths, PreviousRelease* previous) {
  *previous = {};
  std::string text;
  if (!platform::ReadWholeFile(PreviousFile(paths), &text).ok()) return false;
  std::vector<Entry> entries = ParseLines(text);
  if (entries.empty() || entries[0].verb != kPreviousHeader) return false;
  for (const Entry& e : entries) {
    if (e.verb == "replaced") previous->replaced.push_back({e.at(0), e.at(1), e.at(2) == "1"});
    else if (e.verb == "added") previous->added.push_back(e.at(0));
    else if (e.verb == "made") previous->made.push_back(e.at(0));
  }
  return !previous->replaced.empty() || !previous->added.empty();
}

void Register(const std::string& target, const std::string& windowsFolder) {
  Registration registration = RegistrationOf(target, windowsFolder);
  // Not waited for, and its outcome is not looked at.
  if (FileExists(registration.program))
    platform::StartDetached(registration.program, registration.arguments).IgnoreError();
}

// The last steps of a committed transaction, each safe to take again: what
// it replaced becomes the previous release (install) or is let go
// (rollback), components are registered, the journal goes.
Status Finish(const std::vector<Entry>& entries, const TransactionPaths& paths) {
  const std::string kind = entries.empty() ? "" : entries[0].at(0);
  std::vector<std::string> registered;
  if (kind == "install") {
    std::string record = std::string(kPreviousHeader) + "\n";
    std::set<std::string> registers, replaced;
    for (const Entry& e : entries) {
      if (e.verb == "in" && e.at(2) == "1") registers.insert(e.at(1));
      if (e.verb == "aside") replaced.insert(e.at(0));
    }
    for (const Entry& e : entries) {
      if (e.verb == "aside") record += Line("replaced", {e.at(0), e.at(1), registers.count(e.at(0)) ? "1" : "0"});
      if (e.verb == "mkdir") record += Line("made", {e.at(0)});
      if (e.verb != "in") continue;
      if (!replaced.count(e.at(1))) record += Line("added", {e.at(1)});
      if (registers.count(e.at(1))) registered.push_back(e.at(1));
    }
    if (Status kept = platform::WriteFileAtomically(PreviousFile(paths.install), record); !kept.ok()) return kept;
    // The release kept before this one is let go; a file still in use stays
    // until the sweep of a later start.
    for (const Entry& e : entries)
      if (e.verb == "drop" && Exists(e.at(0))) platform::RemoveFile(e.at(0)).IgnoreError();
  } else {
    for (const Entry& e : entries) {
      if (e.verb == "aside" && Exists(e.at(1))) platform::RemoveFile(e.at(1)).IgnoreError();
      if (e.verb == "in" && e.at(2) == "1") registered.push_back(e.at(1));
    }
    // The folders the rolled back release made go too, when nothing else
    // has come into them.
    PreviousRelease previous;
    ReadPrevious(paths.install, &previous);
    for (auto folder = previous.made.rbegin(); folder != previous.made.rend(); ++folder)
      if (platform::IsFolder(*folder)) platform::RemoveEmptyFolder(*folder).IgnoreError();
    if (Exists(PreviousFile(paths.install))) {
      if (Status gone = platform::RemoveFile(PreviousFile(paths.install)); !gone.ok()) return gone;
    }
  }
  if (Status gone = platform::RemoveFile(paths.journal); !gone.ok()) return gone;
  for (const std::string& target : registered) Register(target, paths.install.windowsFolder);
  return Status::Ok();
}

// The side file stands for the updater's own program, whatever the list
// calls it; every other file for its target.
std::string TargetOf(const LocationParts& where, const InstallPaths& paths, bool* side) {
  *side = EqualsIgnoringCase(where.fileName, platform::UpdaterProgramName()) || where.target == paths.runningProgram ||
          platform::SameFile(where.target, paths.runningProgram);
  return *side ? paths.applicationPath + platform::PathSeparator() + platform::SideFileName() : where.target;
}

Status Fail(Journal& journal, Status why) {
  Status undone = Undo(journal.entries(), journal.path());
  if (!undone.ok()) return Status::Error(why.message() + "; and undoing it failed: " + undone.message());
  return why;
}

}  // namespace

Status InstallRelease(const TransactionPaths& paths, const std::vector<InstallItem>& items, size_t* failedItem) {
  *failedItem = items.size();
  const InstallPaths& p = paths.install;

  // The plan, from what is there now; nothing changes yet.
  struct Step {
    std::string target, placed;
    std::vector<std::string> folders;  // to make first, parent first
    bool side = false;
  };
  std::vector<Step> steps(items.size());
  std::set<std::string> planned;
  for (size_t i = 0; i < items.size(); ++i) {
    const LocationParts& where = items[i].where;
    Step& step = steps[i];
    step.target = TargetOf(where, p, &step.side);
    auto refuse = [&](const Status& why) {
      *failedItem = i;
      return Status::Error(where.location + ": " + why.message());
    };
    if (platform::IsFolder(step.target)) return refuse(Status::Error("a folder stands where the file belongs"));
    if (!step.side) {
      const std::string& base = where.underApplication ? p.applicationPath : p.windowsFolder;
      if (Status confined = CheckFoldersStayInside(base, where.rest, {p.applicationPath, p.windowsFolder});
          !confined.ok())
        return refuse(confined);
      for (const std::string& folder : MissingFolders(base, where.folderPart))
        if (planned.insert(folder).second) step.folders.push_back(folder);
    }
    step.placed = platform::NextTempPathBeside(step.target, platform::TempKind::kPlacing);
  }

  Journal journal(paths.journal);
  if (Status begun = journal.Begin("install"); !begun.ok()) return begun;
  PreviousRelease before;
  ReadPrevious(p, &before);
  for (const PreviousRelease::Replaced& r : before.replaced) journal.Record("drop", {r.backup});
  for (const Step& step : steps) {
    for (const std::string& folder : step.folders) journal.Record("mkdir", {folder});
    journal.Record("place", {step.placed, step.target});
  }
  if (Status s = journal.Flush(); !s.ok()) return Fail(journal, s);

  // Prepare: each new file beside its target; nothing installed is touched.
  std::vector<std::string> placed;
  for (size_t i = 0; i < items.size(); ++i) {
    auto fail = [&](const Status& why) {
      *failedItem = i;
      return Fail(journal, Status::Error(items[i].where.location + ": " + why.message()));
    };
    for (const std::string& folder : steps[i].folders)
      if (Status made = platform::CreateFolder(folder); !made.ok()) return fail(made);
    if (Status put = platform::PlaceFile(items[i].staged, steps[i].placed, steps[i].target); !put.ok())
      return fail(put);
    placed.push_back(steps[i].placed);
  }
  if (Status s = platform::FlushToDisk(placed); !s.ok()) return Fail(journal, s);

  // Commit: renames only, every one recorded before the first is made.
  journal.Record("commit", {});
  std::vector<std::string> backups(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    if (Exists(steps[i].target)) {
      backups[i] = platform::NextTempPathBeside(steps[i].target, platform::TempKind::kBackup);
      journal.Record("aside", {steps[i].target, backups[i]});
    }
    const bool registers = items[i].where.registers && !steps[i].side;
    journal.Record("in", {steps[i].placed, steps[i].target, registers ? "1" : "0"});
  }
  if (Status s = journal.Flush(); !s.ok()) return Fail(journal, s);
  std::vector<std::string> targets;
  for (size_t i = 0; i < items.size(); ++i) {
    auto fail = [&](const Status& why) {
      *failedItem = i;
      return Fail(journal, Status::Error(items[i].where.location + ": " + why.message()));
    };
    if (!backups[i].empty())
      if (Status moved = Rename(steps[i].target, backups[i]); !moved.ok()) return fail(moved);
    if (Status moved = Rename(steps[i].placed, steps[i].target); !moved.ok()) return fail(moved);
    targets.push_back(steps[i].target);
  }
  if (Status s = platform::FlushToDisk(targets); !s.ok()) return Fail(journal, s);
  journal.Record("committed", {});
  if (Status s = journal.Flush(); !s.ok()) return Fail(journal, s);
  // The release is in. What is left to do the next start finishes from the
  // journal if it cannot be done now.
  std::vector<Entry> entries = journal.entries();
  entries.insert(entries.begin(), Entry{"begin", {"install"}});
  Finish(entries, paths).IgnoreError();
  return Status::Ok();
}

Recovery RecoverInterruptedRelease(const TransactionPaths& paths, std::string* log) {
  std::string text;
  if (!platform::PathExists(paths.journal)) return Recovery::kNothing;
  if (!platform::ReadWholeFile(paths.journal, &text).ok()) {
    *log = "cannot read the journal of an interrupted installation";
    return Recovery::kFailed;
  }
  std::vector<Entry> entries = ParseLines(text);
  if (entries.empty() || entries[0].verb != kJournalHeader) {
    // Torn before its header was whole: no step was taken.
    platform::RemoveFile(paths.journal).IgnoreError();
    *log = "an interrupted installation had taken no step";
    return Recovery::kRolledBack;
  }
  const std::string kind = entries[0].at(0);
  bool committed = std::any_of(entries.begin(), entries.end(), [](const Entry& e) { return e.verb == "committed"; });
  entries[0] = Entry{"begin", {kind}};
  if (committed) {
    Status finished = Finish(entries, paths);
    *log = "an interrupted " + kind + " had committed; " +
           (finished.ok() ? std::string("finished it") : "finishing it failed: " + finished.message());
    return finished.ok() ? Recovery::kCompleted : Recovery::kFailed;
  }
  Status undone = Undo(entries, paths.journal);
  *log = "an interrupted " + kind + " was undone" + (undone.ok() ? "" : ", not wholly: " + undone.message());
  return undone.ok() ? Recovery::kRolledBack : Recovery::kFailed;
}

bool HasPreviousRelease(const InstallPaths& paths) {
  PreviousRelease previous;
  return ReadPrevious(paths, &previous);
}

Status RollbackRelease(const TransactionPaths& paths, bool* nothing) {
  PreviousRelease previous;
  *nothing = !ReadPrevious(paths.install, &previous);
  if (*nothing) return Status::Error("no previous release is kept");
  for (const PreviousRelease::Replaced& r : previous.replaced)
    if (!Exists(r.backup)) return Status::Error("the kept copy of " + r.target + " is gone");
  Journal journal(paths.journal);
  if (Status begun = journal.Begin("rollback"); !begun.ok()) return begun;
  // Every rename recorded before the first is made, as for an installation.
  journal.Record("commit", {});
  struct Move {
    std::string from, to;
  };
  std::vector<Move> moves;
  auto setAside = [&](const std::string& target) {
    if (!Exists(target)) return;
    const std::string aside = platform::NextTempPathBeside(target, platform::TempKind::kBackup);
    journal.Record("aside", {target, aside});
    moves.push_back({target, aside});
  };
  for (const PreviousRelease::Replaced& r : previous.replaced) {
    setAside(r.target);
    journal.Record("in", {r.backup, r.target, r.registers ? "1" : "0"});
    moves.push_back({r.backup, r.target});
  }
  for (const std::string& target : previous.added) setAside(target);
  if (Status s = journal.Flush(); !s.ok()) return Fail(journal, s);
  std::vector<std::string> restored;
  for (const Move& move : moves) {
    if (Status s = Rename(move.from, move.to); !s.ok()) return Fail(journal, s);
    restored.push_back(move.to);
  }
  if (Status s = platform::FlushToDisk(restored); !s.ok()) return Fail(journal, s);
  journal.Record("committed", {});
  if (Status s = journal.Flush(); !s.ok()) return Fail(journal, s);
  std::vector<Entry> entries = journal.entries();
  entries.insert(entries.begin(), Entry{"begin", {"rollback"}});
  Finish(entries, paths).IgnoreError();  // as for an installation: restored, the rest is the next start's
  return Status::Ok();
}

std::vector<std::string> PreviousReleaseBackups(const InstallPaths& paths) {
  PreviousRelease previous;
  ReadPrevious(paths, &previous);
  std::vector<std::string> backups;
  for (const PreviousRelease::Replaced& r : previous.replaced) backups.push_back(r.backup);
  return backups;
}

}  // namespace vmrk
